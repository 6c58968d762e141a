// Send context: packet layout, clocks, resets, failures and the optional
// features (comfort noise, telephone events, RTCP, start variant, stop/BYE).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "media/dsp/dsp_codec.h"
#include "media/dsp/dsp_rand.h"
#include "media/dsp/dsp_rtcp.h"
#include "media/dsp/dsp_tx.h"

namespace {

constexpr int k_cap = 1600;

struct packet {
    int len = 0;
    int kind = 0;
    std::vector<uint8_t> bytes;
    bool marker() const { return (bytes[1] & 0x80) != 0; }
    int pt() const { return bytes[1] & 0x7f; }
    uint16_t seq() const { return static_cast<uint16_t>(bytes[2] << 8 | bytes[3]); }
    uint32_t u32(int at) const {
        return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 |
               uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
    }
    uint32_t ts() const { return u32(4); }
    uint32_t ssrc() const { return u32(8); }
};

class DspTx : public ::testing::Test {
  protected:
    std::unique_ptr<dsp_tx_ctx> ctx_ = std::make_unique<dsp_tx_ctx>();
    dsp_pcm pcm_{};
    dsp_pcm pcm2_{};

    void SetUp() override {
        ASSERT_EQ(dsp_tx_engine.init(c()), 0);
        dsp_event_queue_register(0);
    }
    void TearDown() override { dsp_event_queue_unregister(0); }

    dsp_ctx *c() { return &ctx_->s.head.hdr; }
    dsp_tx_params &p() { return ctx_->s.head.params; }
    dsp_tx_state &s() { return ctx_->s; }

    // The program's settings, with a chosen rate and codec.
    int start(int pcm_rate, uint32_t codec, int packet_ms = 10) {
        dsp_pcm_setup(&pcm_, pcm_rate);
        p().in1 = &pcm_;
        p().command_flags = DSP_CMD_START;
        p().codec_id = codec;
        p().voice_pt = 108;
        p().packet_time_ms = packet_ms;
        return c()->reset(c());
    }

    void fill(int16_t base) {
        for (uint32_t i = 0; i < pcm_.samples; i++)
            pcm_.data[i] = static_cast<int16_t>(base + static_cast<int>(i) * 37);
    }
    void fill_tone(double amplitude, double hz, int frame) {
        int n = static_cast<int>(pcm_.samples);
        double rate = n * 100.0;
        for (int i = 0; i < n; i++)
            pcm_.data[i] =
                static_cast<int16_t>(amplitude * std::sin(2 * M_PI * hz * (frame * n + i) / rate));
    }

    packet get(int cap = k_cap) {
        packet pk;
        pk.bytes.assign(static_cast<size_t>(cap), 0);
        pk.len = c()->get_packet(c(), pk.bytes.data(), &pk.kind, cap);
        if (pk.len > 0) pk.bytes.resize(static_cast<size_t>(pk.len));
        return pk;
    }

    std::vector<dsp_event> events() {
        std::vector<dsp_event> out;
        dsp_event ev;
        while (dsp_event_read(0, &ev) == 1) out.push_back(ev);
        return out;
    }
};

bool has_event(const std::vector<dsp_event> &evs, uint32_t code) {
    for (const dsp_event &e : evs)
        if (e.code == code) return true;
    return false;
}

}  // namespace

TEST_F(DspTx, SizeAndHeader) {
    uint32_t size = 0;
    EXPECT_EQ(dsp_tx_engine.get_size(&size), 0);
    EXPECT_EQ(size, 58448u);
    EXPECT_EQ(c()->magic, 0xdcbaabcdu);
    EXPECT_EQ(c()->handle, 0);
    EXPECT_EQ(c()->put_packet, nullptr);
    EXPECT_TRUE(dsp_ctx_valid(c()));
}

