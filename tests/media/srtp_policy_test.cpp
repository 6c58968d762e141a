// Key lines as the phone may send them, parsed into one direction's policy.
#include <gtest/gtest.h>
#include <srtp2/crypto_types.h>

#include <cstring>
#include <string>
#include <vector>

#include "media/srtp_policy.h"
#include "srtp_log_capture.h"

namespace {

// 30 bytes 0x00..0x1d, base64.
const std::string kKey = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd";

struct KeyLineCase {
    const char *name;
    std::string line;
    int rc;
    int rtp_tag;  // bytes
    int rtcp_tag;
    uint32_t lifetime;
    std::vector<uint8_t> mki;
    const char *log_contains;
};

class KeyLine : public ::testing::TestWithParam<KeyLineCase> {};

TEST_P(KeyLine, ParsesAsExpected) {
    SrtpLogCapture log;
    const KeyLineCase &c = GetParam();
    srtp_key_policy p;
    memset(&p, 0xa5, sizeof p);
    ASSERT_EQ(key2policy(&p, c.line.c_str()), c.rc);
    if (c.log_contains != nullptr) {
        EXPECT_NE(log.text().find(c.log_contains), std::string::npos) << log.text();
    }
    if (c.rc != 0) return;
    EXPECT_EQ(p.rtp.auth_tag_len, c.rtp_tag);
    EXPECT_EQ(p.rtcp.auth_tag_len, c.rtcp_tag);
    EXPECT_EQ(p.rtp.cipher_type, static_cast<srtp_cipher_type_id_t>(SRTP_AES_ICM_128));
    EXPECT_EQ(p.rtp.cipher_key_len, 30);
    EXPECT_EQ(p.rtp.sec_serv, sec_serv_conf_and_auth);
    EXPECT_EQ(p.lifetime, c.lifetime);
    ASSERT_EQ(p.mki_len, static_cast<int>(c.mki.size()));
    EXPECT_EQ(std::vector<uint8_t>(p.mkis, p.mkis + p.mki_len), c.mki);
    EXPECT_EQ(p.key_len, 30);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(p.crypto_key[i], i);
    for (int i = 30; i < SRTP_CRYPTO_KEY_SIZE; ++i) EXPECT_EQ(p.crypto_key[i], 0);
    EXPECT_EQ(p.roc, 0);
    EXPECT_EQ(p.seq, 0);
    EXPECT_EQ(p.index, 0);
}

const std::string k80 = "1 AES_CM_128_HMAC_SHA1_80 inline:";

INSTANTIATE_TEST_SUITE_P(
    Lines, KeyLine,
    ::testing::Values(
        KeyLineCase{"plain80", k80 + kKey, 0, 10, 10, 0, {}, "SRTP:No life time section\n"},
        KeyLineCase{"lifetime_and_mki",
                    k80 + kKey + "|2^20|1:4",
                    0,
                    10,
                    10,
                    1048576,
                    {0, 0, 0, 1},
                    "SRTP:have life time section\n"},
        KeyLineCase{"mki_only",
                    k80 + kKey + "|1:4",
                    0,
                    10,
                    10,
                    0,
                    {0, 0, 0, 1},
                    "SRTP:No life time section\n"},
        KeyLineCase{"decimal_lifetime",
                    k80 + kKey + "|1000",
                    0,
                    10,
                    10,
                    1000,
                    {},
                    "SRTP:have life time section\n"},
        KeyLineCase{
            "mki_big_endian", k80 + kKey + "|2^31|258:2", 0, 10, 10, 0x80000000u, {1, 2}, nullptr},
        KeyLineCase{
            "suite32", "1 AES_CM_128_HMAC_SHA1_32 inline:" + kKey, 0, 4, 10, 0, {}, nullptr},
        KeyLineCase{"lower_case_falls_back",
                    "1 aes_cm_128_hmac_sha1_80 inline:" + kKey,
                    0,
                    10,
                    10,
                    0,
                    {},
                    "SRTP:NOT supported SRTP key\n"},
        KeyLineCase{"key_39_chars",
                    k80 + kKey.substr(0, 39),
                    SRTP_ERR_BAD_KEY,
                    0,
                    0,
                    0,
                    {},
                    "SRTP:Inline parse base64 is null.\n"},
        KeyLineCase{
            "no_colon", "1 AES_CM_128_HMAC_SHA1_80 inline", SRTP_ERR_BAD_KEY, 0, 0, 0, {}, nullptr},
        KeyLineCase{"no_space", "1", SRTP_ERR_BAD_KEY, 0, 0, 0, {}, nullptr},
        KeyLineCase{"empty_key", k80, SRTP_ERR_BAD_KEY, 0, 0, 0, {}, nullptr},
        KeyLineCase{"no_suite", "1 :" + kKey, SRTP_ERR_BAD_KEY, 0, 0, 0, {}, nullptr},
        KeyLineCase{"cbc_refused",
                    "1 AEC_CBC_128 inline:" + kKey,
                    SRTP_ERR_BAD_KEY,
                    0,
                    0,
                    0,
                    {},
                    "SRTP:NOT supported SRTP key,1 AEC_CBC_128"},
        KeyLineCase{"f8_refused",
                    "1 F8_128_HMAC_SHA1_80 inline:" + kKey,
                    SRTP_ERR_BAD_KEY,
                    0,
                    0,
                    0,
                    {},
                    "SRTP:NOT supported SRTP key,1 F8_128"},
        KeyLineCase{
            "short_key", k80 + "AAECAwQF", SRTP_ERR_BAD_KEY, 0, 0, 0, {}, "SRTP:key of 6 bytes"},
        KeyLineCase{"key_over_48_bytes",
                    k80 + kKey + kKey,
                    SRTP_ERR_BAD_KEY,
                    0,
                    0,
                    0,
                    {},
                    "longer than 48"},
        KeyLineCase{"line_of_128",
                    k80 + kKey + "|" + std::string(127 - 73, '9'),
                    0,
                    10,
                    10,
                    0xffffffffu,
                    {},
                    nullptr},
        KeyLineCase{"line_of_129",
                    k80 + kKey + "|" + std::string(128 - 73, '9'),
                    SRTP_ERR_BAD_KEY,
                    0,
                    0,
                    0,
                    {},
                    "longer than 128"},
        KeyLineCase{
            "mki_without_colon", k80 + kKey + "|2^20|14", SRTP_ERR_BAD_KEY, 0, 0, 0, {}, "bad MKI"},
        KeyLineCase{"bad_lifetime",
                    k80 + kKey + "|2^x|1:4",
                    SRTP_ERR_BAD_KEY,
                    0,
                    0,
                    0,
                    {},
                    "bad life time"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(KeyLine, ForeignCharactersDecodeAsZeroBits) {
    SrtpLogCapture log;
    srtp_key_policy p;
    // '*' in place of the first 'A' (zero bits too) leaves the key unchanged.
    ASSERT_EQ(key2policy(&p, ("1 AES_CM_128_HMAC_SHA1_80 inline:*" + kKey.substr(1)).c_str()), 0);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(p.crypto_key[i], i);
}

TEST(KeyLine, NameLongerThan31IsCut) {
    SrtpLogCapture log;
    srtp_key_policy p;
    std::string name(40, 'X');
    ASSERT_EQ(key2policy(&p, ("1 " + name + " inline:" + kKey).c_str()), 0);
    EXPECT_EQ(std::string(p.crypto_name), name.substr(0, 31));
}

}  // namespace
