// Energy voice-activity detector with an adaptive noise floor.
#include "media/dsp/dsp_vad.h"

#include <cmath>
#include <cstring>

namespace {
constexpr float k_silence_db = -96.0f;      // floor of the energy scale (16-bit)
constexpr float k_speech_margin_db = 9.0f;  // above the noise floor counts as speech
constexpr float k_min_speech_db = -55.0f;   // quieter frames are never speech
constexpr float k_floor_rise_db = 0.1f;     // per frame: slow rise while loud
constexpr int k_hangover_frames = 20;       // 200 ms of speech kept after the energy drops
constexpr float k_full_scale = 32768.0f;
constexpr int k_cn_level_max = 127;

int vad_get_size(uint32_t *size) {
    *size = DSP_VAD_CTX_SIZE;
    return 0;
}

int vad_init(dsp_ctx *ctx) {
    std::memset(ctx, 0, DSP_VAD_CTX_SIZE);
    dsp_ctx_header_init(ctx, &dsp_vad_engine);
    return 0;
}

int vad_reset(dsp_ctx *ctx) {
    auto *v = reinterpret_cast<dsp_vad *>(ctx);
    v->s.speech = 0;
    v->s.hangover = 0;
    v->s.frames_seen = 0;
    v->s.noise_db = k_silence_db;
    v->s.frame_db = k_silence_db;
    ctx->state = DSP_STATE_RUNNING;
    return 0;
}

int vad_process(dsp_ctx *ctx) {
    auto *v = reinterpret_cast<dsp_vad *>(ctx);
    if (v->s.frame == nullptr || v->s.frame_samples <= 0) return 0;
    dsp_vad_frame(v, v->s.frame, v->s.frame_samples);
    return 0;
}

float frame_energy_db(const int16_t *pcm, int samples) {
    double sum = 0;
    for (int i = 0; i < samples; i++) sum += static_cast<double>(pcm[i]) * pcm[i];
    double mean = sum / samples / (static_cast<double>(k_full_scale) * k_full_scale);
    if (mean <= 1e-10) return k_silence_db;
    return static_cast<float>(10.0 * std::log10(mean));
}
}  // namespace

const dsp_engine_ops dsp_vad_engine = {vad_get_size, vad_init, vad_reset,
                                       vad_process,  nullptr,  nullptr};

int dsp_vad_frame(dsp_vad *vad, const int16_t *pcm, int samples) {
    dsp_vad_state &s = vad->s;
    float db = samples > 0 ? frame_energy_db(pcm, samples) : k_silence_db;
    s.frame_db = db;
    if (s.frames_seen == 0 || db < s.noise_db) {
        s.noise_db = db;  // the floor follows quiet frames at once
    } else {
        s.noise_db += k_floor_rise_db;  // and creeps up under steady noise
        if (s.noise_db > db) s.noise_db = db;
    }
    s.frames_seen++;
    bool loud = db > s.noise_db + k_speech_margin_db && db > k_min_speech_db;
    if (loud) {
        s.hangover = k_hangover_frames;
        s.speech = 1;
    } else if (s.hangover > 0) {
        s.hangover--;
        s.speech = 1;
    } else {
        s.speech = 0;
    }
    return s.speech;
}

int dsp_vad_cn_descriptor(const dsp_vad *vad, uint8_t *out, int cap) {
    if (cap < 1) return -1;
    int level = static_cast<int>(std::lround(-vad->s.noise_db));
    if (level < 0) level = 0;
    if (level > k_cn_level_max) level = k_cn_level_max;
    out[0] = static_cast<uint8_t>(level);
    return 1;
}
