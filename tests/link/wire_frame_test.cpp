// Framing, the send path and the bodies the PC sends, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "link/duvo_body.h"
#include "link/duvo_cmd.h"
#include "link/duvo_wire.h"
#include "wire_fixture.h"

TEST(DuvoCmdName, NamesAndUndefinedIds) {
    const struct {
        int id;
        const char *name;
    } cases[] = {
        {0x10, "DUVO_CMD_C2P_CFG_USER_INFO"},
        {0x1A, "DUVO_CMD_C2P_SYSLOG_INFO_GET"},
        {0x39, "DUVO_CMD_P2C_NOTIFY_SUPPORT_XML"},
        {0x3D, "DUVO_CMD_P2C_ACC_SIGN_OUT"},
        {0x58, "DUVO_CMD_P2C_ZOOM_COMMAND"},
        {0x66, "DUVO_CMD_C2P_DETECT_NEW_FORMATE"},
        {0x6B, "DUVO_CMD_C2P_SPEAKER_MUTE"},
        // Handled or sent, but never in the name table.
        {55, "undefined Duvo msg id."},
        {108, "undefined Duvo msg id."},
        // Unused ids and out-of-range values.
        {19, "undefined Duvo msg id."},
        {62, "undefined Duvo msg id."},
        {75, "undefined Duvo msg id."},
        {0, "undefined Duvo msg id."},
        {255, "undefined Duvo msg id."},
        {-1, "undefined Duvo msg id."},
    };
    for (const auto &c : cases) EXPECT_STREQ(duvo_cmd_name(c.id), c.name) << c.id;
}

