// Joins the first decoded frame after concealment onto the concealed signal:
// the concealment runs on until it lines up with the new audio (at most one
// pitch cycle) and is cross-faded into it.
#pragma once

#include <cstdint>

#include "media/dsp/jb_bgn.h"
#include "media/dsp/jb_expand.h"

// Cross-fade length per 8000 Hz (5 ms).
constexpr int k_jb_merge_overlap_8k = 40;
// Scratch the merge needs: the longest pitch cycle plus the cross-fade.
constexpr int k_jb_merge_scratch = k_jb_max_lag + k_jb_merge_overlap_8k * k_jb_max_fs_mult;

// decoded[0..n) follows the concealment in ex. Writes at most n + lag samples to
// out (out_cap must allow n + k_jb_max_lag) and returns how many; ends the run.
int jb_merge(jb_expand *ex, jb_bgn *bgn, const int16_t *decoded, int n, int16_t *out, int out_cap,
             int16_t *scratch);