TEST_F(DspTx, FirstPacketAfterResetAt16k) {
    dsp_rand_seed(12345);
    uint32_t state = 12345;
    uint32_t want_ssrc = dsp_rand_step(&state);
    ASSERT_EQ(start(16000, DSP_CODEC_L16_16K), 0);
    EXPECT_TRUE(has_event(events(), DSP_EVT_STARTED));
    EXPECT_EQ(get().len, 0);  // nothing before the first frame

    fill(-500);
    ASSERT_EQ(c()->process(c()), 0);
    packet pk = get();
    ASSERT_EQ(pk.len, 332);
    EXPECT_EQ(pk.kind, DSP_PKT_RTP);
    const uint8_t head[8] = {0x80, 0xec, 0x00, 0x00, 0x00, 0x00, 0x00, 0xa0};
    EXPECT_EQ(std::memcmp(pk.bytes.data(), head, 8), 0);
    EXPECT_EQ(pk.ssrc(), want_ssrc);
    for (int i = 0; i < 160; i++) {
        int16_t v = static_cast<int16_t>(pk.bytes[12 + 2 * i] << 8 | pk.bytes[13 + 2 * i]);
        ASSERT_EQ(v, pcm_.data[i]) << i;
    }
    EXPECT_EQ(get().len, 0);  // no second packet without a new frame
    EXPECT_EQ(s().counters.packets, 1u);
    EXPECT_EQ(s().counters.octets, 320u);
}

TEST_F(DspTx, SequenceTimestampAndSizePerCodec) {
    struct row {
        int pcm_rate;
        uint32_t codec;
        int len;
        uint32_t ts_step;
    } rows[] = {
        {16000, DSP_CODEC_L16_16K, 332, 160}, {32000, DSP_CODEC_L16_32K, 652, 320},
        {8000, DSP_CODEC_L16_8K, 172, 80},    {8000, DSP_CODEC_PCMU, 92, 80},
        {8000, DSP_CODEC_PCMA, 92, 80},       {16000, DSP_CODEC_G722_64K, 92, 80},
        {16000, DSP_CODEC_G722_56K, 82, 80},  {16000, DSP_CODEC_G722_48K, 72, 80},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.codec);
        ASSERT_EQ(dsp_tx_engine.init(c()), 0);
        ASSERT_EQ(start(r.pcm_rate, r.codec), 0);
        uint32_t ssrc = 0;
        for (int i = 0; i < 5; i++) {
            fill(static_cast<int16_t>(i * 100));
            c()->process(c());
            packet pk = get();
            ASSERT_EQ(pk.len, r.len);
            EXPECT_EQ(pk.seq(), i);
            EXPECT_EQ(pk.ts(), r.ts_step * (i + 1));
            EXPECT_EQ(pk.marker(), i == 0);
            EXPECT_EQ(pk.pt(), 108);
            if (i == 0) ssrc = pk.ssrc();
            EXPECT_EQ(pk.ssrc(), ssrc);
            EXPECT_EQ(get().len, 0);
        }
    }
}

TEST_F(DspTx, SequenceWrapsAtSixteenBits) {
    p().initial_sequence = 65534;
    ASSERT_EQ(start(16000, DSP_CODEC_L16_16K), 0);
    uint16_t want[] = {65534, 65535, 0, 1};
    for (uint16_t w : want) {
        c()->process(c());
        EXPECT_EQ(get().seq(), w);
    }
}

TEST_F(DspTx, ResetRestartsSequenceAndDrawsNewSsrc) {
    ASSERT_EQ(start(16000, DSP_CODEC_L16_16K), 0);
    uint32_t first_ssrc = 0;
    for (int i = 0; i < 3; i++) {
        c()->process(c());
        first_ssrc = get().ssrc();
    }
    p().command_flags = DSP_CMD_START;
    ASSERT_EQ(c()->reset(c()), 0);
    EXPECT_EQ(p().voice_pt, 108);  // parameters survive a reset
    EXPECT_EQ(s().counters.packets, 0u);
    c()->process(c());
    packet pk = get();
    EXPECT_EQ(pk.seq(), 0);
    EXPECT_EQ(pk.ts(), 160u);
    EXPECT_TRUE(pk.marker());
    EXPECT_NE(pk.ssrc(), first_ssrc);
}

