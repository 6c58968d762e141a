// The emulated speakerphone's descriptors: device, configuration set (audio
// control, two audio streaming interfaces, HID), strings and the HID report
// descriptor. Built once per plug-in from the identity and the sample rate,
// then served unchanged.
#pragma once

#include <cstddef>
#include <cstdint>

#include "usb/vbus.h"

struct vusb_handle;

constexpr uint8_t USB_DESC_DEVICE = 0x01;
constexpr uint8_t USB_DESC_CONFIG = 0x02;
constexpr uint8_t USB_DESC_STRING = 0x03;
constexpr uint8_t USB_DESC_INTERFACE = 0x04;
constexpr uint8_t USB_DESC_ENDPOINT = 0x05;
constexpr uint8_t USB_DESC_HID = 0x21;
constexpr uint8_t USB_DESC_HID_REPORT = 0x22;
constexpr uint8_t USB_DESC_HID_PHYSICAL = 0x23;

constexpr size_t USB_CONFIG_SET_SIZE = 232;  // wTotalLength of the configuration set
constexpr size_t USB_CONFIG_HEADER_SIZE = 9;
constexpr size_t USB_HID_REPORT_DESC_SIZE = 68;
constexpr uint8_t USB_STRING_SERIAL_UC = 33;  // index of the UC identification string

extern const uint8_t usb_hid_report_descriptor[USB_HID_REPORT_DESC_SIZE];

// Fills device_desc from the identity.
void usb_build_device_descriptor(vusb_handle *h);
// Fills config_desc from sample_rate; the rest of its room is zero. Returns
// the set's total length.
size_t usb_build_config_descriptor(vusb_handle *h);
// Allocates and fills the string descriptors (indices 0..4 and 33). 0, or -1
// when memory runs out (logged).
int usb_build_string_descriptors(vusb_handle *h);
// Builds all three in order: device, configuration, strings. 0 or -1.
int usb_device_build_descriptors(vusb_handle *h);
// wTotalLength of the built configuration set.
size_t usb_config_total_length(const vusb_handle *h);
// Fills the bus's device summary (ids, class triple, configuration and the
// class triple of each interface's alternate setting 0) from the built
// descriptors. 0, or -1 when they are not built or do not parse (logged).
int usb_fill_device_summary(const vusb_handle *h, vbus_device_summary *out);
