// The USB/IP export server against a raw client on loopback: devlist and
// import, the URB stream both ways, unlinks, importers coming and going,
// malformed input.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "platform/os/os_time.h"
#include "usb/vbus_usbip.h"
#include "vbus_test_client.h"

namespace {

constexpr int WAIT_MS = 5000;

vbus_device_summary speakerphone_summary() {
    vbus_device_summary s;
    s.vid = 0x2b11;
    s.pid = 0xb016;
    s.bcd_device = 0x0105;
    s.num_interfaces = 4;
    s.ifaces[0] = {1, 1, 0};
    s.ifaces[1] = {1, 2, 0};
    s.ifaces[2] = {1, 2, 0};
    s.ifaces[3] = {3, 0, 0};
    return s;
}

class ExportServer : public ::testing::Test {
  protected:
    void SetUp() override {
        bus = vbus_usbip_create("127.0.0.1", 0);
        ASSERT_EQ(bus->open(), 0);
        port = vbus_usbip_local_port(bus.get());
        ASSERT_GT(port, 0);
    }
    void plug() {
        vbus_plugin_info info;
        info.port = 1;
        info.vid = 0x2b11;
        info.pid = 0xb016;
        ASSERT_EQ(bus->plug_in(info, speakerphone_summary()), 0);
    }
    void import(raw_client &c) {
        plug_if_needed();
        ASSERT_EQ(c.import(port, "1-1"), 0);
    }
    void plug_if_needed() {
        uint8_t st[VBUS_PORT_COUNT];
        ASSERT_EQ(bus->port_status(st), 0);
        if (!st[1]) plug();
    }
    // The device side: the next PDU, waiting generously.
    vbus_pdu next_pdu() {
        vbus_pdu p{};
        int r = 0;
        uint64_t until = os_mono_ms() + WAIT_MS;
        while (r == 0 && os_mono_ms() < until) r = bus->read_pdu(&p, 200);
        EXPECT_EQ(r, 1);
        return p;
    }
    // Lets the device side notice a closed or broken connection.
    void settle() {
        vbus_pdu p{};
        EXPECT_EQ(bus->read_pdu(&p, 100), 0);
    }

