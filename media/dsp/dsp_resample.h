// Rate conversion of 10 ms frames between 8000, 16000, 32000 and 48000 Hz:
// a polyphase windowed-sinc filter whose coefficients are computed at setup,
// so converting a frame allocates nothing.
#pragma once

#include <cstdint>

#include "media/dsp/dsp_engine.h"

constexpr int DSP_RESAMPLE_TAPS_PER_PHASE = 16;
constexpr int DSP_RESAMPLE_MAX_FACTOR = 6;  // 8000 <-> 48000
constexpr int DSP_RESAMPLE_MAX_TAPS = DSP_RESAMPLE_TAPS_PER_PHASE * DSP_RESAMPLE_MAX_FACTOR;

struct dsp_resampler {
    int in_rate;
    int out_rate;
    int up;       // L: interpolation factor
    int down;     // M: decimation factor
    int taps;     // filter length at the intermediate rate in_rate * L
    int history;  // input samples kept from the previous frame
    float coef[DSP_RESAMPLE_MAX_TAPS];
    float buf[DSP_RESAMPLE_MAX_TAPS + DSP_PCM_MAX_SAMPLES];  // history, then the frame
};

// -> 0, or -1 when either rate is not 8000, 16000, 32000 or 48000 Hz.
int dsp_resample_setup(dsp_resampler *r, int in_rate, int out_rate);
// Converts one 10 ms frame (in_rate / 100 samples) into out_rate / 100 samples
// -> samples written.
int dsp_resample_frame(dsp_resampler *r, const int16_t *in, int16_t *out);
