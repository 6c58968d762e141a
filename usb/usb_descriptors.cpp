#include "usb/usb_descriptors.h"

#include <cstring>
#include <new>

#include "platform/log.h"
#include "usb/usb_device.h"

const uint8_t usb_hid_report_descriptor[USB_HID_REPORT_DESC_SIZE] = {
    0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01,              // consumer control, application
    0x85, 0x01, 0x15, 0x00, 0x25, 0x01,              // report 1, logical 0..1
    0x09, 0xE9, 0x09, 0xEA, 0x95, 0x02, 0x75, 0x01,  // volume up, volume down: 2 x 1 bit
    0x81, 0x06, 0x95, 0x06, 0x81, 0x01, 0xC0,        // input relative, 6 bits padding, end
    0x05, 0x0B, 0x09, 0x01, 0xA1, 0x01,              // telephony phone, application
    0x85, 0x02, 0x95, 0x01, 0x09, 0x20, 0x81, 0x22,  // report 2: hook switch
    0x09, 0x2F, 0x81, 0x06,                          // phone mute
    0x09, 0x21, 0x81, 0x02,                          // flash
    0x95, 0x05, 0x81, 0x03,                          // 5 bits padding
    0x05, 0x08, 0x85, 0x03, 0x95, 0x01, 0x09, 0x09,  // LEDs, report 3: mute
    0x91, 0x22, 0x95, 0x07, 0x91, 0x03, 0xC0,        // output, 7 bits padding, end
};

namespace {
constexpr uint16_t kBcdUsb = 0x0110;
constexpr uint8_t kMaxPacket0 = 64;
constexpr uint8_t kNumConfigurations = 1;
constexpr int kRateNarrow = 16000;
constexpr uint8_t kIsoPacketNarrow = 32;  // bytes per 1 ms at 16000 Hz, 16-bit mono
constexpr uint8_t kIsoPacketWide = 64;
constexpr size_t kMaxStringChars = 126;  // a string descriptor stays within 254 bytes
constexpr size_t kStringHeader = 2;

// Appends descriptors to the configuration set, never past its room.
struct set_writer {
    uint8_t *buf;
    size_t cap;
    size_t len = 0;
    void add(std::initializer_list<uint8_t> bytes) {
        if (len + bytes.size() > cap) return;
        for (uint8_t b : bytes) buf[len++] = b;
    }
};

uint8_t lo(unsigned v) {
    return static_cast<uint8_t>(v & 0xFF);
}
uint8_t hi(unsigned v) {
    return static_cast<uint8_t>((v >> 8) & 0xFF);
}

struct string_entry {
    uint8_t index;
    const char *text;
};
const string_entry kStrings[] = {
    {1, "Mirelta"},
    {2, "TR430"},
    {3, "64167f38c057"},
    {4, "Mirelta TR430 Speakerphone"},
    {USB_STRING_SERIAL_UC, "UCQ11111000001001"},
};
const uint8_t kLanguageTable[] = {0x04, USB_DESC_STRING, 0x09, 0x04};  // one language, 0x0409
}  // namespace

void usb_build_device_descriptor(vusb_handle *h) {
    const uint8_t d[VUSB_DEVICE_DESC_SIZE] = {
        VUSB_DEVICE_DESC_SIZE,
        USB_DESC_DEVICE,
        lo(kBcdUsb),
        hi(kBcdUsb),
        0,
        0,
        0,  // class per interface
        kMaxPacket0,
        lo(h->device_vid),
        hi(h->device_vid),
        lo(VUSB_PRODUCT_ID),
        hi(VUSB_PRODUCT_ID),
        lo(h->device_rev),
        hi(h->device_rev),
        1,
        2,
        3,  // manufacturer, product, serial number strings
        kNumConfigurations,
    };
    memcpy(h->device_desc, d, sizeof d);
}

