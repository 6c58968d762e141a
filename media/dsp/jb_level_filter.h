// Smoothed buffer level (packets, Q8) that the playout decision compares with
// the target. Samples removed or added by time stretching are taken off or put
// on at once, so one stretch is not followed by more for the same excess.
#pragma once

struct jb_level_filter {
    int filtered_q8;
    int primed;  // 0 until the first level after a (re)start
};

void jb_level_filter_reset(jb_level_filter *f);

// level_q8: current buffer level; target_q8 picks the smoothing (slower for deep buffers).
void jb_level_filter_update(jb_level_filter *f, int level_q8, int target_q8);

// Time stretching changed the buffered audio by delta_q8 packets (negative = removed).
void jb_level_filter_stretched(jb_level_filter *f, int delta_q8);
