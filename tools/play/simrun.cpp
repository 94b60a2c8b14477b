// The scenario player of kvmon-sim.
//
// The monitor is loaded as the spooler loads it: DllMain (process attach), then
// InitializeMonitorEx with a registry root, then only the slots of the table it fills.
// Everything the monitor does is seen from outside: through the observers of the
// simulated spooler and port monitor, and through the platform's hooks for message
// boxes, posted messages, written mapping views and INI writes. The one shim is in the
// port monitor's table handed to OpenPortEx: its GetPrinterDataFromPort slot forwards to
// the simulated port monitor and reports the reply bytes the monitor received.
//
// By default the run is deterministic: the platform runs one thread at a time on virtual
// time and takes every choice of thread from the seed, and nothing in the timeline
// depends on the process (handles are numbered, the temporary folder is not shown).
#include "simrun.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <optional>
#include <thread>

#include "devstatus.h"
#include "kvplatform.h"
#include "player.h"
#include "runguard.h"
#include "simcommon.h"
#include "simtext.h"
#include "tracesink.h"

namespace kvtools {

const char* const kMonitorRegistryRoot = "System\\CurrentControlSet\\Control\\Print\\Monitors\\Kestravon Language Monitor";

namespace {

const char kStatovueKey[] = "SOFTWARE\\Kestravon\\Statovue";
// Scheduling points in a row without the clock or the scenario moving on after which a run
// counts as stuck in a livelock (a default run passes about 3000 in all).
const uint64_t kStepLimit = 2000000;

// The longest stall: three read cycles of the monitor (which polls no faster than every
// 2000 ms), long enough for a polling thread to pause and end while another is held.
DWORD StallLimit(const Scenario& scenario)
{
    const DWORD kMinCycle = 2000;
    DWORD cycle = kMinCycle;
    for (const auto& c : scenario.commands) {
        if (const cmd::ReadCycle* x = std::get_if<cmd::ReadCycle>(&c.args))
            cycle = std::max(kMinCycle, std::min<DWORD>(x->ms, 60000));
    }
    return 3 * cycle;
}

// How long a spooler call may take in virtual time before it counts as hung. A call waits
// at most for a polling thread's pause or ECP back-off and a device query or two, each
// stretched by stalls of up to three cycles at a few of its scheduling points; a hang waits
// for ever. A hundred times the sum of those waits tells the two apart.
uint64_t CallBound(const Scenario& scenario)
{
    uint64_t cycle = 2000;
    uint64_t slowest = 0;
    for (const auto& c : scenario.commands) {
        if (const cmd::ReadCycle* x = std::get_if<cmd::ReadCycle>(&c.args))
            cycle = std::max<uint64_t>(cycle, x->ms);
        if (const cmd::DeviceSlow* x = std::get_if<cmd::DeviceSlow>(&c.args))
            slowest = std::max<uint64_t>(slowest, x->ms);
    }
    return 100 * (cycle + ECP_BACKOFF_MS + slowest);
}

}  // namespace

Player::Player(const Scenario& s, const RunOptions& o, std::ostream& out, std::ostream& err)
    : scenario_(s), options_(o), err_(err), timeline_(out, o.json)
{
}

unsigned long Player::CallStart(const std::string& text, const std::string& function, const std::string& port)
{
    unsigned long id = nextCall_++;
    if (GetCurrentThreadId() == spoolerThread_) {
        std::lock_guard<std::mutex> lock(trackMutex_);
        callPort_ = port;
        callFunction_ = function;
        callSince_ = options_.deterministic ? kvplat::Scheduling().virtualMs : 0;
    }
    Event e = MakeEvent("call", text);
    e.callId = id;
    e.Str("function", function).Str("port", port);
    timeline_.Add(e);
    return id;
}

void Player::CallEnd(unsigned long id, const std::string& function, BOOL ok, DWORD error, const std::string& extra)
{
    if (GetCurrentThreadId() == spoolerThread_) {
        std::lock_guard<std::mutex> lock(trackMutex_);
        callPort_.clear();
        callFunction_.clear();
    }
    Event e = MakeEvent("return", "");
    e.callId = id;
    e.result = ResultText(ok, error) + extra;
    e.text = function + " = " + e.result;
    e.Str("function", function).Bool("ok", ok != FALSE);
    if (!ok)
        e.Num("error", error);
    timeline_.Add(e);
}

bool Player::Setup()
{
    // In memory where there is a tmpfs: a schedule writes vuelog.err several times.
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    // Named after the process, so that what a killed run left can be told by its name.
    std::string templ = base + "/kvmon-sim-" + std::to_string(getpid()) + "-XXXXXX";
    const char* dir = mkdtemp(&templ[0]);
    if (dir == nullptr) {
        err_ << "kvmon-sim: cannot create a temporary folder: " << std::strerror(errno) << '\n';
        return false;
    }
    folder_ = dir;
    GuardFolder(folder_);
    if (options_.deterministic) {
        kvplat::SetDeadlockHandler([](const std::string& report) {
            if (g_player != nullptr)
                g_player->OnStuck(report);
        });
        // KVMON_SIM_STEP_LIMIT sets another bound, so that a check can provoke a livelock.
        const char* limit = std::getenv("KVMON_SIM_STEP_LIMIT");
        kvplat::SetStepLimit(limit != nullptr && *limit != '\0' ? std::strtoull(limit, nullptr, 10) : kStepLimit);
        kvplat::SetStalls(options_.stalls ? StallLimit(scenario_) : 0);
        callBoundMs_ = CallBound(scenario_);
        if (!kvplat::Deterministic())
            kvplat::BeginDeterministic(options_.seed);
        else if (!kvplat::RestartDeterministic(options_.seed)) {
            err_ << "kvmon-sim: a thread of the last schedule is still running\n";
            return false;
        }
    } else {
        kvplat::SetTimeScale(options_.speed);
    }
    kvplat::KeepProfilesInMemory(!options_.diskFiles);
    kvplat::SetAnsiCodePage(scenario_.codePage);
    kvplat::RegistryReset();
    spooler_.Reset();
    // A long scenario keeps no log of calls and of the bytes written only what an expect
    // can compare (a line is at most 64 KiB) and the length and hash of all.
    pm_.Reset(false, true, kKeptBytes);
    SetStatovue(true);
    for (const auto& c : scenario_.commands) {
        const cmd::ReadCycle* cycle = std::get_if<cmd::ReadCycle>(&c.args);
        if (cycle == nullptr)
            continue;
        HKEY key = NULL;
        DWORD value = cycle->ms;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kMonitorRegistryRoot, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                            NULL, &key, NULL) != ERROR_SUCCESS ||
            RegSetValueExA(key, "ReadCycle", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) !=
                ERROR_SUCCESS) {
            err_ << "kvmon-sim: cannot store ReadCycle in the registry\n";
            return false;
        }
        RegCloseKey(key);
    }
    portTable_ = *pm_.Table();
    g_realQuery = portTable_.pfnGetPrinterDataFromPort;
    portTable_.pfnGetPrinterDataFromPort = TracedGetPrinterDataFromPort;
    return true;
}

