// Test helpers for the phone simulator: a PC-side client that speaks the
// link's framing over the link's own transport, and a printer that keeps the
// simulator's lines for the tests to wait on.
#pragma once

#include <poll.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "link/duvo_cmd.h"
#include "link/duvo_link.h"
#include "link/duvo_wire.h"
#include "link/phone_conn.h"
#include "tools/phone-sim/phone_sim_print.h"

constexpr int TEST_WAIT_MS = 5000;  // generous: CI machines are loaded
constexpr uint32_t TEST_LOOPBACK = 0x7f000001;

// Collects the simulator's lines.
class line_log {
  public:
    phone_sim_printer printer() { return {on_line, this}; }

    // Waits for a line containing text, among lines not yet taken by an
    // earlier wait_for (so repeated lines can be counted). True when found.
    bool wait_for(const std::string &text, int timeout_ms = TEST_WAIT_MS) {
        std::unique_lock<std::mutex> hold(lock_);
        return cv_.wait_for(hold, std::chrono::milliseconds(timeout_ms), [&] {
            for (size_t i = next_; i < lines_.size(); i++) {
                if (lines_[i].find(text) != std::string::npos) {
                    next_ = i + 1;
                    return true;
                }
            }
            return false;
        });
    }
    size_t count(const std::string &text) {
        std::lock_guard<std::mutex> hold(lock_);
        size_t n = 0;
        for (const std::string &l : lines_) n += l.find(text) != std::string::npos;
        return n;
    }
    std::string all() {
        std::lock_guard<std::mutex> hold(lock_);
        std::string s;
        for (const std::string &l : lines_) s += l + "\n";
        return s;
    }

  private:
    static void on_line(void *ctx, const char *text) {
        line_log *self = static_cast<line_log *>(ctx);
        std::lock_guard<std::mutex> hold(self->lock_);
        self->lines_.push_back(text);
        self->cv_.notify_all();
    }
    std::mutex lock_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    size_t next_ = 0;
};

struct pc_msg {
    uint8_t id = 0;
    bool framed_new = false;
    uint8_t kind = 0;
    uint8_t version = 0;
    uint32_t seq = 0;
    std::vector<uint8_t> body;
    std::string text() const { return std::string(body.begin(), body.end()); }
};

// The PC's end of the connection. The framing follows the PC's rules: old
// until the phone announces the new format.
class pc_client {
  public:
    ~pc_client() { close(); }

    // 0, or the transport's error code.
    int connect(int port, bool tls) {
        phone_conn_init(&conn_, tls ? TRANS_TYPE_TLS : TRANS_TYPE_TCP);
        conn_.phone_port = port;
        int r = phone_conn_open(&conn_);
        if (r == 0) r = phone_conn_connect(&conn_, TEST_LOOPBACK);
        return r;
    }
    void close() { phone_conn_close(&conn_); }

    int send_raw(const void *buf, size_t len) { return phone_conn_send(&conn_, buf, len); }

    // Sends in the current framing; new framing uses the next sequence
    // number unless seq is given.
    int send(uint8_t id, const std::string &body = "", bool with_nul = true, uint32_t seq = 0) {
        std::vector<uint8_t> b(body.begin(), body.end());
        if (!body.empty() && with_nul) b.push_back(0);
        return send_bytes(id, b, seq);
    }
    int send_bytes(uint8_t id, const std::vector<uint8_t> &b, uint32_t seq = 0) {
        uint8_t frame[DUVO_MSG_MAX];
        size_t n;
        if (new_) {
            duvo_new_header h{id,
                              DUVO_KIND_DATA,
                              0,
                              DUVO_PC_FORMAT_VERSION,
                              seq ? seq : ++seq_,
                              uint32_t(b.size())};
            n = duvo_frame_new(frame, sizeof frame, &h, b.data());
        } else {
            n = duvo_frame_old(frame, sizeof frame, id, b.data(), b.size());
        }
        return n ? send_raw(frame, n) : -1;
    }
    int ack(const pc_msg &m) {
        duvo_new_header h{m.id, DUVO_KIND_ACK, 0, m.version, m.seq, 0};
        uint8_t frame[DUVO_NEW_HEADER_SIZE];
        duvo_encode_new_header(frame, &h);
        return send_raw(frame, sizeof frame);
    }

