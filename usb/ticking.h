// Millisecond clock that paces the isochronous replies.
//
// The two USB clocks count timer ticks (use_qpc 0): their owner adds 2 ms per
// periodic tick, so the reply cadence follows the timer and not the wall
// clock. use_qpc 1 reads the monotonic clock instead.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

class CTicking {
  public:
    explicit CTicking(int use_qpc = 0);
    CTicking(const CTicking &) = delete;
    CTicking &operator=(const CTicking &) = delete;

    int use_qpc;
    int64_t qpc_frequency;  // counts per second of the monotonic source; 0 when manual
    // Advanced only by its owner's tick, without the lock; atomic so that
    // the reading side never sees a torn value.
    std::atomic<int64_t> manual_ms{0};
    int64_t start_ms = 0;       // time of the last restart
    int64_t replies = 0;        // replies given since the last restart
    int64_t last_reply_ms = 0;  // time of the previous reply (interval watch)
    std::mutex lock;
};

// Current time of the clock in milliseconds.
int64_t ticking_now(CTicking *t);
// start_ms = now, replies = 0 (under the clock's lock).
void ticking_restart(CTicking *t);
// True when the next 10 ms reply slot since the last restart has come; counts
// it. A clock that went backwards restarts and answers false.
bool pace_due(CTicking *t);
