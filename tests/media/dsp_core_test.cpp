// Engine core: generator, rate codes, parameter repair, events, header checks.
#include <gtest/gtest.h>

#include "media/dsp/dsp_engine.h"
#include "media/dsp/dsp_rand.h"
#include "media/dsp/dsp_vad.h"

TEST(DspRand, KnownValuesFromStateOne) {
    uint32_t state = 1;
    EXPECT_EQ(dsp_rand_step(&state), 0x1c590001u);
    EXPECT_EQ(state, 0x1c5983f7u);

    // The process-wide generator takes the same steps and keeps 31 bits.
    dsp_rand_seed(1);
    EXPECT_EQ(dsp_rand(), 0x1c590001u);
    EXPECT_EQ(dsp_rand_state(), 0x1c5983f7u);
    dsp_rand_seed(0xffffffffu);
    EXPECT_EQ(dsp_rand_state(), 0x7fffffffu);
    for (int i = 0; i < 1000; i++) {
        dsp_rand();
        ASSERT_LT(dsp_rand_state(), 0x80000000u);
    }
}

TEST(DspRand, SecondStepFollowsTheFormula) {
    // From 0x1c5983f7 by hand: state' = (s * 475559465 + 69070) mod 2^31.
    uint32_t s = 0x1c5983f7u;
    uint64_t next = (uint64_t{s} * 475559465u + 69070u) % (1u << 31);
    uint32_t low =
        static_cast<uint32_t>(((uint64_t{s} * 69069u + 1u) % (1ull << 32)) >> 16) & 0x7fffu;
    uint32_t state = s;
    EXPECT_EQ(dsp_rand_step(&state), (static_cast<uint32_t>(next) & 0xffff0000u) | low);
    EXPECT_EQ(state, next);
}

TEST(DspRates, CodesBothWays) {
    struct row {
        int hz;
        int code;
    } rows[] = {{8000, 80},   {11025, 110}, {12000, 120}, {16000, 160}, {22050, 220},
                {24000, 240}, {32000, 320}, {44100, 441}, {48000, 480}};
    for (const row &r : rows) {
        EXPECT_EQ(dsp_rate_to_code(r.hz), r.code) << r.hz;
        EXPECT_EQ(dsp_code_to_rate(r.code), r.hz) << r.code;
    }
    for (int bad : {0, -16000, 7999, 96000, 16001}) EXPECT_EQ(dsp_rate_to_code(bad), 0) << bad;
    EXPECT_EQ(dsp_code_to_rate(100), 0);
    for (int hz : {8000, 16000, 32000, 48000}) EXPECT_TRUE(dsp_codec_rate_supported(hz));
    for (int hz : {11025, 22050, 44100, 24000}) EXPECT_FALSE(dsp_codec_rate_supported(hz));
}

TEST(DspPcm, DescriptorLayoutAndSetup) {
    dsp_pcm pcm;
    ASSERT_EQ(dsp_pcm_setup(&pcm, 32000), 0);
    EXPECT_EQ(pcm.samples, 320u);  // second word
    EXPECT_EQ(reinterpret_cast<const uint32_t *>(&pcm)[1], 320u);
    EXPECT_EQ(reinterpret_cast<const char *>(pcm.data) - reinterpret_cast<const char *>(&pcm), 16);
    EXPECT_EQ(dsp_pcm_setup(&pcm, 12345), -1);
}

TEST(DspParams, Defaults) {
    dsp_tx_params tx;
    dsp_tx_params_default(&tx);
    EXPECT_EQ(tx.codec_id, 0x1010000u);
    EXPECT_EQ(tx.packet_time_ms, 20);
    EXPECT_EQ(tx.rtcp_interval_ms, 5000);
    EXPECT_EQ(tx.voice_pt, 0);
    EXPECT_EQ(tx.in1, nullptr);
    EXPECT_EQ(tx.command_flags | tx.option_flags | tx.rtcp_flags | tx.ssrc, 0u);

    dsp_rx_params rx;
    dsp_rx_params_default(&rx);
    EXPECT_EQ(rx.codec_id, 0x1010000u);
    EXPECT_EQ(rx.tel_event_pt, 101);
    EXPECT_EQ(rx.cn_pt, 13);
    EXPECT_EQ(rx.ignore_pt, 127);
    EXPECT_EQ(rx.min_delay_ms, 40);
    EXPECT_EQ(rx.max_delay_ms, 800);
    EXPECT_EQ(rx.start_delay_ms, 40);
}

