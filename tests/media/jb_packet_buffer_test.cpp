#include "media/dsp/jb_packet_buffer.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

class PacketBuffer : public ::testing::Test {
  protected:
    void SetUp() override { jb_packet_buffer_clear(pb.get()); }

    int put(uint16_t seq, uint32_t ts, int len = 4) {
        jb_frame_info info{ts, 0x1234, seq, 108, 0};
        std::vector<uint8_t> payload(static_cast<size_t>(len), static_cast<uint8_t>(seq));
        return jb_packet_buffer_insert(pb.get(), &info, payload.data(), len);
    }

    std::vector<uint16_t> drain() {
        std::vector<uint16_t> seqs;
        while (const jb_slot *s = jb_packet_buffer_oldest(pb.get())) {
            seqs.push_back(s->h.info.seq);
            jb_packet_buffer_pop_oldest(pb.get());
        }
        return seqs;
    }

    std::unique_ptr<jb_packet_buffer> pb = std::make_unique<jb_packet_buffer>();
};

TEST_F(PacketBuffer, OrdersBySequenceNumberAcrossWrap) {
    struct order_case {
        const char *what;
        std::vector<uint16_t> arrival;
        std::vector<uint16_t> expect;
    };
    const order_case cases[] = {
        {"reordered", {3, 1, 2}, {1, 2, 3}},
        {"wrap in order", {65534, 65535, 0, 1}, {65534, 65535, 0, 1}},
        {"wrap reordered", {0, 65535, 1, 65534}, {65534, 65535, 0, 1}},
        {"late oldest", {10, 11, 12, 9}, {9, 10, 11, 12}},
    };
    for (const order_case &c : cases) {
        jb_packet_buffer_clear(pb.get());
        for (uint16_t s : c.arrival) ASSERT_EQ(put(s, s * 160u), JB_INSERT_OK) << c.what;
        EXPECT_EQ(drain(), c.expect) << c.what;
    }
}

TEST_F(PacketBuffer, RefusesDuplicatesOversizeAndOverflowWithoutLosingData) {
    ASSERT_EQ(put(1, 160), JB_INSERT_OK);
    EXPECT_EQ(put(1, 160), JB_ERR_DUPLICATE);
    EXPECT_EQ(put(7, 160), JB_ERR_DUPLICATE) << "same timestamp is a duplicate";
    EXPECT_EQ(put(2, 320, k_jb_slot_payload_bytes + 1), JB_ERR_TOO_LARGE);
    EXPECT_EQ(put(2, 320, k_jb_slot_payload_bytes), JB_INSERT_OK);
    for (int i = 3; i <= k_jb_slot_count; ++i)
        ASSERT_EQ(put(static_cast<uint16_t>(i), i * 160u), JB_INSERT_OK);
    EXPECT_EQ(jb_packet_buffer_count(pb.get()), k_jb_slot_count);
    EXPECT_EQ(put(500, 500 * 160u), JB_ERR_OVERFLOW);

    // Everything stored before the refusals is intact and in order.
    const std::vector<uint16_t> seqs = drain();
    ASSERT_EQ(seqs.size(), static_cast<size_t>(k_jb_slot_count));
    for (int i = 0; i < k_jb_slot_count; ++i) EXPECT_EQ(seqs[static_cast<size_t>(i)], i + 1);
}

TEST_F(PacketBuffer, KeepsPayloadAndDiscardsOlderFramesAcrossTimestampWrap) {
    const uint32_t base = 0xffffff00u;
    for (uint16_t s = 0; s < 4; ++s) ASSERT_EQ(put(s, base + s * 160u, 10 + s), JB_INSERT_OK);
    // Frames at base and base+160 lie before base+320 (which wrapped past zero).
    EXPECT_EQ(jb_packet_buffer_discard_older(pb.get(), base + 320u), 2);
    const jb_slot *s = jb_packet_buffer_oldest(pb.get());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->h.info.seq, 2);
    EXPECT_EQ(s->h.length, 12);
    EXPECT_EQ(s->payload[11], 2);
    // Freed slots are reusable.
    for (int i = 0; i < k_jb_slot_count - 2; ++i) {
        ASSERT_EQ(put(static_cast<uint16_t>(100 + i), 1000000u + i * 160u), JB_INSERT_OK);
    }
    EXPECT_EQ(put(999, 5u), JB_ERR_OVERFLOW);
}

}  // namespace
