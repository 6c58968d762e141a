// vhci attach: the port table from the status file, the attach and detach
// lines (on a fixture folder), and the real driver where it is loaded.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "../platform/temp_dir.h"
#include "usb/vbus_vhci.h"

namespace {

// A controller with 2 high-speed and 2 super-speed ports, in the layout of
// current kernels; hs port 0 is taken.
const char *STATUS_CURRENT =
    "hub port sta spd dev      sockfd local_busid\n"
    "hs  0000 006 002 00010002 000003 1-1\n"
    "hs  0001 004 000 00000000 000000 0-0\n"
    "ss  0002 004 000 00000000 000000 0-0\n"
    "ss  0003 004 000 00000000 000000 0-0\n";

// Older kernels: one hub, no hub column.
const char *STATUS_OLD =
    "prt sta spd bus dev socket           local_busid\n"
    "0000 004 000 000 000 0000000000000000 0-0\n"
    "0001 004 000 000 000 0000000000000000 0-0\n"
    "0002 006 002 001 002 ffff8800aabbccdd 1-2\n";

struct status_case {
    const char *name;
    const char *text;
    int free_ports;
    std::vector<int> free_vbus_ports;
};

TEST(VbusVhci, StatusTableGivesTheFreeFullSpeedPorts) {
    const status_case cases[] = {
        {"current layout: only free hs ports", STATUS_CURRENT, 1, {2}},
        {"older layout", STATUS_OLD, 2, {1, 2}},
        {"all hs ports busy",
         "hub port sta spd dev      sockfd local_busid\n"
         "hs  0000 006 002 00010002 000003 1-1\n"
         "ss  0001 004 000 00000000 000000 0-0\n",
         0,
         {}},
        {"port numbers past the table are ignored",
         "hub port sta spd dev      sockfd local_busid\n"
         "hs  0200 004 000 00000000 000000 0-0\n"
         "hs  0126 004 000 00000000 000000 0-0\n",
         1,
         {127}},
        {"not a status table", "hello\nworld\n", -1, {}},
        {"empty", "", -1, {}},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.name);
        uint8_t st[VBUS_PORT_COUNT];
        EXPECT_EQ(vbus_vhci_parse_status(k.text, st), k.free_ports);
        EXPECT_NE(st[0], 0);  // never a port
        for (int i = 1; i < VBUS_PORT_COUNT; i++) {
            bool want_free = std::find(k.free_vbus_ports.begin(), k.free_vbus_ports.end(), i) !=
                             k.free_vbus_ports.end();
            EXPECT_EQ(st[i] == 0, want_free) << "vbus port " << i;
        }
    }
}

TEST(VbusVhci, AttachLineHasPortSocketDevidAndSpeed) {
    EXPECT_EQ(vbus_vhci_attach_line(1, 7, 0x00010001, 2), "1 7 65537 2");
}

TEST(VbusVhci, FixtureFolderSeesAttachAndDetach) {
    TempDir dir;
    write_file(dir.file("status"), STATUS_CURRENT);
    write_file(dir.file("attach"), "");
    write_file(dir.file("detach"), "");
    auto bus = vbus_vhci_create_at(dir.path());
    ASSERT_EQ(bus->open(), 0);
    uint8_t st[VBUS_PORT_COUNT];
    ASSERT_EQ(bus->port_status(st), 0);
    ASSERT_EQ(st[1], 1);
    ASSERT_EQ(st[2], 0);

    vbus_plugin_info info;
    info.port = 2;
    ASSERT_EQ(bus->plug_in(info, vbus_device_summary{}), 0);
    std::string line = read_file(dir.file("attach"));
    int port = -1, sockfd = -1;
    unsigned devid = 0, speed = 0;
    ASSERT_EQ(sscanf(line.c_str(), "%d %d %u %u", &port, &sockfd, &devid, &speed), 4) << line;
    EXPECT_EQ(port, 1);  // vbus port 2 is vhci port 1
    EXPECT_GE(sockfd, 0);
    EXPECT_EQ(devid, 0x00010001u);
    EXPECT_EQ(speed, 2u);
    EXPECT_EQ(bus->plug_in(info, vbus_device_summary{}), -1);  // one device

    bus->close();
    EXPECT_EQ(read_file(dir.file("detach")), "1");
    vbus_pdu p{};
    EXPECT_EQ(bus->read_pdu(&p, 10), -1);
}

TEST(VbusVhci, MissingDriverOrAttachFileIsReported) {
    TempDir dir;
    auto none = vbus_vhci_create_at(dir.file("absent"));
    EXPECT_EQ(none->open(), -1);

    write_file(dir.file("status"), STATUS_CURRENT);  // no attach file
    auto bus = vbus_vhci_create_at(dir.path());
    ASSERT_EQ(bus->open(), 0);
    vbus_plugin_info info;
    info.port = 2;
    EXPECT_EQ(bus->plug_in(info, vbus_device_summary{}), -1);
    info.port = 0;
    EXPECT_EQ(bus->plug_in(info, vbus_device_summary{}), -1);
}

TEST(VbusVhci, RealDriverAttachesAndDetaches) {
    std::string dir = VBUS_VHCI_SYSFS;
    if (!std::filesystem::exists(dir + "/status"))
        GTEST_SKIP() << "vhci-hcd is not loaded on this machine (" << dir << "/status missing)";
    if (access((dir + "/attach").c_str(), W_OK) != 0)
        GTEST_SKIP() << "no write access to " << dir << "/attach (needs root)";
    auto bus = vbus_vhci_create();
    ASSERT_EQ(bus->open(), 0);
    uint8_t st[VBUS_PORT_COUNT];
    ASSERT_EQ(bus->port_status(st), 0);
    int port = 0;
    for (int i = 1; i < VBUS_PORT_COUNT && !port; i++)
        if (!st[i]) port = i;
    if (!port) GTEST_SKIP() << "no free vhci port";
    vbus_plugin_info info;
    info.port = static_cast<uint8_t>(port);
    ASSERT_EQ(bus->plug_in(info, vbus_device_summary{}), 0);
    // The kernel starts enumerating at once: its first request is a control
    // transfer on endpoint 0.
    vbus_pdu p{};
    int r = 0;
    for (int i = 0; i < 50 && r == 0; i++) r = bus->read_pdu(&p, 100);
    ASSERT_EQ(r, 1);
    EXPECT_EQ(p.hdr.ep, 0u);
    bus->close();
    ASSERT_EQ(bus->port_status(st), -1);
}

}  // namespace
