// libdsp codec identifiers, format records and the codec table (encoder and
// decoder descriptors for L16, G.711 u-law/A-law and G.722).
#pragma once

#include <cstdint>

// Codec id: bits 24-31 rate class (1 = 8000, 3 = 16000, 6 = 32000 Hz),
// bits 16-23 family (0 linear PCM, 1 G.711, 2 G.722), bits 0-7 variant.
constexpr uint32_t DSP_CODEC_L16_8K = 0x1000000;
constexpr uint32_t DSP_CODEC_L16_16K = 0x3000001;
constexpr uint32_t DSP_CODEC_L16_32K = 0x6000003;
constexpr uint32_t DSP_CODEC_PCMU = 0x1010000;
constexpr uint32_t DSP_CODEC_PCMA = 0x1010001;
constexpr uint32_t DSP_CODEC_G722_64K = 0x3020005;
constexpr uint32_t DSP_CODEC_G722_56K = 0x3020006;
constexpr uint32_t DSP_CODEC_G722_48K = 0x3020007;

constexpr uint32_t DSP_CODEC_FAMILY_L16 = 0;
constexpr uint32_t DSP_CODEC_FAMILY_G711 = 1;
constexpr uint32_t DSP_CODEC_FAMILY_G722 = 2;
inline uint32_t dsp_codec_family(uint32_t id) {
    return (id >> 16) & 0xff;
}

// Largest codec state any descriptor needs (G.722).
constexpr uint32_t DSP_CODEC_STATE_MAX = 448;
// Largest encoded 10 ms frame (L16 at 48000 Hz would be 960; the table stops at 640).
constexpr int DSP_CODEC_FRAME_MAX_BYTES = 960;

struct dsp_codec_format {
    uint32_t codec_id;
    int payload_type;   // static RTP payload type
    int sample_rate;    // Hz
    int frame_samples;  // samples per codec frame; 0 = one 10 ms frame
    int clock_num;      // RTP clock scale = clock_num / clock_den
    int clock_den;
    int channels;
    int frame_bytes;  // encoded bytes per codec frame
};

// Samples in one codec frame (resolves the 0 = 10 ms convention).
int dsp_format_frame_samples(const dsp_codec_format *f);
// Frame duration in ms: frame samples * 10 / (rate / 100).
int dsp_format_frame_ms(const dsp_codec_format *f);
// RTP clock rate in Hz (G.722: 8000).
int dsp_format_rtp_clock(const dsp_codec_format *f);

// Encoder: encode `samples` PCM samples (whole frames) into `out` (capacity
// `cap`) -> bytes written, or -1.
struct dsp_encoder {
    const char *name;
    uint32_t state_size;
    int (*init)(void *state, const dsp_codec_format *fmt);  // -> 0 or -1
    int (*encode)(void *state, const int16_t *pcm, int samples, uint8_t *out, int cap);
    const uint32_t *formats;
    int format_count;
};

// Decoder: decode `bytes` of payload into `pcm` (capacity `cap` samples) ->
// samples written, or -1. samples_in tells how many samples a payload holds.
struct dsp_decoder {
    const char *name;
    uint32_t state_size;
    int (*init)(void *state, const dsp_codec_format *fmt);  // -> 0 or -1
    int (*decode)(void *state, const uint8_t *payload, int bytes, int16_t *pcm, int cap);
    int (*samples_in)(const dsp_codec_format *fmt, int bytes);
    const uint32_t *formats;
    int format_count;
};

// Lookups walk the table and return the first match, or null.
const dsp_codec_format *dsp_codec_format_find(uint32_t codec_id);
const dsp_codec_format *dsp_codec_format_by_pt(int payload_type, int sample_rate);
const dsp_encoder *dsp_encoder_find(uint32_t codec_id);
const dsp_decoder *dsp_decoder_find(uint32_t codec_id);

// G.711 per sample (published ITU-T algorithm).
uint8_t dsp_g711_ulaw_encode(int16_t pcm);
int16_t dsp_g711_ulaw_decode(uint8_t code);
uint8_t dsp_g711_alaw_encode(int16_t pcm);
int16_t dsp_g711_alaw_decode(uint8_t code);
