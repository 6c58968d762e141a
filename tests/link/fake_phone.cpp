#include "fake_phone.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "link/duvo_wire.h"

namespace {
uint64_t now_ms() {
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}
}  // namespace

FakePhone::FakePhone() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_fd_, (sockaddr *)&sa, sizeof sa);
    listen(listen_fd_, 4);
    socklen_t len = sizeof sa;
    getsockname(listen_fd_, (sockaddr *)&sa, &len);
    port_ = ntohs(sa.sin_port);
}

FakePhone::~FakePhone() {
    close_pc();
    if (listen_fd_ >= 0) close(listen_fd_);
}

bool FakePhone::accept_pc(int timeout_ms) {
    close_pc();
    pollfd p{listen_fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    fd_ = accept(listen_fd_, nullptr, nullptr);
    new_framing_ = false;
    buf_.clear();
    seen_.clear();
    return fd_ >= 0;
}

void FakePhone::close_pc() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool FakePhone::fill(size_t need, int timeout_ms) {
    uint64_t end = now_ms() + uint64_t(timeout_ms);
    while (buf_.size() < need) {
        uint64_t now = now_ms();
        if (now >= end || fd_ < 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, int(end - now)) <= 0) return false;
        char tmp[4096];
        ssize_t n = recv(fd_, tmp, sizeof tmp, 0);
        if (n <= 0) return false;
        buf_.append(tmp, size_t(n));
    }
    return true;
}

bool FakePhone::read(pc_msg *msg, int timeout_ms) {
    for (;;) {
        size_t hs = new_framing_ ? DUVO_NEW_HEADER_SIZE : DUVO_OLD_HEADER_SIZE;
        if (!fill(hs, timeout_ms)) return false;
        size_t body_len;
        duvo_new_header h{};
        if (new_framing_) {
            duvo_decode_new_header((const uint8_t *)buf_.data(), &h);
            body_len = h.len;
        } else {
            body_len = uint8_t(buf_[1]);
        }
        if (!fill(hs + body_len, timeout_ms)) return false;
        msg->id = uint8_t(buf_[0]);
        msg->new_framing = new_framing_;
        msg->seq = h.seq;
        msg->body = buf_.substr(hs, body_len);
        std::string header = buf_.substr(0, hs);
        buf_.erase(0, hs + body_len);
        if (!new_framing_) return true;
        if (h.kind == DUVO_KIND_ACK) continue;  // the PC acknowledging us
        // Acknowledge, and skip repeats of what was already taken.
        uint8_t ack[DUVO_NEW_HEADER_SIZE];
        duvo_new_header a = h;
        a.kind = DUVO_KIND_ACK;
        a.len = 0;
        duvo_encode_new_header(ack, &a);
        if (!silent_) (void)!::send(fd_, ack, sizeof ack, MSG_NOSIGNAL);
        std::string key = std::to_string(h.id) + ":" + std::to_string(h.seq) + ",";
        if (seen_.find(key) != std::string::npos) continue;
        seen_ += key;
        return true;
    }
}

bool FakePhone::read_until(uint8_t id, pc_msg *msg, int timeout_ms) {
    pc_msg m;
    uint64_t end = now_ms() + uint64_t(timeout_ms);
    while (now_ms() < end) {
        if (!read(&m, int(end - now_ms()))) return false;
        if (m.id == id) {
            if (msg) *msg = m;
            return true;
        }
    }
    return false;
}

void FakePhone::send(uint8_t id, const std::string &body) {
    uint8_t frame[DUVO_MSG_MAX];
    size_t n;
    if (new_framing_) {
        duvo_new_header h{id, DUVO_KIND_DATA, 0, 2, ++seq_, uint32_t(body.size())};
        n = duvo_frame_new(frame, sizeof frame, &h, body.data());
    } else {
        n = duvo_frame_old(frame, sizeof frame, id, body.data(), body.size());
    }
    (void)!::send(fd_, frame, n, MSG_NOSIGNAL);
}

void FakePhone::send_json(uint8_t id, const std::string &json) {
    send(id, json + std::string(1, '\0'));
}

bool FakePhone::pc_closed(int timeout_ms) {
    pc_msg m;
    while (read(&m, timeout_ms)) {
    }
    // read() fails on close and on time-out; tell them apart.
    if (fd_ < 0) return true;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    char c;
    return recv(fd_, &c, 1, MSG_PEEK) <= 0;
}
