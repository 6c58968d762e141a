// The receive context end to end: packets in through put_packet, one 10 ms
// frame out per process. The tick loop is the fake clock: the engine measures
// arrival times by the frames it has produced.
#include "media/dsp/rx_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <vector>

#include "media/dsp/dsp_codec.h"
#include "media/dsp/jb_decision.h"

namespace {

constexpr int k_rate = 16000;
constexpr int k_frame = 160;
constexpr int k_pt = 108;
constexpr double k_pi = 3.14159265358979323846;

std::vector<uint8_t> rtp(uint16_t seq, uint32_t ts, uint32_t ssrc, const int16_t *pcm,
                         int samples) {
    std::vector<uint8_t> p = {0x80,
                              k_pt,
                              static_cast<uint8_t>(seq >> 8),
                              static_cast<uint8_t>(seq),
                              static_cast<uint8_t>(ts >> 24),
                              static_cast<uint8_t>(ts >> 16),
                              static_cast<uint8_t>(ts >> 8),
                              static_cast<uint8_t>(ts),
                              static_cast<uint8_t>(ssrc >> 24),
                              static_cast<uint8_t>(ssrc >> 16),
                              static_cast<uint8_t>(ssrc >> 8),
                              static_cast<uint8_t>(ssrc)};
    for (int i = 0; i < samples; ++i) {
        p.push_back(static_cast<uint8_t>(static_cast<uint16_t>(pcm[i]) >> 8));
        p.push_back(static_cast<uint8_t>(pcm[i]));
    }
    return p;
}

// Harmonic tone, the same sample for the same absolute position.
int16_t tone_at(int64_t pos) {
    double v = 0;
    for (int h = 1; h <= 4; ++h) v += std::sin(2 * k_pi * 160.0 * h * pos / k_rate + h) / h;
    return static_cast<int16_t>(6000 * v / 2.1);
}

class RxEngine : public ::testing::Test {
  public:
    void SetUp() override {
        uint32_t size = 0;
        ASSERT_EQ(dsp_rx_engine.get_size(&size), 0);
        ASSERT_EQ(size, DSP_RX_CTX_SIZE);
        storage.assign(size / sizeof(uint64_t) + 1, 0);
        ctx = reinterpret_cast<dsp_ctx *>(storage.data());
        ASSERT_EQ(dsp_rx_engine.init(ctx), 0);
        ASSERT_TRUE(dsp_ctx_valid(ctx));
        configure(20, 120, 60);
    }

    dsp_rx_params &params() { return reinterpret_cast<dsp_rx_ctx_head *>(ctx)->params; }

    void configure(int min_ms, int max_ms, int start_ms) {
        ASSERT_EQ(dsp_pcm_setup(&out, k_rate), 0);
        params().out1 = &out;
        params().codec_id = DSP_CODEC_L16_16K;
        params().voice_pt = k_pt;
        params().command_flags = DSP_CMD_START;
        params().min_delay_ms = min_ms;
        params().max_delay_ms = max_ms;
        params().start_delay_ms = start_ms;
        ASSERT_EQ(ctx->reset(ctx), 0);
    }

    int put_constant(uint16_t seq, uint32_t ts, int16_t value, uint32_t ssrc = 0x11111111) {
        std::vector<int16_t> pcm(k_frame, value);
        const std::vector<uint8_t> p = rtp(seq, ts, ssrc, pcm.data(), k_frame);
        return ctx->put_packet(ctx, p.data(), DSP_PKT_RTP, static_cast<int>(p.size()));
    }

    // The packet of sender tick t of a tone stream.
    int put_tone(int64_t t, uint32_t ssrc = 0x22222222, uint32_t ts_base = 1000) {
        int16_t pcm[k_frame];
        for (int i = 0; i < k_frame; ++i) pcm[i] = tone_at(t * k_frame + i);
        const std::vector<uint8_t> p =
            rtp(static_cast<uint16_t>(t), ts_base + static_cast<uint32_t>(t * k_frame), ssrc, pcm,
                k_frame);
        return ctx->put_packet(ctx, p.data(), DSP_PKT_RTP, static_cast<int>(p.size()));
    }

    std::vector<int16_t> process() {
        EXPECT_EQ(ctx->process(ctx), 0);
        return std::vector<int16_t>(out.data, out.data + out.samples);
    }

    dsp_rx_stats stats() {
        dsp_rx_stats s{};
        EXPECT_EQ(dsp_rx_get_stats(ctx, &s), 0);
        return s;
    }

    // Distinct non-zero values in the order they first appear.
    static std::vector<int16_t> runs(const std::vector<int16_t> &pcm) {
        std::vector<int16_t> r;
        for (int16_t v : pcm) {
            if (v != 0 && (r.empty() || r.back() != v)) r.push_back(v);
        }
        return r;
    }

