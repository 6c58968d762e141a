#include "media/dsp/rx_rtcp.h"

int rx_rtcp_check(const uint8_t *data, int len) {
    if (data == nullptr || len < k_rtcp_header_bytes) return -1;
    const int first_pt = data[1];
    if ((first_pt != k_rtcp_pt_sr && first_pt != k_rtcp_pt_rr) || (data[0] & 0x20) != 0) return -1;
    int offset = 0;
    int count = 0;
    while (offset < len) {
        if (len - offset < k_rtcp_header_bytes) return -1;
        const uint8_t *p = data + offset;
        if ((p[0] >> 6) != 2) return -1;
        if (p[1] < k_rtcp_pt_first || p[1] > k_rtcp_pt_last) return -1;
        const int bytes = (((p[2] << 8) | p[3]) + 1) * 4;
        if (bytes > len - offset) return -1;
        const bool padded = (p[0] & 0x20) != 0;
        offset += bytes;
        if (padded && offset != len) return -1;  // only the last packet may pad
        count++;
    }
    return count;
}