// Every PC-sent body in both formats. Frames are checked whole, header and
// body; JSON is cJSON's formatted print with its NUL.
TEST(DuvoWire, BodiesInBothFramings) {
    struct send_case {
        const char *what;
        std::function<int(duvo_link *)> send;
        std::vector<bytes> old_frames;  // msg_version 0
        std::vector<bytes> new_bodies;  // msg_version 2: body and id per frame
        std::vector<int> new_ids;
    };
    char key[130];
    std::memset(key, 'k', sizeof key);
    key[129] = 0;  // longer than the 128-byte key field
    bytes key_field(128, 'k');
    char conv[49];
    std::memset(conv, 'c', 48);
    conv[48] = 0;

    const send_case cases[] = {
        {"detect",
         [](duvo_link *l) { return duvo_send_cmd(l, 0, nullptr, 0x66); },
         {B({0x66, 0x00})},
         {bytes{}},
         {0x66}},
        {"sign in",
         [](duvo_link *l) { return duvo_send_sign_in(l, 0x0102); },
         {B({0x17, 2, 0x02, 0x01})},
         {text_z("{\n\t\"present_status\":\t258\n}")},
         {0x17}},
        {"syslog update",
         [](duvo_link *l) { return duvo_send_syslog_update(l, 5, 0xC0A8010A); },  // 192.168.1.10
         {B({0x1B, 8, 1, 1, 6, 0, 192, 168, 1, 10})},
         {text_z("{\n\t\"deadline\":\t1,\n\t\"log_method\":\t1,\n\t\"log_level\":\t6,\n\t"
                 "\"server_ip\":\t167880896\n}")},
         {0x1B}},
        {"syslog off, high address",
         [](duvo_link *l) { return duvo_send_syslog_update(l, 0, 0x0A0000C8); },  // 10.0.0.200
         {B({0x1B, 8, 1, 0, 6, 0, 10, 0, 0, 200})},
         {text_z("{\n\t\"deadline\":\t1,\n\t\"log_method\":\t0,\n\t\"log_level\":\t6,\n\t"
                 "\"server_ip\":\t-939524086\n}")},
         {0x1B}},
        {"pin",
         [](duvo_link *l) { return duvo_send_pin_verification(l, "1234xx", 4); },
         {B({0x1C, 4, '1', '2', '3', '4'})},
         {text_z("{\n\t\"pair_code\":\t\"1234\"\n}")},
         {0x1C}},
        {"phone lock",
         [](duvo_link *l) { return duvo_send_phone_lock(l, 1); },
         {B({0x1D, 4, 1, 0, 0, 0})},
         {text_z("{\n\t\"phone_lock\":\t1\n}")},
         {0x1D}},
        {"user info",
         [](duvo_link *l) { return duvo_send_user_info(l, "sip:a@b", "auth", "pw"); },
         {cat(B({0x14, 8}), text_z("sip:a@b")), cat(B({0x11, 5}), text_z("auth")),
          cat(B({0x12, 3}), text_z("pw"))},
         {text_z("{\n\t\"sip_uri\":\t\"sip:a@b\",\n\t\"auth_uri\":\t\"auth\",\n\t"
                 "\"password\":\t\"pw\"\n}")},
         {0x10}},
        {"device active",
         [&key](duvo_link *l) { return duvo_send_device_active(l, 5004, key); },
         {cat(B({0x40, 132, 0, 0, 0x13, 0x8C}), key_field)},
         {text_z("{\n\t\"rtp_port\":\t5004,\n\t\"srtp_key\":\t\"" + std::string(128, 'k') +
                 "\",\n\t\"codec_name\":\t\"L16PCM\",\n\t\"codec_samplerate\":\t16000\n}")},
         {0x40}},
        {"device update",
         [](duvo_link *l) { return duvo_send_device_update(l, "Ann", "conv-1", 2); },
         {cat(B({0x42, 4}), text_z("Ann"))},
         {text_z("{\n\t\"display_name\":\t\"Ann\",\n\t\"conversation_id\":\t\"conv-1\",\n\t"
                 "\"inc_call_type\":\t2\n}")},
         {0x42}},
        {"mute user",
         [](duvo_link *l) { return duvo_send_call_mute_user(l, 1); },
         {B({0x44, 1, 1})},
         {text_z("{\n\t\"mute_status\":\t1\n}")},
         {0x44}},
        {"set as mic",
         [](duvo_link *l) { return duvo_send_set_as_mic(l, 1); },
         {old_msg(0x45, text_z("{\n\t\"active\":\t1\n}"))},
         {text_z("{\n\t\"active\":\t1\n}")},
         {0x45}},
        {"volume",
         [](duvo_link *l) { return duvo_send_current_volume(l, 7); },
         {old_msg(0x69, text_z("{\n\t\"cur_volume\":\t7\n}"))},
         {text_z("{\n\t\"cur_volume\":\t7\n}")},
         {0x69}},
        {"rooms state",
         [](duvo_link *l) { return duvo_send_zoom_rooms_state(l, 1, -2); },
         {old_msg(0x6A, text_z("{\n\t\"type\":\t1,\n\t\"state\":\t-2\n}"))},
         {text_z("{\n\t\"type\":\t1,\n\t\"state\":\t-2\n}")},
         {0x6A}},
        {"speaker mute",
         [](duvo_link *l) { return duvo_send_speaker_mute(l, 0); },
         {old_msg(0x6B, text_z("{\n\t\"speaker_mute\":\t0\n}"))},
         {text_z("{\n\t\"speaker_mute\":\t0\n}")},
         {0x6B}},
        {"duvo cfg",
         [](duvo_link *l) { return duvo_send_duvo_cfg(l, "1.2.3.4", 1, "conv-9"); },
         {},  // new format only
         {text_z(
             "{\n\t\"duvo_version\":\t\"1.2.3.4\",\n\t\"connect_type\":\t1,\n\t"
             "\"pair_conv_id\":\t\"conv-9\",\n\t\"media_ctl\":\t1,\n\t\"duvo_oem\":\t\"zoom\"\n}")},
         {0x67}},
        {"pc status",
         [](duvo_link *l) { return duvo_send_pc_status(l, 12); },
         {},
         {text_z("{\n\t\"pc_status\":\t12\n}")},
         {0x68}},
    };
    for (const send_case &c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.old_frames.empty()) {
            WireLink w(0);
            EXPECT_GT(c.send(&w.link), 0);
            EXPECT_EQ(w.sent, c.old_frames);
            EXPECT_EQ(w.link.sent_list.Count(), 0u) << "old framing is not tracked";
        }
        WireLink w(2);
        w.link.tx_seq = 41;
        EXPECT_GT(c.send(&w.link), 0);
        ASSERT_EQ(w.sent.size(), c.new_bodies.size());
        for (size_t i = 0; i < w.sent.size(); ++i)
            EXPECT_EQ(w.sent[i], new_msg(c.new_ids[i], 42 + uint32_t(i), c.new_bodies[i]));
        EXPECT_EQ(w.link.sent_list.Count(), w.sent.size());
    }
}

