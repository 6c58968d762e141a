// The program's engine set-up end to end: PCM through the send context, its
// RTP packets into the receive context, PCM out again (L16 is lossless, so
// steady playout returns the input frames unchanged, a fixed delay later).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "media/dsp/dsp_setup.h"

namespace {

std::vector<int16_t> make_frame(int samples, int index) {
    std::vector<int16_t> f(static_cast<size_t>(samples));
    for (int i = 0; i < samples; i++) {
        double t = (index * samples + i) / (samples * 100.0);
        f[static_cast<size_t>(i)] = static_cast<int16_t>(9000 * std::sin(2 * M_PI * 700 * t) +
                                                         3000 * std::sin(2 * M_PI * 1900 * t));
    }
    return f;
}

}  // namespace

TEST(DspLoop, SendThenReceiveReturnsTheInputDelayed) {
    ASSERT_EQ(dsp_setup(), 0);
    for (int rate : {16000, 32000}) {
        SCOPED_TRACE(rate);
        ASSERT_EQ(dsp_tx_reset(rate), 0);
        ASSERT_EQ(dsp_rx_reset(rate), 0);
        int bytes = dsp_tx_frame_bytes();
        int samples = bytes / 2;
        ASSERT_EQ(dsp_rx_frame_bytes(), bytes);

        constexpr int k_frames = 300;
        std::vector<std::vector<int16_t>> in, out;
        for (int k = 0; k < k_frames; k++) {
            in.push_back(make_frame(samples, k));
            ASSERT_EQ(dsp_tx_put_frame(in.back().data(), bytes), 0);
            uint8_t pkt[1600];
            int len;
            while ((len = dsp_tx_next_rtp(pkt, sizeof(pkt))) > 0) {
                ASSERT_EQ(len, 12 + bytes);
                EXPECT_EQ(dsp_rx_put_rtp(pkt, len), 0);
            }
            std::vector<int16_t> frame(static_cast<size_t>(samples));
            ASSERT_EQ(dsp_rx_get_frame(frame.data(), bytes), 0);
            out.push_back(frame);
        }
        // Over the last 100 frames, find the delay (in whole frames) at which
        // the output repeats the input; most frames must match exactly.
        int best_delay = -1, best_hits = 0;
        for (int d = 0; d <= 15; d++) {
            int hits = 0;
            for (int k = k_frames - 100; k < k_frames; k++)
                if (out[static_cast<size_t>(k)] == in[static_cast<size_t>(k - d)]) hits++;
            if (hits > best_hits) {
                best_hits = hits;
                best_delay = d;
            }
        }
        EXPECT_GE(best_hits, 90) << "delay " << best_delay;
        EXPECT_GE(best_delay * 10, 20);  // within the configured 20..120 ms
        EXPECT_LE(best_delay * 10, 120);
    }
}