    // Next message, acknowledgements included. False on time-out or close.
    bool recv(pc_msg *m, int timeout_ms = TEST_WAIT_MS) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            if (take(m)) return true;
            if (closed_ || std::chrono::steady_clock::now() >= deadline) return false;
            pollfd p{conn_.sock, POLLIN, 0};
            poll(&p, 1, 20);
            uint8_t buf[PHONE_READ_BUF_SIZE];
            int n = phone_conn_read(&conn_, buf, sizeof buf);
            if (n > 0) {
                rx_.insert(rx_.end(), buf, buf + n);
            } else if (n != CONN_ERR_AGAIN) {
                closed_ = true;
            }
        }
    }
    // Next data message, skipping acknowledgements (collected in acks).
    bool recv_data(pc_msg *m, int timeout_ms = TEST_WAIT_MS) {
        while (recv(m, timeout_ms)) {
            if (m->framed_new && m->kind == DUVO_KIND_ACK) {
                acks.push_back(*m);
                continue;
            }
            return true;
        }
        return false;
    }
    // Waits for the data message id, acknowledging new-framed ones; other
    // messages are skipped.
    bool expect(uint8_t id, pc_msg *m, int timeout_ms = TEST_WAIT_MS) {
        while (recv_data(m, timeout_ms)) {
            if (m->framed_new) ack(*m);
            if (m->id == id) return true;
        }
        return false;
    }
    // True when the phone closed the connection within timeout_ms.
    bool wait_closed(int timeout_ms = TEST_WAIT_MS) {
        pc_msg m;
        while (recv(&m, timeout_ms)) {
        }
        return closed_;
    }

    // Old-framed detect, then the new framing if the phone announces it.
    bool detect_new_format() {
        send(DUVO_CMD_C2P_DETECT_NEW_FORMATE);
        pc_msg m;
        if (!recv_data(&m) || m.id != DUVO_CMD_P2C_NOTIFY_SUPPORT_XML || m.framed_new) return false;
        new_ = true;
        return true;
    }

    void use_new_format() { new_ = true; }
    std::vector<pc_msg> acks;
    phone_conn conn_;

  private:
    bool take(pc_msg *m) {
        if (new_) {
            if (rx_.size() < DUVO_NEW_HEADER_SIZE) return false;
            duvo_new_header h;
            duvo_decode_new_header(rx_.data(), &h);
            if (rx_.size() < DUVO_NEW_HEADER_SIZE + h.len) return false;
            *m = pc_msg{h.id,
                        true,
                        h.kind,
                        h.version,
                        h.seq,
                        std::vector<uint8_t>(rx_.begin() + DUVO_NEW_HEADER_SIZE,
                                             rx_.begin() + DUVO_NEW_HEADER_SIZE + h.len)};
            rx_.erase(rx_.begin(), rx_.begin() + DUVO_NEW_HEADER_SIZE + h.len);
            return true;
        }
        if (rx_.size() < DUVO_OLD_HEADER_SIZE || rx_.size() < DUVO_OLD_HEADER_SIZE + rx_[1])
            return false;
        size_t len = rx_[1];
        *m = pc_msg{rx_[0], false, 0,
                    0,      0,     std::vector<uint8_t>(rx_.begin() + 2, rx_.begin() + 2 + len)};
        rx_.erase(rx_.begin(), rx_.begin() + 2 + len);
        return true;
    }

    std::vector<uint8_t> rx_;
    bool new_ = false;
    bool closed_ = false;
    uint32_t seq_ = 0;
};
