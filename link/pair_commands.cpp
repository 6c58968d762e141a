// What the session does with each command the phone sends: the pairing
// handshake, the sign-in state, call events for the media path and HID call
// control, and the commands that end the session.
#include <cJSON.h>

#include <cstring>

#include "link/bus/event_bus.h"
#include "link/duvo_body.h"
#include "link/duvo_cmd.h"
#include "link/pair_manager_impl.h"
#include "platform/config.h"
#include "platform/log.h"

namespace {

constexpr const char *VBUS_HARDWARE_ID = "root\\mireltausbipenum";
constexpr int MEDIA_CTL_COMMAND = 5;
constexpr int END = 1;  // the command ends the session
constexpr int GO_ON = 0;

int post_get_dev_info_cb(void *user, int, int reason, int) {
    pair_manager *pm = static_cast<pair_manager *>(user);
    if (reason == TIMER_FIRED)
        duvo_event_post(nullptr, 0, pm->bus_send, EVT_TIMER_CMD, DUVO_CMD_C2P_GET_DEV_INFO, 0);
    return 0;
}

void remove_timer(pair_manager *pm, std::atomic<int> &id) {
    int t = id.exchange(-1);
    if (t > 0) timer_remove(&pm->timers, t);
}

void on_notify_support_xml(pair_manager *pm) {
    remove_timer(pm, pm->detect_timer);
    pm->link.msg_version = 1;
    if (!pm->detect_sent) {
        pm->detect_sent = 1;
        pm_send(pm, DUVO_CMD_C2P_PAIR_DETECT);
    }
    log_print(0, LL_ERR, "message use new format\n");
}

int on_paired_info(pair_manager *pm, const uint8_t *body, size_t len) {
    duvo_link *link = &pm->link;
    pair_conv_info info;
    if (duvo_read_paired_info(link->msg_version, body, len, &info) == DUVO_PAIRED_CONFLICT) {
        log_print(0, LL_INFO, "connect conflict !!!\n");
        return END;
    }
    link->phone_alive = 1;
    int old = pm->keepalive_timer.exchange(0);
    if (old > 0) timer_remove(&pm->timers, old);
    pm->keepalive_timer =
        timer_add(&pm->timers, KEEPALIVE_PERIOD_MS, 1, send_keepalive_to_phone_cb, pm);

    log_print(0, LL_INFO,
              "duvo_p2c_handle_pair_info: pair_conv_info.conv_id=%s, handle->conv_id=%s, "
              "handle->need_inpurt_pair_code=%d\n",
              info.conv_id, pm->conv_id, pm->need_inpurt_pair_code.load());
    if (strncmp(info.conv_id, pm->conv_id, PM_CONV_ID_SIZE) == 0 ||
        pm->need_inpurt_pair_code == 0) {
        pm_send(pm, DUVO_CMD_C2P_GET_DEV_INFO);
    } else {
        pm_send(pm, DUVO_CMD_C2P_GET_PAIRING_MODE);
        if (pm->trans_type == TRANS_TYPE_TCP)
            pm->pair_mode_timer =
                timer_add(&pm->timers, PAIR_MODE_FALLBACK_MS, 0, post_get_dev_info_cb, pm);
    }
    log_set_phone_file(info.phone_mac[0] ? info.phone_mac : "phone_syslog");
    log_print(0, LL_INFO, "recv cmd <==== DUVO_CMD_P2C_PAIRED_INFO\n");
    return GO_ON;
}

void on_pairing_mode_result(pair_manager *pm, const uint8_t *body, size_t len) {
    remove_timer(pm, pm->pair_mode_timer);
    int mode = pm->pair_mode;
    if (duvo_read_pair_mode(pm->link.msg_version, body, len, &mode) == 0)
        pm->pair_mode = uint8_t(mode);
    if (pm->pair_mode == 1)
        pm_notify(pm, NOTIFY_NEED_PAIR_CODE, 0);
    else if (pm->pair_mode == 0)
        pm_send(pm, DUVO_CMD_C2P_GET_DEV_INFO);
    log_print(0, LL_INFO, "recv cmd <==== DUVO_CMD_P2C_PAIRING_MODE_RESULT duvo pairing mode %d\n",
              pm->pair_mode);
}

int on_pair_mode_switch(pair_manager *pm, const uint8_t *body, size_t len) {
    int mode = 0;
    if (duvo_read_pair_mode(pm->link.msg_version, body, len, &mode) != 0) mode = 0;
    if (mode == pm->pair_mode) return GO_ON;
    log_print(0, LL_INFO, "recv <==== DUVO_CMD_P2C_PAIR_MODE_SWITCH mode %d \n", mode);
    pm->pair_mode = uint8_t(mode);
    if (mode == 1 || pm->link.status == STATUS_PIN_CHECK) {
        pm->link.unpair_reason = UNPAIR_PAIR_MODE_SWITCHED;
        return END;
    }
    return GO_ON;
}

void on_verification_result(pair_manager *pm, const uint8_t *body, size_t len) {
    int result = duvo_read_verification_result(pm->link.msg_version, body, len);
    log_print(0, LL_INFO, "recv <==== DUVO_CMD_P2C_VERIFICATION_RESULT result : %d \n", result);
    if (result == 0) {
        set_pair_status(pm, STATUS_PIN_SUCCEED);
        pm_send(pm, DUVO_CMD_C2P_GET_DEV_INFO);
        log_print(0, LL_INFO, "pin check success\n");
    } else {
        set_pair_status(pm, STATUS_PIN_FAILED);
    }
}

// The PC's identity, once the device is plugged in.
void send_pc_identity(pair_manager *pm) {
    duvo_link *link = &pm->link;
    if (link->msg_version != 0) {
        duvo_send_duvo_cfg(link, pm->duvo_version, pm->connect_type, pm->conv_id);
    } else {
        duvo_send_sw_version(link, pm->duvo_version);
        duvo_send_connect_type(link, pm->connect_type);
        duvo_send_pair_conv_id(link, pm->conv_id);
    }
}

int on_dev_info(pair_manager *pm, const uint8_t *body, size_t len) {
    duvo_link *link = &pm->link;
    if (pm->plugged) return GO_ON;  // later ones in the same session change nothing
    if (link->msg_version != 0) {
        duvo_dev_info info;
        duvo_read_dev_info(body, len, &info);
        pm->device_vid = uint16_t(info.device_vid);
        pm->device_pid = uint16_t(info.device_pid);
        pm->device_rev = uint16_t(info.device_rev);
        link->codec_samplerate = info.codec_samplerate;
        if (info.texts_present) {
            snprintf(pm->device_name, sizeof pm->device_name, "%s", info.device_name);
            snprintf(pm->sw_version, sizeof pm->sw_version, "%s", info.sw_version);
            snprintf(pm->sip_version, sizeof pm->sip_version, "%s", info.sip_version);
            memset(link->codec_name, 0, sizeof link->codec_name);
            snprintf(link->codec_name, sizeof link->codec_name, "%s", info.codec_name);
            {
                std::lock_guard<std::recursive_mutex> g(g_config.lock);
                g_config.update_url = info.update_url;
            }
            config_save();
        }
    } else {
        duvo_read_u16_net(body, len, &pm->device_rev);
    }

    const session_device_ops *ops = pm->dev_ops;
    void *dev = nullptr;
    if (ops->usb_device_init(&dev, VBUS_HARDWARE_ID, pm->bus_send, &pm->timers) == 0) {
        ops->set_media_params(dev, pm->srtp_enable, link->codec_samplerate);
        if (ops->usb_device_plugin(dev, pm->device_name, pm->device_rev, pm->device_vid,
                                   pm->device_pid) == 0) {
            log_print(0, LL_INFO, "usb device plugin return ok!\n");
            pm->plugged = 1;
            pm->usb_device = dev;  // visible to other threads only once plugged in
        } else {
            // Created but not plugged in: released here, never published.
            ops->usb_device_stop(dev);
            ops->close_driver(dev);
            ops->usb_device_deinit(dev);
        }
    }
    if (!pm->plugged) {
        log_print(0, LL_ERR, "usb device init fail\n");
        pm_notify(pm, NOTIFY_USB_INIT_FAIL, 0);
        link->unpair_reason = UNPAIR_USB_FAILED;
        return END;
    }
    set_pair_status(pm, STATUS_PAIRED);
    if (link->msg_version > 1) duvo_report_pc_state(link);
    send_pc_identity(pm);
    return GO_ON;
}

void on_active_ok(pair_manager *pm) {
    duvo_link *link = &pm->link;
    log_print(0, LL_INFO, "recv cmd <==== DUVO_CMD_P2C_ACTIVE_OK\n");
    set_pair_status(pm, STATUS_PAIREDSIGNIN);
    link->signed_in = 1;
    if (link->msg_version <= 1) {
        if (link->pc_status != 0) {
            duvo_send_phone_lock(link, 1);
            log_print(0, LL_INFO, "paired sign in pc is locked , lock the phone directly\n");
        } else {
            duvo_send_phone_lock(link, 0);
            log_print(0, LL_INFO, "paired sign unlock directly\n");
        }
    }
}

int on_active_failed(pair_manager *pm) {
    duvo_link *link = &pm->link;
    const int status = link->status;
    if (status != STATUS_PAIRED && status != STATUS_PAIREDSIGNIN) return END;
    log_print(0, LL_INFO, "recv cmd <==== DUVO_CMD_P2C_ACTIVE_FAILED\n");
    if (status == STATUS_PAIREDSIGNIN && link->msg_version <= 1) duvo_send_phone_lock(link, 1);
    set_pair_status(pm, STATUS_PAIRED);
    link->signed_in = 0;
    return GO_ON;
}

void on_zoom_command(pair_manager *pm, const uint8_t *body, size_t len) {
    int command = 0, value = 0;
    if (duvo_read_zoom_command(body, len, &command, &value) != 0) return;
    void *dev = pm->usb_device;
    if (dev == nullptr) return;
    session_hid_pending *hid = pm->dev_ops->hid_pending(dev);
    switch (command) {
        case 0:
            hid->zoom_vol_up = value / 2 + 1;
            hid->zoom_vol_end = value / 2 + 1;
            break;
        case 1:
            hid->zoom_vol_down = value / 2 + 1;
            hid->zoom_vol_end = value / 2 + 1;
            break;
        case 2: {
            int idle = 0;
            hid->zoom_mute_step.compare_exchange_strong(idle, 1);  // a switch in progress goes on
            break;
        }
        case MEDIA_CTL_COMMAND:
            pm->dev_ops->audio_stream_ctl(dev, value);
            break;
        default:
            break;
    }
}

// Commands that need a body are ignored without one.
bool needs_body(uint8_t id) {
    switch (id) {
        case DUVO_CMD_P2C_PAIRING_MODE_RESULT:
        case DUVO_CMD_P2C_PAIR_MODE_SWITCH:
        case DUVO_CMD_P2C_VERIFICATION_RESULT:
        case DUVO_CMD_P2C_DEV_NAME:
        case DUVO_CMD_P2C_DEV_VID:
        case DUVO_CMD_P2C_DEV_PID:
        case DUVO_CMD_P2C_DEV_REV:
        case DUVO_CMD_P2C_DEV_INFO:
        case DUVO_CMD_P2C_SYSLOG_INFO:
        case DUVO_CMD_P2C_SIP_VERSION:
        case DUVO_CMD_P2C_SEND_UPDATE_URL:
        case DUVO_CMD_P2C_GRUU:
        case DUVO_CMD_P2C_CALL_START:
        case DUVO_CMD_P2C_CALL_END:
            return true;
        default:
            return false;
    }
}

}  // namespace

