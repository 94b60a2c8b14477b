// The signal thread of kvmon-sim run and explore. The signals are blocked everywhere and taken by
// sigwait on a thread of their own, so the clean-up runs as ordinary code, not in a handler.
#include "runguard.h"

#include <dirent.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "cli.h"

namespace kvtools {

namespace {

std::mutex g_mutex;
std::set<std::string> g_folders;  // temporary folders of the run, removed on a signal
bool g_started = false;
// The watching thread is set up and about to wait for its signal. explore forks its workers
// only after that: a thread still starting may hold the allocator's locks (a sanitizer's
// above all), and a child forked then would find them held forever.
std::condition_variable g_readyChanged;
bool g_ready = false;
// Forks of explore's workers and the watcher's stop exclude each other: once the watcher
// has set g_stopping, no worker is started that it would not see and reap. A mutex of its
// own: a child never touches it, while it does take g_mutex (GuardFolder).
std::mutex g_forkMutex;
bool g_stopping = false;

}  // namespace

// Every shared memory object this process has open: its descriptors that lead to
// /dev/shm. The platform keeps a descriptor for every mapping handle and view, so these
// are the run's blocks; a block nobody else holds would not outlive the process otherwise.
void RemoveHeldBlocks()
{
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr)
        return;
    const std::string shm = "/dev/shm/";
    std::set<std::string> names;
    while (dirent* entry = readdir(fds)) {
        char target[4096];
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        std::string path(target, static_cast<size_t>(n));
        if (path.compare(0, shm.size(), shm) == 0 && path.find(" (deleted)") == std::string::npos)
            names.insert("/" + path.substr(shm.size()));
    }
    closedir(fds);
    for (const auto& name : names)
        shm_unlink(name.c_str());
}

namespace {

// The run's blocks and temporary folders.
void RemoveRunObjects()
{
    std::set<std::string> folders;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        folders = g_folders;
    }
    RemoveHeldBlocks();
    for (const auto& folder : folders) {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
}

bool g_explore = false;            // the process is explore's parent: its children are workers

// The processes whose parent is this one, from /proc/PID/stat (zombies included).
std::vector<pid_t> Children()
{
    std::vector<pid_t> children;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return children;
    while (dirent* entry = readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        FILE* f = std::fopen(("/proc/" + std::string(entry->d_name) + "/stat").c_str(), "r");
        if (f == nullptr)
            continue;
        char line[1024];
        size_t n = std::fread(line, 1, sizeof line - 1, f);
        std::fclose(f);
        line[n] = '\0';
        // "PID (COMM) STATE PPID ...": COMM may hold blanks and parentheses; the last ')' ends it.
        const char* close = std::strrchr(line, ')');
        char state = 0;
        long ppid = 0;
        if (close != nullptr && std::sscanf(close + 1, " %c %ld", &state, &ppid) == 2 && ppid == getpid())
            children.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return children;
}

// Kills explore's workers and reaps them, so that their PIDs are gone and RemoveLeftovers
// takes their blocks and folders. No worker is started any more (g_stopping); the main
// thread may reap some of them first.
void StopWorkers()
{
    for (int round = 0; round < 100; round++) {
        std::vector<pid_t> children = Children();
        if (children.empty())
            return;
        for (pid_t child : children)
            kill(child, SIGKILL);
        for (pid_t child : children)
            waitpid(child, nullptr, 0);  // ECHILD when the main thread reaped it first
    }
}

void Watch(sigset_t set)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_ready = true;
    }
    g_readyChanged.notify_all();
    int sig = 0;
    if (sigwait(&set, &sig) != 0)
        return;
    bool explore = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        explore = g_explore;
    }
    if (explore) {
        {
            std::lock_guard<std::mutex> lock(g_forkMutex);
            g_stopping = true;
        }
        StopWorkers();
        RemoveLeftovers();
        std::fflush(stdout);
        std::fputs(sig == SIGINT ? "kvmon-sim: interrupted (SIGINT); explore's workers are stopped, their status "
                                   "blocks and temporary folders removed\n"
                                 : "kvmon-sim: terminated (SIGTERM); explore's workers are stopped, their status "
                                   "blocks and temporary folders removed\n",
                   stderr);
        std::fflush(stderr);
        _exit(sig == SIGINT ? kExitInterrupted : kExitTerminated);
    }
    RemoveRunObjects();
    std::fflush(stdout);
    const char* message = sig == SIGINT ? "kvmon-sim: interrupted (SIGINT); the run's status blocks and temporary "
                                          "folder are removed\n"
                                        : "kvmon-sim: terminated (SIGTERM); the run's status blocks and temporary "
                                          "folder are removed\n";
    std::fputs(message, stderr);
    std::fflush(stderr);
    _exit(sig == SIGINT ? kExitInterrupted : kExitTerminated);
}

