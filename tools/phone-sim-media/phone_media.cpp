#include "tools/phone-sim-media/phone_media.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <poll.h>
#include <srtp2/srtp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <mutex>

#include "tools/pulse-mark/pulse_mark.h"
#include "tools/wav/wav.h"

namespace {

constexpr size_t kRtpHeader = 12;
constexpr size_t kDatagramMax = 1600;
constexpr size_t kControlMax = 64;  // room for one receive timestamp
constexpr int kKeySaltBytes = 30;
constexpr int kKeyText = 40;  // base64 characters of 30 bytes
constexpr double kTwoPi = 6.283185307179586;

}  // namespace

struct phone_media {
    int fd = -1;
    int rate = 16000;
    sockaddr_in remote{};
    srtp_t tx = nullptr;
    srtp_t rx = nullptr;
    uint16_t seq = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
    // Source: a tone, or samples played in a loop.
    double tone_hz = 1000;
    int tone_amplitude = 8000;
    double phase = 0;
    std::vector<int16_t> loop;
    size_t loop_pos = 0;
    bool have_last_seq = false;
    uint16_t last_seq = 0;
    phone_media_stats stats;
    std::vector<int16_t> sent;
    std::vector<int16_t> received;
    bool track_onsets = false;
    pulse_detector sent_pulses, received_pulses;
    std::vector<phone_media_onset> onsets;
};

namespace {

uint64_t us_of(const timespec &ts) {
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

uint64_t mono_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return us_of(ts);
}

// The monotonic time a datagram reached the socket: the kernel's receive
// stamp (wall clock, when asked for) moved onto the monotonic clock, so that
// it does not depend on when the pump thread got round to reading; else now.
uint64_t arrival_us(msghdr *msg) {
    uint64_t mono_now = mono_us();
    for (cmsghdr *c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS ||
            c->cmsg_len < CMSG_LEN(sizeof(timespec)))
            continue;
        timespec stamp, wall;
        memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        clock_gettime(CLOCK_REALTIME, &wall);
        uint64_t age = us_of(wall) > us_of(stamp) ? us_of(wall) - us_of(stamp) : 0;
        return age < mono_now ? mono_now - age : mono_now;
    }
    return mono_now;
}

// Notes the onsets among the last n samples of a direction's audio.
void note_onsets(phone_media *m, bool received, const int16_t *samples, size_t n, uint16_t seq,
                 uint64_t at_us) {
    std::vector<size_t> found;
    pulse_detector_feed(received ? &m->received_pulses : &m->sent_pulses, samples, n, &found);
    for (size_t off : found) {
        phone_media_onset o;
        o.received = received;
        o.mono_us = at_us;
        o.seq = seq;
        o.offset = static_cast<uint32_t>(off);
        m->onsets.push_back(o);
    }
}

int samples_per_frame(const phone_media *m) {
    return m->rate / 1000 * PHONE_MEDIA_PACKET_MS;
}

// One direction's policy from "tag suite inline:key[|lifetime]".
int parse_line(const char *line, srtp_policy_t *p, uint8_t *key) {
    const char *sp = strchr(line, ' ');
    const char *colon = strchr(line, ':');
    if (sp == nullptr || colon == nullptr || colon < sp) return -1;
    std::string suite(sp + 1, strcspn(sp + 1, " "));
    if (suite == "AES_CM_128_HMAC_SHA1_80")
        srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&p->rtp);
    else if (suite == "AES_CM_128_HMAC_SHA1_32")
        srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32(&p->rtp);
    else
        return -1;
    srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&p->rtcp);
    const char *text = colon + 1;
    size_t len = strcspn(text, "|");
    if (len != static_cast<size_t>(kKeyText)) return -1;
    const char *bar = text[len] == '|' ? text + len + 1 : nullptr;
    if (bar != nullptr && (strchr(bar, ':') != nullptr || strchr(bar, '|') != nullptr))
        return -1;  // MKI
    uint8_t out[kKeyText];
    if (EVP_DecodeBlock(out, reinterpret_cast<const uint8_t *>(text), kKeyText) < kKeySaltBytes)
        return -1;
    memcpy(key, out, kKeySaltBytes);
    p->key = key;
    return 0;
}

void drop_sessions(phone_media *m) {
    if (m->tx != nullptr) srtp_dealloc(m->tx);
    if (m->rx != nullptr) srtp_dealloc(m->rx);
    m->tx = m->rx = nullptr;
}

int16_t next_sample(phone_media *m) {
    if (!m->loop.empty()) {
        int16_t s = m->loop[m->loop_pos];
        m->loop_pos = (m->loop_pos + 1) % m->loop.size();
        return s;
    }
    double v = m->tone_amplitude * std::sin(m->phase);
    m->phase = std::fmod(m->phase + kTwoPi * m->tone_hz / m->rate, kTwoPi);
    return static_cast<int16_t>(std::lround(v));
}