    std::vector<uint64_t> storage;
    dsp_ctx *ctx = nullptr;
    dsp_pcm out{};
};

TEST_F(RxEngine, ResetChecksDescriptorsAndRates) {
    struct reset_case {
        const char *what;
        std::function<void(RxEngine *)> setup;
        int expect;
    };
    static dsp_pcm other;
    const reset_case cases[] = {
        {"no output descriptor", [](RxEngine *t) { t->params().out1 = nullptr; },
         DSP_ERR_DESCRIPTOR},
        {"second descriptor of another size",
         [](RxEngine *t) {
             dsp_pcm_setup(&other, 32000);
             t->params().out2 = &other;
         },
         DSP_ERR_DESCRIPTOR},
        {"44100 Hz output", [](RxEngine *t) { dsp_pcm_setup(&t->out, 44100); }, DSP_ERR_CODEC},
        {"unknown codec", [](RxEngine *t) { t->params().codec_id = 0x7000000; }, DSP_ERR_CODEC},
        {"codec rate differs from output",
         [](RxEngine *t) { t->params().codec_id = DSP_CODEC_L16_32K; }, DSP_ERR_CODEC},
    };
    for (const reset_case &c : cases) {
        configure(20, 120, 60);
        c.setup(this);
        EXPECT_EQ(ctx->reset(ctx), c.expect) << c.what;
        EXPECT_EQ(put_constant(1, 160, 5), -1) << c.what << ": no packets after a failed reset";
        params().out2 = nullptr;
    }
}

TEST_F(RxEngine, NoPacketsGiveFramesOfZeros) {
    for (int i = 0; i < 50; ++i) {
        const std::vector<int16_t> f = process();
        ASSERT_EQ(f.size(), static_cast<size_t>(k_frame));
        for (int16_t v : f) ASSERT_EQ(v, 0);
    }
    EXPECT_EQ(stats().silent_frames, 50u);
}

TEST_F(RxEngine, RefusesBadPacketsAndKeepsWhatIsStored) {
    ASSERT_EQ(put_constant(1, 160, 100), 0);
    const uint8_t short_packet[12] = {0x80, k_pt, 0, 2, 0, 0, 1, 0x40, 0x11, 0x11, 0x11, 0x11};
    EXPECT_EQ(ctx->put_packet(ctx, short_packet, DSP_PKT_RTP, 12), -1);
    std::vector<int16_t> pcm(k_frame, 7);
    std::vector<uint8_t> v1 = rtp(3, 480, 0x11111111, pcm.data(), k_frame);
    v1[0] = 0x40;
    EXPECT_EQ(ctx->put_packet(ctx, v1.data(), DSP_PKT_RTP, static_cast<int>(v1.size())), -1);
    std::vector<int16_t> big(8000, 9);  // 16000 payload bytes
    const std::vector<uint8_t> oversized = rtp(4, 640, 0x11111111, big.data(), 8000);
    EXPECT_EQ(
        ctx->put_packet(ctx, oversized.data(), DSP_PKT_RTP, static_cast<int>(oversized.size())),
        -1);
    EXPECT_EQ(put_constant(1, 160, 100), -1) << "duplicate";
    EXPECT_EQ(ctx->put_packet(ctx, short_packet, DSP_PKT_RTCP, 12), -1) << "RTCP is not received";
    const dsp_rx_stats s = stats();
    EXPECT_EQ(s.invalid, 4u);
    EXPECT_EQ(s.duplicates, 1u);
    EXPECT_EQ(s.packets_accepted, 1u);

    std::vector<int16_t> played;
    for (int i = 0; i < 10; ++i) {
        const std::vector<int16_t> f = process();
        played.insert(played.end(), f.begin(), f.end());
    }
    ASSERT_FALSE(runs(played).empty());
    EXPECT_EQ(runs(played).front(), 100) << "the stored packet still plays";
}

TEST_F(RxEngine, PlaysInSequenceOrderAcrossWrap) {
    struct order_case {
        const char *what;
        std::vector<uint16_t> arrival;
        std::vector<int16_t> expect;
    };
    // Sequence s carries samples of value s % 1000 + 1 and timestamp by sequence order.
    const order_case cases[] = {
        {"3, 1, 2", {3, 1, 2}, {2, 3, 4}},
        {"65535 then 0", {0, 65535}, {536, 1}},
        {"wrap reordered", {1, 65534, 0, 65535}, {535, 536, 1, 2}},
    };
    for (const order_case &c : cases) {
        configure(20, 120, 60);
        for (uint16_t s : c.arrival) {
            const uint32_t ts = static_cast<uint32_t>(static_cast<uint16_t>(s + 10)) * k_frame;
            ASSERT_EQ(put_constant(s, ts, static_cast<int16_t>(s % 1000 + 1)), 0) << c.what;
        }
        std::vector<int16_t> played;
        for (int i = 0; i < 12; ++i) {
            const std::vector<int16_t> f = process();
            if ((dsp_rx_last_instruction(ctx) & k_jb_op_mask) == JB_OP_EXPAND) break;
            played.insert(played.end(), f.begin(), f.end());
        }
        std::vector<int16_t> r = runs(played);
        r.resize(std::min(r.size(), c.expect.size()));
        EXPECT_EQ(r, c.expect) << c.what;
    }
}

TEST_F(RxEngine, NewSsrcRestartsPlayoutAtTheNewStream) {
    for (int t = 0; t < 30; ++t) {
        ASSERT_EQ(put_constant(static_cast<uint16_t>(500 + t), 90000u + t * k_frame, 1111, 0xaaaa),
                  0);
        process();
    }
    // The new stream has unrelated sequence numbers and timestamps.
    std::vector<int16_t> after;
    for (int t = 0; t < 30; ++t) {
        ASSERT_EQ(put_constant(static_cast<uint16_t>(7 + t), 5u + t * k_frame, 2222, 0xbbbb), 0);
        const std::vector<int16_t> f = process();
        after.insert(after.end(), f.begin(), f.end());
    }
    const std::vector<int16_t> r = runs(after);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back(), 2222);
    const dsp_rx_stats s = stats();
    EXPECT_EQ(s.stream_starts, 2u);
    EXPECT_EQ(s.late, 0u);
    // Once the new stream plays, the old one never comes back.
    size_t first_new = 0;
    while (after[first_new] != 2222) first_new++;
    for (size_t i = first_new; i < after.size(); ++i) ASSERT_NE(after[i], 1111) << "at " << i;
}

