#include "simtext.h"

#include <cstdlib>

#include "devstatus.h"
#include "portmon.h"

namespace kvtools {

std::string Q(const std::string& s)
{
    return "\"" + DisplayText(s, 80) + "\"";
}

namespace {

// Errors a port monitor's device query may report, by name, for scenarios and the timeline.
const struct {
    DWORD code;
    const char* name;
} kDeviceErrors[] = {
    {28, "ERROR_OUT_OF_PAPER"},        {29, "ERROR_WRITE_FAULT"},
    {30, "ERROR_READ_FAULT"},          {31, "ERROR_GEN_FAILURE"},
    {50, "ERROR_NOT_SUPPORTED"},       {121, "ERROR_SEM_TIMEOUT"},
    {995, "ERROR_OPERATION_ABORTED"},  {1117, "ERROR_IO_DEVICE"},
    {1167, "ERROR_DEVICE_NOT_CONNECTED"}, {1460, "ERROR_TIMEOUT"},
};

}  // namespace

DWORD ErrorCode(const std::string& name)
{
    for (DWORD code : {DWORD(ERROR_INVALID_PARAMETER), DWORD(ERROR_BUSY), DWORD(ERROR_INVALID_PRINT_MONITOR),
                       DWORD(ERROR_INVALID_HANDLE), DWORD(ERROR_ACCESS_DENIED), sim::kErrorNotReady}) {
        if (ErrorName(code) == name)
            return code;
    }
    for (const auto& e : kDeviceErrors) {
        if (name == e.name)
            return e.code;
    }
    return 0;
}

std::string ErrorName(DWORD error)
{
    for (const auto& e : kDeviceErrors) {
        if (error == e.code)
            return e.name;
    }
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

}  // namespace kvtools
