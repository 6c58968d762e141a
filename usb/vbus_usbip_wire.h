// USB/IP wire formats. Every big-endian conversion of the export server, the
// vhci attach and the host emulator happens in vbus_usbip_wire.cpp and nowhere
// else: callers work on host-order records only.
//
// Layouts (all integers big-endian):
//   op_common (8 bytes): u16 version, u16 code, u32 status.
//   OP_REQ_DEVLIST: op_common only.
//   OP_REP_DEVLIST: op_common, u32 device count, then per device the 312-byte
//     device record followed by 4 bytes per interface (class, subclass,
//     protocol, padding).
//   OP_REQ_IMPORT: op_common, busid[32].
//   OP_REP_IMPORT: op_common; when the status is 0 the 312-byte device record.
//   Device record: path[256], busid[32], u32 busnum, u32 devnum, u32 speed,
//     u16 idVendor, u16 idProduct, u16 bcdDevice, u8 device class, subclass,
//     protocol, configuration value, number of configurations, number of
//     interfaces.
//   URB header (48 bytes): ten u32 words then 8 raw bytes; the word meaning
//     per command is the one of vbus_pdu_header.
//   Isochronous packet descriptor (16 bytes): u32 offset, length,
//     actual_length, status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "usb/vbus.h"

constexpr uint16_t USBIP_VERSION = 0x0111;
constexpr uint16_t USBIP_OP_REQ_DEVLIST = 0x8005;
constexpr uint16_t USBIP_OP_REP_DEVLIST = 0x0005;
constexpr uint16_t USBIP_OP_REQ_IMPORT = 0x8003;
constexpr uint16_t USBIP_OP_REP_IMPORT = 0x0003;
constexpr uint32_t USBIP_ST_OK = 0;
constexpr uint32_t USBIP_ST_NA = 1;  // device not available / request refused

constexpr size_t USBIP_OP_COMMON_SIZE = 8;
constexpr size_t USBIP_BUSID_SIZE = 32;
constexpr size_t USBIP_PATH_SIZE = 256;
constexpr size_t USBIP_DEVICE_SIZE = 312;
constexpr size_t USBIP_INTERFACE_SIZE = 4;
constexpr size_t USBIP_HEADER_SIZE = 48;
constexpr size_t USBIP_ISO_DESC_SIZE = 16;
constexpr size_t USBIP_MAX_INTERFACES = 8;  // what vbus_device_summary can hold

// Linux hosts send this packet count for transfers that are not isochronous.
constexpr uint32_t USBIP_PACKETS_NOT_ISO = 0xffffffffu;

struct usbip_op_common {
    uint16_t version;
    uint16_t code;
    uint32_t status;
};

// One exported device as the devlist and import replies describe it.
struct usbip_device_record {
    std::string path;   // at most 255 characters travel
    std::string busid;  // at most 31 characters travel
    uint32_t busnum = 0;
    uint32_t devnum = 0;
    uint32_t speed = 0;
    vbus_device_summary summary;
};

void usbip_encode_op_common(const usbip_op_common &op, uint8_t out[USBIP_OP_COMMON_SIZE]);
usbip_op_common usbip_decode_op_common(const uint8_t in[USBIP_OP_COMMON_SIZE]);

// Writes the 312-byte record. With_interfaces adds the num_interfaces 4-byte
// interface entries (devlist form; capped at USBIP_MAX_INTERFACES). Returns the
// bytes written, or 0 when out_size is too small.
size_t usbip_encode_device(const usbip_device_record &dev, bool with_interfaces, uint8_t *out,
                           size_t out_size);
// Reads a record (and its interfaces when with_interfaces). Returns the bytes
// consumed, or 0 when in_len is too short for what the record announces.
size_t usbip_decode_device(const uint8_t *in, size_t in_len, bool with_interfaces,
                           usbip_device_record *dev);

// busid field of OP_REQ_IMPORT: the text up to the first zero, never past 32 bytes.
std::string usbip_decode_busid(const uint8_t in[USBIP_BUSID_SIZE]);
void usbip_encode_busid(const std::string &busid, uint8_t out[USBIP_BUSID_SIZE]);

// The 48-byte URB header, either direction.
void usbip_encode_header(const vbus_pdu_header &hdr, uint8_t out[USBIP_HEADER_SIZE]);
void usbip_decode_header(const uint8_t in[USBIP_HEADER_SIZE], vbus_pdu_header *hdr);

// count descriptors; out / in hold count * 16 bytes.
void usbip_encode_iso(const vbus_iso_desc *iso, size_t count, uint8_t *out);
void usbip_decode_iso(const uint8_t *in, size_t count, vbus_iso_desc *iso);