// The identity messages an old-format phone gets.
TEST(DuvoWire, OldIdentityMessages) {
    WireLink w(0);
    char conv[48] = "0e5f0c2a-7d1b-5a3c-9f00-123456789abc";
    duvo_send_sw_version(&w.link, "1.0.0.7");
    duvo_send_connect_type(&w.link, 1);
    duvo_send_pair_conv_id(&w.link, conv);
    ASSERT_EQ(w.sent.size(), 3u);
    EXPECT_EQ(w.sent[0], cat(B({0x3B, 8}), text_z("1.0.0.7")));
    EXPECT_EQ(w.sent[1], B({0x20, 4, 1, 0, 0, 0}));
    bytes conv_body(conv, conv + 48);
    EXPECT_EQ(w.sent[2], cat(B({0x65, 48}), conv_body));
}

TEST(DuvoWire, SequenceStartsAtOneAndAckRepeatsHeader) {
    WireLink w(1);
    duvo_send_cmd(&w.link, 0, nullptr, DUVO_CMD_C2P_PAIR_DETECT);
    duvo_send_cmd(&w.link, 0, nullptr, DUVO_CMD_C2P_GET_DEV_INFO);
    ASSERT_EQ(w.sent.size(), 2u);
    EXPECT_EQ(w.sent[0], hdr(0x19, 0, 2, 1, 0));
    EXPECT_EQ(w.sent[1], hdr(0x16, 0, 2, 2, 0));

    // An acknowledgement: same id, kind 1, reserved 0, the received version
    // byte and sequence, no body; it does not use a sequence number of ours.
    bytes received = new_msg(0x2C, 0x01020304, text_z("{}"), 3);
    received[2] = 9;  // reserved byte set by the peer is not echoed
    w.sent.clear();
    EXPECT_EQ(duvo_send_ack(&w.link, received.data()), 12);
    EXPECT_EQ(w.sent, std::vector<bytes>{hdr(0x2C, 1, 3, 0x01020304, 0)});
    EXPECT_EQ(w.link.tx_seq, 2u);
    EXPECT_EQ(w.link.sent_list.Count(), 2u);
}

TEST(DuvoWire, NoSocketFallsBackToOldFraming) {
    WireLink w(2);
    w.socket = 0;
    w.link.rx_tail_len = 5;  // a partial message of the lost connection
    duvo_send_cmd(&w.link, 0, nullptr, DUVO_CMD_C2P_DETECT_NEW_FORMATE);
    EXPECT_EQ(w.link.msg_version, 0);
    EXPECT_EQ(w.sent, std::vector<bytes>{B({0x66, 0})});
    EXPECT_EQ(w.link.tx_seq, 0u);
    EXPECT_EQ(w.link.rx_tail_len, 0u);
}

