// The phone simulator driven in-process by a PC-side client: the pairing
// handshake in both formats, pairing codes, reliability of the new framing,
// keepalive answers and the commands of standard input.
#include <gtest/gtest.h>

#include <memory>

#include "link/duvo_body.h"
#include "phone_sim_test_client.h"
#include "tools/phone-sim/phone_sim_server.h"

namespace {

class PhoneSim : public ::testing::Test {
  protected:
    void TearDown() override { phone_sim_server_stop(srv_); }

    void start(phone_sim_options o, const phone_sim_media_hooks *media = nullptr) {
        o.port = 0;
        if (o.pair_code.empty()) o.pair_code = "123456";
        phone_sim_printer p = log_.printer();
        ASSERT_EQ(phone_sim_server_start(&srv_, &o, &p, media), 0);
    }
    static phone_sim_options plain() {
        phone_sim_options o;
        o.tls = false;
        return o;
    }
    void connect(pc_client &pc, bool tls = false) {
        ASSERT_EQ(pc.connect(phone_sim_server_port(srv_), tls), 0);
        ASSERT_TRUE(log_.wait_for("# connected from"));
    }
    // A new-format client that has gone through detect and pair detect.
    void pair_new(pc_client &pc, pc_msg *paired) {
        connect(pc);
        ASSERT_TRUE(pc.detect_new_format());
        pc.send(DUVO_CMD_C2P_PAIR_DETECT);
        ASSERT_TRUE(pc.expect(DUVO_CMD_P2C_PAIRED_INFO, paired));
    }
    void command(const std::string &line) { phone_sim_server_command(srv_, line); }

