// The device side of the USB traffic: the read thread, PDU dispatch by
// endpoint, control dispatch by recipient, the standard requests, unlinks
// and the one way every reply goes out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "usb/vbus.h"

struct vusb_handle;

constexpr size_t VUSB_REPLY_PAYLOAD_MAX = 2000;  // largest payload vusb_reply writes
constexpr int VUSB_READ_WAIT_MS = 100;           // the read thread's longest wait

// bRequest values the device acts on.
constexpr uint8_t USB_REQ_GET_STATUS = 0;
constexpr uint8_t USB_REQ_GET_DESCRIPTOR = 6;
constexpr uint8_t USB_REQ_GET_CONFIGURATION = 8;
constexpr uint8_t USB_REQ_SET_INTERFACE = 11;

// Writes one reply to req under io_lock: command = request command + 2 (3 for
// a submit, 4 for an unlink), seqnum, direction, endpoint echoed, the status
// word, actual length = payload length for IN and 0 for OUT. An IN payload is
// cut to the host's buffer length. An isochronous request gets its packet
// count and descriptors echoed (actual length 0, status 0) unless iso is
// given. 0 written, -1 refused (payload above 2000 bytes, no bus) or failed.
int vusb_reply_full(vusb_handle *h, const vbus_pdu *req, int32_t status, const void *payload,
                    size_t len, const vbus_iso_desc *iso, uint32_t packets);
// A successful reply with an optional payload.
int vusb_reply(const vbus_pdu *req, vusb_handle *h, const void *payload, size_t len);

// Hands one PDU on: unlinks are answered, malformed PDUs refused with an
// error reply, control transfers answered at once, isochronous and interrupt
// PDUs queued for the pacing ticks and the HID worker.
void usb_dispatch_pdu(vusb_handle *h, const vbus_pdu *pdu);
// Control transfers by recipient.
void usb_dispatch_control(vusb_handle *h, const vbus_pdu *pdu);
void process_standard_device_requests(vusb_handle *h, const vbus_pdu *pdu);
void process_audio_class_specific_requests(vusb_handle *h, const vbus_pdu *pdu);
void process_hid_requests(vusb_handle *h, const vbus_pdu *pdu);

// Reads one PDU, waiting up to timeout_ms, and dispatches it. 1 a PDU was
// handled, 0 nothing arrived, -1 the bus failed or is closed.
int duvo_read_dev_date(vusb_handle *h, int timeout_ms);
// The read thread: runs until shutdown_event is set. A failing bus is retried
// on every 100 ms wait and never ends the thread.
void read_from_vusb_device(vusb_handle *h);

// Starts read_from_vusb_device on read_thread at the highest scheduling
// priority the process may take (normal priority otherwise). 0, or -1 when
// the thread cannot be created or is already running (logged).
int usb_request_loop_start(vusb_handle *h);
// Sets shutdown_event and waits for the read thread to end. Safe to call when
// it never started.
void usb_request_loop_stop(vusb_handle *h);
