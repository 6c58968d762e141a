#include "media/dsp/jb_expand.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr int k_frame_8k = 80;    // 10 ms
constexpr int k_junction_8k = 8;  // 1 ms to blend the first sample onto the last
// Level left after each further 10 ms of concealment: unvoiced audio fades
// faster than voiced audio.
constexpr float k_decay_unvoiced = 0.6f;
constexpr float k_decay_voiced_extra = 0.2f;
constexpr uint32_t k_seed = 0x9E3779B9u;

}  // namespace

void jb_expand_reset(jb_expand *ex, int fs_mult) {
    std::memset(ex, 0, sizeof(*ex));
    ex->fs_mult = std::clamp(fs_mult, 1, k_jb_max_fs_mult);
    ex->seed = k_seed;
    ex->lag = k_jb_pitch_min_lag_8k * ex->fs_mult;
}

void jb_expand_start(jb_expand *ex, const int16_t *hist_end, int hist_len, int fast_fade) {
    const int fs = ex->fs_mult;
    const int frame = k_frame_8k * fs;
    const int win = k_jb_expand_win_8k * fs;
    const int min_lag = k_jb_pitch_min_lag_8k * fs;
    const int max_lag = k_jb_pitch_max_lag_8k * fs;

    ex->active = 1;
    ex->phase = 0;
    ex->mute = 1.0f;
    ex->mute_step = 0.0f;
    if (hist_len >= max_lag + win) {
        const jb_pitch p = jb_pitch_search(hist_end - win, -1, win, min_lag, max_lag, fs);
        ex->lag = p.lag;
        ex->voiced = std::clamp(static_cast<float>(p.corr_q14) / k_jb_q14_one, 0.0f, 1.0f);
        ex->signal_rms = jb_rms(hist_end - max_lag, max_lag);
    } else {
        // Too little history to find a pitch: noise at the level that is there.
        ex->lag = std::max(1, std::min(hist_len, min_lag));
        ex->voiced = 0.0f;
        ex->signal_rms = hist_len > 0 ? jb_rms(hist_end - ex->lag, ex->lag) : 0.0f;
    }
    if (hist_len > 0) {
        std::memcpy(ex->cycle, hist_end - ex->lag, sizeof(int16_t) * static_cast<size_t>(ex->lag));
    } else {
        std::memset(ex->cycle, 0, sizeof(ex->cycle));
    }

    const float decay = k_decay_unvoiced + k_decay_voiced_extra * ex->voiced;
    ex->mute_factor = std::pow(decay, 1.0f / static_cast<float>(frame));
    ex->full_level_left = frame;
    if (fast_fade) {
        ex->full_level_left = 0;
        ex->mute_step = 1.0f / static_cast<float>(frame);
    }

    // Blend the start onto the last played sample, extrapolated by its slope.
    ex->junction = 0.0f;
    ex->junction_left = 0;
    if (hist_len >= 2) {
        const float predicted = 2.0f * hist_end[-1] - hist_end[-2];
        ex->junction = predicted - static_cast<float>(ex->voiced * ex->cycle[0]);
        ex->junction_left = k_junction_8k * fs;
    }
}

void jb_expand_generate(jb_expand *ex, jb_bgn *bgn, int16_t *out, int n) {
    const float a = ex->voiced;
    const float b = std::sqrt(std::max(0.0f, 1.0f - a * a)) * ex->signal_rms;
    const int junction_len = k_junction_8k * ex->fs_mult;
    for (int i = 0; i < n; ++i) {
        float v = a * ex->cycle[ex->phase];
        if (b > 0.0f) v += b * jb_noise_unit(&ex->seed);
        if (ex->junction_left > 0) {
            v += ex->junction * static_cast<float>(ex->junction_left) /
                 static_cast<float>(junction_len);
            ex->junction_left--;
        }
        if (++ex->phase >= ex->lag) ex->phase = 0;

        const float noise = ex->mute < 1.0f ? jb_bgn_sample(bgn) : 0.0f;
        out[i] = jb_sat16(ex->mute * v + (1.0f - ex->mute) * noise);

        if (ex->full_level_left > 0) {
            ex->full_level_left--;
        } else if (ex->mute_step > 0.0f) {
            ex->mute = std::max(0.0f, ex->mute - ex->mute_step);
        } else {
            ex->mute *= ex->mute_factor;
        }
    }
}