TEST(DuvoWire, FailedSendIsLoggedAndStillTracked) {
    LogCapture logs;
    WireLink w(1);
    w.send_result = -3;
    EXPECT_EQ(duvo_send_cmd(&w.link, 0, nullptr, DUVO_CMD_C2P_GET_DEV_INFO), -3);
    EXPECT_TRUE(logs.has("Send cmd(0x16: DUVO_CMD_C2P_GET_DEV_INFO) to phone\n"));
    EXPECT_TRUE(logs.has("Send cmd(0x16: DUVO_CMD_C2P_GET_DEV_INFO) to phone fail, ret:-3\n"));
    EXPECT_EQ(w.link.sent_list.Count(), 1u);

    // The keepalive is not logged on success.
    logs.lines().clear();
    w.send_result = 1;
    duvo_send_cmd(&w.link, 0, nullptr, DUVO_CMD_C2P_KEEP_ALIVE);
    EXPECT_FALSE(logs.has("Send cmd"));
}

TEST(DuvoWire, OversizeBodies) {
    LogCapture logs;
    bytes big(3000, 'x');
    {
        // Old framing: cut to what the length byte can say.
        WireLink w(0);
        EXPECT_GT(duvo_send_cmd(&w.link, 300, big.data(), DUVO_CMD_C2P_DEVICE_UPDATE), 0);
        ASSERT_EQ(w.sent.size(), 1u);
        EXPECT_EQ(w.sent[0].size(), 257u);
        EXPECT_EQ(w.sent[0][1], 255);
        // A long text keeps its NUL inside the 255 bytes.
        w.sent.clear();
        std::string name(400, 'n');
        duvo_send_device_update(&w.link, name.c_str(), "c", 0);
        ASSERT_EQ(w.sent.size(), 1u);
        EXPECT_EQ(w.sent[0].size(), 257u);
        EXPECT_EQ(w.sent[0].back(), 0);
    }
    {
        // New framing: the largest body fits the 2048-byte frame; one more is refused.
        WireLink w(1);
        EXPECT_GT(duvo_send_cmd(&w.link, 2036, big.data(), DUVO_CMD_C2P_DEVICE_UPDATE), 0);
        EXPECT_EQ(w.sent.back().size(), 2048u);
        EXPECT_EQ(duvo_send_cmd(&w.link, 2037, big.data(), DUVO_CMD_C2P_DEVICE_UPDATE), -1);
        EXPECT_EQ(w.sent.size(), 1u);
        EXPECT_EQ(w.link.tx_seq, 1u);
    }
}

TEST(DuvoLink, InitAndSessionReset) {
    duvo_link bare;
    duvo_link_hooks none{};
    EXPECT_EQ(duvo_link_init(&bare, &none), -1);  // a link that cannot send is refused
    EXPECT_EQ(duvo_link_init(nullptr, &none), -1);

    WireLink w(2);
    duvo_send_cmd(&w.link, 0, nullptr, DUVO_CMD_C2P_PAIR_DETECT);
    w.link.recv_list.Add(hdr(0x2C, 0, 2, 1, 0).data(), nullptr, 0);
    w.link.status = STATUS_PAIRED;
    w.link.unpair_reason = -2;
    w.link.phone_alive = 1;
    std::strcpy(w.link.codec_name, "G722");
    duvo_link_session_reset(&w.link);
    EXPECT_EQ(w.link.msg_version, 0);
    EXPECT_EQ(w.link.tx_seq, 0u);
    EXPECT_EQ(w.link.phone_alive, 0);
    EXPECT_STREQ(w.link.codec_name, "L16PCM");
    EXPECT_EQ(w.link.codec_samplerate, 16000);
    EXPECT_EQ(w.link.sent_list.Count() + w.link.recv_list.Count(), 0u);
    // Status and reason outlive a session start; the session owns them.
    EXPECT_EQ(w.link.status, STATUS_PAIRED);
    EXPECT_EQ(w.link.unpair_reason, -2);

    EXPECT_STREQ(pair_status_name(STATUS_IDLE), "STATUS_IDLE");
    EXPECT_STREQ(pair_status_name(STATUS_PAIREDSIGNIN), "STATUS_PAIREDSIGNIN");
    EXPECT_STREQ(pair_status_name(11), "Unknown pair status");
    EXPECT_STREQ(pair_status_name(-1), "Unknown pair status");
}
