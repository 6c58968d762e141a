// Joins the first decoded frame after concealment onto the concealed signal.
// Concealment that was generated but not yet played is taken back; the join
// point is searched from the start of that unplayed stretch to one pitch cycle
// beyond its end, so that on average a merge neither adds nor removes delay.
#pragma once

#include <cstdint>

#include "media/dsp/jb_bgn.h"
#include "media/dsp/jb_expand.h"

// Cross-fade length per 8000 Hz (5 ms).
constexpr int k_jb_merge_overlap_8k = 40;
// Unplayed concealment a merge can take back: up to one cycle beyond a frame
// (plus the output position's start offset), at the highest rate.
constexpr int k_jb_merge_pending_max = k_jb_max_lag + 85 * k_jb_max_fs_mult;
// Scratch the merge needs: the unplayed stretch, one more cycle and the cross-fade.
constexpr int k_jb_merge_scratch =
    k_jb_merge_pending_max + k_jb_max_lag + k_jb_merge_overlap_8k * k_jb_max_fs_mult;

// Penalty on moving the join away from the neutral point, per pitch cycle of
// distance (0.25, Q14): a later join adds delay that only accelerate can take
// back, so it has to buy a clearly better fit.
constexpr int k_jb_merge_shift_penalty_q14 = 4096;
// Below this correlation (0.5, Q14) no alignment is meaningful (noise,
// silence): the join stays at the neutral point.
constexpr int k_jb_merge_min_corr_q14 = 8192;

// pending[0..pending_n) is unplayed concealment from ex; decoded[0..n) is the
// audio that follows the gap; joining after `neutral` pending samples leaves
// the delay as it was before the gap. Writes at least min_out samples (when n
// allows) and at most pending_n + lag + n to out, and returns how many; ends the run.
int jb_merge(jb_expand *ex, jb_bgn *bgn, const int16_t *pending, int pending_n, int neutral,
             const int16_t *decoded, int n, int min_out, int16_t *out, int out_cap,
             int16_t *scratch);
