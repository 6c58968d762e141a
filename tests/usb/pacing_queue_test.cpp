#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "usb/ticking.h"
#include "usb/tqueue.h"
#include "usb/usb_pdu.h"

namespace {

// Advances a manual clock in 2 ms timer steps and records at which times a
// reply came due.
std::vector<int64_t> due_times(CTicking &t, int64_t until_ms) {
    std::vector<int64_t> out;
    while (t.manual_ms < until_ms) {
        t.manual_ms += 2;
        if (pace_due(&t)) out.push_back(t.manual_ms);
    }
    return out;
}

TEST(CTicking, OneReplyEveryTenMillisecondsAfterRestart) {
    CTicking t(0);
    t.manual_ms = 4;
    ticking_restart(&t);
    EXPECT_EQ((std::vector<int64_t>{14, 24, 34, 44}), due_times(t, 50));
}

TEST(CTicking, MissedSlotsCatchUpOneReplyPerTick) {
    CTicking t(0);
    ticking_restart(&t);
    t.manual_ms = 35;  // three slots missed at once
    EXPECT_TRUE(pace_due(&t));
    EXPECT_TRUE(pace_due(&t));
    EXPECT_TRUE(pace_due(&t));
    EXPECT_FALSE(pace_due(&t));
}

TEST(CTicking, ClockGoingBackwardsRestarts) {
    CTicking t(0);
    t.manual_ms = 100;
    ticking_restart(&t);
    t.manual_ms = 50;
    EXPECT_FALSE(pace_due(&t));
    EXPECT_EQ(50, t.start_ms);
    EXPECT_EQ((std::vector<int64_t>{60, 70}), due_times(t, 70));
}

TEST(CTicking, MonotonicSourceStartsAtConstruction) {
    CTicking t(1);
    EXPECT_GT(t.qpc_frequency, 0);
    EXPECT_GT(t.start_ms, 0);
    EXPECT_GE(ticking_now(&t), t.start_ms);
}

// A flat PDU whose header carries seqnum and whose body is tagged.
std::vector<uint8_t> pdu_bytes(uint32_t seq, size_t len = 64) {
    std::vector<uint8_t> b(len, static_cast<uint8_t>(seq));
    vbus_pdu_header h{};
    h.seqnum = seq;
    memcpy(b.data(), &h, sizeof h);
    return b;
}

uint32_t seq_of(const uint8_t *b) {
    vbus_pdu_header h;
    memcpy(&h, b, sizeof h);
    return h.seqnum;
}

std::vector<uint32_t> drain(CTQueue &q) {
    std::vector<uint32_t> out;
    uint8_t buf[CTQueue::slot_size];
    while (q.pop(buf, sizeof buf)) out.push_back(seq_of(buf));
    return out;
}

TEST(CTQueue, BoundedFifoDropsBeyondCapacity) {
    CTQueue q;
    q.restart(nullptr);
    for (uint32_t s = 0; s < CTQueue::slot_count; s++)
        ASSERT_EQ(1, q.push(64, pdu_bytes(s).data()));
    EXPECT_EQ(0, q.push(64, pdu_bytes(99).data()));
    auto order = drain(q);
    ASSERT_EQ(64u, order.size());
    for (uint32_t s = 0; s < order.size(); s++) EXPECT_EQ(s, order[s]);
    // Wrapped around: still in order.
    for (uint32_t s = 100; s < 110; s++) q.push(64, pdu_bytes(s).data());
    EXPECT_EQ((std::vector<uint32_t>{100, 101, 102, 103, 104, 105, 106, 107, 108, 109}), drain(q));
}

TEST(CTQueue, PopCutsToTheCallersBufferAndPushToTheSlot) {
    CTQueue q;
    std::vector<uint8_t> big(CTQueue::slot_size + 100, 7);
    ASSERT_EQ(1, q.push(big.size(), big.data()));
    std::vector<uint8_t> out(4096);
    EXPECT_EQ(CTQueue::slot_size, q.pop(out.data(), out.size()));
    q.push(64, pdu_bytes(3).data());
    uint8_t small[10];
    EXPECT_EQ(10u, q.pop(small, sizeof small));
    EXPECT_EQ(0u, q.pop(small, sizeof small));
}

TEST(CTQueue, RestartDropsAndFirstPushRestartsTheLinkedClock) {
    CTicking clock(0);
    CTQueue q;
    q.push(64, pdu_bytes(1).data());
    clock.manual_ms = 30;
    q.restart(&clock);
    EXPECT_EQ(0, q.size());
    clock.manual_ms = 42;
    q.push(64, pdu_bytes(2).data());
    EXPECT_EQ(42, clock.start_ms);
    clock.manual_ms = 60;
    q.push(64, pdu_bytes(3).data());  // not empty: no second restart
    EXPECT_EQ(42, clock.start_ms);
    drain(q);
    q.push(64, pdu_bytes(4).data());  // emptied, but the restart was used up
    EXPECT_EQ(42, clock.start_ms);
}

TEST(CTQueue, RemoveBySeqnumKeepsTheOrder) {
    CTQueue q;
    // Start near the end of the ring so the removal crosses the wrap.
    for (uint32_t s = 0; s < 60; s++) q.push(64, pdu_bytes(s).data());
    drain(q);
    for (uint32_t s = 1; s <= 8; s++) q.push(64, pdu_bytes(s).data());
    EXPECT_EQ(1, q.remove_seqnum(5));
    EXPECT_EQ(0, q.remove_seqnum(5));
    EXPECT_EQ(1, q.remove_seqnum(1));
    EXPECT_EQ(1, q.remove_seqnum(8));
    q.push(64, pdu_bytes(9).data());
    EXPECT_EQ((std::vector<uint32_t>{2, 3, 4, 6, 7, 9}), drain(q));
}

TEST(UsbPdu, FlatFormRoundTrips) {
    vbus_pdu p{};
    p.hdr.seqnum = 77;
    p.hdr.direction = VBUS_DIR_OUT;
    p.hdr.ep = 1;
    p.hdr.length = 3;
    p.hdr.packets = 2;
    const uint8_t data[3] = {1, 2, 3};
    const vbus_iso_desc iso[2] = {{0, 2, 0, 0}, {2, 1, 0, 0}};
    p.data = data;
    p.data_len = 3;
    p.iso = iso;
    alignas(vbus_iso_desc) uint8_t buf[256];
    size_t n = usb_pdu_flatten(&p, buf, sizeof buf);
    ASSERT_EQ(48u + 32u + 3u, n);
    EXPECT_EQ(0u, usb_pdu_flatten(&p, buf, n - 1));
    vbus_pdu back{};
    ASSERT_EQ(0, usb_pdu_parse(buf, n, &back));
    EXPECT_EQ(77u, back.hdr.seqnum);
    ASSERT_EQ(3u, back.data_len);
    EXPECT_EQ(0, memcmp(data, back.data, 3));
    EXPECT_EQ(1u, back.iso[1].length);
    EXPECT_EQ(-1, usb_pdu_parse(buf, 48 + 16, &back));  // descriptors cut off
    EXPECT_EQ(-1, usb_pdu_parse(buf, 20, &back));
}

}  // namespace
