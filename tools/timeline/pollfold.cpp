// Folding of idle polls. A cycle begins with a polling thread's idle wake-up (its timeout)
// and runs to the next one, or to its last line when it repeats the cycle before. It folds when every line of it is idle and the same text as in
// the thread's cycle before; the count line then stands where the last folded cycle began,
// so that the ms column still rises.
#include "pollfold.h"

namespace kvtools {

namespace {

std::string CountText(unsigned folded, DWORD firstMs, DWORD lastMs)
{
    if (folded == 1)
        return "idle poll as above, once more at " + std::to_string(firstMs) + " ms";
    return "idle poll as above, \xc3\x97" + std::to_string(folded) + " more, " + std::to_string(firstMs) + " to " +
           std::to_string(lastMs) + " ms";
}

}  // namespace

void PollFolder::Take(const Event& e, std::vector<Event>* due)
{
    Thread& t = threads_[e.thread];
    // A poll ends at the next idle wake-up, or as soon as it has every line of the one
    // before: whatever the thread does next (woken by a write, ended) is not part of it.
    if (e.cycleStart || (t.open && t.matching && t.texts.size() == t.last.size()))
        CloseCycle(e.thread, t);
    if (e.cycleStart) {
        t.open = true;
        t.matching = !t.last.empty();
    }
    Slot slot = held_.insert(held_.end(), Held{e});
    if (t.open) {
        size_t i = t.texts.size();
        t.texts.push_back(e.text);
        if (t.matching && !(e.idle && i < t.last.size() && t.last[i] == e.text)) {
            // Something differs: the cycle prints, and so does what it held back.
            t.matching = false;
            for (Slot s : t.cycle)
                s->owner = 0;
            t.cycle.clear();
        }
        if (t.matching) {
            slot->owner = e.thread;
            t.cycle.push_back(slot);
        }
    }
    if (!t.matching)
        EndFold(t);
    Release(due);
}

void PollFolder::CloseCycle(DWORD id, Thread& t)
{
    if (!t.open)
        return;
    if (t.matching && t.texts.size() == t.last.size() && !t.cycle.empty()) {
        const Event& first = t.cycle.front()->event;
        for (Slot s : t.cycle) {
            s->dropped = true;
            s->owner = 0;
        }
        if (t.folded == 0) {
            t.firstMs = first.ms;
        } else {
            // One count line per run of folds, where the last folded cycle was.
            t.count->dropped = true;
            t.count->owner = 0;
        }
        t.folded++;
        Held count;
        count.event.kind = "folded";
        count.event.thread = id;
        count.event.ms = first.ms;
        count.event.seq = first.seq;
        count.event.sub = first.sub;
        count.event.text = CountText(t.folded, t.firstMs, first.ms);
        count.event.Num("count", t.folded).Num("first_ms", t.firstMs).Num("last_ms", first.ms);
        count.owner = id;
        t.count = held_.insert(t.cycle.front(), count);
    } else {
        for (Slot s : t.cycle)
            s->owner = 0;
        EndFold(t);
    }
    t.last.swap(t.texts);
    t.texts.clear();
    t.cycle.clear();
    t.open = false;
    t.matching = false;
}

// The thread did something else: its count line is final.
void PollFolder::EndFold(Thread& t)
{
    if (t.folded == 0)
        return;
    t.count->owner = 0;
    t.folded = 0;
}

void PollFolder::Release(std::vector<Event>* due)
{
    while (!held_.empty() && held_.front().owner == 0) {
        if (!held_.front().dropped)
            due->push_back(std::move(held_.front().event));
        held_.pop_front();
    }
}

void PollFolder::Finish(std::vector<Event>* due)
{
    for (auto& entry : threads_) {
        CloseCycle(entry.first, entry.second);
        EndFold(entry.second);
    }
    Release(due);
}

}  // namespace kvtools
