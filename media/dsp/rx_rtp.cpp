#include "media/dsp/rx_rtp.h"

namespace {

uint16_t read_be16(const uint8_t *p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t read_be32(const uint8_t *p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

int rx_rtp_parse(const uint8_t *data, int len, rx_rtp_packet *out) {
    if (data == nullptr || len < k_rtp_fixed_header_bytes) return RX_RTP_SHORT;
    const int version = data[0] >> 6;
    if (version != k_rtp_version) return RX_RTP_VERSION;
    const bool padding = (data[0] & 0x20) != 0;
    const bool extension = (data[0] & 0x10) != 0;
    const int csrc_count = data[0] & 0x0f;

    int offset = k_rtp_fixed_header_bytes + csrc_count * k_rtp_csrc_bytes;
    if (offset > len) return RX_RTP_SHORT;
    if (extension) {
        if (offset + k_rtp_extension_header_bytes > len) return RX_RTP_SHORT;
        const int words = read_be16(data + offset + 2);
        offset += k_rtp_extension_header_bytes + words * 4;
        if (offset > len) return RX_RTP_SHORT;
    }
    int end = len;
    if (padding) {
        const int pad = data[len - 1];
        // The count includes itself, so 0 is malformed as well.
        if (pad == 0 || pad > end - offset) return RX_RTP_PADDING;
        end -= pad;
    }
    const int payload_len = end - offset;
    if (payload_len < k_rtp_min_payload_bytes || payload_len > k_rtp_max_payload_bytes) {
        return RX_RTP_PAYLOAD_SIZE;
    }
    out->payload_type = data[1] & 0x7f;
    out->marker = data[1] >> 7;
    out->seq = read_be16(data + 2);
    out->ts = read_be32(data + 4);
    out->ssrc = read_be32(data + 8);
    out->payload = data + offset;
    out->payload_len = payload_len;
    return RX_RTP_OK;
}

const char *rx_rtp_error_text(int err) {
    switch (err) {
        case RX_RTP_OK:
            return "ok";
        case RX_RTP_SHORT:
            return "truncated RTP header";
        case RX_RTP_VERSION:
            return "RTP version is not 2";
        case RX_RTP_PADDING:
            return "RTP padding longer than the packet";
        case RX_RTP_PAYLOAD_SIZE:
            return "RTP payload empty or too large";
        default:
            return "unknown RTP error";
    }
}
