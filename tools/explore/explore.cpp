#include "explore.h"

#include <malloc.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <sstream>

#include "kvplatform.h"
#include "runguard.h"

namespace kvtools {

namespace {

// A violation crosses the pipe as three fields, each a length line and its bytes.
std::string Encode(const Violation& v)
{
    std::string out;
    for (const std::string* f : {&v.invariant, &v.detail, &v.excerpt})
        out += std::to_string(f->size()) + "\n" + *f;
    return out;
}

bool Decode(const std::string& bytes, Violation* v)
{
    size_t pos = 0;
    for (std::string* f : {&v->invariant, &v->detail, &v->excerpt}) {
        size_t nl = bytes.find('\n', pos);
        if (nl == std::string::npos)
            return false;
        size_t n = std::strtoul(bytes.c_str() + pos, nullptr, 10);
        if (nl + 1 + n > bytes.size())
            return false;
        *f = bytes.substr(nl + 1, n);
        pos = nl + 1 + n;
    }
    return true;
}

// A worker: plays seeds first..end-1 one after the other in this process (the monitor is
// detached and loaded again, the platform restarts its clock and generator), and stops at
// the first violation, written to fd. *current tells the parent which seed it is on,
// also when the process dies. Without `excerpt` no timeline is kept: a violation's excerpt
// comes from playing its seed again in a worker of its own that keeps it.
// A generated scenario is drawn for each seed; with a tally, the kinds of decisions each
// seed reached are added to it.
[[noreturn]] void Work(const Scenario& scenario, const ExploreOptions& explore, uint64_t first, uint64_t end,
                       volatile uint64_t* current, ReachTally* tally, int fd, bool excerpt)
{
    RunOptions options = WorkerRunOptions(excerpt);
    options.stalls = explore.stalls;
    options.onStuck = [fd](const Violation& v) { WriteAll(fd, Encode(v)); };
    if (tally != nullptr && !excerpt)
        options.traceSink = ReachSink;
    Scenario generated;
    for (uint64_t seed = first; seed != end; seed++) {  // end wraps to 0 after seed 2^64-1
        *current = seed;
        options.seed = seed;
        std::ostringstream out;
        std::ostringstream err;
        std::string problem;
        if (explore.generate && !explore.generate(seed, &generated, &problem)) {
            WriteAll(fd, Encode(Violation{"generator failure", problem, std::string()}));
            _exit(1);
        }
        RunResult r = RunScenario(explore.generate ? generated : scenario, options, out, err);
        if (options.traceSink != nullptr)
            ReachSeedDone(tally);
        if (r.violated || r.exitCode != 0) {
            WriteAll(fd, Encode(r.violated ? r.violation : Violation{"simulator failure", err.str(), std::string()}));
            _exit(1);
        }
    }
    _exit(0);
}

struct Worker {
    uint64_t first;
    uint64_t end;
    unsigned slot;       // its place in the shared seed table
    int fd;              // read end of its report pipe
    std::string report;
};

// Starts a worker on [first, end); false when the system refuses.
bool Start(const Scenario& scenario, const ExploreOptions& explore, uint64_t first, uint64_t end, unsigned slot,
           volatile uint64_t* slots, ReachTally* tallies, std::map<pid_t, Worker>* running, bool excerpt = false)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    slots[slot] = first;
    pid_t pid = ForkWorker();
    // The signal watcher stops the workers and ends the process: nothing more to start.
    while (pid < 0 && errno == ECANCELED)
        pause();
    if (pid == 0) {
        close(fds[0]);
        Work(scenario, explore, first, end, &slots[slot], explore.reach ? &tallies[slot] : nullptr, fds[1], excerpt);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return false;
    }
    (*running)[pid] = Worker{first, end, slot, fds[0], std::string()};
    return true;
}

void Drain(Worker& w)
{
    char buf[4096];
    ssize_t n;
    while ((n = read(w.fd, buf, sizeof buf)) > 0)
        w.report.append(buf, static_cast<size_t>(n));
}

// The violation of a worker that stopped, from its report or from how it ended.
Violation Reported(const Worker& w, int status)
{
    Violation v;
    if (Decode(w.report, &v))
        return v;
    std::string how = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                          : "exit status " + std::to_string(WEXITSTATUS(status));
    return Violation{"crash", "the schedule's process ended without a report (" + how + ")", ""};
}

// Plays one seed in a fresh process, the way run --seed replays it, keeping the timeline
// for the excerpt: a violation found after other schedules in the same process must show
// again on its own.
std::optional<Violation> PlayAlone(const Scenario& scenario, const ExploreOptions& explore, uint64_t seed,
                                   volatile uint64_t* slot)
{
    std::map<pid_t, Worker> one;
    if (!Start(scenario, explore, seed, seed + 1, 0, slot, nullptr, &one, true))
        return Violation{"simulator failure", "cannot start a process to replay the seed", ""};
    auto it = one.begin();
    Drain(it->second);
    int status = 0;
    waitpid(it->first, &status, 0);
    close(it->second.fd);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return std::nullopt;
    return Reported(it->second, status);
}

}  // namespace

void WriteAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

RunOptions WorkerRunOptions(bool excerpt)
{
    // A worker whose parent is gone has nobody to report to.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // One heap arena for every thread: a polling thread's own arena would cost fresh pages
    // in every schedule.
    mallopt(M_ARENA_MAX, 1);
    // Workers run side by side: each names its shared blocks in its own namespace.
    kvplat::SetMappingNamespace("kvmon-explore-" + std::to_string(getpid()));
    RunOptions options;
    options.timeline = false;
    options.excerpt = excerpt;
    options.diskFiles = false;
    return options;
}

ExploreResult Explore(const Scenario& scenario, const ExploreOptions& options, std::ostream& err)
{
    const unsigned kMaxJobs = 64;
    const uint64_t kBatch = 250;
    ExploreResult result;
    unsigned jobs = options.jobs;
    if (jobs == 0) {
        long n = sysconf(_SC_NPROCESSORS_ONLN);
        jobs = n > 0 ? static_cast<unsigned>(n) : 1;
    }
    jobs = std::min(jobs, kMaxJobs);
    // One seed per worker slot, plus one for replays, shared with the children; then the
    // reach tally of each slot.
    const size_t kShared = sizeof(uint64_t) * (kMaxJobs + 1) + sizeof(ReachTally) * kMaxJobs;
    void* shared = mmap(nullptr, kShared, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        err << "kvmon-sim: explore: " << std::strerror(errno) << '\n';
        result.seconds = -1;
        return result;
    }
    volatile uint64_t* slots = static_cast<volatile uint64_t*>(shared);
    ReachTally* tallies = reinterpret_cast<ReachTally*>(static_cast<uint64_t*>(shared) + kMaxJobs + 1);
    std::vector<bool> slotBusy(jobs, false);

    auto start = std::chrono::steady_clock::now();
    auto lastProgress = start;
    std::map<pid_t, Worker> running;
    std::deque<std::pair<uint64_t, uint64_t>> todo;  // ranges left after a worker stopped
    uint64_t next = options.from;
    uint64_t left = options.seeds;  // seeds not yet given to a worker (counted: the last may be 2^64-1)
    std::fflush(nullptr);
    while (left > 0 || !todo.empty() || !running.empty()) {
        while ((left > 0 || !todo.empty()) && running.size() < jobs) {
            std::pair<uint64_t, uint64_t> range;
            if (!todo.empty()) {
                range = todo.front();
                todo.pop_front();
            } else {
                uint64_t n = std::min(left, kBatch);
                range = {next, next + n};
                next += n;
                left -= n;
            }
            unsigned slot = static_cast<unsigned>(std::find(slotBusy.begin(), slotBusy.end(), false) - slotBusy.begin());
            if (!Start(scenario, options, range.first, range.second, slot, slots, tallies, &running)) {
                err << "kvmon-sim: explore: cannot start a worker: " << std::strerror(errno) << '\n';
                result.seconds = -1;
                return result;
            }
            slotBusy[slot] = true;
        }
        // Drain the workers' pipes so that none blocks on a long report, then reap.
        std::vector<pollfd> fds;
        for (const auto& entry : running)
            fds.push_back(pollfd{entry.second.fd, POLLIN, 0});
        poll(fds.data(), fds.size(), 100);
        for (auto& entry : running) {
            for (const pollfd& p : fds) {
                if (p.fd != entry.second.fd || (p.revents & (POLLIN | POLLHUP)) == 0)
                    continue;
                char buf[4096];
                ssize_t n = read(p.fd, buf, sizeof buf);
                if (n > 0)
                    entry.second.report.append(buf, static_cast<size_t>(n));
            }
        }
        int status = 0;
        pid_t pid;
        while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
            auto it = running.find(pid);
            if (it == running.end())
                continue;
            Worker w = std::move(it->second);
            running.erase(it);
            Drain(w);
            close(w.fd);
            slotBusy[w.slot] = false;
            if (options.reach)
                CollectReach(&tallies[w.slot], &result.reach);
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
                result.played += w.end - w.first;
                continue;
            }
            uint64_t seed = slots[w.slot];
            result.played += seed - w.first + 1;
            if (seed + 1 != w.end)
                todo.emplace_back(seed + 1, w.end);
            std::optional<Violation> v = Reported(w, status);
            std::optional<Violation> alone = PlayAlone(scenario, options, seed, &slots[kMaxJobs]);
            if (alone)
                v = alone;
            else if (seed != w.first)
                v = Violation{"not reproduced alone", v->invariant + ": " + v->detail +
                                                          " (after other schedules in one process; the seed "
                                                          "alone plays without it)", ""};
            result.violations.push_back(FoundViolation{seed, *v});
        }
        auto now = std::chrono::steady_clock::now();
        if (options.progress && now - lastProgress > std::chrono::milliseconds(200)) {
            lastProgress = now;
            uint64_t done = result.played;
            for (const auto& entry : running)
                done += slots[entry.second.slot] - entry.second.first;
            double s = std::chrono::duration<double>(now - start).count();
            size_t found = result.violations.size();
            err << "\r" << done << "/" << options.seeds << " schedules in " << RateText(done, s) << ", " << found
                << (found == 1 ? " violation  " : " violations  ") << std::flush;
        }
    }
    munmap(shared, kShared);
    // What a worker that died (a crash, a deadlock) could not remove itself.
    RemoveLeftovers();
    if (options.progress)
        err << "\r" << std::string(100, ' ') << "\r" << std::flush;
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::sort(result.violations.begin(), result.violations.end(),
              [](const FoundViolation& a, const FoundViolation& b) { return a.seed < b.seed; });
    return result;
}

