// Background-noise estimate: level and spectral tilt of the quietest recent
// audio, and a generator of noise that matches them. Long concealment fades
// towards this noise rather than to hard silence.
#pragma once

#include <cstdint>

struct jb_bgn {
    float rms;       // estimated noise level (sample units)
    float tilt;      // one-pole colouring coefficient, 0 = white
    float lp_state;  // generator filter memory
    uint32_t seed;   // generator state
    int valid;       // 0 until a first frame was seen
};

void jb_bgn_reset(jb_bgn *b);

// Feeds one frame of normally decoded audio.
void jb_bgn_update(jb_bgn *b, const int16_t *x, int n);

// Next noise sample (float, sample units) at the estimated level.
float jb_bgn_sample(jb_bgn *b);

// White noise of unit variance from a seed (shared with concealment).
float jb_noise_unit(uint32_t *seed);
