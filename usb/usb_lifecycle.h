// Creation, plug-in and teardown of a virtual USB device. The session owns
// the record from the phone's device information until its end and takes it
// down in this order: rtp_stream_destroy, usb_device_stop,
// usb_device_close_driver, usb_device_deinit.
#pragma once

#include <cstdint>
#include <memory>

#include "usb/vbus.h"

struct vusb_handle;
struct timer_container;

constexpr int VUSB_PLUGIN_ATTEMPTS = 20;
constexpr int VUSB_STOP_POLL_MS = 100;
constexpr int VUSB_PORT_FIRST = 1;
constexpr int VUSB_PORT_LAST = 127;

// Creates the record with its media record, opens the bus named by the
// configuration (VbusBackend, UsbipBind, UsbipPort), sets up the media engine
// and starts the read thread (which runs the pacing timers) and the HID
// worker. hwid names the bus in the log. 0 with *out set, or -1 with *out
// untouched and nothing left running.
int usb_device_init(vusb_handle **out, const char *hwid, int event_socket, timer_container *timers);
// Takes the phone's identity, builds the descriptors for the stream's sample
// rate and plugs the device into the lowest free port, trying 20 times.
// 0, or -1 (logged); a refused record stays initialised.
int usb_device_plugin(const char *device_name, uint16_t device_rev, vusb_handle *h,
                      uint16_t device_vid, uint16_t device_pid);
// Ends both USB threads (they answer what is still queued on the way out).
void usb_device_stop(vusb_handle *h);
// Closes the bus, which detaches the device from the host.
void usb_device_close_driver(vusb_handle *h);
// Releases everything the record owns, then the record. Stops the threads
// first if the caller has not.
void usb_device_deinit(vusb_handle *h);

// The media record's settings before plug-in: SRTP on or off and the phone's
// sample rate (which also sizes the descriptors and the frames).
void usb_device_set_media_params(vusb_handle *h, int srtp_enable, int sample_rate);

// Where usb_device_init gets its bus; null restores the configured backend.
// Tests put a double here.
typedef std::unique_ptr<vbus_backend> (*usb_backend_factory)(const char *hwid);
void usb_lifecycle_set_backend_factory(usb_backend_factory f);
