// The whole device road with a USB/IP host process: the lifecycle creates the
// device on the configured export server (port 0: a free one), plugs it in,
// and usb-host-emu enumerates it and streams both directions in the Windows
// and the Linux request shapes. The media steps are replaced in-process by a
// recorder (playback) and a ramp generator (capture) so that the audio can
// be checked end to end for gaps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "../platform/temp_dir.h"
#include "link/bus/event_bus.h"
#include "platform/config.h"
#include "usb/usb_device.h"
#include "usb/usb_lifecycle.h"
#include "usb/usb_pacing.h"
#include "usb/vbus_usbip.h"
#include "usb_host_emu_run.h"

namespace {

struct media_double {
    std::mutex mu;
    std::vector<int16_t> played;
    int16_t next = 1;
};
media_double g_media;

int record_send(vusb_handle *, const uint8_t *pcm, int len) {
    std::lock_guard<std::mutex> g(g_media.mu);
    for (int i = 0; i + 1 < len; i += 2)
        g_media.played.push_back(static_cast<int16_t>(pcm[i] | pcm[i + 1] << 8));
    return 0;
}

int ramp_receive(vusb_handle *, uint8_t *pcm, int len) {
    std::lock_guard<std::mutex> g(g_media.mu);
    for (int i = 0; i + 1 < len; i += 2) {
        int16_t v = g_media.next;
        g_media.next = static_cast<int16_t>(v == 30000 ? 1 : v + 1);
        pcm[i] = static_cast<uint8_t>(v);
        pcm[i + 1] = static_cast<uint8_t>(v >> 8);
    }
    return 0;
}

// Breaks in a 1000 Hz tone sampled at 16000 Hz: each sample follows from the
// two before it.
int tone_breaks(const std::vector<int16_t> &s, size_t from, size_t to) {
    const double c = 2 * std::cos(2 * M_PI * 1000.0 / 16000.0);
    int breaks = 0;
    for (size_t n = from + 2; n < to; n++)
        if (std::fabs(s[n] - (c * s[n - 1] - s[n - 2])) > 4.0) breaks++;
    return breaks;
}

class BridgeE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        {
            std::lock_guard<std::recursive_mutex> g(g_config.lock);
            g_config.vbus_backend = "usbip";
            g_config.usbip_bind = "127.0.0.1";
            g_config.usbip_port = 0;
        }
        ASSERT_EQ(0, duvo_event_bus_init(&send_, &recv_));
        ASSERT_EQ(0, usb_device_init(&h_, "root\\mireltausbipenum", send_, nullptr));
        usb_device_set_media_params(h_, 0, 16000);
        {
            std::lock_guard<std::mutex> g(h_->pacing->pb.mu);
            h_->pacing->media_send = record_send;
        }
        {
            std::lock_guard<std::mutex> g(h_->pacing->cp.mu);
            h_->pacing->media_receive = ramp_receive;
        }
        ASSERT_EQ(0, usb_device_plugin("Desk phone", 0x0105, h_, 0x2b11, 0x0100));
        port_ = vbus_usbip_local_port(h_->driver.get());
        ASSERT_GT(port_, 0);
    }
    void TearDown() override {
        if (h_) {
            usb_device_stop(h_);
            usb_device_close_driver(h_);
            usb_device_deinit(h_);
        }
        duvo_event_bus_close(send_, recv_);
    }
    run_result emu(const std::string &args) { return run_usb_host_emu(port_, args); }

    vusb_handle *h_ = nullptr;
    int send_ = -1, recv_ = -1, port_ = 0;
};

TEST_F(BridgeE2E, HostEnumeratesAndStreamsBothShapesWithoutGaps) {
    struct shape_case {
        const char *host;
        long min_capture_replies;  // over 3 s, loosely
    };
    const shape_case cases[] = {{"windows", 150}, {"linux", 1500}};
    for (const shape_case &k : cases) {
        SCOPED_TRACE(k.host);
        {
            std::lock_guard<std::mutex> g(g_media.mu);
            g_media.played.clear();
            g_media.next = 1;
        }
        TempDir dir;
        std::string wav = dir.file("cap.wav");
        run_result r = emu(std::string("--enumerate --host ") + k.host +
                           " --play tone:1000 --capture " + wav + " --seconds 3");
        ASSERT_EQ(0, r.status) << r.out;
        EXPECT_TRUE(r.has("descriptor config: 232 bytes")) << r.out;
        EXPECT_EQ(0, r.number("playback:", "errors")) << r.out;
        EXPECT_EQ(0, r.number("capture:", "errors")) << r.out;
        EXPECT_GT(r.number("capture:", "replies"), k.min_capture_replies) << r.out;
        EXPECT_TRUE(r.has("result: ok")) << r.out;

        // Playback: the tone reached the media path whole.
        std::vector<int16_t> played;
        {
            std::lock_guard<std::mutex> g(g_media.mu);
            played = g_media.played;
        }
        size_t first = 0, last = played.size();
        while (first < played.size() && played[first] == 0) first++;
        while (last > first && played[last - 1] == 0) last--;
        ASSERT_GT(last - first, 16000u) << "less than a second of tone";
        // The end of the stream may cut a frame; the body must be seamless.
        EXPECT_EQ(0, tone_breaks(played, first, last - 320));

        // Capture: the generator's ramp arrived in order, without a gap.
        std::string data = read_file(wav);
        ASSERT_GT(data.size(), 44u);
        std::vector<int16_t> cap((data.size() - 44) / 2);
        memcpy(cap.data(), data.data() + 44, cap.size() * 2);
        size_t c0 = 0;
        while (c0 < cap.size() && cap[c0] == 0) c0++;
        ASSERT_GT(cap.size() - c0, 16000u);
        int breaks = 0;
        for (size_t n = c0 + 1; n < cap.size(); n++) {
            int16_t want = static_cast<int16_t>(cap[n - 1] == 30000 ? 1 : cap[n - 1] + 1);
            if (cap[n] != want) breaks++;
        }
        EXPECT_EQ(0, breaks);
    }
}

}  // namespace
