// Shared pieces of the receive-engine benchmarks: a speech-like test signal,
// RTP packet building and a receive context set up like the program's.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "media/dsp/dsp_codec.h"
#include "media/dsp/dsp_engine.h"
#include "media/dsp/rx_engine.h"

namespace bench_rx {

constexpr int k_pt = 108;
constexpr int k_rtp_header = 12;
constexpr double k_pi = 3.14159265358979323846;

// Voiced "syllables" with a gliding pitch, pauses with quiet noise between
// them: something the time stretching and concealment can work on.
inline std::vector<int16_t> speech_like(int rate, int samples, uint32_t seed) {
    std::vector<int16_t> x(static_cast<size_t>(samples));
    double phase = 0;
    uint32_t s = seed;
    for (int i = 0; i < samples; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double f0 = 140 + 60 * std::sin(2 * k_pi * 0.7 * t);
        phase += 2 * k_pi * f0 / rate;
        const double syllable = std::sin(k_pi * std::fmod(t, 0.4) / 0.4);
        const double env = std::fmod(t, 1.6) < 1.2 ? syllable * syllable : 0.0;
        double v = 0;
        for (int h = 1; h <= 6; ++h) v += std::sin(h * phase) / h;
        s = s * 1664525u + 1013904223u;
        const double noise = (static_cast<double>(s >> 8) / (1 << 24) - 0.5) * 120;
        x[static_cast<size_t>(i)] = static_cast<int16_t>(7000 * env * v / 2.45 + noise);
    }
    return x;
}

inline int build_rtp(uint8_t *buf, uint16_t seq, uint32_t ts, uint32_t ssrc, const int16_t *pcm,
                     int samples) {
    const uint8_t header[k_rtp_header] = {0x80,
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
    std::memcpy(buf, header, k_rtp_header);
    for (int i = 0; i < samples; ++i) {
        const uint16_t v = static_cast<uint16_t>(pcm[i]);
        buf[k_rtp_header + 2 * i] = static_cast<uint8_t>(v >> 8);
        buf[k_rtp_header + 2 * i + 1] = static_cast<uint8_t>(v);
    }
    return k_rtp_header + 2 * samples;
}

// A receive context in its own block, reset for L16 at `rate`.
struct rx_instance {
    std::vector<uint64_t> block;
    dsp_pcm out{};
    dsp_ctx *ctx = nullptr;

    int setup(int rate, int min_ms, int max_ms, int start_ms) {
        uint32_t size = 0;
        dsp_rx_engine.get_size(&size);
        block.assign(size / sizeof(uint64_t) + 1, 0);
        ctx = reinterpret_cast<dsp_ctx *>(block.data());
        dsp_rx_engine.init(ctx);
        if (dsp_pcm_setup(&out, rate) != 0) return -1;
        dsp_rx_params &p = reinterpret_cast<dsp_rx_ctx_head *>(ctx)->params;
        p.out1 = &out;
        p.codec_id = rate == 32000 ? DSP_CODEC_L16_32K : DSP_CODEC_L16_16K;
        p.voice_pt = k_pt;
        p.command_flags = DSP_CMD_START;
        p.min_delay_ms = min_ms;
        p.max_delay_ms = max_ms;
        p.start_delay_ms = start_ms;
        return ctx->reset(ctx);
    }
};

}  // namespace bench_rx
