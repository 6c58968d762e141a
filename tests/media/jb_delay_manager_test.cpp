#include "media/dsp/jb_delay_manager.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr int k_frame = 160;  // 10 ms at 16000 Hz

// Drives a delay manager with a fake clock of 10 ms output frames.
class DelayManager : public ::testing::Test {
  protected:
    void configure(int min_ms, int max_ms, int start_ms) {
        const jb_delay_config cfg{min_ms, max_ms, start_ms, k_jb_slot_count_for_test,
                                  16000,  16000,  k_frame};
        jb_delay_manager_reset(&dm, &cfg);
        seq = 0;
    }
    // One 10 ms tick in which `arrivals` packets arrive (in sequence order).
    void tick(int arrivals) {
        for (int i = 0; i < arrivals; ++i) {
            jb_delay_manager_update(&dm, seq, seq * static_cast<uint32_t>(k_frame));
            seq++;
        }
        jb_delay_manager_advance(&dm, k_frame);
    }
    int target_packets() const { return jb_delay_manager_target_q8(&dm) / k_jb_q8_one; }

    static constexpr int k_jb_slot_count_for_test = 80;
    jb_delay_manager dm{};
    uint16_t seq = 0;
};

TEST_F(DelayManager, SteadyArrivalsGiveTheConfiguredFloor) {
    struct bounds_case {
        int min_ms, max_ms, start_ms;
        int expect_packets;
    };
    // Floor = start - min (at least the quantile, one packet here), then the
    // minimum is added on top; the maximum bounds it.
    const bounds_case cases[] = {
        {0, 800, 10, 1}, {20, 120, 60, 6}, {40, 800, 40, 5}, {0, 800, 0, 1}};
    for (const bounds_case &c : cases) {
        configure(c.min_ms, c.max_ms, c.start_ms);
        for (int i = 0; i < 200; ++i) tick(1);
        EXPECT_EQ(target_packets(), c.expect_packets)
            << c.min_ms << "/" << c.max_ms << "/" << c.start_ms;
    }
}

TEST_F(DelayManager, JitterRaisesTheTargetToItsQuantileWithinTheMaximum) {
    configure(0, 800, 10);
    // Packets arrive in pairs every 20 ms, with a 40 ms gap one time in ten.
    for (int round = 0; round < 100; ++round) {
        if (round % 10 == 0) {
            tick(0);
            tick(0);
            tick(0);
            tick(4);
        } else {
            tick(0);
            tick(2);
        }
    }
    EXPECT_GE(target_packets(), 2);
    EXPECT_LE(target_packets(), 4);

    configure(0, 30, 10);  // the same jitter with a 30 ms maximum
    for (int round = 0; round < 300; ++round) {
        for (int i = 0; i < 7; ++i) tick(0);
        tick(8);
    }
    EXPECT_EQ(target_packets(), 3);

    configure(0, 800, 10);  // never above three quarters of the slots
    for (int round = 0; round < 300; ++round) {
        for (int i = 0; i < 70; ++i) tick(0);
        tick(10);
    }
    EXPECT_EQ(target_packets(), k_jb_slot_count_for_test * 3 / 4);
}

TEST_F(DelayManager, InterArrivalIsCorrectedBySequenceSteps) {
    configure(0, 800, 10);
    tick(1);  // seq 0, first packet: no inter-arrival yet
    seq = 3;  // two packets lost
    jb_delay_manager_advance(&dm, 3 * k_frame);
    EXPECT_EQ(jb_delay_manager_update(&dm, seq, seq * k_frame), 2) << "4 frames minus 2 skipped";
    jb_delay_manager_advance(&dm, k_frame);
    EXPECT_EQ(jb_delay_manager_update(&dm, 1, 1 * k_frame), 4) << "1 frame + distance 2 + 1";
    jb_delay_manager_advance(&dm, 200 * k_frame);
    EXPECT_EQ(jb_delay_manager_update(&dm, 4, 4 * k_frame), k_jb_iat_max) << "capped";
}

TEST_F(DelayManager, RecurringPeaksRaiseTheTargetUntilTheyStop) {
    configure(0, 800, 10);
    for (int i = 0; i < 100; ++i) tick(1);
    ASSERT_EQ(target_packets(), 1);
    // A 120 ms delay spike every second: 12 silent frames, then the backlog.
    for (int spike = 0; spike < 4; ++spike) {
        for (int i = 0; i < 12; ++i) tick(0);
        tick(13);
        for (int i = 0; i < 87; ++i) tick(1);
    }
    EXPECT_GE(target_packets(), 12);
    // Quiet for much longer than twice the spike spacing: back to the quantile.
    for (int i = 0; i < 400; ++i) tick(1);
    EXPECT_EQ(target_packets(), 1);
}

TEST_F(DelayManager, PacketDurationFollowsTheTimestampStep) {
    configure(20, 120, 60);
    for (int i = 0; i < 50; ++i) {
        jb_delay_manager_update(&dm, seq, seq * 320u);  // 20 ms packets
        seq++;
        jb_delay_manager_advance(&dm, 2 * k_frame);
    }
    EXPECT_EQ(jb_delay_manager_packet_samples(&dm), 320);
    EXPECT_EQ(target_packets(), 3) << "60 ms in 20 ms packets";
}

}  // namespace
