#include "portmon.h"

#include <algorithm>
#include <cstring>

#include <winspool.h>

#include "simcommon.h"

// In the POSIX build each slot is an entry point the deterministic scheduler sees: a
// scheduling point and a frame of the calling thread's stack of calls.
#ifdef _WIN32
#define PORT_ENTRY(name)
#else
#include "kvplatform.h"
#define PORT_ENTRY(name) kvplat::CallScope entryScope(name)
#endif

namespace sim {

namespace {

// ---- the table's slots ----

BOOL WINAPI SimOpenPort(LPSTR pName, PHANDLE pHandle)
{
    PORT_ENTRY("port monitor OpenPort");
    return ThePortMonitor().OpenPort(pName, pHandle);
}

BOOL WINAPI SimStartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo)
{
    PORT_ENTRY("port monitor StartDocPort");
    return ThePortMonitor().StartDocPort(hPort, pPrinterName, JobId, Level, pDocInfo);
}

BOOL WINAPI SimWritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten)
{
    PORT_ENTRY("port monitor WritePort");
    return ThePortMonitor().WritePort(hPort, pBuffer, cbBuf, pcbWritten);
}

BOOL WINAPI SimReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead)
{
    PORT_ENTRY("port monitor ReadPort");
    return ThePortMonitor().ReadPort(hPort, pBuffer, cbBuffer, pcbRead);
}

BOOL WINAPI SimEndDocPort(HANDLE hPort)
{
    PORT_ENTRY("port monitor EndDocPort");
    return ThePortMonitor().EndDocPort(hPort);
}

BOOL WINAPI SimClosePort(HANDLE hPort)
{
    PORT_ENTRY("port monitor ClosePort");
    return ThePortMonitor().ClosePort(hPort);
}

BOOL WINAPI SimGetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPSTR pValueName, LPSTR lpInBuffer,
                                      DWORD cbInBuffer, LPSTR lpOutBuffer, DWORD cbOutBuffer,
                                      LPDWORD lpcbReturned)
{
    PORT_ENTRY("port monitor GetPrinterDataFromPort");
    return ThePortMonitor().GetPrinterDataFromPort(hPort, ControlID, pValueName, lpInBuffer, cbInBuffer,
                                                   lpOutBuffer, cbOutBuffer, lpcbReturned);
}

MONITOR MakeTable()
{
    MONITOR t;
    std::memset(&t, 0, sizeof t);
    t.pfnOpenPort = SimOpenPort;
    t.pfnStartDocPort = SimStartDocPort;
    t.pfnWritePort = SimWritePort;
    t.pfnReadPort = SimReadPort;
    t.pfnEndDocPort = SimEndDocPort;
    t.pfnClosePort = SimClosePort;
    t.pfnGetPrinterDataFromPort = SimGetPrinterDataFromPort;
    return t;
}

const MONITOR g_table = MakeTable();

}  // namespace

// ---- answers ----

DeviceAnswer DeviceAnswer::Text(const std::string& bytes)
{
    DeviceAnswer a;
    a.kind = Kind::Bytes;
    a.bytes = bytes;
    a.count = static_cast<DWORD>(bytes.size());
    return a;
}

DeviceAnswer DeviceAnswer::Failure(DWORD error)
{
    DeviceAnswer a;
    a.kind = Kind::Fail;
    a.error = error;
    return a;
}

DeviceAnswer DeviceAnswer::Empty()
{
    DeviceAnswer a;
    a.kind = Kind::Empty;
    return a;
}

DeviceAnswer DeviceAnswer::ExactCount(const std::string& bytes, DWORD count)
{
    DeviceAnswer a;
    a.kind = Kind::Count;
    a.bytes = bytes;
    a.count = count;
    return a;
}

WriteAnswer WriteAnswer::Accept() { return WriteAnswer(); }

WriteAnswer WriteAnswer::Failure(DWORD error)
{
    WriteAnswer a;
    a.kind = Kind::Fail;
    a.error = error;
    return a;
}

WriteAnswer WriteAnswer::Zero()
{
    WriteAnswer a;
    a.kind = Kind::Zero;
    return a;
}

WriteAnswer WriteAnswer::AtMost(DWORD limit)
{
    WriteAnswer a;
    a.kind = Kind::AtMost;
    a.limit = limit;
    return a;
}

WriteAnswer WriteAnswer::Reports(DWORD count)
{
    WriteAnswer a;
    a.kind = Kind::Reports;
    a.limit = count;
    return a;
}

// ---- control API ----

PortMonitor::PortMonitor() { InitializeCriticalSection(&cs_); }

const MONITOR* PortMonitor::Table() const { return &g_table; }

void PortMonitor::Reset(bool logCalls, bool lastDocumentOnly, size_t keepAtMost)
{
    Lock lock(cs_);
    ports_.clear();
    handles_.clear();
    log_.clear();
    logging_ = logCalls;
    lastDocumentOnly_ = lastDocumentOnly;
    keepAtMost_ = lastDocumentOnly ? keepAtMost : SIZE_MAX;
    observer_ = nullptr;
}

PortMonitor::Port& PortMonitor::PortOf(const std::string& name)
{
    std::string key = FoldName(name);
    auto it = ports_.find(key);
    if (it == ports_.end()) {
        it = ports_.emplace(key, Port()).first;
        it->second.name = name;
    }
    return it->second;
}

