// The scenario player of kvmon-sim.
//
// The monitor is loaded as the spooler loads it: DllMain (process attach), then
// InitializeMonitorEx with a registry root, then only the slots of the table it fills.
// Everything the monitor does is seen from outside: through the observers of the
// simulated spooler and port monitor, and through the platform's hooks for message
// boxes, posted messages, written mapping views and INI writes. The one shim is in the
// port monitor's table handed to OpenPortEx: its GetPrinterDataFromPort slot forwards to
// the simulated port monitor and reports the reply bytes the monitor received.
#include "simrun.h"

#include <unistd.h>

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
#include "portmon.h"
#include "simcommon.h"
#include "spooler.h"
#include "timeline.h"
#include "trace_timeline.h"

namespace kvtools {

const char* const kMonitorRegistryRoot = "System\\CurrentControlSet\\Control\\Print\\Monitors\\Kestravon Language Monitor";

namespace {

const char kStatovueKey[] = "SOFTWARE\\Kestravon\\Statovue";
const unsigned kMaxRestarts = 10;

std::string Q(const std::string& s)
{
    return "\"" + Escape(s, 80) + "\"";
}

std::string ErrorName(DWORD error)
{
    switch (error) {
    case ERROR_INVALID_PARAMETER:
        return "ERROR_INVALID_PARAMETER";
    case ERROR_BUSY:
        return "ERROR_BUSY";
    case ERROR_INVALID_PRINT_MONITOR:
        return "ERROR_INVALID_PRINT_MONITOR";
    case ERROR_INVALID_HANDLE:
        return "ERROR_INVALID_HANDLE";
    case ERROR_ACCESS_DENIED:
        return "ERROR_ACCESS_DENIED";
    case sim::kErrorNotReady:
        return "ERROR_NOT_READY";
    default:
        return std::string();
    }
}

std::string ResultText(BOOL ok, DWORD error)
{
    if (ok)
        return "TRUE";
    std::string name = ErrorName(error);
    return "FALSE, error " + std::to_string(error) + (name.empty() ? "" : " " + name);
}

std::string JobCommandName(DWORD command)
{
    switch (command) {
    case JOB_CONTROL_PAUSE:
        return "JOB_CONTROL_PAUSE";
    case JOB_CONTROL_RESUME:
        return "JOB_CONTROL_RESUME";
    case JOB_CONTROL_CANCEL:
        return "JOB_CONTROL_CANCEL";
    case JOB_CONTROL_RESTART:
        return "JOB_CONTROL_RESTART";
    case JOB_CONTROL_DELETE:
        return "JOB_CONTROL_DELETE";
    default:
        return "command " + std::to_string(command);
    }
}

std::string BoxFlags(UINT flags)
{
    std::string out;
    UINT rest = flags;
    if (flags & MB_SYSTEMMODAL) {
        out += "MB_SYSTEMMODAL";
        rest &= ~MB_SYSTEMMODAL;
    }
    if ((flags & 0xF) == MB_RETRYCANCEL) {
        out += out.empty() ? "" : " | ";
        out += "MB_RETRYCANCEL";
        rest &= ~0xFu;
    }
    if (rest != 0 || out.empty()) {
        out += out.empty() ? "" : " | ";
        out += Hex32(rest);
    }
    return out;
}

// Number after `marker` in a call's readable arguments (the simulated spooler's format).
std::optional<unsigned long> NumberAfter(const std::string& args, const std::string& marker)
{
    size_t at = args.find(marker);
    if (at == std::string::npos)
        return std::nullopt;
    const char* start = args.c_str() + at + marker.size();
    char* end = nullptr;
    unsigned long v = std::strtoul(start, &end, 0);
    if (end == start)
        return std::nullopt;
    return v;
}

std::string PrinterOf(const std::string& args)
{
    size_t at = args.find(" on \"");
    if (at == std::string::npos)
        return std::string();
    size_t end = args.find('"', at + 5);
    return args.substr(at + 5, end == std::string::npos ? std::string::npos : end - at - 5);
}

std::string PortDescription(const std::string& port, bool ecp)
{
    std::string p = port.substr(0, 3);
    for (char& c : p)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    std::string d = p == "USB" ? "Virtual printer port for USB" : p == "LPT" ? "Printer Port" : "Local Port";
    return ecp ? "ECP " + d : d;
}

std::string FillerBytes(unsigned long n)
{
    static const char page[] = "Kestravon test page. ";
    std::string out;
    while (out.size() < n)
        out += page;
    out.resize(n);
    return out;
}

struct PrinterDecl {
    std::string driver;
    std::optional<std::string> monitor;
};

struct PortState {
    std::string name;
    HANDLE handle = NULL;
    DWORD jobId = 0;  // job of the open document, 0 when none
};

class Player;
Player* g_player = nullptr;
BOOL(WINAPI* g_realQuery)(HANDLE, DWORD, LPSTR, LPSTR, DWORD, LPSTR, DWORD, LPDWORD) = nullptr;
thread_local sim::PortCall t_lastQuery;
thread_local bool t_haveQuery = false;

BOOL WINAPI TracedGetPrinterDataFromPort(HANDLE h, DWORD controlId, LPSTR valueName, LPSTR in, DWORD cbIn,
                                         LPSTR out, DWORD cbOut, LPDWORD pcbReturned);

class Player {
public:
    Player(const Scenario& s, const RunOptions& o, std::ostream& out, std::ostream& err)
        : scenario_(s), options_(o), err_(err), timeline_(out, o.json)
    {
    }

