// Checks on PDUs handed over by a bus backend, the flat form in which PDUs
// wait in the endpoint queues, and the fields of a control setup packet.
#pragma once

#include <cstddef>
#include <cstdint>

#include "usb/vbus.h"

// Reply status words (negative errno values, as a USB host expects them).
constexpr int32_t VUSB_STATUS_OK = 0;
constexpr int32_t VUSB_STATUS_STALL = -32;      // -EPIPE: request not supported
constexpr int32_t VUSB_STATUS_NO_SPACE = -28;   // -ENOSPC: endpoint queue full
constexpr int32_t VUSB_STATUS_MALFORMED = -71;  // -EPROTO: PDU failed its checks
constexpr int32_t VUSB_STATUS_UNLINKED = -104;  // -ECONNRESET: request unlinked

constexpr size_t VUSB_PDU_HEADER_SIZE = sizeof(vbus_pdu_header);

// Checks every length and count of a PDU against what was received and the
// fixed caps before anything reads it. 0 when sound; -1 with *why set to a
// fixed text naming the fault.
int usb_pdu_check(const vbus_pdu *pdu, const char **why);

// Flat form: header (host order), hdr.packets iso descriptors, then the
// data_len bytes of OUT data. The descriptors come before the data so that
// they stay aligned in an aligned buffer. usb_pdu_flatten returns the bytes
// written, or 0 when they do not fit in cap.
size_t usb_pdu_flat_size(const vbus_pdu *pdu);
size_t usb_pdu_flatten(const vbus_pdu *pdu, uint8_t *out, size_t cap);
// Reads a flat PDU back; the pointers of *pdu point into buf, which must be
// 4-byte aligned. 0, or -1 when the bytes do not hold a whole PDU (packet
// count above the cap, more descriptors than bytes, a misaligned buffer).
int usb_pdu_parse(const uint8_t *buf, size_t len, vbus_pdu *pdu);

// The setup packet of a control PDU, decoded from USB (little-endian) order.
struct usb_setup {
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
};
usb_setup usb_setup_decode(const vbus_pdu_header &hdr);

// Byte k of the OUT data stage, 0 when the host sent fewer bytes.
uint8_t usb_pdu_data_byte(const vbus_pdu *pdu, size_t k);
