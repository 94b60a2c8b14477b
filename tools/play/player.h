// The scenario player behind RunScenario, shared by its parts: playing commands
// (simrun.cpp), observing the monitor (observe.cpp) and checking what it did (checks.cpp).
#ifndef KVMON_TOOLS_PLAYER_H
#define KVMON_TOOLS_PLAYER_H

#include <windows.h>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kvmon.h"
#include "bytelog.h"
#include "portmon.h"
#include "simcommon.h"
#include "simrun.h"
#include "spooler.h"
#include "timeline.h"

namespace kvtools {

struct PrinterDecl {
    std::string driver;
    std::optional<std::string> monitor;
};

// What the spooler side knows of one port.
struct PortState {
    std::string name;
    HANDLE handle = NULL;
    DWORD jobId = 0;  // job of the open document, 0 when none
    int startLine = 0;  // scenario line of the last start-doc played on the port
    std::string jobPrinter;  // printer of that job, renamed with it
    bool jobGone = false;    // the job left the queue with its printer or by clear-jobs
};

// What the checks track per port (by folded name).
struct PortTrack {
    sim::ByteLog sent;          // bytes of every WritePort the monitor reported written
    unsigned long long reported = 0;    // counts the monitor's WritePort returned with TRUE
    unsigned long long pmReported = 0;  // counts the port monitor's WritePort returned with TRUE
    bool miscounted = false;    // the port monitor reported a count other than the bytes it took
    std::string printer;        // printer of the job the spooler is printing
    DWORD printing = 0;         // job between a good StartDocPort and its EndDocPort/ClosePort
    DWORD atPortMonitor = 0;    // job whose document is open at the port monitor
    uint64_t jobStart = 0;      // port monitor's byte count when that document started
    std::map<DWORD, unsigned> ends;  // EndDocPort calls at the port monitor per job
    bool statusAnswer = false;  // the last status query's answer was recognised, with a status field
};

// Live object counts compared before the first OpenPortEx and after the last ClosePort.
struct LiveCounts {
    long allocations, events, threadHandles, mappings, views, registryKeys;
};

class Player {
public:
    Player(const Scenario& s, const RunOptions& o, std::ostream& out, std::ostream& err);
    RunResult Run();
    void OnQuery(HANDLE h, DWORD controlId, LPSTR valueName, DWORD cbOut, BOOL ok, DWORD error, LPCSTR out,
                 DWORD count);
    // A deadlock, livelock or hung call reported by the scheduler: recorded, then the run ends.
    void OnStuck(const std::string& report);

private:
    const Scenario& scenario_;
    RunOptions options_;
    std::ostream& err_;
    Timeline timeline_;
    sim::Spooler& spooler_ = sim::TheSpooler();
    sim::PortMonitor& pm_ = sim::ThePortMonitor();
    MONITOR table_{};
    MONITOR portTable_{};
    std::string folder_;
    DWORD spoolerThread_ = 0;
    std::map<std::string, PortState> ports_;        // by folded port name
    std::map<std::string, PrinterDecl> printers_;   // by folded printer name
    std::mutex answersMutex_;
    std::deque<std::pair<int, const Command*>> answers_;  // prompt answers and their lines
    // Scripted faults of the port monitor, in order: their lines, by folded port name.
    std::map<std::string, std::vector<const Command*>> writeScripts_;
    std::map<std::string, const Command*> startFailScripts_;
    std::atomic<DWORD> restartJob_{0};
    unsigned long nextCall_ = 1;
    std::map<HANDLE, unsigned> handleIds_;  // the monitor's port handles, numbered as seen
    // INI writes of one notification, gathered until its last key.
    struct IniWrite {
        std::string key;
        bool removed;
        BOOL result;
    };
    std::mutex iniMutex_;
    std::map<DWORD, std::vector<IniWrite>> iniWrites_;  // by thread
    std::map<DWORD, std::string> iniFile_;
    // What the checks see.
    std::mutex trackMutex_;
    std::map<std::string, PortTrack> track_;            // by folded port name
    std::map<std::string, std::string> blocks_;         // last bytes written per block name
    std::map<std::string, WORD> codes_;                 // last status code applied per port
    // The last SetPrinterA a thread made, for the printer its next notification names.
    struct Marked {
        DWORD seq = 0;         // the call's sequence number
        unsigned printer = 0;  // the printer object it reached; 0 when it failed
        std::string name;      // that printer's name at the call
    };
    std::map<DWORD, Marked> marked_;                    // by thread
    unsigned broadcasts_ = 0;
    unsigned prompts_ = 0;
    unsigned misuses_ = 0;  // calls marked as spooler misuse before a violation
    std::optional<LiveCounts> baseline_;
    std::string callPort_;                     // port of the spooler's call in progress ("" for none)
    std::string callFunction_;                 // that call's function ("" for none)
    uint64_t callSince_ = 0;                   // virtual ms when it began
    uint64_t callBoundMs_ = 0;                 // how long a call may take (CallBound)
    std::map<DWORD, std::string> inQuery_;     // threads in a device query, with its port
    std::optional<Violation> violation_;
    DWORD violationSeq_ = 0;
    std::string vuelogFile_;  // path of vuelog.err, once the monitor wrote it
    static const size_t kExcerptLines = 24;
    // Bytes of a port's document kept for the checks (an expect line is at most 64 KiB);
    // beyond them, a length and a hash.
    static const size_t kKeptBytes = 64 * 1024;

