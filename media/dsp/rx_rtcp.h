// Validity check of received RTCP compound packets (RFC 3550 appendix A.2),
// used only when the receive context has RTCP switched on.
#pragma once

#include <cstdint>

constexpr int k_rtcp_header_bytes = 4;
constexpr int k_rtcp_pt_sr = 200;
constexpr int k_rtcp_pt_rr = 201;
constexpr int k_rtcp_pt_first = 192;  // lowest RTCP packet type we accept in a compound
constexpr int k_rtcp_pt_last = 223;

// Returns the number of RTCP packets in the compound, or -1 when it is not a
// valid compound: every packet version 2 with a length inside the datagram,
// the lengths adding up exactly, the first a sender or receiver report without
// padding, and only the last one padded.
int rx_rtcp_check(const uint8_t *data, int len);
