#include "media/dsp/jb_merge.h"

#include <algorithm>
#include <cstring>

int jb_merge(jb_expand *ex, jb_bgn *bgn, const int16_t *pending, int pending_n, int neutral,
             const int16_t *decoded, int n, int min_out, int16_t *out, int out_cap,
             int16_t *scratch) {
    const int overlap = std::min(k_jb_merge_overlap_8k * ex->fs_mult, n);
    const int lag = std::min(ex->lag, k_jb_max_lag);
    pending_n = std::clamp(pending_n, 0, k_jb_merge_pending_max);
    if (out_cap < pending_n + lag + n || overlap <= 0) {
        // Cannot happen with the engine's buffers; keep the audio rather than fail.
        const int keep = std::min(pending_n, out_cap);
        std::memcpy(out, pending, sizeof(int16_t) * static_cast<size_t>(keep));
        const int copy = std::min(n, out_cap - keep);
        std::memcpy(out + keep, decoded, sizeof(int16_t) * static_cast<size_t>(copy));
        jb_expand_end(ex);
        return keep + copy;
    }
    // The unplayed concealment, continued far enough to try every alignment.
    std::memcpy(scratch, pending, sizeof(int16_t) * static_cast<size_t>(pending_n));
    jb_expand_generate(ex, bgn, scratch + pending_n, lag + overlap);

    const int k_first = std::max(0, min_out - n);
    neutral = std::clamp(neutral, k_first, pending_n + lag);
    // Coarse search on the 8000 Hz grid, then full resolution around the winner.
    const int step = std::max(1, ex->fs_mult);
    auto score_at = [&](int k, int corr_step, int *corr) {
        *corr = jb_norm_corr_q14(scratch + k, decoded, overlap, corr_step);
        return *corr - k_jb_merge_shift_penalty_q14 * std::abs(k - neutral) / std::max(1, lag);
    };
    int best_k = neutral;
    int best_score = -4 * k_jb_q14_one;
    int corr = 0;
    for (int k = k_first; k <= pending_n + lag; k += step) {
        const int score = score_at(k, step, &corr);
        if (score > best_score) {
            best_score = score;
            best_k = k;
        }
    }
    const int lo = std::max(k_first, best_k - step + 1);
    const int hi = std::min(pending_n + lag, best_k + step - 1);
    best_score = -4 * k_jb_q14_one;
    int best_c = -2 * k_jb_q14_one;
    for (int k = lo; k <= hi; ++k) {
        const int score = score_at(k, 1, &corr);
        if (score > best_score) {
            best_score = score;
            best_c = corr;
            best_k = k;
        }
    }
    if (best_c < k_jb_merge_min_corr_q14) best_k = neutral;
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
