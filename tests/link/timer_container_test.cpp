#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/bus/timer_container.h"

namespace {

struct Call {
    int id, reason, repeat;
};

struct Clocked : ::testing::Test {
    timer_container tc;
    uint64_t now = 1000000;
    static std::vector<Call> calls;
    void SetUp() override {
        calls.clear();
        ASSERT_EQ(timer_container_init(&tc), 0);
        timer_container_set_clock(
            &tc, [](void *ctx) { return *static_cast<uint64_t *>(ctx); }, &now);
    }
    void TearDown() override { timer_container_destroy(&tc); }
    static int record(void *, int id, int reason, int repeat) {
        calls.push_back({id, reason, repeat});
        return 0;
    }
    void advance(uint64_t ms) {
        now += ms;
        timer_tick(&tc);
    }
};
std::vector<Call> Clocked::calls;

TEST_F(Clocked, FiresInDueOrderAndOneShotsAreCalledTwice) {
    int a = timer_add(&tc, 3000, 0, record, nullptr);
    int b = timer_add(&tc, 5000, 0, record, nullptr);
    int c = timer_add(&tc, 1000, 0, record, nullptr);
    ASSERT_EQ(tc.list.size(), 3u);
    EXPECT_EQ(tc.list.front().id, c);
    EXPECT_EQ(tc.list.back().id, b);
    advance(999);
    EXPECT_TRUE(calls.empty());
    advance(5001);  // all due in one tick: each fires once, in due order
    std::vector<std::pair<int, int>> got;
    for (const Call &k : calls) got.push_back({k.id, k.reason});
    EXPECT_EQ(got, (std::vector<std::pair<int, int>>{{c, TIMER_FIRED},
                                                     {c, TIMER_REMOVED},
                                                     {a, TIMER_FIRED},
                                                     {a, TIMER_REMOVED},
                                                     {b, TIMER_FIRED},
                                                     {b, TIMER_REMOVED}}));
    EXPECT_TRUE(tc.list.empty());
}

TEST_F(Clocked, PeriodicFiresOncePerPeriodAndOncePerTickWhenBehind) {
    int id = timer_add(&tc, 3000, 1, record, nullptr);
    for (int i = 0; i < 10; ++i) advance(1000);
    EXPECT_EQ(calls.size(), 3u);  // at 3, 6 and 9 s
    advance(20000);               // fell far behind: fires once, re-armed from now
    EXPECT_EQ(calls.size(), 4u);
    advance(2999);
    EXPECT_EQ(calls.size(), 4u);
    advance(1);
    EXPECT_EQ(calls.size(), 5u);
    EXPECT_EQ(timer_remove(&tc, id), 0);
    EXPECT_EQ(calls.back().reason, TIMER_REMOVED);
    advance(10000);
    EXPECT_EQ(calls.size(), 6u);
}

TEST_F(Clocked, EqualDueTimesKeepInsertionOrder) {
    int a = timer_add(&tc, 100, 0, record, nullptr);
    int b = timer_add(&tc, 100, 0, record, nullptr);
    advance(100);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].id, a);
    EXPECT_EQ(calls[2].id, b);
}

TEST_F(Clocked, RemoveOfUnknownIdsAndDestroyTellsPendingTimers) {
    EXPECT_EQ(timer_remove(&tc, -1), -1);
    int id = timer_add(&tc, 10, 0, record, nullptr);
    advance(10);
    size_t after_fire = calls.size();
    EXPECT_EQ(timer_remove(&tc, id), 0);  // already fired: no effect
    EXPECT_EQ(calls.size(), after_fire);

    calls.clear();
    timer_add(&tc, 500, 1, record, nullptr);
    timer_add(&tc, 100, 0, record, nullptr);
    ASSERT_EQ(timer_container_destroy(&tc), 0);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].reason, TIMER_REMOVED);
    EXPECT_EQ(calls[0].repeat, 0);  // earliest first
    EXPECT_EQ(calls[1].reason, TIMER_REMOVED);
    // Between sessions nothing can be added and ticks report -1.
    EXPECT_EQ(timer_add(&tc, 10, 0, record, nullptr), -1);
    EXPECT_EQ(timer_tick(&tc), -1);
    EXPECT_EQ(timer_container_init(&tc), 0);
}

TEST_F(Clocked, CallbackMayAddAndRemoveTimers) {
    static timer_container *self;
    static int added;
    self = &tc;
    added = 0;
    int id = timer_add(
        &tc, 50, 1,
        [](void *, int id, int reason, int) {
            if (reason == TIMER_FIRED) {
                added = timer_add(self, 50, 0, record, nullptr);
                timer_remove(self, id);
            }
            return 0;
        },
        nullptr);
    advance(50);
    EXPECT_GT(added, id);
    EXPECT_EQ(tc.list.size(), 1u);
    advance(50);
    EXPECT_EQ(calls.size(), 2u);
    EXPECT_TRUE(tc.list.empty());
}

TEST(TimerContainer, MissingOrUninitialised) {
    EXPECT_EQ(timer_container_init(nullptr), -1);
    EXPECT_EQ(timer_tick(nullptr), -1);
    timer_container tc;
    EXPECT_EQ(timer_tick(&tc), -1);
    EXPECT_EQ(timer_container_destroy(&tc), -1);
    EXPECT_EQ(timer_container_init(&tc), 0);
    EXPECT_EQ(timer_container_init(&tc), -1) << "already initialised";
    EXPECT_EQ(timer_add(&tc, 10, 0, nullptr, nullptr), -1) << "null callback";
    timer_container_destroy(&tc);
}

}  // namespace
