// One status query end to end: device ID from the port monitor, recognition, the status
// block published, the status code applied to the printer.
#include <string.h>

#include "kvmon.h"

// Working buffers of one query, zero-filled, in one allocation to keep the polling
// thread's small stack free.
typedef struct _QueryBuffers {
    char copy[DEVID_BUFFER_SIZE];       // copy of the reply, cut up by the parser
    BYTE record[DEVID_BUFFER_SIZE];     // decoded status record
    BYTE block[STATUS_BLOCK_SIZE];      // status block being published
    char mfg[NAME_BUFFER_SIZE];         // manufacturer, then the "manufacturer model" text
    char mdl[NAME_BUFFER_SIZE];         // model
} QueryBuffers;

void CloseStatusMapping(PortContext* ctx)
{
    HANDLE hMapping = InterlockedExchangePointer((PVOID volatile*)&ctx->hMapping, NULL);

    if (hMapping != NULL)
        CloseHandle(hMapping);
}

// Builds "manufacturer model" in the manufacturer buffer, cut to fit its 260 bytes.
static void BuildModelText(char* mfg, const char* mdl)
{
    int used = lstrlenA(mfg);

    if (used < NAME_BUFFER_SIZE - 1) {
        mfg[used++] = ' ';
        lstrcpynA(mfg + used, mdl, NAME_BUFFER_SIZE - used);
    }
}

// Says whether the reply was recognised and, when not, which rule it failed. The reply has
// been parsed: the context's flags tell the outcome.
static void TraceRecognition(PortContext* ctx, const char* reply)
{
    if (TestFlags(ctx, PCF_UNRECOGNISED)) {
        TRACE(TRACE_DECISIONS, ctx->portName, "not-recognised", "%s; status left as it was, block withdrawn",
              !TestFlags(ctx, PCF_MAKER_OK) ? "no MFG: or MANUFACTURER: value beginning \"Kestravon\""
                                            : "no MDL: or MODEL: value beginning with an accepted model");
    } else if (FindVStatus(reply) == NULL) {
        TRACE(TRACE_DECISIONS, ctx->portName, "not-published",
              "recognised, but no \"VSTATUS:\" field: status left as it was, block withdrawn");
    } else {
        TRACE(TRACE_QUERIES, ctx->portName, "recognised", "maker and model accepted");
    }
}

// reply is the query's 1024-byte buffer, zero-filled behind the answer, or NULL for no
// answer. The reply is changed in place ("FL1;" becomes "FL0;").
BOOL ProcessDeviceId(PortContext* ctx, char* reply, WORD len)
{
    QueryBuffers* buf = NULL;
    char* payload;
    DWORD recordLen = 0;
    DWORD blockLen;
    WORD code;

    if (reply == NULL) {
        TRACE(TRACE_DECISIONS, ctx->portName, "no-answer", "the device did not answer: code %u, printer offline",
              (unsigned)STATUS_NO_RESPONSE);
        ApplyStatusCode(STATUS_NO_RESPONSE, ctx, NULL);
        CloseStatusMapping(ctx);
        return FALSE;
    }
    if (len > DEVID_BUFFER_SIZE)
        len = DEVID_BUFFER_SIZE;
    // A full buffer without a NUL is cut so that every text search ends inside it.
    if (memchr(reply, '\0', DEVID_BUFFER_SIZE) == NULL)
        reply[DEVID_BUFFER_SIZE - 1] = '\0';

    buf = (QueryBuffers*)LocalAlloc(LMEM_ZEROINIT, sizeof(QueryBuffers));
    if (buf == NULL)
        return FALSE;

    memcpy(buf->copy, reply, len);
    ParseDeviceId(ctx, buf->copy, buf->mfg, buf->mdl);
    if (TRACE_WANTED(TRACE_DECISIONS))
        TraceRecognition(ctx, reply);
    if (TestFlags(ctx, PCF_UNRECOGNISED) || (payload = FindVStatus(reply)) == NULL) {
        CloseStatusMapping(ctx);
        LocalFree(buf);
        return FALSE;
    }

    if (DecodeVStatus(reply, payload, buf->record, &recordLen)) {
        // Decoded form: the text through "VSTATUS:" (now reading "FL0;"), then the record.
        DWORD prefixLen = (DWORD)(payload - reply);
        blockLen = prefixLen + recordLen + 2;
        memcpy(buf->block + 2, reply, prefixLen);
        memcpy(buf->block + 2 + prefixLen, buf->record, recordLen);
        code = StatusCodeAt(buf->record, 0);
        TRACE(TRACE_QUERIES, ctx->portName, "record", "decoded from Base64: %u bytes, code %u from bytes 21-22",
              (unsigned)recordLen, (unsigned)code);
    } else {
        // Raw form: the reply less its last two bytes, behind a length equal to the reply's.
        DWORD start = (DWORD)(payload - reply);
        blockLen = len;
        if (len >= 2)
            memcpy(buf->block + 2, reply, len - 2u);
        code = StatusCodeAt((const BYTE*)reply, start);
        TRACE(TRACE_QUERIES, ctx->portName, "record",
              "raw (no \"FL1;\" before \"VSTATUS:\", or not whole Base64 groups): code %u from bytes 21-22",
              (unsigned)code);
    }

    // Publication comes before the code is applied. A reply too short to hold the length
    // field publishes nothing.
    if (blockLen >= 2) {
        buf->block[0] = (BYTE)(blockLen >> 8);
        buf->block[1] = (BYTE)(blockLen & 0xFF);
        PublishStatusBlock(buf->block, (WORD)blockLen, ctx);
    } else {
        TRACE(TRACE_DECISIONS, ctx->portName, "not-published", "a reply of %u byte(s) cannot hold the length field",
              (unsigned)len);
    }

    BuildModelText(buf->mfg, buf->mdl);
    ApplyStatusCode(code, ctx, buf->mfg);
    LocalFree(buf);
    return TRUE;
}

