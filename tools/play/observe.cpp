// The player's observers: what the monitor does, seen through the simulated spooler and
// port monitor, the shim in the port monitor's query slot and the platform's hooks for
// message boxes, posted messages, written mapping views and INI writes.
#include <cstring>

#include "devstatus.h"
#include "kvplatform.h"
#include "player.h"
#include "simcommon.h"
#include "simtext.h"
#include "tracesink.h"

namespace kvtools {

namespace {
thread_local sim::PortCall t_lastQuery;
thread_local bool t_haveQuery = false;
}  // namespace

Player* g_player = nullptr;
BOOL(WINAPI* g_realQuery)(HANDLE, DWORD, LPSTR, LPSTR, DWORD, LPSTR, DWORD, LPDWORD) = nullptr;

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
            e.Str("printer", kvplat::AnsiToUtf8(printer)).Num("status", status).List("bit_names", StatusBitList(status));
            timeline_.Add(e);
            std::lock_guard<std::mutex> lock(trackMutex_);
            marked_[call.thread] = Marked{call.seq, call.result ? call.printer : 0, printer};
        } else if (call.function == "SetJobA") {
            DWORD job = static_cast<DWORD>(NumberAfter(call.args, "job ").value_or(0));
            DWORD command = static_cast<DWORD>(NumberAfter(call.args, "command ").value_or(0));
            std::string printer = PrinterOf(call.args);
            Event e = MakeEvent("setjob", "SetJobA(" + (printer.empty() ? std::string("?") : Q(printer)) + ", job " +
                                              std::to_string(job) + ", " + JobCommandName(command) + ") = " +
                                              ResultText(call.result, call.error));
            e.seq = call.seq;
            e.thread = call.thread;
            e.Str("printer", kvplat::AnsiToUtf8(printer)).Num("job", job).Str("command", JobCommandName(command));
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
        CheckPortCall(call);
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
                answer = answers_.front().first;
                answers_.pop_front();
                scripted = true;
            }
        }
        std::string text = kvplat::AnsiToUtf8(box.text);
        std::string caption = kvplat::AnsiToUtf8(box.caption);
        std::string answerName = answer == IDRETRY ? "Retry" : "Cancel";
        {
            std::lock_guard<std::mutex> lock(trackMutex_);
            prompts_++;
        }
        Event e = MakeEvent("prompt", "prompt " + Q(box.caption) + ": \"" + Escape(text, 0, true) + "\" " +
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
        {
            std::lock_guard<std::mutex> lock(trackMutex_);
            broadcasts_++;
        }
        std::string target = m.hwnd == HWND_BROADCAST ? "HWND_BROADCAST" : sim::HandleText(m.hwnd);
        Event e = MakeEvent("broadcast", "broadcast " + Q(m.name) + " (message " + sim::Hex(m.msg) + ") to " +
                                             target + ", wParam " + sim::Hex(static_cast<UINT_PTR>(m.wParam)) +
                                             ", lParam " + std::to_string(static_cast<long long>(m.lParam)));
        e.Str("name", m.name).Num("message_id", m.msg).Num("wParam", static_cast<UINT_PTR>(m.wParam))
            .Num("lParam", static_cast<unsigned long long>(m.lParam));
        timeline_.Add(e);
        SetLastError(saved);
    });
    kvplat::SetViewWriteHook([this](const std::string& name, const std::string& bytes) {
        {
            std::lock_guard<std::mutex> lock(trackMutex_);
            blocks_[name] = bytes;
        }
        BlockAnalysis b = AnalyseBlock(bytes);
        std::string field = bytes.size() >= 2 ? std::to_string(b.lengthField) : "?";
        Event e = MakeEvent("block", "block " + Q(name) + " " + std::to_string(bytes.size()) +
                                         " bytes, length field " + field + ": " + HexBytes(bytes, 16));
        e.Str("name", name).Num("length", bytes.size()).Str("head", HexBytes(bytes, 16));
        e.idle = true;
        timeline_.Add(e);
    });
    kvplat::SetProfileWriteHook([this](const kvplat::ProfileWrite& w) {
        DWORD thread = GetCurrentThreadId();
        {
            std::lock_guard<std::mutex> lock(iniMutex_);
            iniWrites_[thread].push_back(IniWrite{w.hasKey ? w.key : "(section)", !w.hasValue, w.result});
            iniFile_[thread] = w.file;
        }
        {
            std::lock_guard<std::mutex> lock(trackMutex_);
            vuelogFile_ = w.file;
        }
        if (w.hasKey && w.key == "PRNNAME")
            CheckNotifiedPrinter(thread, w.hasValue ? w.value : std::string());
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
        if (!w.result)
            text += " " + w.key + " not written";
        else
            text += " " + w.key + (present ? "=" + Q(value) : std::string(" removed"));
        e.Str(w.key, present ? kvplat::AnsiToUtf8(value) : "");
    }
    e.text = text;
    e.Str("file", name);
    timeline_.Add(e);
    SetLastError(saved);
}

void Player::RemoveObservers()
{
    DetachTrace();
    kvplat::SetStepHook(nullptr);
    kvplat::SetStallHook(nullptr);
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
    // What the port monitor answered; what the monitor made of it is in its own trace.
    if (!ok)
        text += ResultText(ok, error);
    else
        text += "TRUE, " + std::to_string(count) + " bytes" + (count == 0 ? "" : " \"" + Escape(reply, 160) + "\"");
    q.text = text;
    q.idle = statusQuery;
    q.Str("port", port).Num("control", controlId).Bool("ok", ok != FALSE).Num("count", count).Str("reply",
                                                                                                   Escape(reply));
    timeline_.Add(q);
    if (!statusQuery)
        return;

    // For "expect code": the code this reply carries, read independently of the monitor.
    Analysis a = AnalyseReply(ok ? reply : std::string());
    std::lock_guard<std::mutex> lock(trackMutex_);
    if (a.hasCode)
        codes_[sim::FoldName(port)] = a.code;
    track_[sim::FoldName(port)].statusAnswer = a.recognised && a.hasStatusField;
}

BOOL WINAPI TracedGetPrinterDataFromPort(HANDLE h, DWORD controlId, LPSTR valueName, LPSTR in, DWORD cbIn,
                                         LPSTR out, DWORD cbOut, LPDWORD pcbReturned)
{
    if (g_player != nullptr)
        g_player->QueryBegins(h);
    BOOL ok = g_realQuery(h, controlId, valueName, in, cbIn, out, cbOut, pcbReturned);
    DWORD error = GetLastError();
    if (g_player != nullptr)
        g_player->QueryEnds();
    if (g_player != nullptr)
        g_player->OnQuery(h, controlId, valueName, cbOut, ok, error, out, pcbReturned != NULL ? *pcbReturned : 0);
    SetLastError(error);
    return ok;
}

}  // namespace kvtools
