#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "usb/usb_descriptors.h"
#include "usb/usb_device.h"

namespace {

std::vector<uint8_t> hex(const std::string &s) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < s.size();) {
        if (s[i] == ' ') {
            i++;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

struct row {
    size_t offset;
    const char *bytes;
};

// The configuration set at 16000 Hz, descriptor by descriptor.
const row kConfig16k[] = {
    {0, "09 02 E8 00 04 01 00 80 FA"},
    {9, "08 0B 00 03 01 00 00 04"},
    {17, "09 04 00 00 00 01 01 00 04"},
    {26, "0A 24 01 00 01 46 00 02 01 02"},
    {36, "0C 24 02 01 01 01 03 01 04 00 00 00"},
    {48, "09 24 06 02 01 01 03 00 00"},
    {57, "09 24 03 03 05 04 04 02 00"},
    {66, "0C 24 02 04 05 04 03 01 00 00 00 00"},
    {78, "09 24 06 05 04 01 01 00 00"},
    {87, "09 24 03 06 01 01 01 05 00"},
    {96, "09 04 01 00 00 01 02 00 00"},
    {105, "09 04 01 01 01 01 02 00 00"},
    {114, "07 24 01 01 01 01 00"},
    {121, "0B 24 02 01 01 02 10 01 80 3E 00"},
    {132, "09 05 01 09 20 00 04 00 00"},
    {141, "07 25 01 00 00 00 00"},
    {148, "09 04 02 00 00 01 02 00 00"},
    {157, "09 04 02 01 01 01 02 00 00"},
    {166, "07 24 01 06 01 01 00"},
    {173, "0B 24 02 01 01 02 10 01 80 3E 00"},
    {184, "09 05 82 05 20 00 04 00 00"},
    {193, "07 25 01 00 00 00 00"},
    {200, "09 04 03 00 02 03 00 00 04"},
    {209, "09 21 01 01 00 01 22 44 00"},
    {218, "07 05 83 03 08 00 08"},
    {225, "07 05 03 03 08 00 08"},
};

std::vector<uint8_t> expected_config(int rate) {
    std::vector<uint8_t> set(VUSB_CONFIG_DESC_CAP, 0);
    for (const row &r : kConfig16k) {
        std::vector<uint8_t> b = hex(r.bytes);
        memcpy(set.data() + r.offset, b.data(), b.size());
    }
    if (rate != 16000) {
        for (size_t at : {129, 181}) {
            set[at] = rate & 0xFF;
            set[at + 1] = (rate >> 8) & 0xFF;
            set[at + 2] = (rate >> 16) & 0xFF;
        }
        set[136] = set[188] = 64;
    }
    return set;
}

vusb_handle *built(vusb_handle &h, int rate) {
    EXPECT_EQ(0, usb_device_set_identity(&h, "desk phone", 0x1234, 0x0042, 0x0105));
    h.sample_rate = rate;
    usb_build_device_descriptor(&h);
    EXPECT_EQ(USB_CONFIG_SET_SIZE, usb_build_config_descriptor(&h));
    EXPECT_EQ(0, usb_build_string_descriptors(&h));
    return &h;
}

TEST(UsbDescriptors, DeviceDescriptorCarriesIdentityAndFixedProduct) {
    vusb_handle h;
    built(h, 16000);
    EXPECT_EQ(hex("12 01 10 01 00 00 00 40 34 12 16 B0 05 01 01 02 03 01"),
              std::vector<uint8_t>(h.device_desc, h.device_desc + 18));
    EXPECT_EQ(0xB016, h.device_pid);
    EXPECT_EQ(0x1234, h.plugin_info.vid);
    EXPECT_EQ(0xB016, h.plugin_info.pid);
    EXPECT_EQ(0x0105, h.plugin_info.bcd_device);
    EXPECT_EQ(4, h.plugin_info.interfaces);
    EXPECT_STREQ("desk phone", h.device_name);
}

TEST(UsbDescriptors, ConfigurationSetByteForByteAtBothRates) {
    for (int rate : {16000, 32000, 48000}) {
        vusb_handle h;
        built(h, rate);
        std::vector<uint8_t> got(h.config_desc, h.config_desc + VUSB_CONFIG_DESC_CAP);
        EXPECT_EQ(expected_config(rate), got) << "rate " << rate;
        EXPECT_EQ(USB_CONFIG_SET_SIZE, usb_config_total_length(&h));
    }
    vusb_handle h;
    built(h, 32000);
    EXPECT_EQ(hex("00 7D 00"), std::vector<uint8_t>(h.config_desc + 129, h.config_desc + 132));
}

TEST(UsbDescriptors, StringDescriptors) {
    vusb_handle h;
    built(h, 16000);
    struct {
        int index;
        const char *text;  // null: the language table
    } cases[] = {{0, nullptr},
                 {1, "Mirelta"},
                 {2, "TR430"},
                 {3, "64167f38c057"},
                 {4, "Mirelta TR430 Speakerphone"},
                 {33, "UCQ11111000001001"}};
    for (auto &c : cases) {
        const uint8_t *d = h.string_desc[c.index].get();
        ASSERT_NE(nullptr, d) << c.index;
        std::vector<uint8_t> want;
        if (!c.text) {
            want = hex("04 03 09 04");
        } else {
            want = {static_cast<uint8_t>(2 + 2 * strlen(c.text)), 0x03};
            for (const char *p = c.text; *p; p++) {
                want.push_back(static_cast<uint8_t>(*p));
                want.push_back(0);
            }
        }
        EXPECT_EQ(want, std::vector<uint8_t>(d, d + d[0])) << c.index;
    }
    EXPECT_EQ(26, h.string_desc[3][0]);
    EXPECT_EQ(54, h.string_desc[4][0]);
    for (int i : {5, 7, 32, 34, 254}) EXPECT_EQ(nullptr, h.string_desc[i]) << i;
}

TEST(UsbDescriptors, HidReportDescriptorAndItsLengthInTheSet) {
    const auto want =
        hex("05 0C 09 01 A1 01 85 01 15 00 25 01 09 E9 09 EA 95 02 75 01 81 06 95 06 81 01 C0"
            "05 0B 09 01 A1 01 85 02 95 01 09 20 81 22 09 2F 81 06 09 21 81 02 95 05 81 03"
            "05 08 85 03 95 01 09 09 91 22 95 07 91 03 C0");
    ASSERT_EQ(USB_HID_REPORT_DESC_SIZE, want.size());
    EXPECT_EQ(want, std::vector<uint8_t>(usb_hid_report_descriptor,
                                         usb_hid_report_descriptor + USB_HID_REPORT_DESC_SIZE));
    vusb_handle h;
    built(h, 16000);
    EXPECT_EQ(USB_HID_REPORT_DESC_SIZE,
              static_cast<size_t>(h.config_desc[216] | h.config_desc[217] << 8));
}

TEST(UsbDescriptors, IdentityRules) {
    struct {
        const char *name;
        int vid, pid, rev;
        int result;
    } cases[] = {
        {"phone", 1, 1, 1, 0},       {"phone", 0x7FFF, 0x7FFF, 0x7FFF, 0},
        {"phone", 0, 1, 1, -1},      {"phone", 0x8000, 1, 1, -1},
        {"phone", 1, 0, 1, -1},      {"phone", 1, 0x8000, 1, -1},
        {"phone", 1, 0xFFFF, 1, -1}, {"phone", 1, 1, 0x8000, -1},
        {"phone", 1, 1, -5, -1},     {"phone", 0x10001, 1, 1, -1},
        {"", 1, 1, 1, -1},           {nullptr, 1, 1, 1, -1},
    };
    for (auto &c : cases) {
        vusb_handle h;
        EXPECT_EQ(c.result, usb_device_set_identity(&h, c.name, c.vid, c.pid, c.rev))
            << (c.name ? c.name : "(null)") << " " << c.vid << " " << c.pid << " " << c.rev;
        if (c.result < 0) {
            EXPECT_EQ(0, h.device_vid);
        }
    }
    // A long name keeps its first 255 characters.
    vusb_handle h;
    std::string longname(400, 'x');
    ASSERT_EQ(0, usb_device_set_identity(&h, longname.c_str(), 1, 1, 1));
    EXPECT_EQ(std::string(255, 'x'), h.device_name);
}

TEST(UsbDescriptors, DeviceSummaryComesFromTheDescriptors) {
    vusb_handle h;
    vbus_device_summary s;
    EXPECT_EQ(-1, usb_fill_device_summary(&h, &s));  // nothing built yet
    built(h, 16000);
    ASSERT_EQ(0, usb_fill_device_summary(&h, &s));
    EXPECT_EQ(0x1234, s.vid);
    EXPECT_EQ(0xB016, s.pid);
    EXPECT_EQ(0x0105, s.bcd_device);
    EXPECT_EQ(0, s.dev_class);
    EXPECT_EQ(1, s.configuration_value);
    EXPECT_EQ(1, s.num_configurations);
    EXPECT_EQ(4, s.num_interfaces);
    const uint8_t want[4][3] = {{1, 1, 0}, {1, 2, 0}, {1, 2, 0}, {3, 0, 0}};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(want[i][0], s.ifaces[i].cls) << i;
        EXPECT_EQ(want[i][1], s.ifaces[i].subclass) << i;
        EXPECT_EQ(want[i][2], s.ifaces[i].protocol) << i;
    }
    // A corrupted descriptor length is refused, not walked past.
    h.config_desc[9] = 0;
    EXPECT_EQ(-1, usb_fill_device_summary(&h, &s));
}

}  // namespace
