// Device lifecycle against a scripted bus: every creation failure is logged,
// returns -1 and leaves no thread behind; the plug-in's refusals and its 20
// attempts; and the whole road through the session's device operations with
// the real threads and pacing timers.
#include <dirent.h>

#include <cstring>

#include "bridge_test_util.h"
#include "link/bus/timer_container.h"
#include "media/audio_stream.h"
#include "usb/usb_lifecycle.h"
#include "usb/usb_session_ops.h"

namespace {

struct bus_script {
    bool no_bus = false;
    bool open_fails = false;
    bool ports_full = false;
    bool port1_used = false;
    int plug_failures = 0;
    int plug_calls = 0;
    vbus_plugin_info last_info;
};
bus_script g_script;
fake_vbus *g_bus = nullptr;

class scripted_bus : public fake_vbus {
  public:
    int open() override { return g_script.open_fails ? -1 : 0; }
    int port_status(uint8_t status[VBUS_PORT_COUNT]) override {
        memset(status, g_script.ports_full ? 1 : 0, VBUS_PORT_COUNT);
        if (g_script.port1_used) status[1] = 1;
        return 0;
    }
    int plug_in(const vbus_plugin_info &info, const vbus_device_summary &) override {
        g_script.last_info = info;
        return ++g_script.plug_calls <= g_script.plug_failures ? -1 : 0;
    }
};

std::unique_ptr<vbus_backend> scripted_factory(const char *) {
    if (g_script.no_bus) return nullptr;
    auto b = std::make_unique<scripted_bus>();
    g_bus = b.get();
    return b;
}

int thread_count() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// A thread that was joined may linger a moment in the task list.
int settled_thread_count(int expect) {
    int n = thread_count();
    for (int i = 0; i < 200 && n != expect; i++) {
        os_sleep_ms(10);
        n = thread_count();
    }
    return n;
}

const char kHwid[] = "root\\mireltausbipenum";

class LifecycleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_script = bus_script{};
        g_bus = nullptr;
        usb_lifecycle_set_backend_factory(scripted_factory);
        ASSERT_EQ(0, duvo_event_bus_init(&send_, &recv_));
        timer_container_init(&timers_);
        // The media path's process-wide timer thread starts with the first
        // stream record; it is not the device's to end.
        audio_stream_state warm;
        audio_stream_init(&warm);
        audio_stream_cleanup(&warm);
    }
    void TearDown() override {
        usb_lifecycle_set_backend_factory(nullptr);
        timer_container_destroy(&timers_);
        duvo_event_bus_close(send_, recv_);
    }
    void take_down(vusb_handle *h) {
        usb_device_stop(h);
        usb_device_close_driver(h);
        usb_device_deinit(h);
    }

    log_capture logs_;
    int send_ = -1, recv_ = -1;
    timer_container timers_;
};

TEST_F(LifecycleTest, CreationFailuresCleanUpFully) {
    struct fail_case {
        const char *name;
        bool no_bus, open_fails;
        std::string line;
    };
    const fail_case cases[] = {
        {"bus not found", true, false, "Find dev path of root\\mireltausbipenum fail\n"},
        {"bus does not open", false, true, "Open vbus driver(root\\mireltausbipenum) fail\n"},
    };
    for (const fail_case &c : cases) {
        SCOPED_TRACE(c.name);
        g_script.no_bus = c.no_bus;
        g_script.open_fails = c.open_fails;
        int before = thread_count();
        vusb_handle *sentinel = reinterpret_cast<vusb_handle *>(0x1);
        vusb_handle *out = sentinel;
        EXPECT_EQ(-1, usb_device_init(&out, kHwid, send_, &timers_));
        EXPECT_EQ(sentinel, out);
        EXPECT_EQ(LL_ERR, logs_.level_of(c.line));
        EXPECT_EQ(before, settled_thread_count(before));
    }
}

