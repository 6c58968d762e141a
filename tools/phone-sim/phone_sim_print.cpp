#include "tools/phone-sim/phone_sim_print.h"

#include <cjson/cJSON.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "link/duvo_cmd.h"

namespace {

constexpr size_t LINE_MAX_CHARS = 8192;
constexpr const char *UNDEFINED_NAME = "undefined Duvo msg id.";

std::mutex g_stdout_lock;

void stdout_line(void *, const char *text) {
    std::lock_guard<std::mutex> hold(g_stdout_lock);
    fputs(text, stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

// A body is shown as text when it is printable up to an optional final NUL.
bool is_text(const uint8_t *body, size_t len) {
    if (len > 0 && body[len - 1] == 0) len--;
    if (len == 0) return false;
    for (size_t i = 0; i < len; i++) {
        if (body[i] < 0x20 || body[i] >= 0x7f) return false;
    }
    return true;
}

std::string hex_text(const uint8_t *body, size_t len) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "hex:";
    for (size_t i = 0; i < len; i++) {
        out += digits[body[i] >> 4];
        out += digits[body[i] & 0xf];
    }
    return out;
}

std::string json_text(const uint8_t *body, size_t len) {
    if (len == 0 || body[0] != '{') return {};
    cJSON *root = cJSON_ParseWithLength(reinterpret_cast<const char *>(body), len);
    if (!root) return {};
    char *printed = cJSON_PrintUnformatted(root);
    std::string out = printed ? printed : "";
    cJSON_free(printed);
    cJSON_Delete(root);
    return out;
}

}  // namespace

phone_sim_printer phone_sim_stdout_printer() {
    return {stdout_line, nullptr};
}

void phone_sim_print(const phone_sim_printer *p, const char *fmt, ...) {
    char text[LINE_MAX_CHARS];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (p && p->line) p->line(p->ctx, text);
}

std::string phone_sim_cmd_name(int id) {
    const char *name = duvo_cmd_name(id);
    if (strcmp(name, UNDEFINED_NAME) != 0) return name;
    // Two commands the shared name table never carried.
    if (id == DUVO_CMD_P2C_CLIENT_INACTIVE) return "DUVO_CMD_P2C_CLIENT_INACTIVE";
    if (id == DUVO_CMD_C2P_PAIR_CANCELLED) return "DUVO_CMD_C2P_PAIR_CANCELLED";
    char buf[16];
    snprintf(buf, sizeof buf, "CMD_0x%02x", unsigned(id) & 0xffu);
    return buf;
}

std::string phone_sim_body_text(const uint8_t *body, size_t len) {
    if (!body || len == 0) return {};
    std::string json = json_text(body, len);
    if (!json.empty()) return json;
    if (is_text(body, len)) {
        size_t n = body[len - 1] == 0 ? len - 1 : len;
        return "\"" + std::string(reinterpret_cast<const char *>(body), n) + "\"";
    }
    return hex_text(body, len);
}
