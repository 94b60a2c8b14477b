// The latency bound of a deterministic run: no thread working for one port (the spooler in
// a call on it, or its polling thread) waits on another port's device query. A hung device
// on one port must never hold up the spooler's calls, or the polling, of the others.
//
// Precisely: a thread working for port A that is blocked entering one of the monitor's
// critical sections (g_csPorts, a port's csPort or csQuery), whose chain of owners (the
// owner, the owner of the monitor's section that owner waits for, ...) ends at a thread
// inside a device query on port B, B not A, breaks the bound once its wait has lasted
// longer than one ReadCycle of virtual time. Waits on the simulation's own locks are the
// simulation's business and are not followed. Looked at every step and whenever the
// clock moves on (the moment a slow query's delay has passed while the others still wait).
#include <windows.h>

#include <map>
#include <set>

#include "kvmon.h"
#include "kvplatform.h"
#include "player.h"

namespace kvtools {

void Player::QueryBegins(HANDLE h)
{
    std::string port = "?";
    for (PortContext* ctx = g_pPortList; ctx != nullptr; ctx = ctx->next) {
        if (ctx->hMonitorPort == h && ctx->portName != nullptr)
            port = ctx->portName;
    }
    std::lock_guard<std::mutex> lock(trackMutex_);
    inQuery_[GetCurrentThreadId()] = port;
}

void Player::QueryEnds()
{
    std::lock_guard<std::mutex> lock(trackMutex_);
    inQuery_.erase(GetCurrentThreadId());
}

void Player::CheckLatency()
{
    std::map<DWORD, std::string> queries;
    std::string spoolerPort;
    {
        std::lock_guard<std::mutex> lock(trackMutex_);
        if (inQuery_.empty())
            return;  // nothing to wait on: the common case, and the cheap one
        queries = inQuery_;
        spoolerPort = callPort_;
    }
    std::set<const void*> monitorLocks = {kvplat::SectionKey(&g_csPorts)};
    for (PortContext* ctx = g_pPortList; ctx != nullptr; ctx = ctx->next) {
        monitorLocks.insert(kvplat::SectionKey(&ctx->csPort));
        monitorLocks.insert(kvplat::SectionKey(&ctx->csQuery));
    }
    std::vector<kvplat::SchedulerThread> threads = kvplat::SchedulerThreads();
    std::map<DWORD, DWORD> waitsOn;  // thread -> owner of the monitor's section it waits for
    for (const kvplat::SchedulerThread& t : threads)
        waitsOn[t.id] = monitorLocks.count(t.waitKey) != 0 ? t.waitOwner : 0;
    uint64_t now = kvplat::Scheduling().virtualMs;
    for (const kvplat::SchedulerThread& t : threads) {
        if (waitsOn[t.id] == 0 || now - t.waitSince <= g_dwReadCycle)
            continue;
        // The port the waiting thread works for: the spooler's call, or a polling thread's context.
        std::string port = t.id == spoolerThread_ ? spoolerPort : std::string();
        for (PortContext* ctx = g_pPortList; ctx != nullptr && port.empty(); ctx = ctx->next) {
            if (ctx == t.param && ctx->portName != nullptr)
                port = ctx->portName;
        }
        if (port.empty())
            continue;
        DWORD holder = t.waitOwner;
        for (size_t hops = 0; hops < threads.size() && queries.count(holder) == 0 && waitsOn[holder] != 0; hops++)
            holder = waitsOn[holder];
        auto q = queries.find(holder);
        if (q == queries.end() || sim::FoldName(q->second) == sim::FoldName(port))
            continue;
        std::string who = t.id == spoolerThread_ ? "the spooler's call on " + port : "the polling thread of " + port;
        Fail("latency", who + " has waited " + std::to_string(now - t.waitSince) + " ms (more than the ReadCycle, " +
                            std::to_string(g_dwReadCycle) + " ms) for a lock held up by a device query on " +
                            q->second);
        return;
    }
}

// A spooler call that does not return: the spooler's thread is lost, and with it every
// printer of the machine. Looked at with the latency bound; deterministic runs only.
void Player::CheckCallTime()
{
    std::string why;
    {
        std::lock_guard<std::mutex> lock(trackMutex_);
        if (callFunction_.empty() || callBoundMs_ == 0)
            return;  // the common case: no call, or a run in real time
        uint64_t now = kvplat::Scheduling().virtualMs;
        if (now - callSince_ <= callBoundMs_)
            return;
        why = "hang at " + std::to_string(now) + " ms: " + callFunction_ + " on " + callPort_ +
              " has not returned after " + std::to_string(now - callSince_) + " ms (the bound is " +
              std::to_string(callBoundMs_) +
              " ms: a hundred times the ReadCycle, the ECP back-off and the slowest device answer)";
    }
    // The call never returns, so the run cannot end by itself: it stops here, as on a
    // deadlock, and OnStuck reports it.
    kvplat::StopRun(why);
}

}  // namespace kvtools
