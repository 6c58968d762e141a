// Shared fixture pieces: a device record on the fake bus, a real event bus
// pair to read posted events back, and a capture of the log lines.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "fake_vbus.h"
#include "link/bus/event_bus.h"
#include "platform/log.h"
#include "usb/usb_descriptors.h"
#include "usb/usb_device.h"
#include "usb/usb_requests.h"

struct posted_event {
    uint32_t type, code;
    int32_t value;
    uint16_t size;
};

struct log_line {
    int level;
    std::string text;
};

class log_capture {
  public:
    log_capture() {
        instance() = this;
        log_set_callbacks(&narrow, nullptr);
    }
    ~log_capture() {
        log_clear_callbacks();
        instance() = nullptr;
    }
    bool has(const std::string &text) {
        std::lock_guard<std::mutex> g(m_);
        for (const log_line &l : lines_)
            if (l.text == text) return true;
        return false;
    }
    int count(const std::string &text) {
        std::lock_guard<std::mutex> g(m_);
        int n = 0;
        for (const log_line &l : lines_) n += l.text == text;
        return n;
    }
    int level_of(const std::string &text) {
        std::lock_guard<std::mutex> g(m_);
        for (const log_line &l : lines_)
            if (l.text == text) return l.level;
        return -1;
    }
    bool contains(const std::string &part) {
        std::lock_guard<std::mutex> g(m_);
        for (const log_line &l : lines_)
            if (l.text.find(part) != std::string::npos) return true;
        return false;
    }

  private:
    static log_capture *&instance() {
        static log_capture *p = nullptr;
        return p;
    }
    static void narrow(int, int level, const char *fmt, va_list ap) {
        char buf[2048];
        vsnprintf(buf, sizeof buf, fmt, ap);
        if (log_capture *c = instance()) {
            std::lock_guard<std::mutex> g(c->m_);
            c->lines_.push_back({level, buf});
        }
    }
    std::mutex m_;
    std::vector<log_line> lines_;
};

class device_fixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(0, duvo_event_bus_init(&send_, &recv_));
        auto bus = std::make_unique<fake_vbus>();
        bus_ = bus.get();
        dev_.driver = std::move(bus);
        dev_.event_socket = send_;
        ASSERT_EQ(0, usb_device_set_identity(&dev_, "desk phone", 0x1234, 0x0042, 0x0105));
        ASSERT_EQ(0, usb_device_build_descriptors(&dev_));
        dev_.int_queue.restart(nullptr);
        dev_.cp_cache_list.restart(&dev_.cp_ticking);
        dev_.pb_cache_list.restart(&dev_.pb_ticking);
    }
    void TearDown() override { duvo_event_bus_close(send_, recv_); }

    // Dispatches one PDU and returns the single reply it produced.
    fake_reply handle_one(const fake_pdu &p) {
        bus_->clear_replies();
        vbus_pdu v = p.view();
        usb_dispatch_pdu(&dev_, &v);
        auto r = bus_->replies();
        EXPECT_EQ(1u, r.size()) << "seq " << p.hdr.seqnum;
        return r.empty() ? fake_reply{} : r[0];
    }

    std::vector<posted_event> events() {
        std::vector<posted_event> out;
        duvo_event_read(
            recv_,
            [](void *ctx, const duvo_event *ev) {
                static_cast<std::vector<posted_event> *>(ctx)->push_back(
                    {ev->type, ev->code, ev->value, ev->size});
            },
            &out);
        return out;
    }

    log_capture logs_;
    vusb_handle dev_;
    fake_vbus *bus_ = nullptr;
    int send_ = -1, recv_ = -1;
};

#include "platform/os/os_time.h"
