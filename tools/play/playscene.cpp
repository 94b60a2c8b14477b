// Playing the scenario's commands that set the scene: printers and their ports in the
// spooler, the devices' answers, the port monitor's scripted failures, prompt answers,
// waits, expects and changes of printers and queues.
#include <algorithm>
#include <filesystem>
#include <type_traits>

#include "devstatus.h"
#include "kvplatform.h"
#include "player.h"
#include "simcommon.h"
#include "simtext.h"

namespace kvtools {

namespace {

std::string PortDescription(const std::string& port, bool ecp)
{
    std::string p = port.substr(0, 3);
    for (char& c : p)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    std::string d = p == "USB" ? "Virtual printer port for USB" : p == "LPT" ? "Printer Port" : "Local Port";
    return ecp ? "ECP " + d : d;
}

}  // namespace

void Player::Do(const Command&, const cmd::ReadCycle& x)
{
    Note("note", "ReadCycle " + std::to_string(x.ms) + " ms was stored before the monitor started");
}

void Player::Do(const Command&, const cmd::Statovue& x)
{
    SetStatovue(x.on);
}

// The folder registered as the companion's stays registered; what changes is whether the
// monitor can write vuelog.err in it. A read-only file is held by a folder of that name:
// it cannot be read or written, whoever runs the simulator (file modes do not stop root),
// and every write fails with ERROR_ACCESS_DENIED, as on a read-only file.
void Player::Do(const Command&, const cmd::Companion& x)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path file = fs::path(folder_) / "vuelog.err";
    std::string what;
    switch (x.folder) {
    case cmd::Companion::Folder::Missing:
        fs::remove_all(folder_, ec);
        what = "is gone: vuelog.err cannot be created";
        break;
    case cmd::Companion::Folder::ReadOnly:
        fs::create_directories(folder_, ec);
        fs::remove_all(file, ec);
        fs::create_directory(file, ec);
        what = "cannot be written: vuelog.err is read-only";
        break;
    case cmd::Companion::Folder::Ok:
        fs::create_directories(folder_, ec);
        std::error_code absent;  // no vuelog.err is no error here
        if (fs::is_directory(file, absent))
            fs::remove_all(file, ec);
        what = "can be written";
        break;
    }
    Note("note", "the companion's folder " + what + (ec ? " (" + ec.message() + ")" : ""));
}

void Player::Do(const Command& c, const cmd::Printer& x)
{
    spooler_.AddPort(c.port, PortDescription(c.port, x.ecp));
    spooler_.AddPrinter(c.printer, c.port, x.driver, x.monitor);
    printers_[sim::FoldName(c.printer)] = PrinterDecl{x.driver, x.monitor};
}

void Player::Do(const Command&, const cmd::Select&) {}

void Player::Do(const Command& c, const cmd::DeviceAnswer& x)
{
    pm_.SetDeviceAnswer(c.port, sim::DeviceAnswer::Text(x.reply));
}

void Player::Do(const Command& c, const cmd::DeviceCode& x)
{
    std::string reply = KestravonReply(x.code, x.raw, x.maker, x.model);
    pm_.SetDeviceAnswer(c.port, sim::DeviceAnswer::Text(reply));
    Note("note", "device " + c.port + " now reports code " + std::to_string(x.code) + " (" + CodeMeaning(x.code) +
                     "), " + (x.raw ? "raw" : "Base64") + " record, " + std::to_string(reply.size()) + " bytes");
}

void Player::Do(const Command& c, const cmd::DeviceNoAnswer& x)
{
    pm_.SetDeviceAnswer(c.port, sim::DeviceAnswer::Failure(x.error));
}

void Player::Do(const Command& c, const cmd::DeviceEmpty&)
{
    pm_.SetDeviceAnswer(c.port, sim::DeviceAnswer::Empty());
}

void Player::Do(const Command& c, const cmd::DeviceSlow& x)
{
    pm_.DelayDeviceQueries(c.port, x.ms);
}

void Player::Do(const Command& c, const cmd::StartFails& x)
{
    startFailScripts_[sim::FoldName(c.port)] = &c;
    pm_.FailStartDoc(c.port, x.count);
}

void Player::Do(const Command& c, const cmd::Answer& x)
{
    std::lock_guard<std::mutex> lock(answersMutex_);
    answers_.emplace_back(x.retry ? IDRETRY : IDCANCEL, &c);
}

void Player::Do(const Command& c, const cmd::WriteFails& x)
{
    writeScripts_[sim::FoldName(c.port)].push_back(&c);
    pm_.QueueWriteAnswers(c.port, std::vector<sim::WriteAnswer>(x.count, x.zero ? sim::WriteAnswer::Zero()
                                                                                : sim::WriteAnswer::Failure()));
}

