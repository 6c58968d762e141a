// Bodies the PC reads from the phone: defaults, case-insensitive keys,
// unparsable bodies and texts cut to their fields.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "link/duvo_body.h"
#include "wire_fixture.h"

namespace {

bytes json(const std::string &s) {
    return text_z(s);
}

}  // namespace

TEST(DuvoBodyRead, VerificationResult) {
    const struct {
        int ver;
        bytes body;
        int result;
    } cases[] = {
        {1, json("{\"pair_code_ver_result\": 0}"), 0},
        {1, json("{\"PAIR_CODE_VER_RESULT\": 3}"), 3},  // keys ignore case
        {1, json("{\"other\": 5}"), 0},                 // missing key: success
        {1, json("not json"), 1},                       // unparsable: failure
        {1, bytes{}, 1},
        {0, le32(0), 0},
        {0, le32(2), 2},
        {0, B({0, 0}), 1},  // short old body is no success
    };
    for (const auto &c : cases)
        EXPECT_EQ(duvo_read_verification_result(c.ver, c.body.data(), c.body.size()), c.result)
            << std::string(c.body.begin(), c.body.end());
}

TEST(DuvoBodyRead, CallEndDefaults) {
    const struct {
        int ver;
        bytes body;
        int hung_up, need_clean;
    } cases[] = {
        {1, json("{\"hung_up\": 1, \"need_clean\": 0}"), 1, 0},
        {1, json("{\"hung_up\": 1}"), 1, 1},
        {1, json("{\"need_clean\": \"0\"}"), 0, 1},  // only a number counts
        {1, json("{garbage"), 0, 1},
        {0, le32(1), 1, 1},
        {0, B({1}), 0, 1},
    };
    for (const auto &c : cases) {
        int h = -9, n = -9;
        duvo_read_call_end(c.ver, c.body.data(), c.body.size(), &h, &n);
        EXPECT_EQ(h, c.hung_up);
        EXPECT_EQ(n, c.need_clean);
    }
}

TEST(DuvoBodyRead, PairModeAndSmallReaders) {
    int mode = 7;
    bytes b = json("{\"Pair_Mode\": 1}");
    EXPECT_EQ(duvo_read_pair_mode(1, b.data(), b.size(), &mode), 0);
    EXPECT_EQ(mode, 1);
    b = json("{}");
    EXPECT_EQ(duvo_read_pair_mode(1, b.data(), b.size(), &mode), 0);
    EXPECT_EQ(mode, 0);
    mode = 7;
    b = json("[");
    EXPECT_EQ(duvo_read_pair_mode(1, b.data(), b.size(), &mode), -1);
    EXPECT_EQ(mode, 7);
    b = B({1, 9});
    EXPECT_EQ(duvo_read_pair_mode(0, b.data(), b.size(), &mode), 0);
    EXPECT_EQ(mode, 1);

    uint16_t v = 0;
    b = B({0x12, 0x34});
    EXPECT_EQ(duvo_read_u16_net(b.data(), b.size(), &v), 0);
    EXPECT_EQ(v, 0x1234);
    EXPECT_EQ(duvo_read_u16_net(b.data(), 1, &v), -1);

    b = json("{\"command\": 1, \"value\": -3}");
    int cmd = 9, val = 9;
    EXPECT_EQ(duvo_read_zoom_command(b.data(), b.size(), &cmd, &val), 0);
    EXPECT_EQ(cmd, 1);
    EXPECT_EQ(val, -3);
    b = B({'x'});
    EXPECT_EQ(duvo_read_zoom_command(b.data(), b.size(), &cmd, &val), -1);

    b = json("{\"dtmf_key\": 5, \"dtmf_type\": \"x\"}");
    EXPECT_EQ(duvo_read_dtmf_key(1, b.data(), b.size()), 5);
    b = B({'#'});
    EXPECT_EQ(duvo_read_dtmf_key(0, b.data(), b.size()), '#');
    b = json("{\"operate_type\": 2}");
    EXPECT_EQ(duvo_read_syslog_info(b.data(), b.size()), 2);
    EXPECT_EQ(duvo_read_syslog_info(b.data(), 3), 0);
}

TEST(DuvoBodyRead, CallStart) {
    uint32_t port = 0;
    char key[DUVO_KEY_SIZE];
    bytes b = cat(B({0, 0, 0x13, 0x8C}), text_z("inline:abc"));
    EXPECT_EQ(duvo_read_call_start(0, b.data(), b.size(), &port, key), 0);
    EXPECT_EQ(port, 5004u);
    EXPECT_STREQ(key, "inline:abc");

    b = json("{\"rtp_port\": 6000, \"strp_key\": \"" + std::string(300, 'k') + "\"}");
    EXPECT_EQ(duvo_read_call_start(1, b.data(), b.size(), &port, key), 0);
    EXPECT_EQ(port, 6000u);
    EXPECT_EQ(std::strlen(key), DUVO_KEY_SIZE - 1);

    EXPECT_EQ(duvo_read_call_start(0, b.data(), 3, &port, key), -1);
}

