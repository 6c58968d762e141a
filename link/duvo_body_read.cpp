#include <cjson/cJSON.h>

#include <algorithm>
#include <cstring>

#include "link/duvo_body.h"
#include "platform/log.h"

namespace {

constexpr size_t k_le32_size = 4;

// Parsed JSON body, released on scope exit. The body need not end in NUL.
struct json_doc {
    cJSON *root;
    json_doc(const uint8_t *body, size_t len)
        : root(body && len ? cJSON_ParseWithLength(reinterpret_cast<const char *>(body), len)
                           : nullptr) {
        if (root && !cJSON_IsObject(root)) {
            cJSON_Delete(root);
            root = nullptr;
        }
    }
    ~json_doc() { cJSON_Delete(root); }
    json_doc(const json_doc &) = delete;
    json_doc &operator=(const json_doc &) = delete;
};

// cJSON_GetObjectItem matches keys without regard to case.
const cJSON *item(const json_doc &d, const char *key) {
    return d.root ? cJSON_GetObjectItem(d.root, key) : nullptr;
}

// A number's integer value, or def when absent or not a number.
int number(const json_doc &d, const char *key, int def) {
    const cJSON *it = item(d, key);
    return cJSON_IsNumber(it) ? it->valueint : def;
}

const char *text(const json_doc &d, const char *key) {
    const cJSON *it = item(d, key);
    return cJSON_IsString(it) ? it->valuestring : nullptr;
}

// NUL-ended copy of at most cap - 1 bytes; a cut is logged.
size_t copy_text(const char *src, size_t len, char *out, size_t cap) {
    size_t n = strnlen(src, len);
    if (n >= cap) {
        log_print(0, LL_WARN, "received text of %zu bytes cut to %zu\n", n, cap - 1);
        n = cap - 1;
    }
    std::memcpy(out, src, n);
    out[n] = '\0';
    return n;
}

size_t copy_json_text(const char *src, char *out, size_t cap) {
    return copy_text(src, std::strlen(src), out, cap);
}

int32_t get_le32(const uint8_t *p) {
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                   uint32_t(p[3]) << 24);
}

}  // namespace

size_t duvo_read_text(const uint8_t *body, size_t len, char *out, size_t cap) {
    if (cap == 0) return 0;
    if (!body || len == 0) {
        out[0] = '\0';
        return 0;
    }
    return copy_text(reinterpret_cast<const char *>(body), len, out, cap);
}

int duvo_read_u16_net(const uint8_t *body, size_t len, uint16_t *out) {
    if (!body || len < 2) {
        log_print(0, LL_WARN, "received body of %zu bytes has no 16-bit value\n", len);
        return -1;
    }
    *out = uint16_t(body[0] << 8 | body[1]);
    return 0;
}

int duvo_read_dev_info(const uint8_t *body, size_t len, duvo_dev_info *out) {
    std::memset(out, 0, sizeof *out);
    json_doc d(body, len);
    if (!d.root) {
        log_print(0, LL_WARN, "device info body is not JSON\n");
        return -1;
    }
    out->device_vid = number(d, "device_vid", 0);
    out->device_pid = number(d, "device_pid", 0);
    out->device_rev = number(d, "device_rev", 0);
    out->codec_samplerate = number(d, "codec_samplerate", 0);
    const char *sw = text(d, "sw_version"), *url = text(d, "update_url"),
               *gruu = text(d, "device_gruu"), *name = text(d, "device_name"),
               *sip = text(d, "sip_version"), *codec = text(d, "codec_name");
    if (sw && url && gruu && name && sip && codec) {
        copy_json_text(sw, out->sw_version, sizeof out->sw_version);
        copy_json_text(url, out->update_url, sizeof out->update_url);
        copy_json_text(gruu, out->device_gruu, sizeof out->device_gruu);
        copy_json_text(name, out->device_name, sizeof out->device_name);
        copy_json_text(sip, out->sip_version, sizeof out->sip_version);
        copy_json_text(codec, out->codec_name, sizeof out->codec_name);
        out->texts_present = 1;
    }
    return 0;
}