size_t usb_build_config_descriptor(vusb_handle *h) {
    const unsigned rate = static_cast<unsigned>(h->sample_rate);
    const uint8_t r0 = lo(rate), r1 = hi(rate), r2 = static_cast<uint8_t>((rate >> 16) & 0xFF);
    const uint8_t pkt = h->sample_rate == kRateNarrow ? kIsoPacketNarrow : kIsoPacketWide;

    memset(h->config_desc, 0, sizeof h->config_desc);
    set_writer w{h->config_desc, sizeof h->config_desc};
    w.add({0x09, USB_DESC_CONFIG, 0x00, 0x00, 0x04, 0x01, 0x00, 0x80, 0xFA});  // total set below
    w.add({0x08, 0x0B, 0x00, 0x03, 0x01, 0x00, 0x00, 0x04});  // association: interfaces 0..2
    // Interface 0: audio control with its two terminal chains.
    w.add({0x09, USB_DESC_INTERFACE, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x04});
    w.add({0x0A, 0x24, 0x01, 0x00, 0x01, 0x46, 0x00, 0x02, 0x01, 0x02});
    w.add({0x0C, 0x24, 0x02, 0x01, 0x01, 0x01, 0x03, 0x01, 0x04, 0x00, 0x00, 0x00});
    w.add({0x09, 0x24, 0x06, 0x02, 0x01, 0x01, 0x03, 0x00, 0x00});
    w.add({0x09, 0x24, 0x03, 0x03, 0x05, 0x04, 0x04, 0x02, 0x00});
    w.add({0x0C, 0x24, 0x02, 0x04, 0x05, 0x04, 0x03, 0x01, 0x00, 0x00, 0x00, 0x00});
    w.add({0x09, 0x24, 0x06, 0x05, 0x04, 0x01, 0x01, 0x00, 0x00});
    w.add({0x09, 0x24, 0x03, 0x06, 0x01, 0x01, 0x01, 0x05, 0x00});
    // Interface 1: playback streaming, isochronous OUT 0x01 in alternate 1.
    w.add({0x09, USB_DESC_INTERFACE, 0x01, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00});
    w.add({0x09, USB_DESC_INTERFACE, 0x01, 0x01, 0x01, 0x01, 0x02, 0x00, 0x00});
    w.add({0x07, 0x24, 0x01, 0x01, 0x01, 0x01, 0x00});
    w.add({0x0B, 0x24, 0x02, 0x01, 0x01, 0x02, 0x10, 0x01, r0, r1, r2});
    w.add({0x09, USB_DESC_ENDPOINT, 0x01, 0x09, pkt, 0x00, 0x04, 0x00, 0x00});
    w.add({0x07, 0x25, 0x01, 0x00, 0x00, 0x00, 0x00});
    // Interface 2: capture streaming, isochronous IN 0x82 in alternate 1.
    w.add({0x09, USB_DESC_INTERFACE, 0x02, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00});
    w.add({0x09, USB_DESC_INTERFACE, 0x02, 0x01, 0x01, 0x01, 0x02, 0x00, 0x00});
    w.add({0x07, 0x24, 0x01, 0x06, 0x01, 0x01, 0x00});
    w.add({0x0B, 0x24, 0x02, 0x01, 0x01, 0x02, 0x10, 0x01, r0, r1, r2});
    w.add({0x09, USB_DESC_ENDPOINT, 0x82, 0x05, pkt, 0x00, 0x04, 0x00, 0x00});
    w.add({0x07, 0x25, 0x01, 0x00, 0x00, 0x00, 0x00});
    // Interface 3: HID with interrupt IN 0x83 and OUT 0x03.
    w.add({0x09, USB_DESC_INTERFACE, 0x03, 0x00, 0x02, 0x03, 0x00, 0x00, 0x04});
    w.add({0x09, USB_DESC_HID, 0x01, 0x01, 0x00, 0x01, USB_DESC_HID_REPORT,
           lo(USB_HID_REPORT_DESC_SIZE), hi(USB_HID_REPORT_DESC_SIZE)});
    w.add({0x07, USB_DESC_ENDPOINT, 0x83, 0x03, 0x08, 0x00, 0x08});
    w.add({0x07, USB_DESC_ENDPOINT, 0x03, 0x03, 0x08, 0x00, 0x08});

    // wTotalLength is the sum of every descriptor's bLength.
    size_t total = 0;
    while (total < w.len && h->config_desc[total] != 0) total += h->config_desc[total];
    h->config_desc[2] = lo(static_cast<unsigned>(total));
    h->config_desc[3] = hi(static_cast<unsigned>(total));
    return total;
}

