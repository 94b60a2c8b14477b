// What a run leaves behind when it is interrupted: nothing. SIGINT (Ctrl-C) and SIGTERM
// end a run of kvmon-sim only after its status blocks and temporary folders are removed;
// what a run killed outright left is removed by the next run.
#ifndef KVMON_TOOLS_RUNGUARD_H
#define KVMON_TOOLS_RUNGUARD_H

#include <sys/types.h>

#include <ostream>
#include <string>

namespace kvtools {

// Blocks SIGINT and SIGTERM in the calling thread, and so in every thread started after
// it, and starts a thread that waits for them. On one it removes every shared memory object
// the process holds (the status blocks; the monitor's threads are left running, so they
// are removed before they are closed) and every folder given to GuardFolder, says so on
// standard error and ends the process with 130 (SIGINT) or 143 (SIGTERM). Call it before
// the first thread starts; later calls do nothing.
void GuardRun();

// GuardRun for explore's parent process: on SIGINT or SIGTERM it kills its workers (its
// child processes, which start with the signals blocked and so leave them to it), reaps
// them, removes what they left (RemoveLeftovers) and ends with 130 or 143. Call it before
// the first worker starts.
void GuardExplore();

// After a write to standard output: when it failed (the reader is gone, as with `| head`;
// SIGPIPE is ignored after GuardRun), removes the run's blocks and folders and ends the
// process with status 141, as SIGPIPE would.
const int kExitBrokenPipe = 141;
void CheckOutput(std::ostream& out);

// fork() for explore's workers: -1 (ECANCELED) once the signal watcher stops them, so that
// every worker it has to reap is there when it looks.
pid_t ForkWorker();

// Removes what runs killed outright (SIGKILL, a deadlocked schedule) left: the blocks of
// their own namespaces ("kvmon-sim-PID.*", explore's "kvmon-explore-PID.*" in /dev/shm)
// and their temporary folders ("kvmon-sim-PID-*" in /dev/shm and /tmp), of every PID that
// is no longer a process.
void RemoveLeftovers();

// Removes every shared memory object this process holds open (its status blocks), so that
// none outlives a process about to end without closing them.
void RemoveHeldBlocks();

// A folder to remove on a signal, and no longer.
void GuardFolder(const std::string& path);
void UnguardFolder(const std::string& path);

}  // namespace kvtools

#endif  // KVMON_TOOLS_RUNGUARD_H
