// Starting a port's polling thread, and handing the port over from a thread that is ending
// to the next one, so that every document on a polled port has a thread.
#include "kvmon.h"

// Closes the thread's events, the wake event first, and sets their fields to NULL.
// Called under g_csPorts.
void CloseStatusEvents(PortContext* ctx)
{
    HANDLE hEvent;

    hEvent = InterlockedExchangePointer((PVOID volatile*)&ctx->hWakeEvent, NULL);
    if (hEvent != NULL)
        CloseHandle(hEvent);
    hEvent = InterlockedExchangePointer((PVOID volatile*)&ctx->hIdleEvent, NULL);
    if (hEvent != NULL)
        CloseHandle(hEvent);
}

// Creates the events and the thread for a caller that has set PCF_THREAD_RUN; sets
// PCF_THREAD_ALIVE. Called under g_csPorts, with no other thread holding the events. FALSE
// when the thread could not be made: then nothing of the attempt is left behind and both
// flags are clear. PCF_THREAD_RUN is never set here: a ClosePort that cleared it since the
// caller set it has stopped the thread before it started, and the thread must see that.
static BOOL LaunchStatusThread(PortContext* ctx)
{
    HANDLE hThread = NULL;
    DWORD threadId = 0;

    ctx->hIdleEvent = CreateEventA(NULL, TRUE, TRUE, NULL);
    ctx->hWakeEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (ctx->hIdleEvent != NULL && ctx->hWakeEvent != NULL) {
        SetFlags(ctx, PCF_THREAD_ALIVE);
        hThread = CreateThread(NULL, STATUS_THREAD_STACK, StatusThreadProc, ctx, 0, &threadId);
    }
    if (hThread == NULL) {
        TRACE(TRACE_DECISIONS, ctx->portName, "not-polled", "no polling thread: %s failed (error %u)",
              ctx->hIdleEvent != NULL && ctx->hWakeEvent != NULL ? "CreateThread" : "CreateEventA",
              (unsigned)GetLastError());
        ClearFlags(ctx, PCF_THREAD_RUN | PCF_THREAD_ALIVE);
        CloseStatusEvents(ctx);
        return FALSE;
    }
    SetThreadPriority(hThread, THREAD_PRIORITY_LOWEST);
    CloseHandle(hThread);
    return TRUE;
}

void StartStatusThread(PortContext* ctx)
{
    if (!IsUsbPort(ctx->portName) && !IsLptPort(ctx->portName)) {
        TRACE(TRACE_DECISIONS, ctx->portName, "not-polled", "not a USB or LPT port");
        return;
    }
    if (ctx->portMonitor.pfnGetPrinterDataFromPort == NULL) {
        TRACE(TRACE_DECISIONS, ctx->portName, "not-polled", "the port monitor has no GetPrinterDataFromPort");
        return;
    }

    EnterCriticalSection(&g_csPorts);
    if (TestFlags(ctx, PCF_THREAD_ALIVE)) {
        // A thread that is still ending holds the events: never start a second one beside
        // it, and never hold the spooler until it is gone. Its exit, under this lock,
        // starts the next thread for this document.
        SetFlags(ctx, PCF_THREAD_NEXT);
        TRACE(TRACE_DECISIONS, ctx->portName, "thread-owed",
              "the previous polling thread is still ending: it starts the next one as it ends");
    } else {
        SetFlags(ctx, PCF_THREAD_RUN);
        if (LaunchStatusThread(ctx))
            SetFlags(ctx, PCF_FIRST_QUERY);
    }
    LeaveCriticalSection(&g_csPorts);
}

// The exit of a polling thread, under g_csPorts, after it has released its events: when a
// document opened while it was ending asked for the next thread, and that document is still
// open at the port monitor, the port gets its new thread now. TRUE when the new thread runs:
// PCF_THREAD_ALIVE is then its own. The owed thread becomes PCF_THREAD_RUN in one
// indivisible step, so a ClosePort that clears both flags at once either cancels it or
// finds it running and ends it.
BOOL HandOverStatusThread(PortContext* ctx)
{
    LONG flags;

    do {
        flags = __atomic_load_n(&ctx->flags, __ATOMIC_ACQUIRE);
        if (!(flags & PCF_THREAD_NEXT))
            return FALSE;
        if (!(flags & PCF_DOC_STARTED)) {
            // The document ended meanwhile (EndDocPort or ClosePort): no thread is owed.
            ClearFlags(ctx, PCF_THREAD_NEXT);
            return FALSE;
        }
    } while (InterlockedCompareExchange(&ctx->flags, (flags & ~PCF_THREAD_NEXT) | PCF_THREAD_RUN, flags) != flags);

    TRACE(TRACE_DECISIONS, ctx->portName, "thread-handover", "document %u gets the polling thread it was owed",
          (unsigned)ctx->docSerial);
    return LaunchStatusThread(ctx);
}
