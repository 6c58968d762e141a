// Requests to the audio function's interfaces: the feature unit controls
// (mute, volume) of the audio control interface and the alternate settings
// of the two streaming interfaces.
#include "link/bus/event_bus.h"
#include "platform/log.h"
#include "usb/usb_device.h"
#include "usb/usb_pdu.h"
#include "usb/usb_phone_cmds.h"
#include "usb/usb_requests.h"

namespace {
constexpr uint8_t kIfaceControl = 0;
constexpr uint8_t kIfacePlayback = 1;
constexpr uint8_t kIfaceCapture = 2;
constexpr uint8_t kSelectorMute = 1;
constexpr uint8_t kSelectorVolume = 2;
constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;
constexpr uint8_t kGetMin = 0x82;
constexpr uint8_t kGetMax = 0x83;
constexpr uint8_t kGetRes = 0x84;
// The volume range the device announces, in its own units. GET_CUR always
// answers the top of it: the phone keeps the real level.
constexpr int16_t kVolumeCur = 100;
constexpr int16_t kVolumeMin = 0;
constexpr int16_t kVolumeMax = 100;
constexpr int16_t kVolumeRes = 1;

void post(vusb_handle *h, uint32_t code, int32_t value) {
    duvo_event_post(nullptr, 0, h->event_socket, EVT_SEND_CMD, code, value);
}

void reply_word(vusb_handle *h, const vbus_pdu *pdu, int16_t v) {
    const uint8_t b[2] = {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>((v >> 8) & 0xFF)};
    usb_setup s = usb_setup_decode(pdu->hdr);
    vusb_reply(pdu, h, b, s.wLength < sizeof b ? s.wLength : sizeof b);
}

void mute_control(vusb_handle *h, const vbus_pdu *pdu, const usb_setup &s) {
    if (s.bRequest == kSetCur) {
        h->mute = usb_pdu_data_byte(pdu, 0);
        vusb_reply(pdu, h, nullptr, 0);
    } else if (s.bRequest == kGetCur) {
        vusb_reply(pdu, h, &h->mute, s.wLength ? 1 : 0);
    } else {
        log_print(0, LL_INFO, "USB_INTERFACE_ID_MIC ret submit setup bRequest %d\n", s.bRequest);
        vusb_reply(pdu, h, nullptr, 0);
    }
}

void volume_control(vusb_handle *h, const vbus_pdu *pdu, const usb_setup &s) {
    switch (s.bRequest) {
        case kSetCur: {
            uint8_t d0 = usb_pdu_data_byte(pdu, 0), d1 = usb_pdu_data_byte(pdu, 1);
            h->cur_volume = static_cast<int16_t>(d0 | d1 << 8);
            vusb_reply(pdu, h, nullptr, 0);
            int vol = static_cast<int8_t>(d0);
            log_print(
                0, LL_INFO,
                "cur volume: %02x %02x, vol=%d, len=%d, index=%d, cur_vol=%d, zoom_vol_end=%d\n",
                d1, d0, vol + 1, s.wLength, s.wIndex, vol, h->zoom_vol_end.load());
            if (h->hooks.volume_set)
                h->hooks.volume_set(h, vol);
            else
                post(h, vusb_cmd::DUVO_CMD_C2P_CURRENT_VOLUME, vol);
            break;
        }
        case kGetCur:
            reply_word(h, pdu, kVolumeCur);
            break;
        case kGetMin:
            reply_word(h, pdu, kVolumeMin);
            break;
        case kGetMax:
            reply_word(h, pdu, kVolumeMax);
            break;
        case kGetRes:
            reply_word(h, pdu, kVolumeRes);
            break;
        default:
            log_print(0, LL_ERR, "AUDIODEV: setup->bRequest %x!\n", s.bRequest);
            vusb_reply(pdu, h, nullptr, 0);
            break;
    }
}

void streaming_interface(vusb_handle *h, const vbus_pdu *pdu, const usb_setup &s, int is_capture) {
    if (s.bRequest != USB_REQ_SET_INTERFACE) {
        if (is_capture)
            log_print(0, LL_ERR, "USB_INTERFACE_ID_SPEAKER ret submit bRequest %d\n", s.bRequest);
        else
            log_print(0, LL_INFO, "USB_INTERFACE_ID_MIC ret submit bRequest %d\n", s.bRequest);
        vusb_reply(pdu, h, nullptr, 0);
        return;
    }
    int alt = s.wValue;
    if (alt == 1) {
        log_print(0, LL_INFO, is_capture ? "Audio: Mic Active\n" : "Audio: Speaker Active\n");
        if (is_capture)
            h->cp_cache_list.restart(&h->cp_ticking);
        else
            h->pb_cache_list.restart(&h->pb_ticking);
    } else if (alt == 0) {
        log_print(0, LL_INFO, is_capture ? "Audio: Mic Idle\n" : "Audio: Speaker Idle\n");
    } else if (is_capture) {
        log_print(0, LL_ERR, "|process_audio_class_specific_requests| goto myend\n");
    }
    if (h->hooks.set_interface) h->hooks.set_interface(h, alt, is_capture);
    vusb_reply(pdu, h, nullptr, 0);
}
}  // namespace

void process_audio_class_specific_requests(vusb_handle *h, const vbus_pdu *pdu) {
    usb_setup s = usb_setup_decode(pdu->hdr);
    int selector = s.wValue >> 8, channel = s.wValue & 0xFF, iface = s.wIndex & 0xFF;
    log_print(0, LL_ANY, "Get Class Specific Request 0x%02x!\n", s.bmRequestType);
    log_print(0, LL_INFO, "control_selector=%d, channel_number=%d, interface=%d, wLength=%d\n",
              selector, channel, iface, s.wLength);
    if (iface == kIfaceControl && channel == 0 && selector == kSelectorMute) {
        // Every request so addressed reaches the phone, GET requests
        // included: their data byte reads 0.
        uint8_t d0 = usb_pdu_data_byte(pdu, 0);
        log_print(0, LL_INFO, "mute_enable=%d, wLength=%d\n", d0, s.wLength);
        post(h, vusb_cmd::DUVO_CMD_C2P_SPEAKER_MUTE, static_cast<int8_t>(d0));
    }
    switch (iface) {
        case kIfaceControl:
            if (selector == kSelectorMute)
                mute_control(h, pdu, s);
            else if (selector == kSelectorVolume)
                volume_control(h, pdu, s);
            else
                vusb_reply(pdu, h, nullptr, 0);
            break;
        case kIfacePlayback:
            streaming_interface(h, pdu, s, 0);
            break;
        case kIfaceCapture:
            streaming_interface(h, pdu, s, 1);
            break;
        default:
            log_print(0, LL_ERR, "AUDIODEV: setup->bRequest %x!\n", s.bRequest);
            vusb_reply(pdu, h, nullptr, 0);
            break;
    }
}
