#include "media/dsp/jb_pitch.h"

#include <algorithm>
#include <cmath>

int jb_norm_corr_q14(const int16_t *a, const int16_t *b, int n, int step) {
    int64_t ab = 0;
    int64_t aa = 0;
    int64_t bb = 0;
    for (int i = 0; i < n; i += step) {
        ab += static_cast<int32_t>(a[i]) * b[i];
        aa += static_cast<int32_t>(a[i]) * a[i];
        bb += static_cast<int32_t>(b[i]) * b[i];
    }
    if (aa == 0 || bb == 0) return 0;
    const double c =
        static_cast<double>(ab) / std::sqrt(static_cast<double>(aa) * static_cast<double>(bb));
    return static_cast<int>(c * k_jb_q14_one);
}

jb_pitch jb_pitch_search(const int16_t *ref, int dir, int win, int min_lag, int max_lag,
                         int fs_mult) {
    jb_pitch best{min_lag, -2 * k_jb_q14_one};
    const int step = std::max(1, fs_mult);
    // Coarse: every step-th lag on the decimated grid.
    for (int lag = min_lag; lag <= max_lag; lag += step) {
        const int c = jb_norm_corr_q14(ref, ref + dir * lag, win, step);
        if (c > best.corr_q14) best = {lag, c};
    }
    // Fine: full resolution around the coarse winner.
    const int lo = std::max(min_lag, best.lag - step + 1);
    const int hi = std::min(max_lag, best.lag + step - 1);
    jb_pitch fine{best.lag, -2 * k_jb_q14_one};
    for (int lag = lo; lag <= hi; ++lag) {
        const int c = jb_norm_corr_q14(ref, ref + dir * lag, win, 1);
        if (c > fine.corr_q14) fine = {lag, c};
    }
    return fine;
}

float jb_rms(const int16_t *x, int n) {
    if (n <= 0) return 0.0f;
    int64_t e = 0;
    for (int i = 0; i < n; ++i) e += static_cast<int32_t>(x[i]) * x[i];
    return static_cast<float>(std::sqrt(static_cast<double>(e) / n));
}
