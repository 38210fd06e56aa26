// What a call running in the background lets other threads see and ask of
// it: how far it has come, and whether it should stop. The call itself
// writes the counters and reads the stop flag, between one read chunk or one
// listing entry and the next; others read the counters and set the flag.
#pragma once

#include <atomic>
#include <cstdint>

struct WorkWatch {
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> bytes_done{0};    // of the file being read
    std::atomic<uint64_t> bytes_total{0};   // its size when it was opened
    std::atomic<uint64_t> entries_done{0};  // listing entries looked at, or list entries checked
    std::atomic<uint64_t> entries{0};       // the list's entries in all

    bool Stopped() const { return stop.load(std::memory_order_relaxed); }
};
