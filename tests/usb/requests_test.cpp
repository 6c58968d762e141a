#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "usb/usb_pdu.h"
#include "usb/usb_phone_cmds.h"
#include "usb_test_util.h"

namespace {

using Requests = device_fixture;

constexpr uint8_t kStdIn = 0x80, kStdOut = 0x00, kClassIfIn = 0xA1, kClassIfOut = 0x21;

std::vector<uint8_t> bytes(std::initializer_list<uint8_t> b) {
    return b;
}

TEST_F(Requests, GetDescriptorAnswersWithinBothLimits) {
    struct {
        const char *what;
        uint16_t wValue, wLength;
        int buffer;  // -1: same as wLength
        size_t len;
        std::vector<uint8_t> head;  // first bytes of the reply
    } cases[] = {
        {"device", 0x0100, 64, -1, 18, bytes({0x12, 0x01, 0x10, 0x01})},
        {"config header", 0x0200, 9, -1, 9, bytes({0x09, 0x02, 0xE8, 0x00, 0x04})},
        {"config whole", 0x0200, 255, -1, 232, bytes({0x09, 0x02, 0xE8, 0x00})},
        {"config cut to wLength", 0x0200, 100, -1, 100, bytes({0x09, 0x02})},
        {"config cut to buffer", 0x0200, 255, 64, 64, bytes({0x09, 0x02})},
        {"languages probe", 0x0300, 4, -1, 4, bytes({0x04, 0x03, 0x09, 0x04})},
        {"languages", 0x0300, 255, -1, 4, bytes({0x04, 0x03, 0x09, 0x04})},
        {"serial", 0x0303, 255, -1, 26, bytes({26, 0x03, '6', 0, '4', 0})},
        {"function name", 0x0304, 255, -1, 54, bytes({54, 0x03, 'M', 0})},
        {"function name cut to wLength", 0x0304, 2, -1, 2, bytes({54, 0x03})},
        {"function name cut to buffer", 0x0304, 255, 16, 16, bytes({54, 0x03, 'M', 0})},
        {"uc string", 0x0321, 255, -1, 36, bytes({36, 0x03, 'U', 0})},
        {"qualifier type", 0x0600, 10, -1, 0, {}},
    };
    uint32_t seq = 1;
    for (auto &c : cases) {
        fake_reply r =
            handle_one(control_pdu(seq, kStdIn, 6, c.wValue, 0, c.wLength, {}, c.buffer));
        EXPECT_EQ(VBUS_RET_SUBMIT, r.hdr.command) << c.what;
        EXPECT_EQ(seq, r.hdr.seqnum) << c.what;
        EXPECT_EQ(0, r.status()) << c.what;
        EXPECT_EQ(c.len, r.payload.size()) << c.what;
        EXPECT_EQ(c.len, r.hdr.length) << c.what;
        ASSERT_GE(r.payload.size(), c.head.size()) << c.what;
        EXPECT_EQ(c.head,
                  std::vector<uint8_t>(r.payload.begin(), r.payload.begin() + c.head.size()))
            << c.what;
        seq++;
    }
}

TEST_F(Requests, MissingStringIsStalled) {
    for (uint16_t index : {5, 7, 32, 200}) {
        fake_reply r = handle_one(control_pdu(40 + index, kStdIn, 6, 0x0300 | index, 0x0409, 255));
        EXPECT_EQ(40u + index, r.hdr.seqnum);
        EXPECT_EQ(VUSB_STATUS_STALL, r.status()) << index;
        EXPECT_TRUE(r.payload.empty());
    }
}

TEST_F(Requests, EmptySuccessfulReplies) {
    struct {
        const char *what;
        fake_pdu pdu;
        const char *log;  // a line the request must leave, or null
    } cases[] = {
        {"set address", control_pdu(1, kStdOut, 5, 2, 0, 0), nullptr},
        {"set configuration", control_pdu(2, kStdOut, 9, 1, 0, 0), nullptr},
        {"device request 11", control_pdu(4, kStdOut, 11, 0, 0, 0),
         "process_standard_device_requests req submit \n"},
        {"endpoint recipient", control_pdu(5, 0x02, 1, 0, 0x81, 0), nullptr},
        {"unknown endpoint", iso_pdu(7, 5, VBUS_DIR_IN, 0, 8), "DEV: Unknown ep: 5\n"},
        {"hid physical", control_pdu(8, 0x81, 6, 0x2300, 3, 64),
         "HIDDEV: HID Physical Descriptor\n"},
        {"hid class descriptor", control_pdu(9, 0x81, 6, 0x2100, 3, 9), "HIDDEV: HID Descriptor\n"},
        {"hid set idle", control_pdu(10, kClassIfOut, 10, 0, 3, 0), "HID: SET IDLE Request\n"},
        {"hid unknown report", control_pdu(11, kClassIfIn, 1, 0x0313, 3, 5),
         "HID_GET_REPORT virtual ret submit\n"},
        {"audio unknown interface", control_pdu(12, kClassIfIn, 0x81, 0x0100, 7, 1),
         "AUDIODEV: setup->bRequest 81!\n"},
        {"volume unknown request", control_pdu(13, kClassIfIn, 0x85, 0x0200, 0x0200, 2),
         "AUDIODEV: setup->bRequest 85!\n"},
        {"control other selector", control_pdu(14, kClassIfIn, 0x81, 0x0300, 0x0200, 1), nullptr},
    };
    for (auto &c : cases) {
        fake_reply r = handle_one(c.pdu);
        EXPECT_EQ(VBUS_RET_SUBMIT, r.hdr.command) << c.what;
        EXPECT_EQ(c.pdu.hdr.seqnum, r.hdr.seqnum) << c.what;
        EXPECT_EQ(c.pdu.hdr.ep, r.hdr.ep) << c.what;
        EXPECT_EQ(c.pdu.hdr.direction, r.hdr.direction) << c.what;
        EXPECT_EQ(0u, r.hdr.devid) << c.what;
        EXPECT_EQ(0, r.status()) << c.what;
        EXPECT_EQ(0u, r.hdr.length) << c.what;
        EXPECT_TRUE(r.payload.empty()) << c.what;
        if (c.log) {
            EXPECT_TRUE(logs_.has(c.log)) << c.what;
        }
    }
    EXPECT_EQ(LL_ERR, logs_.level_of("DEV: Unknown ep: 5\n"));
    EXPECT_TRUE(events().empty());
}

// A Linux host takes a GET_STATUS reply of any length but 2 as an I/O error.
TEST_F(Requests, StandardGetsAnswerWithTheirData) {
    struct {
        const char *what;
        fake_pdu pdu;
        std::vector<uint8_t> want;
    } cases[] = {
        {"device status", control_pdu(3, kStdIn, 0, 0, 0, 2), {0, 0}},
        {"endpoint status", control_pdu(6, 0x82, 0, 0, 0x82, 2), {0, 0}},
        {"configuration", control_pdu(7, kStdIn, 8, 0, 0, 1), {1}},
    };
    for (auto &c : cases) {
        fake_reply r = handle_one(c.pdu);
        EXPECT_EQ(0, r.status()) << c.what;
        EXPECT_EQ(c.want.size(), r.hdr.length) << c.what;
        EXPECT_EQ(c.want, r.payload) << c.what;
    }
}

TEST_F(Requests, MuteRequestsReachThePhone) {
    // GET_CUR mute posts the speaker mute with the (absent) data byte 0 and
    // answers the stored state.
    fake_reply r = handle_one(control_pdu(1, kClassIfIn, 0x81, 0x0100, 0x0200, 1));
    EXPECT_EQ(bytes({0}), r.payload);
    auto ev = events();
    ASSERT_EQ(1u, ev.size());
    EXPECT_EQ(EVT_SEND_CMD, ev[0].type);
    EXPECT_EQ(vusb_cmd::DUVO_CMD_C2P_SPEAKER_MUTE, ev[0].code);
    EXPECT_EQ(0, ev[0].value);
    EXPECT_EQ(0, ev[0].size);

    r = handle_one(control_pdu(2, kClassIfOut, 0x01, 0x0100, 0x0200, 1, {1}));
    EXPECT_TRUE(r.payload.empty());
    EXPECT_EQ(0u, r.hdr.length);
    EXPECT_EQ(1, dev_.mute);
    r = handle_one(control_pdu(3, kClassIfIn, 0x81, 0x0100, 0x0500, 1));
    EXPECT_EQ(bytes({1}), r.payload);
    ev = events();
    ASSERT_EQ(2u, ev.size());
    EXPECT_EQ(1, ev[0].value);
    EXPECT_EQ(0, ev[1].value);
    EXPECT_TRUE(logs_.has("mute_enable=1, wLength=1\n"));
    EXPECT_TRUE(logs_.has("control_selector=1, channel_number=0, interface=0, wLength=1\n"));

    // A channel other than 0 does not reach the phone.
    handle_one(control_pdu(4, kClassIfIn, 0x81, 0x0101, 0x0200, 1));
    EXPECT_TRUE(events().empty());
}

TEST_F(Requests, VolumeIsForwardedButReadsAsFixedRange) {
    struct {
        uint8_t d0, d1;
        int posted;
        int16_t stored;
    } sets[] = {{0x32, 0x00, 50, 50}, {0xF6, 0xFF, -10, -10}, {0x80, 0x01, -128, 0x0180}};
    uint32_t seq = 1;
    for (auto &s : sets) {
        fake_reply r =
            handle_one(control_pdu(seq++, kClassIfOut, 0x01, 0x0200, 0x0200, 2, {s.d0, s.d1}));
        EXPECT_TRUE(r.payload.empty());
        EXPECT_EQ(s.stored, dev_.cur_volume);
        auto ev = events();
        ASSERT_EQ(1u, ev.size());
        EXPECT_EQ(vusb_cmd::DUVO_CMD_C2P_CURRENT_VOLUME, ev[0].code);
        EXPECT_EQ(s.posted, ev[0].value);
    }
    EXPECT_TRUE(
        logs_.has("cur volume: 00 32, vol=51, len=2, index=512, cur_vol=50, zoom_vol_end=0\n"));
    struct {
        uint8_t req;
        std::vector<uint8_t> reply;
    } gets[] = {{0x81, {100, 0}}, {0x82, {0, 0}}, {0x83, {100, 0}}, {0x84, {1, 0}}};
    for (auto &g : gets) {
        fake_reply r = handle_one(control_pdu(seq++, kClassIfIn, g.req, 0x0200, 0x0200, 2));
        EXPECT_EQ(g.reply, r.payload) << int(g.req);
    }
    EXPECT_TRUE(events().empty());
}

int g_alt = -1, g_capture = -1, g_calls = 0;
int record_set_interface(vusb_handle *, int alt, int is_capture) {
    g_alt = alt;
    g_capture = is_capture;
    g_calls++;
    return 0;
}

TEST_F(Requests, SetInterfaceRestartsItsQueueAndCallsTheMediaHook) {
    dev_.hooks.set_interface = record_set_interface;
    g_calls = 0;
    struct {
        uint16_t iface, alt;
        int capture;
        const char *log;
        bool cp_emptied, pb_emptied;
    } cases[] = {
        {2, 1, 1, "Audio: Mic Active\n", true, false},
        {2, 0, 1, "Audio: Mic Idle\n", false, false},
        {2, 3, 1, "|process_audio_class_specific_requests| goto myend\n", false, false},
        {1, 1, 0, "Audio: Speaker Active\n", false, true},
        {1, 0, 0, "Audio: Speaker Idle\n", false, false},
    };
    uint32_t seq = 100;
    for (auto &c : cases) {
        fake_pdu cp = iso_pdu(seq++, 2, VBUS_DIR_IN, 10, 32);
        fake_pdu pb = iso_pdu(seq++, 1, VBUS_DIR_OUT, 10, 32);
        vbus_pdu v = cp.view();
        usb_dispatch_pdu(&dev_, &v);
        v = pb.view();
        usb_dispatch_pdu(&dev_, &v);
        int cp_before = dev_.cp_cache_list.size(), pb_before = dev_.pb_cache_list.size();
        int calls = g_calls;
        fake_reply r = handle_one(control_pdu(seq++, 0x01, 11, c.alt, c.iface, 0));
        EXPECT_EQ(0, r.status());
        EXPECT_TRUE(logs_.has(c.log)) << c.log;
        EXPECT_EQ(calls + 1, g_calls);
        EXPECT_EQ(c.alt, g_alt);
        EXPECT_EQ(c.capture, g_capture);
        EXPECT_EQ(c.cp_emptied ? 0 : cp_before, dev_.cp_cache_list.size()) << c.log;
        EXPECT_EQ(c.pb_emptied ? 0 : pb_before, dev_.pb_cache_list.size()) << c.log;
    }
}

void record_set_report(vusb_handle *h, const vbus_pdu *pdu) {
    h->uc_keepalive = pdu->data_len == 2 && pdu->data[0] == 3 && pdu->data[1] == 1;
}

TEST_F(Requests, HidRequests) {
    fake_reply r = handle_one(control_pdu(1, 0x81, 6, 0x2200, 3, 0x44 + 0x40));
    EXPECT_EQ(USB_HID_REPORT_DESC_SIZE, r.payload.size());
    EXPECT_EQ(std::vector<uint8_t>(usb_hid_report_descriptor,
                                   usb_hid_report_descriptor + USB_HID_REPORT_DESC_SIZE),
              r.payload);
    EXPECT_TRUE(logs_.has("HIDDEV: Paired..\n"));
    r = handle_one(control_pdu(2, kClassIfIn, 1, 0x0311, 3, 5));
    EXPECT_EQ(bytes({0x11, 0x5E, 0x04, 0x02, 0x00}), r.payload);
    r = handle_one(control_pdu(3, kClassIfIn, 1, 0x0312, 3, 64));
    EXPECT_EQ(bytes({0x12, 0x02, 0x48, 0x20, 0x08}), r.payload);

    dev_.hooks.hid_set_report = record_set_report;
    r = handle_one(control_pdu(4, kClassIfOut, 9, 0x0203, 3, 2, {3, 1}));
    EXPECT_TRUE(r.payload.empty());
    EXPECT_EQ(0, r.status());
    EXPECT_EQ(1, dev_.uc_keepalive.load());
    EXPECT_TRUE(logs_.has("recv HID_SET_REPORT, Report_Type: 0x02, Report_ID: 0x03\n"));
}

TEST_F(Requests, StreamingAndInterruptTransfersAreQueued) {
    fake_pdu pb = iso_pdu(21, 1, VBUS_DIR_OUT, 10, 32);
    fake_pdu cp = iso_pdu(22, 2, VBUS_DIR_IN, 10, 32);
    fake_pdu in = control_pdu(23, 0, 0, 0, 0, 0);
    in.hdr.ep = 3;
    in.hdr.direction = VBUS_DIR_IN;
    in.hdr.length = 8;
    for (const fake_pdu *p : {&pb, &cp, &in}) {
        vbus_pdu v = p->view();
        usb_dispatch_pdu(&dev_, &v);
    }
    EXPECT_TRUE(bus_->replies().empty());
    EXPECT_EQ(1, vusb_event_wait(&dev_.wakeup_event, 0));

    alignas(vbus_iso_desc) uint8_t buf[CTQueue::slot_size];
    size_t n = dev_.pb_cache_list.pop(buf, sizeof buf);
    vbus_pdu back{};
    ASSERT_EQ(0, usb_pdu_parse(buf, n, &back));
    EXPECT_EQ(21u, back.hdr.seqnum);
    ASSERT_EQ(320u, back.data_len);
    EXPECT_EQ(pb.data, std::vector<uint8_t>(back.data, back.data + back.data_len));
    ASSERT_EQ(10u, back.hdr.packets);
    EXPECT_EQ(288u, back.iso[9].offset);
    n = dev_.cp_cache_list.pop(buf, sizeof buf);
    ASSERT_EQ(0, usb_pdu_parse(buf, n, &back));
    EXPECT_EQ(22u, back.hdr.seqnum);
    EXPECT_EQ(0u, back.data_len);
    n = dev_.int_queue.pop(buf, sizeof buf);
    ASSERT_EQ(0, usb_pdu_parse(buf, n, &back));
    EXPECT_EQ(23u, back.hdr.seqnum);
}

TEST_F(Requests, UnlinkDropsAQueuedRequestOrReportsItAnswered) {
    for (uint32_t ep : {1u, 2u, 3u}) {
        fake_pdu p =
            iso_pdu(10 * ep, ep, ep == 1 ? VBUS_DIR_OUT : VBUS_DIR_IN, ep == 3 ? 0 : 10, 32);
        vbus_pdu v = p.view();
        usb_dispatch_pdu(&dev_, &v);
        fake_pdu other = iso_pdu(10 * ep + 1, ep, p.hdr.direction, p.hdr.packets, 32);
        v = other.view();
        usb_dispatch_pdu(&dev_, &v);

        fake_pdu unlink;
        unlink.hdr.command = VBUS_CMD_UNLINK;
        unlink.hdr.seqnum = 10 * ep + 5;
        unlink.hdr.ep = ep;
        unlink.hdr.flags_status = 10 * ep;
        fake_reply r = handle_one(unlink);
        EXPECT_EQ(VBUS_RET_UNLINK, r.hdr.command);
        EXPECT_EQ(10 * ep + 5, r.hdr.seqnum);
        EXPECT_EQ(VUSB_STATUS_UNLINKED, r.status()) << ep;
        EXPECT_TRUE(r.payload.empty());
        EXPECT_TRUE(r.iso.empty());
        // The other request stays queued; the unlinked one is gone.
        CTQueue &q = ep == 1 ? dev_.pb_cache_list : ep == 2 ? dev_.cp_cache_list : dev_.int_queue;
        EXPECT_EQ(1, q.size());
        // Unlinking it again: already gone (answered), status 0.
        unlink.hdr.seqnum++;
        r = handle_one(unlink);
        EXPECT_EQ(VBUS_RET_UNLINK, r.hdr.command);
        EXPECT_EQ(0, r.status());
    }
}

TEST_F(Requests, MalformedPdusAreRefusedNeverRead) {
    std::vector<uint8_t> small(8, 0xAA);
    struct {
        const char *what;
        fake_pdu pdu;
        int32_t status;
        bool null_data;
    } cases[] = {
        {"too many packets", iso_pdu(1, 1, VBUS_DIR_OUT, 0, 0), VUSB_STATUS_MALFORMED, false},
        {"packet past buffer", iso_pdu(2, 2, VBUS_DIR_IN, 10, 32), VUSB_STATUS_MALFORMED, false},
        {"offset overflow", iso_pdu(3, 2, VBUS_DIR_IN, 2, 32), VUSB_STATUS_MALFORMED, false},
        {"data past buffer", control_pdu(4, kClassIfOut, 1, 0x0200, 0x0200, 2, {1, 2, 3, 4}, 2),
         VUSB_STATUS_MALFORMED, false},
        {"data on IN", control_pdu(5, kStdIn, 6, 0x0100, 0, 18, {1, 2}), VUSB_STATUS_MALFORMED,
         false},
        {"data pointer missing", control_pdu(6, kClassIfOut, 1, 0x0100, 0x0200, 1, {1}),
         VUSB_STATUS_MALFORMED, true},
        {"buffer above cap", iso_pdu(7, 2, VBUS_DIR_IN, 0, 0), VUSB_STATUS_MALFORMED, false},
        {"bad direction", iso_pdu(8, 2, 7, 0, 0), VUSB_STATUS_MALFORMED, false},
        {"endpoint above 15", iso_pdu(9, 16, VBUS_DIR_IN, 0, 0), VUSB_STATUS_MALFORMED, false},
        {"larger than a queue slot", iso_pdu(10, 1, VBUS_DIR_OUT, 10, 200), -75, false},
    };
    cases[0].pdu.hdr.packets = VBUS_MAX_ISO_PACKETS + 1;  // descriptors absent: never looked at
    cases[1].pdu.iso[9].offset = 300;
    cases[2].pdu.iso[1].offset = 0xFFFFFFF0u;
    cases[6].pdu.hdr.length = VBUS_MAX_PAYLOAD + 1;
    for (auto &c : cases) {
        vbus_pdu v = c.pdu.view();
        if (c.null_data) v.data = nullptr;
        bus_->clear_replies();
        usb_dispatch_pdu(&dev_, &v);
        auto replies = bus_->replies();
        ASSERT_EQ(1u, replies.size()) << c.what;
        EXPECT_EQ(VBUS_RET_SUBMIT, replies[0].hdr.command) << c.what;
        EXPECT_EQ(c.pdu.hdr.seqnum, replies[0].hdr.seqnum) << c.what;
        EXPECT_EQ(c.status, replies[0].status()) << c.what;
        EXPECT_TRUE(replies[0].payload.empty()) << c.what;
        EXPECT_LE(replies[0].hdr.packets, static_cast<uint32_t>(VBUS_MAX_ISO_PACKETS)) << c.what;
        EXPECT_EQ(replies[0].hdr.packets, replies[0].iso.size()) << c.what;
    }
    EXPECT_EQ(0, dev_.pb_cache_list.size());
    EXPECT_EQ(0, dev_.cp_cache_list.size());
    EXPECT_EQ(0, dev_.mute);
    EXPECT_EQ(0, dev_.cur_volume);
    EXPECT_TRUE(logs_.contains("malformed pdu seq:1 ep:1 refused: too many iso packets"));
    EXPECT_TRUE(logs_.contains("does not fit a queue slot"));
    EXPECT_TRUE(events().empty());
}

TEST_F(Requests, FullQueueAnswersTheExcessWithAnError) {
    for (uint32_t s = 0; s < CTQueue::slot_count; s++) {
        fake_pdu p = iso_pdu(s, 2, VBUS_DIR_IN, 10, 32);
        vbus_pdu v = p.view();
        usb_dispatch_pdu(&dev_, &v);
    }
    EXPECT_TRUE(bus_->replies().empty());
    fake_reply r = handle_one(iso_pdu(999, 2, VBUS_DIR_IN, 10, 32));
    EXPECT_EQ(999u, r.hdr.seqnum);
    EXPECT_EQ(VUSB_STATUS_NO_SPACE, r.status());
    ASSERT_EQ(10u, r.iso.size());
    EXPECT_EQ(0u, r.iso[0].actual_length);
    EXPECT_EQ(CTQueue::slot_count, dev_.cp_cache_list.size());
    EXPECT_TRUE(logs_.has("cp_cache_list full, pdu seq:999 dropped\n"));
}

TEST_F(Requests, ReplyPayloadIsCappedAndNeedsABus) {
    fake_pdu p = control_pdu(1, kStdIn, 6, 0x0100, 0, 4000);
    vbus_pdu v = p.view();
    std::vector<uint8_t> big(VUSB_REPLY_PAYLOAD_MAX + 1);
    EXPECT_EQ(-1, vusb_reply(&v, &dev_, big.data(), big.size()));
    EXPECT_EQ(0, vusb_reply(&v, &dev_, big.data(), VUSB_REPLY_PAYLOAD_MAX));
    dev_.driver.reset();
    bus_ = nullptr;
    EXPECT_EQ(-1, vusb_reply(&v, &dev_, nullptr, 0));
}

}  // namespace
