// The simulated port monitor's operations: what each slot of its table does with a port's
// scripted behaviour, each call logged and reported to the observer when it returns.
#include "portmon.h"

#include <algorithm>
#include <cstring>

#include <winspool.h>

#include "simcommon.h"

namespace sim {

namespace {

// Tagged like the spooler's handles, in another range, so the two never mix.
const UINT_PTR kHandleBase = 0x6C000000u;
const UINT_PTR kHandleStep = 0x10;

}  // namespace

// Logs the call, reports it to the observer outside the lock, and leaves `error` as the
// last error of a failed call.
BOOL PortMonitor::Finish(PortCall call, BOOL result, DWORD error)
{
    call.result = result;
    call.error = result ? 0 : error;
    call.thread = GetCurrentThreadId();
    PortObserver observer;
    {
        Lock lock(cs_);
        call.seq = NextSequence();
        if (logging_) log_.push_back(call);
        observer = observer_;
    }
    if (observer) observer(call);
    if (!result) SetLastError(error);
    return result;
}

BOOL PortMonitor::OpenPort(LPSTR name, PHANDLE pHandle)
{
    PortCall call;
    call.function = "OpenPort";
    call.port = name ? name : "";
    BOOL result = FALSE;
    DWORD error = 0;
    {
        Lock lock(cs_);
        if (!name || !*name || !pHandle) {
            error = ERROR_INVALID_PARAMETER;
        } else {
            Port& p = PortOf(name);
            if (p.failOpen) {
                error = p.openError;
            } else {
                UINT_PTR value = kHandleBase + kHandleStep * nextHandle_++;
                handles_[value] = FoldName(name);
                *pHandle = reinterpret_cast<HANDLE>(value);
                call.handle = *pHandle;
                result = TRUE;
            }
        }
    }
    return Finish(call, result, error);
}

BOOL PortMonitor::StartDocPort(HANDLE h, LPSTR printer, DWORD jobId, DWORD level, LPBYTE docInfo)
{
    PortCall call;
    call.function = "StartDocPort";
    call.handle = h;
    call.printer = printer ? printer : "";
    call.jobId = jobId;
    call.level = level;
    if (level == 1 && docInfo) {
        const DOC_INFO_1A* info = reinterpret_cast<const DOC_INFO_1A*>(docInfo);
        if (info->pDocName) call.document = info->pDocName;
    }
    BOOL result = FALSE;
    DWORD error = 0;
    {
        Lock lock(cs_);
        Port* p = PortOfHandle(h);
        if (!p) {
            error = ERROR_INVALID_HANDLE;
        } else {
            call.port = p->name;
            if (p->docHandle) {
                error = ERROR_BUSY;
            } else if (p->startDocFailures) {
                --p->startDocFailures;
                error = p->startDocError;
            } else {
                p->docHandle = reinterpret_cast<UINT_PTR>(h);
                if (lastDocumentOnly_) p->written.Forget();
                result = TRUE;
            }
        }
    }
    return Finish(call, result, error);
}

BOOL PortMonitor::WritePort(HANDLE h, LPBYTE buf, DWORD cbBuf, LPDWORD pcbWritten)
{
    PortCall call;
    call.function = "WritePort";
    call.handle = h;
    call.cbBuffer = cbBuf;
    BOOL result = FALSE;
    DWORD error = 0;
    {
        Lock lock(cs_);
        Port* p = PortOfHandle(h);
        if (pcbWritten) *pcbWritten = 0;
        if (p) call.port = p->name;
        if (!p || !p->docHandle) {
            error = ERROR_INVALID_HANDLE;
        } else if (!pcbWritten || (!buf && cbBuf)) {
            error = ERROR_INVALID_PARAMETER;
        } else {
            WriteAnswer answer = p->writeAnswer;
            if (!p->writeQueue.empty()) {
                answer = p->writeQueue.front();
                p->writeQueue.erase(p->writeQueue.begin());
            }
            DWORD taken = 0;
            switch (answer.kind) {
            case WriteAnswer::Kind::Accept:
            case WriteAnswer::Kind::Reports: taken = cbBuf; break;
            case WriteAnswer::Kind::AtMost: taken = std::min(cbBuf, answer.limit); break;
            case WriteAnswer::Kind::Zero:
            case WriteAnswer::Kind::Fail: taken = 0; break;
            }
            if (answer.kind == WriteAnswer::Kind::Fail) {
                error = answer.error;
            } else {
                if (taken) {
                    p->written.keepAtMost = keepAtMost_;
                    p->written.Append(reinterpret_cast<const char*>(buf), taken);
                }
                *pcbWritten = answer.kind == WriteAnswer::Kind::Reports ? answer.limit : taken;
                call.bytes = *pcbWritten;
                call.taken = taken;
                result = TRUE;
            }
        }
    }
    return Finish(call, result, error);
}

BOOL PortMonitor::ReadPort(HANDLE h, LPBYTE buf, DWORD cbBuf, LPDWORD pcbRead)
{
    PortCall call;
    call.function = "ReadPort";
    call.handle = h;
    call.cbBuffer = cbBuf;
    BOOL result = FALSE;
    DWORD error = 0;
    {
        Lock lock(cs_);
        Port* p = PortOfHandle(h);
        if (pcbRead) *pcbRead = 0;
        if (p) call.port = p->name;
        if (!p || !p->docHandle) {
            error = ERROR_INVALID_HANDLE;
        } else if (!pcbRead || (!buf && cbBuf)) {
            error = ERROR_INVALID_PARAMETER;
        } else {
            DWORD n = static_cast<DWORD>(std::min<size_t>(cbBuf, p->readData.size()));
            if (n) std::memcpy(buf, p->readData.data(), n);
            p->readData.erase(0, n);
            *pcbRead = n;
            call.bytes = n;
            result = TRUE;
        }
    }
    return Finish(call, result, error);
}

BOOL PortMonitor::EndDocPort(HANDLE h)
{
    PortCall call;
    call.function = "EndDocPort";
    call.handle = h;
    BOOL result = FALSE;
    DWORD error = 0;
    {
        Lock lock(cs_);
        Port* p = PortOfHandle(h);
        if (!p) {
            error = ERROR_INVALID_HANDLE;
        } else {
            call.port = p->name;
            if (!p->docHandle) {
                error = ERROR_INVALID_PARAMETER;
            } else {
                p->docHandle = 0;
                result = TRUE;
            }
        }
    }
    return Finish(call, result, error);
}

BOOL PortMonitor::ClosePort(HANDLE h)
{
    PortCall call;
    call.function = "ClosePort";
    call.handle = h;
    BOOL result = FALSE;
    DWORD error = 0;
    {
        Lock lock(cs_);
        Port* p = PortOfHandle(h);
        if (!p) {
            error = ERROR_INVALID_HANDLE;
        } else {
            call.port = p->name;
            if (p->docHandle == reinterpret_cast<UINT_PTR>(h)) p->docHandle = 0;
            handles_.erase(reinterpret_cast<UINT_PTR>(h));
            result = TRUE;
        }
    }
    return Finish(call, result, error);
}

BOOL PortMonitor::GetPrinterDataFromPort(HANDLE h, DWORD controlId, LPSTR valueName, LPSTR, DWORD cbIn,
                                         LPSTR outBuf, DWORD cbOut, LPDWORD pcbReturned)
{
    PortCall call;
    call.function = "GetPrinterDataFromPort";
    call.handle = h;
    call.controlId = controlId;
    call.hasValueName = valueName != NULL;
    call.valueName = valueName ? valueName : "";
    call.cbIn = cbIn;
    call.cbBuffer = cbOut;

    std::string key;
    HANDLE gate = NULL;
    DWORD delay = 0;
    DWORD error = 0;
    {
        Lock lock(cs_);
        Port* p = PortOfHandle(h);
        if (p) call.port = p->name;
        if (!p || !p->docHandle) {
            error = ERROR_INVALID_HANDLE;
        } else if (!pcbReturned || (!outBuf && cbOut)) {
            error = ERROR_INVALID_PARAMETER;
        } else {
            key = FoldName(p->name);
            gate = p->gate;
            delay = p->queryDelay;
            if (gate) {
                ++p->waiting;
                if (p->entered) SetEvent(p->entered);
            }
        }
    }
    if (key.empty()) return Finish(call, FALSE, error);

    if (gate) {
        WaitForSingleObject(gate, INFINITE);
        Lock lock(cs_);
        auto it = ports_.find(key);
        if (it != ports_.end()) --it->second.waiting;
    }

    if (delay) Sleep(delay);

    DeviceAnswer answer = DeviceAnswer::Failure();
    {
        Lock lock(cs_);
        auto it = ports_.find(key);
        if (it != ports_.end() && !it->second.deviceScript.empty()) {
            std::vector<DeviceAnswer>& script = it->second.deviceScript;
            answer = script.front();
            if (script.size() > 1) script.erase(script.begin());
        }
    }

    *pcbReturned = 0;
    DWORD fit = std::min<DWORD>(cbOut, static_cast<DWORD>(answer.bytes.size()));
    switch (answer.kind) {
    case DeviceAnswer::Kind::Fail:
        return Finish(call, FALSE, answer.error);
    case DeviceAnswer::Kind::Empty:
        break;
    case DeviceAnswer::Kind::Bytes:
        if (fit) std::memcpy(outBuf, answer.bytes.data(), fit);
        *pcbReturned = fit;
        break;
    case DeviceAnswer::Kind::Count:
        if (fit) std::memcpy(outBuf, answer.bytes.data(), fit);
        *pcbReturned = answer.count;
        break;
    }
    call.bytes = *pcbReturned;
    return Finish(call, TRUE, 0);
}

}  // namespace sim
