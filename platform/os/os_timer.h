// One-shot millisecond timers whose callbacks run on a timer thread.
//
// A queue either owns a thread that runs each callback when it is due on the
// monotonic clock, or (manual queues, for tests) has no thread: the owner's
// clock says what is due and os_timer_run_due runs it on the caller's thread.
// Callbacks run without any lock of the queue held, so they may start and
// cancel timers themselves.
#pragma once

#include <cstdint>

struct os_timer_queue;

// The id lets a callback tell whether it is still the timer its owner
// expects, when a cancel came too late to stop it.
typedef void (*os_timer_fn)(void *ctx, int id);
typedef uint64_t (*os_timer_clock)(void *ctx);  // milliseconds

os_timer_queue *os_timer_queue_create();
os_timer_queue *os_timer_queue_create_manual(os_timer_clock clock, void *clock_ctx);
// Drops every pending timer and ends the thread (after a running callback).
void os_timer_queue_destroy(os_timer_queue *q);
// The process-wide threaded queue, made on first use and kept until exit.
os_timer_queue *os_timer_default();

// Starts a one-shot timer. Returns its id (>= 1), or -1.
int os_timer_start(os_timer_queue *q, unsigned delay_ms, os_timer_fn fn, void *ctx);
// Removes a pending timer: 1 removed, 0 it was not pending. With wait set it
// also waits while that timer's callback runs on another thread; never wait
// while holding a lock that the callback takes.
int os_timer_cancel(os_timer_queue *q, int id, int wait);
// Manual queues: runs every callback due on the queue's clock, earliest first.
// Returns how many ran.
int os_timer_run_due(os_timer_queue *q);
// Number of timers waiting.
int os_timer_pending(os_timer_queue *q);
