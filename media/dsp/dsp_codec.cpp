// The codec table: format records, encoder and decoder descriptors, lookups.
#include "media/dsp/dsp_codec.h"

#include <spandsp.h>
#include <spandsp/private/g722.h>

#include <cstring>

namespace {

constexpr int k_pt_l16 = 11;
constexpr int k_pt_pcmu = 0;
constexpr int k_pt_pcma = 8;
constexpr int k_pt_g722 = 9;

constexpr dsp_codec_format k_formats[] = {
    {DSP_CODEC_L16_8K, k_pt_l16, 8000, 0, 1, 1, 1, 160},
    {DSP_CODEC_L16_16K, k_pt_l16, 16000, 0, 1, 1, 1, 320},
    {DSP_CODEC_L16_32K, k_pt_l16, 32000, 0, 1, 1, 1, 640},
    {DSP_CODEC_PCMU, k_pt_pcmu, 8000, 80, 1, 1, 1, 80},
    {DSP_CODEC_PCMA, k_pt_pcma, 8000, 80, 1, 1, 1, 80},
    {DSP_CODEC_G722_64K, k_pt_g722, 16000, 160, 1, 2, 1, 80},
    {DSP_CODEC_G722_56K, k_pt_g722, 16000, 160, 1, 2, 1, 70},
    {DSP_CODEC_G722_48K, k_pt_g722, 16000, 160, 1, 2, 1, 60},
};

constexpr uint32_t k_l16_ids[] = {DSP_CODEC_L16_8K, DSP_CODEC_L16_16K, DSP_CODEC_L16_32K};
constexpr uint32_t k_pcmu_ids[] = {DSP_CODEC_PCMU};
constexpr uint32_t k_pcma_ids[] = {DSP_CODEC_PCMA};
constexpr uint32_t k_g722_ids[] = {DSP_CODEC_G722_64K, DSP_CODEC_G722_56K, DSP_CODEC_G722_48K};

// ---- L16: network byte order -------------------------------------------------

int l16_init(void *, const dsp_codec_format *) {
    return 0;
}

int l16_encode(void *, const int16_t *pcm, int samples, uint8_t *out, int cap) {
    if (samples < 0 || samples * 2 > cap) return -1;
    for (int i = 0; i < samples; i++) {
        uint16_t v = static_cast<uint16_t>(pcm[i]);
        out[2 * i] = static_cast<uint8_t>(v >> 8);
        out[2 * i + 1] = static_cast<uint8_t>(v);
    }
    return samples * 2;
}

int l16_decode(void *, const uint8_t *in, int bytes, int16_t *pcm, int cap) {
    int samples = bytes / 2;
    if (bytes < 0 || samples > cap) return -1;
    for (int i = 0; i < samples; i++) {
        pcm[i] = static_cast<int16_t>((in[2 * i] << 8) | in[2 * i + 1]);
    }
    return samples;
}

int l16_samples_in(const dsp_codec_format *, int bytes) {
    return bytes > 0 ? bytes / 2 : 0;
}

// ---- G.711 ---------------------------------------------------------------------

int g711_init(void *, const dsp_codec_format *) {
    return 0;
}

template <uint8_t (*Enc)(int16_t)>
int g711_encode(void *, const int16_t *pcm, int samples, uint8_t *out, int cap) {
    if (samples < 0 || samples > cap) return -1;
    for (int i = 0; i < samples; i++) out[i] = Enc(pcm[i]);
    return samples;
}

template <int16_t (*Dec)(uint8_t)>
int g711_decode(void *, const uint8_t *in, int bytes, int16_t *pcm, int cap) {
    if (bytes < 0 || bytes > cap) return -1;
    for (int i = 0; i < bytes; i++) pcm[i] = Dec(in[i]);
    return bytes;
}

int g711_samples_in(const dsp_codec_format *, int bytes) {
    return bytes > 0 ? bytes : 0;
}

// ---- G.722 through spandsp ------------------------------------------------------

static_assert(sizeof(g722_encode_state_t) <= DSP_CODEC_STATE_MAX, "G.722 encoder state fits");
static_assert(sizeof(g722_decode_state_t) <= DSP_CODEC_STATE_MAX, "G.722 decoder state fits");

constexpr int k_g722_64k = 64000;
constexpr int k_g722_codes_per_byte_64k = 2;  // 8 bits carry one code word of 2 samples

int g722_bit_rate(const dsp_codec_format *fmt) {
    return fmt->frame_bytes * 8 * 100;  // bytes per 10 ms -> bit/s
}

// 56 and 48 kbit/s code words are 7 and 6 bits: packed so that a 10 ms
// frame is 70 or 60 bytes.
int g722_options(int bit_rate) {
    return bit_rate == k_g722_64k ? 0 : G722_PACKED;
}

int g722_enc_init(void *state, const dsp_codec_format *fmt) {
    int rate = g722_bit_rate(fmt);
    auto *s = static_cast<g722_encode_state_t *>(state);
    return g722_encode_init(s, rate, g722_options(rate)) != nullptr ? 0 : -1;
}

int g722_dec_init(void *state, const dsp_codec_format *fmt) {
    int rate = g722_bit_rate(fmt);
    auto *s = static_cast<g722_decode_state_t *>(state);
    return g722_decode_init(s, rate, g722_options(rate)) != nullptr ? 0 : -1;
}

int g722_bits_per_code(const g722_encode_state_t *s) {
    return s->bits_per_sample;
}

int g722_encode_frame(void *state, const int16_t *pcm, int samples, uint8_t *out, int cap) {
    auto *s = static_cast<g722_encode_state_t *>(state);
    // One code word per two samples.
    int need = (samples / 2 * g722_bits_per_code(s) + 7) / 8;
    if (samples < 0 || samples % 2 != 0 || need > cap) return -1;
    return g722_encode(s, out, pcm, samples);
}

int g722_samples_in(const dsp_codec_format *fmt, int bytes) {
    if (bytes <= 0) return 0;
    int bits = g722_bit_rate(fmt) / 8000;  // bits per code word: 8, 7, 6
    return bytes * 8 / bits * k_g722_codes_per_byte_64k;
}

int g722_decode_frame(void *state, const uint8_t *in, int bytes, int16_t *pcm, int cap) {
    auto *s = static_cast<g722_decode_state_t *>(state);
    int codes = bytes * 8 / s->bits_per_sample;
    if (bytes < 0 || codes * 2 > cap) return -1;
    return g722_decode(s, pcm, in, bytes);
}

// ---- Descriptors ----------------------------------------------------------------

#define COUNT_OF(a) static_cast<int>(sizeof(a) / sizeof((a)[0]))

const dsp_encoder k_encoders[] = {
    {"L16 Encoder", 0, l16_init, l16_encode, k_l16_ids, COUNT_OF(k_l16_ids)},
    {"G.711u Encoder", 0, g711_init, g711_encode<dsp_g711_ulaw_encode>, k_pcmu_ids,
     COUNT_OF(k_pcmu_ids)},
    {"G.711a Encoder", 0, g711_init, g711_encode<dsp_g711_alaw_encode>, k_pcma_ids,
     COUNT_OF(k_pcma_ids)},
    {"G.722 Encoder for 64/56/48kbps", DSP_CODEC_STATE_MAX, g722_enc_init, g722_encode_frame,
     k_g722_ids, COUNT_OF(k_g722_ids)},
};

const dsp_decoder k_decoders[] = {
    {"L16 Decoder", 0, l16_init, l16_decode, l16_samples_in, k_l16_ids, COUNT_OF(k_l16_ids)},
    {"G.711u Decoder", 0, g711_init, g711_decode<dsp_g711_ulaw_decode>, g711_samples_in, k_pcmu_ids,
     COUNT_OF(k_pcmu_ids)},
    {"G.711a Decoder", 0, g711_init, g711_decode<dsp_g711_alaw_decode>, g711_samples_in, k_pcma_ids,
     COUNT_OF(k_pcma_ids)},
    {"G.722 Decoder for 64/56/48kbps", DSP_CODEC_STATE_MAX, g722_dec_init, g722_decode_frame,
     g722_samples_in, k_g722_ids, COUNT_OF(k_g722_ids)},
};

bool serves(const uint32_t *ids, int count, uint32_t codec_id) {
    for (int i = 0; i < count; i++) {
        if (ids[i] == codec_id) return true;
    }
    return false;
}

}  // namespace

