// The changes a generated scenario draws around the spooler's protocol: failing starts and
// their prompt answers, the devices' answers, the port monitor's faults, and printers renamed,
// deleted, added again, given jobs, and the companion's folder.
#include <algorithm>

#include "generator.h"

namespace kvtools {

namespace gen {

bool Generator::StartFails(size_t p)
{
    if (!On(kStartFails))
        return false;
    OnPort(p);
    unsigned n = 1 + rng_.Below(3);
    Line("start-fails" + (n == 1 && rng_.OneIn(2) ? std::string() : " " + std::to_string(n)));
    ports_[p].failsAhead = n;
    for (unsigned i = rng_.Below(3); i > 0; i--) {
        bool retry = rng_.OneIn(2);
        Line(retry ? "answer retry" : "answer cancel");
        answers_.push_back(retry);
    }
    return true;
}

bool Generator::Device(GenPort& port)
{
    std::vector<std::string> choices;
    const std::string d = "device " + port.name + " ";
    if (On(kCodes)) {
        unsigned code = rng_.Pick({63400u, 42632u, 40401u, 12211u, 63256u, 40251u, 15011u, 12345u, 63400u});
        choices.push_back(d + "code " + std::to_string(code) + (Raw() ? " raw" : ""));
    }
    if (On(kUnrecognised)) {
        choices.push_back(d + "code 42632 maker " + Q("Brother"));
        choices.push_back(d + "code 63400 model " + Q("XQ-100"));
        choices.push_back(d + "answer " + Q("MFG:Kestravon;MDL:ZR-QM4471;CMD:PJL;"));
        choices.push_back(d + "answer " + Q("MFG:Kestravon;MDL:ZR-QM4471;VSTATUS:AB;"));
        choices.push_back(d + "answer " + Q("MFG:Kestravon;CMD:PJL;VSTATUS:AAAAAAAAAAAAAAAAAAAAAAAAAAAA96gA"));
    }
    if (On(kNoAnswer)) {
        choices.push_back(d + "no-answer");
        choices.push_back(d + "empty");
    }
    if (On(kSlow))
        choices.push_back(d + "slow " + std::to_string(rng_.Pick({0u, 100u, 1500u, 2500u, 6000u})));
    if (On(kQueryError))
        choices.push_back(d + "query-error " +
                          rng_.Pick({"ERROR_GEN_FAILURE", "ERROR_DEVICE_NOT_CONNECTED", "ERROR_SEM_TIMEOUT", "31"}));
    if (choices.empty())
        return false;
    Line(choices[rng_.Below(static_cast<unsigned>(choices.size()))]);
    return true;
}

bool Generator::PortMonitorFault(size_t p)
{
    std::vector<std::string> choices;
    unsigned n = 1 + rng_.Below(3);
    std::string count = n == 1 ? "" : " " + std::to_string(n);
    if (On(kWriteFails))
        choices.push_back("write-fails" + count + (rng_.OneIn(3) ? " zero" : ""));
    if (On(kWritePartial))
        choices.push_back("write-partial " + std::to_string(rng_.Pick({1u, 4u, 100u})) + count);
    if (On(kWriteMiscount))
        choices.push_back("write-miscount " + std::to_string(rng_.Pick({0u, 2u, 100u})) + count);
    if (choices.empty())
        return false;
    OnPort(p);
    Line(choices[rng_.Below(static_cast<unsigned>(choices.size()))]);
    return true;
}

bool Generator::PrinterChange(unsigned draw)
{
    size_t i = rng_.Below(static_cast<unsigned>(printers_.size()));
    GenPrinter& printer = printers_[i];
    if (draw <= 26) {
        if (!On(kRename) || printer.deleted)
            return false;
        Select(i);
        std::string freed = printer.name;
        printer.name = NewName();
        Line("rename " + Q(printer.name));
        // Sometimes another printer of the port takes the freed name at once, before a
        // polling thread could follow the rename: the port's handle then names a printer
        // other than the one its next document is for.
        if (!rng_.OneIn(3))
            return true;
        for (size_t j = 0; j < printers_.size(); j++) {
            if (j != i && printers_[j].port == printer.port && !printers_[j].deleted) {
                Select(j);
                printers_[j].name = freed;
                Line("rename " + Q(freed));
                break;
            }
        }
        return true;
    }
    if ((draw == 28 || draw == 25) && On(kDelete)) {
        size_t p = AnyPort();
        if (ports_[p].open && !printers_[ports_[p].follows].deleted)
            return GoneAndBack(ports_[p].follows);
    }
    if (draw <= 28) {
        if (!On(kDelete))
            return false;
        if (printer.deleted && !MayComeBack())
            return false;
        Select(i);
        Line(printer.deleted ? "add-printer" : "delete-printer");
        printer.deleted = !printer.deleted;
        return true;
    }
    if (draw == 29) {
        if (!On(kQueue))
            return false;
        Select(i);
        Line(rng_.OneIn(2) ? "queue-job" : "clear-jobs");
        return true;
    }
    if (draw == 30) {
        if (!On(kCompanion))
            return false;
        Line(rng_.OneIn(4) ? std::string("statovue ") + rng_.Pick({"on", "off"})
                           : std::string("companion ") + rng_.Pick({"ok", "missing", "read-only"}));
        return true;
    }
    if (rng_.OneIn(3) && AddToPort())
        return true;
    Pass(Wait());
    return true;
}

bool Generator::MayComeBack() const
{
    if (!answering_)
        return true;
    for (const GenPort& port : ports_) {
        if (port.open)
            return false;
    }
    return true;
}

// A printer deleted on an open port and, about when its polling thread looks again,
// back (add-printer), or asked for, or sent a new document.
bool Generator::GoneAndBack(size_t i)
{
    GenPort& port = ports_[printers_[i].port];
    Select(i);
    bool held = false;
    if (port.doc && rng_.OneIn(2)) {
        // The document ends first: its thread holds it and polls from now on (with no
        // status block, when the device stops answering).
        if ((On(kNoAnswer) || On(kStatusRequest)) && rng_.OneIn(2))
            Line("device " + port.name + " no-answer");
        held = true;
        Line("end-doc");
        port.woken = now_;
        port.doc = false;
    }
    Line("delete-printer");
    printers_[i].deleted = true;
    // What comes next is timed to the thread's second look at the printer, mostly.
    unsigned next = held && On(kStatusRequest) && rng_.OneIn(2) ? 1 : std::min(rng_.Below(4), 2u);
    switch (rng_.Below(next == 0 ? 4 : 6)) {
    case 0:
        Pass(cycle_ * (1 + rng_.Below(2)));
        break;
    case 1:
        Pass(rng_.Pick({0u, 1000u, 1999u, 2000u, 2001u, 3000u, 4000u}));
        break;
    default:
        Pass(ConfirmWait(port));
        break;
    }
    if (next == 0 || port.doc) {
        if (MayComeBack()) {
            Line("add-printer");
            printers_[i].deleted = false;
        }
        return true;
    }
    if (next == 1 && On(kStatusRequest)) {
        Line("status-request");
        port.woken = now_;
    } else {
        StartDoc(port);
    }
    return true;
}

}  // namespace gen

}  // namespace kvtools
