#include <cjson/cJSON.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>

#include "link/duvo_body.h"
#include "link/duvo_cmd.h"
#include "link/duvo_wire.h"
#include "platform/log.h"

namespace {

constexpr uint8_t k_syslog_deadline = 1;
constexpr uint8_t k_syslog_level = 6;
constexpr size_t k_syslog_body_size = 8;
constexpr size_t k_device_active_body_size = 4 + DUVO_KEY_SIZE;  // port + key field
constexpr size_t k_conv_id_size = 48;
constexpr int k_media_ctl = 1;
constexpr const char *k_duvo_oem = "zoom";

// One JSON object member: a number or a text.
struct member {
    const char *key;
    const char *text;  // null: a number
    double number;
};

member num(const char *key, double v) {
    return {key, nullptr, v};
}
member txt(const char *key, const char *v) {
    return {key, v ? v : "", 0};
}

// Builds the object in member order, prints it formatted and sends it with
// its NUL. fail_text is logged when any step of building fails.
int send_json(duvo_link *link, uint8_t id, std::initializer_list<member> members,
              const char *fail_text) {
    cJSON *root = cJSON_CreateObject();
    bool ok = root != nullptr;
    for (const member &m : members) {
        if (!ok) break;
        cJSON *item = m.text ? cJSON_AddStringToObject(root, m.key, m.text)
                             : cJSON_AddNumberToObject(root, m.key, m.number);
        ok = item != nullptr;
    }
    char *text = ok ? cJSON_Print(root) : nullptr;
    cJSON_Delete(root);
    if (!text) {
        log_print(0, LL_ERR, "%s", fail_text);
        return -1;
    }
    int ret = duvo_send_cmd(link, std::strlen(text) + 1, text, id);
    cJSON_free(text);
    return ret;
}

// Old-format text with its NUL, cut so that text and NUL fit the length byte.
int send_text_old(duvo_link *link, uint8_t id, const char *text) {
    if (!text) text = "";
    size_t n = std::strlen(text);
    if (n + 1 > DUVO_OLD_BODY_MAX) {
        log_print(0, LL_WARN, "cmd 0x%x text cut from %zu to %zu bytes\n", id, n,
                  DUVO_OLD_BODY_MAX - 1);
        n = DUVO_OLD_BODY_MAX - 1;
    }
    char body[DUVO_OLD_BODY_MAX];
    std::memcpy(body, text, n);
    body[n] = '\0';
    return duvo_send_cmd(link, n + 1, body, id);
}

void put_le32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

int send_le32(duvo_link *link, uint8_t id, uint32_t v) {
    uint8_t body[4];
    put_le32(body, v);
    return duvo_send_cmd(link, sizeof body, body, id);
}

bool old_format(const duvo_link *link) {
    return link->msg_version == 0;
}

}  // namespace

int duvo_send_user_info(duvo_link *link, const char *sip_uri, const char *auth_uri,
                        const char *password) {
    if (!old_format(link))
        return send_json(
            link, DUVO_CMD_C2P_CFG_USER_INFO,
            {txt("sip_uri", sip_uri), txt("auth_uri", auth_uri), txt("password", password)},
            "create user info root node fail\n");
    int ret = send_text_old(link, DUVO_CMD_C2P_CFG_SIP_URI, sip_uri);
    int r2 = send_text_old(link, DUVO_CMD_C2P_CFG_AUTH_URI, auth_uri);
    int r3 = send_text_old(link, DUVO_CMD_C2P_CFG_PASSWORD, password);
    // The first failure is what the caller needs to see.
    if (ret > 0) ret = r2;
    if (ret > 0) ret = r3;
    return ret;
}

int duvo_send_sign_in(duvo_link *link, uint16_t present_status) {
    if (!old_format(link))
        return send_json(link, DUVO_CMD_C2P_CLT_SING_IN, {num("present_status", present_status)},
                         "create client sign in root node fail\n");
    uint8_t body[2] = {uint8_t(present_status), uint8_t(present_status >> 8)};
    return duvo_send_cmd(link, sizeof body, body, DUVO_CMD_C2P_CLT_SING_IN);
}

int duvo_send_syslog_update(duvo_link *link, int on, uint32_t server_ip) {
    uint8_t method = on ? 1 : 0;
    // The address bytes in network order.
    uint8_t addr[4] = {uint8_t(server_ip >> 24), uint8_t(server_ip >> 16), uint8_t(server_ip >> 8),
                       uint8_t(server_ip)};
    if (!old_format(link)) {
        // The phone reads the network-order bytes as a little-endian int32.
        int32_t as_le = int32_t(uint32_t(addr[0]) | uint32_t(addr[1]) << 8 |
                                uint32_t(addr[2]) << 16 | uint32_t(addr[3]) << 24);
        return send_json(link, DUVO_CMD_C2P_SYSLOG_UPDATE,
                         {num("deadline", k_syslog_deadline), num("log_method", method),
                          num("log_level", k_syslog_level), num("server_ip", as_le)},
                         "create syslog update root node fail\n");
    }
    uint8_t body[k_syslog_body_size] = {k_syslog_deadline, method,  k_syslog_level, 0,
                                        addr[0],           addr[1], addr[2],        addr[3]};
    return duvo_send_cmd(link, sizeof body, body, DUVO_CMD_C2P_SYSLOG_UPDATE);
}

int duvo_send_pin_verification(duvo_link *link, const char *code, size_t len) {
    if (!code) len = 0;
    size_t n = len ? strnlen(code, len) : 0;
    if (!old_format(link)) {
        std::string text(code ? code : "", n);
        return send_json(link, DUVO_CMD_C2P_PIN_VERIFICATION, {txt("pair_code", text.c_str())},
                         "create pin verification root node fail\n");
    }
    return duvo_send_cmd(link, n, code, DUVO_CMD_C2P_PIN_VERIFICATION);
}

