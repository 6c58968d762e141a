// One-shot timer queues: due order, cancellation, callbacks that re-arm, and
// the wait that clean-up relies on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/os/os_timer.h"

namespace {

uint64_t g_now = 0;
uint64_t clock_fn(void *) {
    return g_now;
}

struct Fired {
    std::mutex m;
    std::vector<int> ids;
};

void record(void *ctx, int id) {
    auto *f = static_cast<Fired *>(ctx);
    std::lock_guard<std::mutex> g(f->m);
    f->ids.push_back(id);
}

TEST(OsTimer, ManualQueueRunsDueTimersInOrderAndSkipsCancelled) {
    g_now = 0;
    os_timer_queue *q = os_timer_queue_create_manual(clock_fn, nullptr);
    Fired f;
    int late = os_timer_start(q, 300, record, &f);
    int early = os_timer_start(q, 100, record, &f);
    int dropped = os_timer_start(q, 200, record, &f);
    EXPECT_EQ(os_timer_cancel(q, dropped, 0), 1);
    EXPECT_EQ(os_timer_cancel(q, dropped, 0), 0);
    g_now = 99;
    EXPECT_EQ(os_timer_run_due(q), 0);
    g_now = 1000;
    EXPECT_EQ(os_timer_run_due(q), 2);
    EXPECT_EQ(f.ids, (std::vector<int>{early, late}));
    EXPECT_EQ(os_timer_pending(q), 0);
    os_timer_queue_destroy(q);
}

struct Rearm {
    os_timer_queue *q;
    int count = 0;
};

void rearm(void *ctx, int) {
    auto *r = static_cast<Rearm *>(ctx);
    if (++r->count < 3) os_timer_start(r->q, 0, rearm, r);
}

TEST(OsTimer, CallbackMayStartTimersOfItsOwnQueue) {
    g_now = 0;
    Rearm r{os_timer_queue_create_manual(clock_fn, nullptr)};
    os_timer_start(r.q, 0, rearm, &r);
    EXPECT_EQ(os_timer_run_due(r.q), 3);
    os_timer_queue_destroy(r.q);
}

TEST(OsTimer, ThreadedQueueFiresAndCancelWaitsForARunningCallback) {
    os_timer_queue *q = os_timer_queue_create();
    std::atomic<int> stage{0};
    struct Ctx {
        std::atomic<int> *stage;
    } ctx{&stage};
    int id = os_timer_start(
        q, 1,
        [](void *c, int) {
            auto *s = static_cast<Ctx *>(c)->stage;
            *s = 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            *s = 2;
        },
        &ctx);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (stage == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    ASSERT_EQ(stage.load(), 1);
    EXPECT_EQ(os_timer_cancel(q, id, 1), 0);
    EXPECT_EQ(stage.load(), 2);  // returned only after the callback ended
    os_timer_queue_destroy(q);
}

TEST(OsTimer, DestroyDropsPendingTimers) {
    os_timer_queue *q = os_timer_queue_create();
    Fired f;
    os_timer_start(q, 60000, record, &f);
    os_timer_queue_destroy(q);
    EXPECT_TRUE(f.ids.empty());
}

}  // namespace
