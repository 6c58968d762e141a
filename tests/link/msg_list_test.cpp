// The sent list's re-send schedule and the received list's duplicate window,
// driven by a fake clock.
#include <gtest/gtest.h>

#include "link/duvo_cmd.h"
#include "link/duvo_wire.h"
#include "link/msg_list.h"
#include "wire_fixture.h"

namespace {

constexpr uint64_t k_tick_ms = 50;

// Runs the tick thread's scan every 50 ms from 'from' to 'to' (ms after the
// send): take every due record and put it on the wire, then purge. Returns
// the offsets at which re-sends went out.
std::vector<uint64_t> run_ticks(WireLink &w, uint64_t start, uint64_t phase, uint64_t to) {
    std::vector<uint64_t> at;
    for (uint64_t t = phase; t <= to; t += k_tick_ms) {
        w.now = start + t;
        uint8_t frame[MSG_LIST_FRAME_MAX];
        size_t n = 0;
        while (w.link.sent_list.TakeDue(frame, &n)) {
            duvo_send_raw(&w.link, frame, n);
            at.push_back(t);
        }
        w.link.sent_list.Purge();
        w.link.recv_list.Purge();
    }
    return at;
}

}  // namespace

// A message never acknowledged goes out four times with the same bytes,
// about 0, 300, 550 and 850 ms, whatever the phase of the tick.
TEST(MsgList, ResendScheduleNeverAcked) {
    for (uint64_t phase : {0u, 1u, 17u, 49u}) {
        SCOPED_TRACE(phase);
        WireLink w(1);
        uint64_t start = w.now;
        duvo_send_cmd(&w.link, 3, "abc", DUVO_CMD_C2P_DEVICE_UPDATE);
        std::vector<uint64_t> at = run_ticks(w, start, phase, 3000);
        ASSERT_EQ(w.sent.size(), 4u);
        for (const bytes &f : w.sent) EXPECT_EQ(f, w.sent[0]);  // same sequence, same body
        ASSERT_EQ(at.size(), 3u);
        EXPECT_GT(at[0], 300u);
        EXPECT_LE(at[0], 350u);
        EXPECT_GE(at[1] - at[0], 250u);
        EXPECT_LE(at[1] - at[0], 300u);
        EXPECT_GE(at[2] - at[1], 300u);
        EXPECT_LE(at[2] - at[1], 350u);
        EXPECT_EQ(w.link.sent_list.Count(), 0u) << "purged after its last re-send";
    }
}

TEST(MsgList, AckStopsResends) {
    WireLink w(1);
    uint64_t start = w.now;
    duvo_send_cmd(&w.link, 0, nullptr, DUVO_CMD_C2P_GET_DEV_INFO);  // seq 1
    duvo_send_cmd(&w.link, 0, nullptr, DUVO_CMD_C2P_PAIR_DETECT);   // seq 2
    // Acknowledgements that match nothing change nothing: wrong sequence,
    // wrong id.
    w.link.sent_list.RemoveAcked(hdr(DUVO_CMD_C2P_GET_DEV_INFO, 1, 2, 2, 0).data());
    w.link.sent_list.RemoveAcked(hdr(DUVO_CMD_C2P_PAIR_DETECT, 1, 2, 1, 0).data());
    EXPECT_EQ(w.link.sent_list.Count(), 2u);
    w.link.sent_list.RemoveAcked(hdr(DUVO_CMD_C2P_GET_DEV_INFO, 1, 2, 1, 0).data());
    EXPECT_EQ(w.link.sent_list.Count(), 1u);
    w.sent.clear();
    run_ticks(w, start, 0, 2000);
    ASSERT_EQ(w.sent.size(), 3u);
    for (const bytes &f : w.sent) EXPECT_EQ(f, hdr(DUVO_CMD_C2P_PAIR_DETECT, 0, 2, 2, 0));
}

TEST(MsgList, DuplicateWindowIsTenSeconds) {
    CMsgList l;
    uint64_t now = 5000;
    l.SetClock([](void *c) { return *static_cast<uint64_t *>(c); }, &now);
    bytes h = hdr(0x2C, 0, 2, 7, 100);
    EXPECT_EQ(l.Add(h.data(), nullptr, 0), 0);
    EXPECT_EQ(l.Contains(h.data()), 1);
    EXPECT_EQ(l.Contains(hdr(0x2C, 0, 2, 8, 100).data()), 0);
    EXPECT_EQ(l.Contains(hdr(0x2D, 0, 2, 7, 100).data()), 0);
    now += 9999;
    l.Purge();
    EXPECT_EQ(l.Contains(h.data()), 1);
    now += 1;
    l.Purge();
    EXPECT_EQ(l.Contains(h.data()), 0);
    EXPECT_EQ(l.Count(), 0u);
}

TEST(MsgList, LongBodyIsCutAndStaysWellFramed) {
    LogCapture logs;
    CMsgList l;
    uint64_t now = 0;
    l.SetClock([](void *c) { return *static_cast<uint64_t *>(c); }, &now);
    bytes body(1500, 'b');
    bytes h = hdr(0x42, 0, 2, 1, 1500);
    ASSERT_EQ(l.Add(h.data(), body.data(), body.size()), 0);
    EXPECT_TRUE(logs.has("cut"));
    now = 301;
    uint8_t frame[MSG_LIST_FRAME_MAX];
    size_t n = 0;
    ASSERT_EQ(l.TakeDue(frame, &n), 1);
    EXPECT_EQ(n, MSG_LIST_FRAME_MAX);
    EXPECT_EQ(bytes(frame, frame + 12), hdr(0x42, 0, 2, 1, 1024));
    EXPECT_EQ(l.TakeDue(frame, &n), 0) << "rescheduled";
    l.Clear();
    EXPECT_EQ(l.Count(), 0u);
}