TEST_F(DspTx, MarkerOnPayloadTypeChangeOnly) {
    ASSERT_EQ(start(16000, DSP_CODEC_L16_16K), 0);
    struct {
        int pt;
        bool marker;
    } steps[] = {{108, true}, {108, false}, {96, true}, {96, false}, {108, true}};
    for (auto &st : steps) {
        p().voice_pt = st.pt;
        c()->process(c());
        packet pk = get();
        EXPECT_EQ(pk.pt(), st.pt);
        EXPECT_EQ(pk.marker(), st.marker) << st.pt;
    }
}

TEST_F(DspTx, ResetFailuresLeaveTheContextSilent) {
    struct row {
        const char *what;
        int rate;
        uint32_t codec;
        int mode;  // 0 as is, 1 no input, 2 mismatched second input
        int rc;
    } rows[] = {
        {"no input descriptor", 16000, DSP_CODEC_L16_16K, 1, DSP_ERR_DESCRIPTOR},
        {"input at 44100 Hz", 44100, DSP_CODEC_L16_16K, 0, DSP_ERR_DESCRIPTOR},
        {"second input of another size", 16000, DSP_CODEC_L16_16K, 2, DSP_ERR_DESCRIPTOR},
        {"unknown codec id", 16000, 0x3000000, 0, DSP_ERR_CODEC},
        {"codec id 0", 16000, 0, 0, DSP_ERR_CODEC},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        ASSERT_EQ(dsp_tx_engine.init(c()), 0);
        dsp_pcm_setup(&pcm_, r.rate);
        dsp_pcm_setup(&pcm2_, 32000);
        p().in1 = r.mode == 1 ? nullptr : &pcm_;
        p().in2 = r.mode == 2 ? &pcm2_ : nullptr;
        p().command_flags = DSP_CMD_START;
        p().codec_id = r.codec;
        p().packet_time_ms = 10;
        events();
        EXPECT_EQ(c()->reset(c()), r.rc);
        EXPECT_EQ(c()->state, DSP_STATE_NONE);
        EXPECT_EQ(c()->process(c()), 0);
        std::vector<dsp_event> evs = events();
        ASSERT_EQ(evs.size(), 1u);
        EXPECT_EQ(evs[0].code, DSP_EVT_CTX_ERROR);
        EXPECT_EQ(evs[0].value1, 12);
        EXPECT_EQ(get().len, -1);
    }
}

TEST_F(DspTx, PacketTimeRoundsToWholeFrames) {
    struct row {
        int requested_ms;
        int frames;
    } rows[] = {{10, 1}, {20, 2}, {25, 2}, {5, 1}, {0, 1}, {-20, 1}, {80, 8}, {90, 1}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.requested_ms);
        ASSERT_EQ(dsp_tx_engine.init(c()), 0);
        ASSERT_EQ(start(8000, DSP_CODEC_PCMU, r.requested_ms), 0);
        for (int f = 0; f < r.frames - 1; f++) {
            c()->process(c());
            EXPECT_EQ(get().len, 0);
        }
        c()->process(c());
        packet pk = get();
        ASSERT_EQ(pk.len, 12 + 80 * r.frames);
        EXPECT_EQ(pk.ts(), 80u * r.frames);
    }
}

TEST_F(DspTx, UnfetchedPacketIsDroppedNotAccumulated) {
    ASSERT_EQ(start(16000, DSP_CODEC_L16_16K), 0);
    fill(1);
    c()->process(c());
    fill(1000);
    c()->process(c());
    EXPECT_EQ(s().counters.overruns, 1u);
    packet pk = get();
    ASSERT_EQ(pk.len, 332);
    EXPECT_EQ(pk.ts(), 320u);
    EXPECT_EQ(pk.bytes[12] << 8 | pk.bytes[13], 1000);  // the newer frame
    EXPECT_EQ(get().len, 0);
}