int duvo_send_phone_lock(duvo_link *link, int value) {
    if (!old_format(link))
        return send_json(link, DUVO_CMD_C2P_LOCK_PHONE, {num("phone_lock", value)},
                         "create phone lock root node fail\n");
    return send_le32(link, DUVO_CMD_C2P_LOCK_PHONE, uint32_t(value));
}

int duvo_send_connect_type(duvo_link *link, int connect_type) {
    return send_le32(link, DUVO_CMD_C2P_PHONE_CONNECT_TYPE, uint32_t(connect_type));
}

int duvo_send_sw_version(duvo_link *link, const char *version) {
    return send_text_old(link, DUVO_CMD_COM_SW_VERSION, version);
}

int duvo_send_pair_conv_id(duvo_link *link, const char conv_id[48]) {
    uint8_t body[k_conv_id_size] = {};
    if (conv_id) std::memcpy(body, conv_id, strnlen(conv_id, k_conv_id_size));
    return duvo_send_cmd(link, sizeof body, body, DUVO_CMD_C2P_PAIR_CONV_ID);
}

int duvo_send_duvo_cfg(duvo_link *link, const char *duvo_version, int connect_type,
                       const char *conv_id) {
    std::string conv(conv_id ? conv_id : "", conv_id ? strnlen(conv_id, k_conv_id_size) : 0);
    return send_json(link, DUVO_CMD_C2P_DUVO_CFG,
                     {txt("duvo_version", duvo_version), num("connect_type", connect_type),
                      txt("pair_conv_id", conv.c_str()), num("media_ctl", k_media_ctl),
                      txt("duvo_oem", k_duvo_oem)},
                     "create duvo cfg root node fail\n");
}

int duvo_send_pc_status(duvo_link *link, int pc_status) {
    return send_json(link, DUVO_CMD_C2P_UPDATE_PC_STATUS, {num("pc_status", pc_status)},
                     "create pc status root node fail\n");
}

int duvo_send_device_active(duvo_link *link, uint32_t port, const char *key) {
    size_t key_len = key ? strnlen(key, DUVO_KEY_SIZE) : 0;
    if (!old_format(link)) {
        std::string k(key ? key : "", key_len);
        return send_json(
            link, DUVO_CMD_C2P_DEVICE_ACTIVE,
            {num("rtp_port", port), txt("srtp_key", k.c_str()), txt("codec_name", link->codec_name),
             num("codec_samplerate", link->codec_samplerate)},
            "create call start info root node fail\n");
    }
    uint8_t body[k_device_active_body_size] = {};
    body[0] = uint8_t(port >> 24);
    body[1] = uint8_t(port >> 16);
    body[2] = uint8_t(port >> 8);
    body[3] = uint8_t(port);
    if (key_len) std::memcpy(body + 4, key, key_len);
    return duvo_send_cmd(link, sizeof body, body, DUVO_CMD_C2P_DEVICE_ACTIVE);
}

int duvo_send_device_update(duvo_link *link, const char *display_name, const char *conversation_id,
                            int inc_call_type) {
    if (!old_format(link))
        return send_json(
            link, DUVO_CMD_C2P_DEVICE_UPDATE,
            {txt("display_name", display_name), txt("conversation_id", conversation_id),
             num("inc_call_type", inc_call_type)},
            "create device update root node fail\n");
    return send_text_old(link, DUVO_CMD_C2P_DEVICE_UPDATE, display_name);
}

int duvo_send_call_mute_user(duvo_link *link, uint8_t mute_status) {
    if (!old_format(link))
        return send_json(link, DUVO_CMD_C2P_CALL_MUTE_USER, {num("mute_status", mute_status)},
                         "create call mute user root node fail\n");
    return duvo_send_cmd(link, 1, &mute_status, DUVO_CMD_C2P_CALL_MUTE_USER);
}

int duvo_send_set_as_mic(duvo_link *link, int active) {
    return send_json(link, DUVO_CMD_C2P_DEVICE_SET_AS_MIC, {num("active", active)},
                     "DUVO_CMD_C2P_DEVICE_SET_AS_MIC root node fail\n");
}

int duvo_send_current_volume(duvo_link *link, int volume) {
    return send_json(link, DUVO_CMD_C2P_CURRENT_VOLUME, {num("cur_volume", volume)},
                     "DUVO_CMD_C2P_CURRENT_VOLUME root node fail\n");
}

int duvo_send_zoom_rooms_state(duvo_link *link, int type, int state) {
    return send_json(link, DUVO_CMD_C2P_ZOOM_ROOMS_STATE, {num("type", type), num("state", state)},
                     "DUVO_CMD_C2P_ZOOM_ROOMS_STATE root node fail\n");
}

int duvo_send_speaker_mute(duvo_link *link, int mute) {
    return send_json(link, DUVO_CMD_C2P_SPEAKER_MUTE, {num("speaker_mute", mute)},
                     "DUVO_CMD_C2P_SPEAKER_MUTE root node fail\n");
}

void duvo_report_pc_state(duvo_link *link) {
    int status = link->status;
    if (status == STATUS_IDLE) return;
    int pc_status = link->pc_status;
    if (link->msg_version >= 2) {
        duvo_send_pc_status(link, pc_status);
        return;
    }
    // Older phones only know lock or unlock, and only once signed in.
    if (status == STATUS_PAIREDSIGNIN) duvo_send_phone_lock(link, pc_status != 0 ? 1 : 0);
}
