#include "media/dsp/jb_sync_buffer.h"

#include <algorithm>
#include <cstring>

void jb_sync_buffer_reset(jb_sync_buffer *sb, int fs_mult) {
    fs_mult = std::clamp(fs_mult, 1, k_jb_max_fs_mult);
    sb->len = k_jb_sync_len_8k * fs_mult;
    sb->pos = k_jb_sync_start_pos_8k * fs_mult;
    std::memset(sb->samples, 0, sizeof(sb->samples));
}

int jb_sync_buffer_push(jb_sync_buffer *sb, const int16_t *x, int n) {
    if (n <= 0) return 0;
    if (n > sb->len) {
        // Only the newest part fits at all.
        x += n - sb->len;
        n = sb->len;
    }
    std::memmove(sb->samples, sb->samples + n, sizeof(int16_t) * static_cast<size_t>(sb->len - n));
    std::memcpy(sb->samples + sb->len - n, x, sizeof(int16_t) * static_cast<size_t>(n));
    sb->pos -= n;
    int dropped = 0;
    if (sb->pos < 0) {
        dropped = -sb->pos;
        sb->pos = 0;
    }
    return dropped;
}

int jb_sync_buffer_take_ahead(jb_sync_buffer *sb, int16_t *dst, int cap) {
    const int ahead = std::min(jb_sync_buffer_ahead(sb), cap);
    std::memcpy(dst, sb->samples + sb->pos, sizeof(int16_t) * static_cast<size_t>(ahead));
    // Shift history right so that the buffer ends at the output position again.
    const int keep = sb->pos;
    const int shift = jb_sync_buffer_ahead(sb);
    std::memmove(sb->samples + shift, sb->samples, sizeof(int16_t) * static_cast<size_t>(keep));
    std::memset(sb->samples, 0, sizeof(int16_t) * static_cast<size_t>(shift));
    sb->pos = sb->len;
    return ahead;
}

int jb_sync_buffer_read(jb_sync_buffer *sb, int16_t *out, int n) {
    if (jb_sync_buffer_ahead(sb) < n) {
        std::memset(out, 0, sizeof(int16_t) * static_cast<size_t>(n));
        return -1;
    }
    std::memcpy(out, sb->samples + sb->pos, sizeof(int16_t) * static_cast<size_t>(n));
    sb->pos += n;
    return 0;
}
