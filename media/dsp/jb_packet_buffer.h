// The jitter buffer's packet store: a fixed pool of slots, one codec frame per
// slot, kept in sequence-number order (oldest first) across wrap-around.
#pragma once

#include <cstdint>

constexpr int k_jb_slot_count = 80;
constexpr int k_jb_slot_bytes = 960;
constexpr int k_jb_slot_header_bytes = 48;
constexpr int k_jb_slot_payload_bytes = k_jb_slot_bytes - k_jb_slot_header_bytes;  // 912
// A buffered sequence number this far above a new one is taken as older (wrapped).
constexpr int k_jb_seq_wrap_distance = 30000;

// Results of jb_packet_buffer_insert (stable numbers, reported by the engine).
enum jb_insert_result {
    JB_INSERT_OK = 0,
    JB_ERR_OVERFLOW = 16,   // no free slot
    JB_ERR_TOO_LARGE = 18,  // frame longer than a slot's payload
    JB_ERR_DUPLICATE = 21,  // a buffered frame has the same timestamp
};

struct jb_frame_info {
    uint32_t ts;
    uint32_t ssrc;
    uint16_t seq;
    uint8_t payload_type;
    uint8_t marker;
};

struct jb_slot_header {
    jb_frame_info info;
    uint16_t length;  // payload bytes
    int16_t prev;     // towards older; -1 at the oldest
    int16_t next;     // towards newer; -1 at the newest (also links the free list)
    uint8_t reserved[k_jb_slot_header_bytes - sizeof(jb_frame_info) - 6];
};
static_assert(sizeof(jb_slot_header) == k_jb_slot_header_bytes);

struct jb_slot {
    jb_slot_header h;
    uint8_t payload[k_jb_slot_payload_bytes];
};
static_assert(sizeof(jb_slot) == k_jb_slot_bytes);

struct jb_packet_buffer {
    jb_slot slots[k_jb_slot_count];
    int16_t oldest;  // -1 when empty
    int16_t newest;
    int16_t free_head;
    int16_t count;
};

void jb_packet_buffer_clear(jb_packet_buffer *pb);

// Stores one frame. Returns JB_INSERT_OK or a jb_insert_result error; on error
// the buffer is unchanged.
int jb_packet_buffer_insert(jb_packet_buffer *pb, const jb_frame_info *info, const uint8_t *payload,
                            int length);

// The oldest frame (in sequence order), or nullptr when empty.
const jb_slot *jb_packet_buffer_oldest(const jb_packet_buffer *pb);

// Removes the oldest frame; no-op when empty.
void jb_packet_buffer_pop_oldest(jb_packet_buffer *pb);

// Removes every frame whose timestamp is before ts (RTP wrap-around aware) and
// returns how many were removed.
int jb_packet_buffer_discard_older(jb_packet_buffer *pb, uint32_t ts);

// Number of buffered frames.
inline int jb_packet_buffer_count(const jb_packet_buffer *pb) {
    return pb->count;
}

// True when a is before b on the 32-bit RTP timestamp circle.
inline bool jb_ts_before(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) < 0;
}