int pair_handle_cmd(pair_manager *pm, uint8_t id, const uint8_t *body, size_t len) {
    duvo_link *link = &pm->link;
    if (needs_body(id) && (body == nullptr || len == 0)) return GO_ON;
    void *dev = pm->usb_device;
    const session_device_ops *ops = pm->dev_ops;

    switch (id) {
        case DUVO_CMD_P2C_NOTIFY_SUPPORT_XML:
            on_notify_support_xml(pm);
            return GO_ON;
        case DUVO_CMD_P2C_PAIRED_INFO:
            return on_paired_info(pm, body, len);
        case DUVO_CMD_P2C_PAIRING_MODE_RESULT:
            on_pairing_mode_result(pm, body, len);
            return GO_ON;
        case DUVO_CMD_P2C_PAIR_MODE_SWITCH:
            return on_pair_mode_switch(pm, body, len);
        case DUVO_CMD_P2C_VERIFICATION_RESULT:
            on_verification_result(pm, body, len);
            return GO_ON;
        case DUVO_CMD_P2C_DEV_NAME:
            duvo_read_text(body, len, pm->device_name, sizeof pm->device_name);
            log_print(0, LL_INFO, "device_name: %s\n", pm->device_name);
            return GO_ON;
        case DUVO_CMD_P2C_DEV_VID:
            duvo_read_u16_net(body, len, &pm->device_vid);
            return GO_ON;
        case DUVO_CMD_P2C_DEV_PID:
            duvo_read_u16_net(body, len, &pm->device_pid);
            return GO_ON;
        case DUVO_CMD_P2C_DEV_REV:
        case DUVO_CMD_P2C_DEV_INFO:
            return on_dev_info(pm, body, len);
        case DUVO_CMD_P2C_ACTIVE_OK:
            on_active_ok(pm);
            return GO_ON;
        case DUVO_CMD_P2C_ACTIVE_FAILED:
            return on_active_failed(pm);
        case DUVO_CMD_P2C_SYSLOG_INFO:
            if (link->msg_version == 0) return GO_ON;
            log_print(0, LL_INFO, "recv <==== DUVO_CMD_P2C_SYSLOG_INFO\n");
            pm_notify(pm, NOTIFY_SYSLOG_ON, duvo_read_syslog_info(body, len));
            return GO_ON;
        case DUVO_CMD_P2C_SIP_VERSION:
            log_print(0, LL_INFO, "recv <==== DUVO_CMD_P2C_SIP_VERSION\n");
            duvo_read_text(body, len, pm->sip_version, sizeof pm->sip_version);
            return GO_ON;
        case DUVO_CMD_P2C_SEND_UPDATE_URL: {
            char url[DUVO_URL_SIZE];
            if (duvo_read_update_url(link->msg_version, body, len, url, sizeof url)) {
                {
                    std::lock_guard<std::recursive_mutex> g(g_config.lock);
                    g_config.update_url = url;
                }
                config_save();
            }
            return GO_ON;
        }
        case DUVO_CMD_P2C_GRUU: {
            char gruu[DUVO_GRUU_SIZE];
            if (dev == nullptr) return GO_ON;
            if (!duvo_read_gruu(link->msg_version, body, len, gruu, sizeof gruu)) return GO_ON;
            if (link->msg_version != 0 && link->status == STATUS_PAIREDSIGNIN) return GO_ON;
            ops->usb_device_set_gruu(dev, gruu);
            return GO_ON;
        }
        case DUVO_CMD_P2C_ACC_SIGN_OUT:
            if (dev) ops->cancel_gruu_timer(dev);
            log_print(0, LL_INFO, "recv <==== DUVO_CMD_P2C_ACC_SIGN_OUT\n");
            return GO_ON;
        case DUVO_CMD_P2C_CLIENT_INACTIVE:
            if (link->status == STATUS_PAIREDSIGNIN && link->msg_version == 1)
                duvo_send_phone_lock(link, 1);
            pm_notify(pm, NOTIFY_CLIENT_INACTIVE, 0);
            log_print(0, LL_INFO, "lync client is inactive, current pair status:%d\n",
                      link->status.load());
            return GO_ON;
        case DUVO_CMD_P2C_CALL_START: {
            log_print(0, LL_INFO, "recv <==== DUVO_CMD_P2C_CALL_START\n");
            uint32_t port = 0;
            char key[DUVO_KEY_SIZE] = {};
            if (duvo_read_call_start(link->msg_version, body, len, &port, key) != 0) return GO_ON;
            if (dev) ops->rtp_stream_create(dev, key, pm->phone_ip, int(port), int(strlen(key)));
            return GO_ON;
        }
        case DUVO_CMD_P2C_CALL_END: {
            int hung_up = 0, need_clean = 1;
            duvo_read_call_end(link->msg_version, body, len, &hung_up, &need_clean);
            if (hung_up && dev) ops->hid_pending(dev)->hungup = 1;
            if (need_clean && dev) ops->rtp_stream_destroy(dev);
            log_print(0, LL_INFO,
                      "recv <==== DUVO_CMD_P2C_CALL_END, need hung_up:%d need_clean:%d\n", hung_up,
                      need_clean);
            return GO_ON;
        }
        case DUVO_CMD_P2C_CALL_DEACTIVE:
            log_print(0, LL_INFO, "recv <==== DUVO_CMD_P2C_CALL_DEACTIVE\n");
            if (dev) ops->rtp_stream_destroy(dev);
            return GO_ON;
        case DUVO_CMD_P2C_ZOOM_COMMAND:
            on_zoom_command(pm, body, len);
            return GO_ON;
        case DUVO_CMD_COM_UN_PAIR:
            log_print(0, LL_INFO, "recv cmd <==== DUVO_CMD_COM_UN_PAIR\n");
            link->unpair_reason = UNPAIR_PHONE_UNPAIRED;
            pm_send(pm, DUVO_CMD_COM_CLOSE_FD);
            return END;
        case DUVO_CMD_COM_CLOSE_FD:
            log_print(0, LL_INFO, "recv cmd <==== DUVO_CMD_COM_CLOSE_FD\n");
            link->unpair_reason = UNPAIR_PHONE_CLOSED;
            return END;
        case DUVO_CMD_P2C_DUVO_DISABLE:
            log_print(0, LL_INFO, "recv <==== DUVO_CMD_P2C_DUVO_DISABLE\n");
            link->unpair_reason = UNPAIR_DUVO_DISABLED;
            return END;
        case DUVO_CMD_P2C_HELP_LOGIN_FAIL:
            log_print(0, LL_INFO, "recv cmd <==== DUVO_CMD_P2C_HELP_LOGIN_FAIL\n");
            return GO_ON;
        case DUVO_CMD_P2C_REQUEST_HELP_LOGIN:
            log_print(0, LL_INFO, "recv cmd <==== DUVO_CMD_P2C_REQUEST_HELP_LOGIN\n");
            return GO_ON;
        case DUVO_CMD_P2C_CANCEL_HELP_LOGIN:
            log_print(0, LL_INFO, "recv cmd <==== DUVO_CMD_P2C_CANCEL_HELP_LOGIN\n");
            return GO_ON;
        case DUVO_CMD_COM_UN_SIGN:
            log_print(0, LL_INFO, "recv cmd <==== DUVO_CMD_COM_UN_SIGN\n");
            return GO_ON;
        case DUVO_CMD_P2C_ACCEPT_CALL:
            log_print(0, LL_INFO, "recv cmd <==== DUVO_CMD_P2C_ACCEPT_CALL\n");
            return GO_ON;
        default:
            return GO_ON;  // keepalive answers and the rest: a sign of life only
    }
}
