// What received datagrams may change: the sending address, and the
// authentication-failure restart with its rate limit.
#include <poll.h>

#include "media/dsp/dsp_setup.h"
#include "stream_fixture.h"

namespace {

constexpr int kHeader = 12;
constexpr int kPayload = 320;

// A UDP socket on a loopback address of its own choosing.
struct Peer {
    int fd = -1;
    int port = 0;
    explicit Peer(const char *ip) {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, ip, &a.sin_addr);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Peer() { close(fd); }
    void send(const std::vector<uint8_t> &pkt) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<uint16_t>(g_config.media_port));
        ASSERT_EQ(
            sendto(fd, pkt.data(), pkt.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
            static_cast<ssize_t>(pkt.size()));
    }
    // Waits (generously) for one datagram; its length or 0.
    int receive(std::vector<uint8_t> &buf, int wait_ms = 2000) const {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, wait_ms) != 1) return 0;
        buf.resize(AUDIO_PACKET_MAX);
        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        return n > 0 ? static_cast<int>(n) : 0;
    }
};

std::vector<uint8_t> rtp(uint16_t seq) {
    std::vector<uint8_t> p(kHeader + kPayload + SRTP_KIT_TRAILER_MAX);
    p[0] = 0x80;
    p[1] = 108;
    p[2] = static_cast<uint8_t>(seq >> 8);
    p[3] = static_cast<uint8_t>(seq);
    p[11] = 7;
    return p;
}

struct ReceiveFixture : StreamFixture {
    srtp_kit *phone_kit = nullptr;  // the phone's own session: it sends with its key
    uint16_t seq = 1;

    void start(int srtp) {
        dsp_setup();
        st.srtp_enable = srtp;
        audio_stream_set_active(&st, 1, 0);
        audio_stream_set_active(&st, 1, 1);
        ASSERT_EQ(call_start(), 0);
        if (srtp) {
            ASSERT_EQ(
                srtp_kit_create(&phone_kit, st.encode_key, static_cast<int>(strlen(st.encode_key)),
                                phone_key.c_str(), static_cast<int>(phone_key.size())),
                0);
        }
        events();
    }
    void TearDown() override {
        srtp_kit_destroy(phone_kit);
        StreamFixture::TearDown();
    }
    std::vector<uint8_t> genuine() {
        auto p = rtp(seq++);
        int len = kHeader + kPayload;
        if (phone_kit != nullptr) {
            EXPECT_EQ(srtp_kit_protect(phone_kit, p.data(), &len, p.size()), 0);
        }
        p.resize(static_cast<size_t>(len));
        return p;
    }
    std::vector<uint8_t> forged() {
        auto p = rtp(seq++);
        p.resize(kHeader + kPayload + 10);  // looks protected, tag is wrong
        return p;
    }
    int drain() { return audio_stream_receive(&st, nullptr, nullptr, 0); }
    uint16_t remote_port() const { return ntohs(st.remote_addr.sin_port); }
    // Where our next RTP packet goes.
    void send_frame() {
        std::vector<int16_t> pcm(160, 1000);
        audio_stream_send(&st, pcm.data(), 320, nullptr);
    }
};

struct RedirectCase {
    const char *name;
    int srtp;
    const char *from_ip;
    bool forge;
    bool follows;  // our audio goes to the sender afterwards
};

class Redirect : public ReceiveFixture, public ::testing::WithParamInterface<RedirectCase> {};

TEST_P(Redirect, OnlyTheProvenPhoneMovesOurAudio) {
    const RedirectCase &c = GetParam();
    start(c.srtp);
    Peer sender(c.from_ip);
    sender.send(c.forge ? forged() : genuine());
    drain();
    send_frame();
    std::vector<uint8_t> buf;
    if (c.follows) {
        EXPECT_EQ(remote_port(), sender.port);
        EXPECT_GT(sender.receive(buf), 0);
    } else {
        EXPECT_EQ(remote_port(), phone_port);
        pollfd p{phone_fd, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 2000), 1);
        EXPECT_EQ(sender.receive(buf, 100), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Senders, Redirect,
    ::testing::Values(RedirectCase{"srtp_forged_from_lan_host", 1, "127.0.0.2", true, false},
                      RedirectCase{"srtp_forged_from_phone_ip", 1, "127.0.0.1", true, false},
                      RedirectCase{"srtp_authenticated_new_port", 1, "127.0.0.1", false, true},
                      RedirectCase{"plain_from_lan_host", 0, "127.0.0.2", false, false},
                      RedirectCase{"plain_from_phone_new_port", 0, "127.0.0.1", false, true}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ReceiveFixture, AuthenticationFailuresRestartAtMostOncePer1100ms) {
    start(1);
    Peer attacker("127.0.0.1");
    auto burst = [&] {
        for (int i = 0; i < 20; ++i) attacker.send(forged());
        return drain();
    };
    const std::string restart_line =
        "Delay 100ms for restart pc-audio for 127.0.0.1:" + std::to_string(phone_port) +
        ", delay_restart_flag=1\n";
    EXPECT_EQ(burst(), -srtp_err_status_auth_fail);
    EXPECT_EQ(log.count(restart_line), 1) << log.text();
    EXPECT_EQ(log.count("unprotect rtp pkg fail, recvlen=342,ret:-7\n"), 20);

    // The close runs and the invite follows with a new key.
    std::string old_key = st.encode_key;
    advance(100);
    auto ev = events();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].code, MEDIA_CMD_DEVICE_UN_ACTIVE);
    EXPECT_EQ(ev[1].code, MEDIA_CMD_DEVICE_ACTIVE);
    EXPECT_NE(old_key, st.encode_key);

    ASSERT_EQ(call_start(), 0);
    log.clear();
    advance(900);  // 1000 ms after the first restart
    burst();
    EXPECT_EQ(log.count("Delay 100ms"), 0);
    EXPECT_EQ(st.close_timer.load(), 0);
    advance(101);  // now 1101 ms
    burst();
    EXPECT_EQ(log.count("Delay 100ms"), 1);
}

TEST_F(ReceiveFixture, ReplaysAreNotLoggedAndDoNotRestart) {
    start(1);
    Peer phone("127.0.0.1");
    auto pkt = genuine();
    phone.send(pkt);
    phone.send(pkt);
    EXPECT_EQ(drain(), -srtp_err_status_replay_fail);
    EXPECT_EQ(log.count("unprotect rtp pkg fail"), 0);
    EXPECT_EQ(log.count("Delay 100ms"), 0);
    EXPECT_EQ(st.close_timer.load(), 0);
}

TEST_F(ReceiveFixture, OversizedDatagramIsDroppedAndTheNextOneStillArrives) {
    start(0);
    Peer phone("127.0.0.1");
    phone.send(std::vector<uint8_t>(AUDIO_PACKET_MAX + 1, 0x80));
    phone.send(genuine());
    drain();
    EXPECT_EQ(log.count("rtp datagram empty or over 1600 bytes dropped\n"), 1);
    EXPECT_EQ(remote_port(), phone.port);
}

}  // namespace