TEST_F(DspTx, TooSmallBufferDropsThePacketAndRecovers) {
    ASSERT_EQ(start(16000, DSP_CODEC_L16_16K), 0);
    c()->process(c());
    EXPECT_EQ(get(100).len, -1);
    EXPECT_EQ(s().counters.oversize, 1u);
    EXPECT_EQ(get().len, 0);  // the dropped packet is not offered again
    c()->process(c());
    packet pk = get();
    EXPECT_EQ(pk.len, 332);
    EXPECT_EQ(pk.seq(), 0);
    EXPECT_EQ(pk.ts(), 320u);
}

TEST_F(DspTx, SecondInputIsMixedWithSaturation) {
    dsp_pcm_setup(&pcm2_, 16000);
    p().in2 = &pcm2_;
    ASSERT_EQ(start(16000, DSP_CODEC_L16_16K), 0);
    pcm_.data[0] = 1000;
    pcm2_.data[0] = -300;
    pcm_.data[1] = 30000;
    pcm2_.data[1] = 10000;
    pcm_.data[2] = -30000;
    pcm2_.data[2] = -10000;
    c()->process(c());
    packet pk = get();
    auto sample = [&](int i) {
        return static_cast<int16_t>(pk.bytes[12 + 2 * i] << 8 | pk.bytes[13 + 2 * i]);
    };
    EXPECT_EQ(sample(0), 700);
    EXPECT_EQ(sample(1), 32767);
    EXPECT_EQ(sample(2), -32768);
}

TEST_F(DspTx, PcmRateOtherThanCodecRateIsResampled) {
    // 16000 Hz PCM into G.711 at 8000 Hz: a 500 Hz tone keeps its level.
    ASSERT_EQ(start(16000, DSP_CODEC_PCMU), 0);
    double sum = 0;
    int n = 0;
    for (int f = 0; f < 20; f++) {
        fill_tone(10000, 500, f);
        c()->process(c());
        packet pk = get();
        ASSERT_EQ(pk.len, 92);
        EXPECT_EQ(pk.ts(), 80u * (f + 1));
        if (f < 5) continue;  // filter settling
        for (int i = 0; i < 80; i++) {
            double v = dsp_g711_ulaw_decode(pk.bytes[12 + i]);
            sum += v * v;
            n++;
        }
    }
    double rms = std::sqrt(sum / n);
    EXPECT_NEAR(rms, 10000 / std::sqrt(2.0), 700);
}

TEST_F(DspTx, KeptSsrcAndPrefixWord) {
    p().option_flags = DSP_TX_OPT_KEEP_SSRC | DSP_TX_OPT_PREFIX;
    p().ssrc = 0xdeadbeef;
    p().prefix = 0x01020304;
    ASSERT_EQ(start(16000, DSP_CODEC_L16_16K), 0);
    c()->process(c());
    packet pk = get();
    ASSERT_EQ(pk.len, 336);
    const uint8_t head[] = {1, 2, 3, 4, 0x80, 0xec, 0, 0, 0, 0, 0, 0xa0, 0xde, 0xad, 0xbe, 0xef};
    EXPECT_EQ(std::memcmp(pk.bytes.data(), head, sizeof(head)), 0);
}