    phone_sim_server *srv_ = nullptr;
    line_log log_;
};

TEST_F(PhoneSim, NewFormatHandshakeReachesActiveOk) {
    phone_sim_options o = plain();
    o.phone_mac = "00:15:65:aa:bb:cc";
    o.phone_name = "Desk 12";
    o.pair_conv_id = "conv-before";
    o.device_name = "CP965";
    o.device_vid = 0x1234;
    o.device_rev = 0x0203;
    o.codec_samplerate = 48000;
    start(o);
    pc_client pc;
    connect(pc);

    // The announcement of the new format is itself old-framed: exactly 2 bytes.
    pc.send(DUVO_CMD_C2P_DETECT_NEW_FORMATE);
    pc_msg m;
    ASSERT_TRUE(pc.recv(&m));
    EXPECT_EQ(m.id, DUVO_CMD_P2C_NOTIFY_SUPPORT_XML);
    EXPECT_FALSE(m.framed_new);
    EXPECT_TRUE(m.body.empty());
    EXPECT_TRUE(log_.wait_for("<- DUVO_CMD_C2P_DETECT_NEW_FORMATE old"));
    EXPECT_TRUE(log_.wait_for("-> DUVO_CMD_P2C_NOTIFY_SUPPORT_XML old"));

    // The client now frames the new way, like the PC.
    pc.use_new_format();
    pc.send(DUVO_CMD_C2P_PAIR_DETECT);
    ASSERT_TRUE(pc.recv(&m));
    EXPECT_EQ(m.kind, DUVO_KIND_ACK);
    EXPECT_EQ(m.id, DUVO_CMD_C2P_PAIR_DETECT);
    EXPECT_EQ(m.seq, 1u);
    ASSERT_TRUE(pc.expect(DUVO_CMD_P2C_PAIRED_INFO, &m));
    EXPECT_TRUE(m.framed_new);
    EXPECT_EQ(m.version, PHONE_SIM_DEFAULT_FORMAT_VERSION);
    EXPECT_EQ(m.seq, 1u);
    ASSERT_FALSE(m.body.empty());
    EXPECT_EQ(m.body.back(), 0) << "JSON bodies carry their NUL";
    pair_conv_info info;
    ASSERT_EQ(duvo_read_paired_info(1, m.body.data(), m.body.size(), &info), 0);
    EXPECT_STREQ(info.phone_mac, "00:15:65:aa:bb:cc");
    EXPECT_STREQ(info.phone_ip, "127.0.0.1");
    EXPECT_STREQ(info.phone_name, "Desk 12");
    EXPECT_STREQ(info.conv_id, "conv-before");
    EXPECT_TRUE(log_.wait_for("<- DUVO_CMD_C2P_PAIR_DETECT seq=1"));
    EXPECT_TRUE(log_.wait_for("-> DUVO_CMD_P2C_PAIRED_INFO seq=1 {\"phone_ip\":\"127.0.0.1\""));

    pc.send(DUVO_CMD_C2P_GET_DEV_INFO);
    ASSERT_TRUE(pc.expect(DUVO_CMD_P2C_DEV_INFO, &m));
    duvo_dev_info dev;
    ASSERT_EQ(duvo_read_dev_info(m.body.data(), m.body.size(), &dev), 0);
    EXPECT_EQ(dev.texts_present, 1);
    EXPECT_STREQ(dev.device_name, "CP965");
    EXPECT_EQ(dev.device_vid, 0x1234);
    EXPECT_EQ(dev.device_rev, 0x0203);
    EXPECT_EQ(dev.codec_samplerate, 48000);
    EXPECT_STREQ(dev.codec_name, "L16PCM");

    pc.send(DUVO_CMD_C2P_DUVO_CFG,
            "{\"duvo_version\":\"1.0.0.0\",\"connect_type\":1,\"pair_conv_id\":\"conv-pc\","
            "\"media_ctl\":1,\"duvo_oem\":\"zoom\"}");
    ASSERT_TRUE(pc.expect(DUVO_CMD_P2C_ACTIVE_OK, &m));
    EXPECT_TRUE(log_.wait_for("-> DUVO_CMD_P2C_ACTIVE_OK seq="));

    // The phone remembers the PC it paired with: the next pairing needs no code.
    pc.close();
    pc_client again;
    pc_msg paired;
    pair_new(again, &paired);
    ASSERT_EQ(duvo_read_paired_info(1, paired.body.data(), paired.body.size(), &info), 0);
    EXPECT_STREQ(info.conv_id, "conv-pc");
}

TEST_F(PhoneSim, ForgetfulPhoneKeepsItsConfiguredConversationId) {
    phone_sim_options o = plain();
    o.pair_conv_id = "fixed";
    o.remember_conv_id = false;
    start(o);
    for (int round = 0; round < 2; round++) {
        pc_client pc;
        pc_msg m;
        pair_new(pc, &m);
        pair_conv_info info;
        ASSERT_EQ(duvo_read_paired_info(1, m.body.data(), m.body.size(), &info), 0);
        EXPECT_STREQ(info.conv_id, "fixed");
        pc.send(DUVO_CMD_C2P_DUVO_CFG, "{\"pair_conv_id\":\"conv-pc\"}");
        ASSERT_TRUE(pc.expect(DUVO_CMD_P2C_ACTIVE_OK, &m));
    }
}

TEST_F(PhoneSim, OldFormatPhoneStaysInOldFraming) {
    phone_sim_options o = plain();
    o.new_format = false;
    o.phone_name = "Old desk";
    o.device_name = "T48";
    o.device_vid = 0x1a2b;
    o.device_pid = 0x3c4d;
    o.device_rev = 0x0506;
    start(o);
    pc_client pc;
    connect(pc);

    pc.send(DUVO_CMD_C2P_DETECT_NEW_FORMATE);
    pc_msg m;
    EXPECT_FALSE(pc.recv(&m, 300)) << "an old phone does not announce the new format";

    pc.send(DUVO_CMD_C2P_PAIR_DETECT);
    ASSERT_TRUE(pc.recv(&m));
    EXPECT_FALSE(m.framed_new);
    EXPECT_EQ(m.id, DUVO_CMD_P2C_PAIRED_INFO);
    EXPECT_EQ(m.body.size(), PAIR_CONV_INFO_WIRE_SIZE);
    pair_conv_info info;
    ASSERT_EQ(duvo_read_paired_info(0, m.body.data(), m.body.size(), &info), 0);
    EXPECT_STREQ(info.phone_name, "Old desk");
    EXPECT_STREQ(info.phone_ip, "127.0.0.1");

    // Device identity in four messages, the revision last.
    pc.send(DUVO_CMD_C2P_GET_DEV_INFO);
    struct expected {
        uint8_t id;
        uint16_t value;
    };
    for (expected e :
         {expected{DUVO_CMD_P2C_DEV_VID, 0x1a2b}, expected{DUVO_CMD_P2C_DEV_PID, 0x3c4d},
          expected{DUVO_CMD_P2C_DEV_REV, 0x0506}}) {
        if (e.id == DUVO_CMD_P2C_DEV_VID) {
            ASSERT_TRUE(pc.recv(&m));
            EXPECT_EQ(m.id, DUVO_CMD_P2C_DEV_NAME);
            char name[DUVO_DEVICE_NAME_SIZE];
            duvo_read_text(m.body.data(), m.body.size(), name, sizeof name);
            EXPECT_STREQ(name, "T48");
        }
        ASSERT_TRUE(pc.recv(&m));
        EXPECT_FALSE(m.framed_new);
        EXPECT_EQ(m.id, e.id);
        uint16_t v = 0;
        ASSERT_EQ(duvo_read_u16_net(m.body.data(), m.body.size(), &v), 0);
        EXPECT_EQ(v, e.value);
    }

    // The old-format identity trio; the answer follows the last of them.
    pc.send(DUVO_CMD_COM_SW_VERSION, "1.0.0.0");
    pc.send_bytes(DUVO_CMD_C2P_PHONE_CONNECT_TYPE, {1, 0, 0, 0});
    std::vector<uint8_t> conv(48, 0);
    memcpy(conv.data(), "conv-old", 8);
    pc.send_bytes(DUVO_CMD_C2P_PAIR_CONV_ID, conv);
    ASSERT_TRUE(pc.recv(&m));
    EXPECT_EQ(m.id, DUVO_CMD_P2C_ACTIVE_OK);
    EXPECT_FALSE(m.framed_new);

    pc.send(DUVO_CMD_C2P_KEEP_ALIVE);
    ASSERT_TRUE(pc.recv(&m));
    EXPECT_EQ(m.id, DUVO_CMD_P2C_KEEP_ALIVE_RESPONSE);
    EXPECT_FALSE(m.framed_new);

    // Commands use the old binary bodies.
    command("hangup");
    ASSERT_TRUE(pc.recv(&m));
    ASSERT_EQ(m.id, DUVO_CMD_P2C_CALL_END);
    int hung_up = 0, need_clean = 0;
    duvo_read_call_end(0, m.body.data(), m.body.size(), &hung_up, &need_clean);
    EXPECT_EQ(hung_up, 1);
    command("pair-mode-switch 1");
    ASSERT_TRUE(pc.recv(&m));
    ASSERT_EQ(m.id, DUVO_CMD_P2C_PAIR_MODE_SWITCH);
    int mode = -1;
    ASSERT_EQ(duvo_read_pair_mode(0, m.body.data(), m.body.size(), &mode), 0);
    EXPECT_EQ(mode, 1);
    EXPECT_EQ(log_.count("seq="), 0u) << log_.all();
}

TEST_F(PhoneSim, PairingCodeIsCheckedInBothFormats) {
    struct row {
        bool new_format;
        std::string sent;
        int expect_result;
    };
    const row rows[] = {
        {true, "482913", 0},
        {true, "111111", 1},
        {false, "482913", 0},
        {false, "48291", 1},
    };
    phone_sim_options o = plain();
    o.pair_mode = 1;
    o.pair_code = "482913";
    start(o);
    for (const row &r : rows) {
        SCOPED_TRACE(r.sent + (r.new_format ? " new" : " old"));
        pc_client pc;
        connect(pc);
        if (r.new_format) {
            ASSERT_TRUE(pc.detect_new_format());
        }
        pc.send(DUVO_CMD_C2P_GET_PAIRING_MODE);
        pc_msg m;
        ASSERT_TRUE(pc.expect(DUVO_CMD_P2C_PAIRING_MODE_RESULT, &m));
        int mode = -1;
        ASSERT_EQ(duvo_read_pair_mode(r.new_format, m.body.data(), m.body.size(), &mode), 0);
        EXPECT_EQ(mode, 1);
        EXPECT_TRUE(log_.wait_for("pairing code: 482913"));

        if (r.new_format) {
            pc.send(DUVO_CMD_C2P_PIN_VERIFICATION, "{\"pair_code\":\"" + r.sent + "\"}");
        } else {
            pc.send(DUVO_CMD_C2P_PIN_VERIFICATION, r.sent, false);
        }
        ASSERT_TRUE(pc.expect(DUVO_CMD_P2C_VERIFICATION_RESULT, &m));
        int result = duvo_read_verification_result(r.new_format, m.body.data(), m.body.size());
        EXPECT_EQ(result != 0, r.expect_result != 0);
        pc.close();
        ASSERT_TRUE(log_.wait_for(" by the PC"));
    }
}

TEST_F(PhoneSim, AcknowledgesAndFiltersRepeatsAndResendsItsOwn) {
    start(plain());
    pc_client pc;
    pc_msg paired;
    pair_new(pc, &paired);

    // The same keepalive twice: both acknowledged, answered once.
    pc.send(DUVO_CMD_C2P_KEEP_ALIVE, "", true, 40);
    pc.send(DUVO_CMD_C2P_KEEP_ALIVE, "", true, 40);
    pc_msg m;
    ASSERT_TRUE(pc.expect(DUVO_CMD_P2C_KEEP_ALIVE_RESPONSE, &m));
    EXPECT_FALSE(pc.recv_data(&m, 500));
    size_t keepalive_acks = 0;
    for (const pc_msg &a : pc.acks) {
        keepalive_acks += a.id == DUVO_CMD_C2P_KEEP_ALIVE && a.seq == 40;
    }
    EXPECT_EQ(keepalive_acks, 2u);
    EXPECT_TRUE(log_.wait_for("<- DUVO_CMD_C2P_KEEP_ALIVE seq=40 dup"));

    // An answer left unacknowledged goes out again with the same sequence number.
    pc.send(DUVO_CMD_C2P_GET_DEV_INFO);
    pc_msg first;
    ASSERT_TRUE(pc.recv_data(&first));
    ASSERT_EQ(first.id, DUVO_CMD_P2C_DEV_INFO);
    pc_msg again;
    ASSERT_TRUE(pc.recv_data(&again));
    EXPECT_EQ(again.id, DUVO_CMD_P2C_DEV_INFO);
    EXPECT_EQ(again.seq, first.seq);
    EXPECT_EQ(again.body, first.body);
    EXPECT_TRUE(
        log_.wait_for("-> DUVO_CMD_P2C_DEV_INFO seq=" + std::to_string(first.seq) + " resend"));
    // Once acknowledged it stops; an acknowledgement of nothing changes nothing.
    pc.ack(first);
    pc.ack(pc_msg{DUVO_CMD_P2C_GRUU, true, DUVO_KIND_ACK, 2, 999, {}});
    ASSERT_TRUE(log_.wait_for("<- ack DUVO_CMD_P2C_DEV_INFO seq=" + std::to_string(first.seq)));
    ASSERT_TRUE(log_.wait_for("<- ack DUVO_CMD_P2C_GRUU seq=999"));
    std::string resend = "DUVO_CMD_P2C_DEV_INFO seq=" + std::to_string(first.seq) + " resend";
    size_t resends = log_.count(resend);
    while (pc.recv_data(&m, 1500)) {
    }
    EXPECT_EQ(log_.count(resend), resends);
}

TEST_F(PhoneSim, KeepaliveAnswers) {
    struct row {
        const char *name;
        bool answer_option;
        bool silent;
        bool expect_ack;
        bool expect_answer;
    };
    const row rows[] = {
        {"answers", true, false, true, true},
        {"no-keepalive option", false, false, true, false},
        {"silent", true, true, false, false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        phone_sim_options o = plain();
        o.answer_keepalive = r.answer_option;
        start(o);
        pc_client pc;
        pc_msg paired;
        pair_new(pc, &paired);
        if (r.silent) {
            command("silent");
            ASSERT_TRUE(log_.wait_for("# silent"));
        }
        pc.acks.clear();
        pc.send(DUVO_CMD_C2P_KEEP_ALIVE);
        pc_msg m;
        bool answered = false;
        while (pc.recv_data(&m, 700)) answered |= m.id == DUVO_CMD_P2C_KEEP_ALIVE_RESPONSE;
        EXPECT_EQ(answered, r.expect_answer);
        bool acked = false;
        for (const pc_msg &a : pc.acks) acked |= a.id == DUVO_CMD_C2P_KEEP_ALIVE;
        EXPECT_EQ(acked, r.expect_ack);
        EXPECT_TRUE(log_.wait_for("<- DUVO_CMD_C2P_KEEP_ALIVE seq="));
        pc.close();
        phone_sim_server_stop(srv_);
        srv_ = nullptr;
    }
}

TEST_F(PhoneSim, CommandsSendTheirPhoneMessages) {
    struct row {
        const char *line;
        uint8_t id;
        const char *body;  // compact JSON as logged, or null for no body
    };
    const row rows[] = {
        {"hangup", DUVO_CMD_P2C_CALL_END, "{\"hung_up\":1,\"need_clean\":1}"},
        {"zoom 0 7", DUVO_CMD_P2C_ZOOM_COMMAND, "{\"command\":0,\"value\":7}"},
        {"unpair", DUVO_CMD_COM_UN_PAIR, nullptr},
        {"active-failed", DUVO_CMD_P2C_ACTIVE_FAILED, nullptr},
        {"active-ok", DUVO_CMD_P2C_ACTIVE_OK, nullptr},
        {"send 33 {\"device_gruu\": \"sip:x\"}", DUVO_CMD_P2C_GRUU, "{\"device_gruu\":\"sip:x\"}"},
        {"send DUVO_CMD_P2C_SIP_VERSION 2.1", DUVO_CMD_P2C_SIP_VERSION, "\"2.1\""},
        {"send 0x3d hex:0102ff", DUVO_CMD_P2C_ACC_SIGN_OUT, "hex:0102ff"},
        {"pair-mode-switch 1", DUVO_CMD_P2C_PAIR_MODE_SWITCH, "{\"pair_mode\":1}"},
    };
    start(plain());
    pc_client pc;
    pc_msg paired;
    pair_new(pc, &paired);
    for (const row &r : rows) {
        SCOPED_TRACE(r.line);
        command(r.line);
        pc_msg m;
        ASSERT_TRUE(pc.expect(r.id, &m));
        EXPECT_EQ(phone_sim_body_text(m.body.data(), m.body.size()), r.body ? r.body : "");
        if (r.body && r.body[0] == '{') {
            EXPECT_EQ(m.body.back(), 0);
        }
    }
    // The switched mode is what the phone reports from now on.
    pc.send(DUVO_CMD_C2P_GET_PAIRING_MODE);
    pc_msg m;
    ASSERT_TRUE(pc.expect(DUVO_CMD_P2C_PAIRING_MODE_RESULT, &m));
    int mode = -1;
    duvo_read_pair_mode(1, m.body.data(), m.body.size(), &mode);
    EXPECT_EQ(mode, 1);

    // Bad lines are reported and change nothing.
    for (const char *bad : {"zoom 1", "send 300 x", "send 33 {broken", "dance", "sleep 5"}) {
        command(bad);
        EXPECT_TRUE(log_.wait_for("! ")) << bad;
    }
    command("close");
    EXPECT_TRUE(pc.wait_closed());
    EXPECT_TRUE(log_.wait_for("closed by command"));

    // The next connection pairs afresh.
    pc_client next;
    pair_new(next, &paired);
    command("quit");
    EXPECT_EQ(phone_sim_server_wait(srv_, TEST_WAIT_MS), 1);
    EXPECT_TRUE(next.wait_closed());
}

TEST_F(PhoneSim, NewConnectionReplacesTheOldOne) {
    // The PC keeps one connection to its phone: when it connects again, the
    // old connection is over even if its close never arrived.
    start(plain());
    pc_client first, second;
    pc_msg paired;
    pair_new(first, &paired);
    pair_new(second, &paired);
    EXPECT_TRUE(first.wait_closed());
    EXPECT_EQ(log_.count("replaced by a new connection"), 1u);
    second.send(DUVO_CMD_C2P_KEEP_ALIVE);
    pc_msg m;
    EXPECT_TRUE(second.expect(DUVO_CMD_P2C_KEEP_ALIVE_RESPONSE, &m));
}

TEST_F(PhoneSim, BadInputIsDroppedAndTheConnectionGoesOn) {
    start(plain());
    pc_client pc;
    pc_msg paired;
    pair_new(pc, &paired);

    // A header announcing more than any message may carry.
    uint8_t bogus[DUVO_NEW_HEADER_SIZE];
    duvo_new_header h{DUVO_CMD_C2P_KEEP_ALIVE, DUVO_KIND_DATA, 0, 2, 77, 100000};
    duvo_encode_new_header(bogus, &h);
    pc.send_raw(bogus, sizeof bogus);
    EXPECT_TRUE(log_.wait_for("! header of DUVO_CMD_C2P_KEEP_ALIVE announces 100000"));

    // A message split over two writes is put together again.
    uint8_t frame[DUVO_MSG_MAX];
    std::string body = "{\"pc_status\":4}";
    duvo_new_header u{DUVO_CMD_C2P_UPDATE_PC_STATUS, DUVO_KIND_DATA, 0, 2, 78,
                      uint32_t(body.size() + 1)};
    size_t n = duvo_frame_new(frame, sizeof frame, &u, body.c_str());
    pc.send_raw(frame, 5);
    pc.send_raw(frame + 5, n - 5);
    EXPECT_TRUE(log_.wait_for("<- DUVO_CMD_C2P_UPDATE_PC_STATUS seq=78 {\"pc_status\":4}"));

    pc.send(DUVO_CMD_C2P_KEEP_ALIVE);
    pc_msg m;
    EXPECT_TRUE(pc.expect(DUVO_CMD_P2C_KEEP_ALIVE_RESPONSE, &m));
}

// A stand-in media endpoint that records what it was asked.
struct fake_media {
    int active_calls = 0, inactive_calls = 0, closed_calls = 0;
    phone_sim_device_active last;
    static int active(void *ctx, const phone_sim_device_active *req, phone_sim_call_start *ans) {
        auto *f = static_cast<fake_media *>(ctx);
        f->active_calls++;
        f->last = *req;
        ans->rtp_port = 40002;
        ans->srtp_key = "1 AES_CM_128_HMAC_SHA1_80 inline:phonekey";
        return 1;
    }
    static void inactive(void *ctx) { static_cast<fake_media *>(ctx)->inactive_calls++; }
    static void closed(void *ctx) { static_cast<fake_media *>(ctx)->closed_calls++; }
};

TEST_F(PhoneSim, DeviceActiveGoesToTheMediaEndpoint) {
    fake_media media;
    phone_sim_media_hooks hooks{fake_media::active, fake_media::inactive, fake_media::closed,
                                &media, nullptr};
    start(plain(), &hooks);
    pc_client pc;
    pc_msg paired;
    pair_new(pc, &paired);

    pc.send(DUVO_CMD_C2P_DEVICE_ACTIVE,
            "{\"rtp_port\":40000,\"srtp_key\":\"1 AES_CM_128_HMAC_SHA1_80 inline:pckey\","
            "\"codec_name\":\"L16PCM\",\"codec_samplerate\":16000}");
    pc_msg m;
    ASSERT_TRUE(pc.expect(DUVO_CMD_P2C_CALL_START, &m));
    uint32_t port = 0;
    char key[DUVO_KEY_SIZE];
    ASSERT_EQ(duvo_read_call_start(1, m.body.data(), m.body.size(), &port, key), 0);
    EXPECT_EQ(port, 40002u);
    EXPECT_STREQ(key, "1 AES_CM_128_HMAC_SHA1_80 inline:phonekey");

    pc.send(DUVO_CMD_C2P_DEVICE_UN_ACTIVE);
    ASSERT_TRUE(log_.wait_for("<- DUVO_CMD_C2P_DEVICE_UN_ACTIVE"));
    pc.close();
    ASSERT_TRUE(log_.wait_for(" by the PC")) << log_.all();
    phone_sim_server_stop(srv_);  // the loop thread is done with the hooks
    srv_ = nullptr;
    EXPECT_EQ(media.active_calls, 1);
    EXPECT_EQ(media.last.pc_rtp_port, 40000u);
    EXPECT_EQ(media.last.srtp_key, "1 AES_CM_128_HMAC_SHA1_80 inline:pckey");
    EXPECT_EQ(media.last.codec_samplerate, 16000);
    EXPECT_EQ(media.last.pc_ip.rfind("127.0.0.1:", 0), 0u);
    EXPECT_EQ(media.inactive_calls, 1);
    EXPECT_EQ(media.closed_calls, 1);
}

TEST_F(PhoneSim, DeviceActiveInTheOldFormat) {
    fake_media media;
    phone_sim_media_hooks hooks{fake_media::active, fake_media::inactive, fake_media::closed,
                                &media, nullptr};
    phone_sim_options o = plain();
    o.new_format = false;
    start(o, &hooks);
    pc_client pc;
    connect(pc);
    // Port in network order, then the key text in a 128-byte field.
    std::vector<uint8_t> body(4 + DUVO_KEY_SIZE, 0);
    body[2] = 0x9c;
    body[3] = 0x40;  // 40000
    memcpy(body.data() + 4, "1 AES_CM_128_HMAC_SHA1_80 inline:old", 36);
    pc.send_bytes(DUVO_CMD_C2P_DEVICE_ACTIVE, body);
    pc_msg m;
    ASSERT_TRUE(pc.expect(DUVO_CMD_P2C_CALL_START, &m));
    EXPECT_FALSE(m.framed_new);
    uint32_t port = 0;
    char key[DUVO_KEY_SIZE];
    ASSERT_EQ(duvo_read_call_start(0, m.body.data(), m.body.size(), &port, key), 0);
    EXPECT_EQ(port, 40002u);
    EXPECT_STREQ(key, "1 AES_CM_128_HMAC_SHA1_80 inline:phonekey");
    phone_sim_server_stop(srv_);
    srv_ = nullptr;
    EXPECT_EQ(media.last.pc_rtp_port, 40000u);
    EXPECT_EQ(media.last.srtp_key, "1 AES_CM_128_HMAC_SHA1_80 inline:old");
}

TEST_F(PhoneSim, DeviceActiveWithoutMediaEndpointIsNotAnswered) {
    start(plain());
    pc_client pc;
    pc_msg paired;
    pair_new(pc, &paired);
    pc.send(DUVO_CMD_C2P_DEVICE_ACTIVE, "{\"rtp_port\":40000,\"srtp_key\":\"\"}");
    EXPECT_TRUE(log_.wait_for("# no media endpoint: PC media port 40000 not answered"));
    pc_msg m;
    EXPECT_FALSE(pc.recv_data(&m, 300));
}

}  // namespace
