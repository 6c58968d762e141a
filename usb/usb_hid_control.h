// HID call control: input reports for the host from what the phone asked for,
// and the host's SET_REPORT reports (UC messages, credentials, handset,
// conversation texts, presence) turned into events for the phone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "usb/vbus.h"

struct vusb_handle;

constexpr int VUSB_HID_REPLY_DELAY_MS = 20;  // input reports go out at most every 20 ms
constexpr size_t VUSB_CRED_SLOT_SIZE = 1024;
constexpr int VUSB_CRED_SLOTS = 3;
constexpr size_t VUSB_CRED_TEXT_SIZE = 256;  // each text of the user-info event
constexpr size_t VUSB_HID_UTF8_MAX = 200;    // texts of report 21 as logged and sent
constexpr uint32_t VUSB_GRUU_RESEND_MS = 3000;

// infostate values: what report 21 is assembling.
constexpr int VUSB_INFO_DSPNAME = 0;  // ctdspname
constexpr int VUSB_INFO_DLGINFO = 1;  // ctdlginfo

// The interrupt request the HID worker is about to answer, so that an unlink
// can take it back before the reply goes out.
struct usb_hid_held {
    std::mutex mu;
    int valid = 0;
    uint32_t seqnum = 0;
    int reply_delay_ms = VUSB_HID_REPLY_DELAY_MS;
};

// Creates h->hid_held and wires the SET_REPORT hook. 0, or -1 (logged).
int usb_hid_attach(vusb_handle *h);
void usb_hid_detach(vusb_handle *h);

// The HID worker (thread entry): answers endpoint-3 requests one by one until
// shutdown_event, then answers what is still queued.
void dealwith_interrupt_ep(vusb_handle *h);
// Answers one endpoint-3 request with the first pending input report and
// consumes it; an empty reply when nothing is pending. Returns the report's
// length (0 for none).
int hid_input_responder(vusb_handle *h, const vbus_pdu *pdu);
// SET_REPORT on the HID interface, by the report id in wValue's low byte;
// pdu->data holds the report, its first byte the report id.
void usb_hid_set_report(vusb_handle *h, const vbus_pdu *pdu);

// The phone's GRUU: 0 stored (or unchanged with its re-send timer pending),
// -1 for a missing record or an empty text.
int usb_device_set_gruu(vusb_handle *h, const char *text);
// Removes the GRUU re-send timer from the session's container, if any.
void usb_device_cancel_gruu(vusb_handle *h);

// 1 when the worker held the request with this seqnum (it is then dropped
// unanswered), else 0.
int usb_hid_unlink_held(vusb_handle *h, uint32_t seqnum);

// The credential slots belong to the program, not to a device; tests start
// from a clean set.
void usb_hid_credentials_reset();
