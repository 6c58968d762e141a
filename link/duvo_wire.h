// The two framings of phone messages and the send path.
//
// Old framing (msg_version 0): command id, body length (one byte), body.
// New framing (msg_version >= 1), little-endian: command id, kind (0 data,
// 1 acknowledgement), reserved, format version, sequence number (u32), body
// length (u32), body. Every byte goes out through the link's send hook.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/duvo_link.h"

constexpr uint8_t DUVO_KIND_DATA = 0;
constexpr uint8_t DUVO_KIND_ACK = 1;
constexpr uint8_t DUVO_PC_FORMAT_VERSION = 2;  // version byte the PC sends

struct duvo_new_header {
    uint8_t id;
    uint8_t kind;
    uint8_t reserved;
    uint8_t version;
    uint32_t seq;
    uint32_t len;
};

// Reads the 12 header bytes at p.
void duvo_decode_new_header(const uint8_t *p, duvo_new_header *h);
// Writes the 12 header bytes of h at p.
void duvo_encode_new_header(uint8_t *p, const duvo_new_header *h);

// Frames a message into out (cap bytes). Returns the frame length, or 0 when
// it does not fit or the body is too long for the framing.
size_t duvo_frame_new(uint8_t *out, size_t cap, const duvo_new_header *h, const void *body);
size_t duvo_frame_old(uint8_t *out, size_t cap, uint8_t id, const void *body, size_t len);

// Sends one command in the framing msg_version selects. Without a socket the
// framing falls back to the old one, since the message that opens a
// connection is always old-framed (and a partial received message of the
// old connection is forgotten). New framing: the sequence number goes up
// by one and the message enters the sent list whatever the send result. An
// old-framed body over 255 bytes is cut to 255; a new-framed body over 2036
// bytes is refused (-1). Returns the send hook's result (> 0 bytes sent).
int duvo_send_cmd(duvo_link *link, size_t len, const void *body, uint8_t id);

// Acknowledges a received new-framing data message (header: its 12 bytes).
int duvo_send_ack(duvo_link *link, const uint8_t *header);

// Puts an already framed message on the wire unchanged (re-sends).
int duvo_send_raw(duvo_link *link, const uint8_t *buf, size_t len);
