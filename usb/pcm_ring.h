// A small byte ring that re-frames audio between the host's isochronous
// packets and the 10 ms frames of the media path. Fixed capacity, no
// allocation after init; a write that does not fit drops the oldest bytes so
// that the delay through the ring stays bounded.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t PCM_RING_MAX = 4096;  // bytes; room for six 640-byte frames

struct pcm_ring {
    uint8_t buf[PCM_RING_MAX];
    size_t cap;   // usable bytes, <= PCM_RING_MAX
    size_t head;  // read position
    size_t fill;  // bytes held
};

// Empties the ring and sets its capacity (cut to PCM_RING_MAX).
void pcm_ring_init(pcm_ring *r, size_t cap);
void pcm_ring_clear(pcm_ring *r);
size_t pcm_ring_fill(const pcm_ring *r);
// Appends len bytes; when they do not fit, the oldest bytes are dropped first.
// Returns the bytes dropped.
size_t pcm_ring_write(pcm_ring *r, const void *data, size_t len);
// Moves up to len bytes out (out may be null to discard). Returns the bytes moved.
size_t pcm_ring_read(pcm_ring *r, void *out, size_t len);