void Player::Do(const Command& c, const cmd::WritePartial& x)
{
    writeScripts_[sim::FoldName(c.port)].push_back(&c);
    pm_.QueueWriteAnswers(c.port, std::vector<sim::WriteAnswer>(x.count, sim::WriteAnswer::AtMost(x.most)));
}

void Player::Do(const Command& c, const cmd::WriteMiscount& x)
{
    writeScripts_[sim::FoldName(c.port)].push_back(&c);
    pm_.QueueWriteAnswers(c.port, std::vector<sim::WriteAnswer>(x.count, sim::WriteAnswer::Reports(x.reported)));
}

// The state is read once every thread that can run at this time has run: a thread woken at
// the moment a wait ended has done its work before the check looks.
void Player::Do(const Command& c, const cmd::Expect& x)
{
    if (options_.deterministic)
        kvplat::Settle();
    Expect(c, x.what);
}

void Player::Do(const Command&, const cmd::Wait& x)
{
    Sleep(x.ms);
}

void Player::Do(const Command& c, const cmd::Rename& x)
{
    if (!spooler_.RenamePrinter(c.printer, x.newName))
        Note("note", "spooler: no printer " + Q(c.printer) + " to rename");
    for (auto& entry : ports_) {
        if (sim::SameName(entry.second.jobPrinter, c.printer))
            entry.second.jobPrinter = x.newName;
    }
    auto decl = printers_.find(sim::FoldName(c.printer));
    if (decl != printers_.end()) {
        PrinterDecl d = decl->second;
        printers_.erase(decl);
        printers_[sim::FoldName(x.newName)] = d;
    }
}

void Player::Do(const Command& c, const cmd::DeletePrinter&)
{
    if (!spooler_.DeletePrinter(c.printer))
        Note("note", "spooler: no printer " + Q(c.printer) + " to delete");
    JobsGone(c.printer);
}

void Player::Do(const Command& c, const cmd::AddPrinter&)
{
    const PrinterDecl& d = printers_[sim::FoldName(c.printer)];
    spooler_.AddPrinter(c.printer, c.port, d.driver, d.monitor);
}

void Player::Do(const Command& c, const cmd::QueueJob& x)
{
    DWORD job = spooler_.QueueJob(c.printer, x.document);
    Note("note", job != 0 ? "spooler: job " + std::to_string(job) + " queued on " + Q(c.printer)
                          : "spooler: no printer " + Q(c.printer));
}

void Player::Do(const Command& c, const cmd::ClearJobs&)
{
    spooler_.ClearJobs(c.printer);
    JobsGone(c.printer);
}

// Queued write answers are used in order, so those left belong to the last lines.
void Player::NoteUnused()
{
    std::vector<std::pair<const Command*, std::string>> unused;
    {
        std::lock_guard<std::mutex> lock(answersMutex_);
        for (const auto& a : answers_)
            unused.emplace_back(a.second, "no prompt came after it");
    }
    for (const auto& entry : startFailScripts_) {
        unsigned left = pm_.StartDocFailuresLeft(entry.first);
        if (left != 0)
            unused.emplace_back(entry.second, std::to_string(left) + " of its failed starts never came to pass");
    }
    for (const auto& entry : writeScripts_) {
        size_t left = pm_.WriteAnswersLeft(entry.first);
        for (auto it = entry.second.rbegin(); it != entry.second.rend() && left != 0; ++it) {
            unsigned count = std::visit(
                [](const auto& x) -> unsigned {
                    if constexpr (std::is_same_v<std::decay_t<decltype(x)>, cmd::WriteFails> ||
                                  std::is_same_v<std::decay_t<decltype(x)>, cmd::WritePartial> ||
                                  std::is_same_v<std::decay_t<decltype(x)>, cmd::WriteMiscount>)
                        return x.count;
                    else
                        return 0;
                },
                (*it)->args);
            size_t mine = std::min<size_t>(left, count);
            left -= mine;
            unused.emplace_back(*it, std::to_string(mine) + " of its " + std::to_string(count) +
                                         " write answers were never used: no write came for them");
        }
    }
    std::sort(unused.begin(), unused.end(),
              [](const auto& a, const auto& b) { return a.first->line < b.first->line; });
    for (const auto& u : unused) {
        Event e = MakeEvent("unused", "unused: line " + std::to_string(u.first->line) + " \"" + u.first->source +
                                          "\": " + u.second);
        e.Num("line", static_cast<unsigned long long>(u.first->line)).Str("command", u.first->source).Str("why", u.second);
        timeline_.Add(e);
    }
}

void Player::Do(const Command&, const cmd::DeletedHandles& x)
{
    spooler_.SetDeletedHandles(x.mode);
}

void Player::JobsGone(const std::string& printer)
{
    for (auto& entry : ports_) {
        if (entry.second.jobId != 0 && sim::SameName(entry.second.jobPrinter, printer))
            entry.second.jobGone = true;
    }
}

}  // namespace kvtools
