#include "usb/usb_pdu.h"

#include <cstring>

int usb_pdu_check(const vbus_pdu *pdu, const char **why) {
    const vbus_pdu_header &h = pdu->hdr;
    const char *fault = nullptr;
    if (h.direction != VBUS_DIR_OUT && h.direction != VBUS_DIR_IN)
        fault = "bad direction";
    else if (h.ep > 15)
        fault = "bad endpoint number";
    else if (h.packets > static_cast<uint32_t>(VBUS_MAX_ISO_PACKETS))
        fault = "too many iso packets";
    else if (h.length > VBUS_MAX_PAYLOAD || pdu->data_len > VBUS_MAX_PAYLOAD)
        fault = "length above cap";
    else if (pdu->data_len > 0 && !pdu->data)
        fault = "data missing";
    else if (h.packets > 0 && !pdu->iso)
        fault = "iso descriptors missing";
    else if (h.direction == VBUS_DIR_IN && pdu->data_len != 0)
        fault = "data on an IN transfer";
    else if (pdu->data_len > h.length)
        fault = "data longer than the transfer buffer";
    for (uint32_t k = 0; !fault && k < h.packets; k++) {
        uint64_t end = static_cast<uint64_t>(pdu->iso[k].offset) + pdu->iso[k].length;
        if (end > h.length) fault = "iso packet outside the transfer buffer";
    }
    if (why) *why = fault ? fault : "";
    return fault ? -1 : 0;
}

size_t usb_pdu_flat_size(const vbus_pdu *pdu) {
    return VUSB_PDU_HEADER_SIZE + pdu->data_len +
           static_cast<size_t>(pdu->hdr.packets) * sizeof(vbus_iso_desc);
}

size_t usb_pdu_flatten(const vbus_pdu *pdu, uint8_t *out, size_t cap) {
    size_t total = usb_pdu_flat_size(pdu);
    if (total > cap) return 0;
    memcpy(out, &pdu->hdr, VUSB_PDU_HEADER_SIZE);
    size_t at = VUSB_PDU_HEADER_SIZE;
    size_t iso_bytes = static_cast<size_t>(pdu->hdr.packets) * sizeof(vbus_iso_desc);
    if (iso_bytes) memcpy(out + at, pdu->iso, iso_bytes);
    at += iso_bytes;
    if (pdu->data_len) memcpy(out + at, pdu->data, pdu->data_len);
    return total;
}

int usb_pdu_parse(const uint8_t *buf, size_t len, vbus_pdu *pdu) {
    if (len < VUSB_PDU_HEADER_SIZE) return -1;
    if (reinterpret_cast<uintptr_t>(buf) % alignof(vbus_iso_desc) != 0) return -1;
    memcpy(&pdu->hdr, buf, VUSB_PDU_HEADER_SIZE);
    if (pdu->hdr.packets > static_cast<uint32_t>(VBUS_MAX_ISO_PACKETS)) return -1;
    size_t iso_bytes = pdu->hdr.packets * sizeof(vbus_iso_desc);
    if (len - VUSB_PDU_HEADER_SIZE < iso_bytes) return -1;
    pdu->iso =
        iso_bytes ? reinterpret_cast<const vbus_iso_desc *>(buf + VUSB_PDU_HEADER_SIZE) : nullptr;
    pdu->data_len = len - VUSB_PDU_HEADER_SIZE - iso_bytes;
    pdu->data = pdu->data_len ? buf + VUSB_PDU_HEADER_SIZE + iso_bytes : nullptr;
    return 0;
}

usb_setup usb_setup_decode(const vbus_pdu_header &hdr) {
    const uint8_t *s = hdr.setup;
    usb_setup u;
    u.bmRequestType = s[0];
    u.bRequest = s[1];
    u.wValue = static_cast<uint16_t>(s[2] | s[3] << 8);
    u.wIndex = static_cast<uint16_t>(s[4] | s[5] << 8);
    u.wLength = static_cast<uint16_t>(s[6] | s[7] << 8);
    return u;
}

uint8_t usb_pdu_data_byte(const vbus_pdu *pdu, size_t k) {
    return k < pdu->data_len ? pdu->data[k] : 0;
}
