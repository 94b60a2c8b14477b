// Playing a candidate scenario of the shrinker: seeds one after the other in a forked
// process, until one breaks the invariant.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <sstream>

#include "explore.h"
#include "scenario.h"
#include "shrink.h"
#include "simrun.h"

namespace kvtools {

namespace {

// A child playing seeds first..end-1: "seed S" before each, "found S DETAIL" and exit 0
// at the first that breaks the invariant, exit 1 when none does. A deadlock ends the
// process: "stuck INVARIANT DETAIL" comes first.
[[noreturn]] void Search(const Scenario& scenario, const std::string& invariant, bool stalls, uint64_t first,
                         uint64_t end, int fd)
{
    RunOptions options = WorkerRunOptions(false);
    options.stalls = stalls;
    options.onStuck = [fd](const Violation& v) { WriteAll(fd, "stuck 0 " + v.invariant + "\n" + v.detail + "\n"); };
    for (uint64_t seed = first; seed < end; seed++) {
        WriteAll(fd, "seed " + std::to_string(seed) + "\n");
        options.seed = seed;
        std::ostringstream out;
        std::ostringstream err;
        RunResult r = RunScenario(scenario, options, out, err);
        if (r.violated && (invariant.empty() || r.violation.invariant == invariant)) {
            WriteAll(fd, "found " + std::to_string(r.misuses) + " " + r.violation.invariant + "\n" + r.violation.detail +
                         "\n");
            _exit(0);
        }
    }
    _exit(1);
}

// The report of one child: the last seed it began, and whether it found the invariant.
struct Searched {
    uint64_t last = 0;      // the seed it was playing when it stopped
    bool found = false;     // it broke the invariant there
    std::string invariant;  // the invariant it broke
    std::string detail;     // what the run saw
    unsigned misuses = 0;   // calls marked as spooler misuse in that run
    bool ended = false;     // it played every seed
};

Searched RunSearch(const Scenario& scenario, const std::string& invariant, bool stalls, uint64_t first, uint64_t end)
{
    Searched s;
    s.last = first;
    int fds[2];
    if (pipe(fds) != 0)
        return s;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        Search(scenario, invariant, stalls, first, end, fds[1]);
    }
    close(fds[1]);
    std::string report;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        report.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    if (pid > 0)
        waitpid(pid, &status, 0);
    std::istringstream lines(report);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("seed ", 0) == 0) {
            s.last = std::strtoull(line.c_str() + 5, nullptr, 10);
        } else if (line.rfind("found ", 0) == 0 || line.rfind("stuck ", 0) == 0) {
            size_t space = line.find(' ', 6);
            s.misuses = static_cast<unsigned>(std::strtoul(line.c_str() + 6, nullptr, 10));
            s.invariant = space == std::string::npos ? std::string() : line.substr(space + 1);
            std::getline(lines, s.detail);
            s.found = invariant.empty() || s.invariant == invariant;
        }
    }
    if (pid > 0 && !s.found && WIFSIGNALED(status) && (invariant.empty() || invariant == "crash")) {
        s.found = true;
        s.invariant = "crash";
        s.detail = "the schedule's process ended by signal " + std::to_string(WTERMSIG(status));
    }
    s.ended = pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 1;
    return s;
}

}  // namespace

std::optional<Reproduced> Reproduce(const std::string& text, const std::string& invariant, uint64_t seed,
                                    unsigned search, bool stalls)
{
    Scenario scenario;
    std::string error;
    if (!ParseScenario(text, "shrink", &scenario, &error))
        return std::nullopt;
    const uint64_t end = seed + search;
    for (uint64_t first = seed; first < end;) {
        Searched s = RunSearch(scenario, invariant, stalls, first, end);
        if (s.found)
            return Reproduced{s.last, s.invariant, s.detail, s.misuses};
        if (s.ended)
            return std::nullopt;
        first = s.last + 1;  // a process that died of another fault: go on after that seed
    }
    return std::nullopt;
}

}  // namespace kvtools
