// The codec table: format records, encoder and decoder descriptors, lookups.
#include "media/dsp/dsp_codec.h"

#include <spandsp.h>
#include <spandsp/private/g722.h>  // state sizes, so the state lives in our buffer

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
//
// spandsp runs unpacked (one code word per byte, in its low bits). At 56 and
// 48 kbit/s the 7- and 6-bit code words are packed here, least significant bit
// first, so that a 10 ms frame is exactly 70 or 60 bytes and every frame
// decodes on its own (no bits carried over to the next packet).

constexpr int k_g722_chunk_codes = 80;  // code words per 10 ms (two samples each)
constexpr int k_g722_samples_per_code = 2;
constexpr int k_g722_code_rate = 8000;  // code words per second

struct g722_enc {
    g722_encode_state_t st;
    int bits;  // per code word: 8, 7 or 6
    uint8_t codes[k_g722_chunk_codes];
};

struct g722_dec {
    g722_decode_state_t st;
    int bits;
    uint8_t codes[k_g722_chunk_codes];
};

static_assert(sizeof(g722_enc) <= DSP_CODEC_STATE_MAX, "G.722 encoder state fits");
static_assert(sizeof(g722_dec) <= DSP_CODEC_STATE_MAX, "G.722 decoder state fits");

int g722_bit_rate(const dsp_codec_format *fmt) {
    return fmt->frame_bytes * 8 * 100;  // bytes per 10 ms -> bit/s
}

int g722_enc_init(void *state, const dsp_codec_format *fmt) {
    auto *e = static_cast<g722_enc *>(state);
    int rate = g722_bit_rate(fmt);
    e->bits = rate / k_g722_code_rate;
    return g722_encode_init(&e->st, rate, 0) != nullptr ? 0 : -1;
}

int g722_dec_init(void *state, const dsp_codec_format *fmt) {
    auto *d = static_cast<g722_dec *>(state);
    int rate = g722_bit_rate(fmt);
    d->bits = rate / k_g722_code_rate;
    return g722_decode_init(&d->st, rate, 0) != nullptr ? 0 : -1;
}

int g722_packed_bytes(int codes, int bits) {
    return (codes * bits + 7) / 8;
}

int g722_encode_frame(void *state, const int16_t *pcm, int samples, uint8_t *out, int cap) {
    auto *e = static_cast<g722_enc *>(state);
    if (samples < 0 || samples % k_g722_samples_per_code != 0) return -1;
    int codes_total = samples / k_g722_samples_per_code;
    if (g722_packed_bytes(codes_total, e->bits) > cap) return -1;
    uint32_t acc = 0;
    int acc_bits = 0;
    int len = 0;
    for (int done = 0; done < codes_total;) {
        int n = codes_total - done;
        if (n > k_g722_chunk_codes) n = k_g722_chunk_codes;
        int got = g722_encode(&e->st, e->codes, pcm + done * k_g722_samples_per_code,
                              n * k_g722_samples_per_code);
        if (got != n) return -1;
        for (int i = 0; i < n; i++) {
            acc |= static_cast<uint32_t>(e->codes[i]) << acc_bits;
            acc_bits += e->bits;
            while (acc_bits >= 8) {
                out[len++] = static_cast<uint8_t>(acc);
                acc >>= 8;
                acc_bits -= 8;
            }
        }
        done += n;
    }
    if (acc_bits > 0) out[len++] = static_cast<uint8_t>(acc);
    return len;
}

int g722_samples_in(const dsp_codec_format *fmt, int bytes) {
    if (bytes <= 0) return 0;
    int bits = g722_bit_rate(fmt) / k_g722_code_rate;
    return bytes * 8 / bits * k_g722_samples_per_code;
}

int g722_decode_frame(void *state, const uint8_t *in, int bytes, int16_t *pcm, int cap) {
    auto *d = static_cast<g722_dec *>(state);
    if (bytes < 0) return -1;
    int codes_total = bytes * 8 / d->bits;
    if (codes_total * k_g722_samples_per_code > cap) return -1;
    uint32_t mask = (1u << d->bits) - 1;
    uint32_t acc = 0;
    int acc_bits = 0;
    int pos = 0;
    int out = 0;
    for (int done = 0; done < codes_total;) {
        int n = codes_total - done;
        if (n > k_g722_chunk_codes) n = k_g722_chunk_codes;
        for (int i = 0; i < n; i++) {
            while (acc_bits < d->bits) {
                acc |= static_cast<uint32_t>(in[pos++]) << acc_bits;
                acc_bits += 8;
            }
            d->codes[i] = static_cast<uint8_t>(acc & mask);
            acc >>= d->bits;
            acc_bits -= d->bits;
        }
        out += g722_decode(&d->st, pcm + out, d->codes, n);
        done += n;
    }
    return out;
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