TEST(DuvoBodyRead, PairedInfo) {
    pair_conv_info info;
    bytes b = le32(0);
    EXPECT_EQ(duvo_read_paired_info(1, b.data(), b.size(), &info), DUVO_PAIRED_CONFLICT);
    EXPECT_EQ(duvo_read_paired_info(0, b.data(), b.size(), &info), DUVO_PAIRED_CONFLICT);

    b = json(
        "{\"phone_ip\": \"10.0.0.2\", \"phone_mac\": \"aa:bb\", \"phone_name\": \"desk\", "
        "\"pair_conv_id\": \"c-1\"}");
    EXPECT_EQ(duvo_read_paired_info(1, b.data(), b.size(), &info), 0);
    EXPECT_STREQ(info.phone_ip, "10.0.0.2");
    EXPECT_STREQ(info.phone_mac, "aa:bb");
    EXPECT_STREQ(info.phone_name, "desk");
    EXPECT_STREQ(info.conv_id, "c-1");

    // One key missing: nothing is taken.
    b = json("{\"phone_ip\": \"10.0.0.2\", \"phone_mac\": \"aa:bb\", \"phone_name\": \"desk\"}");
    EXPECT_EQ(duvo_read_paired_info(1, b.data(), b.size(), &info), 0);
    EXPECT_STREQ(info.phone_ip, "");

    // Old format: four fixed fields; full-width texts stay NUL-ended.
    bytes wire(PAIR_CONV_INFO_WIRE_SIZE, 0);
    std::memset(wire.data(), 'm', 32);
    std::memcpy(wire.data() + 32, "10.0.0.3", 8);
    std::memcpy(wire.data() + 64, "conf", 4);
    std::memset(wire.data() + 96, 'c', 48);
    EXPECT_EQ(duvo_read_paired_info(0, wire.data(), wire.size(), &info), 0);
    EXPECT_EQ(std::string(info.phone_mac), std::string(32, 'm'));
    EXPECT_STREQ(info.phone_ip, "10.0.0.3");
    EXPECT_STREQ(info.phone_name, "conf");
    EXPECT_EQ(std::string(info.conv_id), std::string(48, 'c'));
    // A short body fills what it has.
    EXPECT_EQ(duvo_read_paired_info(0, wire.data(), 39, &info), 0);
    EXPECT_STREQ(info.phone_ip, "10.0.0.");
    EXPECT_STREQ(info.conv_id, "");
}

TEST(DuvoBodyRead, DeviceInfoAndFieldCuts) {
    LogCapture logs;
    std::string long_name(200, 'N'), long_sip(50, 'S');
    bytes b = json(
        "{\"SW_VERSION\": \"2.1\", \"update_url\": \"https://u\", \"device_gruu\": \"g\", "
        "\"device_name\": \"" +
        long_name + "\", \"sip_version\": \"" + long_sip +
        "\", \"codec_name\": \"L16PCM\", \"device_vid\": 4660, \"device_pid\": 22136, "
        "\"device_rev\": 256}");
    duvo_dev_info info;
    EXPECT_EQ(duvo_read_dev_info(b.data(), b.size(), &info), 0);
    EXPECT_EQ(info.texts_present, 1);
    EXPECT_STREQ(info.sw_version, "2.1");
    EXPECT_EQ(std::string(info.device_name), std::string(127, 'N'));  // 128-byte field
    EXPECT_EQ(std::string(info.sip_version), std::string(31, 'S'));   // 32-byte field
    EXPECT_EQ(info.device_vid, 4660);
    EXPECT_EQ(info.device_pid, 22136);
    EXPECT_EQ(info.device_rev, 256);
    EXPECT_EQ(info.codec_samplerate, 0);  // missing number reads 0
    EXPECT_TRUE(logs.has("cut"));

    // Five texts only: numbers taken, texts not.
    b = json(
        "{\"sw_version\": \"2.1\", \"update_url\": \"u\", \"device_gruu\": \"g\", "
        "\"device_name\": \"n\", \"sip_version\": \"s\", \"codec_samplerate\": 48000}");
    EXPECT_EQ(duvo_read_dev_info(b.data(), b.size(), &info), 0);
    EXPECT_EQ(info.texts_present, 0);
    EXPECT_STREQ(info.device_name, "");
    EXPECT_EQ(info.codec_samplerate, 48000);

    // Old-format texts: the whole body, up to a NUL, cut to the field.
    char name[DUVO_DEVICE_NAME_SIZE];
    bytes raw(300, 'R');
    EXPECT_EQ(duvo_read_text(raw.data(), raw.size(), name, sizeof name), 127u);
    bytes with_nul = cat(text_z("desk"), B({'x', 'y'}));
    EXPECT_EQ(duvo_read_text(with_nul.data(), with_nul.size(), name, sizeof name), 4u);
    EXPECT_STREQ(name, "desk");

    char url[DUVO_URL_SIZE];
    b = json("{\"update_url\": \"https://x\"}");
    EXPECT_EQ(duvo_read_update_url(1, b.data(), b.size(), url, sizeof url), 1);
    EXPECT_STREQ(url, "https://x");
    b = json("{}");
    EXPECT_EQ(duvo_read_update_url(1, b.data(), b.size(), url, sizeof url), 0);
    char gruu[DUVO_GRUU_SIZE];
    b = json("{\"Device_Gruu\": \"sip:g\"}");
    EXPECT_EQ(duvo_read_gruu(1, b.data(), b.size(), gruu, sizeof gruu), 1);
    EXPECT_STREQ(gruu, "sip:g");
}
