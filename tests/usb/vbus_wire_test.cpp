// USB/IP wire encoding: known bytes and round trips.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "usb/vbus_usbip_wire.h"

namespace {

std::vector<uint8_t> hex(const char *text) {
    std::vector<uint8_t> out;
    for (const char *p = text; p[0] && p[1];) {
        if (*p == ' ') {
            p++;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
        p += 2;
    }
    return out;
}

struct header_case {
    const char *name;
    vbus_pdu_header hdr;
};

TEST(VbusWire, HeaderRoundTripsAndIsBigEndian) {
    const header_case cases[] = {
        {"control IN submit",
         {1, 7, 0x00010001, 1, 0, 0x200, 18, 0, 0xffffffff, 0, {0x80, 6, 0, 1, 0, 0, 18, 0}}},
        {"iso OUT submit", {1, 0x12345678, 0x00010001, 0, 1, 2, 320, 0x55aa, 10, 1, {}}},
        {"unlink", {2, 9, 0x00010001, 0, 0, 7, 0, 0, 0, 0, {}}},
        {"ret submit with error status",
         {3, 0xfffffffe, 0, 0, 0, static_cast<uint32_t>(-32), 0, 0, 0xffffffff, 3, {}}},
        {"ret unlink", {4, 10, 0, 0, 0, static_cast<uint32_t>(-104), 0, 0, 0, 0, {}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t wire[USBIP_HEADER_SIZE];
        usbip_encode_header(c.hdr, wire);
        // Most significant byte first for every word.
        EXPECT_EQ(wire[3], c.hdr.command & 0xff);
        EXPECT_EQ(wire[4], c.hdr.seqnum >> 24);
        EXPECT_EQ(wire[7], c.hdr.seqnum & 0xff);
        EXPECT_EQ(0, memcmp(wire + 40, c.hdr.setup, 8));  // setup keeps USB order
        vbus_pdu_header back{};
        usbip_decode_header(wire, &back);
        EXPECT_EQ(0, memcmp(&back, &c.hdr, sizeof back));
    }
}

TEST(VbusWire, DecodesAHostInterruptSubmissionFromTheWire) {
    // An interrupt IN submission as a Linux host sends it.
    auto wire =
        hex("00000001 00000d05 0001000f 00000001 00000001 00000200 00000040 ffffffff 00000000 "
            "00000004 00000000 00000000");
    ASSERT_EQ(wire.size(), USBIP_HEADER_SIZE);
    vbus_pdu_header h{};
    usbip_decode_header(wire.data(), &h);
    EXPECT_EQ(h.command, VBUS_CMD_SUBMIT);
    EXPECT_EQ(h.seqnum, 0xd05u);
    EXPECT_EQ(h.devid, 0x1000fu);
    EXPECT_EQ(h.direction, VBUS_DIR_IN);
    EXPECT_EQ(h.ep, 1u);
    EXPECT_EQ(h.flags_status, 0x200u);
    EXPECT_EQ(h.length, 64u);
    EXPECT_EQ(h.start_frame, 0xffffffffu);
    EXPECT_EQ(h.interval_errors, 4u);
}

TEST(VbusWire, IsoDescriptorsRoundTrip) {
    std::vector<vbus_iso_desc> in;
    for (uint32_t k = 0; k < 10; k++)
        in.push_back({32 * k, 32, k == 3 ? 0u : 32u, k == 9 ? 0xffffffeeu : 0u});
    std::vector<uint8_t> wire(in.size() * USBIP_ISO_DESC_SIZE);
    usbip_encode_iso(in.data(), in.size(), wire.data());
    EXPECT_EQ(wire[16 + 3], 32);  // second offset, low byte last
    EXPECT_EQ(wire[16 + 7], 32);
    std::vector<vbus_iso_desc> back(in.size());
    usbip_decode_iso(wire.data(), back.size(), back.data());
    EXPECT_EQ(0, memcmp(in.data(), back.data(), in.size() * sizeof(vbus_iso_desc)));
}

usbip_device_record sample_device() {
    usbip_device_record d;
    d.path = "/ostrelle/vbus/usb1/1-1";
    d.busid = "1-1";
    d.busnum = 1;
    d.devnum = 1;
    d.speed = 2;
    d.summary.vid = 0x2b11;
    d.summary.pid = 0xb016;
    d.summary.bcd_device = 0x0123;
    d.summary.num_interfaces = 4;
    d.summary.ifaces[0] = {1, 1, 0};
    d.summary.ifaces[1] = {1, 2, 0};
    d.summary.ifaces[2] = {1, 2, 0};
    d.summary.ifaces[3] = {3, 0, 0};
    return d;
}

TEST(VbusWire, DeviceRecordWithInterfacesRoundTrips) {
    usbip_device_record d = sample_device();
    uint8_t buf[USBIP_DEVICE_SIZE + 8 * USBIP_INTERFACE_SIZE];
    size_t n = usbip_encode_device(d, true, buf, sizeof buf);
    ASSERT_EQ(n, USBIP_DEVICE_SIZE + 4 * USBIP_INTERFACE_SIZE);
    // Fixed offsets of the record (the devlist reply adds 12 bytes before it).
    EXPECT_EQ(0, memcmp(buf + 0x100, "1-1", 4));
    EXPECT_EQ(buf[0x123], 1);  // busnum
    EXPECT_EQ(buf[0x12B], 2);  // speed
    EXPECT_EQ(buf[0x12C], 0x2b);
    EXPECT_EQ(buf[0x12E], 0xb0);
    EXPECT_EQ(buf[0x12F], 0x16);
    EXPECT_EQ(buf[0x137], 4);                   // bNumInterfaces
    EXPECT_EQ(buf[USBIP_DEVICE_SIZE + 12], 3);  // fourth interface class: HID

    usbip_device_record back;
    ASSERT_EQ(usbip_decode_device(buf, n, true, &back), n);
    EXPECT_EQ(back.path, d.path);
    EXPECT_EQ(back.busid, d.busid);
    EXPECT_EQ(back.summary.pid, 0xb016);
    EXPECT_EQ(back.summary.ifaces[1].subclass, 2);
    EXPECT_EQ(back.summary.ifaces[3].cls, 3);

    // Import form: no interface entries.
    EXPECT_EQ(usbip_encode_device(d, false, buf, sizeof buf), USBIP_DEVICE_SIZE);
}

TEST(VbusWire, ShortOrOverlongInputIsRefused) {
    usbip_device_record d = sample_device();
    uint8_t buf[USBIP_DEVICE_SIZE + 8 * USBIP_INTERFACE_SIZE];
    EXPECT_EQ(usbip_encode_device(d, true, buf, USBIP_DEVICE_SIZE), 0u);  // no room for interfaces
    size_t n = usbip_encode_device(d, true, buf, sizeof buf);
    usbip_device_record back;
    EXPECT_EQ(usbip_decode_device(buf, n - 1, true, &back), 0u);
    EXPECT_EQ(usbip_decode_device(buf, USBIP_DEVICE_SIZE - 1, false, &back), 0u);

    // Texts that fill their whole field are cut, never read past.
    d.path = std::string(400, 'p');
    d.busid = std::string(40, 'b');
    n = usbip_encode_device(d, false, buf, sizeof buf);
    ASSERT_EQ(usbip_decode_device(buf, n, false, &back), n);
    EXPECT_EQ(back.path.size(), USBIP_PATH_SIZE - 1);
    EXPECT_EQ(back.busid.size(), USBIP_BUSID_SIZE - 1);
    uint8_t raw[USBIP_BUSID_SIZE];
    memset(raw, 'x', sizeof raw);  // no terminating zero from the peer
    EXPECT_EQ(usbip_decode_busid(raw).size(), USBIP_BUSID_SIZE);
}

TEST(VbusWire, OpCommonRoundTrips) {
    uint8_t buf[USBIP_OP_COMMON_SIZE];
    usbip_encode_op_common({USBIP_VERSION, USBIP_OP_REQ_IMPORT, 0}, buf);
    EXPECT_EQ(buf[0], 0x01);
    EXPECT_EQ(buf[1], 0x11);
    EXPECT_EQ(buf[2], 0x80);
    EXPECT_EQ(buf[3], 0x03);
    usbip_op_common op = usbip_decode_op_common(buf);
    EXPECT_EQ(op.version, USBIP_VERSION);
    EXPECT_EQ(op.code, USBIP_OP_REQ_IMPORT);
    EXPECT_EQ(op.status, 0u);
}

}  // namespace