std::string RateText(uint64_t played, double seconds)
{
    char text[64];
    double rate = seconds > 0 ? played / seconds : 0;
    if (rate >= 10 || played == 0)
        std::snprintf(text, sizeof text, "%.1f s, %.0f per second", seconds, rate);
    else if (rate >= 1)
        std::snprintf(text, sizeof text, "%.1f s, %.1f per second", seconds, rate);
    else
        std::snprintf(text, sizeof text, "%.1f s, %.1f s per schedule", seconds, seconds / played);
    return text;
}

std::string ShellWord(const std::string& word)
{
    const char kPlain[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./:=@%+,-";
    // A name that begins with '-' (other than "-", standard input) would read as an option.
    std::string w = word.size() > 1 && word[0] == '-' ? "./" + word : word;
    if (!w.empty() && w.find_first_not_of(kPlain) == std::string::npos)
        return w;
    std::string quoted = "'";
    for (char c : w)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

int PrintExploreReport(const ExploreResult& result, const ExploreOptions& options, std::ostream& out)
{
    uint64_t last = options.from + options.seeds - 1;
    size_t found = result.violations.size();
    std::string what = options.generate ? "generated scenarios (" + options.generateArgs + ")"
                       : options.replayName.empty() ? "the default scenario"
                                                    : options.replayName;
    out << "explored " << result.played << (result.played == 1 ? " schedule" : " schedules");
    if (options.seeds == 1)
        out << " (seed " << options.from << ")";
    else
        out << " (seeds " << options.from << " to " << last << ")";
    out << " of " << what << " in " << RateText(result.played, result.seconds) << ": " << found
        << (found == 1 ? " violation" : " violations") << '\n';
    if (result.violations.empty())
        return 0;
    const FoundViolation& first = result.violations.front();
    out << "\nseed " << first.seed << ": " << first.violation.invariant << ": " << first.violation.detail << '\n'
        << "timeline up to it:\n"
        << first.violation.excerpt;
    std::string seed = std::to_string(first.seed);
    std::string stalls = std::string(options.stalls && kvplat::SeedHasStalls(first.seed) ? " --stalls on" : "") +
                         (options.os == "nt" ? "" : " --os " + options.os);
    if (options.generate)
        out << "replay: kvmon-sim generate --seed " << seed << " " << options.generateArgs << " >generated-" << seed
            << ".scn && kvmon-sim run generated-" << seed << ".scn --seed " << seed << stalls << '\n';
    else
        out << "replay: kvmon-sim run " << (options.replayName.empty() ? "" : ShellWord(options.replayName) + " ")
            << "--seed " << seed << stalls << '\n';
    const size_t kListed = 20;
    for (size_t i = 1; i < result.violations.size() && i <= kListed; i++) {
        const FoundViolation& f = result.violations[i];
        out << (i == 1 ? "\nalso:\n" : "") << "  seed " << f.seed << ": " << f.violation.invariant << ": "
            << f.violation.detail << '\n';
    }
    if (result.violations.size() > kListed + 1)
        out << "  ... and " << result.violations.size() - kListed - 1 << " more\n";
    return 1;
}

}  // namespace kvtools
