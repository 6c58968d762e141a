// Concealment of missing audio: the last pitch cycle is repeated, mixed with
// noise by how voiced the audio was, and faded towards the background-noise
// estimate as the gap grows.
#pragma once

#include <cstdint>

#include "media/dsp/jb_bgn.h"
#include "media/dsp/jb_pitch.h"
#include "media/dsp/jb_sync_buffer.h"

constexpr int k_jb_max_lag = k_jb_pitch_max_lag_8k * k_jb_max_fs_mult;
// History the analysis reads, per 8000 Hz: the longest lag plus its window.
constexpr int k_jb_expand_win_8k = 60;
constexpr int k_jb_expand_history_8k = k_jb_pitch_max_lag_8k + k_jb_expand_win_8k;

struct jb_expand {
    int16_t cycle[k_jb_max_lag];  // the pitch cycle being repeated
    int lag;
    int phase;
    float voiced;       // periodic share, 0..1
    float signal_rms;   // level of the audio before the gap
    float mute;         // 1 = full level, 0 = background noise only
    float mute_factor;  // per-sample decay once the first frame is over
    float mute_step;    // per-sample linear decrement (fast fade), 0 otherwise
    float junction;     // offset that makes the first sample continue the last one
    int junction_left;
    int full_level_left;  // samples still at full level
    uint32_t seed;
    int active;
    int fs_mult;
};

void jb_expand_reset(jb_expand *ex, int fs_mult);

// Starts a concealment run from the audio that ends at hist_end (hist_len
// samples available before it). fast_fade = 1 fades to background noise within
// one frame (used when a frame failed to decode).
void jb_expand_start(jb_expand *ex, const int16_t *hist_end, int hist_len, int fast_fade);

// Produces n samples of the running concealment.
void jb_expand_generate(jb_expand *ex, jb_bgn *bgn, int16_t *out, int n);

// Normal audio resumed.
inline void jb_expand_end(jb_expand *ex) {
    ex->active = 0;
}