int usb_device_build_descriptors(vusb_handle *h) {
    usb_build_device_descriptor(h);
    usb_build_config_descriptor(h);
    return usb_build_string_descriptors(h);
}

size_t usb_config_total_length(const vusb_handle *h) {
    size_t total = static_cast<size_t>(h->config_desc[2] | h->config_desc[3] << 8);
    return total <= sizeof h->config_desc ? total : sizeof h->config_desc;
}

int usb_build_string_descriptors(vusb_handle *h) {
    for (auto &s : h->string_desc) s.reset();
    uint8_t *lang = new (std::nothrow) uint8_t[VUSB_STRING_BUF_SIZE]();
    if (!lang) {
        log_print(0, LL_ERR, "alloc string descriptor fail\n");
        return -1;
    }
    memcpy(lang, kLanguageTable, sizeof kLanguageTable);
    h->string_desc[0].reset(lang);
    for (const string_entry &e : kStrings) {
        uint8_t *d = new (std::nothrow) uint8_t[VUSB_STRING_BUF_SIZE]();
        if (!d) {
            log_print(0, LL_ERR, "alloc string descriptor fail\n");
            return -1;
        }
        size_t n = strnlen(e.text, kMaxStringChars);
        d[0] = static_cast<uint8_t>(kStringHeader + 2 * n);
        d[1] = USB_DESC_STRING;
        for (size_t i = 0; i < n; i++) d[kStringHeader + 2 * i] = static_cast<uint8_t>(e.text[i]);
        h->string_desc[e.index].reset(d);
    }
    return 0;
}

int usb_fill_device_summary(const vusb_handle *h, vbus_device_summary *out) {
    const uint8_t *dd = h->device_desc;
    if (dd[0] != VUSB_DEVICE_DESC_SIZE || dd[1] != USB_DESC_DEVICE) {
        log_print(0, LL_ERR, "device summary: device descriptor not built\n");
        return -1;
    }
    const uint8_t *cd = h->config_desc;
    size_t total = usb_config_total_length(h);
    if (total < USB_CONFIG_HEADER_SIZE || cd[1] != USB_DESC_CONFIG) {
        log_print(0, LL_ERR, "device summary: configuration not built\n");
        return -1;
    }
    vbus_device_summary s;
    s.vid = static_cast<uint16_t>(dd[8] | dd[9] << 8);
    s.pid = static_cast<uint16_t>(dd[10] | dd[11] << 8);
    s.bcd_device = static_cast<uint16_t>(dd[12] | dd[13] << 8);
    s.dev_class = dd[4];
    s.dev_subclass = dd[5];
    s.dev_protocol = dd[6];
    s.num_configurations = dd[17];
    s.num_interfaces = cd[4];
    s.configuration_value = cd[5];
    const size_t max_ifaces = sizeof s.ifaces / sizeof s.ifaces[0];
    for (size_t at = 0; at + 2 <= total;) {
        uint8_t len = cd[at];
        if (len < 2 || at + len > total) {
            log_print(0, LL_ERR, "device summary: bad descriptor length at %zu\n", at);
            return -1;
        }
        if (cd[at + 1] == USB_DESC_INTERFACE && len >= 9 && cd[at + 3] == 0) {
            uint8_t num = cd[at + 2];
            if (num < max_ifaces) s.ifaces[num] = {cd[at + 5], cd[at + 6], cd[at + 7]};
        }
        at += len;
    }
    *out = s;
    return 0;
}
