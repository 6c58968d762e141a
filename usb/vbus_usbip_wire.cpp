#include "usb/vbus_usbip_wire.h"

#include <algorithm>
#include <cstring>

namespace {

void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint16_t get16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t get32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// A fixed-size text field: zero-filled, always zero-terminated.
void put_text(uint8_t *p, size_t field, const std::string &text) {
    memset(p, 0, field);
    memcpy(p, text.data(), std::min(text.size(), field - 1));
}

std::string get_text(const uint8_t *p, size_t field) {
    const void *nul = memchr(p, 0, field);
    size_t n = nul ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - p) : field;
    return std::string(reinterpret_cast<const char *>(p), n);
}

// Offsets inside the 312-byte device record.
constexpr size_t DEV_BUSID = USBIP_PATH_SIZE;
constexpr size_t DEV_BUSNUM = DEV_BUSID + USBIP_BUSID_SIZE;
constexpr size_t DEV_DEVNUM = DEV_BUSNUM + 4;
constexpr size_t DEV_SPEED = DEV_DEVNUM + 4;
constexpr size_t DEV_VID = DEV_SPEED + 4;
constexpr size_t DEV_PID = DEV_VID + 2;
constexpr size_t DEV_BCD = DEV_PID + 2;
constexpr size_t DEV_CLASS = DEV_BCD + 2;
static_assert(DEV_CLASS + 6 == USBIP_DEVICE_SIZE, "device record layout");

}  // namespace

void usbip_encode_op_common(const usbip_op_common &op, uint8_t out[USBIP_OP_COMMON_SIZE]) {
    put16(out, op.version);
    put16(out + 2, op.code);
    put32(out + 4, op.status);
}

usbip_op_common usbip_decode_op_common(const uint8_t in[USBIP_OP_COMMON_SIZE]) {
    return usbip_op_common{get16(in), get16(in + 2), get32(in + 4)};
}

size_t usbip_encode_device(const usbip_device_record &dev, bool with_interfaces, uint8_t *out,
                           size_t out_size) {
    size_t nif = std::min<size_t>(dev.summary.num_interfaces, USBIP_MAX_INTERFACES);
    size_t need = USBIP_DEVICE_SIZE + (with_interfaces ? nif * USBIP_INTERFACE_SIZE : 0);
    if (out_size < need) return 0;
    const vbus_device_summary &s = dev.summary;
    put_text(out, USBIP_PATH_SIZE, dev.path);
    put_text(out + DEV_BUSID, USBIP_BUSID_SIZE, dev.busid);
    put32(out + DEV_BUSNUM, dev.busnum);
    put32(out + DEV_DEVNUM, dev.devnum);
    put32(out + DEV_SPEED, dev.speed);
    put16(out + DEV_VID, s.vid);
    put16(out + DEV_PID, s.pid);
    put16(out + DEV_BCD, s.bcd_device);
    uint8_t *b = out + DEV_CLASS;
    b[0] = s.dev_class;
    b[1] = s.dev_subclass;
    b[2] = s.dev_protocol;
    b[3] = s.configuration_value;
    b[4] = s.num_configurations;
    // The count that travels is the count of entries that follow.
    b[5] = static_cast<uint8_t>(nif);
    if (with_interfaces) {
        uint8_t *p = out + USBIP_DEVICE_SIZE;
        for (size_t i = 0; i < nif; i++, p += USBIP_INTERFACE_SIZE) {
            p[0] = s.ifaces[i].cls;
            p[1] = s.ifaces[i].subclass;
            p[2] = s.ifaces[i].protocol;
            p[3] = 0;
        }
    }
    return need;
}

size_t usbip_decode_device(const uint8_t *in, size_t in_len, bool with_interfaces,
                           usbip_device_record *dev) {
    if (in_len < USBIP_DEVICE_SIZE) return 0;
    vbus_device_summary &s = dev->summary;
    dev->path = get_text(in, USBIP_PATH_SIZE);
    dev->busid = get_text(in + DEV_BUSID, USBIP_BUSID_SIZE);
    dev->busnum = get32(in + DEV_BUSNUM);
    dev->devnum = get32(in + DEV_DEVNUM);
    dev->speed = get32(in + DEV_SPEED);
    s.vid = get16(in + DEV_VID);
    s.pid = get16(in + DEV_PID);
    s.bcd_device = get16(in + DEV_BCD);
    const uint8_t *b = in + DEV_CLASS;
    s.dev_class = b[0];
    s.dev_subclass = b[1];
    s.dev_protocol = b[2];
    s.configuration_value = b[3];
    s.num_configurations = b[4];
    s.num_interfaces = b[5];
    if (!with_interfaces) return USBIP_DEVICE_SIZE;
    size_t need = USBIP_DEVICE_SIZE + size_t{s.num_interfaces} * USBIP_INTERFACE_SIZE;
    if (in_len < need) return 0;
    const uint8_t *p = in + USBIP_DEVICE_SIZE;
    for (size_t i = 0; i < s.num_interfaces; i++, p += USBIP_INTERFACE_SIZE) {
        // More interfaces than the summary holds are consumed but not kept.
        if (i >= USBIP_MAX_INTERFACES) continue;
        s.ifaces[i].cls = p[0];
        s.ifaces[i].subclass = p[1];
        s.ifaces[i].protocol = p[2];
    }
    return need;
}

std::string usbip_decode_busid(const uint8_t in[USBIP_BUSID_SIZE]) {
    return get_text(in, USBIP_BUSID_SIZE);
}

void usbip_encode_busid(const std::string &busid, uint8_t out[USBIP_BUSID_SIZE]) {
    put_text(out, USBIP_BUSID_SIZE, busid);
}

void usbip_encode_header(const vbus_pdu_header &hdr, uint8_t out[USBIP_HEADER_SIZE]) {
    const uint32_t words[10] = {hdr.command, hdr.seqnum,         hdr.devid,  hdr.direction,
                                hdr.ep,      hdr.flags_status,   hdr.length, hdr.start_frame,
                                hdr.packets, hdr.interval_errors};
    for (int i = 0; i < 10; i++) put32(out + 4 * i, words[i]);
    memcpy(out + 40, hdr.setup, sizeof hdr.setup);
}

void usbip_decode_header(const uint8_t in[USBIP_HEADER_SIZE], vbus_pdu_header *hdr) {
    hdr->command = get32(in);
    hdr->seqnum = get32(in + 4);
    hdr->devid = get32(in + 8);
    hdr->direction = get32(in + 12);
    hdr->ep = get32(in + 16);
    hdr->flags_status = get32(in + 20);
    hdr->length = get32(in + 24);
    hdr->start_frame = get32(in + 28);
    hdr->packets = get32(in + 32);
    hdr->interval_errors = get32(in + 36);
    memcpy(hdr->setup, in + 40, sizeof hdr->setup);
}

void usbip_encode_iso(const vbus_iso_desc *iso, size_t count, uint8_t *out) {
    for (size_t i = 0; i < count; i++, out += USBIP_ISO_DESC_SIZE) {
        put32(out, iso[i].offset);
        put32(out + 4, iso[i].length);
        put32(out + 8, iso[i].actual_length);
        put32(out + 12, iso[i].status);
    }
}

void usbip_decode_iso(const uint8_t *in, size_t count, vbus_iso_desc *iso) {
    for (size_t i = 0; i < count; i++, in += USBIP_ISO_DESC_SIZE) {
        iso[i].offset = get32(in);
        iso[i].length = get32(in + 4);
        iso[i].actual_length = get32(in + 8);
        iso[i].status = get32(in + 12);
    }
}
