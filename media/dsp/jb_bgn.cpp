#include "media/dsp/jb_bgn.h"

#include <algorithm>
#include <cmath>

#include "media/dsp/jb_pitch.h"

namespace {

// The estimate follows quieter frames at once (halfway per frame) and rises
// only slowly, by this factor per frame, so speech does not pull it up.
constexpr float k_rise_per_frame = 1.02f;
constexpr float k_fall_mix = 0.5f;
// Frames up to this multiple of the estimate count as noise for the tilt.
constexpr float k_noise_frame_ratio = 2.0f;
constexpr float k_tilt_mix = 0.1f;
constexpr float k_tilt_max = 0.95f;
constexpr uint32_t k_seed = 0x2545F491u;
// Linear congruential generator (Numerical Recipes constants).
constexpr uint32_t k_lcg_mul = 1664525u;
constexpr uint32_t k_lcg_add = 1013904223u;
// Sum of four uniforms has variance 4/12: scale to unit variance.
constexpr float k_four_uniform_scale = 1.7320508f;

}  // namespace

float jb_noise_unit(uint32_t *seed) {
    float acc = 0.0f;
    for (int i = 0; i < 4; ++i) {
        *seed = *seed * k_lcg_mul + k_lcg_add;
        acc += static_cast<float>(*seed >> 8) / static_cast<float>(1 << 24) - 0.5f;
    }
    return acc * k_four_uniform_scale;
}

void jb_bgn_reset(jb_bgn *b) {
    b->rms = 0.0f;
    b->tilt = 0.0f;
    b->lp_state = 0.0f;
    b->seed = k_seed;
    b->valid = 0;
}

void jb_bgn_update(jb_bgn *b, const int16_t *x, int n) {
    if (n < 2) return;
    const float rms = jb_rms(x, n);
    if (!b->valid) {
        b->rms = rms;
        b->valid = 1;
    } else if (rms < b->rms) {
        b->rms = k_fall_mix * b->rms + (1.0f - k_fall_mix) * rms;
    } else {
        b->rms = std::min(rms, b->rms * k_rise_per_frame);
    }
    if (rms <= k_noise_frame_ratio * b->rms && rms > 0.0f) {
        const int r1 = jb_norm_corr_q14(x, x + 1, n - 1, 1);
        const float r = std::clamp(static_cast<float>(r1) / k_jb_q14_one, 0.0f, k_tilt_max);
        b->tilt = (1.0f - k_tilt_mix) * b->tilt + k_tilt_mix * r;
    }
}

float jb_bgn_sample(jb_bgn *b) {
    const float w = jb_noise_unit(&b->seed);
    // One-pole colouring with unit output variance.
    const float gain = std::sqrt(1.0f - b->tilt * b->tilt);
    b->lp_state = b->tilt * b->lp_state + gain * w;
    return b->lp_state * b->rms;
}