TEST_F(RxEngine, OneLostPacketIsConcealedAndMergedKeepingTheCadence) {
    const int lost = 60;
    std::vector<int16_t> played;
    std::vector<uint16_t> ops;
    for (int t = 0; t < 120; ++t) {
        if (t != lost) {
            ASSERT_EQ(put_tone(t), 0);
        }
        const std::vector<int16_t> f = process();
        ASSERT_EQ(f.size(), static_cast<size_t>(k_frame));
        played.insert(played.end(), f.begin(), f.end());
        ops.push_back(dsp_rx_last_instruction(ctx) & k_jb_op_mask);
    }
    const dsp_rx_stats s = stats();
    EXPECT_EQ(s.expands, 1u);
    EXPECT_EQ(s.merges, 1u);
    EXPECT_EQ(s.late, 0u);
    EXPECT_EQ(s.frames, 120u);
    size_t e = 0;
    while (e < ops.size() && ops[e] != JB_OP_EXPAND) e++;
    ASSERT_LT(e + 1, ops.size());
    EXPECT_EQ(ops[e + 1], JB_OP_MERGE);

    // No jump anywhere once playout has begun, concealment and merge included.
    int ref_step = 0;
    for (int i = 1; i < 4000; ++i)
        ref_step = std::max(ref_step, std::abs(tone_at(i) - tone_at(i - 1)));
    size_t begin = 0;
    while (played[begin] == 0) begin++;
    for (size_t i = begin + 1; i < played.size(); ++i) {
        ASSERT_LE(std::abs(played[i] - played[i - 1]), 2 * ref_step) << "sample " << i;
    }
    // The playout delay afterwards is what it was before, give or take a pitch cycle.
    uint32_t ts = 0;
    ASSERT_EQ(dsp_rx_output_timestamp(ctx, &ts), 0);
    const int64_t delay_after = 1000 + 119 * k_frame - static_cast<int64_t>(ts);
    EXPECT_GE(delay_after, 4 * k_frame);
    EXPECT_LE(delay_after, 8 * k_frame);
}

TEST_F(RxEngine, BurstIsPlayedOutFasterUntilTheLevelIsBackWithinLimits) {
    int64_t next = 0;  // next sender tick to deliver
    auto delay_ms = [&](int t) {
        uint32_t ts = 0;
        EXPECT_EQ(dsp_rx_output_timestamp(ctx, &ts), 0);
        return (1000 + static_cast<int64_t>(t) * k_frame - static_cast<int64_t>(ts)) / 16;
    };
    int t = 0;
    for (; t < 100; ++t) {
        put_tone(next++);
        process();
    }
    const int64_t before = delay_ms(t - 1);
    // 25 packets ahead of their time in one go.
    for (int i = 0; i < 25; ++i) put_tone(next++);
    const uint32_t acc_before = stats().accelerates;
    int64_t peak_excess = 0;
    for (; t < 600; ++t) {
        put_tone(next++);
        process();
        peak_excess = std::max<int64_t>(peak_excess, delay_ms(t) + 250 - before);
    }
    const dsp_rx_stats s = stats();
    EXPECT_GT(s.accelerates, acc_before);
    EXPECT_GT(peak_excess, 200) << "the burst was buffered first";
    EXPECT_EQ(s.late, 0u);
    EXPECT_EQ(s.expands, 0u);
    // Sender time runs 25 packets ahead now: the delay measured against the
    // sender clock shows how much of the burst is still buffered.
    const int64_t excess = delay_ms(t - 1) + 250 - before;
    EXPECT_LE(excess, 30) << "before " << before;
    EXPECT_LE(s.level_ms, s.target_ms + 20);
}

}  // namespace
