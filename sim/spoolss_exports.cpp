// The control interface of the Windows test double SPOOLSS.dll. The spooler functions
// themselves are the extern "C" definitions at the end of spooler.cpp; spoolss.def
// exports both under plain names.
#define KVSPOOLSS_BUILD
#include "spoolss_control.h"

#include <cstring>
#include <optional>
#include <string>

#include "spooler.h"

namespace {

std::optional<std::string> Optional(const char* s)
{
    if (!s) return std::nullopt;
    return std::string(s);
}

std::string Text(const char* s) { return s ? s : ""; }

}  // namespace

KVSPOOLSS_API void kvsim_Reset(void) { sim::TheSpooler().Reset(); }

KVSPOOLSS_API BOOL kvsim_AddPrinter(const char* name, const char* port, const char* driver, const char* monitor)
{
    return sim::TheSpooler().AddPrinter(Text(name), Text(port), driver ? driver : sim::kDefaultDriver,
                                        Optional(monitor));
}

KVSPOOLSS_API BOOL kvsim_DeletePrinter(const char* name) { return sim::TheSpooler().DeletePrinter(Text(name)); }

KVSPOOLSS_API void kvsim_SetDeletedHandles(DWORD mode)
{
    sim::TheSpooler().SetDeletedHandles(mode == 1   ? sim::DeletedHandles::Pending
                                        : mode == 2 ? sim::DeletedHandles::Answer
                                                    : sim::DeletedHandles::Fail);
}

KVSPOOLSS_API BOOL kvsim_RenamePrinter(const char* name, const char* newName)
{
    return sim::TheSpooler().RenamePrinter(Text(name), Text(newName));
}

KVSPOOLSS_API BOOL kvsim_SetPrinterPort(const char* name, const char* port)
{
    return sim::TheSpooler().SetPrinterPort(Text(name), Text(port));
}

KVSPOOLSS_API BOOL kvsim_SetPrinterDriver(const char* name, const char* driver, const char* monitor)
{
    return sim::TheSpooler().SetPrinterDriver(Text(name), Text(driver), Optional(monitor));
}

KVSPOOLSS_API DWORD kvsim_PrinterStatus(const char* name) { return sim::TheSpooler().PrinterStatus(Text(name)); }

KVSPOOLSS_API void kvsim_AddPort(const char* name, const char* description)
{
    sim::TheSpooler().AddPort(Text(name), Optional(description));
}

KVSPOOLSS_API DWORD kvsim_QueueJob(const char* printer, const char* document)
{
    return sim::TheSpooler().QueueJob(Text(printer), document ? document : "Document");
}

KVSPOOLSS_API DWORD kvsim_JobCount(const char* printer)
{
    return static_cast<DWORD>(sim::TheSpooler().Jobs(Text(printer)).size());
}

KVSPOOLSS_API DWORD kvsim_StatusHistory(const char* printer, DWORD* statuses, DWORD max)
{
    auto history = sim::TheSpooler().StatusHistory(Text(printer));
    for (DWORD i = 0; i < max && i < history.size(); ++i) statuses[i] = history[i].status;
    return static_cast<DWORD>(history.size());
}

KVSPOOLSS_API DWORD kvsim_JobCommands(KvSimJobCommand* commands, DWORD max)
{
    auto history = sim::TheSpooler().JobCommands();
    for (DWORD i = 0; i < max && i < history.size(); ++i) {
        KvSimJobCommand& c = commands[i];
        std::memset(&c, 0, sizeof c);
        c.seq = history[i].seq;
        c.jobId = history[i].jobId;
        c.command = history[i].command;
        c.found = history[i].found;
        std::strncpy(c.printer, history[i].printer.c_str(), sizeof c.printer - 1);
    }
    return static_cast<DWORD>(history.size());
}

KVSPOOLSS_API void kvsim_ClearHistory(void) { sim::TheSpooler().ClearHistory(); }

KVSPOOLSS_API LONG kvsim_OpenHandleCount(void) { return sim::TheSpooler().OpenHandleCount(); }

KVSPOOLSS_API DWORD kvsim_CallCount(const char* function) { return sim::TheSpooler().CallCount(Text(function)); }
