// A stream record wired to a private event bus, a manual timer queue and a
// fake clock, with the phone's RTP socket on loopback.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/bus/event_bus.h"
#include "media/audio_stream.h"
#include "media/media_cmd.h"
#include "media/srtp_kit.h"
#include "media_log_capture.h"
#include "platform/config.h"
#include "platform/os/os_timer.h"
#include "srtp_log_capture.h"

struct PostedCmd {
    uint32_t code;
    int32_t value;
    std::vector<uint8_t> body;
};

inline uint64_t g_fake_now_ms = 1000000;  // both the timer clock and the wall clock

inline uint64_t fake_clock(void *) {
    return g_fake_now_ms;
}
inline uint64_t fake_wall(void) {
    return g_fake_now_ms;
}

// A UDP port that was free a moment ago.
inline int free_udp_port() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

struct StreamFixture : ::testing::Test {
    MediaLogCapture log;
    SrtpLogCapture srtp_log_capture;
    audio_stream_state st;
    int bus_send = -1, bus_recv = -1;
    os_timer_queue *timers = nullptr;
    int phone_fd = -1;
    int phone_port = 0;

    void SetUp() override {
        ASSERT_EQ(duvo_event_bus_init(&bus_send, &bus_recv), 0);
        timers = os_timer_queue_create_manual(fake_clock, nullptr);
        audio_stream_init(&st);
        st.event_socket = bus_send;
        st.timers = timers;
        st.wall_clock = fake_wall;
        st.sample_rate = 16000;
        g_config.media_port = free_udp_port();
        phone_fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(phone_fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        getsockname(phone_fd, reinterpret_cast<sockaddr *>(&a), &len);
        phone_port = ntohs(a.sin_port);
    }
    void TearDown() override {
        audio_stream_cleanup(&st);
        os_timer_queue_destroy(timers);
        duvo_event_bus_close(bus_send, bus_recv);
        close(phone_fd);
    }

    void advance(uint64_t ms) {
        g_fake_now_ms += ms;
        os_timer_run_due(timers);
    }

    std::vector<PostedCmd> events() {
        std::vector<PostedCmd> out;
        while (duvo_event_read(bus_recv, &StreamFixture::collect, &out) > 0) {
        }
        return out;
    }
    static void collect(void *ctx, const duvo_event *ev) {
        static_cast<std::vector<PostedCmd> *>(ctx)->push_back(
            {ev->code, ev->value, std::vector<uint8_t>(ev->body, ev->body + ev->size)});
    }

    // The phone's answer to an invite: a fresh key line of its own.
    std::string phone_key = [] {
        char line[SRTP_KEY_LINE_MAX + 1];
        srtp_key_line_generate(line, sizeof line);
        return std::string(line);
    }();
    int call_start(const std::string &key) {
        return rtp_stream_create(&st, key.c_str(), INADDR_LOOPBACK, phone_port,
                                 static_cast<int>(key.size()));
    }
    int call_start() { return call_start(phone_key); }
};