BOOL QueryDeviceStatus(PortContext* ctx, BOOL signalIdle)
{
    HANDLE hIdle = NULL;
    char* reply = NULL;
    DWORD count = 0;
    BOOL result = FALSE;

    if (!TestFlags(ctx, PCF_DOC_STARTED)) {
        TRACE(TRACE_QUERIES, ctx->portName, "not-queried", "no document is open at the port monitor");
        return FALSE;
    }
    if (signalIdle) {
        hIdle = ReadHandle(&ctx->hIdleEvent);
        if (hIdle != NULL)
            ResetEvent(hIdle);
    }

    if (ctx->portMonitor.pfnGetPrinterDataFromPort != NULL) {
        EnterCriticalSection(&ctx->csQuery);
        // The block and the status bits belong to the polling thread, whose exit closes and
        // clears them after it has taken this lock. StartDocPort's own query comes from
        // another thread and may come late: once PCF_THREAD_RUN is clear, that exit may have
        // passed already, and nothing would close what the query published.
        if (!signalIdle && !TestFlags(ctx, PCF_THREAD_RUN))
            TRACE(TRACE_DECISIONS, ctx->portName, "not-queried",
                  "the polling thread has ended: nothing would close a block published now");
        else
            reply = (char*)LocalAlloc(LMEM_ZEROINIT, DEVID_BUFFER_SIZE);
        if (reply != NULL) {
            DWORD control = IsUsbPort(ctx->portName) ? CONTROL_QUERY_DEVICE_ID_USB : CONTROL_QUERY_DEVICE_ID_LPT;
            BOOL answered = ctx->portMonitor.pfnGetPrinterDataFromPort(ctx->hMonitorPort, control, NULL, NULL, 0,
                                                                        reply, DEVID_BUFFER_SIZE, &count);
            // A count beyond the buffer is the port monitor's mistake: never read past it.
            if (count > DEVID_BUFFER_SIZE)
                count = DEVID_BUFFER_SIZE;
            TRACE(TRACE_QUERIES, ctx->portName, "query", "control 0x%08X: %s, error %u, %u bytes", (unsigned)control,
                  answered ? "TRUE" : "FALSE", answered ? 0u : (unsigned)GetLastError(), (unsigned)count);
            result = ProcessDeviceId(ctx, answered && count != 0 ? reply : NULL, (WORD)count);
            LocalFree(reply);
        }
        LeaveCriticalSection(&ctx->csQuery);
    }

    if (hIdle != NULL)
        SetEvent(hIdle);
    return result;
}
