// The program's engine set-up: static contexts, per-stream resets, frame
// plumbing. The receive engine is replaced here by a recording stand-in so
// that the set-up's own duties are checked in isolation.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "media/dsp/dsp_engine.h"
#include "media/dsp/dsp_setup.h"
#include "media/dsp/dsp_tx.h"

namespace {

struct fake_rx {
    dsp_rx_ctx_head head;
    int resets;
    int last_len;
    int16_t next_value;
};

int fake_get_size(uint32_t *size) {
    *size = sizeof(fake_rx);
    return 0;
}
int fake_init(dsp_ctx *ctx);
int fake_reset(dsp_ctx *ctx) {
    auto *rx = reinterpret_cast<fake_rx *>(ctx);
    if (rx->head.params.out1 == nullptr) return DSP_ERR_DESCRIPTOR;
    dsp_rx_repair_delays(&rx->head.params);
    rx->resets++;
    return 0;
}
int fake_process(dsp_ctx *ctx) {
    auto *rx = reinterpret_cast<fake_rx *>(ctx);
    dsp_pcm *out = rx->head.params.out1;
    for (uint32_t i = 0; i < out->samples; i++) out->data[i] = rx->next_value;
    return 0;
}
int fake_put(dsp_ctx *ctx, const uint8_t *, int kind, int len) {
    auto *rx = reinterpret_cast<fake_rx *>(ctx);
    rx->last_len = kind == DSP_PKT_RTP ? len : -kind;
    return 0;
}

}  // namespace

const dsp_engine_ops dsp_rx_engine = {fake_get_size, fake_init, fake_reset,
                                      fake_process,  fake_put,  nullptr};

namespace {
int fake_init(dsp_ctx *ctx) {
    std::memset(ctx, 0, sizeof(fake_rx));
    dsp_ctx_header_init(ctx, &dsp_rx_engine);
    dsp_rx_params_default(&reinterpret_cast<fake_rx *>(ctx)->head.params);
    return 0;
}

fake_rx *rx() {
    return reinterpret_cast<fake_rx *>(dsp_rx_context());
}
dsp_tx_ctx *tx() {
    return reinterpret_cast<dsp_tx_ctx *>(dsp_tx_context());
}

std::vector<int16_t> frame(int bytes, int16_t v) {
    return std::vector<int16_t>(static_cast<size_t>(bytes / 2), v);
}
}  // namespace

TEST(DspSetup, BothContextsStartAt16k) {
    ASSERT_EQ(dsp_setup(), 0);
    ASSERT_NE(tx(), nullptr);
    ASSERT_NE(rx(), nullptr);
    EXPECT_EQ(dsp_tx_rate(), 16000);
    EXPECT_EQ(dsp_tx_frame_bytes(), 320);
    EXPECT_EQ(dsp_rx_frame_bytes(), 320);
    EXPECT_EQ(tx()->s.head.hdr.state, DSP_STATE_RUNNING);
    EXPECT_EQ(tx()->s.head.params.codec_id, 0x3000001u);
    EXPECT_EQ(tx()->s.head.params.voice_pt, 108);
    EXPECT_EQ(tx()->s.head.params.packet_time_ms, 10);

    const dsp_rx_params &rp = rx()->head.params;
    EXPECT_EQ(rx()->resets, 1);
    EXPECT_EQ(rp.codec_id, 0x3000001u);
    EXPECT_EQ(rp.voice_pt, 108);
    EXPECT_EQ(rp.min_delay_ms, 20);
    EXPECT_EQ(rp.max_delay_ms, 120);
    EXPECT_EQ(rp.start_delay_ms, 60);
    ASSERT_NE(rp.out1, nullptr);
    EXPECT_EQ(rp.out1->samples, 160u);
    EXPECT_EQ(rp.out2, nullptr);
}