TEST_F(LifecycleTest, PluginRefusalsAndAttempts) {
    struct plug_case {
        const char *name;
        const char *dev_name;
        uint16_t vid, pid, rev;
        bool ports_full;
        int failures;
        int result;
        int attempts;
    };
    const plug_case cases[] = {
        {"accepted at once", "Desk", 0x1234, 0x42, 0x100, false, 0, 0, 1},
        {"accepted on the fourth try", "Desk", 0x1234, 0x42, 0x100, false, 3, 0, 4},
        {"rejected 20 times", "Desk", 0x1234, 0x42, 0x100, false, 100, -1, 20},
        {"no free port", "Desk", 0x1234, 0x42, 0x100, true, 0, -1, 0},
        {"empty name", "", 0x1234, 0x42, 0x100, false, 0, -1, 0},
        {"vendor id 0x8000", "Desk", 0x8000, 0x42, 0x100, false, 0, -1, 0},
        {"product id 0", "Desk", 0x1234, 0, 0x100, false, 0, -1, 0},
    };
    for (const plug_case &c : cases) {
        SCOPED_TRACE(c.name);
        log_capture logs;
        g_script = bus_script{};
        g_script.ports_full = c.ports_full;
        g_script.port1_used = true;
        g_script.plug_failures = c.failures;
        int before = thread_count();
        vusb_handle *h = nullptr;
        ASSERT_EQ(0, usb_device_init(&h, kHwid, send_, &timers_));
        EXPECT_EQ(c.result, usb_device_plugin(c.dev_name, c.rev, h, c.vid, c.pid));
        EXPECT_EQ(c.attempts, g_script.plug_calls);
        EXPECT_EQ(c.result == 0 ? 1 : 0, h->plugged);
        if (c.result == 0) {
            EXPECT_EQ(2, h->port);  // the lowest free one
            EXPECT_EQ(2, g_script.last_info.port);
            EXPECT_EQ(0xB016, g_script.last_info.pid);
        }
        if (c.attempts == 20) {
            for (int left = 19; left >= 0; left--) {
                EXPECT_TRUE(
                    logs.has("usb plugin fail,continue retrycnt:" + std::to_string(left) + "\n"));
            }
            EXPECT_EQ(LL_ERR, logs.level_of("Failed to attach the USB device\n"));
        }
        if (c.ports_full) {
            EXPECT_EQ(LL_ERR, logs.level_of("No free port!\n"));
        }
        take_down(h);
        EXPECT_EQ(before, settled_thread_count(before));
    }
}

TEST_F(LifecycleTest, SessionOperationsDriveARealDevice) {
    const session_device_ops *ops = usb_session_ops();
    usb_session_ops_register();
    EXPECT_EQ(ops, session_device_get_ops());
    void *dev = nullptr;
    ASSERT_EQ(0, ops->usb_device_init(&dev, kHwid, send_, &timers_));
    ops->set_media_params(dev, 0, 32000);
    ASSERT_EQ(0, ops->usb_device_plugin(dev, "Desk", 0x100, 0x1234, 0x42));
    vusb_handle *h = static_cast<vusb_handle *>(dev);
    EXPECT_EQ(32000, h->sample_rate);

    // What the session writes is what the HID worker hands to the host.
    session_hid_pending *hid = ops->hid_pending(dev);
    hid->zoom_vol_up = 1;
    fake_pdu poll;
    poll.hdr.command = VBUS_CMD_SUBMIT;
    poll.hdr.seqnum = 1;
    poll.hdr.direction = VBUS_DIR_IN;
    poll.hdr.ep = 3;
    poll.hdr.length = 8;
    g_bus->feed(poll);
    ASSERT_TRUE(g_bus->wait_replies(1));
    EXPECT_EQ((std::vector<uint8_t>{1, 1}), g_bus->replies()[0].payload);
    EXPECT_EQ(0, hid->zoom_vol_up.load());

    // The pacing timers run with the read thread: a capture request at
    // 32000 Hz comes back with 64-byte packets.
    g_bus->clear_replies();
    g_bus->feed(control_pdu(2, 0x01, 11, 1, 2, 0));
    g_bus->feed(iso_pdu(3, 2, VBUS_DIR_IN, 10, 64));
    ASSERT_TRUE(g_bus->wait_replies(2));
    auto r = g_bus->replies();
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ(3u, r[1].hdr.seqnum);
    ASSERT_EQ(10u, r[1].iso.size());
    EXPECT_EQ(640u, r[1].hdr.length);
    for (auto &d : r[1].iso) EXPECT_EQ(64u, d.actual_length);

    h->uc_keepalive = 1;
    EXPECT_EQ(1, ops->take_uc_keepalive(dev));
    EXPECT_EQ(0, ops->take_uc_keepalive(dev));
    ops->usb_device_set_gruu(dev, "sip:g");
    EXPECT_GT(h->gruu_timer, 0);

    int threads = thread_count();
    ops->rtp_stream_destroy(dev);
    ops->usb_device_stop(dev);
    EXPECT_EQ(threads - 3,
              settled_thread_count(threads - 3));  // read thread, HID worker, pacing timers
    ops->close_driver(dev);
    ops->usb_device_deinit(dev);
    EXPECT_TRUE(timers_.list.empty());  // the GRUU timer went with the device
    session_device_set_ops(nullptr);
}

}  // namespace
