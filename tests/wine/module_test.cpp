// The DLL as a file and a module: exports, version block, string table.
#include <algorithm>
#include <cstring>
#include <string>

#include "kvmon_version.h"
#include "support.h"
#include "win98.h"

namespace kvwine {
namespace {

const wchar_t* const kConnectFailedText =
    L"Не удается установить соединение. \n\n1. Проверьте электропитание.\n"
    L"2. Проверьте соединение с ПК.\n3. Возможно изменился IP адрес устройства.\n";

TEST(KvmonModule, ExportsEntryPointsByPlainName)
{
    HMODULE m = KvmonModule();
    EXPECT_NE(GetProcAddress(m, "InitializeMonitorEx"), nullptr);
    EXPECT_NE(GetProcAddress(m, "DllMain"), nullptr);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetProcAddress(m, "InitializeMonitorEx@8"), nullptr) << "decorated name exported";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
}

// As Windows 98 (KVMON_OS=win98) the DLL's imports that 98 answers differently go to the
// runner's answers: its security stubs and CreateThread at least.
TEST(KvmonModule, AsWindows98ItsImportsAreAnsweredAs98)
{
    // No GTEST_SKIP outside that mode: under qemu the message's debugger output ends the process.
    if (!Win98Mode())
        return;
    const std::vector<std::string>& rewritten = RewrittenImports();
    for (const char* f : {"InitializeSecurityDescriptor", "SetSecurityDescriptorDacl", "CreateThread"})
        EXPECT_NE(std::find(rewritten.begin(), rewritten.end(), f), rewritten.end()) << f << " not rewritten";
}

// The numbers and texts come from VERSION through the generated kvmon_version.h (2.6.0.1).
TEST(KvmonModule, VersionResourceMatchesVersionFile)
{
    char path[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameA(KvmonModule(), path, sizeof path), 0u);
    DWORD handle = 0;
    SetLastError(0xdeadbeef);
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    ASSERT_NE(size, 0u) << "GetFileVersionInfoSizeA(" << path << ") error " << GetLastError();
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, &block[0])) << "error " << GetLastError();

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueA(&block[0], "\\", reinterpret_cast<void**>(&fixed), &len));
    ASSERT_EQ(len, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    const DWORD ms = MAKELONG(KVMON_VERSION_MINOR, KVMON_VERSION_MAJOR);
    const DWORD ls = MAKELONG(KVMON_VERSION_BUILD, KVMON_VERSION_PATCH);
    EXPECT_TRUE(fixed->dwFileVersionMS == ms && fixed->dwFileVersionLS == ls)
        << "file version " << HIWORD(fixed->dwFileVersionMS) << "." << LOWORD(fixed->dwFileVersionMS) << "."
        << HIWORD(fixed->dwFileVersionLS) << "." << LOWORD(fixed->dwFileVersionLS) << ", expected "
        << KVMON_VERSION_STRING;
    EXPECT_EQ(fixed->dwProductVersionMS, ms);
    EXPECT_EQ(fixed->dwProductVersionLS, ls);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

    struct Translation {
        WORD language, codePage;
    }* tr = nullptr;
    ASSERT_TRUE(VerQueryValueA(&block[0], "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&tr), &len));
    ASSERT_GE(len, sizeof(Translation));
    EXPECT_EQ(tr->language, 0x0419) << "translation language";
    EXPECT_EQ(tr->codePage, 1251) << "translation code page";

    char* text = nullptr;
    ASSERT_TRUE(VerQueryValueA(&block[0], "\\StringFileInfo\\041904E3\\FileVersion", reinterpret_cast<void**>(&text),
                               &len));
    EXPECT_STREQ(text, KVMON_VERSION_STRING);
    ASSERT_TRUE(VerQueryValueA(&block[0], "\\StringFileInfo\\041904E3\\ProductVersion",
                               reinterpret_cast<void**>(&text), &len));
    EXPECT_STREQ(text, KVMON_VERSION_STRING);
}

TEST(KvmonModule, StringTable)
{
    wchar_t buf[512] = {};
    SetLastError(0xdeadbeef);
    int n = LoadStringW(KvmonModule(), 2, buf, 512);
    EXPECT_EQ(n, 17) << "LoadStringW(2) error " << GetLastError();
    EXPECT_EQ(std::wstring(buf), std::wstring(L"Kestravon Printer"));

    n = LoadStringW(KvmonModule(), 1, buf, 512);
    EXPECT_EQ(n, static_cast<int>(wcslen(kConnectFailedText)));
    EXPECT_TRUE(std::wstring(buf) == kConnectFailedText) << "string 1 differs from the connection-failure text";

    // The monitor loads string 1 with LoadStringA: on a Russian system (code page 1251) it
    // comes back as one byte per character and converts back unchanged.
    EXPECT_EQ(GetACP(), 1251u) << "the runner needs a Russian ANSI code page";
    char ansi[512] = {};
    n = LoadStringA(KvmonModule(), 1, ansi, 500);
    EXPECT_EQ(n, static_cast<int>(wcslen(kConnectFailedText)));
    wchar_t back[512] = {};
    MultiByteToWideChar(1251, 0, ansi, -1, back, 512);
    EXPECT_TRUE(std::wstring(back) == kConnectFailedText) << "string 1 through code page 1251 differs";
}

}  // namespace
}  // namespace kvwine
