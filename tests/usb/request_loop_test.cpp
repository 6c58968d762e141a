#include <gtest/gtest.h>

#include <atomic>

#include "usb_test_util.h"

namespace {

using RequestLoop = device_fixture;

std::atomic<int> g_pacing_started{0}, g_pacing_stopped{0};
int pacing_start(vusb_handle *) {
    g_pacing_started++;
    return 0;
}
void pacing_stop(vusb_handle *) {
    g_pacing_stopped++;
}

TEST_F(RequestLoop, AnswersRequestsUntilStopped) {
    g_pacing_started = g_pacing_stopped = 0;
    dev_.hooks.pacing_start = pacing_start;
    dev_.hooks.pacing_stop = pacing_stop;
    ASSERT_EQ(0, usb_request_loop_start(&dev_));
    EXPECT_EQ(-1, usb_request_loop_start(&dev_));  // one read thread per device

    bus_->feed(control_pdu(1, 0x80, 6, 0x0100, 0, 18));
    bus_->feed(control_pdu(2, 0x80, 6, 0x0200, 0, 9));
    ASSERT_TRUE(bus_->wait_replies(2));
    auto r = bus_->replies();
    EXPECT_EQ(1u, r[0].hdr.seqnum);
    EXPECT_EQ(18u, r[0].payload.size());
    EXPECT_EQ(2u, r[1].hdr.seqnum);
    EXPECT_EQ(9u, r[1].payload.size());

    usb_request_loop_stop(&dev_);
    EXPECT_FALSE(dev_.read_thread.joinable());
    EXPECT_EQ(1, g_pacing_started.load());
    EXPECT_EQ(1, g_pacing_stopped.load());
    EXPECT_TRUE(logs_.has("read_from_vusb_device go to exit\n"));
    usb_request_loop_stop(&dev_);  // stopping twice is harmless
}

TEST_F(RequestLoop, ClosedBusDoesNotEndTheThreadAndLogsOnce) {
    ASSERT_EQ(0, usb_request_loop_start(&dev_));
    bus_->close();
    // Let it retry a few of its 100 ms waits.
    for (int i = 0; i < 200 && bus_->reads() < 4; i++) os_sleep_ms(10);
    EXPECT_GE(bus_->reads(), 4);
    EXPECT_TRUE(dev_.read_thread.joinable());
    usb_request_loop_stop(&dev_);
    EXPECT_EQ(1, logs_.count("duvo_read_dev_date ERROR\n"));  // one line per failure streak
    EXPECT_EQ(LL_ERR, logs_.level_of("duvo_read_dev_date ERROR\n"));
}

TEST_F(RequestLoop, QueuedStreamingRequestsAreReportedOnExit) {
    ASSERT_EQ(0, usb_request_loop_start(&dev_));
    bus_->feed(iso_pdu(5, 1, VBUS_DIR_OUT, 10, 32));
    bus_->feed(iso_pdu(6, 2, VBUS_DIR_IN, 10, 32));
    bus_->feed(control_pdu(7, 0x80, 6, 0x0100, 0, 18));  // answered only after the two are queued
    ASSERT_TRUE(bus_->wait_replies(1));
    usb_request_loop_stop(&dev_);
    EXPECT_TRUE(logs_.has("usb readdevice exit but queue not empty,pb:1 cp:1!\n"));
    EXPECT_TRUE(logs_.has("usb readdevice sleepdown,pb:1 cp:1!\n"));
}

}  // namespace

namespace {

TEST(RequestLoopOwner, ReleasingARunningDeviceEndsItsThread) {
    auto *dev = new vusb_handle;
    auto bus = std::make_unique<fake_vbus>();
    fake_vbus *raw = bus.get();
    dev->driver = std::move(bus);
    ASSERT_EQ(0, usb_device_build_descriptors(dev));
    ASSERT_EQ(0, usb_request_loop_start(dev));
    raw->feed(control_pdu(1, 0x80, 6, 0x0100, 0, 18));
    ASSERT_TRUE(raw->wait_replies(1));
    delete dev;  // would abort the process if the thread were left running
}

}  // namespace
