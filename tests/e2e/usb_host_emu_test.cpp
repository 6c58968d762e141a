// usb-host-emu against the real device record and request handling, exported
// by the USB/IP server: enumeration, audio controls, HID reports, unlink and
// isochronous streaming in both host shapes.
//
// The paced audio replies and the HID worker are stood in for by a small
// 10 ms answering loop below, so that streaming can be driven end to end.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../platform/temp_dir.h"
#include "link/bus/event_bus.h"
#include "platform/os/os_time.h"
#include "usb/usb_descriptors.h"
#include "usb/usb_device.h"
#include "usb/usb_pdu.h"
#include "usb/usb_requests.h"
#include "usb/vbus_usbip.h"
#include "usb_host_emu_run.h"

namespace {

constexpr int FRAME_MS = 10;
constexpr size_t FRAME_BYTES = 320;  // 10 ms at 16000 Hz, 16-bit mono
constexpr uint32_t FRAME_PACKETS = 10;

// What the stand-in pacer saw and did; one device per test.
struct pacer_state {
    std::thread thread;
    std::atomic<bool> run{false};
    std::mutex mu;
    size_t playback_bytes = 0, playback_nonzero = 0;
    std::vector<std::vector<uint8_t>> hid_reports;
    bool report_sent = false;
};
pacer_state *g_pacer = nullptr;

void answer_iso(vusb_handle *h, CTQueue &q, bool capture) {
    alignas(vbus_iso_desc) uint8_t flat[CTQueue::slot_size];
    size_t n = q.pop(flat, sizeof flat);
    vbus_pdu pdu{};
    if (!n || usb_pdu_parse(flat, n, &pdu) < 0) return;
    std::vector<vbus_iso_desc> iso(FRAME_PACKETS);
    for (uint32_t k = 0; k < FRAME_PACKETS; k++) iso[k] = {32 * k, 32, 32, 0};
    if (capture) {
        // A ramp the test can recognise in the capture file.
        uint8_t audio[FRAME_BYTES];
        for (size_t i = 0; i < FRAME_BYTES; i += 2) {
            audio[i] = static_cast<uint8_t>(i);
            audio[i + 1] = 0x10;
        }
        vusb_reply_full(h, &pdu, 0, audio, sizeof audio, iso.data(), FRAME_PACKETS);
    } else {
        {
            std::lock_guard<std::mutex> lk(g_pacer->mu);
            g_pacer->playback_bytes += pdu.data_len;
            for (size_t i = 0; i < pdu.data_len; i++) g_pacer->playback_nonzero += pdu.data[i] != 0;
        }
        vusb_reply_full(h, &pdu, 0, nullptr, 0, iso.data(), FRAME_PACKETS);
    }
}

void answer_interrupt(vusb_handle *h) {
    alignas(vbus_iso_desc) uint8_t flat[CTQueue::slot_size];
    size_t n = h->int_queue.pop(flat, sizeof flat);
    vbus_pdu pdu{};
    if (!n || usb_pdu_parse(flat, n, &pdu) < 0) return;
    if (pdu.hdr.direction == VBUS_DIR_OUT) {
        std::lock_guard<std::mutex> lk(g_pacer->mu);
        g_pacer->hid_reports.emplace_back(pdu.data, pdu.data + pdu.data_len);
        vusb_reply(&pdu, h, nullptr, 0);
        return;
    }
    // One hook-switch report for the first poll; later polls stay pending.
    if (!g_pacer->report_sent) {
        g_pacer->report_sent = true;
        const uint8_t report[2] = {0x02, 0x01};
        vusb_reply(&pdu, h, report, sizeof report);
    }
}

int pacer_start(vusb_handle *h) {
    g_pacer->run = true;
    g_pacer->thread = std::thread([h] {
        while (g_pacer->run) {
            os_sleep_ms(FRAME_MS);
            answer_iso(h, h->pb_cache_list, false);
            answer_iso(h, h->cp_cache_list, true);
            answer_interrupt(h);
        }
    });
    return 0;
}

void pacer_stop(vusb_handle *) {
    g_pacer->run = false;
    if (g_pacer->thread.joinable()) g_pacer->thread.join();
}

std::vector<uint8_t> g_set_reports;
void hid_set_report(vusb_handle *, const vbus_pdu *pdu) {
    g_set_reports.assign(pdu->data, pdu->data + pdu->data_len);
}

class HostEmu : public ::testing::Test {
  protected:
    void SetUp() override {
        g_pacer = &pacer_;
        g_set_reports.clear();
        ASSERT_EQ(0, duvo_event_bus_init(&send_, &recv_));
        dev_ = new vusb_handle;
        ASSERT_EQ(0, usb_device_set_identity(dev_, "TR430 test", 0x2b11, 0x0100, 0x0105));
        dev_->event_socket = send_;
        dev_->hooks.pacing_start = pacer_start;
        dev_->hooks.pacing_stop = pacer_stop;
        dev_->hooks.hid_set_report = hid_set_report;
        dev_->driver = vbus_usbip_create("127.0.0.1", 0);
        ASSERT_EQ(0, dev_->driver->open());
        port_ = vbus_usbip_local_port(dev_->driver.get());
        ASSERT_EQ(0, usb_device_build_descriptors(dev_));
        vbus_device_summary summary;
        ASSERT_EQ(0, usb_fill_device_summary(dev_, &summary));
        dev_->plugin_info.port = 1;
        dev_->port = 1;
        ASSERT_EQ(0, dev_->driver->plug_in(dev_->plugin_info, summary));
        dev_->plugged = 1;
        dev_->int_queue.restart(nullptr);
        dev_->cp_cache_list.restart(&dev_->cp_ticking);
        dev_->pb_cache_list.restart(&dev_->pb_ticking);
        ASSERT_EQ(0, usb_request_loop_start(dev_));
    }
    void TearDown() override {
        usb_request_loop_stop(dev_);
        dev_->driver->close();
        delete dev_;
        duvo_event_bus_close(send_, recv_);
        g_pacer = nullptr;
    }

