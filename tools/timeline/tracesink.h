// The monitor's own trace on the simulator's timeline: every decision the monitor reports
// becomes a line "EVENT PORT: reason", and each polling thread is named by its port.
#ifndef KVMON_TOOLS_TRACESINK_H
#define KVMON_TOOLS_TRACESINK_H

#include <string>

#include "timeline.h"

namespace kvtools {

// Registers the monitor's trace sink at its most detailed level, adding each event to
// timeline; DetachTrace unregisters it. One timeline at a time. The sink adds no
// scheduling point: a run schedules the same with and without it. The run's companion
// folder (a temporary path) reads "<Statovue folder>" in the reasons.
void AttachTrace(Timeline& timeline, const std::string& folder);
void DetachTrace();

// The timeline line of one trace event (kind "trace"). Empty kind for the device query,
// which the timeline shows with the reply the port monitor gave.
Event TraceLine(const std::string& port, const std::string& event, const std::string& reason);

}  // namespace kvtools

#endif  // KVMON_TOOLS_TRACESINK_H
