// kvmon-stat's view of one port's status block: whether it is there, whether a process
// still holds it, its bytes, and the report of all that as text or JSON.
#ifndef KVMON_TOOLS_STATBLOCK_H
#define KVMON_TOOLS_STATBLOCK_H

#include <ostream>
#include <string>

#include "devstatus.h"

namespace kvtools {

enum class BlockState {
    Absent,         // no block of that name
    Live,           // a process holds the block: its publisher (or another reader)
    PublisherGone,  // the block is there but no process holds it (POSIX only)
    Failed,         // it could not be opened or mapped
};

struct BlockReading {
    std::string name;        // mapping name: monitor name + port name
    std::string ns;          // POSIX mapping namespace; empty on Windows
    BlockState state = BlockState::Absent;
    std::string reason;      // one line: why the block is absent, live, gone or failed
    std::string bytes;       // the block (length field included) when it was read
    bool read = false;       // bytes hold the block
    BlockAnalysis analysis;  // of bytes, when read
};

// Looks for the block and reads it: OpenFileMappingA, MapViewOfFile, no other calls.
BlockReading ReadStatusBlock(const std::string& monitor, const std::string& port);

// Same state and bytes: nothing a watcher would print again.
bool SameReading(const BlockReading& a, const BlockReading& b);

// Text report; time is printed as a first line when not empty.
void PrintReading(std::ostream& out, const BlockReading& r, const std::string& time);
// One JSON object (docs/schema/stat.schema.json), without a line end.
std::string ReadingJson(const BlockReading& r, const std::string& time);

// The current time, UTC, as 2026-01-31T12:34:56.789Z.
std::string TimeStamp();

}  // namespace kvtools

#endif  // KVMON_TOOLS_STATBLOCK_H
