// The announcement datagram: address and checksum.
#include <gtest/gtest.h>

#include "link/discovery.h"

namespace {

TEST(DiscoveryCodec, DecodesOnlyExactValidAnnouncements) {
    const struct {
        std::vector<uint8_t> msg;
        int result;
        uint32_t ip;
    } cases[] = {
        {{0xC0, 0xA8, 0x01, 0x0A, 0x01, 0x73}, 0, 0xC0A8010A},  // 192.168.1.10, sum 371
        {{0xC0, 0xA8, 0x01, 0x0A, 0x00, 0x00}, -1, 0},
        {{0xC0, 0xA8, 0x01, 0x0A, 0x73, 0x01}, -1, 0},  // sum in the wrong byte order
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x03, 0xFC}, 0, 0xFFFFFFFF},
        {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, 0, 0},
        {{0xC0, 0xA8, 0x01, 0x0A, 0x01, 0x73, 0x00}, -1, 0},  // 7 bytes
        {{0xC0, 0xA8, 0x01, 0x0A, 0x01}, -1, 0},
    };
    for (auto &c : cases) {
        uint32_t ip = 0x12345678;
        EXPECT_EQ(discovery_decode(c.msg.data(), c.msg.size(), &ip), c.result) << c.msg.size();
        if (c.result == 0)
            EXPECT_EQ(ip, c.ip);
        else
            EXPECT_EQ(ip, 0x12345678u) << "untouched on failure";
    }
}

TEST(DiscoveryCodec, EncodeMatchesTheWireForm) {
    uint8_t msg[DISCOVERY_MSG_SIZE];
    discovery_encode(0xC0A8010A, msg);
    EXPECT_EQ(std::vector<uint8_t>(msg, msg + 6),
              (std::vector<uint8_t>{0xC0, 0xA8, 0x01, 0x0A, 0x01, 0x73}));
    for (uint32_t ip : {0u, 0x0A000001u, 0xFFFFFFFFu, 0x7F000001u}) {
        uint32_t back = 0;
        discovery_encode(ip, msg);
        ASSERT_EQ(discovery_decode(msg, sizeof msg, &back), 0);
        EXPECT_EQ(back, ip);
    }
}

}  // namespace