TEST(DspSetup, SendPathPerRateAndUnsupportedRatesKeepThePrevious) {
    ASSERT_EQ(dsp_setup(), 0);
    struct row {
        int requested;
        int rate;
        int frame_bytes;
        int packet_len;
    } rows[] = {{16000, 16000, 320, 332}, {44100, 16000, 320, 332}, {32000, 32000, 640, 652},
                {44100, 32000, 640, 652}, {8000, 32000, 640, 652},  {16000, 16000, 320, 332}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.requested);
        ASSERT_EQ(dsp_tx_reset(r.requested), 0);
        EXPECT_EQ(dsp_tx_rate(), r.rate);
        EXPECT_EQ(dsp_tx_frame_bytes(), r.frame_bytes);
        uint8_t buf[1600];
        EXPECT_EQ(dsp_tx_next_rtp(buf, sizeof(buf)), 0);
        std::vector<int16_t> pcm = frame(r.frame_bytes, 0x0102);
        ASSERT_EQ(dsp_tx_put_frame(pcm.data(), r.frame_bytes), 0);
        ASSERT_EQ(dsp_tx_next_rtp(buf, sizeof(buf)), r.packet_len);
        EXPECT_EQ(buf[1], 0xec);
        EXPECT_EQ(buf[3], 0);  // sequence restarts with every reset
        EXPECT_EQ(buf[12], 0x01);
        EXPECT_EQ(buf[13], 0x02);
        EXPECT_EQ(dsp_tx_next_rtp(buf, sizeof(buf)), 0);

        // A frame of the wrong size is not encoded: the clock stands still.
        std::vector<int16_t> wrong = frame(r.frame_bytes == 320 ? 640 : 320, 1);
        EXPECT_EQ(dsp_tx_put_frame(wrong.data(), static_cast<int>(wrong.size() * 2)), -1);
        EXPECT_EQ(dsp_tx_next_rtp(buf, sizeof(buf)), 0);
    }
}

TEST(DspSetup, NextRtpSkipsOtherPacketKinds) {
    ASSERT_EQ(dsp_setup(), 0);
    tx()->s.head.params.rtcp_flags = DSP_RTCP_ON | DSP_RTCP_SDES;
    std::vector<int16_t> pcm = frame(320, 5);
    uint8_t buf[1600];
    for (int i = 0; i < 900; i++) {  // 9 s: past the latest first report (7.5 s)
        ASSERT_EQ(dsp_tx_put_frame(pcm.data(), 320), 0);
        // Pulled the way the stream does it: until nothing is left.
        ASSERT_EQ(dsp_tx_next_rtp(buf, sizeof(buf)), 332) << i;
        EXPECT_EQ(buf[0], 0x80);
        EXPECT_EQ(buf[1] & 0x7f, 108);
        ASSERT_EQ(dsp_tx_next_rtp(buf, sizeof(buf)), 0) << i;
    }
    EXPECT_GT(tx()->s.counters.rtcp_packets, 0u);  // produced and dropped
    EXPECT_EQ(tx()->s.counters.packets, 900u);
}

TEST(DspSetup, ReceivePathGoesThroughTheEngineInterface) {
    ASSERT_EQ(dsp_setup(), 0);
    ASSERT_EQ(dsp_rx_reset(32000), 0);
    EXPECT_EQ(dsp_rx_frame_bytes(), 640);
    EXPECT_EQ(rx()->head.params.codec_id, 0x6000003u);
    EXPECT_EQ(rx()->head.params.out1->samples, 320u);
    ASSERT_EQ(dsp_rx_reset(12345), 0);
    EXPECT_EQ(dsp_rx_rate(), 32000);

    uint8_t pkt[100] = {0x80, 108};
    EXPECT_EQ(dsp_rx_put_rtp(pkt, 100), 0);
    EXPECT_EQ(rx()->last_len, 100);
    EXPECT_EQ(dsp_rx_put_rtp(pkt, 0), -1);
    EXPECT_EQ(dsp_rx_put_rtp(nullptr, 10), -1);

    rx()->next_value = 77;
    std::vector<int16_t> out = frame(640, 0);
    ASSERT_EQ(dsp_rx_get_frame(out.data(), 640), 0);
    EXPECT_EQ(out[0], 77);
    EXPECT_EQ(out[319], 77);
    std::vector<int16_t> small = frame(320, -1);
    EXPECT_EQ(dsp_rx_get_frame(small.data(), 320), -1);
    EXPECT_EQ(small[0], -1);  // untouched
}