// What a process left in /dev/shm or /tmp, told by its name: the blocks of a run's own
// namespace ("kvmon-sim-PID." and, of explore's workers, "kvmon-explore-PID.") and a run's
// temporary folder ("kvmon-sim-PID-").
struct Leftover {
    pid_t pid = 0;  // 0: not a leftover's name
    bool block = false;
};

Leftover ParseLeftover(const std::string& name)
{
    Leftover l;
    for (const std::string prefix : {"kvmon-sim-", "kvmon-explore-"}) {
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        size_t end = name.find_first_not_of("0123456789", prefix.size());
        if (end == prefix.size() || end == std::string::npos || end - prefix.size() > 9)
            return l;
        l.block = name[end] == '.';
        if (!l.block && (name[end] != '-' || prefix != "kvmon-sim-"))
            return l;
        l.pid = static_cast<pid_t>(std::stol(name.substr(prefix.size(), end - prefix.size())));
    }
    return l;
}

}  // namespace

void RemoveLeftovers()
{
    for (const std::string base : {"/dev/shm", "/tmp"}) {
        DIR* dir = opendir(base.c_str());
        if (dir == nullptr)
            continue;
        std::vector<std::pair<std::string, bool>> found;  // name, whether a block
        while (dirent* entry = readdir(dir)) {
            Leftover l = ParseLeftover(entry->d_name);
            // Only of processes that are gone: one of another user is alive (EPERM) as well.
            if (l.pid > 0 && l.pid != getpid() && kill(l.pid, 0) != 0 && errno == ESRCH)
                found.emplace_back(entry->d_name, l.block);
        }
        closedir(dir);
        for (const auto& f : found) {
            if (f.second) {
                if (base == "/dev/shm")
                    shm_unlink(("/" + f.first).c_str());
            } else {
                std::error_code ec;
                std::filesystem::remove_all(base + "/" + f.first, ec);
            }
        }
    }
}

void CheckOutput(std::ostream& out)
{
    if (out.good())
        return;
    RemoveRunObjects();
    _exit(kExitBrokenPipe);
}

pid_t ForkWorker()
{
    std::lock_guard<std::mutex> lock(g_forkMutex);
    if (g_stopping) {
        errno = ECANCELED;
        return -1;
    }
    return fork();
}

void GuardExplore()
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_explore = true;
    }
    GuardRun();
}

void GuardRun()
{
    std::unique_lock<std::mutex> lock(g_mutex);
    if (g_started)
        return;
    g_started = true;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A reader that went away (`| head`) is seen as a failed write (CheckOutput), so that
    // the run removes what it holds before it ends.
    signal(SIGPIPE, SIG_IGN);
    std::thread(Watch, set).detach();
    g_readyChanged.wait(lock, [] { return g_ready; });
}

void GuardFolder(const std::string& path)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_folders.insert(path);
}

void UnguardFolder(const std::string& path)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_folders.erase(path);
}

}  // namespace kvtools
