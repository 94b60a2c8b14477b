// INI files with the platform's editing rules: only the line that changes is
// touched, every other byte of the file stays as it was (line ends included).
//
// Paths are taken as given, with '\\' read as a directory separator so that a path built
// the Windows way ("folder\\file.ini") names the file inside the folder. A bare file name
// is relative to the current directory (the platform would use the Windows directory).
#include "internal.h"

#include <cstring>
#include <mutex>
#include <vector>

namespace kvplat {
namespace detail {
namespace {

// Readers and writers of all INI files are serialised within the process. Never
// destroyed, like all state of this library.
std::mutex& ProfileMutex()
{
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

struct Line {
    std::string text;  // without the line end
    std::string eol;   // "\r\n", "\n" or "" (last line without one)
};

std::string HostPath(LPCSTR name)
{
    std::string path = name;
    for (char& c : path) {
        if (c == '\\')
            c = '/';
    }
    return path;
}

std::string Trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return std::string();
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

std::vector<Line> SplitLines(const std::string& data)
{
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < data.size()) {
        size_t nl = data.find('\n', pos);
        Line line;
        if (nl == std::string::npos) {
            line.text = data.substr(pos);
            pos = data.size();
        } else {
            size_t end = nl;
            if (end > pos && data[end - 1] == '\r')
                end--;
            line.text = data.substr(pos, end - pos);
            line.eol = data.substr(end, nl + 1 - end);
            pos = nl + 1;
        }
        lines.push_back(line);
    }
    return lines;
}

// Section name of a "[name]" line; false for other lines.
bool SectionName(const Line& line, std::string* name)
{
    std::string t = Trim(line.text);
    if (t.empty() || t[0] != '[')
        return false;
    size_t close = t.find(']');
    *name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return true;
}

// Key of a "key=value" line (a non-blank line without '=' is a key without a value).
bool KeyName(const Line& line, std::string* key, std::string* value)
{
    std::string t = Trim(line.text);
    if (t.empty() || t[0] == '[')
        return false;
    size_t eq = line.text.find('=');
    if (eq == std::string::npos) {
        *key = t;
        value->clear();
    } else {
        *key = Trim(line.text.substr(0, eq));
        *value = Trim(line.text.substr(eq + 1));
    }
    return true;
}

// [begin, end) of the first section with that name: begin is its header line, end the
// next header or the end of the file. false when absent.
bool FindSection(const std::vector<Line>& lines, const std::string& name, size_t* begin, size_t* end)
{
    std::string n;
    for (size_t i = 0; i < lines.size(); i++) {
        if (SectionName(lines[i], &n) && EqualNoCase(n, name)) {
            size_t j = i + 1;
            while (j < lines.size() && !SectionName(lines[j], &n))
                j++;
            *begin = i;
            *end = j;
            return true;
        }
    }
    return false;
}

// Line index of the key within (begin, end); false when absent.
bool FindKey(const std::vector<Line>& lines, size_t begin, size_t end, const std::string& key, size_t* at)
{
    std::string k;
    std::string v;
    for (size_t i = begin + 1; i < end; i++) {
        if (KeyName(lines[i], &k, &v) && EqualNoCase(k, key)) {
            *at = i;
            return true;
        }
    }
    return false;
}

// Makes sure the line before an insertion point ends with a line end.
void TerminateLine(std::vector<Line>& lines, size_t index)
{
    if (index < lines.size() && lines[index].eol.empty())
        lines[index].eol = "\r\n";
}

// Copies a list of names (each NUL-terminated, the list ended by one more NUL) the way
// the platform does: when it does not fit, the result is cut at nSize - 2 and doubly
// terminated, and the return value is nSize - 2.
DWORD CopyList(const std::vector<std::string>& names, LPSTR out, DWORD nSize)
{
    std::string all;
    for (const auto& n : names) {
        all += n;
        all += '\0';
    }
    if (nSize < 2) {
        out[0] = '\0';
        return 0;
    }
    if (all.size() + 1 <= nSize) {
        std::memcpy(out, all.data(), all.size());
        out[all.size()] = '\0';
        if (all.empty())
            out[1] = '\0';
        return static_cast<DWORD>(all.size());
    }
    std::memcpy(out, all.data(), nSize - 2);
    out[nSize - 2] = '\0';
    out[nSize - 1] = '\0';
    return nSize - 2;
}

DWORD CopyValue(const std::string& value, LPSTR out, DWORD nSize)
{
    size_t n = value.size() < nSize - 1 ? value.size() : nSize - 1;
    std::memcpy(out, value.data(), n);
    out[n] = '\0';
    return static_cast<DWORD>(n);
}

std::mutex g_profileHookMutex;
kvplat::ProfileWriteHook& TheProfileWriteHook()
{
    static kvplat::ProfileWriteHook hook;
    return hook;
}

}  // namespace

void ResetProfileHooks()
{
    std::lock_guard<std::mutex> lock(g_profileHookMutex);
    TheProfileWriteHook() = nullptr;
}

}  // namespace detail

void SetProfileWriteHook(ProfileWriteHook hook)
{
    std::lock_guard<std::mutex> lock(detail::g_profileHookMutex);
    detail::TheProfileWriteHook() = std::move(hook);
}

}  // namespace kvplat