void Player::SetStatovue(bool on)
{
    HKEY key = NULL;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kStatovueKey, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_WRITE, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return;
    if (on) {
        std::string value = folder_ + std::string(1, '\0');
        RegSetValueExA(key, "Installed Folder", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.data()),
                       static_cast<DWORD>(value.size()));
    } else {
        RegDeleteValueA(key, "Installed Folder");
    }
    RegCloseKey(key);
}

void Player::RemoveFolder()
{
    if (folder_.empty())
        return;
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
    UnguardFolder(folder_);
}

// Port handles of the monitor are its contexts' addresses: the timeline numbers them.
std::string Player::HandleName(HANDLE h)
{
    auto it = handleIds_.find(h);
    if (it == handleIds_.end())
        it = handleIds_.emplace(h, static_cast<unsigned>(handleIds_.size() + 1)).first;
    return "#" + std::to_string(it->second);
}

RunResult Player::Run()
{
    RunResult result;
    result.exitCode = 1;
    if (!Setup()) {
        RemoveFolder();
        return result;
    }
    g_player = this;
    spoolerThread_ = GetCurrentThreadId();
    InstallObservers();
    // The monitor's reasons are only wanted where a timeline is kept (the sink adds no
    // scheduling point, so a worker without it plays the same schedule).
    if (options_.timeline || options_.excerpt)
        AttachTrace(timeline_, folder_);
    else if (options_.traceSink != nullptr)
        SetTraceSink(options_.traceSink, TRACE_QUERIES);
    timeline_.FoldIdlePolls(options_.foldPolls);
    if (options_.deterministic) {
        kvplat::SetStepHook([this] { CheckStep(); });
        kvplat::SetStallHook([this](DWORD ms, const char* call) {
            stallEnd_ = std::max(stallEnd_, kvplat::Scheduling().virtualMs + ms);
            Event e = MakeEvent("stall", "stall: held for " + std::to_string(ms) + " ms at " + call +
                                             " while it could run");
            timeline_.Add(e.Num("held_ms", ms).Str("at", call));
        });
    }
    timeline_.Start(spoolerThread_, options_.deterministic, options_.timeline, options_.excerpt);
    std::string clock = options_.deterministic ? "virtual clock, seed " + std::to_string(options_.seed) +
                                                     (kvplat::RunStalls() ? " with stalls" : "")
                                               : "clock x" + std::to_string(options_.speed) + "; Statovue folder " +
                                                     folder_;
    // The timeline of a run as Windows 98 says so; an NT run's heading is as it always was.
    if (kvplat::CurrentPersonality() != kvplat::Personality::Nt)
        clock += std::string("; as ") + kvplat::PersonalityName(kvplat::CurrentPersonality());
    // The file's name without its folder: the timeline does not depend on where it is run.
    std::string name = scenario_.name.substr(scenario_.name.find_last_of('/') + 1);
    Note("note", "scenario " + name + ": " + std::to_string(scenario_.commands.size()) + " commands; " +
                     clock);

    unsigned long id = CallStart("DllMain(DLL_PROCESS_ATTACH)", "DllMain", "");
    BOOL ok = DllMain(reinterpret_cast<HINSTANCE>(0x10000000), DLL_PROCESS_ATTACH, NULL);
    CallEnd(id, "DllMain", ok, GetLastError());
    id = CallStart("InitializeMonitorEx(" + Q(kMonitorRegistryRoot) + ")", "InitializeMonitorEx", "");
    SetLastError(0);
    ok = InitializeMonitorEx(const_cast<LPSTR>(kMonitorRegistryRoot), &table_);
    CallEnd(id, "InitializeMonitorEx", ok, GetLastError());
    if (!ok || table_.pfnOpenPortEx == NULL || table_.pfnClosePort == NULL) {
        timeline_.Stop();
        RemoveObservers();
        g_player = nullptr;
        err_ << "kvmon-sim: the monitor did not hand out its table\n";
        return result;
    }
    baseline_ = CountLive();

    for (const auto& c : scenario_.commands) {
        // Also between the commands: a step check needs a second thread to hand over to.
        if (options_.deterministic)
            CheckPolled();
        if (violation_)
            break;
        Play(c);
    }

    if (options_.holdMs != 0) {
        std::string ns = kvplat::MappingNamespace();
        Note("note", "holding for " + std::to_string(options_.holdMs) +
                         " ms (real time) with the blocks open in namespace " + ns + ": kvmon-stat --namespace " + ns +
                         " PORT reads them");
        std::this_thread::sleep_for(std::chrono::milliseconds(options_.holdMs));
    }
    for (auto& entry : ports_) {
        PortState& port = entry.second;
        if (port.handle == NULL)
            continue;
        Note("note", "end of scenario: the spooler closes the open port");
        Close(port, port.name);
    }
    // A thread held by a stall may be held once more on its way out.
    endBoundMs_ = 10000 + (options_.deterministic && kvplat::RunStalls() ? StallLimit(scenario_) : 0);
    bool ended = kvplat::WaitForThreads(endBoundMs_);
    std::string end = ended ? "end of scenario" : "end of scenario; a polling thread is still running";
    if (options_.deterministic) {
        kvplat::SchedulerCounts n = kvplat::Scheduling();
        end += " (" + std::to_string(n.points) + " scheduling points, " + std::to_string(n.choices) + " choices, " +
               std::to_string(n.switches) + " thread switches" +
               (n.stalls != 0 ? ", " + std::to_string(n.stalls) + " stalls" : "") + ")";
    }
    Note("note", end);
    if (!violation_)
        CheckEnd(ended);
    // Last, once every thread has ended: the notes take no part in the schedule.
    if (!violation_)
        NoteUnused();
    timeline_.Stop();
    if (violation_)
        violation_->excerpt = timeline_.Excerpt(violationSeq_, kExcerptLines);
    RemoveObservers();
    g_player = nullptr;
    RemoveFolder();
    result.misuses = misuses_;
    if (violation_) {
        result.violated = true;
        result.violation = *violation_;
        return result;
    }
    result.exitCode = ended ? 0 : 1;
    return result;
}

RunResult RunScenario(const Scenario& scenario, const RunOptions& options, std::ostream& out, std::ostream& err)
{
    Player player(scenario, options, out, err);
    return player.Run();
}

}  // namespace kvtools
