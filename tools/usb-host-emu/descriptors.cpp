#include "descriptors.h"

namespace {

constexpr uint8_t DT_DEVICE = 1, DT_CONFIG = 2, DT_INTERFACE = 4, DT_ENDPOINT = 5,
                  DT_CS_INTERFACE = 0x24, DT_HID = 0x21;
constexpr uint8_t AC_INPUT_TERMINAL = 2, AC_OUTPUT_TERMINAL = 3, AC_FEATURE_UNIT = 6;
constexpr uint8_t AS_FORMAT_TYPE = 2;
constexpr uint16_t TERMINAL_USB_STREAMING = 0x0101;
constexpr uint8_t CLASS_AUDIO = 1, SUBCLASS_CONTROL = 1, SUBCLASS_STREAMING = 2, CLASS_HID = 3;

uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

}  // namespace

bool parse_device_descriptor(const std::vector<uint8_t> &d, device_info *info, std::string *error) {
    if (d.size() < 18 || d[0] != 18 || d[1] != DT_DEVICE) {
        *error = "device descriptor malformed (" + std::to_string(d.size()) + " bytes)";
        return false;
    }
    info->bcd_usb = le16(&d[2]);
    info->max_packet0 = d[7];
    info->vid = le16(&d[8]);
    info->pid = le16(&d[10]);
    info->bcd_device = le16(&d[12]);
    info->i_manufacturer = d[14];
    info->i_product = d[15];
    info->i_serial = d[16];
    info->num_configurations = d[17];
    return true;
}

bool parse_config_descriptor(const std::vector<uint8_t> &d, device_info *info, std::string *error) {
    if (d.size() < 9 || d[0] != 9 || d[1] != DT_CONFIG) {
        *error = "configuration descriptor malformed";
        return false;
    }
    info->total_length = le16(&d[2]);
    info->num_interfaces = d[4];
    info->configuration_value = d[5];
    info->attributes = d[7];
    info->max_power = d[8];
    info->endpoints.clear();
    info->descriptors = 0;
    uint8_t iface = 0, alt = 0, cls = 0, subclass = 0;
    // Terminal ids of the USB streaming terminals, to tell the two paths apart.
    std::vector<uint8_t> usb_in_terminals, usb_out_sources;
    std::vector<std::pair<uint8_t, std::pair<uint8_t, uint8_t>>> units;  // id, (source, controls)
    size_t pos = 0;
    while (pos < d.size()) {
        uint8_t len = d[pos];
        if (len < 2 || pos + len > d.size()) {
            *error = "descriptor at offset " + std::to_string(pos) + " runs past the set";
            return false;
        }
        const uint8_t *p = &d[pos];
        info->descriptors++;
        if (p[1] == DT_INTERFACE && len >= 9) {
            iface = p[2];
            alt = p[3];
            cls = p[5];
            subclass = p[6];
            if (p[8]) info->string_indices.push_back(p[8]);
            if (cls == CLASS_HID) info->hid_interface = iface;
        } else if (p[1] == 0x0B && len >= 8) {  // interface association
            if (p[7]) info->string_indices.push_back(p[7]);
        } else if (p[1] == DT_ENDPOINT && len >= 7) {
            info->endpoints.push_back({p[2], p[3], le16(p + 4), p[6], iface, alt});
            if (cls == CLASS_AUDIO && subclass == SUBCLASS_STREAMING) {
                if (p[2] & 0x80)
                    info->capture_interface = iface;
                else
                    info->playback_interface = iface;
            }
        } else if (p[1] == DT_HID && len >= 9) {
            info->hid_report_length = le16(p + 7);
        } else if (p[1] == DT_CS_INTERFACE && cls == CLASS_AUDIO && len >= 3) {
            if (subclass == SUBCLASS_CONTROL) {
                if (p[2] == AC_INPUT_TERMINAL && len >= 6 && le16(p + 4) == TERMINAL_USB_STREAMING)
                    usb_in_terminals.push_back(p[3]);
                else if (p[2] == AC_OUTPUT_TERMINAL && len >= 8 &&
                         le16(p + 4) == TERMINAL_USB_STREAMING)
                    usb_out_sources.push_back(p[7]);
                else if (p[2] == AC_FEATURE_UNIT && len >= 7)
                    units.push_back({p[3], {p[4], p[5] >= 1 ? p[6] : uint8_t{0}}});
            } else if (subclass == SUBCLASS_STREAMING && p[2] == AS_FORMAT_TYPE && len >= 11) {
                int rate = p[8] | p[9] << 8 | p[10] << 16;
                bool capture = false;
                // The endpoint follows the format; the direction is settled by
                // looking ahead within this alternate setting.
                for (size_t q = pos + len; q + 2 < d.size() && d[q] >= 2; q += d[q]) {
                    if (d[q + 1] == DT_INTERFACE) break;
                    if (d[q + 1] == DT_ENDPOINT && q + 2 < d.size()) {
                        capture = d[q + 2] & 0x80;
                        break;
                    }
                }
                (capture ? info->capture_rate : info->playback_rate) = rate;
                (capture ? info->capture_channels : info->playback_channels) = p[4];
                (capture ? info->capture_subframe : info->playback_subframe) = p[5];
            }
        }
        pos += len;
    }
    for (const auto &u : units) {
        for (uint8_t t : usb_in_terminals)
            if (u.second.first == t) {
                info->speaker_unit = u.first;
                info->speaker_controls = u.second.second;
            }
        for (uint8_t s : usb_out_sources)
            if (u.first == s) {
                info->mic_unit = u.first;
                info->mic_controls = u.second.second;
            }
    }
    return true;
}

const ep_info *find_endpoint(const device_info &info, uint8_t address) {
    for (const auto &e : info.endpoints)
        if (e.address == address) return &e;
    return nullptr;
}

std::string string_text(const std::vector<uint8_t> &d) {
    std::string s;
    if (d.size() < 2) return s;
    size_t n = std::min<size_t>(d[0], d.size());
    for (size_t i = 2; i + 1 < n; i += 2)
        s.push_back(d[i + 1] || d[i] < 0x20 ? '?' : static_cast<char>(d[i]));
    return s;
}
