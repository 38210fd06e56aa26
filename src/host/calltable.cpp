// The table of running background calls.
#include "host/calltable.h"

#include "platform/platform.h"

#include <atomic>
#include <cstring>

namespace {

struct CallSlot {
    bool busy;  // guarded by TableLock, like tag and kind
    CallKind kind;
    uint64_t order;  // when it was claimed: the earliest call of a tag is its first
    char tag[kMaxTagBytes + 1];
    WorkWatch watch;
};

CallSlot Slots[kCallSlots];
std::atomic_flag TableLock = ATOMIC_FLAG_INIT;
uint64_t ClaimsMade = 0;  // guarded by TableLock

class TableHold {
public:
    TableHold()
    {
        while (TableLock.test_and_set(std::memory_order_acquire))
            YieldThread();
    }
    ~TableHold() { TableLock.clear(std::memory_order_release); }
    TableHold(const TableHold&) = delete;
    TableHold& operator=(const TableHold&) = delete;
};

CallSlot* SlotOf(WorkWatch* watch)
{
    for (CallSlot& slot : Slots)
        if (&slot.watch == watch)
            return &slot;
    return nullptr;
}

}  // namespace

WorkWatch* ClaimCallSlot(const char* tag, CallKind kind)
{
    size_t length = strlen(tag);
    if (length > kMaxTagBytes)
        return nullptr;
    TableHold hold;
    for (CallSlot& slot : Slots) {
        if (slot.busy)
            continue;
        slot.busy = true;
        slot.kind = kind;
        slot.order = ClaimsMade++;
        memcpy(slot.tag, tag, length + 1);
        WorkWatch& watch = slot.watch;
        watch.stop.store(false, std::memory_order_relaxed);
        watch.bytes_done.store(0, std::memory_order_relaxed);
        watch.bytes_total.store(0, std::memory_order_relaxed);
        watch.entries_done.store(0, std::memory_order_relaxed);
        watch.entries.store(0, std::memory_order_relaxed);
        return &watch;
    }
    return nullptr;
}

bool ReleaseCallSlot(WorkWatch* watch)
{
    TableHold hold;
    CallSlot* slot = SlotOf(watch);
    if (slot == nullptr)
        return false;
    slot->busy = false;
    return watch->Stopped();
}

int StopCalls(const char* tag)
{
    int told = 0;
    TableHold hold;
    for (CallSlot& slot : Slots)
        if (slot.busy && (tag == nullptr || strcmp(slot.tag, tag) == 0)) {
            slot.watch.stop.store(true, std::memory_order_relaxed);
            ++told;
        }
    return told;
}

bool ReadCallProgress(const char* tag, CallProgress* progress)
{
    TableHold hold;
    const CallSlot* first = nullptr;
    for (const CallSlot& slot : Slots)
        if (slot.busy && strcmp(slot.tag, tag) == 0 && (first == nullptr || slot.order < first->order))
            first = &slot;
    if (first == nullptr)
        return false;
    const WorkWatch& w = first->watch;
    *progress = {first->kind, w.bytes_done.load(std::memory_order_relaxed),
                 w.bytes_total.load(std::memory_order_relaxed),
                 w.entries_done.load(std::memory_order_relaxed),
                 w.entries.load(std::memory_order_relaxed)};
    return true;
}
