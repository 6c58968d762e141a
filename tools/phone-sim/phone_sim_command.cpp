#include "tools/phone-sim/phone_sim_command.h"

#include <cjson/cJSON.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "tools/phone-sim/phone_sim_print.h"

namespace {

constexpr long SLEEP_MS_MAX = 3600 * 1000;
constexpr int CMD_ID_COUNT = 256;
// The largest body any framing carries.
constexpr size_t BODY_MAX = 2036;

int parse_int(const std::string &text, long lo, long hi, int *out) {
    errno = 0;
    char *end = nullptr;
    long v = strtol(text.c_str(), &end, 0);
    if (text.empty() || errno != 0 || *end != '\0' || v < lo || v > hi) return -1;
    *out = int(v);
    return 0;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int parse_body(const std::string &text, phone_sim_command *out, std::string *err) {
    if (text.empty()) return 0;
    if (text[0] == '{') {
        cJSON *root = cJSON_Parse(text.c_str());
        bool ok = root && cJSON_IsObject(root);
        cJSON_Delete(root);
        if (!ok) return *err = "body is not a JSON object", -1;
        out->body_kind = PHONE_SIM_BODY_JSON;
        out->body.assign(text.begin(), text.end());
        return 0;
    }
    out->body_kind = PHONE_SIM_BODY_BYTES;
    if (text.rfind("hex:", 0) == 0) {
        std::string digits = text.substr(4);
        if (digits.size() % 2 != 0) return *err = "hex body needs an even number of digits", -1;
        for (size_t i = 0; i < digits.size(); i += 2) {
            int hi = hex_value(digits[i]), lo = hex_value(digits[i + 1]);
            if (hi < 0 || lo < 0) return *err = "bad hex digit in body", -1;
            out->body.push_back(uint8_t(hi << 4 | lo));
        }
    } else {
        out->body.assign(text.begin(), text.end());
        out->body.push_back(0);  // texts travel with their NUL
    }
    if (out->body.size() > BODY_MAX) return *err = "body longer than 2036 bytes", -1;
    return 0;
}

// The rest of the line after the first n words, leading blanks removed.
std::string rest_after_words(const std::string &line, int n) {
    size_t pos = 0;
    for (int w = 0; w < n; w++) {
        pos = line.find_first_not_of(" \t", pos);
        if (pos == std::string::npos) return {};
        pos = line.find_first_of(" \t", pos);
        if (pos == std::string::npos) return {};
    }
    pos = line.find_first_not_of(" \t", pos);
    if (pos == std::string::npos) return {};
    std::string rest = line.substr(pos);
    size_t end = rest.find_last_not_of(" \t\r");
    return rest.substr(0, end + 1);
}

}  // namespace

int phone_sim_parse_cmd_id(const std::string &text, uint8_t *id) {
    int n = 0;
    if (parse_int(text, 0, CMD_ID_COUNT - 1, &n) == 0) {
        *id = uint8_t(n);
        return 0;
    }
    for (int i = 0; i < CMD_ID_COUNT; i++) {
        if (phone_sim_cmd_name(i) == text) {
            *id = uint8_t(i);
            return 0;
        }
    }
    return -1;
}

int phone_sim_parse_command(const std::string &line, phone_sim_command *out, std::string *err) {
    *out = phone_sim_command{};
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    if (words.empty() || words[0][0] == '#') return 0;

    const std::string &verb = words[0];
    size_t argc = words.size() - 1;
    auto want = [&](size_t n) {
        if (argc == n) return true;
        *err = verb + ": expected " + std::to_string(n) + " argument(s)";
        return false;
    };
    struct simple {
        const char *verb;
        phone_sim_cmd_kind kind;
    };
    static const simple simple_verbs[] = {
        {"hangup", PHONE_SIM_CMD_HANGUP},       {"unpair", PHONE_SIM_CMD_UNPAIR},
        {"active-ok", PHONE_SIM_CMD_ACTIVE_OK}, {"active-failed", PHONE_SIM_CMD_ACTIVE_FAILED},
        {"silent", PHONE_SIM_CMD_SILENT},       {"talk", PHONE_SIM_CMD_TALK},
        {"close", PHONE_SIM_CMD_CLOSE},         {"quit", PHONE_SIM_CMD_QUIT},
        {"rekey", PHONE_SIM_CMD_REKEY},
    };
    for (const simple &s : simple_verbs) {
        if (verb != s.verb) continue;
        if (!want(0)) return -1;
        out->kind = s.kind;
        return 0;
    }
    if (verb == "zoom") {
        if (!want(2)) return -1;
        if (parse_int(words[1], INT32_MIN, INT32_MAX, &out->arg1) != 0 ||
            parse_int(words[2], INT32_MIN, INT32_MAX, &out->arg2) != 0)
            return *err = "zoom: command and value must be numbers", -1;
        out->kind = PHONE_SIM_CMD_ZOOM;
        return 0;
    }
    if (verb == "pair-mode-switch") {
        if (!want(1)) return -1;
        if (parse_int(words[1], 0, 1, &out->arg1) != 0)
            return *err = "pair-mode-switch: mode must be 0 or 1", -1;
        out->kind = PHONE_SIM_CMD_PAIR_MODE_SWITCH;
        return 0;
    }
    if (verb == "sleep") {
        if (!want(1)) return -1;
        if (parse_int(words[1], 0, SLEEP_MS_MAX, &out->arg1) != 0)
            return *err = "sleep: milliseconds expected", -1;
        out->kind = PHONE_SIM_CMD_SLEEP;
        return 0;
    }
    if (verb == "send") {
        if (argc < 1) return *err = "send: command id expected", -1;
        if (phone_sim_parse_cmd_id(words[1], &out->id) != 0)
            return *err = "send: unknown command '" + words[1] + "'", -1;
        if (parse_body(rest_after_words(line, 2), out, err) != 0) return -1;
        out->kind = PHONE_SIM_CMD_SEND;
        return 0;
    }
    *err = "unknown command '" + verb + "'";
    return -1;
}
