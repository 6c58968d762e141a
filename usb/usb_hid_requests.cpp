// Control requests to the HID interface: its descriptors, the fixed feature
// reports, SET_IDLE, and SET_REPORT handed to the HID call control.
#include "platform/log.h"
#include "usb/usb_descriptors.h"
#include "usb/usb_device.h"
#include "usb/usb_pdu.h"
#include "usb/usb_requests.h"

namespace {
constexpr uint8_t kGetReport = 1;
constexpr uint8_t kSetReport = 9;
constexpr uint8_t kSetIdle = 10;

struct feature_reply {
    uint8_t report_id;
    uint8_t bytes[5];
};
const feature_reply kFeatureReplies[] = {
    {0x11, {0x11, 0x5E, 0x04, 0x02, 0x00}},
    {0x12, {0x12, 0x02, 0x48, 0x20, 0x08}},
};

void reply_in(vusb_handle *h, const vbus_pdu *pdu, const uint8_t *data, size_t len) {
    usb_setup s = usb_setup_decode(pdu->hdr);
    vusb_reply(pdu, h, data, len < s.wLength ? len : s.wLength);
}

void get_descriptor(vusb_handle *h, const vbus_pdu *pdu, const usb_setup &s) {
    switch (s.wValue >> 8) {
        case USB_DESC_HID_REPORT:
            log_print(0, LL_INFO, "HIDDEV: Paired..\n");
            reply_in(h, pdu, usb_hid_report_descriptor, USB_HID_REPORT_DESC_SIZE);
            return;
        case USB_DESC_HID:
            log_print(0, LL_INFO, "HIDDEV: HID Descriptor\n");
            break;
        case USB_DESC_HID_PHYSICAL:
            log_print(0, LL_INFO, "HIDDEV: HID Physical Descriptor\n");
            break;
        default:
            log_print(0, LL_INFO, "USB_REQUEST_GET_DESCRIPTOR virtual ret submit\n");
            break;
    }
    vusb_reply(pdu, h, nullptr, 0);
}

void get_report(vusb_handle *h, const vbus_pdu *pdu, const usb_setup &s) {
    log_print(0, LL_DEBUG, "HID: Get Report\n");
    uint8_t id = s.wValue & 0xFF;
    for (const feature_reply &f : kFeatureReplies) {
        if (f.report_id == id) {
            reply_in(h, pdu, f.bytes, sizeof f.bytes);
            return;
        }
    }
    log_print(0, LL_INFO, "HID_GET_REPORT virtual ret submit\n");
    vusb_reply(pdu, h, nullptr, 0);
}
}  // namespace

void process_hid_requests(vusb_handle *h, const vbus_pdu *pdu) {
    usb_setup s = usb_setup_decode(pdu->hdr);
    switch (s.bRequest) {
        case USB_REQ_GET_DESCRIPTOR:
            get_descriptor(h, pdu, s);
            break;
        case kGetReport:
            get_report(h, pdu, s);
            break;
        case kSetReport:
            log_print(0, LL_ANY, "recv HID_SET_REPORT, Report_Type: 0x%02x, Report_ID: 0x%02x\n",
                      s.wValue >> 8, s.wValue & 0xFF);
            if (h->hooks.hid_set_report) h->hooks.hid_set_report(h, pdu);
            vusb_reply(pdu, h, nullptr, 0);
            break;
        case kSetIdle:
            log_print(0, LL_INFO, "HID: SET IDLE Request\n");
            vusb_reply(pdu, h, nullptr, 0);
            break;
        default:
            vusb_reply(pdu, h, nullptr, 0);
            break;
    }
}
