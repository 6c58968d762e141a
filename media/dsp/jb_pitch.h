// Pitch-period search by normalised correlation, shared by concealment,
// merge and time stretching. A coarse search on every fs_mult-th sample
// (the 8000 Hz grid) is refined at full resolution.
#pragma once

#include <cstdint>

constexpr int k_jb_q14_one = 16384;  // gains and correlations, Q14
// Pitch lags searched, per 8000 Hz: 2.5 ms to 15 ms.
constexpr int k_jb_pitch_min_lag_8k = 20;
constexpr int k_jb_pitch_max_lag_8k = 120;

struct jb_pitch {
    int lag;       // samples at the working rate
    int corr_q14;  // normalised correlation at that lag, Q14 (negative allowed)
};

// Compares the window ref[0..win) with ref[dir*lag .. dir*lag+win) for lag in
// [min_lag, max_lag]; dir is +1 (later audio) or -1 (earlier audio). The caller
// guarantees every touched sample exists.
jb_pitch jb_pitch_search(const int16_t *ref, int dir, int win, int min_lag, int max_lag,
                         int fs_mult);

// Normalised correlation of a[0..n) and b[0..n), Q14; 0 when either is silent.
int jb_norm_corr_q14(const int16_t *a, const int16_t *b, int n, int step);

// Root-mean-square of x[0..n).
float jb_rms(const int16_t *x, int n);

inline int16_t jb_sat16(float v) {
    if (v > 32767.0f) return 32767;
    if (v < -32768.0f) return -32768;
    return static_cast<int16_t>(v >= 0 ? v + 0.5f : v - 0.5f);
}