    std::unique_ptr<vbus_backend> bus;
    int port = 0;
};

TEST_F(ExportServer, DevlistShowsThePluggedDeviceOnly) {
    raw_client c;
    std::vector<usbip_device_record> devs;
    uint8_t st[VBUS_PORT_COUNT];
    ASSERT_EQ(bus->port_status(st), 0);
    for (int i = 0; i < VBUS_PORT_COUNT; i++) EXPECT_EQ(st[i], 0) << i;
    EXPECT_EQ(c.devlist(port, &devs), 0);
    EXPECT_NE(c.import(port, "1-1"), 0);  // nothing to import yet

    plug();
    ASSERT_EQ(bus->port_status(st), 0);
    for (int i = 0; i < VBUS_PORT_COUNT; i++) EXPECT_EQ(st[i], i == 1 ? 1 : 0) << i;
    ASSERT_EQ(c.devlist(port, &devs), 1);
    const usbip_device_record &d = devs[0];
    EXPECT_EQ(d.busid, "1-1");
    EXPECT_EQ(d.busnum, 1u);
    EXPECT_EQ(d.devnum, 1u);
    EXPECT_EQ(d.speed, 2u);
    EXPECT_EQ(d.summary.vid, 0x2b11);
    EXPECT_EQ(d.summary.pid, 0xb016);
    EXPECT_EQ(d.summary.bcd_device, 0x0105);
    ASSERT_EQ(d.summary.num_interfaces, 4);
    EXPECT_EQ(d.summary.ifaces[0].subclass, 1);
    EXPECT_EQ(d.summary.ifaces[2].subclass, 2);
    EXPECT_EQ(d.summary.ifaces[3].cls, 3);

    vbus_plugin_info again;
    again.port = 2;
    EXPECT_EQ(bus->plug_in(again, speakerphone_summary()), -1);  // one device per server
}

TEST_F(ExportServer, ImportIsRefusedForAnotherBusidOrASecondImporter) {
    plug();
    raw_client first, second, wrong;
    EXPECT_EQ(wrong.import(port, "1-2"), 1);
    ASSERT_EQ(first.import(port, "1-1"), 0);
    EXPECT_EQ(second.import(port, "1-1"), 1);
    // The first importer still owns the device.
    ASSERT_TRUE(first.submit(submit_header(1, VBUS_DIR_IN, 0, 18)));
    vbus_pdu p = next_pdu();
    EXPECT_EQ(p.hdr.ep, 0u);
}

TEST_F(ExportServer, ControlTransfersTravelBothWays) {
    raw_client c;
    import(c);
    // GET_DESCRIPTOR configuration into a 9-byte buffer, the header sent in
    // two pieces as a slow peer might.
    vbus_pdu_header h = submit_header(5, VBUS_DIR_IN, 0, 9);
    const uint8_t setup[8] = {0x80, 6, 0, 2, 0, 0, 9, 0};
    memcpy(h.setup, setup, 8);
    uint8_t wire[USBIP_HEADER_SIZE];
    usbip_encode_header(h, wire);
    ASSERT_TRUE(c.send_bytes(wire, 20));
    vbus_pdu p{};
    EXPECT_EQ(bus->read_pdu(&p, 100), 0);  // half a header is not a PDU
    ASSERT_TRUE(c.send_bytes(wire + 20, sizeof wire - 20));
    p = next_pdu();
    EXPECT_EQ(p.hdr.command, VBUS_CMD_SUBMIT);
    EXPECT_EQ(p.hdr.direction, VBUS_DIR_IN);
    EXPECT_EQ(p.hdr.ep, 0u);
    EXPECT_EQ(p.hdr.length, 9u);
    EXPECT_EQ(p.hdr.packets, 0u);  // 0xffffffff from the host normalised
    EXPECT_EQ(0, memcmp(p.hdr.setup, setup, 8));
    EXPECT_EQ(p.data_len, 0u);
    EXPECT_EQ(p.iso, nullptr);

    // The device answers with more than the host's buffer: only 9 bytes go.
    std::vector<uint8_t> config(232);
    for (size_t i = 0; i < config.size(); i++) config[i] = static_cast<uint8_t>(i);
    vbus_pdu_header r{};
    r.command = VBUS_RET_SUBMIT;
    r.seqnum = p.hdr.seqnum;
    r.direction = VBUS_DIR_IN;
    r.length = 232;
    ASSERT_EQ(bus->write_reply(r, config.data(), config.size(), nullptr, 0), 0);
    raw_reply rep;
    ASSERT_TRUE(c.reply(&rep, true));
    EXPECT_EQ(rep.hdr.command, VBUS_RET_SUBMIT);
    EXPECT_EQ(rep.hdr.seqnum, 5u);
    EXPECT_EQ(rep.hdr.flags_status, 0u);
    EXPECT_EQ(rep.hdr.length, 9u);
    EXPECT_EQ(rep.hdr.packets, USBIP_PACKETS_NOT_ISO);
    EXPECT_EQ(rep.data, std::vector<uint8_t>(config.begin(), config.begin() + 9));

    // SET_CUR volume with two data bytes: the reply says both were taken.
    h = submit_header(6, VBUS_DIR_OUT, 0, 2);
    const uint8_t set_cur[8] = {0x21, 1, 0, 2, 0, 2, 2, 0};
    memcpy(h.setup, set_cur, 8);
    ASSERT_TRUE(c.submit(h, {0x32, 0x00}));
    p = next_pdu();
    ASSERT_EQ(p.data_len, 2u);
    EXPECT_EQ(p.data[0], 0x32);
    r.seqnum = p.hdr.seqnum;
    r.direction = VBUS_DIR_OUT;
    r.length = 0;
    ASSERT_EQ(bus->write_reply(r, nullptr, 0, nullptr, 0), 0);
    ASSERT_TRUE(c.reply(&rep, false));
    EXPECT_EQ(rep.hdr.seqnum, 6u);
    EXPECT_EQ(rep.hdr.length, 2u);
}

struct iso_case {
    const char *name;
    uint32_t dir;
    uint32_t host_packets;       // of 32 bytes each
    size_t device_bytes;         // IN: audio in the device's reply
    uint32_t device_packets;     // descriptors in the device's reply (32 bytes each)
    std::vector<uint32_t> want;  // actual length per host packet
};

TEST_F(ExportServer, IsochronousRepliesFollowTheHostsPackets) {
    const iso_case cases[] = {
        {"10-packet capture answered with 10 packets", VBUS_DIR_IN, 10, 320, 10,
         std::vector<uint32_t>(10, 32)},
        {"1-packet capture answered with a 10 ms frame", VBUS_DIR_IN, 1, 320, 10, {32}},
        {"capture answered with a short frame and no descriptors",
         VBUS_DIR_IN,
         4,
         70,
         0,
         {32, 32, 6, 0}},
        {"10-packet playback", VBUS_DIR_OUT, 10, 0, 10, std::vector<uint32_t>(10, 32)},
        {"6-packet playback answered with 10 descriptors", VBUS_DIR_OUT, 6, 0, 10,
         std::vector<uint32_t>(6, 32)},
        {"playback answered without descriptors", VBUS_DIR_OUT, 3, 0, 0, {32, 32, 32}},
    };
    raw_client c;
    import(c);
    uint32_t seq = 100;
    for (const auto &k : cases) {
        SCOPED_TRACE(k.name);
        std::vector<vbus_iso_desc> iso;
        for (uint32_t i = 0; i < k.host_packets; i++) iso.push_back({32 * i, 32, 0, 0});
        const uint32_t len = 32 * k.host_packets;
        std::vector<uint8_t> out;
        if (k.dir == VBUS_DIR_OUT) {
            for (uint32_t i = 0; i < len; i++) out.push_back(static_cast<uint8_t>(i * 3));
        }
        ASSERT_TRUE(
            c.submit(submit_header(++seq, k.dir, k.dir == VBUS_DIR_IN ? 2 : 1, len, k.host_packets),
                     out, iso));
        vbus_pdu p = next_pdu();
        ASSERT_EQ(p.hdr.packets, k.host_packets);
        ASSERT_NE(p.iso, nullptr);
        EXPECT_EQ(p.iso[k.host_packets - 1].offset, 32 * (k.host_packets - 1));
        ASSERT_EQ(p.data_len, out.size());
        if (!out.empty()) {
            EXPECT_EQ(0, memcmp(p.data, out.data(), out.size()));
        }

        std::vector<uint8_t> audio(k.device_bytes);
        for (size_t i = 0; i < audio.size(); i++) audio[i] = static_cast<uint8_t>(i + 1);
        std::vector<vbus_iso_desc> dev_iso;
        for (uint32_t i = 0; i < k.device_packets; i++) dev_iso.push_back({32 * i, 32, 32, 0});
        vbus_pdu_header r{};
        r.command = VBUS_RET_SUBMIT;
        r.seqnum = p.hdr.seqnum;
        r.direction = k.dir;
        r.packets = k.device_packets;
        r.length = static_cast<uint32_t>(audio.size());
        ASSERT_EQ(bus->write_reply(r, audio.data(), audio.size(), dev_iso.data(), k.device_packets),
                  0);
        raw_reply rep;
        ASSERT_TRUE(c.reply(&rep, k.dir == VBUS_DIR_IN));
        EXPECT_EQ(rep.hdr.seqnum, seq);
        ASSERT_EQ(rep.iso.size(), k.want.size());
        uint32_t total = 0;
        for (size_t i = 0; i < k.want.size(); i++) {
            EXPECT_EQ(rep.iso[i].offset, 32 * i);
            EXPECT_EQ(rep.iso[i].length, 32u);
            EXPECT_EQ(rep.iso[i].actual_length, k.want[i]) << "packet " << i;
            total += k.want[i];
        }
        EXPECT_EQ(rep.hdr.length, total);
        if (k.dir == VBUS_DIR_IN) {
            EXPECT_EQ(rep.data, std::vector<uint8_t>(audio.begin(), audio.begin() + total));
        }
    }
}

TEST_F(ExportServer, UnlinkDropsAPendingRequestAndReportsAnAnsweredOne) {
    raw_client c;
    import(c);
    ASSERT_TRUE(c.submit(submit_header(10, VBUS_DIR_IN, 3, 8)));
    vbus_pdu pending = next_pdu();
    vbus_pdu_header unlink{};
    unlink.command = VBUS_CMD_UNLINK;
    unlink.seqnum = 11;
    unlink.flags_status = 10;
    ASSERT_TRUE(c.submit(unlink));
    // The bus answers the host itself, and tells the device which of its
    // requests is gone; the device's own answer to that notice goes nowhere.
    vbus_pdu p = next_pdu();
    raw_reply rep;
    ASSERT_TRUE(c.reply(&rep, false));
    EXPECT_EQ(rep.hdr.command, VBUS_RET_UNLINK);
    EXPECT_EQ(rep.hdr.seqnum, 11u);
    EXPECT_EQ(static_cast<int32_t>(rep.hdr.flags_status), -ECONNRESET);
    EXPECT_EQ(p.hdr.command, VBUS_CMD_UNLINK);
    EXPECT_EQ(p.hdr.flags_status, pending.hdr.seqnum);
    vbus_pdu_header notice_reply{};
    notice_reply.command = VBUS_RET_UNLINK;
    notice_reply.seqnum = p.hdr.seqnum;
    notice_reply.flags_status = static_cast<uint32_t>(-ECONNRESET);
    EXPECT_EQ(bus->write_reply(notice_reply, nullptr, 0, nullptr, 0), 0);

    // The device's late answer to the unlinked request goes nowhere.
    vbus_pdu_header r{};
    r.command = VBUS_RET_SUBMIT;
    r.seqnum = pending.hdr.seqnum;
    r.direction = VBUS_DIR_IN;
    const uint8_t report[2] = {2, 1};
    EXPECT_EQ(bus->write_reply(r, report, 2, nullptr, 0), 0);

    // A request answered before its unlink: status 0, the answer was the next
    // thing on the wire, and the device hears nothing of the unlink.
    ASSERT_TRUE(c.submit(submit_header(12, VBUS_DIR_IN, 3, 8)));
    p = next_pdu();
    r.seqnum = p.hdr.seqnum;
    ASSERT_EQ(bus->write_reply(r, report, 2, nullptr, 0), 0);
    ASSERT_TRUE(c.reply(&rep, true));
    EXPECT_EQ(rep.hdr.command, VBUS_RET_SUBMIT);
    EXPECT_EQ(rep.hdr.seqnum, 12u);
    EXPECT_EQ(rep.data, std::vector<uint8_t>({2, 1}));
    unlink.seqnum = 13;
    unlink.flags_status = 12;
    ASSERT_TRUE(c.submit(unlink));
    EXPECT_EQ(bus->read_pdu(&p, 200), 0);
    ASSERT_TRUE(c.reply(&rep, false));
    EXPECT_EQ(rep.hdr.command, VBUS_RET_UNLINK);
    EXPECT_EQ(rep.hdr.flags_status, 0u);
}

TEST_F(ExportServer, ImporterLeavingMidRequestLetsTheNextOneImport) {
    raw_client first;
    import(first);
    ASSERT_TRUE(first.submit(submit_header(1, VBUS_DIR_IN, 2, 32, 1), {}, {{0, 32, 0, 0}}));
    vbus_pdu stale = next_pdu();
    // Half of the next PDU, then the importer goes away.
    uint8_t wire[USBIP_HEADER_SIZE];
    usbip_encode_header(submit_header(2, VBUS_DIR_IN, 0, 18), wire);
    ASSERT_TRUE(first.send_bytes(wire, 30));
    first.close();
    settle();

    raw_client second;
    ASSERT_EQ(second.import(port, "1-1"), 0);
    // The answer to the first importer's request is dropped, not delivered
    // to the second importer, whose sequence numbers start over.
    vbus_pdu_header r{};
    r.command = VBUS_RET_SUBMIT;
    r.seqnum = stale.hdr.seqnum;
    r.direction = VBUS_DIR_IN;
    std::vector<uint8_t> junk(32, 0xee);
    EXPECT_EQ(bus->write_reply(r, junk.data(), junk.size(), nullptr, 0), 0);

    vbus_pdu_header h = submit_header(1, VBUS_DIR_IN, 0, 18);
    h.setup[0] = 0x80;
    h.setup[1] = 6;
    h.setup[3] = 1;
    ASSERT_TRUE(second.submit(h));
    vbus_pdu p = next_pdu();
    EXPECT_NE(p.hdr.seqnum, stale.hdr.seqnum);
    EXPECT_EQ(p.hdr.setup[3], 1);
    std::vector<uint8_t> desc(18, 0x12);
    r.seqnum = p.hdr.seqnum;
    ASSERT_EQ(bus->write_reply(r, desc.data(), desc.size(), nullptr, 0), 0);
    raw_reply rep;
    ASSERT_TRUE(second.reply(&rep, true));
    EXPECT_EQ(rep.hdr.seqnum, 1u);
    EXPECT_EQ(rep.data, desc);
}

struct malformed_case {
    const char *name;
    vbus_pdu_header hdr;
    std::vector<uint8_t> body;  // sent after the header
};

TEST_F(ExportServer, MalformedSubmissionsDropTheImporterOnly) {
    std::vector<uint8_t> iso_past_end(64 + 32);
    // Two descriptors; the second claims bytes 60..91 of a 64-byte buffer.
    vbus_iso_desc bad[2] = {{0, 32, 0, 0}, {60, 32, 0, 0}};
    usbip_encode_iso(bad, 2, iso_past_end.data() + 64);
    const malformed_case cases[] = {
        {"huge OUT length", submit_header(1, VBUS_DIR_OUT, 1, 0x7fffffff, 1), {}},
        {"OUT length just above the limit",
         submit_header(1, VBUS_DIR_OUT, 0, static_cast<uint32_t>(VBUS_MAX_PAYLOAD + 1)),
         {}},
        {"too many iso packets",
         submit_header(1, VBUS_DIR_IN, 2, 32, VBUS_MAX_ISO_PACKETS + 1),
         {}},
        {"packet count near 2^32", submit_header(1, VBUS_DIR_IN, 2, 32, 0xfffffff0u), {}},
        {"iso packet outside the buffer", submit_header(1, VBUS_DIR_OUT, 1, 64, 2), iso_past_end},
        {"endpoint 16", submit_header(1, VBUS_DIR_IN, 16, 8), {}},
        {"direction 2", submit_header(1, 2, 0, 8), {}},
        {"unknown command",
         [] {
             vbus_pdu_header h = submit_header(1, VBUS_DIR_IN, 0, 8);
             h.command = 7;
             return h;
         }(),
         {}},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.name);
        raw_client c;
        import(c);
        std::vector<uint8_t> out(USBIP_HEADER_SIZE + k.body.size());
        usbip_encode_header(k.hdr, out.data());
        std::copy(k.body.begin(), k.body.end(), out.begin() + USBIP_HEADER_SIZE);
        ASSERT_TRUE(c.send_bytes(out.data(), out.size()));
        vbus_pdu p{};
        EXPECT_EQ(bus->read_pdu(&p, 300), 0);  // nothing reaches the device
        EXPECT_TRUE(c.peer_closed());
        // The device stays importable.
        raw_client next;
        ASSERT_EQ(next.import(port, "1-1"), 0);
        ASSERT_TRUE(next.submit(submit_header(4, VBUS_DIR_IN, 0, 18)));
        p = next_pdu();
        EXPECT_EQ(p.hdr.length, 18u);
        next.close();
        settle();
    }
}

