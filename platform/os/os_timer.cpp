#include "platform/os/os_timer.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/os/os_time.h"

struct os_timer_queue {
    struct entry {
        int id;
        os_timer_fn fn;
        void *ctx;
    };
    std::mutex lock;
    std::condition_variable changed;
    std::multimap<uint64_t, entry> due;  // by due time; equal times keep start order
    int next_id = 1;
    int running_id = 0;
    std::thread::id runner;
    bool stop = false;
    bool manual = false;
    os_timer_clock clock = nullptr;
    void *clock_ctx = nullptr;
    std::thread thread;

    uint64_t now() const { return clock != nullptr ? clock(clock_ctx) : os_mono_ms(); }
};

namespace {

// Takes the earliest due entry when it is due; the caller holds the lock.
bool take_due(os_timer_queue *q, os_timer_queue::entry *out) {
    if (q->due.empty() || q->due.begin()->first > q->now()) return false;
    *out = q->due.begin()->second;
    q->due.erase(q->due.begin());
    q->running_id = out->id;
    q->runner = std::this_thread::get_id();
    return true;
}

void run_one(os_timer_queue *q, std::unique_lock<std::mutex> &held,
             const os_timer_queue::entry &e) {
    held.unlock();
    e.fn(e.ctx, e.id);
    held.lock();
    q->running_id = 0;
    q->changed.notify_all();
}

void thread_main(os_timer_queue *q) {
    std::unique_lock<std::mutex> held(q->lock);
    while (!q->stop) {
        os_timer_queue::entry e{};
        if (take_due(q, &e)) {
            run_one(q, held, e);
            continue;
        }
        if (q->due.empty()) {
            q->changed.wait(held);
        } else {
            uint64_t wait_ms = q->due.begin()->first - q->now();
            q->changed.wait_for(held, std::chrono::milliseconds(wait_ms));
        }
    }
}

}  // namespace

os_timer_queue *os_timer_queue_create() {
    auto *q = new os_timer_queue;
    q->thread = std::thread(thread_main, q);
    return q;
}

os_timer_queue *os_timer_queue_create_manual(os_timer_clock clock, void *clock_ctx) {
    auto *q = new os_timer_queue;
    q->manual = true;
    q->clock = clock;
    q->clock_ctx = clock_ctx;
    return q;
}

void os_timer_queue_destroy(os_timer_queue *q) {
    if (q == nullptr) return;
    {
        std::lock_guard<std::mutex> g(q->lock);
        q->stop = true;
        q->due.clear();
        q->changed.notify_all();
    }
    if (q->thread.joinable()) q->thread.join();
    delete q;
}

os_timer_queue *os_timer_default() {
    // Never destroyed: objects that outlive static destruction may still cancel.
    static os_timer_queue *q = os_timer_queue_create();
    return q;
}

int os_timer_start(os_timer_queue *q, unsigned delay_ms, os_timer_fn fn, void *ctx) {
    if (q == nullptr || fn == nullptr) return -1;
    std::lock_guard<std::mutex> g(q->lock);
    if (q->stop) return -1;
    int id = q->next_id;
    q->next_id = q->next_id == INT32_MAX ? 1 : q->next_id + 1;
    q->due.emplace(q->now() + delay_ms, os_timer_queue::entry{id, fn, ctx});
    q->changed.notify_all();
    return id;
}

int os_timer_cancel(os_timer_queue *q, int id, int wait) {
    if (q == nullptr || id <= 0) return 0;
    std::unique_lock<std::mutex> held(q->lock);
    for (auto it = q->due.begin(); it != q->due.end(); ++it) {
        if (it->second.id == id) {
            q->due.erase(it);
            q->changed.notify_all();
            return 1;
        }
    }
    if (wait) {
        q->changed.wait(
            held, [&] { return q->running_id != id || q->runner == std::this_thread::get_id(); });
    }
    return 0;
}

int os_timer_run_due(os_timer_queue *q) {
    if (q == nullptr || !q->manual) return 0;
    std::unique_lock<std::mutex> held(q->lock);
    int ran = 0;
    os_timer_queue::entry e{};
    while (take_due(q, &e)) {
        run_one(q, held, e);
        ++ran;
    }
    return ran;
}

int os_timer_pending(os_timer_queue *q) {
    if (q == nullptr) return 0;
    std::lock_guard<std::mutex> g(q->lock);
    return static_cast<int>(q->due.size());
}