TEST(DspParams, ReceiveDelayRepair) {
    struct row {
        int min, max, start;
        int want_min, want_max, want_start;
    } rows[] = {
        {20, 120, 60, 20, 120, 60},      // the program's values stay
        {900, 500, 100, 40, 500, 100},   // minimum above 800 -> 40
        {40, 1000, 40, 40, 800, 40},     // maximum above 800 -> 800
        {300, 100, 200, 100, 300, 200},  // swapped bounds
        {20, 120, 10, 20, 120, 20},      // start below the minimum
        {20, 120, 500, 20, 120, 120},    // start above the maximum
        {-5, 120, 60, 40, 120, 60},      // negative minimum treated as out of range
    };
    for (const row &r : rows) {
        dsp_rx_params p;
        dsp_rx_params_default(&p);
        p.min_delay_ms = r.min;
        p.max_delay_ms = r.max;
        p.start_delay_ms = r.start;
        dsp_rx_repair_delays(&p);
        EXPECT_EQ(p.min_delay_ms, r.want_min) << r.min << "/" << r.max << "/" << r.start;
        EXPECT_EQ(p.max_delay_ms, r.want_max) << r.min << "/" << r.max << "/" << r.start;
        EXPECT_EQ(p.start_delay_ms, r.want_start) << r.min << "/" << r.max << "/" << r.start;
    }
}

TEST(DspParams, RtcpIntervalBounds) {
    EXPECT_EQ(dsp_rtcp_interval_fix(999), 5000);
    EXPECT_EQ(dsp_rtcp_interval_fix(1000), 1000);
    EXPECT_EQ(dsp_rtcp_interval_fix(3600000), 3600000);
    EXPECT_EQ(dsp_rtcp_interval_fix(3600001), 5000);
    EXPECT_EQ(dsp_rtcp_interval_fix(-1), 5000);
}

TEST(DspEvents, DroppedWithoutQueueDeliveredInOrderWithOne) {
    dsp_ctx ctx{};
    ctx.channel = 1;
    dsp_event ev;
    dsp_event_queue_unregister(1);
    dsp_post_event(&ctx, DSP_EVT_STARTED, 1, 2);
    EXPECT_EQ(dsp_event_read(1, &ev), 0);

    ASSERT_EQ(dsp_event_queue_register(1), 0);
    dsp_post_event(&ctx, DSP_EVT_STARTED, 1, 2);
    dsp_post_event(&ctx, DSP_EVT_STOPPED, 3, 4);
    ctx.channel = 2;  // another channel, unregistered: dropped
    dsp_post_event(&ctx, DSP_EVT_RTCP, 0, 0);
    ASSERT_EQ(dsp_event_read(1, &ev), 1);
    EXPECT_EQ(ev.code, DSP_EVT_STARTED);
    EXPECT_EQ(ev.value1, 1);
    EXPECT_EQ(ev.value2, 2);
    ASSERT_EQ(dsp_event_read(1, &ev), 1);
    EXPECT_EQ(ev.code, DSP_EVT_STOPPED);
    EXPECT_EQ(dsp_event_read(1, &ev), 0);
    EXPECT_EQ(dsp_event_read(2, &ev), 0);

    // A full queue keeps what it holds and drops the newest.
    ctx.channel = 1;
    for (int i = 0; i < DSP_EVENT_QUEUE_LEN + 5; i++) dsp_post_event(&ctx, DSP_EVT_LEVEL, i, 0);
    int n = 0;
    while (dsp_event_read(1, &ev) == 1) EXPECT_EQ(ev.value1, n++);
    EXPECT_EQ(n, DSP_EVENT_QUEUE_LEN);

    EXPECT_EQ(dsp_event_queue_register(DSP_EVENT_CHANNELS), -1);
    EXPECT_EQ(dsp_event_read(-1, &ev), -1);
    ctx.channel = 99;  // bad channel in a context: ignored, no crash
    dsp_post_event(&ctx, DSP_EVT_LEVEL, 0, 0);
    dsp_event_queue_unregister(1);
}

TEST(DspHeader, ValidityNeedsMagicAndOperations) {
    dsp_vad vad;
    ASSERT_EQ(dsp_vad_engine.init(&vad.s.hdr), 0);
    EXPECT_TRUE(dsp_ctx_valid(&vad.s.hdr));
    uint32_t size = 0;
    EXPECT_EQ(vad.s.hdr.get_size(&size), 0);
    EXPECT_EQ(size, 856u);

    dsp_ctx bad = vad.s.hdr;
    bad.magic = 0x12345678;
    EXPECT_FALSE(dsp_ctx_valid(&bad));
    bad = vad.s.hdr;
    bad.process = nullptr;
    EXPECT_FALSE(dsp_ctx_valid(&bad));
    EXPECT_FALSE(dsp_ctx_valid(nullptr));
}

TEST(DspHooks, DefaultsDoNothingAndReturnZero) {
    dsp_set_platform_hooks(nullptr);
    const dsp_platform_hooks *h = dsp_hooks();
    h->enter();
    h->leave();
    h->trace("x");
    EXPECT_EQ(h->now_ms() | h->ntp_seconds() | h->ntp_fraction() | h->cpu_load(), 0u);
    dsp_platform_hooks custom{};
    custom.now_ms = [] { return 42u; };
    dsp_set_platform_hooks(&custom);
    EXPECT_EQ(dsp_hooks()->now_ms(), 42u);
    EXPECT_EQ(dsp_hooks()->ntp_seconds(), 0u);  // null entries keep the default
    dsp_set_platform_hooks(nullptr);
}