void take_datagram(phone_media *m, uint8_t *pkt, int len, uint64_t at_us) {
    if (m->rx != nullptr) {
        if (srtp_unprotect(m->rx, pkt, &len) != srtp_err_status_ok) {
            ++m->stats.auth_failures;
            return;
        }
    }
    if (len < static_cast<int>(kRtpHeader) || (pkt[0] >> 6) != 2) {
        ++m->stats.bad_packets;
        return;
    }
    size_t header = kRtpHeader + 4u * (pkt[0] & 0x0f);
    if (pkt[0] & 0x10) {
        if (static_cast<size_t>(len) < header + 4) {
            ++m->stats.bad_packets;
            return;
        }
        header += 4 + 4u * ((pkt[header + 2] << 8) | pkt[header + 3]);
    }
    size_t end = static_cast<size_t>(len);
    if (pkt[0] & 0x20) {
        uint8_t pad = pkt[len - 1];
        if (pad == 0 || pad > end) {
            ++m->stats.bad_packets;
            return;
        }
        end -= pad;
    }
    if (header > end) {
        ++m->stats.bad_packets;
        return;
    }
    if ((pkt[1] & 0x7f) != PHONE_MEDIA_PT) {
        ++m->stats.other_payload;
        return;
    }
    uint16_t seq = static_cast<uint16_t>((pkt[2] << 8) | pkt[3]);
    if (m->have_last_seq && seq != static_cast<uint16_t>(m->last_seq + 1))
        m->stats.seq_gaps += static_cast<uint16_t>(seq - m->last_seq - 1);
    m->have_last_seq = true;
    m->last_seq = seq;
    size_t first = m->received.size();
    for (size_t i = header; i + 1 < end; i += 2)
        m->received.push_back(static_cast<int16_t>((pkt[i] << 8) | pkt[i + 1]));  // network order
    if (m->track_onsets)
        note_onsets(m, true, m->received.data() + first, m->received.size() - first, seq, at_us);
    ++m->stats.packets_received;
}

}  // namespace

int phone_media_library_init() {
    static std::once_flag once;
    static int rc = 0;
    std::call_once(once, [] { rc = srtp_init() == srtp_err_status_ok ? 0 : -1; });
    return rc;
}

phone_media *phone_media_create(const char *bind_ip, int port, int sample_rate, std::string *why) {
    auto fail = [&](const char *text) -> phone_media * {
        if (why != nullptr) *why = text;
        return nullptr;
    };
    if (sample_rate != 16000 && sample_rate != 32000)
        return fail("sample rate must be 16000 or 32000");
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, bind_ip, &local.sin_addr) != 1) return fail("bad bind address");
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail("socket failed");
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        close(fd);
        return fail("bind failed");
    }
    auto *m = new phone_media;
    m->fd = fd;
    m->rate = sample_rate;
    RAND_bytes(reinterpret_cast<uint8_t *>(&m->ssrc), sizeof m->ssrc);
    return m;
}

void phone_media_destroy(phone_media *m) {
    if (m == nullptr) return;
    drop_sessions(m);
    close(m->fd);
    delete m;
}

int phone_media_local_port(const phone_media *m) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(m->fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) return -1;
    return ntohs(a.sin_port);
}

int phone_media_set_remote(phone_media *m, const char *ip, int port) {
    sockaddr_in r{};
    r.sin_family = AF_INET;
    r.sin_port = htons(static_cast<uint16_t>(port));
    if (port <= 0 || port > 65535 || inet_pton(AF_INET, ip, &r.sin_addr) != 1) return -1;
    m->remote = r;
    return 0;
}

int phone_media_make_key_line(char *out, size_t size) {
    static const char prefix[] = "1 AES_CM_128_HMAC_SHA1_80 inline:";
    uint8_t key[kKeySaltBytes];
    if (size < sizeof prefix + kKeyText || RAND_bytes(key, sizeof key) != 1) return -1;
    memcpy(out, prefix, sizeof prefix - 1);
    EVP_EncodeBlock(reinterpret_cast<uint8_t *>(out) + sizeof prefix - 1, key, sizeof key);
    return 0;
}

int phone_media_set_keys(phone_media *m, const char *send_line, const char *recv_line) {
    drop_sessions(m);
    bool off = (send_line == nullptr || *send_line == '\0') &&
               (recv_line == nullptr || *recv_line == '\0');
    if (off) return 0;
    if (send_line == nullptr || recv_line == nullptr) return -1;
    srtp_policy_t tx{}, rx{};
    uint8_t tx_key[kKeySaltBytes], rx_key[kKeySaltBytes];
    if (parse_line(send_line, &tx, tx_key) != 0 || parse_line(recv_line, &rx, rx_key) != 0)
        return -1;
    tx.ssrc.type = ssrc_any_outbound;
    rx.ssrc.type = ssrc_any_inbound;
    if (srtp_create(&m->tx, &tx) != srtp_err_status_ok) {
        m->tx = nullptr;
        return -1;
    }
    if (srtp_create(&m->rx, &rx) != srtp_err_status_ok) {
        m->rx = nullptr;
        drop_sessions(m);
        return -1;
    }
    return 0;
}