int dsp_format_frame_samples(const dsp_codec_format *f) {
    return f->frame_samples > 0 ? f->frame_samples : f->sample_rate / 100;
}

int dsp_format_frame_ms(const dsp_codec_format *f) {
    return dsp_format_frame_samples(f) * 10 / (f->sample_rate / 100);
}

int dsp_format_rtp_clock(const dsp_codec_format *f) {
    return f->sample_rate * f->clock_num / f->clock_den;
}

const dsp_codec_format *dsp_codec_format_find(uint32_t codec_id) {
    for (const dsp_codec_format &f : k_formats) {
        if (f.codec_id == codec_id) return &f;
    }
    return nullptr;
}

const dsp_codec_format *dsp_codec_format_by_pt(int payload_type, int sample_rate) {
    const dsp_codec_format *first = nullptr;
    for (const dsp_codec_format &f : k_formats) {
        if (f.payload_type != payload_type) continue;
        if (f.sample_rate == sample_rate) return &f;
        if (first == nullptr) first = &f;
    }
    return first;
}

const dsp_encoder *dsp_encoder_find(uint32_t codec_id) {
    for (const dsp_encoder &e : k_encoders) {
        if (serves(e.formats, e.format_count, codec_id)) return &e;
    }
    return nullptr;
}

const dsp_decoder *dsp_decoder_find(uint32_t codec_id) {
    for (const dsp_decoder &d : k_decoders) {
        if (serves(d.formats, d.format_count, codec_id)) return &d;
    }
    return nullptr;
}
