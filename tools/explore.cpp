#include "explore.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include "kvplatform.h"

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

// The child: one schedule, its violation (if any) written to fd.
[[noreturn]] void PlayOne(const Scenario& scenario, uint64_t seed, int fd)
{
    // Schedules run side by side: each process names its shared blocks in its own namespace.
    kvplat::SetMappingNamespace("kvmon-explore-" + std::to_string(getpid()));
    RunOptions options;
    options.seed = seed;
    options.timeline = false;
    options.onStuck = [fd](const Violation& v) { WriteAll(fd, Encode(v)); };
    std::ostringstream out;
    std::ostringstream err;
    RunResult r = RunScenario(scenario, options, out, err);
    if (r.violated)
        WriteAll(fd, Encode(r.violation));
    else if (r.exitCode != 0)
        WriteAll(fd, Encode(Violation{"simulator failure", err.str(), std::string()}));
    _exit(r.violated || r.exitCode != 0 ? 1 : 0);
}

struct Child {
    uint64_t seed;
    int fd;
    std::string report;
};

}  // namespace

ExploreResult Explore(const Scenario& scenario, const ExploreOptions& options, std::ostream& err)
{
    ExploreResult result;
    unsigned jobs = options.jobs;
    if (jobs == 0) {
        long n = sysconf(_SC_NPROCESSORS_ONLN);
        jobs = n > 0 ? static_cast<unsigned>(n) : 1;
    }
    auto start = std::chrono::steady_clock::now();
    auto lastProgress = start;
    std::map<pid_t, Child> running;
    uint64_t next = options.from;
    const uint64_t end = options.from + options.seeds;
    std::fflush(nullptr);
    while (next < end || !running.empty()) {
        while (next < end && running.size() < jobs) {
            int fds[2];
            if (pipe(fds) != 0) {
                err << "kvmon-sim: explore: pipe: " << std::strerror(errno) << '\n';
                result.seconds = -1;
                return result;
            }
            pid_t pid = fork();
            if (pid == 0) {
                close(fds[0]);
                PlayOne(scenario, next, fds[1]);
            }
            close(fds[1]);
            if (pid < 0) {
                close(fds[0]);
                err << "kvmon-sim: explore: fork: " << std::strerror(errno) << '\n';
                result.seconds = -1;
                return result;
            }
            running[pid] = Child{next++, fds[0], std::string()};
        }
        // Drain the children's pipes so that none blocks on a long report, then reap.
        std::vector<pollfd> fds;
        for (const auto& entry : running)
            fds.push_back(pollfd{entry.second.fd, POLLIN, 0});
        poll(fds.data(), fds.size(), 100);
        for (auto& entry : running) {
            char buf[4096];
            for (const pollfd& p : fds) {
                if (p.fd != entry.second.fd || (p.revents & (POLLIN | POLLHUP)) == 0)
                    continue;
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
            Child child = std::move(it->second);
            running.erase(it);
            char buf[4096];
            ssize_t n;
            while ((n = read(child.fd, buf, sizeof buf)) > 0)
                child.report.append(buf, static_cast<size_t>(n));
            close(child.fd);
            result.played++;
            bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            if (clean)
                continue;
            Violation v;
            if (!Decode(child.report, &v)) {
                std::string how = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                                      : "exit status " + std::to_string(WEXITSTATUS(status));
                v = Violation{"crash", "the schedule's process ended without a report (" + how + ")", ""};
            }
            result.violations.push_back(FoundViolation{child.seed, v});
        }
        auto now = std::chrono::steady_clock::now();
        if (options.progress && now - lastProgress > std::chrono::milliseconds(200)) {
            lastProgress = now;
            double s = std::chrono::duration<double>(now - start).count();
            char line[160];
            std::snprintf(line, sizeof line, "\r%llu/%llu schedules, %.0f per second, %zu violations  ",
                          static_cast<unsigned long long>(result.played),
                          static_cast<unsigned long long>(options.seeds), s > 0 ? result.played / s : 0.0,
                          result.violations.size());
            err << line << std::flush;
        }
    }
    if (options.progress)
        err << "\r" << std::string(70, ' ') << "\r" << std::flush;
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::sort(result.violations.begin(), result.violations.end(),
              [](const FoundViolation& a, const FoundViolation& b) { return a.seed < b.seed; });
    return result;
}

int PrintExploreReport(const ExploreResult& result, const ExploreOptions& options, std::ostream& out)
{
    char rate[64];
    std::snprintf(rate, sizeof rate, "%.1f s, %.0f per second", result.seconds,
                  result.seconds > 0 ? result.played / result.seconds : 0.0);
    out << "explored " << result.played << " schedules (seeds " << options.from << " to "
        << options.from + options.seeds - 1 << ") of "
        << (options.replayName.empty() ? "the default scenario" : options.replayName) << " in " << rate << ": "
        << result.violations.size() << (result.violations.size() == 1 ? " violation" : " violations") << '\n';
    if (result.violations.empty())
        return 0;
    const FoundViolation& first = result.violations.front();
    out << "\nseed " << first.seed << ": " << first.violation.invariant << ": " << first.violation.detail << '\n'
        << "timeline up to it:\n"
        << first.violation.excerpt << "replay: kvmon-sim run "
        << (options.replayName.empty() ? "" : options.replayName + " ") << "--seed " << first.seed
        << '\n';
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