void phone_media_source_tone(phone_media *m, double hz, int amplitude) {
    m->loop.clear();
    m->tone_hz = hz;
    m->tone_amplitude = amplitude;
    m->phase = 0;
}

void phone_media_source_samples(phone_media *m, const std::vector<int16_t> &samples) {
    m->loop = samples;
    m->loop_pos = 0;
}

int phone_media_source_wav(phone_media *m, const char *path, std::string *why) {
    wav_data wav;
    std::string reason;
    if (wav_read(path, &wav, &reason) != 0 || wav.rate != m->rate || wav.samples.empty()) {
        if (why != nullptr) *why = reason.empty() ? "WAV rate differs or file is empty" : reason;
        return -1;
    }
    // The phone is mono: a file with more channels plays its first.
    std::vector<int16_t> mono;
    for (size_t i = 0; i < wav.samples.size(); i += size_t(wav.channels))
        mono.push_back(wav.samples[i]);
    phone_media_source_samples(m, mono);
    return 0;
}

int phone_media_send_frame(phone_media *m) {
    uint8_t pkt[kDatagramMax];
    int n = samples_per_frame(m);
    pkt[0] = 0x80;
    pkt[1] = PHONE_MEDIA_PT;
    pkt[2] = static_cast<uint8_t>(m->seq >> 8);
    pkt[3] = static_cast<uint8_t>(m->seq);
    for (int i = 0; i < 4; ++i) {
        pkt[4 + i] = static_cast<uint8_t>(m->timestamp >> (24 - 8 * i));
        pkt[8 + i] = static_cast<uint8_t>(m->ssrc >> (24 - 8 * i));
    }
    for (int i = 0; i < n; ++i) {
        int16_t s = next_sample(m);
        m->sent.push_back(s);
        pkt[kRtpHeader + 2 * i] = static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8);
        pkt[kRtpHeader + 2 * i + 1] = static_cast<uint8_t>(s);
    }
    int len = static_cast<int>(kRtpHeader) + 2 * n;
    ++m->seq;
    m->timestamp += static_cast<uint32_t>(n);
    if (m->tx != nullptr && srtp_protect(m->tx, pkt, &len) != srtp_err_status_ok) return -1;
    ssize_t sent = sendto(m->fd, pkt, static_cast<size_t>(len), 0,
                          reinterpret_cast<sockaddr *>(&m->remote), sizeof m->remote);
    if (sent != len) return -1;
    if (m->track_onsets)
        note_onsets(m, false, m->sent.data() + m->sent.size() - static_cast<size_t>(n),
                    static_cast<size_t>(n), static_cast<uint16_t>(m->seq - 1), mono_us());
    ++m->stats.packets_sent;
    return len;
}

int phone_media_receive(phone_media *m, int timeout_ms) {
    pollfd p{m->fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return 0;
    int count = 0;
    for (;;) {
        // Room for the largest datagram plus a trailer the library may touch.
        uint8_t pkt[kDatagramMax + SRTP_MAX_TRAILER_LEN];
        alignas(cmsghdr) uint8_t control[kControlMax];
        iovec iov{pkt, kDatagramMax};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n = recvmsg(m->fd, &msg, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) break;
        uint64_t at_us = arrival_us(&msg);
        ++count;
        if (n == 0 || n > static_cast<ssize_t>(kDatagramMax)) {
            ++m->stats.bad_packets;
            continue;
        }
        take_datagram(m, pkt, static_cast<int>(n), at_us);
    }
    return count;
}

void phone_media_track_onsets(phone_media *m, bool on) {
    if (on && !m->track_onsets) {
        int yes = 1;
        setsockopt(m->fd, SOL_SOCKET, SO_TIMESTAMPNS, &yes, sizeof yes);
        pulse_detector_init(&m->sent_pulses, m->rate);
        pulse_detector_init(&m->received_pulses, m->rate);
    }
    m->track_onsets = on;
}

const std::vector<phone_media_onset> &phone_media_onsets(const phone_media *m) {
    return m->onsets;
}

phone_media_stats phone_media_get_stats(const phone_media *m) {
    return m->stats;
}
const std::vector<int16_t> &phone_media_sent(const phone_media *m) {
    return m->sent;
}
const std::vector<int16_t> &phone_media_received(const phone_media *m) {
    return m->received;
}

int phone_media_save_wav(const phone_media *m, const char *path) {
    wav_data wav;
    wav.rate = m->rate;
    wav.channels = 1;
    wav.samples = m->received;
    std::string why;
    return wav_write(path, wav, &why);
}
