#include "media/dsp/jb_packet_buffer.h"

#include <cstring>

namespace {

// True when the buffered sequence number counts as newer than the new one,
// i.e. the new frame goes before it. Distances are taken modulo 2^16, so a
// buffered 0 is above a late 65535 as well as 65535 being below a new 0.
bool seq_above(uint16_t buffered, uint16_t fresh) {
    const int distance = static_cast<uint16_t>(buffered - fresh);
    return distance > 0 && distance <= k_jb_seq_wrap_distance;
}

void unlink(jb_packet_buffer *pb, int idx) {
    jb_slot_header &h = pb->slots[idx].h;
    if (h.prev >= 0) {
        pb->slots[h.prev].h.next = h.next;
    } else {
        pb->oldest = h.next;
    }
    if (h.next >= 0) {
        pb->slots[h.next].h.prev = h.prev;
    } else {
        pb->newest = h.prev;
    }
    h.next = pb->free_head;
    h.prev = -1;
    pb->free_head = static_cast<int16_t>(idx);
    pb->count--;
}

}  // namespace

void jb_packet_buffer_clear(jb_packet_buffer *pb) {
    pb->oldest = -1;
    pb->newest = -1;
    pb->count = 0;
    for (int i = 0; i < k_jb_slot_count; ++i) {
        pb->slots[i].h.prev = -1;
        pb->slots[i].h.next = static_cast<int16_t>(i + 1 < k_jb_slot_count ? i + 1 : -1);
        pb->slots[i].h.length = 0;
    }
    pb->free_head = 0;
}

int jb_packet_buffer_insert(jb_packet_buffer *pb, const jb_frame_info *info, const uint8_t *payload,
                            int length) {
    if (length < 0 || length > k_jb_slot_payload_bytes) return JB_ERR_TOO_LARGE;
    for (int i = pb->oldest; i >= 0; i = pb->slots[i].h.next) {
        if (pb->slots[i].h.info.ts == info->ts) return JB_ERR_DUPLICATE;
    }
    if (pb->free_head < 0) return JB_ERR_OVERFLOW;

    const int idx = pb->free_head;
    jb_slot &slot = pb->slots[idx];
    pb->free_head = slot.h.next;
    slot.h.info = *info;
    slot.h.length = static_cast<uint16_t>(length);
    if (length > 0) std::memcpy(slot.payload, payload, static_cast<size_t>(length));

    // Newest towards oldest: stop at the first frame that is not above the new one.
    int after = pb->newest;
    while (after >= 0 && seq_above(pb->slots[after].h.info.seq, info->seq)) {
        after = pb->slots[after].h.prev;
    }
    slot.h.prev = static_cast<int16_t>(after);
    if (after >= 0) {
        slot.h.next = pb->slots[after].h.next;
        pb->slots[after].h.next = static_cast<int16_t>(idx);
    } else {
        slot.h.next = pb->oldest;
        pb->oldest = static_cast<int16_t>(idx);
    }
    if (slot.h.next >= 0) {
        pb->slots[slot.h.next].h.prev = static_cast<int16_t>(idx);
    } else {
        pb->newest = static_cast<int16_t>(idx);
    }
    pb->count++;
    return JB_INSERT_OK;
}

const jb_slot *jb_packet_buffer_oldest(const jb_packet_buffer *pb) {
    return pb->oldest >= 0 ? &pb->slots[pb->oldest] : nullptr;
}

void jb_packet_buffer_pop_oldest(jb_packet_buffer *pb) {
    if (pb->oldest >= 0) unlink(pb, pb->oldest);
}

int jb_packet_buffer_discard_older(jb_packet_buffer *pb, uint32_t ts) {
    int removed = 0;
    int i = pb->oldest;
    while (i >= 0) {
        const int next = pb->slots[i].h.next;
        if (jb_ts_before(pb->slots[i].h.info.ts, ts)) {
            unlink(pb, i);
            removed++;
        }
        i = next;
    }
    return removed;
}
