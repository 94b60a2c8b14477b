// The deterministic mode of the platform layer, each case in a forked child (the mode is
// entered once per process): one thread at a time, the same choices for the same seed,
// a virtual clock that jumps to the earliest deadline, and a deadlock reported with each
// thread's platform calls instead of a hang.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "kvplatform.h"
#include "sanitizers.h"
#include "test_support.h"

namespace {

using kvtest::ChildResult;
using kvtest::InChild;

// Two threads and the driver each note their letter at every step; the steps hand over
// through interlocked operations and critical sections.
struct Race {
    CRITICAL_SECTION cs;
    LONG volatile counter = 0;
    std::string trace;
    long unprotected = 0;  // incremented under cs in two halves, with a hand-over between
};

DWORD WINAPI Racer(LPVOID param)
{
    auto* race = static_cast<Race*>(param);
    for (int i = 0; i < 20; i++) {
        InterlockedExchange(&race->counter, i);
        EnterCriticalSection(&race->cs);
        long seen = race->unprotected;
        Sleep(0);
        race->unprotected = seen + 1;
        race->trace += static_cast<char>('a' + ((GetCurrentThreadId() >> 2) & 1));
        LeaveCriticalSection(&race->cs);
    }
    return 0;
}

// The race's trace and count, then the scheduler's counts. step: a hook to install first.
std::string RaceTrace(uint64_t seed, bool kernel = false, const std::function<void(Race&)>& step = nullptr,
                      DWORD stallMs = 0)
{
    ChildResult r = InChild(seed, [&step](std::string& out) {
        Race race;
        InitializeCriticalSection(&race.cs);
        if (step)
            kvplat::SetStepHook([&race, &step] { step(race); });
        HANDLE a = CreateThread(NULL, 0, Racer, &race, 0, NULL);
        HANDLE b = CreateThread(NULL, 0, Racer, &race, 0, NULL);
        WaitForSingleObject(a, INFINITE);
        WaitForSingleObject(b, INFINITE);
        CloseHandle(a);
        CloseHandle(b);
        kvplat::SchedulerCounts n = kvplat::Scheduling();
        out = race.trace + " " + std::to_string(race.unprotected) + " points " + std::to_string(n.points) +
              " choices " + std::to_string(n.choices) + " switches " + std::to_string(n.switches);
        if (n.stalls != 0)
            out += " stalls " + std::to_string(n.stalls) + " at " + std::to_string(n.virtualMs) + " ms";
    }, kernel, stallMs);
    EXPECT_EQ(r.status, 0) << r.output;
    return r.output;
}

TEST(Deterministic, TheSameSeedMakesTheSameChoicesAndSeedsDiffer)
{
    std::set<std::string> traces;
    for (uint64_t seed = 1; seed <= 6; seed++) {
        std::string first = RaceTrace(seed);
        EXPECT_EQ(RaceTrace(seed), first) << "seed " << seed;
        // The critical section still excludes: no increment is lost across the hand-over.
        EXPECT_NE(first.find(" 40 points"), std::string::npos) << first;
        traces.insert(first);
    }
    EXPECT_GT(traces.size(), 1u);
}

DWORD WINAPI SetAfterSleep(LPVOID param)
{
    Sleep(500);
    SetEvent(static_cast<HANDLE>(param));
    return 0;
}

TEST(Deterministic, TimeIsVirtualAndJumpsToTheEarliestDeadline)
{
    ChildResult r = InChild(3, [](std::string& out) {
        DWORD start = GetTickCount();
        Sleep(2000);
        DWORD slept = GetTickCount() - start;
        HANDLE ev = CreateEventA(NULL, FALSE, FALSE, NULL);
        HANDLE t = CreateThread(NULL, 0, SetAfterSleep, ev, 0, NULL);
        DWORD w1 = WaitForSingleObject(ev, 60000);  // set at 500 ms
        DWORD at1 = GetTickCount() - start;
        DWORD w2 = WaitForSingleObject(ev, 3000);  // nobody sets it: times out
        DWORD at2 = GetTickCount() - start;
        DWORD w3 = WaitForSingleObject(t, 0);
        bool ended = kvplat::WaitForThreads(1000);
        CloseHandle(t);
        CloseHandle(ev);
        out = std::to_string(start) + " " + std::to_string(slept) + " " + std::to_string(w1) + "@" +
              std::to_string(at1) + " " + std::to_string(w2) + "@" + std::to_string(at2) + " " + std::to_string(w3) +
              " " + std::to_string(ended);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "0 2000 0@2500 258@5500 0 1") << "start, Sleep, signalled wait, timed-out wait, ended thread";
}

DWORD WINAPI WaitForever(LPVOID param)
{
    WaitForSingleObject(static_cast<HANDLE>(param), INFINITE);
    return 0;
}

TEST(Deterministic, ADeadlockIsReportedWithEveryThreadsCalls)
{
    ChildResult r = InChild(1, [](std::string&) {
        HANDLE ev = CreateEventA(NULL, TRUE, FALSE, NULL);
        HANDLE t = CreateThread(NULL, 0, WaitForever, ev, 0, NULL);
        WaitForSingleObject(t, INFINITE);  // never: nobody sets the event
    });
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.output.find("stuck: deadlock at 0 ms: every thread is blocked and no wait has a deadline\n"), 0u)
        << r.output;
    EXPECT_NE(r.output.find("  driver 0 (id "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("WaitForSingleObject(thread)"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("  thread 1 (id "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("WaitForSingleObject(event, INFINITE)"), std::string::npos) << r.output;
}

TEST(Deterministic, ASectionHeldByABlockedThreadIsADeadlockToo)
{
    ChildResult r = InChild(2, [](std::string&) {
        static CRITICAL_SECTION cs;
        InitializeCriticalSection(&cs);
        HANDLE ev = CreateEventA(NULL, TRUE, FALSE, NULL);
        EnterCriticalSection(&cs);
        HANDLE t = CreateThread(NULL, 0, [](LPVOID) -> DWORD {
            EnterCriticalSection(&cs);
            return 0;
        }, NULL, 0, NULL);
        WaitForSingleObject(ev, INFINITE);
        CloseHandle(t);
    });
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.output.find("EnterCriticalSection (held)"), std::string::npos) << r.output;
}

// ---- the threads of a deterministic run: fibers, their own state, the step hook ----

TEST(Deterministic, FibersPlayTheScheduleOfKernelThreads)
{
    for (uint64_t seed = 1; seed <= 4; seed++)
        EXPECT_EQ(RaceTrace(seed, false), RaceTrace(seed, true)) << "seed " << seed << ": fibers, then kernel threads";
}

// Sets its last error at every step, hands over, and counts the steps where its last
// error or its thread id came back changed.
DWORD WINAPI KeepsItsState(LPVOID param)
{
    auto* wrong = static_cast<LONG volatile*>(param);
    DWORD id = GetCurrentThreadId();
    for (DWORD i = 0; i < 30; i++) {
        SetLastError(id * 100 + i);
        InterlockedOr(wrong + 1, 0);
        Sleep(i % 3);
        // One thread runs at a time: plain increments do not race.
        wrong[1]++;
        if (GetLastError() != id * 100 + i || GetCurrentThreadId() != id)
            wrong[0]++;
    }
    return 0;
}

TEST(Deterministic, EachThreadKeepsItsLastErrorAndIdAcrossHandOvers)
{
    for (bool kernel : {false, true}) {
        ChildResult r = InChild(5, [](std::string& out) {
            LONG volatile counts[2] = {0, 0};  // steps that came back wrong, steps
            DWORD ids[3] = {0, 0, 0};
            HANDLE t[3];
            for (int i = 0; i < 3; i++)
                t[i] = CreateThread(NULL, 0, KeepsItsState, const_cast<LONG*>(counts), 0, &ids[i]);
            SetLastError(7);
            for (HANDLE h : t)
                WaitForSingleObject(h, INFINITE);
            bool driverKept = GetCurrentThreadId() != ids[0] && GetCurrentThreadId() != ids[1];
            for (HANDLE h : t)
                CloseHandle(h);
            out = std::to_string(counts[0]) + " of " + std::to_string(counts[1]) + (driverKept ? "" : " driver id");
        }, kernel);
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.output, "0 of 90") << (kernel ? "kernel threads" : "fibers") << ": steps with a changed state";
    }
}

TEST(Deterministic, TheStepHookSeesEveryHandOverAndLeavesTheScheduleAsItWas)
{
    for (uint64_t seed = 1; seed <= 3; seed++) {
        std::string plain = RaceTrace(seed);
        // A hook that looks, and passes scheduling points of its own: they neither count
        // nor hand over, so the trace and the scheduler's counts stay as they were.
        std::string hooked = RaceTrace(seed, false, [](Race& race) {
            if (kvplat::SectionOwner(&race.cs) == 0) {
                EnterCriticalSection(&race.cs);
                LeaveCriticalSection(&race.cs);
            }
            InterlockedOr(&race.counter, 0);
        });
        EXPECT_EQ(hooked, plain) << "seed " << seed;
    }
    ChildResult r = InChild(2, [](std::string& out) {
        Race race;
        InitializeCriticalSection(&race.cs);
        long calls = 0;
        long held = 0;
        long foreign = 0;
        DWORD ids[2] = {0, 0};
        kvplat::SetStepHook([&] {
            calls++;
            DWORD owner = kvplat::SectionOwner(&race.cs);
            held += owner != 0 ? 1 : 0;
            foreign += owner != 0 && owner != ids[0] && owner != ids[1] ? 1 : 0;
        });
        HANDLE a = CreateThread(NULL, 0, Racer, &race, 0, &ids[0]);
        HANDLE b = CreateThread(NULL, 0, Racer, &race, 0, &ids[1]);
        WaitForSingleObject(a, INFINITE);
        WaitForSingleObject(b, INFINITE);
        kvplat::SetStepHook(nullptr);
        CloseHandle(a);
        CloseHandle(b);
        bool equal = static_cast<uint64_t>(calls) == kvplat::Scheduling().switches;
        out = std::string(equal ? "a call per switch" : "calls " + std::to_string(calls)) + ", held " +
              (held > 0 ? "seen" : "never") + ", foreign owners " + std::to_string(foreign) + ", free after " +
              std::to_string(kvplat::SectionOwner(&race.cs));
    });
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "a call per switch, held seen, foreign owners 0, free after 0");
}

// With stalls on, a seed that stalls holds threads while the clock runs on (no deadlock
// with every other thread waiting) and replays the same; every other seed makes exactly
// the choices it makes with stalls off.
TEST(Deterministic, StallsHoldThreadsWhileTheClockRunsOnAndLeaveOtherSeedsAsTheyWere)
{
    int stalled = 0;
    for (uint64_t seed = 1; seed <= 16; seed++) {
        std::string on = RaceTrace(seed, false, nullptr, 6000);
        if (!kvplat::SeedHasStalls(seed)) {
            EXPECT_EQ(on, RaceTrace(seed)) << "seed " << seed;
            continue;
        }
        EXPECT_EQ(on, RaceTrace(seed, false, nullptr, 6000)) << "seed " << seed;
        stalled += on.find(" stalls ") != std::string::npos ? 1 : 0;
    }
    EXPECT_GT(stalled, 0);
}

// A thread blocked entering a held critical section shows the owner, the section and the
// start of its wait; the step hook also runs when the clock moves on, here to the end of
// the owner's Sleep while the driver still waits.
TEST(Deterministic, ALockWaitNamesItsOwnerItsSectionAndItsStart)
{
    ChildResult r = InChild(1, [](std::string& out) {
        static CRITICAL_SECTION cs;
        InitializeCriticalSection(&cs);
        DWORD holder = 0;
        kvplat::SetStepHook([&out] {
            for (const kvplat::SchedulerThread& t : kvplat::SchedulerThreads()) {
                if (t.waitOwner != 0 && kvplat::Scheduling().virtualMs == 3000)
                    out = "owner " + std::to_string(t.waitOwner) + " since " + std::to_string(t.waitSince) +
                          (t.waitKey == kvplat::SectionKey(&cs) ? " on cs" : " elsewhere");
            }
        });
        HANDLE h = CreateThread(NULL, 0, [](LPVOID) -> DWORD {
            EnterCriticalSection(&cs);
            Sleep(3000);
            LeaveCriticalSection(&cs);
            return 0;
        }, NULL, 0, &holder);
        Sleep(1000);
        EnterCriticalSection(&cs);
        LeaveCriticalSection(&cs);
        WaitForSingleObject(h, INFINITE);
        CloseHandle(h);
        kvplat::SetStepHook(nullptr);
        out += " / holder " + std::to_string(holder);
    });
    EXPECT_EQ(r.status, 0) << r.output;
    size_t slash = r.output.find(" / holder ");
    ASSERT_NE(slash, std::string::npos) << r.output;
    EXPECT_EQ(r.output.substr(0, slash), "owner " + r.output.substr(slash + 10) + " since 1000 on cs");
}

// A thread blocked in a wait shows the call it waits in until its object is set; from then
// on it only waits for its turn, and shows none.
TEST(Deterministic, AnEventWaitNamesItsCallUntilTheEventIsSet)
{
    ChildResult r = InChild(1, [](std::string& out) {
        static HANDLE event = CreateEventA(NULL, FALSE, FALSE, NULL);
        static int marker = 0;
        static bool set = false;
        static std::set<std::string> before, after;
        kvplat::SetStepHook([] {
            for (const kvplat::SchedulerThread& t : kvplat::SchedulerThreads()) {
                if (t.param == &marker)
                    (set ? after : before).insert(t.waitCall != nullptr ? t.waitCall : "none");
            }
        });
        HANDLE h = CreateThread(NULL, 0, [](LPVOID) -> DWORD { return WaitForSingleObject(event, INFINITE); }, &marker,
                                0, NULL);
        Sleep(1000);
        set = true;
        SetEvent(event);
        WaitForSingleObject(h, INFINITE);
        CloseHandle(h);
        CloseHandle(event);
        kvplat::SetStepHook(nullptr);
        for (const std::string& call : before)
            out += "before: " + call + "\n";
        for (const std::string& call : after)
            out += "after: " + call + "\n";
    });
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("before: WaitForSingleObject(event, INFINITE)\n"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("after: WaitForSingleObject"), std::string::npos) << r.output;
}

TEST(Deterministic, AnUnmappedViewIsTakenAgainForTheSameRange)
{
    ChildResult r = InChild(1, [](std::string& out) {
        std::vector<std::string> written;
        kvplat::SetViewWriteHook([&written](const std::string&, const std::string& bytes) {
            written.push_back(bytes.substr(0, 3));
        });
        HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 100, NULL);
        auto* first = static_cast<char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 100));
        std::memcpy(first, "abc", 3);
        UnmapViewOfFile(first);
        long afterUnmap = kvplat::LiveViews();
        auto* again = static_cast<char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 100));
        auto* beside = static_cast<char*>(MapViewOfFile(m, FILE_MAP_READ, 0, 0, 100));
        again[0] = 'x';
        out = std::string(again == first ? "same address" : "new address") + ", " + std::string(beside, 3) + ", " +
              std::to_string(afterUnmap) + " views after the unmap, " + std::to_string(kvplat::LiveViews()) +
              " now";
        UnmapViewOfFile(again);
        UnmapViewOfFile(beside);
        CloseHandle(m);
        kvplat::SetViewWriteHook(nullptr);
        out += "; written " + written[0] + " " + written[1] + ", " + std::to_string(kvplat::LiveViews()) + " views";
    });
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "same address, xbc, 0 views after the unmap, 2 now; written abc xbc, 0 views");
}

