// The sync buffer: played history followed by audio decoded ahead of the
// output position. New audio is appended at the end; output is read from the
// output position.
#pragma once

#include <cstdint>

constexpr int k_jb_max_fs_mult = 6;  // 48000 Hz = 6 x 8000 Hz
// Lengths per 8000 Hz; scaled by the rate's multiple of 8000 Hz.
constexpr int k_jb_sync_len_8k = 565;
constexpr int k_jb_sync_start_pos_8k = 560;
constexpr int k_jb_sync_capacity = k_jb_sync_len_8k * k_jb_max_fs_mult;

struct jb_sync_buffer {
    int16_t samples[k_jb_sync_capacity];
    int len;  // used length for the current rate
    int pos;  // output position; [pos, len) is ahead of the output
};

void jb_sync_buffer_reset(jb_sync_buffer *sb, int fs_mult);

inline int jb_sync_buffer_ahead(const jb_sync_buffer *sb) {
    return sb->len - sb->pos;
}
inline const int16_t *jb_sync_buffer_end(const jb_sync_buffer *sb) {
    return sb->samples + sb->len;
}

// Appends n samples, dropping the oldest history. Returns the number of samples
// ahead of the output that had to be dropped too (0 normally).
int jb_sync_buffer_push(jb_sync_buffer *sb, const int16_t *x, int n);

// Moves the samples ahead of the output position into dst (at most cap) and
// removes them from the buffer; returns how many were moved.
int jb_sync_buffer_take_ahead(jb_sync_buffer *sb, int16_t *dst, int cap);

// Copies one frame from the output position and advances it. Returns 0, or -1
// with a silent frame when less than n samples are ahead.
int jb_sync_buffer_read(jb_sync_buffer *sb, int16_t *out, int n);
