// The kit against the SRTP library used directly as the far end.
#include <gtest/gtest.h>
#include <srtp2/srtp.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "media/base64.h"
#include "media/srtp_kit.h"
#include "srtp_log_capture.h"

namespace {

constexpr int kRtpHeader = 12;
constexpr int kPayload = 320;

std::string key_line(const char *suite, uint8_t seed, const std::string &tail = "") {
    uint8_t key[30];
    for (int i = 0; i < 30; ++i) key[i] = static_cast<uint8_t>(seed + i * 7);
    char text[64];
    b64_encode(key, sizeof key, text, sizeof text);
    return std::string("1 ") + suite + " inline:" + text + tail;
}

std::vector<uint8_t> rtp_packet(uint16_t seq, uint32_t ssrc) {
    std::vector<uint8_t> p(kRtpHeader + kPayload + SRTP_KIT_TRAILER_MAX);
    p[0] = 0x80;
    p[1] = 108;
    p[2] = static_cast<uint8_t>(seq >> 8);
    p[3] = static_cast<uint8_t>(seq);
    p[8] = static_cast<uint8_t>(ssrc >> 24);
    p[11] = static_cast<uint8_t>(ssrc);
    for (int i = 0; i < kPayload; ++i) p[kRtpHeader + i] = static_cast<uint8_t>(seq + i);
    return p;
}

// The phone's side built straight on the library from the same two lines:
// it sends with the line we decode and receives with the line we encode.
struct FarEnd {
    srtp_t tx_session = nullptr, rx_session = nullptr;
    uint8_t tx_key[30], rx_key[30];
    srtp_master_key_t tx_master{}, rx_master{};
    srtp_master_key_t *tx_list[1]{}, *rx_list[1]{};
    std::vector<uint8_t> tx_mki, rx_mki;

    static void decode(const std::string &line, uint8_t *key) {
        std::string b64 = line.substr(line.find(':') + 1, 40);
        ASSERT_EQ(b64_decode(b64.data(), b64.size(), key, 30), 30);
    }
    static void fill(srtp_policy_t &p, const std::string &suite, uint8_t *key,
                     std::vector<uint8_t> &mki, srtp_master_key_t &master,
                     srtp_master_key_t **list) {
        if (suite == "AES_CM_128_HMAC_SHA1_32")
            srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32(&p.rtp);
        else
            srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&p.rtp);
        srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&p.rtcp);
        if (mki.empty()) {
            p.key = key;
        } else {
            master = {key, mki.data(), static_cast<unsigned>(mki.size())};
            list[0] = &master;
            p.keys = list;
            p.num_master_keys = 1;
        }
    }
    void create(const std::string &suite, const std::string &send_line,
                const std::string &recv_line) {
        decode(send_line, tx_key);
        decode(recv_line, rx_key);
        srtp_policy_t tx{}, rx{};
        fill(tx, suite, tx_key, tx_mki, tx_master, tx_list);
        fill(rx, suite, rx_key, rx_mki, rx_master, rx_list);
        tx.ssrc.type = ssrc_any_outbound;
        rx.ssrc.type = ssrc_any_inbound;
        ASSERT_EQ(srtp_create(&tx_session, &tx), srtp_err_status_ok);
        ASSERT_EQ(srtp_create(&rx_session, &rx), srtp_err_status_ok);
    }
    ~FarEnd() {
        if (tx_session != nullptr) srtp_dealloc(tx_session);
        if (rx_session != nullptr) srtp_dealloc(rx_session);
    }
    int protect(std::vector<uint8_t> &p, int *len) {
        return tx_mki.empty() ? srtp_protect(tx_session, p.data(), len)
                              : srtp_protect_mki(tx_session, p.data(), len, 1, 0);
    }
    int unprotect(std::vector<uint8_t> &p, int *len) {
        return rx_mki.empty() ? srtp_unprotect(rx_session, p.data(), len)
                              : srtp_unprotect_mki(rx_session, p.data(), len, 1);
    }
};

