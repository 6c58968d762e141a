// Fixture pieces for the bridge tests: a device with the pacing and HID
// parts attached on the fake bus, a host that keeps requests outstanding,
// recorders of the media steps and events read back with their bodies.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "usb/usb_hid_control.h"
#include "usb/usb_pacing.h"
#include "usb/usb_pdu.h"
#include "usb/usb_phone_cmds.h"
#include "usb_test_util.h"

struct event_with_body {
    uint32_t type, code;
    int32_t value;
    std::vector<uint8_t> body;
};

inline std::vector<event_with_body> read_events(int recv_sock) {
    std::vector<event_with_body> out;
    duvo_event_read(
        recv_sock,
        [](void *ctx, const duvo_event *ev) {
            static_cast<std::vector<event_with_body> *>(ctx)->push_back(
                {ev->type, ev->code, ev->value,
                 std::vector<uint8_t>(ev->body, ev->body + ev->size)});
        },
        &out);
    return out;
}

// 16-bit little-endian ramp starting at 1, as a byte stream: any gap, repeat
// or inserted silence shows as a break in the ramp.
inline uint8_t ramp_byte(uint64_t i) {
    uint16_t v = static_cast<uint16_t>(1 + i / 2);
    if (v == 0) v = 1;
    return i % 2 ? static_cast<uint8_t>(v >> 8) : static_cast<uint8_t>(v);
}

class bridge_fixture : public device_fixture {
  protected:
    void SetUp() override {
        device_fixture::SetUp();
        ASSERT_EQ(0, usb_pacing_attach(&dev_));
        ASSERT_EQ(0, usb_hid_attach(&dev_));
        dev_.hid_held->reply_delay_ms = 0;
        recorder() = this;
        dev_.pacing->media_send = [](vusb_handle *, const uint8_t *pcm, int len) {
            recorder()->sent_.insert(recorder()->sent_.end(), pcm, pcm + len);
            recorder()->send_calls_++;
            return 0;
        };
        dev_.pacing->media_receive = [](vusb_handle *, uint8_t *pcm, int len) {
            for (int i = 0; i < len; i++) pcm[i] = ramp_byte(recorder()->received_++);
            return 0;
        };
        dev_.pacing->apply_alt = [](vusb_handle *, int alt, int is_capture) {
            recorder()->applied_.push_back({alt, is_capture});
            return 0;
        };
    }
    void TearDown() override {
        usb_pacing_detach(&dev_);
        usb_hid_detach(&dev_);
        recorder() = nullptr;
        device_fixture::TearDown();
    }
    static bridge_fixture *&recorder() {
        static bridge_fixture *p = nullptr;
        return p;
    }
    void dispatch(const fake_pdu &p) {
        vbus_pdu v = p.view();
        usb_dispatch_pdu(&dev_, &v);
    }
    // A SET_INTERFACE from the host on streaming interface 1 or 2.
    void set_interface(int iface, int alt) {
        dispatch(control_pdu(seq_++, 0x01, 11, static_cast<uint16_t>(alt),
                             static_cast<uint16_t>(iface), 0));
    }

    std::vector<uint8_t> sent_;
    int send_calls_ = 0;
    uint64_t received_ = 0;
    std::vector<std::pair<int, int>> applied_;
    uint32_t seq_ = 1000;
};