TEST_F(DspTx, ComfortNoiseReplacesSilenceAndRepeatsAfterOneSecond) {
    p().option_flags = DSP_TX_OPT_VAD;
    ASSERT_EQ(start(16000, DSP_CODEC_L16_16K), 0);
    uint32_t rng = 7;
    auto quiet = [&] {
        for (int i = 0; i < 160; i++)
            pcm_.data[i] = static_cast<int16_t>(static_cast<int>(dsp_rand_step(&rng) % 61) - 30);
    };
    std::vector<packet> sent;
    int frame = 0;
    auto run = [&](int frames, bool loud) {
        for (int i = 0; i < frames; i++, frame++) {
            if (loud)
                fill_tone(12000, 440, frame);
            else
                quiet();
            c()->process(c());
            packet pk = get();
            if (pk.len > 0) sent.push_back(pk);
        }
    };
    run(100, false);  // 1 s of quiet: one descriptor only
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].pt(), 13);
    EXPECT_TRUE(sent[0].marker());
    ASSERT_EQ(sent[0].len, 13);
    EXPECT_GT(sent[0].bytes[12], 50);  // about -60 dBov
    EXPECT_LT(sent[0].bytes[12], 80);
    run(1, false);  // 1000 ms after the first: repeated
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].pt(), 13);
    EXPECT_FALSE(sent[1].marker());
    EXPECT_EQ(sent[1].ts() - sent[0].ts(), 16000u);

    sent.clear();
    run(10, true);  // speech: every frame goes out as voice
    ASSERT_EQ(sent.size(), 10u);
    EXPECT_EQ(sent[0].pt(), 108);
    EXPECT_TRUE(sent[0].marker());
    EXPECT_EQ(sent[0].len, 332);

    sent.clear();
    run(40, false);  // hangover keeps voice a while, then noise again at once
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent.front().pt(), 108);
    EXPECT_EQ(sent.back().pt(), 13);
    EXPECT_TRUE(sent.back().marker());
    EXPECT_GT(s().counters.cn_packets, 2u);
    // Sequence numbers stay contiguous across the switches.
    for (size_t i = 1; i < sent.size(); i++)
        EXPECT_EQ(static_cast<uint16_t>(sent[i].seq() - sent[i - 1].seq()), 1);
}

TEST_F(DspTx, TelephoneEventReplacesVoiceThenEnds) {
    ASSERT_EQ(start(16000, DSP_CODEC_L16_16K), 0);
    c()->process(c());
    packet first = get();
    p().command_flags = DSP_CMD_TEL_EVENT;
    std::vector<packet> sent;
    for (int i = 0; i < 16; i++) {
        c()->process(c());
        sent.push_back(get());
    }
    // 120 ms in 10 ms steps of 80 (8000 Hz units), the last one sent three times with E.
    for (int i = 0; i < 14; i++) {
        SCOPED_TRACE(i);
        const packet &pk = sent[static_cast<size_t>(i)];
        ASSERT_EQ(pk.len, 16);
        EXPECT_EQ(pk.pt(), 101);
        EXPECT_EQ(pk.marker(), i == 0);
        EXPECT_EQ(pk.ts(), first.ts() + 160);  // every packet carries the start time
        EXPECT_EQ(pk.bytes[12], 10);
        int duration = pk.bytes[14] << 8 | pk.bytes[15];
        bool end = (pk.bytes[13] & 0x80) != 0;
        EXPECT_EQ(pk.bytes[13] & 0x3f, 10);
        if (i < 11) {
            EXPECT_EQ(duration, 80 * (i + 1));
            EXPECT_FALSE(end);
        } else {
            EXPECT_EQ(duration, 960);
            EXPECT_TRUE(end);
        }
        EXPECT_EQ(pk.seq(), i + 1);
    }
    EXPECT_EQ(sent[14].pt(), 108);
    EXPECT_TRUE(sent[14].marker());
    EXPECT_EQ(sent[14].ts(), 160u * 16);
    EXPECT_EQ(s().counters.tel_event_packets, 14u);
}

namespace {
// Walks a compound RTCP packet -> the payload types in order; fails on a bad length.
std::vector<int> rtcp_types(const packet &pk) {
    std::vector<int> types;
    int at = 0;
    while (at < pk.len) {
        EXPECT_LE(at + 4, pk.len);
        EXPECT_EQ(pk.bytes[at] >> 6, 2);
        types.push_back(pk.bytes[at + 1]);
        at += 4 * ((pk.bytes[at + 2] << 8 | pk.bytes[at + 3]) + 1);
    }
    EXPECT_EQ(at, pk.len);
    return types;
}
}  // namespace

