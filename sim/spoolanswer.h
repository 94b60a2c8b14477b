// What the simulated spooler's calls share: the fixed values they report and the layout of
// their answers in the caller's buffer, with the size-probe contract of the real spooler.
// Used by spoolercalls.cpp and spoolerenum.cpp only.
#ifndef KVMON_SIM_SPOOLANSWER_H
#define KVMON_SIM_SPOOLANSWER_H

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "spooler.h"

namespace sim {
namespace answer {
const char* const kPortMonitorName = "Local Port";
const char* const kEnvironment = "Windows 4.0";
const char* const kDatatype = "RAW";
const char* const kMachine = "\\\\SIMHOST";
const char* const kUser = "user";
const DWORD kPrinterAttributeLocal = 0x00000040;
const DWORD kPortTypeReadWrite = 0x3;  // PORT_TYPE_WRITE | PORT_TYPE_READ

// Handle values are tagged so that a stray pointer is never taken for one; they are never
// reused within a run.
const UINT_PTR kHandleBase = 0x5B000000u;
const UINT_PTR kHandleStep = 0x10;

// Records of one answer: the fixed part (an array of records with their string pointers
// still empty) and the strings to place, each with the offset of the pointer field that
// receives it. Strings go to the end of the caller's buffer, packed downwards, as the
// spooler lays them out.
class Answer {
public:
    explicit Answer(size_t recordSize) : recordSize_(recordSize) {}

    BYTE* Add()
    {
        fixed_.resize(fixed_.size() + recordSize_, 0);
        return fixed_.data() + fixed_.size() - recordSize_;
    }
    // `field` is the offset of an LPSTR member within the last record added.
    void String(size_t field, const std::optional<std::string>& text)
    {
        strings_.push_back({fixed_.size() - recordSize_ + field, text});
    }
    DWORD Count() const { return static_cast<DWORD>(fixed_.size() / recordSize_); }
    DWORD Needed() const
    {
        size_t n = fixed_.size();
        for (const auto& s : strings_)
            if (s.text) n += s.text->size() + 1;
        return static_cast<DWORD>(n);
    }
    void Write(LPBYTE buf, DWORD cbBuf) const
    {
        std::memcpy(buf, fixed_.data(), fixed_.size());
        LPBYTE end = buf + cbBuf;
        for (const auto& s : strings_) {
            char* where = nullptr;
            if (s.text) {
                end -= s.text->size() + 1;
                std::memcpy(end, s.text->c_str(), s.text->size() + 1);
                where = reinterpret_cast<char*>(end);
            }
            std::memcpy(buf + s.offset, &where, sizeof where);
        }
    }

private:
    struct Placed {
        size_t offset;
        std::optional<std::string> text;
    };
    size_t recordSize_;
    std::vector<BYTE> fixed_;
    std::vector<Placed> strings_;
};

// The size-probe contract shared by every Get/Enum call.
inline BOOL Deliver(const Answer& answer, LPBYTE buf, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned, DWORD* error)
{
    DWORD needed = answer.Needed();
    *pcbNeeded = needed;
    if (pcReturned) *pcReturned = 0;
    if (!buf && cbBuf) {
        *error = kErrorInvalidUserBuffer;
        return FALSE;
    }
    if (needed > cbBuf || (!buf && needed)) {
        *error = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    if (needed) answer.Write(buf, cbBuf);
    if (pcReturned) *pcReturned = answer.Count();
    return TRUE;
}

inline std::string Num(DWORD v) { return std::to_string(v); }

}  // namespace answer
}  // namespace sim

#endif  // KVMON_SIM_SPOOLANSWER_H
