// Codec table: format records, lookups, L16, G.711 against the published
// segment values, G.722 round trip.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "media/dsp/dsp_codec.h"

namespace {

struct format_row {
    uint32_t id;
    int pt;
    int rate;
    int frame_samples;
    int frame_bytes;
    int rtp_clock;
    const char *encoder;
    const char *decoder;
};

const format_row k_rows[] = {
    {0x1000000, 11, 8000, 80, 160, 8000, "L16 Encoder", "L16 Decoder"},
    {0x3000001, 11, 16000, 160, 320, 16000, "L16 Encoder", "L16 Decoder"},
    {0x6000003, 11, 32000, 320, 640, 32000, "L16 Encoder", "L16 Decoder"},
    {0x1010000, 0, 8000, 80, 80, 8000, "G.711u Encoder", "G.711u Decoder"},
    {0x1010001, 8, 8000, 80, 80, 8000, "G.711a Encoder", "G.711a Decoder"},
    {0x3020005, 9, 16000, 160, 80, 8000, "G.722 Encoder for 64/56/48kbps",
     "G.722 Decoder for 64/56/48kbps"},
    {0x3020006, 9, 16000, 160, 70, 8000, "G.722 Encoder for 64/56/48kbps",
     "G.722 Decoder for 64/56/48kbps"},
    {0x3020007, 9, 16000, 160, 60, 8000, "G.722 Encoder for 64/56/48kbps",
     "G.722 Decoder for 64/56/48kbps"},
};

// Encodes and decodes one 10 ms frame per call through the table.
struct codec_pair {
    const dsp_codec_format *fmt;
    const dsp_encoder *enc;
    const dsp_decoder *dec;
    alignas(8) uint8_t enc_state[DSP_CODEC_STATE_MAX];
    alignas(8) uint8_t dec_state[DSP_CODEC_STATE_MAX];

    explicit codec_pair(uint32_t id)
        : fmt(dsp_codec_format_find(id)), enc(dsp_encoder_find(id)), dec(dsp_decoder_find(id)) {
        EXPECT_EQ(enc->init(enc_state, fmt), 0);
        EXPECT_EQ(dec->init(dec_state, fmt), 0);
    }
};

}  // namespace

TEST(DspCodecTable, FormatsAndDescriptors) {
    for (const format_row &r : k_rows) {
        SCOPED_TRACE(r.id);
        const dsp_codec_format *f = dsp_codec_format_find(r.id);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->payload_type, r.pt);
        EXPECT_EQ(f->sample_rate, r.rate);
        EXPECT_EQ(dsp_format_frame_samples(f), r.frame_samples);
        EXPECT_EQ(dsp_format_frame_ms(f), 10);
        EXPECT_EQ(f->frame_bytes, r.frame_bytes);
        EXPECT_EQ(dsp_format_rtp_clock(f), r.rtp_clock);
        EXPECT_EQ(f->channels, 1);
        ASSERT_NE(dsp_encoder_find(r.id), nullptr);
        ASSERT_NE(dsp_decoder_find(r.id), nullptr);
        EXPECT_STREQ(dsp_encoder_find(r.id)->name, r.encoder);
        EXPECT_STREQ(dsp_decoder_find(r.id)->name, r.decoder);
        EXPECT_EQ(dsp_decoder_find(r.id)->samples_in(f, r.frame_bytes), r.frame_samples);
    }
    EXPECT_EQ(dsp_codec_format_find(0x3000000), nullptr);
    EXPECT_EQ(dsp_encoder_find(0x9999999), nullptr);
    EXPECT_EQ(dsp_decoder_find(0), nullptr);
    EXPECT_EQ(dsp_codec_format_by_pt(11, 32000)->codec_id, 0x6000003u);
    EXPECT_EQ(dsp_codec_format_by_pt(8, 8000)->codec_id, 0x1010001u);
    EXPECT_EQ(dsp_codec_format_by_pt(108, 16000), nullptr);
}

TEST(DspCodecTable, EveryCodecFillsItsFrameSize) {
    for (const format_row &r : k_rows) {
        SCOPED_TRACE(r.id);
        codec_pair c(r.id);
        std::vector<int16_t> pcm(static_cast<size_t>(r.frame_samples), 1000);
        uint8_t out[DSP_CODEC_FRAME_MAX_BYTES];
        EXPECT_EQ(c.enc->encode(c.enc_state, pcm.data(), r.frame_samples, out, sizeof(out)),
                  r.frame_bytes);
        // Too small an output buffer is refused, not overrun.
        EXPECT_EQ(c.enc->encode(c.enc_state, pcm.data(), r.frame_samples, out, r.frame_bytes - 1),
                  -1);
        std::vector<int16_t> back(static_cast<size_t>(r.frame_samples));
        EXPECT_EQ(c.dec->decode(c.dec_state, out, r.frame_bytes, back.data(), r.frame_samples),
                  r.frame_samples);
        EXPECT_EQ(c.dec->decode(c.dec_state, out, r.frame_bytes, back.data(), r.frame_samples - 1),
                  -1);
    }
}