    run_result emu(const std::string &args) { return run_usb_host_emu(port_, args); }

    std::vector<std::pair<uint32_t, int32_t>> events() {
        std::vector<std::pair<uint32_t, int32_t>> out;
        duvo_event_read(
            recv_,
            [](void *ctx, const duvo_event *ev) {
                static_cast<std::vector<std::pair<uint32_t, int32_t>> *>(ctx)->push_back(
                    {ev->code, ev->value});
            },
            &out);
        return out;
    }

    pacer_state pacer_;
    vusb_handle *dev_ = nullptr;
    int port_ = 0;
    int send_ = -1, recv_ = -1;
};

TEST_F(HostEmu, EnumeratesAndDrivesTheControlsOfTheRealDevice) {
    pacer_.report_sent = true;  // interrupt IN polls stay pending, so one can be unlinked
    run_result r =
        emu("--enumerate --set-volume 50 --mute 1 --hid-out 0301 --hid-int-out 0300 --unlink-test");
    ASSERT_EQ(r.status, 0) << r.out;
    const char *lines[] = {
        "device: busid 1-1 vid 2b11 pid b016 rev 0105 speed 2 configuration 1 interfaces 4",
        "interface 3: class 03 subclass 00 protocol 00",
        "descriptor device: 18 bytes bcdUSB 0110 ep0 64 vid 2b11 pid b016 rev 0105",
        "descriptor config-header: 9 bytes total 232",
        "descriptor config: 232 bytes descriptors 26 interfaces 4 value 1",
        "endpoint 01: interface 1 alt 1 type iso maxpacket 32 interval 4",
        "endpoint 82: interface 2 alt 1 type iso maxpacket 32 interval 4",
        "endpoint 83: interface 3 alt 0 type interrupt maxpacket 8 interval 8",
        "audio: playback interface 1 rate 16000 channels 1, capture interface 2 rate 16000",
        "string 0: 04 03 09 04",
        "string 1: Mirelta",
        "string 2: TR430",
        "string 3: 64167f38c057",
        "string 4: Mirelta TR430 Speakerphone",
        "set-configuration: 1 ok",
        "hid report-descriptor: 68 bytes 05 0c 09 01",
        "volume: min 0 max 100 res 1 cur 100",
        "set-volume: 50 ok, now reads 100",
        "set-mute: 1 ok, now reads 1",
        "hid-set-report: 03 01 ok",
        "hid-int-out: 03 00 ok actual 2",
        "status -104",
        "unlink-test: ok",
        "result: ok",
    };
    for (const char *l : lines) EXPECT_TRUE(r.has(l)) << "missing: " << l << "\n" << r.out;

    EXPECT_EQ(g_set_reports, std::vector<uint8_t>({0x03, 0x01}));
    {
        std::lock_guard<std::mutex> lk(pacer_.mu);
        ASSERT_EQ(pacer_.hid_reports.size(), 1u);
        EXPECT_EQ(pacer_.hid_reports[0], std::vector<uint8_t>({0x03, 0x00}));
    }
    // The host's volume and mute reached the phone side as events.
    auto ev = events();
    bool volume = false, mute = false;
    for (auto &e : ev) {
        volume |= e.first == 105 && e.second == 50;
        mute |= e.first == 107 && e.second == 1;
    }
    EXPECT_TRUE(volume);
    EXPECT_TRUE(mute);

    // The device is importable again once the host has gone.
    run_result again = emu("--enumerate");
    EXPECT_EQ(again.status, 0) << again.out;
}

struct shape_case {
    const char *host;
    bool from_file;          // playback from a WAV file instead of a tone
    long min_capture_bytes;  // over 2 s at one reply per 10 ms, loosely
};

// 3 s of a 16000 Hz mono square wave that is never zero.
void write_test_wav(const std::string &path) {
    const uint32_t samples = 3 * 16000, bytes = samples * 2;
    std::string s = "RIFF";
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; i++) s.push_back(static_cast<char>(v >> (8 * i)));
    };
    auto u16 = [&](uint16_t v) {
        s.push_back(static_cast<char>(v));
        s.push_back(static_cast<char>(v >> 8));
    };
    u32(36 + bytes);
    s += "WAVEfmt ";
    u32(16);
    u16(1);
    u16(1);
    u32(16000);
    u32(32000);
    u16(2);
    u16(16);
    s += "data";
    u32(bytes);
    for (uint32_t i = 0; i < samples; i++) u16((i / 8) % 2 ? 0x1111 : 0xeeee);
    write_file(path, s);
}

