// The program's engine set-up end to end: PCM through the send context, its
// RTP packets into the receive context, PCM out again (L16 is lossless, so
// steady playout returns the input frames unchanged, a fixed delay later).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "media/dsp/dsp_setup.h"

namespace {

// Noise-like test signal: no period, so the delay found below is unambiguous.
int16_t sample_at(uint32_t n) {
    uint32_t x = n * 2654435761u;
    x ^= x >> 15;
    x *= 2246822519u;
    x ^= x >> 13;
    return static_cast<int16_t>(static_cast<int32_t>(x % 20001u) - 10000);
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
        std::vector<int16_t> in, out;
        for (int k = 0; k < k_frames; k++) {
            std::vector<int16_t> frame(static_cast<size_t>(samples));
            for (int i = 0; i < samples; i++)
                frame[static_cast<size_t>(i)] = sample_at(static_cast<uint32_t>(k * samples + i));
            in.insert(in.end(), frame.begin(), frame.end());
            ASSERT_EQ(dsp_tx_put_frame(frame.data(), bytes), 0);
            uint8_t pkt[1600];
            int len;
            while ((len = dsp_tx_next_rtp(pkt, sizeof(pkt))) > 0) {
                ASSERT_EQ(len, 12 + bytes);
                EXPECT_EQ(dsp_rx_put_rtp(pkt, len), 0);
            }
            ASSERT_EQ(dsp_rx_get_frame(frame.data(), bytes), 0);
            out.insert(out.end(), frame.begin(), frame.end());
        }
        // Over the last second, find the delay (in samples) at which the
        // output repeats the input; steady playout must match it exactly.
        size_t window = static_cast<size_t>(samples) * 100;
        size_t first = out.size() - window;
        int max_lag = samples * 15;  // 150 ms
        int best_lag = -1;
        size_t best_hits = 0;
        for (int lag = 0; lag <= max_lag; lag++) {
            size_t hits = 0;
            for (size_t n = first; n < out.size(); n++)
                if (out[n] == in[n - static_cast<size_t>(lag)]) hits++;
            if (hits > best_hits) {
                best_hits = hits;
                best_lag = lag;
            }
        }
        EXPECT_GE(best_hits, window * 99 / 100) << "lag " << best_lag;
        int delay_ms = best_lag * 10 / samples;
        EXPECT_GE(delay_ms, 20);  // within the configured 20..120 ms
        EXPECT_LE(delay_ms, 120);
        std::printf("%d Hz: delay %d samples (%d ms)\n", rate, best_lag, delay_ms);
    }
}
