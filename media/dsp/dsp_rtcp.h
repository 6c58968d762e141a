// RTCP compound packets written by a send context: SR or RR with up to two
// report blocks, SDES, an extended report, BYE.
#pragma once

#include <cstdint>

constexpr int DSP_RTCP_PT_SR = 200;
constexpr int DSP_RTCP_PT_RR = 201;
constexpr int DSP_RTCP_PT_SDES = 202;
constexpr int DSP_RTCP_PT_BYE = 203;
constexpr int DSP_RTCP_PT_XR = 207;
constexpr int DSP_RTCP_MAX_BLOCKS = 2;
constexpr int DSP_RTCP_BLOCK_BYTES = 24;
constexpr int DSP_RTCP_MAX_BYTES = 256;  // largest compound packet written here

// One reception report about a source we hear (RFC 3550 section 6.4.1).
struct dsp_rtcp_block {
    uint32_t ssrc;
    uint8_t fraction_lost;
    int32_t cumulative_lost;  // 24 bits on the wire
    uint32_t highest_seq;     // extended highest sequence number
    uint32_t jitter;
    uint32_t lsr;
    uint32_t dlsr;
};

struct dsp_rtcp_report {
    uint32_t ssrc;
    bool sender;  // SR when packets were sent, else RR
    uint32_t ntp_seconds;
    uint32_t ntp_fraction;
    uint32_t rtp_timestamp;
    uint32_t packets;
    uint32_t octets;
    int block_count;  // 0..DSP_RTCP_MAX_BLOCKS
    dsp_rtcp_block blocks[DSP_RTCP_MAX_BLOCKS];
    bool sdes;
    bool xr;
    bool bye;
};

// Writes the compound packet into `out` -> length, or -1 when cap is too small.
int dsp_rtcp_write(const dsp_rtcp_report *r, uint8_t *out, int cap);