TEST_F(DspTx, RtcpSenderReportWithSdesAtRandomisedInterval) {
    p().rtcp_flags = DSP_RTCP_ON | DSP_RTCP_SDES | DSP_RTCP_XR;
    p().rtcp_interval_ms = 1000;
    ASSERT_EQ(start(16000, DSP_CODEC_L16_16K), 0);
    dsp_rtcp_block block{};
    block.ssrc = 0x11223344;
    block.fraction_lost = 5;
    block.cumulative_lost = 7;
    ASSERT_EQ(dsp_tx_set_report_blocks(ctx_.get(), &block, 1), 0);
    EXPECT_EQ(dsp_tx_set_report_blocks(ctx_.get(), &block, 3), -1);

    std::vector<int> rtcp_at_ms;
    packet report;
    int rtp = 0;
    for (int f = 1; f <= 600; f++) {
        c()->process(c());
        for (;;) {
            packet pk = get();
            if (pk.len <= 0) break;
            if (pk.kind == DSP_PKT_RTP) {
                rtp++;
                continue;
            }
            ASSERT_EQ(pk.kind, DSP_PKT_RTCP);
            if (rtcp_at_ms.empty()) report = pk;
            rtcp_at_ms.push_back(f * 10);
            EXPECT_EQ(pk.u32(4) /* SR sender SSRC */, s().ssrc);
        }
    }
    // 6 s at 0.5..1.5 s spacing.
    ASSERT_GE(rtcp_at_ms.size(), 4u);
    ASSERT_LE(rtcp_at_ms.size(), 12u);
    EXPECT_GE(rtcp_at_ms[0], 500);
    EXPECT_LE(rtcp_at_ms[0], 1510);
    for (size_t i = 1; i < rtcp_at_ms.size(); i++) {
        EXPECT_GE(rtcp_at_ms[i] - rtcp_at_ms[i - 1], 500);
        EXPECT_LE(rtcp_at_ms[i] - rtcp_at_ms[i - 1], 1510);
    }
    EXPECT_EQ(rtp, 600);

    std::vector<int> types = rtcp_types(report);
    ASSERT_EQ(types, (std::vector<int>{200, 202, 207}));
    EXPECT_EQ(report.bytes[0] & 0x1f, 1);                   // one report block
    EXPECT_EQ(report.u32(20), rtcp_at_ms[0] / 10u);         // packets sent so far
    EXPECT_EQ(report.u32(24), rtcp_at_ms[0] / 10u * 320u);  // payload octets
    EXPECT_EQ(report.u32(28), 0x11223344u);
    EXPECT_EQ(report.bytes[32], 5);
    int sdes = 4 * ((report.bytes[2] << 8 | report.bytes[3]) + 1);
    const char items[] =
        "\x01\x05venus\x02\x05venus\x03\x05venus\x04\x08"
        "12345678";  // the terminating zero is the end of the item list
    EXPECT_EQ(std::memcmp(&report.bytes[static_cast<size_t>(sdes + 8)], items, sizeof(items)), 0);
    EXPECT_TRUE(has_event(events(), DSP_EVT_RTCP));
}

TEST_F(DspTx, SecondStartVariantTakesPayloadsSilentlyWithReceiverReports) {
    p().rtcp_flags = DSP_RTCP_ON;
    p().rtcp_interval_ms = 1000;
    ASSERT_EQ(start(16000, DSP_CODEC_L16_16K), 0);
    p().command_flags = DSP_CMD_START_ALT;
    events();
    packet rtcp;
    for (int f = 0; f < 200; f++) {
        c()->process(c());
        packet pk = get();
        if (pk.len > 0) {
            ASSERT_EQ(pk.kind, DSP_PKT_RTCP);
            rtcp = pk;
        }
    }
    EXPECT_EQ(c()->state, DSP_STATE_RUNNING_ALT);
    EXPECT_TRUE(has_event(events(), DSP_EVT_START_ALT_OR_NEW_PT));
    EXPECT_EQ(s().counters.packets, 0u);
    EXPECT_EQ(s().counters.overruns, 0u);  // payloads were taken each time
    ASSERT_GT(rtcp.len, 0);
    EXPECT_EQ(rtcp_types(rtcp), std::vector<int>{201});
    EXPECT_EQ(rtcp.len, 8);
}

