// Pitch-synchronous time-scale modification with overlap-add: accelerate
// removes one pitch cycle, pre-emptive expand inserts one, each with a
// cross-fade over the cycle so the waveform stays continuous.
#pragma once

#include <cstdint>

#include "media/dsp/jb_pitch.h"

// Audio needed before a stretch is tried, per 8000 Hz (30 ms).
constexpr int k_jb_stretch_min_input_8k = 240;
// Correlation between neighbouring cycles needed to stretch voiced audio (0.9, Q14).
constexpr int k_jb_stretch_min_corr_q14 = 14746;
// Below this level (sample units, about -44 dBFS) audio is stretched whatever its correlation.
constexpr float k_jb_stretch_quiet_rms = 200.0f;

// in[0..n) -> out; returns the output length and sets *removed (0 when the
// audio did not allow it, then out is a copy). out must hold n samples.
int jb_accelerate(const int16_t *in, int n, int16_t *out, int fs_mult, int *removed);

// in[0..n) -> out; returns the output length and sets *inserted. out_cap must
// allow n + the longest lag (k_jb_pitch_max_lag_8k * fs_mult).
int jb_preemptive_expand(const int16_t *in, int n, int16_t *out, int out_cap, int fs_mult,
                         int *inserted);
