// The checks made at every step of a deterministic run: whenever the baton is about to
// pass to another thread, i.e. at every moment another thread could see the state.
//
// The status bits a port set on its printer are guarded by the port's csPort (and its
// printer changes under g_csPorts too): while some thread holds one, the state is between
// two consistent points and is not looked at.
#include "devstatus.h"
#include "kvplatform.h"
#include "player.h"
#include "simtext.h"

namespace kvtools {

namespace {

// The bits ApplyStatusCode sets for a code.
DWORD CodeBits(DWORD code)
{
    const StatusCodeRow* row = FindStatusCode(static_cast<WORD>(code));
    DWORD bits = row != nullptr ? row->printerStatus : 0;
    if (row == nullptr || row->markOffline)
        bits |= PRINTER_STATUS_OFFLINE;
    return bits;
}

std::string Bits(DWORD bits)
{
    return Hex32(bits) + " " + StatusBitNames(bits);
}

}  // namespace

// The printer's status bits equal what the port's last applied code says, or 0 after a
// good write or a release: a printer shows what its port holds (or nothing once the port
// let go of it: no polling thread, or a new document before its first status), what a port
// holds is 0 or the bits of its last code, and a printer no port is attached to shows
// nothing.
void Player::CheckStep()
{
    if (violation_ || kvplat::SectionOwner(&g_csPorts) != 0 || spooler_.LockOwner() != 0)
        return;
    std::map<std::string, const PortContext*> attached;  // printer -> the port on it
    for (const PortContext* ctx = g_pPortList; ctx != nullptr; ctx = ctx->next) {
        if (kvplat::SectionOwner(const_cast<CRITICAL_SECTION*>(&ctx->csPort)) != 0)
            return;
        if (ctx->hPrinter == NULL)
            continue;
        std::optional<std::string> printer = spooler_.HandlePrinter(ctx->hPrinter);
        if (!printer)
            continue;  // deleted: nothing shows its status any more
        attached.emplace(*printer, ctx);
        DWORD held = ctx->printerStatus;
        DWORD shown = spooler_.PrinterStatus(*printer);
        bool letGo = ctx->lastCode == 0 || (ctx->flags & PCF_THREAD_RUN) == 0;
        std::string port = ctx->portName != nullptr ? ctx->portName : "?";
        if (held != 0 && ctx->lastCode != 0 && held != CodeBits(ctx->lastCode)) {
            Fail("status bits", "port " + port + " holds " + Bits(held) + ", but its last applied code " +
                                    std::to_string(ctx->lastCode) + " means " + Bits(CodeBits(ctx->lastCode)));
            return;
        }
        if (shown != held && !(shown == 0 && letGo)) {
            Fail("status bits", "printer " + Q(*printer) + " shows " + Bits(shown) + ", but port " + port +
                                    " holds " + Bits(held) + " (last applied code " + std::to_string(ctx->lastCode) +
                                    ")");
            return;
        }
    }
    for (const std::string& printer : spooler_.Printers()) {
        DWORD shown = spooler_.PrinterStatus(printer);
        if (shown != 0 && attached.count(printer) == 0) {
            Fail("status bits", "printer " + Q(printer) + " shows " + Bits(shown) +
                                    ", but no open port is attached to it");
            return;
        }
    }
}

}  // namespace kvtools
