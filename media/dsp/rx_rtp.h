// RTP header parsing for the receive engine (RFC 3550 fixed header, CSRC list,
// header extension and padding).
#pragma once

#include <cstdint>

constexpr int k_rtp_fixed_header_bytes = 12;
constexpr int k_rtp_version = 2;
constexpr int k_rtp_csrc_bytes = 4;
constexpr int k_rtp_extension_header_bytes = 4;
constexpr int k_rtp_min_payload_bytes = 1;
constexpr int k_rtp_max_payload_bytes = 15999;

struct rx_rtp_packet {
    uint8_t payload_type;  // 7 bits
    uint8_t marker;        // 0 or 1
    uint16_t seq;
    uint32_t ts;
    uint32_t ssrc;
    const uint8_t *payload;  // points into the datagram
    int payload_len;         // bytes, padding removed
};

// Why a datagram was refused; 0 when it parsed.
enum rx_rtp_error {
    RX_RTP_OK = 0,
    RX_RTP_SHORT = -1,         // fewer than 12 bytes, or CSRC/extension beyond the end
    RX_RTP_VERSION = -2,       // version field other than 2
    RX_RTP_PADDING = -3,       // padding count larger than what follows the header
    RX_RTP_PAYLOAD_SIZE = -4,  // payload empty or longer than 15999 bytes
};

// Parses one datagram. Returns RX_RTP_OK and fills *out, or a negative rx_rtp_error.
int rx_rtp_parse(const uint8_t *data, int len, rx_rtp_packet *out);

// Fixed text for an rx_rtp_error, for log lines.
const char *rx_rtp_error_text(int err);