struct SuiteCase {
    const char *suite;
    const char *tail;  // lifetime / MKI sections of both lines
    std::vector<uint8_t> mki;
    int tag;  // bytes added to each packet besides the MKI
};

class KitInterop : public ::testing::TestWithParam<SuiteCase> {};

TEST_P(KitInterop, BothDirectionsRoundTrip) {
    SrtpLogCapture log;
    const SuiteCase &c = GetParam();
    std::string ours = key_line(c.suite, 1, c.tail);     // protects PC -> phone
    std::string theirs = key_line(c.suite, 99, c.tail);  // protects phone -> PC

    srtp_kit *kit = nullptr;
    ASSERT_EQ(srtp_kit_create(&kit, theirs.c_str(), static_cast<int>(theirs.size()), ours.c_str(),
                              static_cast<int>(ours.size())),
              0)
        << log.text();
    FarEnd phone;
    phone.tx_mki = c.mki;
    phone.rx_mki = c.mki;
    phone.create(c.suite, theirs, ours);

    for (uint16_t seq = 1; seq <= 5; ++seq) {
        auto clear = rtp_packet(seq, 0x1234);
        auto pkt = clear;
        int len = kRtpHeader + kPayload;
        ASSERT_EQ(srtp_kit_protect(kit, pkt.data(), &len, pkt.size()), 0);
        EXPECT_EQ(len, kRtpHeader + kPayload + c.tag + static_cast<int>(c.mki.size()));
        EXPECT_NE(memcmp(pkt.data() + kRtpHeader, clear.data() + kRtpHeader, kPayload), 0);
        ASSERT_EQ(phone.unprotect(pkt, &len), srtp_err_status_ok);
        ASSERT_EQ(len, kRtpHeader + kPayload);
        EXPECT_EQ(memcmp(pkt.data(), clear.data(), len), 0);

        auto back = rtp_packet(seq, 0x5678);
        auto from_phone = back;
        len = kRtpHeader + kPayload;
        ASSERT_EQ(phone.protect(from_phone, &len), srtp_err_status_ok);
        ASSERT_EQ(srtp_kit_unprotect(kit, from_phone.data(), &len), 0);
        ASSERT_EQ(len, kRtpHeader + kPayload);
        EXPECT_EQ(memcmp(from_phone.data(), back.data(), len), 0);
    }
    srtp_kit_destroy(kit);
}

INSTANTIATE_TEST_SUITE_P(
    Suites, KitInterop,
    ::testing::Values(SuiteCase{"AES_CM_128_HMAC_SHA1_80", "", {}, 10},
                      SuiteCase{"AES_CM_128_HMAC_SHA1_32", "", {}, 4},
                      SuiteCase{"AES_CM_128_HMAC_SHA1_80", "|2^20|1:4", {0, 0, 0, 1}, 10}));

TEST(Kit, TamperedAndReplayedPacketsAreReportedWithLibraryCodes) {
    SrtpLogCapture log;
    std::string ours = key_line("AES_CM_128_HMAC_SHA1_80", 1),
                theirs = key_line("AES_CM_128_HMAC_SHA1_80", 2);
    srtp_kit *kit = nullptr;
    ASSERT_EQ(srtp_kit_create(&kit, theirs.c_str(), 73, ours.c_str(), 73), 0) << log.text();
    FarEnd phone;
    phone.create("AES_CM_128_HMAC_SHA1_80", theirs, ours);

    auto pkt = rtp_packet(7, 1);
    int len = kRtpHeader + kPayload;
    ASSERT_EQ(phone.protect(pkt, &len), 0);
    auto copy = pkt;
    int copy_len = len;
    copy[kRtpHeader + 3] ^= 1;
    EXPECT_EQ(srtp_kit_unprotect(kit, copy.data(), &copy_len), srtp_err_status_auth_fail);
    EXPECT_NE(log.text().find("SRTP:srtp_unprotect():failed,7\n"), std::string::npos);
    copy = pkt;
    copy_len = len;
    ASSERT_EQ(srtp_kit_unprotect(kit, copy.data(), &copy_len), 0);
    copy = pkt;
    copy_len = len;
    EXPECT_EQ(srtp_kit_unprotect(kit, copy.data(), &copy_len), srtp_err_status_replay_fail);
    srtp_kit_destroy(kit);
}