TEST_F(DspTx, StopPostsEventSendsByeAndGoesIdle) {
    p().rtcp_flags = DSP_RTCP_ON | DSP_RTCP_BYE;
    ASSERT_EQ(start(16000, DSP_CODEC_L16_16K), 0);
    c()->process(c());
    get();
    events();
    p().command_flags = DSP_CMD_STOP;
    c()->process(c());
    EXPECT_EQ(c()->state, DSP_STATE_STOPPING);
    packet bye = get();
    ASSERT_GT(bye.len, 0);
    EXPECT_EQ(bye.kind, DSP_PKT_RTCP);
    EXPECT_EQ(rtcp_types(bye), (std::vector<int>{200, 203}));
    std::vector<dsp_event> evs = events();
    EXPECT_TRUE(has_event(evs, DSP_EVT_STOPPED));
    EXPECT_TRUE(has_event(evs, DSP_EVT_RTCP_BYE));
    EXPECT_EQ(c()->state, DSP_STATE_IDLE);
    c()->process(c());
    EXPECT_EQ(get().len, 0);

    // Without the BYE option a stop only posts the event.
    p().rtcp_flags = 0;
    ASSERT_EQ(start(16000, DSP_CODEC_L16_16K), 0);
    p().command_flags = DSP_CMD_STOP;
    c()->process(c());
    EXPECT_EQ(get().len, 0);
    EXPECT_TRUE(has_event(events(), DSP_EVT_STOPPED));
    EXPECT_EQ(c()->state, DSP_STATE_IDLE);
}

TEST_F(DspTx, PauseStopsTheStreamUntilStartedAgain) {
    ASSERT_EQ(start(16000, DSP_CODEC_L16_16K), 0);
    c()->process(c());
    EXPECT_EQ(get().seq(), 0);
    p().command_flags = DSP_CMD_PAUSE;
    c()->process(c());
    EXPECT_EQ(c()->state, DSP_STATE_PAUSED);
    EXPECT_EQ(get().len, -1);
    p().command_flags = DSP_CMD_START;
    c()->process(c());
    packet pk = get();
    EXPECT_EQ(pk.seq(), 1);
    EXPECT_EQ(pk.ts(), 320u);  // paused frames were not taken in
}

TEST_F(DspTx, DescriptorSwappedAfterResetIsNotRead) {
    ASSERT_EQ(start(16000, DSP_CODEC_L16_16K), 0);
    events();
    dsp_pcm bigger;
    dsp_pcm_setup(&bigger, 48000);
    p().in1 = &bigger;  // 480 samples where the codec was set up for 160
    c()->process(c());
    p().in1 = nullptr;
    c()->process(c());
    EXPECT_EQ(get().len, 0);
    std::vector<dsp_event> evs = events();
    ASSERT_EQ(evs.size(), 2u);
    EXPECT_EQ(evs[0].code, DSP_EVT_CTX_ERROR);
    p().in1 = &pcm_;  // back to the right one: the stream goes on
    c()->process(c());
    EXPECT_EQ(get().len, 332);
}

TEST_F(DspTx, BadCallsAreRefused) {
    ASSERT_EQ(start(16000, DSP_CODEC_L16_16K), 0);
    int kind = 0;
    uint8_t buf[16];
    EXPECT_EQ(c()->get_packet(c(), nullptr, &kind, 16), -1);
    EXPECT_EQ(c()->get_packet(c(), buf, nullptr, 16), -1);
    EXPECT_EQ(c()->get_packet(c(), buf, &kind, 0), -1);
    dsp_ctx copy = *c();
    copy.magic = 0;
    EXPECT_EQ(dsp_tx_engine.process(&copy), -1);
    EXPECT_EQ(dsp_tx_engine.reset(&copy), -1);
    EXPECT_EQ(dsp_tx_engine.get_size(nullptr), -1);
}
