// G.711 u-law and A-law, per the published ITU-T segment tables: a sign bit,
// a 3-bit segment (exponent) and a 4-bit step within the segment.
#include <cstdint>

#include "media/dsp/dsp_codec.h"

namespace {
constexpr int k_ulaw_bias = 0x84;           // 33 << 2: shifts segment edges to powers of two
constexpr int k_ulaw_clip = 32635;          // largest magnitude that still fits with the bias
constexpr int k_alaw_max13 = 0xfff;         // A-law works on 13-bit magnitudes
constexpr uint8_t k_alaw_even_bits = 0x55;  // A-law inverts the even bits on the line

// Index of the highest set bit of v (v > 0).
int top_bit(int v) {
    int n = 0;
    while (v > 1) {
        v >>= 1;
        n++;
    }
    return n;
}
}  // namespace

uint8_t dsp_g711_ulaw_encode(int16_t pcm) {
    int v = pcm;
    uint8_t sign = 0;
    if (v < 0) {
        v = -v;
        sign = 0x80;
    }
    if (v > k_ulaw_clip) v = k_ulaw_clip;
    v += k_ulaw_bias;
    // Biased magnitudes span bits 7..14: segment = position above bit 7.
    int segment = top_bit(v) - 7;
    int step = (v >> (segment + 3)) & 0x0f;
    return static_cast<uint8_t>(~(sign | (segment << 4) | step));
}

int16_t dsp_g711_ulaw_decode(uint8_t code) {
    code = static_cast<uint8_t>(~code);
    int segment = (code >> 4) & 0x07;
    int v = (((code & 0x0f) << 3) + k_ulaw_bias) << segment;
    v -= k_ulaw_bias;
    return static_cast<int16_t>((code & 0x80) ? -v : v);
}

uint8_t dsp_g711_alaw_encode(int16_t pcm) {
    int v = pcm >> 3;  // 13-bit
    uint8_t sign = 0x80;
    if (v < 0) {
        v = ~v;  // one's complement keeps -1 .. -4096 on the 0 .. 4095 steps
        sign = 0;
    }
    if (v > k_alaw_max13) v = k_alaw_max13;
    int code;
    if (v < 32) {
        code = v >> 1;
    } else {
        int segment = top_bit(v) - 4;  // 32..63 -> 1, ... 2048..4095 -> 7
        code = (segment << 4) | ((v >> segment) & 0x0f);
    }
    return static_cast<uint8_t>((sign | code) ^ k_alaw_even_bits);
}

int16_t dsp_g711_alaw_decode(uint8_t code) {
    code ^= k_alaw_even_bits;
    int segment = (code >> 4) & 0x07;
    int v = ((code & 0x0f) << 4) + 8;  // middle of the step
    if (segment >= 1) v += 0x100;      // implied leading one
    if (segment > 1) v <<= segment - 1;
    return static_cast<int16_t>((code & 0x80) ? v : -v);
}
