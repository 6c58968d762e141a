// RTCP compound packet writer.
#include "media/dsp/dsp_rtcp.h"

#include <cstring>

namespace {
constexpr uint8_t k_version_bits = 0x80;  // V=2, no padding
constexpr uint8_t k_sdes_cname = 1;
constexpr uint8_t k_sdes_name = 2;
constexpr uint8_t k_sdes_email = 3;
constexpr uint8_t k_sdes_phone = 4;
constexpr uint8_t k_xr_rrt = 4;  // receiver reference time block

struct writer {
    uint8_t *out;
    int cap;
    int len;
    bool overflow;

    void u8(uint32_t v) {
        if (len + 1 > cap) {
            overflow = true;
            return;
        }
        out[len++] = static_cast<uint8_t>(v);
    }
    void u16(uint32_t v) {
        u8(v >> 8);
        u8(v);
    }
    void u32(uint32_t v) {
        u16(v >> 16);
        u16(v);
    }
    // Fills in the length word of the packet that started at `start`.
    void close(int start) {
        if (overflow) return;
        int words = (len - start) / 4 - 1;
        out[start + 2] = static_cast<uint8_t>(words >> 8);
        out[start + 3] = static_cast<uint8_t>(words);
    }
};

void write_sdes_item(writer &w, uint8_t type, const char *text) {
    size_t n = std::strlen(text);
    w.u8(type);
    w.u8(static_cast<uint32_t>(n));
    for (size_t i = 0; i < n; i++) w.u8(static_cast<uint8_t>(text[i]));
}
}  // namespace

int dsp_rtcp_write(const dsp_rtcp_report *r, uint8_t *out, int cap) {
    writer w{out, cap, 0, false};
    int blocks = r->block_count;
    if (blocks < 0) blocks = 0;
    if (blocks > DSP_RTCP_MAX_BLOCKS) blocks = DSP_RTCP_MAX_BLOCKS;

    int start = w.len;
    w.u8(k_version_bits | blocks);
    w.u8(r->sender ? DSP_RTCP_PT_SR : DSP_RTCP_PT_RR);
    w.u16(0);
    w.u32(r->ssrc);
    if (r->sender) {
        w.u32(r->ntp_seconds);
        w.u32(r->ntp_fraction);
        w.u32(r->rtp_timestamp);
        w.u32(r->packets);
        w.u32(r->octets);
    }
    for (int i = 0; i < blocks; i++) {
        const dsp_rtcp_block &b = r->blocks[i];
        w.u32(b.ssrc);
        w.u8(b.fraction_lost);
        w.u8(static_cast<uint32_t>(b.cumulative_lost) >> 16);
        w.u16(static_cast<uint32_t>(b.cumulative_lost));
        w.u32(b.highest_seq);
        w.u32(b.jitter);
        w.u32(b.lsr);
        w.u32(b.dlsr);
    }
    w.close(start);

    if (r->sdes) {
        start = w.len;
        w.u8(k_version_bits | 1);  // one chunk
        w.u8(DSP_RTCP_PT_SDES);
        w.u16(0);
        w.u32(r->ssrc);
        write_sdes_item(w, k_sdes_cname, "venus");
        write_sdes_item(w, k_sdes_name, "venus");
        write_sdes_item(w, k_sdes_email, "venus");
        write_sdes_item(w, k_sdes_phone, "12345678");
        // End of the item list, then zeros to the next 32-bit boundary.
        w.u8(0);
        while (!w.overflow && (w.len - start) % 4 != 0) w.u8(0);
        w.close(start);
    }

    if (r->xr) {
        start = w.len;
        w.u8(k_version_bits);
        w.u8(DSP_RTCP_PT_XR);
        w.u16(0);
        w.u32(r->ssrc);
        w.u8(k_xr_rrt);
        w.u8(0);
        w.u16(2);  // block length in words after its header
        w.u32(r->ntp_seconds);
        w.u32(r->ntp_fraction);
        w.close(start);
    }

    if (r->bye) {
        start = w.len;
        w.u8(k_version_bits | 1);
        w.u8(DSP_RTCP_PT_BYE);
        w.u16(0);
        w.u32(r->ssrc);
        w.close(start);
    }
    return w.overflow ? -1 : w.len;
}