TEST(Kit, BadLineFailsWithDirectionAndLeavesNoKit) {
    SrtpLogCapture log;
    std::string good = key_line("AES_CM_128_HMAC_SHA1_80", 1);
    std::string bad = "1 AES_CM_128_HMAC_SHA1_80 inline";
    srtp_kit *kit = reinterpret_cast<srtp_kit *>(&log);
    EXPECT_EQ(srtp_kit_create(&kit, good.c_str(), 73, bad.c_str(), static_cast<int>(bad.size())),
              -14);
    EXPECT_EQ(kit, nullptr);
    EXPECT_NE(log.text().find("SRTP:tx key2policy failed," + bad + "\n"), std::string::npos);
    EXPECT_EQ(srtp_kit_create(&kit, bad.c_str(), static_cast<int>(bad.size()), good.c_str(), 73),
              -14);
    EXPECT_NE(log.text().find("SRTP:rx key2policy failed," + bad + "\n"), std::string::npos);
    EXPECT_EQ(kit, nullptr);
}

TEST(Kit, DumpListsBothDirectionsAndStopsAtTheBufferEnd) {
    SrtpLogCapture log;
    std::string ours = key_line("AES_CM_128_HMAC_SHA1_80", 1),
                theirs = key_line("AES_CM_128_HMAC_SHA1_32", 2);
    srtp_kit *kit = nullptr;
    ASSERT_EQ(srtp_kit_create(&kit, theirs.c_str(), 73, ours.c_str(), 73), 0) << log.text();
    char text[SRTP_DUMP_TEXT_SIZE];
    int n = srtp_kit_dump(kit, text, sizeof text);
    std::string dump(text, static_cast<size_t>(n));
    EXPECT_EQ(dump.rfind("SRTP:\n", 0), 0u);
    for (const char *item :
         {"dbg level   =9\n", "ssrc tx     =0x00000000\n", "enc:\n", "dec:\n", "ssrc type   =3\n",
          "ssrc type   =2\n", "crypto name =AES_CM_128_HMAC_SHA1_80\n",
          "crypto name =AES_CM_128_HMAC_SHA1_32\n", "mki len     =0\n"})
        EXPECT_NE(dump.find(item), std::string::npos) << item;
    EXPECT_LT(dump.find("enc:\n"), dump.find("dec:\n"));

    char small[100];
    n = srtp_kit_dump(kit, small, sizeof small);
    EXPECT_LT(n, 100);
    EXPECT_EQ(static_cast<size_t>(n), strlen(small));
    EXPECT_EQ(small[n - 1], '\n');
    srtp_kit_destroy(kit);
}

TEST(KeyGenerate, LinesAreFreshAndNotFromTheCLibraryGenerator) {
    SrtpLogCapture log;
    char a[SRTP_KEY_LINE_MAX + 1], b[SRTP_KEY_LINE_MAX + 1];
    srand(1);
    ASSERT_EQ(srtp_key_line_generate(a, sizeof a), 0);
    srand(1);
    ASSERT_EQ(srtp_key_line_generate(b, sizeof b), 0);
    EXPECT_EQ(strlen(a), static_cast<size_t>(SRTP_KEY_LINE_GENERATED_LEN));
    EXPECT_EQ(std::string(a).rfind(SRTP_KEY_LINE_PREFIX, 0), 0u);
    EXPECT_STRNE(a, b);
    srtp_key_policy p;
    EXPECT_EQ(key2policy(&p, a), 0);
    EXPECT_EQ(p.key_len, 30);
    EXPECT_EQ(srtp_key_line_generate(a, 73), -1);
}

}  // namespace