int duvo_read_paired_info(int ver, const uint8_t *body, size_t len, pair_conv_info *out) {
    std::memset(out, 0, sizeof *out);
    if (len == k_le32_size) return DUVO_PAIRED_CONFLICT;
    if (!body || len == 0) return 0;
    if (ver != 0) {
        json_doc d(body, len);
        const char *ip = text(d, "phone_ip"), *mac = text(d, "phone_mac"),
                   *name = text(d, "phone_name"), *conv = text(d, "pair_conv_id");
        if (ip && mac && name && conv) {
            copy_json_text(ip, out->phone_ip, sizeof out->phone_ip);
            copy_json_text(mac, out->phone_mac, sizeof out->phone_mac);
            copy_json_text(name, out->phone_name, sizeof out->phone_name);
            copy_json_text(conv, out->conv_id, sizeof out->conv_id);
        }
        return 0;
    }
    if (len < PAIR_CONV_INFO_WIRE_SIZE)
        log_print(0, LL_WARN, "paired info body of %zu bytes is short\n", len);
    // The fixed fields in wire order; whatever the body lacks stays empty.
    const struct {
        char *dst;
        size_t size;
    } fields[] = {{out->phone_mac, PAIR_MAC_SIZE},
                  {out->phone_ip, PAIR_IP_SIZE},
                  {out->phone_name, PAIR_NAME_SIZE},
                  {out->conv_id, PAIR_CONV_SIZE}};
    size_t off = 0;
    for (const auto &f : fields) {
        if (off >= len) break;
        size_t n = std::min(f.size, len - off);
        std::memcpy(f.dst, body + off, n);  // dst has size + 1 bytes, already zero
        off += f.size;
    }
    return 0;
}

int duvo_read_gruu(int ver, const uint8_t *body, size_t len, char *out, size_t cap) {
    if (ver == 0) {
        duvo_read_text(body, len, out, cap);
        return 1;
    }
    json_doc d(body, len);
    const char *g = text(d, "device_gruu");
    if (!g) return 0;
    copy_json_text(g, out, cap);
    return 1;
}

int duvo_read_syslog_info(const uint8_t *body, size_t len) {
    json_doc d(body, len);
    return number(d, "operate_type", 0);
}

int duvo_read_verification_result(int ver, const uint8_t *body, size_t len) {
    if (ver == 0) {
        if (!body || len < k_le32_size) {
            log_print(0, LL_WARN, "verification result body of %zu bytes is short\n", len);
            return 1;
        }
        return get_le32(body);
    }
    json_doc d(body, len);
    if (!d.root) return 1;
    return number(d, "pair_code_ver_result", 0);
}

int duvo_read_pair_mode(int ver, const uint8_t *body, size_t len, int *mode) {
    if (!body || len == 0) return -1;
    if (ver == 0) {
        *mode = body[0];
        return 0;
    }
    json_doc d(body, len);
    if (!d.root) return -1;
    *mode = number(d, "pair_mode", 0);
    return 0;
}

int duvo_read_update_url(int ver, const uint8_t *body, size_t len, char *out, size_t cap) {
    if (ver == 0) {
        if (!body || len == 0) return 0;
        duvo_read_text(body, len, out, cap);
        return 1;
    }
    json_doc d(body, len);
    const char *u = text(d, "update_url");
    if (!u) return 0;
    copy_json_text(u, out, cap);
    return 1;
}

int duvo_read_call_start(int ver, const uint8_t *body, size_t len, uint32_t *port,
                         char key[DUVO_KEY_SIZE]) {
    key[0] = '\0';
    if (ver == 0) {
        if (!body || len < k_le32_size) {
            log_print(0, LL_WARN, "call start body of %zu bytes has no port\n", len);
            return -1;
        }
        *port = uint32_t(body[0]) << 24 | uint32_t(body[1]) << 16 | uint32_t(body[2]) << 8 |
                uint32_t(body[3]);
        duvo_read_text(body + k_le32_size, len - k_le32_size, key, DUVO_KEY_SIZE);
        return 0;
    }
    json_doc d(body, len);
    if (!d.root) {
        log_print(0, LL_WARN, "call start body is not JSON\n");
        return -1;
    }
    *port = uint32_t(number(d, "rtp_port", 0));
    // The phone spells the key member this way.
    const char *k = text(d, "strp_key");
    if (k) copy_json_text(k, key, DUVO_KEY_SIZE);
    return 0;
}

void duvo_read_call_end(int ver, const uint8_t *body, size_t len, int *hung_up, int *need_clean) {
    *hung_up = 0;
    *need_clean = 1;
    if (ver == 0) {
        if (body && len >= k_le32_size)
            *hung_up = get_le32(body);
        else
            log_print(0, LL_WARN, "call end body of %zu bytes is short\n", len);
        return;
    }
    json_doc d(body, len);
    *hung_up = number(d, "hung_up", 0);
    *need_clean = number(d, "need_clean", 1);
}

int duvo_read_dtmf_key(int ver, const uint8_t *body, size_t len) {
    if (ver == 0) return body && len ? body[0] : 0;
    json_doc d(body, len);
    return number(d, "dtmf_key", 0);
}

int duvo_read_zoom_command(const uint8_t *body, size_t len, int *command, int *value) {
    json_doc d(body, len);
    if (!d.root) return -1;
    *command = number(d, "command", 0);
    *value = number(d, "value", 0);
    return 0;
}