extern "C" {

static BOOL WriteProfileString(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString, LPCSTR lpFileName)
{
    using namespace kvplat::detail;
    if (lpAppName == nullptr || lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string path = HostPath(lpFileName);
    std::lock_guard<std::mutex> lock(ProfileMutex());

    std::string data;
    bool exists = false;
    DWORD error = 0;
    if (!LoadProfileFile(path, &data, &exists, &error)) {
        SetLastError(error);
        return FALSE;
    }
    std::vector<Line> lines = SplitLines(data);

    size_t begin = 0;
    size_t end = 0;
    bool haveSection = FindSection(lines, lpAppName, &begin, &end);
    if (lpKeyName == nullptr || lpString == nullptr) {
        // Deleting a section or a key: nothing to do when it is not there.
        if (!haveSection)
            return TRUE;
        if (lpKeyName == nullptr) {
            lines.erase(lines.begin() + static_cast<long>(begin), lines.begin() + static_cast<long>(end));
        } else {
            size_t at = 0;
            if (!FindKey(lines, begin, end, lpKeyName, &at))
                return TRUE;
            lines.erase(lines.begin() + static_cast<long>(at));
        }
    } else if (!haveSection) {
        // New section at the end of the file.
        TerminateLine(lines, lines.empty() ? 0 : lines.size() - 1);
        lines.push_back(Line{std::string("[") + lpAppName + "]", "\r\n"});
        lines.push_back(Line{std::string(lpKeyName) + "=" + lpString, "\r\n"});
    } else {
        size_t at = 0;
        if (FindKey(lines, begin, end, lpKeyName, &at)) {
            // Replace in place, keeping the key's spelling and the line's own line end.
            std::string key;
            std::string old;
            KeyName(lines[at], &key, &old);
            lines[at].text = key + "=" + lpString;
        } else {
            // After the last non-blank line of the section, so blank lines that separate
            // it from the next section stay where they are.
            size_t last = begin;
            for (size_t i = begin + 1; i < end; i++) {
                if (!Trim(lines[i].text).empty())
                    last = i;
            }
            TerminateLine(lines, last);
            lines.insert(lines.begin() + static_cast<long>(last + 1),
                         Line{std::string(lpKeyName) + "=" + lpString, "\r\n"});
        }
    }
    data.clear();
    for (const auto& l : lines)
        data += l.text + l.eol;
    if (!StoreProfileFile(path, data, &error)) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString, LPCSTR lpFileName)
{
    using namespace kvplat::detail;
    BOOL result = WriteProfileString(lpAppName, lpKeyName, lpString, lpFileName);
    kvplat::ProfileWriteHook hook;
    {
        std::lock_guard<std::mutex> lock(g_profileHookMutex);
        hook = TheProfileWriteHook();
    }
    if (hook) {
        DWORD saved = GetLastError();
        auto text = [](LPCSTR s) { return s != nullptr ? std::string(s) : std::string(); };
        hook(kvplat::ProfileWrite{text(lpFileName), text(lpAppName), lpKeyName != nullptr, text(lpKeyName),
                                  lpString != nullptr, text(lpString), result});
        SetLastError(saved);
    }
    return result;
}

DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault, LPSTR lpReturnedString,
                                      DWORD nSize, LPCSTR lpFileName)
{
    using namespace kvplat::detail;
    if (lpReturnedString == nullptr || nSize == 0)
        return 0;
    // The default loses its trailing blanks, as on the platform.
    std::string def = lpDefault == nullptr ? std::string() : std::string(lpDefault);
    while (!def.empty() && (def.back() == ' ' || def.back() == '\t'))
        def.pop_back();

    std::string data;
    bool exists = false;
    DWORD error = 0;
    if (lpFileName != nullptr) {
        std::lock_guard<std::mutex> lock(ProfileMutex());
        if (!LoadProfileFile(HostPath(lpFileName), &data, &exists, &error))
            exists = false;
    }
    std::vector<Line> lines = SplitLines(data);

    if (lpAppName == nullptr) {
        std::vector<std::string> names;
        std::string n;
        for (const auto& l : lines) {
            if (SectionName(l, &n))
                names.push_back(n);
        }
        return CopyList(names, lpReturnedString, nSize);
    }

    size_t begin = 0;
    size_t end = 0;
    bool haveSection = exists && FindSection(lines, lpAppName, &begin, &end);
    if (lpKeyName == nullptr) {
        std::vector<std::string> keys;
        std::string k;
        std::string v;
        for (size_t i = begin + 1; haveSection && i < end; i++) {
            if (KeyName(lines[i], &k, &v))
                keys.push_back(k);
        }
        return CopyList(keys, lpReturnedString, nSize);
    }

    size_t at = 0;
    if (!haveSection || !FindKey(lines, begin, end, lpKeyName, &at)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return CopyValue(def, lpReturnedString, nSize);
    }
    std::string key;
    std::string value;
    KeyName(lines[at], &key, &value);
    // A value in matching quotes is returned without them.
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
        value = value.substr(1, value.size() - 2);
    return CopyValue(value, lpReturnedString, nSize);
}

}  // extern "C"