TEST(Deterministic, FreedBlocksArePoisonedAndAWriteToOneIsFound)
{
    if (kvtest::kAddressSanitizer)
        GTEST_SKIP() << "AddressSanitizer keeps its own quarantine of freed blocks";
    ChildResult r = InChild(1, [](std::string& out) {
        long live = kvplat::LiveAllocations();
        auto* a = static_cast<unsigned char*>(LocalAlloc(LMEM_ZEROINIT, 16));
        LocalFree(a);
        // Still in the quarantine: reading it is safe here, and shows the poison.
        out = "poison " + std::to_string(a[0]) + "/" + std::to_string(a[15]) + ", live " +
              std::to_string(kvplat::LiveAllocations() - live);
        out += "; untouched: \"" + kvplat::CheckFreedBlocks() + "\"";
        auto* b = static_cast<unsigned char*>(LocalAlloc(0, 8));
        LocalFree(b);
        b[3] = 1;
        out += "; written: \"" + kvplat::CheckFreedBlocks() + "\"";
        out += "; again: \"" + kvplat::CheckFreedBlocks() + "\"";
        // A block written before it leaves the quarantine is found when it leaves.
        auto* c = static_cast<unsigned char*>(LocalAlloc(0, 4));
        LocalFree(c);
        c[0] = 0;
        for (int i = 0; i < 100; i++)
            LocalFree(LocalAlloc(0, 32));
        out += "; left: \"" + kvplat::CheckFreedBlocks() + "\"";
    });
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "poison 221/221, live 0; untouched: \"\"; written: \"a freed block of 8 bytes was written at offset "
                        "3 after its LocalFree\"; again: \"\"; left: \"a freed block of 4 bytes was written at offset 0 "
                        "after its LocalFree\"");
}

}  // namespace
