#include "tools/phone-sim/phone_sim_bodies.h"

#include <cjson/cJSON.h>

#include <cstring>
#include <memory>

namespace {

// Old-format PAIRED_INFO: four zero-filled text fields.
constexpr size_t MAC_FIELD = 32, IP_FIELD = 32, NAME_FIELD = 32, CONV_FIELD = 48;
constexpr size_t PAIRED_INFO_OLD_SIZE = MAC_FIELD + IP_FIELD + NAME_FIELD + CONV_FIELD;
constexpr size_t OLD_PORT_SIZE = 4;

struct json_deleter {
    void operator()(cJSON *j) const { cJSON_Delete(j); }
};
typedef std::unique_ptr<cJSON, json_deleter> json_ptr;

phone_sim_bytes print_json(cJSON *root) {
    char *text = cJSON_Print(root);
    phone_sim_bytes out;
    if (text) {
        out.assign(text, text + strlen(text) + 1);
        cJSON_free(text);
    }
    return out;
}

json_ptr parse_json(const uint8_t *body, size_t len) {
    if (!body || len == 0) return nullptr;
    return json_ptr(cJSON_ParseWithLength(reinterpret_cast<const char *>(body), len));
}

void put_field(phone_sim_bytes &out, size_t at, size_t field, const std::string &text) {
    // Texts keep at least one zero byte at the end of their field.
    size_t n = std::min(text.size(), field - 1);
    memcpy(out.data() + at, text.data(), n);
}

phone_sim_bytes le32(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

// Text up to the first NUL or the end of the bytes.
std::string bounded_text(const uint8_t *p, size_t len) {
    const void *nul = memchr(p, 0, len);
    size_t n = nul ? size_t(static_cast<const uint8_t *>(nul) - p) : len;
    return std::string(reinterpret_cast<const char *>(p), n);
}

}  // namespace

phone_sim_bytes phone_sim_json_body(const std::string &json_text) {
    json_ptr root(cJSON_Parse(json_text.c_str()));
    if (!root) return {};
    return print_json(root.get());
}

phone_sim_bytes phone_sim_paired_info_body(bool new_format, const phone_sim_options *o,
                                           const std::string &conv_id) {
    const std::string &ip = phone_sim_own_ip(o);
    if (!new_format) {
        phone_sim_bytes out(PAIRED_INFO_OLD_SIZE, 0);
        put_field(out, 0, MAC_FIELD, o->phone_mac);
        put_field(out, MAC_FIELD, IP_FIELD, ip);
        put_field(out, MAC_FIELD + IP_FIELD, NAME_FIELD, o->phone_name);
        put_field(out, MAC_FIELD + IP_FIELD + NAME_FIELD, CONV_FIELD, conv_id);
        return out;
    }
    json_ptr root(cJSON_CreateObject());
    cJSON_AddStringToObject(root.get(), "phone_ip", ip.c_str());
    cJSON_AddStringToObject(root.get(), "phone_mac", o->phone_mac.c_str());
    cJSON_AddStringToObject(root.get(), "phone_name", o->phone_name.c_str());
    cJSON_AddStringToObject(root.get(), "pair_conv_id", conv_id.c_str());
    return print_json(root.get());
}

phone_sim_bytes phone_sim_dev_info_body(const phone_sim_options *o) {
    json_ptr root(cJSON_CreateObject());
    cJSON *r = root.get();
    cJSON_AddStringToObject(r, "sw_version", o->sw_version.c_str());
    cJSON_AddStringToObject(r, "update_url", o->update_url.c_str());
    cJSON_AddStringToObject(r, "device_gruu", o->device_gruu.c_str());
    cJSON_AddStringToObject(r, "device_name", o->device_name.c_str());
    cJSON_AddStringToObject(r, "sip_version", o->sip_version.c_str());
    cJSON_AddStringToObject(r, "codec_name", o->codec_name.c_str());
    cJSON_AddNumberToObject(r, "device_vid", o->device_vid);
    cJSON_AddNumberToObject(r, "device_pid", o->device_pid);
    cJSON_AddNumberToObject(r, "device_rev", o->device_rev);
    if (o->send_samplerate) cJSON_AddNumberToObject(r, "codec_samplerate", o->codec_samplerate);
    return print_json(r);
}

phone_sim_bytes phone_sim_text_body(const std::string &text) {
    phone_sim_bytes out(text.begin(), text.end());
    out.push_back(0);
    return out;
}

phone_sim_bytes phone_sim_u16_net_body(int value) {
    return {uint8_t(unsigned(value) >> 8), uint8_t(value)};
}

phone_sim_bytes phone_sim_pair_mode_body(bool new_format, int mode) {
    if (!new_format) return {uint8_t(mode)};
    json_ptr root(cJSON_CreateObject());
    cJSON_AddNumberToObject(root.get(), "pair_mode", mode);
    return print_json(root.get());
}

phone_sim_bytes phone_sim_verification_body(bool new_format, int result) {
    if (!new_format) return le32(uint32_t(result));
    json_ptr root(cJSON_CreateObject());
    cJSON_AddNumberToObject(root.get(), "pair_code_ver_result", result);
    return print_json(root.get());
}

phone_sim_bytes phone_sim_call_end_body(bool new_format, int hung_up) {
    if (!new_format) return le32(uint32_t(hung_up));
    json_ptr root(cJSON_CreateObject());
    cJSON_AddNumberToObject(root.get(), "hung_up", hung_up);
    cJSON_AddNumberToObject(root.get(), "need_clean", 1);
    return print_json(root.get());
}

phone_sim_bytes phone_sim_zoom_body(int command, int value) {
    json_ptr root(cJSON_CreateObject());
    cJSON_AddNumberToObject(root.get(), "command", command);
    cJSON_AddNumberToObject(root.get(), "value", value);
    return print_json(root.get());
}

phone_sim_bytes phone_sim_call_start_body(bool new_format, uint32_t rtp_port,
                                          const std::string &key) {
    std::string k = key.substr(0, PHONE_SIM_KEY_SIZE - 1);
    if (!new_format) {
        phone_sim_bytes out = {uint8_t(rtp_port >> 24), uint8_t(rtp_port >> 16),
                               uint8_t(rtp_port >> 8), uint8_t(rtp_port)};
        out.insert(out.end(), k.begin(), k.end());
        out.push_back(0);
        return out;
    }
    json_ptr root(cJSON_CreateObject());
    cJSON_AddNumberToObject(root.get(), "rtp_port", rtp_port);
    // The PC reads the phone's key under this spelling.
    cJSON_AddStringToObject(root.get(), "strp_key", k.c_str());
    return print_json(root.get());
}

int phone_sim_read_pair_code(bool new_format, const uint8_t *body, size_t len, std::string *code) {
    if (!body || len == 0) return -1;
    if (!new_format) {
        *code = bounded_text(body, len);
        return 0;
    }
    json_ptr root = parse_json(body, len);
    cJSON *item = root ? cJSON_GetObjectItemCaseSensitive(root.get(), "pair_code") : nullptr;
    if (!cJSON_IsString(item)) return -1;
    *code = item->valuestring;
    return 0;
}

int phone_sim_read_conv_id(bool new_format, const uint8_t *body, size_t len, std::string *conv_id) {
    if (!body || len == 0) return -1;
    if (!new_format) {
        *conv_id = bounded_text(body, std::min(len, CONV_FIELD));
        return 0;
    }
    json_ptr root = parse_json(body, len);
    cJSON *item = root ? cJSON_GetObjectItemCaseSensitive(root.get(), "pair_conv_id") : nullptr;
    if (!cJSON_IsString(item)) return -1;
    *conv_id = std::string(item->valuestring).substr(0, CONV_FIELD - 1);
    return 0;
}

int phone_sim_read_device_active(bool new_format, const uint8_t *body, size_t len,
                                 phone_sim_device_active *out) {
    if (!body || len == 0) return -1;
    if (!new_format) {
        if (len < OLD_PORT_SIZE) return -1;
        out->pc_rtp_port =
            uint32_t(body[0]) << 24 | uint32_t(body[1]) << 16 | uint32_t(body[2]) << 8 | body[3];
        out->srtp_key =
            bounded_text(body + OLD_PORT_SIZE, std::min(len - OLD_PORT_SIZE, PHONE_SIM_KEY_SIZE));
        return 0;
    }
    json_ptr root = parse_json(body, len);
    if (!root) return -1;
    cJSON *port = cJSON_GetObjectItemCaseSensitive(root.get(), "rtp_port");
    if (!cJSON_IsNumber(port)) return -1;
    out->pc_rtp_port = uint32_t(port->valueint);
    cJSON *key = cJSON_GetObjectItemCaseSensitive(root.get(), "srtp_key");
    if (cJSON_IsString(key))
        out->srtp_key = std::string(key->valuestring).substr(0, PHONE_SIM_KEY_SIZE);
    cJSON *codec = cJSON_GetObjectItemCaseSensitive(root.get(), "codec_name");
    if (cJSON_IsString(codec)) out->codec_name = codec->valuestring;
    cJSON *rate = cJSON_GetObjectItemCaseSensitive(root.get(), "codec_samplerate");
    if (cJSON_IsNumber(rate)) out->codec_samplerate = rate->valueint;
    return 0;
}
