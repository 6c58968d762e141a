#include "usb/pcm_ring.h"

#include <cstring>

void pcm_ring_init(pcm_ring *r, size_t cap) {
    r->cap = cap < PCM_RING_MAX ? cap : PCM_RING_MAX;
    pcm_ring_clear(r);
}

void pcm_ring_clear(pcm_ring *r) {
    r->head = 0;
    r->fill = 0;
}

size_t pcm_ring_fill(const pcm_ring *r) {
    return r->fill;
}

size_t pcm_ring_write(pcm_ring *r, const void *data, size_t len) {
    const uint8_t *src = static_cast<const uint8_t *>(data);
    size_t dropped = 0;
    if (r->cap == 0) return len;
    if (len > r->cap) {
        // Only the newest cap bytes can be kept.
        dropped += len - r->cap;
        src += len - r->cap;
        len = r->cap;
    }
    if (r->fill + len > r->cap) dropped += pcm_ring_read(r, nullptr, r->fill + len - r->cap);
    size_t tail = (r->head + r->fill) % r->cap;
    size_t first = r->cap - tail < len ? r->cap - tail : len;
    memcpy(r->buf + tail, src, first);
    memcpy(r->buf, src + first, len - first);
    r->fill += len;
    return dropped;
}

size_t pcm_ring_read(pcm_ring *r, void *out, size_t len) {
    size_t n = len < r->fill ? len : r->fill;
    if (out && n) {
        uint8_t *dst = static_cast<uint8_t *>(out);
        size_t first = r->cap - r->head < n ? r->cap - r->head : n;
        memcpy(dst, r->buf + r->head, first);
        memcpy(dst + first, r->buf, n - first);
    }
    if (r->cap) r->head = (r->head + n) % r->cap;
    r->fill -= n;
    return n;
}