TEST_F(HostEmu, StreamsAudioInBothHostShapes) {
    const shape_case cases[] = {
        {"windows", false, 50 * 320},
        {"linux", false, 50 * 32},
        {"linux", true, 50 * 32},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.host);
        TempDir dir;
        std::string wav = dir.file("cap.wav");
        std::string source = "tone:1000";
        if (k.from_file) {
            source = dir.file("play.wav");
            write_test_wav(source);
        }
        run_result r = emu(std::string("--host ") + k.host + " --play " + source + " --capture " +
                           wav + " --seconds 2 --hid-poll");
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(r.has("set-interface: 1 alt 1 ok")) << r.out;
        EXPECT_TRUE(r.has("set-interface: 2 alt 0 ok")) << r.out;
        EXPECT_GT(r.number("playback:", "replies"), 50) << r.out;
        EXPECT_EQ(r.number("playback:", "errors"), 0) << r.out;
        EXPECT_GE(r.number("capture:", "bytes"), k.min_capture_bytes) << r.out;
        EXPECT_EQ(r.number("capture:", "errors"), 0) << r.out;
        // The capture file holds the device's ramp.
        std::string data = read_file(wav);
        ASSERT_GT(data.size(), 44u + 64u);
        EXPECT_EQ(data.compare(0, 4, "RIFF"), 0);
        EXPECT_EQ(static_cast<uint8_t>(data[44 + 1]), 0x10);
        EXPECT_EQ(static_cast<uint8_t>(data[44 + 2]), 2);
        {
            std::lock_guard<std::mutex> lk(pacer_.mu);
            EXPECT_GT(pacer_.playback_bytes, 50u * 32u);
            EXPECT_GT(pacer_.playback_nonzero, pacer_.playback_bytes / 2);  // the tone, not silence
            pacer_.playback_bytes = pacer_.playback_nonzero = 0;
        }
        if (std::string(k.host) == "windows") {
            EXPECT_TRUE(r.has("hid-in: 02 01")) << r.out;
        }
    }
}

}  // namespace
