// The checks made at every step of a deterministic run: whenever the baton is about to
// pass to another thread, i.e. at every moment another thread could see the state.
//
// The status bits a port set on its printer are guarded by the port's csPort (and its
// printer changes under g_csPorts too): while some thread holds one, the state is between
// two consistent points and is not looked at.
#include "stepcheck.h"

#include "devstatus.h"
#include "kvplatform.h"
#include "player.h"
#include "simtext.h"

namespace kvtools {

namespace {

std::string Bits(DWORD bits)
{
    return Hex32(bits) + " " + StatusBitNames(bits);
}

}  // namespace

DWORD CodeBits(DWORD code)
{
    const StatusCodeRow* row = FindStatusCode(static_cast<WORD>(code));
    DWORD bits = row != nullptr ? row->printerStatus : 0;
    if (row == nullptr || row->markOffline)
        bits |= PRINTER_STATUS_OFFLINE;
    return bits;
}

std::string StatusBitsProblem(const std::vector<PortStatus>& ports, const std::map<std::string, DWORD>& shown)
{
    for (const PortStatus& p : ports) {
        if (p.held != 0 && p.lastCode != 0 && p.held != CodeBits(p.lastCode))
            return "port " + p.port + " holds " + Bits(p.held) + ", but its last applied code " +
                   std::to_string(p.lastCode) + " means " + Bits(CodeBits(p.lastCode));
        auto it = shown.find(p.printer);
        DWORD bits = it != shown.end() ? it->second : 0;
        bool letGo = p.lastCode == 0 || !p.polling;
        if (bits != p.held && !(bits == 0 && letGo))
            return "printer " + Q(p.printer) + " shows " + Bits(bits) + ", but port " + p.port + " holds " +
                   Bits(p.held) + " (last applied code " + std::to_string(p.lastCode) + ")";
    }
    for (const auto& entry : shown) {
        bool attached = false;
        for (const PortStatus& p : ports)
            attached = attached || p.printer == entry.first;
        if (entry.second != 0 && !attached)
            return "printer " + Q(entry.first) + " shows " + Bits(entry.second) + ", but no open port is attached to it";
    }
    return std::string();
}

// A port's status block exists only while a polling thread polls the port (the thread
// closes it on its way out; a block published after that is never closed), and only for a
// last answer that was recognised and had a status field. A port's block is its query's
// working state: while its query lock is held it is not looked at. Every mapping the
// monitor holds belongs to a block of an open port, and every event to a polling thread
// of an open port (events come and go under g_csPorts).
void Player::CheckBlocks()
{
    if (!baseline_)
        return;
    long held = 0;
    long events = 0;
    bool settled = kvplat::SectionOwner(&g_csPorts) == 0;
    for (PortContext* ctx = g_pPortList; ctx != nullptr; ctx = ctx->next) {
        events += (ReadHandle(&ctx->hWakeEvent) != NULL ? 1 : 0) + (ReadHandle(&ctx->hIdleEvent) != NULL ? 1 : 0);
        if (kvplat::SectionOwner(&ctx->csQuery) != 0) {
            settled = false;
            continue;
        }
        if (ReadHandle(&ctx->hMapping) == NULL)
            continue;
        held++;
        std::string port = ctx->portName != nullptr ? ctx->portName : "?";
        bool answer = false;
        {
            std::lock_guard<std::mutex> lock(trackMutex_);
            answer = track_[sim::FoldName(port)].statusAnswer;
        }
        if (!TestFlags(ctx, PCF_THREAD_ALIVE)) {
            Fail("status block without polling",
                 "port " + port + " holds a status block, but no polling thread polls it: nothing will close it");
            return;
        }
        if (!answer) {
            Fail("status block without status", "port " + port + " holds a status block, but its last answer was not "
                                                                  "a recognised reply with a status field");
            return;
        }
    }
    long mappings = kvplat::LiveMappings() - baseline_->mappings;
    long liveEvents = kvplat::LiveEvents() - baseline_->events;
    if (settled && mappings > held)
        Fail("left behind by a closed port", std::to_string(mappings) + " status block mappings are open, but the open "
                                             "ports hold " + std::to_string(held));
    else if (settled && liveEvents > events)
        Fail("left behind by a closed port", std::to_string(liveEvents) + " events are open, but the open ports' "
                                             "polling threads hold " + std::to_string(events));
}

// Every printing document on a polled port has its polling thread (pollcheck.cpp); the
// printer's status bits equal what the port's last applied code says, or 0 after a good
// write or a release.
void Player::CheckStep()
{
    if (violation_)
        return;
    CheckLatency();
    CheckCallTime();
    CheckBlocks();
    if (violation_ || kvplat::SectionOwner(&g_csPorts) != 0 || spooler_.LockOwner() != 0)
        return;
    CheckPolled();
    CheckRequests();
    std::vector<PortStatus> ports;
    for (PortContext* ctx = g_pPortList; ctx != nullptr; ctx = ctx->next) {
        if (kvplat::SectionOwner(&ctx->csPort) != 0)
            return;
        std::optional<std::string> printer;
        if (ctx->hPrinter != NULL)
            printer = spooler_.HandlePrinter(ctx->hPrinter);
        if (!printer)
            continue;  // none, or deleted: nothing shows its status any more
        ports.push_back(PortStatus{ctx->portName != nullptr ? ctx->portName : "?", *printer, ctx->printerStatus,
                                   ctx->lastCode, (ctx->flags & PCF_THREAD_RUN) != 0});
    }
    std::map<std::string, DWORD> shown;
    for (const std::string& printer : spooler_.Printers())
        shown[printer] = spooler_.PrinterStatus(printer);
    std::string problem = StatusBitsProblem(ports, shown);
    if (!problem.empty())
        Fail("status bits", problem);
}

}  // namespace kvtools
