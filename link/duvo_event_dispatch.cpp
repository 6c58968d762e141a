#include "link/duvo_event_dispatch.h"

#include <cstring>
#include <string>

#include "link/duvo_body.h"
#include "link/duvo_cmd.h"
#include "link/duvo_wire.h"
#include "platform/log.h"

namespace {

constexpr int32_t k_reason_user_cancel = -2;

// A text field of an event body, which need not be NUL-ended.
std::string field(const uint8_t *p, size_t size) {
    const char *s = reinterpret_cast<const char *>(p);
    return std::string(s, strnlen(s, size));
}

uint32_t host_u32(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

int32_t host_i32(const uint8_t *p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

bool body_ok(const duvo_event *ev, size_t need) {
    if (ev->size >= need && ev->body) return true;
    log_print(0, LL_ERR, "event 0x%x cmd 0x%x: body of %u bytes, %zu needed, dropped\n", ev->type,
              ev->code, unsigned(ev->size), need);
    return false;
}

void phone_lock(duvo_link *link, int value) {
    if (link->hooks.send_phone_lock)
        link->hooks.send_phone_lock(link->hooks.ctx, value);
    else
        duvo_send_phone_lock(link, value);
}

void report_pc_state(duvo_link *link) {
    if (link->hooks.report_pc_state)
        link->hooks.report_pc_state(link->hooks.ctx);
    else
        duvo_report_pc_state(link);
}

void bare(duvo_link *link, uint32_t code) {
    duvo_send_cmd(link, 0, nullptr, uint8_t(code));
}

// Requests of the virtual device and the media path.
void send_cmd_event(duvo_link *link, const duvo_event *ev) {
    const uint8_t *b = ev->body;
    switch (ev->code) {
        case DUVO_CMD_C2P_CFG_USER_INFO:
            if (!body_ok(ev, EVT_USER_INFO_SIZE)) return;
            duvo_send_user_info(
                link, field(b, EVT_USER_INFO_TEXT_SIZE).c_str(),
                field(b + EVT_USER_INFO_TEXT_SIZE, EVT_USER_INFO_TEXT_SIZE).c_str(),
                field(b + 2 * EVT_USER_INFO_TEXT_SIZE, EVT_USER_INFO_TEXT_SIZE).c_str());
            return;
        case DUVO_CMD_C2P_CLT_SING_IN: {
            if (link->status == STATUS_PAIREDSIGNIN) return;  // already signed in
            if (!body_ok(ev, EVT_SIGN_IN_SIZE)) return;
            uint16_t present;
            std::memcpy(&present, b, sizeof present);
            duvo_send_sign_in(link, present);
            return;
        }
        case DUVO_CMD_C2P_CLT_SING_OUT:
            if (link->status == STATUS_PAIREDSIGNIN && link->msg_version <= 1) phone_lock(link, 1);
            duvo_link_set_status(link, STATUS_PAIRED);
            link->signed_in = 0;
            bare(link, ev->code);
            return;
        case DUVO_CMD_C2P_DEVICE_ACTIVE:
            if (!body_ok(ev, EVT_DEVICE_ACTIVE_SIZE)) return;
            duvo_send_device_active(link, host_u32(b),
                                    field(b + 4, EVT_DEVICE_ACTIVE_KEY_SIZE).c_str());
            return;
        case DUVO_CMD_C2P_DEVICE_UPDATE:
            if (!body_ok(ev, EVT_DEVICE_UPDATE_SIZE)) return;
            duvo_send_device_update(
                link, field(b + EVT_DEVICE_UPDATE_TEXT_SIZE, EVT_DEVICE_UPDATE_TEXT_SIZE).c_str(),
                field(b, EVT_DEVICE_UPDATE_TEXT_SIZE).c_str(), b[2 * EVT_DEVICE_UPDATE_TEXT_SIZE]);
            return;
        case DUVO_CMD_C2P_CALL_MUTE_USER:
            if (!body_ok(ev, EVT_MUTE_USER_SIZE)) return;
            duvo_send_call_mute_user(link, b[0]);
            return;
        case DUVO_CMD_C2P_DEVICE_SET_AS_MIC:
            duvo_send_set_as_mic(link, ev->value);
            return;
        case DUVO_CMD_C2P_CURRENT_VOLUME:
            duvo_send_current_volume(link, ev->value);
            return;
        case DUVO_CMD_C2P_ZOOM_ROOMS_STATE:
            if (!body_ok(ev, EVT_ROOMS_STATE_SIZE)) return;
            duvo_send_zoom_rooms_state(link, host_i32(b), host_i32(b + 4));
            return;
        case DUVO_CMD_C2P_SPEAKER_MUTE:
            duvo_send_speaker_mute(link, ev->value);
            return;
        default:
            bare(link, ev->code);
            return;
    }
}

// Requests of the shell and of the session's own timers.
void ui_cmd_event(duvo_link *link, const duvo_event *ev) {
    switch (ev->code) {
        case DUVO_CMD_C2P_SYSLOG_UPDATE: {
            uint32_t addr = 0;
            if (!link->hooks.local_addr || link->hooks.local_addr(link->hooks.ctx, &addr) != 0) {
                log_print(0, LL_ERR,
                          "syslog update: local address of the phone connection unknown\n");
                return;
            }
            duvo_send_syslog_update(link, ev->value != 0, addr);
            return;
        }
        case DUVO_CMD_C2P_PIN_VERIFICATION:
            duvo_send_pin_verification(link, reinterpret_cast<const char *>(ev->body), ev->size);
            return;
        case DUVO_CMD_C2P_CANCEL_PAIRING_CODE:
            link->unpair_reason = k_reason_user_cancel;
            bare(link, ev->code);
            link->end_session = 1;
            return;
        case DUVO_CMD_C2P_UPDATE_PC_STATUS:
            link->pc_status = ev->value;
            report_pc_state(link);
            return;
        default:
            bare(link, ev->code);
            return;
    }
}

}  // namespace

void duvo_event_dispatch(duvo_link *link, const duvo_event *ev) {
    if (ev->code > 0xFF &&
        (ev->type == EVT_SEND_CMD || ev->type == EVT_UI_CMD || ev->type == EVT_TIMER_CMD)) {
        log_print(0, LL_ERR, "event 0x%x: code 0x%x is no phone command, dropped\n", ev->type,
                  ev->code);
        return;
    }
    switch (ev->type) {
        case EVT_SEND_CMD:
            send_cmd_event(link, ev);
            return;
        case EVT_UI_CMD:
        case EVT_TIMER_CMD:
            ui_cmd_event(link, ev);
            return;
        case EVT_DEBUG_MODE:
            if (link->hooks.set_srtp_dump)
                link->hooks.set_srtp_dump(link->hooks.ctx, int(ev->code));
            return;
        case EVT_RAW_SEND:
            if (ev->size == 0 || !ev->body) return;
            // Re-sends are new-framed; after a fall back to the old framing (a
            // re-opened connection) the phone would read them as garbage.
            if (link->msg_version == 0) {
                log_print(0, LL_DEBUG, "re-send of cmd 0x%x dropped: old framing in use\n",
                          ev->body[0]);
                return;
            }
            duvo_send_raw(link, ev->body, ev->size);
            return;
        default:
            return;  // start-pair and unknown types mean nothing inside a session
    }
}
