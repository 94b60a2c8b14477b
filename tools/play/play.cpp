// Playing the scenario's commands that are the spooler's calls into the monitor's table:
// open, start-doc, write, end-doc, close and status-request, and the marks of the calls
// the spooler would not make. The other commands set the scene (playscene.cpp).
#include "devstatus.h"
#include "kvplatform.h"
#include "player.h"
#include "simcommon.h"
#include "simtext.h"

namespace kvtools {

namespace {

const unsigned kMaxRestarts = 10;

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

void Player::Play(const Command& c)
{
    Event marker = MakeEvent("scenario", "> " + std::to_string(c.line) + "  " + c.source);
    marker.Num("line", static_cast<unsigned long long>(c.line)).Str("command", c.source);
    timeline_.Add(marker);
    if (options_.deterministic)
        kvplat::NoteProgress();
    std::visit([&](const auto& args) { Do(c, args); }, c.args);
}

void Player::Do(const Command& c, const cmd::Open&)
{
    PortState& port = Port(c.port);
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
}

void Player::Do(const Command& c, const cmd::StartDoc& x)
{
    PortState& port = Port(c.port);
    // Only when a start-doc line after a refused one finds the port busy after all.
    bool busy = port.jobId != 0;
    if (busy)
        Misuse("StartDocPort", c.port, "the document of job " + std::to_string(port.jobId) + " (line " +
                                           std::to_string(port.startLine) + ") is still open");
    port.startLine = c.line;
    DWORD job = spooler_.QueueJob(c.printer, x.document);
    // A printer already deleted: the job went with it, but its id stays its own.
    if (job == 0)
        job = spooler_.TakeJobId();
    DOC_INFO_1A doc;
    doc.pDocName = const_cast<LPSTR>(x.document.c_str());
    doc.pOutputFile = NULL;
    doc.pDatatype = const_cast<LPSTR>("RAW");
    for (unsigned attempt = 0;; attempt++) {
        restartJob_ = 0;
        unsigned long id = CallStart("StartDocPort(" + c.port + ", " + Q(c.printer) + ", job " + std::to_string(job) +
                                         ", level 1, " + Q(x.document) + ", RAW)",
                                     "StartDocPort", c.port);
        SetLastError(0);
        if (!busy)
            TrackDocStarted(c.port, c.printer, job);
        BOOL ok = table_.pfnStartDocPort(port.handle, const_cast<LPSTR>(c.printer.c_str()), job, 1,
                                         reinterpret_cast<LPBYTE>(&doc));
        CallEnd(id, "StartDocPort", ok, GetLastError());
        if (!ok && !busy)
            TrackDocEnded(c.port);
        if (ok) {
            port.jobId = job;
            port.jobPrinter = c.printer;
            port.jobGone = false;
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

void Player::Do(const Command& c, const cmd::Write& x)
{
    PortState& port = Port(c.port);
    if (port.jobId == 0)
        NoDocument("WritePort", c.port, port);
    std::string data = x.bytes ? *x.bytes : FillerBytes(x.count);
    // As the spooler does, the rest of a buffer taken in part is written again at once,
    // until all of it is taken or a write fails or takes nothing.
    size_t done = 0;
    DWORD written = 0;
    while (!WriteOnce(c.port, port, data.substr(done), &written) && written != 0) {
        done += written;
        Note("note", "spooler: " + std::to_string(written) + " of " + std::to_string(data.size() - done + written) +
                         " bytes taken, the other " + std::to_string(data.size() - done) + " written again");
    }
}

bool Player::WriteOnce(const std::string& name, PortState& port, const std::string& data, DWORD* written)
{
    std::string buffer = data;
    *written = 0;
    unsigned long id = CallStart("WritePort(" + name + ", " + std::to_string(data.size()) + " bytes \"" +
                                     Escape(data, 40) + "\")",
                                 "WritePort", name);
    SetLastError(0);
    BOOL ok = table_.pfnWritePort(port.handle, reinterpret_cast<LPBYTE>(&buffer[0]),
                                  static_cast<DWORD>(buffer.size()), written);
    CallEnd(id, "WritePort", ok, GetLastError(), ", " + std::to_string(*written) + " written");
    if (!ok) {
        *written = 0;
        return false;
    }
    TrackWritten(name, data, *written);
    if (*written > data.size()) {
        Note("note", "spooler: the port reported " + std::to_string(*written) + " bytes written of " +
                         std::to_string(data.size()) + " asked; the buffer counts as written");
        return true;
    }
    return *written == data.size();
}

void Player::Do(const Command& c, const cmd::EndDoc&)
{
    PortState& port = Port(c.port);
    if (port.jobId == 0)
        NoDocument("EndDocPort", c.port, port);
    unsigned long id = CallStart("EndDocPort(" + c.port + ")", "EndDocPort", c.port);
    SetLastError(0);
    BOOL ok = table_.pfnEndDocPort(port.handle);
    CallEnd(id, "EndDocPort", ok, GetLastError());
    TrackDocEnded(c.port);
    if (port.jobId != 0)
        spooler_.RemoveJob(port.jobId);
    port.jobId = 0;
}

void Player::Do(const Command& c, const cmd::Close&)
{
    Close(Port(c.port), c.port);
}

void Player::Do(const Command& c, const cmd::StatusRequest&)
{
    PortState& port = Port(c.port);
    DWORD returned = 0;
    char buffer[16];
    unsigned long id = CallStart("GetPrinterDataFromPort(" + c.port + ", 0, \"Printer Status\")",
                                 "GetPrinterDataFromPort", c.port);
    SetLastError(0);
    BOOL ok = table_.pfnGetPrinterDataFromPort(port.handle, 0, const_cast<LPSTR>("Printer Status"), NULL, 0, buffer,
                                               sizeof buffer, &returned);
    CallEnd(id, "GetPrinterDataFromPort", ok, GetLastError());
}

void Player::Misuse(const std::string& function, const std::string& port, const std::string& why)
{
    if (!violation_)
        misuses_++;
    Event e = MakeEvent("misuse", "spooler misuse: " + function + "(" + port + ") although " + why);
    e.Str("function", function).Str("port", port).Str("why", why);
    timeline_.Add(e);
}

// A write or end-doc whose start-doc line was refused at the port monitor or cancelled.
void Player::NoDocument(const std::string& function, const std::string& name, const PortState& port)
{
    Misuse(function, name, "no document is open (the start-doc of line " + std::to_string(port.startLine) +
                               " did not start one)");
}

// ClosePort, then the job of a document left open leaves the queue. A document whose job
// is still in the queue is open: the spooler closes the port under it only when it aborts
// the job, and the monitor has to end it at the port monitor itself.
void Player::Close(PortState& port, const std::string& name)
{
    if (port.jobId != 0 && !port.jobGone)
        Misuse("ClosePort", name, "the document of job " + std::to_string(port.jobId) + " (line " +
                                      std::to_string(port.startLine) + ") is still open, as when a job is aborted");
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
