// Playing the scenario's commands: each one becomes calls into the monitor's table or a
// change of the simulated spooler, port monitor or printers.
#include "devstatus.h"
#include "player.h"
#include "simcommon.h"
#include "simtext.h"

namespace kvtools {

namespace {

const unsigned kMaxRestarts = 10;

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

}  // namespace

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
        TrackDocStarted(c.port, c.printer, job);
        BOOL ok = table_.pfnStartDocPort(port.handle, const_cast<LPSTR>(c.printer.c_str()), job, 1,
                                         reinterpret_cast<LPBYTE>(&doc));
        CallEnd(id, "StartDocPort", ok, GetLastError());
        if (!ok)
            TrackDocEnded(c.port);
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
    case Op::DeviceSlow:
        pm_.DelayDeviceQueries(c.port, static_cast<DWORD>(c.number));
        break;
    case Op::Open: {
        MONITOR copy = portTable_;
        HANDLE h = NULL;
        unsigned long id = CallStart("OpenPortEx(" + Q(c.port) + ", " + Q(c.printer) + ")", "OpenPortEx", c.port);
        SetLastError(0);
        BOOL ok = table_.pfnOpenPortEx(const_cast<LPSTR>(c.port.c_str()), const_cast<LPSTR>(c.printer.c_str()), &h,
                                       &copy);
        CallEnd(id, "OpenPortEx", ok, GetLastError(), ok ? ", handle " + HandleName(h) : "");
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
        if (ok)
            TrackWritten(c.port, data, written);
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
        TrackDocEnded(c.port);
        if (port.jobId != 0)
            spooler_.RemoveJob(port.jobId);
        port.jobId = 0;
        break;
    }
    case Op::Close:
        Close(port, c.port);
        break;
    case Op::Expect:
        Expect(c);
        break;
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

// ClosePort, then the job of a document left open leaves the queue.
void Player::Close(PortState& port, const std::string& name)
{
    unsigned long id = CallStart("ClosePort(" + name + ")", "ClosePort", name);
    SetLastError(0);
    BOOL ok = table_.pfnClosePort(port.handle);
    CallEnd(id, "ClosePort", ok, GetLastError());
    TrackDocEnded(name);
    if (port.jobId != 0)
        spooler_.RemoveJob(port.jobId);
    port = PortState();
}

}  // namespace kvtools