TEST(DspL16, NetworkByteOrder) {
    codec_pair c(0x3000001);
    const int16_t pcm[4] = {0x1234, -2, 0, -32768};
    uint8_t out[8];
    ASSERT_EQ(c.enc->encode(c.enc_state, pcm, 4, out, sizeof(out)), 8);
    const uint8_t want[8] = {0x12, 0x34, 0xff, 0xfe, 0x00, 0x00, 0x80, 0x00};
    EXPECT_EQ(std::memcmp(out, want, 8), 0);
    int16_t back[4];
    ASSERT_EQ(c.dec->decode(c.dec_state, out, 8, back, 4), 4);
    EXPECT_EQ(std::memcmp(back, pcm, sizeof(pcm)), 0);
    EXPECT_EQ(c.dec->samples_in(c.fmt, 7), 3);  // odd trailing byte ignored
}

TEST(DspG711, PublishedCodeWords) {
    // u-law: segment starts of the standard table (14-bit values x 4).
    struct {
        uint8_t code;
        int16_t value;
    } ulaw[] = {{0xff, 0},      {0x7f, 0},    {0xef, 132},  {0xdf, 396},   {0xcf, 924},
                {0xbf, 1980},   {0xaf, 4092}, {0x9f, 8316}, {0x8f, 16764}, {0x80, 32124},
                {0x00, -32124}, {0x6f, -132}, {0xf0, 120},  {0x70, -120}};
    for (auto &u : ulaw) EXPECT_EQ(dsp_g711_ulaw_decode(u.code), u.value) << int(u.code);
    // A-law: segment starts (13-bit values x 8, mid-step) and the even-bit inversion.
    struct {
        uint8_t code;
        int16_t value;
    } alaw[] = {{0xd5, 8},     {0x55, -8},    {0xc5, 264},    {0xf5, 528},
                {0xe5, 1056},  {0x95, 2112},  {0x85, 4224},   {0xb5, 8448},
                {0xa5, 16896}, {0xaa, 32256}, {0x2a, -32256}, {0xda, 248}};
    for (auto &a : alaw) EXPECT_EQ(dsp_g711_alaw_decode(a.code), a.value) << int(a.code);

    struct {
        int16_t pcm;
        uint8_t ulaw, alaw;
    } enc[] = {{0, 0xff, 0xd5},   {-1, 0x7f, 0x55},   {32767, 0x80, 0xaa}, {-32768, 0x00, 0x2a},
               {132, 0xef, 0xdd}, {1000, 0xce, 0xfa}, {-1000, 0x4e, 0x7a}};
    for (auto &e : enc) {
        EXPECT_EQ(dsp_g711_ulaw_encode(e.pcm), e.ulaw) << e.pcm;
        EXPECT_EQ(dsp_g711_alaw_encode(e.pcm), e.alaw) << e.pcm;
    }
}

TEST(DspG711, CodeWordsRoundTripAndQuantiseMonotonically) {
    for (int c = 0; c < 256; c++) {
        uint8_t code = static_cast<uint8_t>(c);
        // u-law negative zero decodes to 0, which encodes as 0xff.
        if (code != 0x7f) {
            EXPECT_EQ(dsp_g711_ulaw_encode(dsp_g711_ulaw_decode(code)), code) << c;
        }
        EXPECT_EQ(dsp_g711_alaw_encode(dsp_g711_alaw_decode(code)), code) << c;
    }
    int prev_u = -32768, prev_a = -32768;
    for (int x = -32768; x <= 32767; x++) {
        int16_t s = static_cast<int16_t>(x);
        int u = dsp_g711_ulaw_decode(dsp_g711_ulaw_encode(s));
        int a = dsp_g711_alaw_decode(dsp_g711_alaw_encode(s));
        ASSERT_GE(u, prev_u) << x;
        ASSERT_GE(a, prev_a) << x;
        // Error within half a step: steps grow with the segment, about |x| / 16.
        ASSERT_LE(std::abs(u - x), std::abs(x) / 16 + 8) << x;
        ASSERT_LE(std::abs(a - x), std::abs(x) / 16 + 8) << x;
        prev_u = u;
        prev_a = a;
    }
}

TEST(DspG722, ToneRoundTripKeepsGoodSnr) {
    struct {
        uint32_t id;
        double min_snr_db;
    } rows[] = {{0x3020005, 35.0}, {0x3020006, 30.0}, {0x3020007, 25.0}};
    constexpr int k_frames = 50;
    constexpr int k_n = 160 * k_frames;
    for (auto &row : rows) {
        SCOPED_TRACE(row.id);
        codec_pair c(row.id);
        std::vector<int16_t> in(k_n), out(k_n);
        for (int i = 0; i < k_n; i++)
            in[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 1000.0 * i / 16000.0));
        for (int f = 0; f < k_frames; f++) {
            uint8_t bits[DSP_CODEC_FRAME_MAX_BYTES];
            int n = c.enc->encode(c.enc_state, &in[f * 160], 160, bits, sizeof(bits));
            ASSERT_EQ(n, c.fmt->frame_bytes);
            ASSERT_EQ(c.dec->decode(c.dec_state, bits, n, &out[f * 160], 160), 160);
        }
        // The codec delays the signal by a few samples: take the best alignment,
        // skipping the first frames while the adaptation settles.
        double best = -100;
        for (int lag = 0; lag < 64; lag++) {
            double sig = 0, err = 0;
            for (int i = 1600; i + lag < k_n; i++) {
                double d = out[i + lag] - in[i];
                sig += double(in[i]) * in[i];
                err += d * d;
            }
            double snr = 10 * std::log10(sig / (err + 1e-9));
            if (snr > best) best = snr;
        }
        EXPECT_GT(best, row.min_snr_db);
    }
}
