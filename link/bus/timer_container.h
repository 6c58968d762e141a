// The session's software timers. They do not run on their own: the pair
// manager's tick thread calls timer_tick every 50 ms and each due timer's
// callback runs there, with the container's (recursive) mutex held, so a
// callback may add or remove timers of the same container.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>

// Callback reasons.
constexpr int TIMER_FIRED = 1;
constexpr int TIMER_REMOVED = 2;

typedef int (*timer_callback)(void *user, int id, int reason, int repeat);
// Millisecond clock; monotonic by default so that a change of the system time
// moves no timer. Tests inject their own.
typedef uint64_t (*timer_clock)(void *ctx);

struct timer_record {
    int id;
    int repeat;  // 1 periodic, 0 one-shot
    void *user;
    int interval;  // ms
    uint64_t due;  // ms on the container's clock
    timer_callback callback;
};

struct timer_container {
    std::list<timer_record> list;  // sorted by due time, earliest first
    int next_id = 0;
    std::recursive_mutex mutex;
    int initialised = 0;
    timer_clock clock = nullptr;
    void *clock_ctx = nullptr;
};

int timer_container_init(timer_container *c);
// Replaces the clock (before timers are added).
void timer_container_set_clock(timer_container *c, timer_clock clock, void *ctx);
// Returns the id (>= 1), or -1.
int timer_add(timer_container *c, int interval_ms, int repeat, timer_callback cb, void *user);
int timer_remove(timer_container *c, int id);
int timer_tick(timer_container *c);
int timer_container_destroy(timer_container *c);
