// Folding of idle polls on the timeline: a polling thread that wakes on its timeout, queries
// and finds everything as in its cycle before prints that cycle once; the identical cycles
// that follow become one line with their count. Events go in and come out in sequence
// order; the lines of other threads keep their places.
#ifndef KVMON_TOOLS_POLLFOLD_H
#define KVMON_TOOLS_POLLFOLD_H

#include <windows.h>

#include <list>
#include <map>
#include <string>
#include <vector>

#include "timeline.h"

namespace kvtools {

class PollFolder {
public:
    // Takes the next event in sequence order and appends to *due what can be printed now.
    // A cycle that may still fold holds back its own lines and every line after it.
    void Take(const Event& e, std::vector<Event>* due);
    // At the end: everything still held, with the count of every fold.
    void Finish(std::vector<Event>* due);

private:
    struct Held {
        Event event;
        DWORD owner = 0;       // thread whose open cycle or fold count this is; 0: none
        bool count = false;    // the line with the count of folded cycles
        bool dropped = false;  // a folded cycle's line
    };
    using Slot = std::list<Held>::iterator;
    struct Thread {
        std::vector<std::string> last;   // texts of the thread's last cycle
        std::vector<std::string> texts;  // texts of the cycle in progress
        std::vector<Slot> cycle;         // its lines held back while it matches
        bool open = false;              // a cycle is in progress
        bool matching = false;          // ... and it repeats the last one so far
        unsigned folded = 0;            // cycles folded since the last printed one
        DWORD firstMs = 0;              // when the first of them began
        Slot count;                     // the count line, when folded != 0
    };

    void CloseCycle(DWORD id, Thread& t);
    void EndFold(Thread& t);
    bool Blocked(const Held& h) const;
    void Release(std::vector<Event>* due);

    std::list<Held> held_;
    std::map<DWORD, Thread> threads_;
};

}  // namespace kvtools

#endif  // KVMON_TOOLS_POLLFOLD_H
