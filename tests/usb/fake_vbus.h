// Test double of a bus backend: the test feeds PDUs, the device's replies are
// recorded, and close() ends blocked reads like a real bus.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "usb/vbus.h"

struct fake_pdu {
    vbus_pdu_header hdr{};
    std::vector<uint8_t> data;
    std::vector<vbus_iso_desc> iso;

    // The view a backend hands over: pointers into this record.
    vbus_pdu view() const {
        vbus_pdu p{};
        p.hdr = hdr;
        p.data = data.empty() ? nullptr : data.data();
        p.data_len = data.size();
        p.iso = iso.empty() ? nullptr : iso.data();
        return p;
    }
};

struct fake_reply {
    vbus_pdu_header hdr{};
    std::vector<uint8_t> payload;
    std::vector<vbus_iso_desc> iso;
    int32_t status() const { return static_cast<int32_t>(hdr.flags_status); }
};

class fake_vbus : public vbus_backend {
  public:
    int open() override { return 0; }
    int port_status(uint8_t status[VBUS_PORT_COUNT]) override {
        memset(status, 0, VBUS_PORT_COUNT);
        return 0;
    }
    int plug_in(const vbus_plugin_info &, const vbus_device_summary &) override { return 0; }

    int read_pdu(vbus_pdu *pdu, int timeout_ms) override {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait_for(g, std::chrono::milliseconds(timeout_ms),
                     [this] { return closed_ || !inbox_.empty(); });
        reads_++;
        if (closed_) return -1;
        if (inbox_.empty()) return 0;
        current_ = inbox_.front();
        inbox_.pop_front();
        *pdu = current_.view();
        return 1;
    }

    int write_reply(const vbus_pdu_header &hdr, const uint8_t *payload, size_t len,
                    const vbus_iso_desc *iso, uint32_t packets) override {
        fake_reply r;
        r.hdr = hdr;
        if (len) r.payload.assign(payload, payload + len);
        if (packets) r.iso.assign(iso, iso + packets);
        std::lock_guard<std::mutex> g(m_);
        replies_.push_back(std::move(r));
        cv_.notify_all();
        return 0;
    }

    void close() override {
        std::lock_guard<std::mutex> g(m_);
        closed_ = true;
        cv_.notify_all();
    }

    void feed(const fake_pdu &p) {
        std::lock_guard<std::mutex> g(m_);
        inbox_.push_back(p);
        cv_.notify_all();
    }

    // Waits (generously) until at least n replies were written.
    bool wait_replies(size_t n, int timeout_ms = 10000) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::milliseconds(timeout_ms),
                            [&] { return replies_.size() >= n; });
    }

    std::vector<fake_reply> replies() {
        std::lock_guard<std::mutex> g(m_);
        return replies_;
    }
    void clear_replies() {
        std::lock_guard<std::mutex> g(m_);
        replies_.clear();
    }
    int reads() {
        std::lock_guard<std::mutex> g(m_);
        return reads_;
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<fake_pdu> inbox_;
    fake_pdu current_;
    std::vector<fake_reply> replies_;
    bool closed_ = false;
    int reads_ = 0;
};

// A control transfer on endpoint 0. The host buffer length is wLength unless
// given; an OUT request carries data as its data stage.
inline fake_pdu control_pdu(uint32_t seq, uint8_t bm, uint8_t req, uint16_t wValue, uint16_t wIndex,
                            uint16_t wLength, std::vector<uint8_t> data = {}, int buffer_len = -1) {
    fake_pdu p;
    p.hdr.command = VBUS_CMD_SUBMIT;
    p.hdr.seqnum = seq;
    p.hdr.devid = 0x00010001;
    p.hdr.direction = (bm & 0x80) ? VBUS_DIR_IN : VBUS_DIR_OUT;
    p.hdr.ep = 0;
    p.hdr.length = buffer_len >= 0 ? static_cast<uint32_t>(buffer_len) : wLength;
    const uint8_t s[8] = {bm,
                          req,
                          static_cast<uint8_t>(wValue),
                          static_cast<uint8_t>(wValue >> 8),
                          static_cast<uint8_t>(wIndex),
                          static_cast<uint8_t>(wIndex >> 8),
                          static_cast<uint8_t>(wLength),
                          static_cast<uint8_t>(wLength >> 8)};
    memcpy(p.hdr.setup, s, sizeof s);
    p.data = std::move(data);
    return p;
}

// An isochronous transfer of `packets` packets of pkt_len bytes.
inline fake_pdu iso_pdu(uint32_t seq, uint32_t ep, uint32_t dir, uint32_t packets,
                        uint32_t pkt_len) {
    fake_pdu p;
    p.hdr.command = VBUS_CMD_SUBMIT;
    p.hdr.seqnum = seq;
    p.hdr.direction = dir;
    p.hdr.ep = ep;
    p.hdr.length = packets * pkt_len;
    p.hdr.packets = packets;
    for (uint32_t k = 0; k < packets; k++) p.iso.push_back({k * pkt_len, pkt_len, 0, 0});
    if (dir == VBUS_DIR_OUT)
        for (uint32_t i = 0; i < p.hdr.length; i++) p.data.push_back(static_cast<uint8_t>(i));
    return p;
}
