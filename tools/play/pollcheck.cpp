// The checks that the polling thread polls when it must, made at every step of a
// deterministic run: every document the spooler prints on a polled port has its thread, and
// a status request the thread was asked for is never slept through.
#include <algorithm>

#include "kvplatform.h"
#include "player.h"
#include "simtext.h"

namespace kvtools {

// A document is printing on a port that gets a polling thread (USB or LPT, a port monitor
// with GetPrinterDataFromPort): from a good StartDocPort to its EndDocPort, while its job is
// in the queue. Its thread must run, or be owed by an ending thread, within one ReadCycle
// of virtual time; otherwise a failed write is never followed by a query. A job that left
// the queue with its printer needs no thread: the thread ends on a deleted printer. The
// bound holds for threads that run: a stall (a thread held while it could run) restarts it,
// as any thread, the spooler's in ClosePort as much as an ending polling thread, may be the
// one held.
void Player::CheckPolled()
{
    uint64_t now = kvplat::Scheduling().virtualMs;
    std::map<std::string, uint64_t> unpolled;

    // The port list changes under g_csPorts; the queue is read through the spooler's lock.
    if (violation_ || kvplat::SectionOwner(&g_csPorts) != 0 || spooler_.LockOwner() != 0)
        return;
    for (PortContext* ctx = g_pPortList; ctx != nullptr; ctx = ctx->next) {
        LONG flags = ctx->flags;
        bool polled = (IsUsbPort(ctx->portName) || IsLptPort(ctx->portName)) &&
                      ctx->portMonitor.pfnGetPrinterDataFromPort != NULL;
        if (!polled || (flags & (PCF_JOB_ACTIVE | PCF_DOC_STARTED)) != (PCF_JOB_ACTIVE | PCF_DOC_STARTED) ||
            (flags & (PCF_THREAD_RUN | PCF_THREAD_NEXT)) != 0)
            continue;
        std::string port = ctx->portName;
        DWORD job = 0;
        {
            std::lock_guard<std::mutex> lock(trackMutex_);
            job = track_[sim::FoldName(port)].atPortMonitor;
        }
        if (job == 0 || !JobExists(job))
            continue;
        auto it = unpolledSince_.find(port);
        uint64_t since = it != unpolledSince_.end() && stallEnd_ <= it->second ? it->second : std::max(now, stallEnd_);
        unpolled[port] = since;
        if (now > since && now - since > g_dwReadCycle) {
            Fail("document not polled", "job " + std::to_string(job) + " prints on " + port +
                                            " with no polling thread since " + std::to_string(since) + " ms (" +
                                            std::to_string(now - since) + " ms, ReadCycle " +
                                            std::to_string(g_dwReadCycle) + " ms)");
            break;
        }
    }
    unpolledSince_.swap(unpolled);
}

// A "Printer Status" request raises the port's request flag and then sets the thread's wake
// event, both under g_csPorts. A polling thread that sleeps without a timeout (parked while
// a job prints) with the flag up and its wake event not set has lost the request: nothing
// wakes it for that query, and the client reads a stale status until the next write error
// or the end of the document. Its timed waits between jobs end in a query anyway.
void Player::CheckRequests()
{
    if (violation_ || kvplat::SectionOwner(&g_csPorts) != 0)
        return;
    std::vector<kvplat::SchedulerThread> threads;
    for (PortContext* ctx = g_pPortList; ctx != nullptr; ctx = ctx->next) {
        if ((ctx->flags & (PCF_STATUS_REQUEST | PCF_THREAD_RUN)) != (PCF_STATUS_REQUEST | PCF_THREAD_RUN))
            continue;
        if (threads.empty())
            threads = kvplat::SchedulerThreads();
        for (const kvplat::SchedulerThread& t : threads) {
            if (t.param == ctx && t.waitCall != nullptr &&
                std::string(t.waitCall) == "WaitForSingleObject(event, INFINITE)") {
                Fail("status request lost", "a status request on " + std::string(ctx->portName) +
                                                " waits for a query, but its polling thread sleeps until it is woken, "
                                                "and nothing will wake it");
                return;
            }
        }
    }
}

}  // namespace kvtools
