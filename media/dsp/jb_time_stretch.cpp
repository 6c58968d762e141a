#include "media/dsp/jb_time_stretch.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int k_search_win_8k = 60;  // 7.5 ms correlation window for the lag search

// The cycle length to remove or insert, or 0 when the audio should be left alone.
int stretch_lag(const int16_t *in, int n, int fs_mult) {
    const int fs = std::max(1, fs_mult);
    if (n < k_jb_stretch_min_input_8k * fs) return 0;
    const jb_pitch p = jb_pitch_search(in, +1, k_search_win_8k * fs, k_jb_pitch_min_lag_8k * fs,
                                       k_jb_pitch_max_lag_8k * fs, fs);
    const int lag = p.lag;
    const int c = jb_norm_corr_q14(in, in + lag, lag, 1);
    if (c >= k_jb_stretch_min_corr_q14) return lag;
    if (jb_rms(in, 2 * lag) < k_jb_stretch_quiet_rms) return lag;
    return 0;
}

}  // namespace

int jb_accelerate(const int16_t *in, int n, int16_t *out, int fs_mult, int *removed) {
    const int lag = stretch_lag(in, n, fs_mult);
    *removed = lag;
    if (lag == 0) {
        std::memcpy(out, in, sizeof(int16_t) * static_cast<size_t>(n));
        return n;
    }
    // Cycle 1 fades out while cycle 2 fades in; the rest follows cycle 2.
    for (int i = 0; i < lag; ++i) {
        const float w = static_cast<float>(i) / static_cast<float>(lag);
        out[i] = jb_sat16((1.0f - w) * in[i] + w * in[lag + i]);
    }
    std::memcpy(out + lag, in + 2 * lag, sizeof(int16_t) * static_cast<size_t>(n - 2 * lag));
    return n - lag;
}

int jb_preemptive_expand(const int16_t *in, int n, int16_t *out, int out_cap, int fs_mult,
                         int *inserted) {
    int lag = stretch_lag(in, n, fs_mult);
    if (n + lag > out_cap) lag = 0;
    *inserted = lag;
    if (lag == 0) {
        const int copy = std::min(n, out_cap);
        std::memcpy(out, in, sizeof(int16_t) * static_cast<size_t>(copy));
        return copy;
    }
    // Cycle 1, then a cycle that fades from cycle 2 back into cycle 1, then
    // cycle 2 onwards: one extra cycle, continuous at both joints.
    std::memcpy(out, in, sizeof(int16_t) * static_cast<size_t>(lag));
    for (int i = 0; i < lag; ++i) {
        const float w = static_cast<float>(i) / static_cast<float>(lag);
        out[lag + i] = jb_sat16((1.0f - w) * in[lag + i] + w * in[i]);
    }
    std::memcpy(out + 2 * lag, in + lag, sizeof(int16_t) * static_cast<size_t>(n - lag));
    return n + lag;
}