const PortMonitor::Port* PortMonitor::FindPort(const std::string& name) const
{
    auto it = ports_.find(FoldName(name));
    return it == ports_.end() ? nullptr : &it->second;
}

PortMonitor::Port* PortMonitor::PortOfHandle(HANDLE h)
{
    auto it = handles_.find(reinterpret_cast<UINT_PTR>(h));
    if (it == handles_.end()) return nullptr;
    auto p = ports_.find(it->second);
    return p == ports_.end() ? nullptr : &p->second;
}

std::vector<PortCall> PortMonitor::Calls() const
{
    Lock lock(cs_);
    return log_;
}

std::vector<PortCall> PortMonitor::Calls(const std::string& function) const
{
    Lock lock(cs_);
    std::vector<PortCall> out;
    for (const auto& c : log_)
        if (c.function == function) out.push_back(c);
    return out;
}

unsigned PortMonitor::CallCount(const std::string& function) const
{
    Lock lock(cs_);
    return static_cast<unsigned>(
        std::count_if(log_.begin(), log_.end(), [&](const PortCall& c) { return c.function == function; }));
}

void PortMonitor::Clear()
{
    Lock lock(cs_);
    log_.clear();
    for (auto& p : ports_) p.second.written = ByteLog();
}

void PortMonitor::SetLogging(bool on)
{
    Lock lock(cs_);
    logging_ = on;
}

void PortMonitor::SetObserver(PortObserver observer)
{
    Lock lock(cs_);
    observer_ = std::move(observer);
}

std::string PortMonitor::Written(const std::string& port) const
{
    Lock lock(cs_);
    const Port* p = FindPort(port);
    return p ? p->written.kept : std::string();
}

ByteLog PortMonitor::WrittenLog(const std::string& port) const
{
    Lock lock(cs_);
    const Port* p = FindPort(port);
    return p ? p->written : ByteLog();
}


size_t PortMonitor::WriteAnswersLeft(const std::string& port) const
{
    Lock lock(cs_);
    const Port* p = FindPort(port);
    return p ? p->writeQueue.size() : 0;
}

unsigned PortMonitor::StartDocFailuresLeft(const std::string& port) const
{
    Lock lock(cs_);
    const Port* p = FindPort(port);
    return p ? p->startDocFailures : 0;
}

bool PortMonitor::DocumentOpen(const std::string& port) const
{
    Lock lock(cs_);
    const Port* p = FindPort(port);
    return p && p->docHandle != 0;
}

long PortMonitor::OpenHandleCount() const
{
    Lock lock(cs_);
    return static_cast<long>(handles_.size());
}

long PortMonitor::OpenHandleCount(const std::string& port) const
{
    Lock lock(cs_);
    std::string key = FoldName(port);
    return static_cast<long>(std::count_if(handles_.begin(), handles_.end(),
                                           [&](const std::pair<const UINT_PTR, std::string>& h) {
                                               return h.second == key;
                                           }));
}

void PortMonitor::FailOpenPort(const std::string& port, bool fail, DWORD error)
{
    Lock lock(cs_);
    Port& p = PortOf(port);
    p.failOpen = fail;
    p.openError = error;
}

void PortMonitor::FailStartDoc(const std::string& port, unsigned count, DWORD error)
{
    Lock lock(cs_);
    Port& p = PortOf(port);
    p.startDocFailures = count;
    p.startDocError = error;
}

void PortMonitor::QueueWriteAnswers(const std::string& port, const std::vector<WriteAnswer>& answers)
{
    Lock lock(cs_);
    Port& p = PortOf(port);
    p.writeQueue.insert(p.writeQueue.end(), answers.begin(), answers.end());
}

void PortMonitor::SetWriteAnswer(const std::string& port, const WriteAnswer& answer)
{
    Lock lock(cs_);
    Port& p = PortOf(port);
    p.writeQueue.clear();
    p.writeAnswer = answer;
}

void PortMonitor::QueueReadData(const std::string& port, const std::string& bytes)
{
    Lock lock(cs_);
    PortOf(port).readData += bytes;
}

void PortMonitor::ScriptDeviceAnswers(const std::string& port, const std::vector<DeviceAnswer>& answers)
{
    Lock lock(cs_);
    PortOf(port).deviceScript = answers;
}

void PortMonitor::SetDeviceAnswer(const std::string& port, const DeviceAnswer& answer)
{
    ScriptDeviceAnswers(port, {answer});
}

void PortMonitor::HoldDeviceQueries(const std::string& port, HANDLE gate, HANDLE entered)
{
    Lock lock(cs_);
    Port& p = PortOf(port);
    p.gate = gate;
    p.entered = gate ? entered : NULL;
}

void PortMonitor::DelayDeviceQueries(const std::string& port, DWORD ms)
{
    Lock lock(cs_);
    PortOf(port).queryDelay = ms;
}

long PortMonitor::QueriesWaiting(const std::string& port) const
{
    Lock lock(cs_);
    const Port* p = FindPort(port);
    return p ? p->waiting : 0;
}

PortMonitor& ThePortMonitor()
{
    // Never destroyed: polling threads of the monitor may still call in at process exit.
    static PortMonitor* instance = new PortMonitor;
    return *instance;
}

}  // namespace sim
