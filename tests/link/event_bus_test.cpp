#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "link/bus/event_bus.h"

namespace {

struct Seen {
    uint32_t type, code;
    int32_t value;
    std::vector<uint8_t> body;
};

void collect(void *ctx, const duvo_event *ev) {
    static_cast<std::vector<Seen> *>(ctx)->push_back(
        {ev->type, ev->code, ev->value, std::vector<uint8_t>(ev->body, ev->body + ev->size)});
}

struct Bus : ::testing::Test {
    int tx = -1, rx = -1;
    void SetUp() override { ASSERT_EQ(duvo_event_bus_init(&tx, &rx), 0); }
    void TearDown() override { duvo_event_bus_close(tx, rx); }
};

TEST_F(Bus, MessageSizeIsBodyPlusSixteen) {
    struct Case {
        const char *body;
        size_t size;
        size_t wire;
    } cases[] = {{nullptr, 0, 16}, {"ab", 2, 18}, {"ignored", 0, 16}, {nullptr, 5, 16}};
    for (const Case &c : cases) {
        ASSERT_EQ(duvo_event_post(c.body, c.size, tx, EVT_SEND_CMD, 23, -7), 0);
        uint8_t buf[EVT_FRAME_MAX];
        ssize_t n = recv(rx, buf, sizeof buf, 0);
        EXPECT_EQ(size_t(n), c.wire);
        // type, code, value little-endian; two zero bytes after the body
        EXPECT_EQ(buf[0], 0x00);
        EXPECT_EQ(buf[2], 0x01);
        EXPECT_EQ(buf[4], 23);
        EXPECT_EQ(buf[8], 0xF9);
        EXPECT_EQ(buf[11], 0xFF);
        EXPECT_EQ(buf[n - 1], 0);
        EXPECT_EQ(buf[n - 2], 0);
    }
}

TEST_F(Bus, EventsArriveWholeAndInOrderFromManyThreads) {
    constexpr int threads = 4, per_thread = 200;
    std::vector<std::thread> posters;
    for (int t = 0; t < threads; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) {
                int32_t v = t * 1000 + i;
                ASSERT_EQ(duvo_event_post(&v, sizeof v, tx, EVT_TIMER_CMD, uint32_t(t), v), 0);
            }
        });
    for (auto &p : posters) p.join();
    std::vector<Seen> seen;
    while (duvo_event_read(rx, collect, &seen) > 0) {
    }
    ASSERT_EQ(seen.size(), size_t(threads * per_thread));
    int next[threads] = {};
    for (const Seen &s : seen) {
        ASSERT_EQ(s.body.size(), 4u);
        int32_t body;
        memcpy(&body, s.body.data(), 4);
        EXPECT_EQ(body, s.value);
        EXPECT_EQ(s.value, int32_t(s.code) * 1000 + next[s.code]++) << "per-thread order kept";
    }
}

TEST_F(Bus, OversizedBodyIsRefused) {
    std::vector<uint8_t> big(EVT_BODY_MAX + 1);
    EXPECT_EQ(duvo_event_post(big.data(), big.size(), tx, EVT_SEND_CMD, 1, 0), -2);
    std::vector<uint8_t> max(EVT_BODY_MAX, 0xAB);
    EXPECT_EQ(duvo_event_post(max.data(), max.size(), tx, EVT_SEND_CMD, 1, 0), 0);
    std::vector<Seen> seen;
    EXPECT_EQ(duvo_event_read(rx, collect, &seen), 1);
    EXPECT_EQ(seen[0].body, max);
}

TEST(EventWalk, SeveralInOneBufferAndTruncatedTail) {
    uint8_t buf[3 * EVT_FRAME_MAX];
    size_t len = duvo_event_encode(buf, nullptr, 0, EVT_START_PAIR, 0, 0);
    len += duvo_event_encode(buf + len, "xyz", 3, EVT_UI_CMD, 28, 1);
    size_t whole = len;
    len += duvo_event_encode(buf + len, "tail", 4, EVT_UI_CMD, 28, 2);
    std::vector<Seen> seen;
    // The third message is cut short: only the first two are walked.
    EXPECT_EQ(duvo_event_walk(buf, len - 3, collect, &seen), whole);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].type, EVT_START_PAIR);
    EXPECT_EQ(seen[1].body, (std::vector<uint8_t>{'x', 'y', 'z'}));
    // A size field beyond the limit never makes the walk read past the buffer.
    uint8_t bad[16] = {};
    bad[12] = 0xFF;
    bad[13] = 0xFF;
    seen.clear();
    EXPECT_EQ(duvo_event_walk(bad, sizeof bad, collect, &seen), sizeof bad);
    EXPECT_TRUE(seen.empty());
}

TEST_F(Bus, PostToClosedBusFails) {
    close(rx);
    rx = -1;
    EXPECT_EQ(duvo_event_post(nullptr, 0, tx, EVT_START_PAIR, 0, 0), -2);
}

}  // namespace
