// What the host emulator learns from the descriptors it read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ep_info {
    uint8_t address = 0;
    uint8_t attributes = 0;
    uint16_t max_packet = 0;
    uint8_t interval = 0;
    uint8_t interface = 0;
    uint8_t alt = 0;
};

struct device_info {
    // Device descriptor.
    uint16_t bcd_usb = 0, vid = 0, pid = 0, bcd_device = 0;
    uint8_t max_packet0 = 0, i_manufacturer = 0, i_product = 0, i_serial = 0;
    uint8_t num_configurations = 0;
    // Configuration.
    uint16_t total_length = 0;
    uint8_t num_interfaces = 0, configuration_value = 0, attributes = 0, max_power = 0;
    std::vector<ep_info> endpoints;
    std::vector<uint8_t> string_indices;  // iInterface / iFunction values seen
    // Audio: streaming formats by interface, feature units.
    int playback_rate = 0, capture_rate = 0;
    int playback_channels = 0, capture_channels = 0;
    int playback_subframe = 0, capture_subframe = 0;
    uint8_t speaker_unit = 0;  // feature unit with volume, fed by the USB streaming terminal
    uint8_t mic_unit = 0;      // feature unit feeding the USB streaming output terminal
    uint8_t speaker_controls = 0, mic_controls = 0;
    uint8_t playback_interface = 0, capture_interface = 0, hid_interface = 0xff;
    uint16_t hid_report_length = 0;
    int descriptors = 0;  // descriptors in the configuration set
};

// Both return false with *error set when a descriptor is malformed.
bool parse_device_descriptor(const std::vector<uint8_t> &d, device_info *info, std::string *error);
bool parse_config_descriptor(const std::vector<uint8_t> &d, device_info *info, std::string *error);
const ep_info *find_endpoint(const device_info &info, uint8_t address);
// ASCII text of a string descriptor (non-ASCII code units shown as '?').
std::string string_text(const std::vector<uint8_t> &d);
