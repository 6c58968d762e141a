#include "media/dsp/jb_merge.h"

#include <algorithm>
#include <cstring>

int jb_merge(jb_expand *ex, jb_bgn *bgn, const int16_t *decoded, int n, int16_t *out, int out_cap,
             int16_t *scratch) {
    const int overlap = std::min(k_jb_merge_overlap_8k * ex->fs_mult, n);
    const int lag = std::min(ex->lag, k_jb_max_lag);
    if (out_cap < n + lag || overlap <= 0) {
        const int copy = std::min(n, out_cap);
        std::memcpy(out, decoded, sizeof(int16_t) * static_cast<size_t>(copy));
        jb_expand_end(ex);
        return copy;
    }
    // Continue the concealment far enough to try every alignment within a cycle.
    jb_expand_generate(ex, bgn, scratch, lag + overlap);
    int best_k = 0;
    int best_c = -2 * k_jb_q14_one;
    for (int k = 0; k <= lag; ++k) {
        const int c = jb_norm_corr_q14(scratch + k, decoded, overlap, 1);
        if (c > best_c) {
            best_c = c;
            best_k = k;
        }
    }
    std::memcpy(out, scratch, sizeof(int16_t) * static_cast<size_t>(best_k));
    for (int i = 0; i < overlap; ++i) {
        const float w = static_cast<float>(i + 1) / static_cast<float>(overlap + 1);
        out[best_k + i] = jb_sat16((1.0f - w) * scratch[best_k + i] + w * decoded[i]);
    }
    std::memcpy(out + best_k + overlap, decoded + overlap,
                sizeof(int16_t) * static_cast<size_t>(n - overlap));
    jb_expand_end(ex);
    return best_k + n;
}
