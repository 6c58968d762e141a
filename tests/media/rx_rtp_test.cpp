#include "media/dsp/rx_rtp.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> header(uint8_t b0, int payload_bytes) {
    std::vector<uint8_t> p = {b0, 0x80 | 108, 0x12, 0x34, 0, 0, 0x01, 0x40, 0xde, 0xad, 0xbe, 0xef};
    p.resize(p.size() + static_cast<size_t>(payload_bytes), 0x55);
    return p;
}

TEST(RxRtp, ParsesFixedHeaderFields) {
    const std::vector<uint8_t> p = header(0x80, 320);
    rx_rtp_packet r{};
    ASSERT_EQ(rx_rtp_parse(p.data(), static_cast<int>(p.size()), &r), RX_RTP_OK);
    EXPECT_EQ(r.payload_type, 108);
    EXPECT_EQ(r.marker, 1);
    EXPECT_EQ(r.seq, 0x1234);
    EXPECT_EQ(r.ts, 0x140u);
    EXPECT_EQ(r.ssrc, 0xdeadbeefu);
    EXPECT_EQ(r.payload_len, 320);
    EXPECT_EQ(r.payload, p.data() + 12);
}

TEST(RxRtp, SkipsCsrcExtensionAndPadding) {
    // Two CSRCs, an extension of one word, 10 payload bytes and 3 bytes of padding.
    std::vector<uint8_t> p = header(0x80 | 0x20 | 0x10 | 2, 0);
    p.insert(p.end(), 8, 0xcc);                   // CSRCs
    p.insert(p.end(), {0xbe, 0xde, 0x00, 0x01});  // extension header, 1 word
    p.insert(p.end(), 4, 0xee);
    p.insert(p.end(), 10, 0x11);   // payload
    p.insert(p.end(), {0, 0, 3});  // padding, last byte = count
    rx_rtp_packet r{};
    ASSERT_EQ(rx_rtp_parse(p.data(), static_cast<int>(p.size()), &r), RX_RTP_OK);
    EXPECT_EQ(r.payload_len, 10);
    EXPECT_EQ(r.payload[0], 0x11);
    EXPECT_EQ(r.payload[9], 0x11);
}

TEST(RxRtp, RefusesMalformedDatagrams) {
    struct refusal {
        const char *what;
        std::vector<uint8_t> bytes;
        int expect;
    };
    std::vector<uint8_t> csrc_cut = header(0x80 | 3, 4);  // claims 12 CSRC bytes, has 4
    std::vector<uint8_t> ext_cut = header(0x90, 0);
    ext_cut.insert(ext_cut.end(), {0xbe, 0xde, 0x00, 0x09, 1, 2});  // 9 words promised
    std::vector<uint8_t> pad_all = header(0xa0, 4);
    pad_all.back() = 5;  // more padding than payload
    std::vector<uint8_t> pad_zero = header(0xa0, 4);
    pad_zero.back() = 0;
    const refusal cases[] = {
        {"11 bytes", std::vector<uint8_t>(11, 0x80), RX_RTP_SHORT},
        {"header only, no payload", header(0x80, 0), RX_RTP_PAYLOAD_SIZE},
        {"version 1", header(0x40, 160), RX_RTP_VERSION},
        {"version 0", header(0x00, 160), RX_RTP_VERSION},
        {"CSRC list beyond end", csrc_cut, RX_RTP_SHORT},
        {"extension beyond end", ext_cut, RX_RTP_SHORT},
        {"padding larger than payload", pad_all, RX_RTP_PADDING},
        {"padding count zero", pad_zero, RX_RTP_PADDING},
        {"payload 16000 bytes", header(0x80, 16000), RX_RTP_PAYLOAD_SIZE},
    };
    for (const refusal &c : cases) {
        rx_rtp_packet r{};
        EXPECT_EQ(rx_rtp_parse(c.bytes.data(), static_cast<int>(c.bytes.size()), &r), c.expect)
            << c.what;
    }
    rx_rtp_packet r{};
    const std::vector<uint8_t> largest = header(0x80, 15999);
    EXPECT_EQ(rx_rtp_parse(largest.data(), static_cast<int>(largest.size()), &r), RX_RTP_OK);
    EXPECT_EQ(rx_rtp_parse(nullptr, 100, &r), RX_RTP_SHORT);
}

}  // namespace