    int Run();
    void OnQuery(HANDLE h, DWORD controlId, LPSTR valueName, DWORD cbOut, BOOL ok, DWORD error, LPCSTR out,
                 DWORD count);

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
    std::map<std::string, PortState> ports_;        // by folded port name
    std::map<std::string, PrinterDecl> printers_;   // by folded port name
    std::mutex answersMutex_;
    std::deque<int> answers_;
    std::atomic<DWORD> restartJob_{0};
    std::atomic<unsigned long> nextCall_{1};
    // INI writes of one notification, gathered until its last key.
    struct IniWrite {
        std::string key;
        bool removed;
        BOOL result;
    };
    std::mutex iniMutex_;
    std::map<DWORD, std::vector<IniWrite>> iniWrites_;  // by thread
    std::map<DWORD, std::string> iniFile_;

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

    bool Setup();
    void InstallObservers();
    void RemoveObservers();
    void Play(const Command& c);
    void StartDoc(const Command& c);
    void SetStatovue(bool on);
    void FlushIni(DWORD thread);
    PortState& Port(const std::string& name) { return ports_[sim::FoldName(name)]; }
};

unsigned long Player::CallStart(const std::string& text, const std::string& function, const std::string& port)
{
    unsigned long id = nextCall_++;
    Event e = MakeEvent("call", text);
    e.callId = id;
    e.Str("function", function).Str("port", port);
    timeline_.Add(e);
    return id;
}

void Player::CallEnd(unsigned long id, const std::string& function, BOOL ok, DWORD error, const std::string& extra)
{
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
    char templ[] = "/tmp/kvmon-sim-XXXXXX";
    const char* dir = mkdtemp(templ);
    if (dir == nullptr) {
        err_ << "kvmon-sim: cannot create a temporary folder: " << std::strerror(errno) << '\n';
        return false;
    }
    folder_ = dir;
    kvplat::SetTimeScale(options_.speed);
    kvplat::RegistryReset();
    spooler_.Reset();
    pm_.Reset();
    SetStatovue(true);
    for (const auto& c : scenario_.commands) {
        if (c.op != Op::ReadCycle)
            continue;
        HKEY key = NULL;
        DWORD value = static_cast<DWORD>(c.number);
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

void Player::InstallObservers()
{
    spooler_.SetObserver([this](const sim::SpoolerCall& call) {
        if (call.function == "SetPrinterA") {
            DWORD status = static_cast<DWORD>(NumberAfter(call.args, "status ").value_or(0));
            std::string printer = PrinterOf(call.args);
            Event e = MakeEvent("setprinter", "SetPrinterA(" + Q(printer) + ", status " + Hex32(status) + " " +
                                                  StatusBitNames(status) + ") = " +
                                                  ResultText(call.result, call.error));
            e.seq = call.seq;
            e.thread = call.thread;
            e.Str("printer", printer).Num("status", status).Str("bits", StatusBitNames(status));
            timeline_.Add(e);
        } else if (call.function == "SetJobA") {
            DWORD job = static_cast<DWORD>(NumberAfter(call.args, "job ").value_or(0));
            DWORD command = static_cast<DWORD>(NumberAfter(call.args, "command ").value_or(0));
            std::string printer = PrinterOf(call.args);
            Event e = MakeEvent("setjob", "SetJobA(" + (printer.empty() ? std::string("?") : Q(printer)) + ", job " +
                                              std::to_string(job) + ", " + JobCommandName(command) + ") = " +
                                              ResultText(call.result, call.error));
            e.seq = call.seq;
            e.thread = call.thread;
            e.Str("printer", printer).Num("job", job).Str("command", JobCommandName(command));
            timeline_.Add(e);
            if (call.result && command == JOB_CONTROL_RESTART)
                restartJob_ = job;
        } else if (options_.verbose) {
            Event e = MakeEvent("spooler", call.function + "(" + call.args + ") = " +
                                               ResultText(call.result, call.error));
            e.seq = call.seq;
            e.thread = call.thread;
            timeline_.Add(e);
        }
    });
    pm_.SetObserver([this](const sim::PortCall& call) {
        if (call.function == "GetPrinterDataFromPort") {
            t_lastQuery = call;
            t_haveQuery = true;
            return;
        }
        if (!options_.verbose)
            return;
        std::string text = "port monitor " + call.function + "(" + call.port;
        if (call.function == "StartDocPort")
            text += ", job " + std::to_string(call.jobId);
        if (call.function == "WritePort")
            text += ", " + std::to_string(call.cbBuffer) + " bytes -> " + std::to_string(call.bytes) + " written";
        Event e = MakeEvent("portmon", text + ") = " + ResultText(call.result, call.error));
        e.seq = call.seq;
        e.thread = call.thread;
        timeline_.Add(e);
    });
    kvplat::SetMessageBoxHook([this](const kvplat::MessageBoxRecord& box) {
        DWORD saved = GetLastError();
        int answer = IDCANCEL;
        bool scripted = false;
        {
            std::lock_guard<std::mutex> lock(answersMutex_);
            if (!answers_.empty()) {
                answer = answers_.front();
                answers_.pop_front();
                scripted = true;
            }
        }
        std::string text = kvplat::AnsiToUtf8(box.text);
        std::string caption = kvplat::AnsiToUtf8(box.caption);
        std::string answerName = answer == IDRETRY ? "Retry" : "Cancel";
        Event e = MakeEvent("prompt", "prompt " + Q(caption) + ": \"" + Escape(text, 0, true) + "\" " +
                                          BoxFlags(box.flags) + " -> " + answerName +
                                          (scripted ? "" : " (no answer scripted)"));
        e.Str("caption", caption).Str("message", text).Num("flags", box.flags).Str("answer", answerName);
        timeline_.Add(e);
        SetLastError(saved);
        return answer;
    });
    kvplat::SetPostHook([this](const kvplat::PostedMessage& m) {
        DWORD saved = GetLastError();
        FlushIni(GetCurrentThreadId());
        std::string target = m.hwnd == HWND_BROADCAST ? "HWND_BROADCAST" : sim::HandleText(m.hwnd);
        Event e = MakeEvent("broadcast", "broadcast " + Q(m.name) + " (message " + sim::Hex(m.msg) + ") to " +
                                             target + ", wParam " + sim::Hex(static_cast<UINT_PTR>(m.wParam)) +
                                             ", lParam " + std::to_string(static_cast<long long>(m.lParam)));
        e.Str("name", m.name).Num("message", m.msg).Num("wParam", static_cast<UINT_PTR>(m.wParam))
            .Num("lParam", static_cast<unsigned long long>(m.lParam));
        timeline_.Add(e);
        SetLastError(saved);
    });
    kvplat::SetViewWriteHook([this](const std::string& name, const std::string& bytes) {
        BlockAnalysis b = AnalyseBlock(bytes);
        std::string field = bytes.size() >= 2 ? std::to_string(b.lengthField) : "?";
        Event e = MakeEvent("block", "block " + Q(name) + " " + std::to_string(bytes.size()) +
                                         " bytes, length field " + field + ": " + HexBytes(bytes, 16));
        e.Str("name", name).Num("length", bytes.size()).Str("head", HexBytes(bytes, 16));
        timeline_.Add(e);
    });
    kvplat::SetProfileWriteHook([this](const kvplat::ProfileWrite& w) {
        DWORD thread = GetCurrentThreadId();
        {
            std::lock_guard<std::mutex> lock(iniMutex_);
            iniWrites_[thread].push_back(IniWrite{w.hasKey ? w.key : "(section)", !w.hasValue, w.result});
            iniFile_[thread] = w.file;
        }
        if (w.hasKey && w.key == "PORTNAME")
            FlushIni(thread);
    });
}

// Prints the keys a notification wrote, as the file now reads them.
void Player::FlushIni(DWORD thread)
{
    std::vector<IniWrite> writes;
    std::string file;
    {
        std::lock_guard<std::mutex> lock(iniMutex_);
        writes.swap(iniWrites_[thread]);
        file = iniFile_[thread];
    }
    if (writes.empty())
        return;
    DWORD saved = GetLastError();
    std::string name = file.substr(file.find_last_of("/\\") + 1);
    std::string text = name + " [DEVICE]";
    Event e = MakeEvent("vuelog", "");
    for (const auto& w : writes) {
        char value[NAME_BUFFER_SIZE * 2];
        const char kMissing[] = "\x01";
        GetPrivateProfileStringA("DEVICE", w.key.c_str(), kMissing, value, sizeof value, file.c_str());
        bool present = std::strcmp(value, kMissing) != 0;
        text += " " + w.key + (present ? "=" + Q(value) : std::string(" removed"));
        if (!w.result)
            text += " (write failed)";
        e.Str(w.key, present ? value : "");
    }
    e.text = text;
    e.Str("file", file);
    timeline_.Add(e);
    SetLastError(saved);
}

void Player::RemoveObservers()
{
    spooler_.SetObserver(nullptr);
    pm_.SetObserver(nullptr);
    kvplat::SetMessageBoxHook(nullptr);
    kvplat::SetPostHook(nullptr);
    kvplat::SetViewWriteHook(nullptr);
    kvplat::SetProfileWriteHook(nullptr);
}

void Player::OnQuery(HANDLE h, DWORD controlId, LPSTR valueName, DWORD cbOut, BOOL ok, DWORD error, LPCSTR out,
                     DWORD count)
{
    Event q = MakeEvent("query", "");
    std::string port = "?";
    if (t_haveQuery && t_lastQuery.handle == h) {
        q.seq = t_lastQuery.seq;
        port = t_lastQuery.port;
    }
    t_haveQuery = false;
    bool statusQuery = valueName == NULL && cbOut == DEVID_BUFFER_SIZE;
    std::string control = controlId == CONTROL_QUERY_DEVICE_ID_USB ? "0x0016000C (USB)"
                          : controlId == CONTROL_QUERY_DEVICE_ID_LPT ? "17 (LPT)"
                                                                     : Hex32(controlId);
    std::string reply;
    if (ok && out != NULL)
        reply.assign(out, count < cbOut ? count : cbOut);
    std::string text = std::string(statusQuery ? "query " : "device request ") + port + " control " + control + ": ";
    if (!ok)
        text += ResultText(ok, error) + " - no answer";
    else if (count == 0)
        text += "TRUE, 0 bytes - no answer";
    else
        text += "TRUE, " + std::to_string(count) + " bytes \"" + Escape(reply, 160) + "\"";
    q.text = text;
    q.Str("port", port).Num("control", controlId).Bool("ok", ok != FALSE).Num("count", count).Str("reply",
                                                                                                   Escape(reply));
    timeline_.Add(q);
}

BOOL WINAPI TracedGetPrinterDataFromPort(HANDLE h, DWORD controlId, LPSTR valueName, LPSTR in, DWORD cbIn,
                                         LPSTR out, DWORD cbOut, LPDWORD pcbReturned)
{
    BOOL ok = g_realQuery(h, controlId, valueName, in, cbIn, out, cbOut, pcbReturned);
    DWORD error = GetLastError();
    if (g_player != nullptr)
        g_player->OnQuery(h, controlId, valueName, cbOut, ok, error, out, pcbReturned != NULL ? *pcbReturned : 0);
    SetLastError(error);
    return ok;
}

void Player::StartDoc(const Command& c)
{
    PortState& port = Port(c.port);
    DWORD job = spooler_.QueueJob(c.printer, c.text);
    DOC_INFO_1A doc;
    doc.pDocName = const_cast<LPSTR>(c.text.c_str());
    doc.pOutputFile = NULL;
    doc.pDatatype = const_cast<LPSTR>("RAW");
    for (unsigned attempt = 0;; attempt++) {
        restartJob_ = 0;
        unsigned long id = CallStart("StartDocPort(" + c.port + ", " + Q(c.printer) + ", job " + std::to_string(job) +
                                         ", level 1, " + Q(c.text) + ", RAW)",
                                     "StartDocPort", c.port);
        SetLastError(0);
        BOOL ok = table_.pfnStartDocPort(port.handle, const_cast<LPSTR>(c.printer.c_str()), job, 1,
                                         reinterpret_cast<LPBYTE>(&doc));
        CallEnd(id, "StartDocPort", ok, GetLastError());
        if (ok) {
            port.jobId = job;
            return;
        }
        if (restartJob_ != 0 && restartJob_ == job && job != 0 && attempt + 1 < kMaxRestarts) {
            Note("note", "spooler: job " + std::to_string(job) + " restarted, sent to the port again");
            continue;
        }
        if (job != 0 && spooler_.RemoveJob(job))
            Note("note", "spooler: job " + std::to_string(job) + " not printed, taken off the queue");
        return;
    }
}

void Player::Play(const Command& c)
{
    Event marker = MakeEvent("scenario", "> " + std::to_string(c.line) + "  " + c.source);
    marker.Num("line", static_cast<unsigned long long>(c.line)).Str("command", c.source);
    timeline_.Add(marker);
    static PortState none;
    none = PortState();
    PortState& port = c.port.empty() ? none : Port(c.port);
    switch (c.op) {
    case Op::ReadCycle:
        Note("note", "ReadCycle " + std::to_string(c.number) + " ms was stored before the monitor started");
        break;
    case Op::Statovue:
        SetStatovue(c.flag);
        break;
    case Op::Printer: {
        spooler_.AddPort(c.port, PortDescription(c.port, c.flag));
        std::optional<std::string> monitor;
        if (!c.flag2)
            monitor = c.text3;
        spooler_.AddPrinter(c.printer, c.port, c.text2, monitor);
        printers_[sim::FoldName(c.port)] = PrinterDecl{c.text2, monitor};
        break;
    }
    case Op::Select:
        break;
    case Op::DeviceAnswer:
        pm_.SetDeviceAnswer(c.port, sim::DeviceAnswer::Text(c.text));
        break;
    case Op::DeviceCode: {
        std::string reply = KestravonReply(static_cast<WORD>(c.number), c.flag, c.text, c.text2);
        pm_.SetDeviceAnswer(c.port, sim::DeviceAnswer::Text(reply));
        Note("note", "device " + c.port + " now reports code " + std::to_string(c.number) + " (" +
                         CodeMeaning(static_cast<WORD>(c.number)) + "), " + (c.flag ? "raw" : "Base64") +
                         " record, " + std::to_string(reply.size()) + " bytes");
        break;
    }
    case Op::DeviceNoAnswer:
        pm_.SetDeviceAnswer(c.port, sim::DeviceAnswer::Failure());
        break;
    case Op::DeviceEmpty:
        pm_.SetDeviceAnswer(c.port, sim::DeviceAnswer::Empty());
        break;
    case Op::Open: {
        MONITOR copy = portTable_;
        HANDLE h = NULL;
        unsigned long id = CallStart("OpenPortEx(" + Q(c.port) + ", " + Q(c.printer) + ")", "OpenPortEx", c.port);
        SetLastError(0);
        BOOL ok = table_.pfnOpenPortEx(const_cast<LPSTR>(c.port.c_str()), const_cast<LPSTR>(c.printer.c_str()), &h,
                                       &copy);
        CallEnd(id, "OpenPortEx", ok, GetLastError(), ok ? ", handle " + sim::HandleText(h) : "");
        if (ok && port.handle == NULL) {
            port.handle = h;
            port.name = c.port;
        }
        break;
    }
    case Op::StartDoc:
        StartDoc(c);
        break;
    case Op::StartFails:
        pm_.FailStartDoc(c.port, static_cast<unsigned>(c.number));
        break;
    case Op::Answer: {
        std::lock_guard<std::mutex> lock(answersMutex_);
        answers_.push_back(c.text == "retry" ? IDRETRY : IDCANCEL);
        break;
    }
    case Op::Write: {
        std::string data = c.flag2 ? c.text : FillerBytes(c.number);
        DWORD written = 0;
        unsigned long id = CallStart("WritePort(" + c.port + ", " + std::to_string(data.size()) + " bytes \"" +
                                         Escape(data, 40) + "\")",
                                     "WritePort", c.port);
        SetLastError(0);
        BOOL ok = table_.pfnWritePort(port.handle, reinterpret_cast<LPBYTE>(&data[0]), static_cast<DWORD>(data.size()),
                                      &written);
        CallEnd(id, "WritePort", ok, GetLastError(), ", " + std::to_string(written) + " written");
        break;
    }
    case Op::WriteFails:
        pm_.QueueWriteAnswers(c.port, std::vector<sim::WriteAnswer>(c.number, c.flag ? sim::WriteAnswer::Zero()
                                                                                     : sim::WriteAnswer::Failure()));
        break;
    case Op::EndDoc: {
        unsigned long id = CallStart("EndDocPort(" + c.port + ")", "EndDocPort", c.port);
        SetLastError(0);
        BOOL ok = table_.pfnEndDocPort(port.handle);
        CallEnd(id, "EndDocPort", ok, GetLastError());
        if (port.jobId != 0)
            spooler_.RemoveJob(port.jobId);
        port.jobId = 0;
        break;
    }
    case Op::Close: {
        unsigned long id = CallStart("ClosePort(" + c.port + ")", "ClosePort", c.port);
        SetLastError(0);
        BOOL ok = table_.pfnClosePort(port.handle);
        CallEnd(id, "ClosePort", ok, GetLastError());
        if (port.jobId != 0)
            spooler_.RemoveJob(port.jobId);
        port = PortState();
        break;
    }
    case Op::Wait:
        Sleep(static_cast<DWORD>(c.number));
        break;
    case Op::StatusRequest: {
        DWORD returned = 0;
        char buffer[16];
        unsigned long id = CallStart("GetPrinterDataFromPort(" + c.port + ", 0, \"Printer Status\")",
                                     "GetPrinterDataFromPort", c.port);
        SetLastError(0);
        BOOL ok = table_.pfnGetPrinterDataFromPort(port.handle, 0, const_cast<LPSTR>("Printer Status"), NULL, 0,
                                                   buffer, sizeof buffer, &returned);
        CallEnd(id, "GetPrinterDataFromPort", ok, GetLastError());
        break;
    }
    case Op::Rename:
        if (!spooler_.RenamePrinter(c.printer, c.text))
            Note("note", "spooler: no printer " + Q(c.printer) + " to rename");
        break;
    case Op::DeletePrinter:
        if (!spooler_.DeletePrinter(c.printer))
            Note("note", "spooler: no printer " + Q(c.printer) + " to delete");
        break;
    case Op::AddPrinter: {
        const PrinterDecl& d = printers_[sim::FoldName(c.port)];
        spooler_.AddPrinter(c.printer, c.port, d.driver, d.monitor);
        break;
    }
    case Op::QueueJob: {
        DWORD job = spooler_.QueueJob(c.printer, c.text);
        Note("note", job != 0 ? "spooler: job " + std::to_string(job) + " queued on " + Q(c.printer)
                              : "spooler: no printer " + Q(c.printer));
        break;
    }
    case Op::ClearJobs:
        spooler_.ClearJobs(c.printer);
        break;
    }
}

int Player::Run()
{
    if (!Setup())
        return 1;
    g_player = this;
    DWORD self = GetCurrentThreadId();
    InstallObservers();
    timeline_.SetQuietPolls(options_.quietPolls);
    timeline_.Start(self);
    AttachTrace(timeline_);
    Note("note", "scenario " + scenario_.name + ": " + std::to_string(scenario_.commands.size()) +
                     " commands; clock x" + std::to_string(options_.speed) + "; Statovue folder " + folder_);

    unsigned long id = CallStart("DllMain(DLL_PROCESS_ATTACH)", "DllMain", "");
    BOOL ok = DllMain(reinterpret_cast<HINSTANCE>(0x10000000), DLL_PROCESS_ATTACH, NULL);
    CallEnd(id, "DllMain", ok, GetLastError());
    id = CallStart("InitializeMonitorEx(" + Q(kMonitorRegistryRoot) + ")", "InitializeMonitorEx", "");
    SetLastError(0);
    ok = InitializeMonitorEx(const_cast<LPSTR>(kMonitorRegistryRoot), &table_);
    CallEnd(id, "InitializeMonitorEx", ok, GetLastError());
    if (!ok || table_.pfnOpenPortEx == NULL || table_.pfnClosePort == NULL) {
        DetachTrace();
        timeline_.Stop();
        err_ << "kvmon-sim: the monitor did not hand out its table\n";
        return 1;
    }

    for (const auto& c : scenario_.commands)
        Play(c);

    if (options_.holdMs != 0) {
        Note("note", "holding for " + std::to_string(options_.holdMs) + " ms (real time) with the blocks open");
        std::this_thread::sleep_for(std::chrono::milliseconds(options_.holdMs));
    }
    for (auto& entry : ports_) {
        PortState& port = entry.second;
        if (port.handle == NULL)
            continue;
        Note("note", "end of scenario: the spooler closes the open port");
        unsigned long cid = CallStart("ClosePort(" + port.name + ")", "ClosePort", port.name);
        BOOL closed = table_.pfnClosePort(port.handle);
        CallEnd(cid, "ClosePort", closed, GetLastError());
        port = PortState();
    }
    bool ended = kvplat::WaitForThreads(10000);
    Note("note", ended ? "end of scenario" : "end of scenario; a polling thread is still running");
    DetachTrace();
    timeline_.Stop();
    RemoveObservers();
    g_player = nullptr;
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
    return ended ? 0 : 1;
}

}  // namespace

int RunScenario(const Scenario& scenario, const RunOptions& options, std::ostream& out, std::ostream& err)
{
    Player player(scenario, options, out, err);
    return player.Run();
}

}  // namespace kvtools