TEST_F(ExportServer, HandshakeErrorsCloseTheConnection) {
    plug();
    struct {
        const char *name;
        usbip_op_common op;
    } cases[] = {
        {"old protocol version", {0x0106, USBIP_OP_REQ_DEVLIST, 0}},
        {"unknown request", {USBIP_VERSION, 0x8009, 0}},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.name);
        raw_client c;
        ASSERT_TRUE(c.connect_to(port));
        uint8_t req[USBIP_OP_COMMON_SIZE];
        usbip_encode_op_common(k.op, req);
        ASSERT_TRUE(c.send_bytes(req, sizeof req));
        EXPECT_TRUE(c.peer_closed());
    }
    std::vector<usbip_device_record> devs;
    raw_client c;
    EXPECT_EQ(c.devlist(port, &devs), 1);  // the server still answers
}

TEST_F(ExportServer, CloseEndsABlockedReadAndDropsTheImporter) {
    raw_client c;
    import(c);
    std::atomic<int> result{1};
    std::thread reader([&] {
        vbus_pdu p{};
        result = bus->read_pdu(&p, -1);
    });
    os_sleep_ms(100);
    bus->close();
    reader.join();
    EXPECT_EQ(result.load(), -1);
    EXPECT_TRUE(c.peer_closed());
    vbus_pdu p{};
    EXPECT_EQ(bus->read_pdu(&p, 10), -1);
    vbus_pdu_header r{};
    EXPECT_EQ(bus->write_reply(r, nullptr, 0, nullptr, 0), -1);
    raw_client late;
    EXPECT_FALSE(late.connect_to(port));
}

TEST_F(ExportServer, TheUsbipToolListsTheDevice) {
    if (system("command -v usbip >/dev/null 2>&1") != 0) GTEST_SKIP() << "usbip tool not installed";
    plug();
    std::string cmd = "usbip --tcp-port " + std::to_string(port) + " list -r 127.0.0.1 2>&1";
    FILE *f = popen(cmd.c_str(), "r");
    ASSERT_NE(f, nullptr);
    std::string out;
    char buf[512];
    while (fgets(buf, sizeof buf, f)) out += buf;
    int rc = pclose(f);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("1-1"), std::string::npos) << out;
    EXPECT_NE(out.find("2b11:b016"), std::string::npos) << out;
    // One line per interface, the HID one last.
    EXPECT_NE(out.find("0 - Audio / Control Device / unknown protocol (01/01/00)"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("2 - Audio / Streaming / unknown protocol (01/02/00)"), std::string::npos)
        << out;
    EXPECT_NE(out.find("3 - Human Interface Device / No Subclass / None (03/00/00)"),
              std::string::npos)
        << out;
}

}  // namespace
