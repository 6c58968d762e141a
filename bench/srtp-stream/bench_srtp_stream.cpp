// Cost of one 10 ms media step with SRTP, against a plain datagram send of
// the same size measured in the same run. The step runs every 10 ms on the
// USB audio timers, so it has a budget of 10000 us per frame per direction.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "link/bus/event_bus.h"
#include "media/audio_stream.h"
#include "media/dsp/dsp_setup.h"
#include "media/srtp_kit.h"
#include "media/srtp_log.h"
#include "platform/config.h"
#include "platform/log.h"
#include "tools/phone-sim-media/phone_media.h"

namespace {

constexpr int kFrameBytes = 320;
constexpr int kPacket = 12 + kFrameBytes;

void quiet(int, int, const char *, va_list) {}

struct Bench {
    audio_stream_state st;
    phone_media *phone = nullptr;
    int bus_send = -1, bus_recv = -1;

    Bench() {
        log_set_callbacks(quiet, nullptr);
        srtp_log_setup(0, nullptr);
        dsp_setup();
        duvo_event_bus_init(&bus_send, &bus_recv);
        audio_stream_init(&st);
        st.event_socket = bus_send;
        st.sample_rate = 16000;
        st.srtp_enable = 1;
        phone = phone_media_create("127.0.0.1", 0, 16000);
        g_config.media_port = 0;  // any free port: the phone answers from what it sees
        audio_stream_set_active(&st, 1, 0);
        char key[SRTP_KEY_LINE_MAX + 1];
        phone_media_make_key_line(key, sizeof key);
        rtp_stream_create(&st, key, INADDR_LOOPBACK, phone_media_local_port(phone),
                          static_cast<int>(strlen(key)));
        phone_media_set_keys(phone, key, st.encode_key);
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(st.rtp_socket, reinterpret_cast<sockaddr *>(&a), &len);
        phone_media_set_remote(phone, "127.0.0.1", ntohs(a.sin_port));
    }
    ~Bench() {
        audio_stream_cleanup(&st);
        phone_media_destroy(phone);
        duvo_event_bus_close(bus_send, bus_recv);
        srtp_log_shutdown();
        log_clear_callbacks();
    }
};

void BM_PlainSendReference(benchmark::State &state) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int sink = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(sink, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(sink, reinterpret_cast<sockaddr *>(&a), &len);
    uint8_t pkt[kPacket + 10] = {0x80, 108};
    uint8_t drain[2048];
    for (auto _ : state) {
        sendto(fd, pkt, sizeof pkt, 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
        recv(sink, drain, sizeof drain, MSG_DONTWAIT);
    }
    close(fd);
    close(sink);
}

void BM_KitProtect(benchmark::State &state) {
    srtp_log_setup(0, nullptr);
    char enc[SRTP_KEY_LINE_MAX + 1], dec[SRTP_KEY_LINE_MAX + 1];
    srtp_key_line_generate(enc, sizeof enc);
    srtp_key_line_generate(dec, sizeof dec);
    srtp_kit *kit = nullptr;
    srtp_kit_create(&kit, dec, 73, enc, 73);
    std::vector<uint8_t> pkt(kPacket + SRTP_KIT_TRAILER_MAX);
    uint16_t seq = 0;
    for (auto _ : state) {
        pkt[0] = 0x80;
        pkt[1] = 108;
        pkt[2] = static_cast<uint8_t>(seq >> 8);
        pkt[3] = static_cast<uint8_t>(seq);
        ++seq;
        int len = kPacket;
        benchmark::DoNotOptimize(srtp_kit_protect(kit, pkt.data(), &len, pkt.size()));
    }
    srtp_kit_destroy(kit);
    srtp_log_shutdown();
}

// One playback step: L16 packetising, SRTP protection and the send.
void BM_StreamSendStep(benchmark::State &state) {
    Bench b;
    std::vector<int16_t> frame(kFrameBytes / 2, 1000);
    int n = 0;
    for (auto _ : state) {
        audio_stream_send(&b.st, frame.data(), kFrameBytes, nullptr);
        if (++n % 32 == 0) {
            state.PauseTiming();
            phone_media_receive(b.phone, 0);
            state.ResumeTiming();
        }
    }
}

// One capture step: socket read, SRTP check, jitter buffer and one frame out.
void BM_StreamReceiveStep(benchmark::State &state) {
    Bench b;
    std::vector<int16_t> out(kFrameBytes / 2);
    for (auto _ : state) {
        state.PauseTiming();
        phone_media_send_frame(b.phone);
        state.ResumeTiming();
        audio_stream_receive(&b.st, nullptr, out.data(), kFrameBytes);
    }
}

}  // namespace

BENCHMARK(BM_PlainSendReference);
BENCHMARK(BM_KitProtect);
BENCHMARK(BM_StreamSendStep);
BENCHMARK(BM_StreamReceiveStep);
BENCHMARK_MAIN();