    void Note(const std::string& kind, const std::string& text) { timeline_.Add(MakeEvent(kind, text)); }
    static Event MakeEvent(const std::string& kind, const std::string& text)
    {
        Event e;
        e.kind = kind;
        e.text = text;
        return e;
    }
    unsigned long CallStart(const std::string& text, const std::string& function, const std::string& port);
    void CallEnd(unsigned long id, const std::string& function, BOOL ok, DWORD error, const std::string& extra = "");
    std::string HandleName(HANDLE h);

    bool Setup();
    void Play(const Command& c);
    // One per command (play.cpp); c is the line, the second argument its own fields.
    void Do(const Command& c, const cmd::ReadCycle& x);
    void Do(const Command& c, const cmd::Statovue& x);
    void Do(const Command& c, const cmd::Companion& x);
    void Do(const Command& c, const cmd::Printer& x);
    void Do(const Command& c, const cmd::Select& x);
    void Do(const Command& c, const cmd::DeviceAnswer& x);
    void Do(const Command& c, const cmd::DeviceCode& x);
    void Do(const Command& c, const cmd::DeviceNoAnswer& x);
    void Do(const Command& c, const cmd::DeviceEmpty& x);
    void Do(const Command& c, const cmd::DeviceSlow& x);
    void Do(const Command& c, const cmd::Open& x);
    void Do(const Command& c, const cmd::StartDoc& x);
    void Do(const Command& c, const cmd::StartFails& x);
    void Do(const Command& c, const cmd::Answer& x);
    void Do(const Command& c, const cmd::Write& x);
    void Do(const Command& c, const cmd::WriteFails& x);
    void Do(const Command& c, const cmd::WritePartial& x);
    void Do(const Command& c, const cmd::WriteMiscount& x);
    void Do(const Command& c, const cmd::EndDoc& x);
    void Do(const Command& c, const cmd::Close& x);
    void Do(const Command& c, const cmd::Wait& x);
    void Do(const Command& c, const cmd::StatusRequest& x);
    void Do(const Command& c, const cmd::Rename& x);
    void Do(const Command& c, const cmd::DeletePrinter& x);
    void Do(const Command& c, const cmd::AddPrinter& x);
    void Do(const Command& c, const cmd::QueueJob& x);
    void Do(const Command& c, const cmd::ClearJobs& x);
    void Do(const Command& c, const cmd::DeletedHandles& x);
    void Do(const Command& c, const cmd::Expect& x);
    void Close(PortState& port, const std::string& function);
    // A call the spooler would not make now, played as the scenario asks: marked first.
    void Misuse(const std::string& function, const std::string& port, const std::string& why);
    // One WritePort of these bytes; false when it did not take all of them.
    bool WriteOnce(const std::string& name, PortState& port, const std::string& data, DWORD* written);
    void NoDocument(const std::string& function, const std::string& name, const PortState& port);
    void SetStatovue(bool on);
    void RemoveFolder();  // the temporary folder, at the end of the run
    PortState& Port(const std::string& name) { return ports_[sim::FoldName(name)]; }
    // The printer's jobs leave the queue (delete-printer, clear-jobs): the ports printing
    // one of them have no document the spooler would still end.
    void JobsGone(const std::string& printer);
    // At the end: a note for each scripted answer or fault that nothing used, with its line.
    void NoteUnused();

    // observe.cpp
    void InstallObservers();
    void RemoveObservers();
    void FlushIni(DWORD thread);

    // checks.cpp
    void Fail(const std::string& invariant, const std::string& detail);
    void CheckPortCall(const sim::PortCall& call);
    void CheckNotifiedPrinter(DWORD thread, const std::string& name);
    void TrackDocStarted(const std::string& port, const std::string& printer, DWORD job);
    void TrackDocEnded(const std::string& port);
    void TrackWritten(const std::string& port, const std::string& data, DWORD written);
    bool JobExists(DWORD job) const;
    LiveCounts CountLive() const;
    void CheckEnd(bool threadsEnded);
    void Expect(const Command& c, const Expectation& x);
    std::string Actual(const Command& c, const Expectation& x);

    // stepcheck.cpp
    void CheckStep();
    void CheckBlocks();

    // pollcheck.cpp
    void CheckPolled();
    void CheckRequests();
    std::map<std::string, uint64_t> unpolledSince_;  // port: virtual ms since which a printing
                                                     // document has had no polling thread
    uint64_t stallEnd_ = 0;  // virtual ms when the last stall of a thread ends
    unsigned endBoundMs_ = 10000;  // how long the polling threads may take to end after the last ClosePort

    // latency.cpp
    void CheckLatency();
    void CheckCallTime();

public:
    // Around a device query of the monitor's (the query slot): which thread asks which port.
    void QueryBegins(HANDLE h);
    void QueryEnds();
};

// The player of this run, for the query shim; the port monitor's own query slot.
extern Player* g_player;
extern BOOL(WINAPI* g_realQuery)(HANDLE, DWORD, LPSTR, LPSTR, DWORD, LPSTR, DWORD, LPDWORD);
// The query slot of the table handed to OpenPortEx: forwards to g_realQuery and reports.
BOOL WINAPI TracedGetPrinterDataFromPort(HANDLE h, DWORD controlId, LPSTR valueName, LPSTR in, DWORD cbIn,
                                         LPSTR out, DWORD cbOut, LPDWORD pcbReturned);

}  // namespace kvtools

#endif  // KVMON_TOOLS_PLAYER_H
