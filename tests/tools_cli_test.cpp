// The tools' command-line conventions: decode's input handling and exit codes, help and
// version, kvmon-stat's states and watch, and every JSON output validated against its
// schema in docs/schema/ by Debian's python3-jsonschema.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "devstatus.h"
#include "programs.h"

namespace {

using kvtest::Has;
using kvtest::Result;
using kvtest::RunProgram;
using kvtest::TempPath;

const std::string kHead = "MFG:Kestravon;MDL:ZR-QM4471;CMD:PJL;";
// "ZR-QM4471 Офис" in code page 1251, and as UTF-8.
const std::string kCyrillicModel1251 = "ZR-QM4471 \xce\xf4\xe8\xf1";
const std::string kCyrillicModelUtf8 = "ZR-QM4471 Офис";

std::string Validate(const char* schema, const std::string& output)
{
    return kvtest::ValidateJson(KVMON_SOURCE_DIR, schema, output);
}

// A file holding bytes, removed when the holder goes.
struct TempFile {
    explicit TempFile(const std::string& bytes) : path(TempPath("input")) { std::ofstream(path, std::ios::binary) << bytes; }
    ~TempFile() { std::remove(path.c_str()); }
    std::string path;
};

// ---- decode: input, exit codes, help ----

TEST(DecodeInput, OneTrailingLineEndingIsRemovedFromFilesAndStandardInput)
{
    std::string reply = kvtools::KestravonReply(42632);
    Result arg = RunProgram({KVMON_SIM_PATH, "decode", reply});
    ASSERT_EQ(arg.status, 0) << arg.err;
    for (const char* ending : {"\n", "\r\n"}) {
        TempFile file(reply + ending);
        Result f = RunProgram({KVMON_SIM_PATH, "decode", "--file", file.path});
        EXPECT_EQ(f.status, 0) << f.err;
        EXPECT_EQ(f.out, arg.out) << "ending " << kvtools::Escape(ending);
        Result in = RunProgram({KVMON_SIM_PATH, "decode", "-"}, reply + ending);
        EXPECT_EQ(in.out, arg.out) << "ending " << kvtools::Escape(ending);
        // --file - is standard input; --file=PATH is --file PATH.
        EXPECT_EQ(RunProgram({KVMON_SIM_PATH, "decode", "--file", "-"}, reply + ending).out, arg.out);
        EXPECT_EQ(RunProgram({KVMON_SIM_PATH, "decode", "--file=" + file.path}).out, arg.out);
    }
    // After "--" a reply that begins with '-' is a reply, not an option.
    Result dashed = RunProgram({KVMON_SIM_PATH, "decode", "--", "-x"});
    EXPECT_EQ(dashed.status, 1) << dashed.err;
    EXPECT_TRUE(Has(dashed.out, "text          \"-x\"\n")) << dashed.out;
    // Only one: a second line ending stays part of the reply.
    Result two = RunProgram({KVMON_SIM_PATH, "decode", "-"}, reply + "\n\n");
    EXPECT_TRUE(Has(two.out, "reply         81 bytes\n")) << two.out;

    // --raw keeps every byte: the payload is 34 characters and stays raw.
    Result raw = RunProgram({KVMON_SIM_PATH, "decode", "--raw", "-"}, reply + "\r\n");
    EXPECT_EQ(raw.status, 0) << raw.err;
    EXPECT_TRUE(Has(raw.out, "reply         82 bytes\n")) << raw.out;
    EXPECT_TRUE(Has(raw.out, "payload's 34 characters are not a multiple of 4")) << raw.out;

    Result help = RunProgram({KVMON_SIM_PATH, "decode", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Has(help.out, "usage: kvmon-sim decode"));
    EXPECT_TRUE(Has(help.out, "one trailing line ending (\"\\n\" or \"\\r\\n\") is removed"));
    EXPECT_TRUE(Has(help.out, "--raw keeps\nevery byte"));
    EXPECT_EQ(help.err, "");
}

TEST(DecodeInput, ARepliesWithoutStatusExitOneNamingTheRule)
{
    struct Case {
        std::string reply;
        std::string rule;     // in the JSON
        std::string message;  // on standard error
    };
    const Case cases[] = {
        {"MFG:kestravon;MDL:ZR-QM4471;VSTATUS:x", "manufacturer",
         "not recognised: manufacturer \"kestravon\" does not begin with \"Kestravon\" (compared with case)"},
        {"MFG:Kestravon;VSTATUS:x", "model", "not recognised: no model key (\"MDL:\" or \"MODEL:\")"},
        {kHead, "status-field", "recognised, but no \"VSTATUS:\" field"},
        {"", "answer", "no answer: an empty reply counts as no answer"},
    };
    for (const auto& c : cases) {
        Result r = RunProgram({KVMON_SIM_PATH, "decode", "-"}, c.reply);
        EXPECT_EQ(r.status, 1) << c.reply;
        EXPECT_TRUE(Has(r.err, "kvmon-sim decode: the monitor takes no status code from this reply: " + c.message))
            << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        Result j = RunProgram({KVMON_SIM_PATH, "decode", "--json", "-"}, c.reply);
        EXPECT_EQ(j.status, 1);
        EXPECT_TRUE(Has(j.out, "\"failed_rules\":[{\"rule\":\"" + c.rule + "\"")) << j.out;
        EXPECT_EQ(Validate("decode", j.out), "") << c.reply;
    }
}

TEST(DecodeInput, UsageErrorsAreOneLineAndExitTwo)
{
    std::string dir = TempPath("dir");
    std::filesystem::create_directory(dir);
    const std::vector<std::vector<std::string>> calls = {
        {"decode"},
        {"decode", "--bogus", "x"},
        {"decode", "a", "b"},
        {"decode", "--raw", "MFG:x"},
        {"decode", "--file"},
        {"decode", "--file", dir},
        {"decode", "--file", "/nonexistent/reply"},
        {"decode", "\\q"},
        {"codes", "extra"},
        {"codes", "--json=yes"},
        {"frobnicate"},
        {},
    };
    const char* expected[] = {
        "kvmon-sim decode: a device ID, --file PATH or - is needed (kvmon-sim decode --help)\n",
        "kvmon-sim decode: unknown option --bogus (kvmon-sim decode --help)\n",
        "kvmon-sim decode: one reply at a time (kvmon-sim decode --help)\n",
        "kvmon-sim decode: --raw applies to --file and - only; the argument is taken as escaped (kvmon-sim decode "
        "--help)\n",
        "kvmon-sim decode: --file needs a path (- for standard input) (kvmon-sim decode --help)\n",
        "is a directory\n",
        "cannot read /nonexistent/reply: No such file or directory\n",
        "kvmon-sim decode: unknown escape \\q in the device ID (kvmon-sim decode --help)\n",
        "kvmon-sim codes: unknown argument extra (kvmon-sim codes --help)\n",
        "kvmon-sim codes: --json takes no value (kvmon-sim codes --help)\n",
        "kvmon-sim: unknown command \"frobnicate\" (kvmon-sim --help)\n",
        "kvmon-sim: a command is needed (kvmon-sim --help)\n",
    };
    for (size_t i = 0; i < calls.size(); i++) {
        std::vector<std::string> argv = {KVMON_SIM_PATH};
        argv.insert(argv.end(), calls[i].begin(), calls[i].end());
        Result r = RunProgram(argv);
        EXPECT_EQ(r.status, 2) << i;
        EXPECT_EQ(r.out, "") << i;
        EXPECT_TRUE(Has(r.err, expected[i])) << i << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    std::filesystem::remove(dir);
}

// The product version: the first line of VERSION, the single source of the DLL's version
// resource and of the tools' --version.
std::string ProductVersion()
{
    std::string text = kvtest::ReadFileBytes(std::string(KVMON_SOURCE_DIR) + "/VERSION");
    return text.substr(0, text.find_first_of("\r\n"));
}

TEST(Conventions, HelpAndVersion)
{
    std::string version = ProductVersion();
    Result sim = RunProgram({KVMON_SIM_PATH, "--version"});
    EXPECT_EQ(sim.status, 0);
    EXPECT_EQ(sim.out, "kvmon-sim " + version + "\n");
    Result stat = RunProgram({KVMON_STAT_PATH, "--version"});
    EXPECT_EQ(stat.status, 0);
    EXPECT_EQ(stat.out, "kvmon-stat " + version + "\n");

    Result codes = RunProgram({KVMON_SIM_PATH, "codes", "--help"});
    EXPECT_EQ(codes.status, 0);
    EXPECT_TRUE(Has(codes.out, "usage: kvmon-sim codes [--json]\n"));
    Result statHelp = RunProgram({KVMON_STAT_PATH, "--help"});
    EXPECT_EQ(statHelp.status, 0);
    EXPECT_TRUE(Has(statHelp.out, "usage: kvmon-stat PORT"));
    EXPECT_TRUE(Has(statHelp.out, "--interval MS"));
    Result top = RunProgram({KVMON_SIM_PATH, "--help"});
    EXPECT_TRUE(Has(top.out, "'kvmon-sim COMMAND --help' describes a command."));
}

// ---- JSON ----

TEST(Json, EveryDecodeCaseAndTheCodeTableMatchTheirSchemas)
{
    std::string full = kHead + "VSTATUS:" + std::string(21, '\x01') + "\x2f\xb3";
    full += std::string(1024 - full.size(), 'x');
    const std::string replies[] = {
        kvtools::KestravonReply(42632),
        kvtools::KestravonReply(12211, true),                              // binary record
        kvtools::KestravonReply(40401, false, "Kestravon", kCyrillicModel1251),
        kHead + "FL1;VSTATUS:ABCDEFGHIJKLMNOPQRSTUVWXYZabcd",              // 30 characters: raw
        "MFG:Kestravon \x98\xff;MDL:ZR-QM4471;VSTATUS:x",                  // no character in 1251
        "MFG:kestravon;MDL:ZR-QM4471;VSTATUS:x",
        kHead,
        "",
        full,
        full + "more",
        "X",
    };
    for (const auto& reply : replies) {
        Result r = RunProgram({KVMON_SIM_PATH, "decode", "--json", "--raw", "-"}, reply);
        EXPECT_TRUE(r.status == 0 || r.status == 1) << r.err;
        EXPECT_EQ(Validate("decode", r.out), "") << kvtools::Escape(reply, 80) << "\n" << r.out;
    }

    // Code page 1251 text is UTF-8 in JSON and in the text report; bytes without a
    // character are in the hex field only.
    Result cyr = RunProgram({KVMON_SIM_PATH, "decode", "--json", "-"},
                            kvtools::KestravonReply(40401, false, "Kestravon", kCyrillicModel1251));
    EXPECT_TRUE(Has(cyr.out, "\"model\":\"" + kCyrillicModelUtf8 + "\"")) << cyr.out;
    Result text = RunProgram({KVMON_SIM_PATH, "decode", "-"},
                             kvtools::KestravonReply(40401, false, "Kestravon", kCyrillicModel1251));
    EXPECT_TRUE(Has(text.out, "model         " + kCyrillicModelUtf8 + "\n")) << text.out;
    Result odd = RunProgram({KVMON_SIM_PATH, "decode", "--json", "-"}, "MFG:Kestravon \x98;MDL:ZR-QM4471;VSTATUS:x");
    EXPECT_TRUE(Has(odd.out, "\"reply_text\":null")) << odd.out;
    EXPECT_TRUE(Has(odd.out, "\"manufacturer\":\"Kestravon \xef\xbf\xbd\"")) << odd.out;

    Result codes = RunProgram({KVMON_SIM_PATH, "codes", "--json"});
    EXPECT_EQ(codes.status, 0);
    EXPECT_EQ(Validate("codes", codes.out), "");
    EXPECT_TRUE(Has(codes.out, "{\"row\":42,\"code\":63014,\"row_bits\":1310720,\"mark_offline\":false,"
                               "\"printer_bits\":1310720,\"printer_bit_names\":[\"NO_TONER\",\"USER_INTERVENTION\"],"
                               "\"meaning\":\"toner empty\",\"shadowed_by_row\":13}"))
        << codes.out;
}

TEST(Json, CodePage1251AsPythonDecodesIt)
{
    std::string high;
    for (int c = 0x80; c <= 0xFF; c++) {
        if (c != 0x98)  // no character
            high += static_cast<char>(c);
    }
    Result python = RunProgram({"/usr/bin/python3", "-c",
                                "import sys; b = bytes(c for c in range(0x80, 0x100) if c != 0x98); "
                                "sys.stdout.buffer.write(b.decode('cp1251').encode('utf-8'))"});
    ASSERT_EQ(python.status, 0) << python.err;
    bool isText = false;
    EXPECT_EQ(kvtools::AnsiTextToUtf8(high, &isText), python.out);
    EXPECT_TRUE(isText);
    kvtools::AnsiTextToUtf8("\x98", &isText);
    EXPECT_FALSE(isText);
    kvtools::AnsiTextToUtf8(std::string("a\0b", 3), &isText);
    EXPECT_FALSE(isText);
    EXPECT_EQ(kvtools::JsonQuote("\xff\x01\"\\"), "\"\xef\xbf\xbd\\u0001\\\"\\\\\"");
}

}  // namespace
