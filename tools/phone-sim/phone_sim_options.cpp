#include "tools/phone-sim/phone_sim_options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/pulse-mark/pulse_mark.h"

namespace {

constexpr long PORT_MAX = 65535;
constexpr long U16_MAX = 0xffff;
constexpr long FORMAT_VERSION_MAX = 255;
constexpr long ANNOUNCE_MS_MIN = 10;
constexpr long ANNOUNCE_MS_MAX = 3600 * 1000;
constexpr long RATE_MAX = 192000;
// Fixed fields of the old-format bodies (with their NUL) bound the texts.
constexpr size_t IDENTITY_FIELD = 32;
constexpr size_t CONV_ID_FIELD = 48;
constexpr size_t NAME_FIELD = 128;
constexpr size_t SHORT_FIELD = 32;
constexpr size_t LONG_FIELD = 512;

const char USAGE[] =
    "usage: phone-sim [options]\n"
    "  --port N              TCP port to listen on (default 7063; 0 picks a free one)\n"
    "  --bind ADDR           address to listen on (default 127.0.0.1)\n"
    "  --tls | --plain       TLS with certificates on both sides (default) or plain TCP\n"
    "  --old-format          behave as an old phone (old framing only)\n"
    "  --format-version N    version byte of new-framing messages (default 2)\n"
    "  --pair-mode 0|1       1: the PC must send the code shown on the phone\n"
    "  --code CODE           pairing code (default: 6 random digits)\n"
    "  --announce PORT       send discovery announcements to this UDP port\n"
    "  --announce-to ADDR    destination of the announcements (default 127.0.0.1)\n"
    "  --announce-interval MS  period of the announcements (default 1000)\n"
    "  --mac TEXT --ip ADDR --phone-name TEXT --conv-id TEXT   identity\n"
    "  --no-remember         do not keep the PC's conversation id for the next pairing\n"
    "  --name TEXT --vid N --pid N --rev N --codec TEXT --codec-rate N\n"
    "  --no-codec-rate --sw-version TEXT --sip-version TEXT --update-url TEXT\n"
    "  --gruu TEXT           device information\n"
    "  --active ok|failed|none   answer to the PC's identity (default ok)\n"
    "  --no-keepalive        do not answer keepalives\n"
    "  --script FILE         read commands from FILE instead of standard input\n"
    "  --media-tone HZ       tone the phone plays in a call (default 440)\n"
    "  --media-wav FILE      WAV file the phone plays in a call instead of the tone\n"
    "  --record FILE         save the audio received in a call to FILE (WAV)\n"
    "  --media-pulses MS     play a pulse train (a short burst every MS ms) instead\n"
    "  --media-timestamps FILE  append the monotonic time of every pulse onset sent\n"
    "                        and received in a call to FILE\n"
    "  --help\n";

int parse_long(const char *text, long lo, long hi, long *out) {
    errno = 0;
    char *end = nullptr;
    long v = strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return -1;
    *out = v;
    return 0;
}

bool is_ipv4(const std::string &text) {
    in_addr a;
    return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

struct parser {
    int argc;
    char **argv;
    int i;
    std::string *msg;

    // The value following the option at i, or null (with the reason stored).
    const char *value() {
        if (i + 1 >= argc) {
            *msg = std::string("option ") + argv[i] + " needs a value";
            return nullptr;
        }
        return argv[++i];
    }
    int number(long lo, long hi, int *out) {
        const char *opt = argv[i];
        const char *v = value();
        long n = 0;
        if (!v) return -1;
        if (parse_long(v, lo, hi, &n) != 0) {
            *msg = std::string("option ") + opt + ": bad number '" + v + "'";
            return -1;
        }
        *out = int(n);
        return 0;
    }
    int text(size_t cap, std::string *out) {
        const char *opt = argv[i];
        const char *v = value();
        if (!v) return -1;
        if (strlen(v) >= cap) {
            *msg = std::string("option ") + opt + ": text longer than " + std::to_string(cap - 1);
            return -1;
        }
        *out = v;
        return 0;
    }
    int address(std::string *out) {
        const char *opt = argv[i];
        if (text(IDENTITY_FIELD, out) != 0) return -1;
        if (!is_ipv4(*out)) {
            *msg = std::string("option ") + opt + ": not an IPv4 address '" + *out + "'";
            return -1;
        }
        return 0;
    }
};

int parse_one(parser &p, phone_sim_options *o) {
    std::string a = p.argv[p.i];
    if (a == "--port") return p.number(0, PORT_MAX, &o->port);
    if (a == "--bind") return p.address(&o->bind_addr);
    if (a == "--tls") return o->tls = true, 0;
    if (a == "--plain") return o->tls = false, 0;
    if (a == "--old-format") return o->new_format = false, 0;
    if (a == "--format-version") return p.number(1, FORMAT_VERSION_MAX, &o->format_version);
    if (a == "--pair-mode") return p.number(0, 1, &o->pair_mode);
    if (a == "--code") {
        if (p.text(IDENTITY_FIELD, &o->pair_code) != 0) return -1;
        if (o->pair_code.empty()) return *p.msg = "option --code: empty code", -1;
        return 0;
    }
    if (a == "--announce") return p.number(1, PORT_MAX, &o->announce_port);
    if (a == "--announce-to") return p.address(&o->announce_to);
    if (a == "--announce-interval")
        return p.number(ANNOUNCE_MS_MIN, ANNOUNCE_MS_MAX, &o->announce_interval_ms);
    if (a == "--mac") return p.text(IDENTITY_FIELD, &o->phone_mac);
    if (a == "--ip") return p.address(&o->phone_ip);
    if (a == "--phone-name") return p.text(IDENTITY_FIELD, &o->phone_name);
    if (a == "--conv-id") return p.text(CONV_ID_FIELD, &o->pair_conv_id);
    if (a == "--no-remember") return o->remember_conv_id = false, 0;
    if (a == "--name") return p.text(NAME_FIELD, &o->device_name);
    if (a == "--vid") return p.number(0, U16_MAX, &o->device_vid);
    if (a == "--pid") return p.number(0, U16_MAX, &o->device_pid);
    if (a == "--rev") return p.number(0, U16_MAX, &o->device_rev);
    if (a == "--codec") return p.text(SHORT_FIELD, &o->codec_name);
    if (a == "--codec-rate") return p.number(0, RATE_MAX, &o->codec_samplerate);
    if (a == "--no-codec-rate") return o->send_samplerate = false, 0;
    if (a == "--sw-version") return p.text(NAME_FIELD, &o->sw_version);
    if (a == "--sip-version") return p.text(SHORT_FIELD, &o->sip_version);
    if (a == "--update-url") return p.text(LONG_FIELD, &o->update_url);
    if (a == "--gruu") return p.text(LONG_FIELD, &o->device_gruu);
    if (a == "--active") {
        const char *v = p.value();
        if (!v) return -1;
        std::string s = v;
        if (s == "ok") return o->active = PHONE_SIM_ACTIVE_OK, 0;
        if (s == "failed") return o->active = PHONE_SIM_ACTIVE_FAILED, 0;
        if (s == "none") return o->active = PHONE_SIM_ACTIVE_NONE, 0;
        return *p.msg = "option --active: expected ok, failed or none", -1;
    }
    if (a == "--no-keepalive") return o->answer_keepalive = false, 0;
    if (a == "--script") return p.text(4096, &o->script);
    if (a == "--media-tone") {
        int hz = 0;
        if (p.number(20, 7000, &hz) != 0) return -1;
        o->media_tone_hz = hz;
        return 0;
    }
    if (a == "--media-wav") return p.text(4096, &o->media_wav);
    if (a == "--record") return p.text(4096, &o->record_path);
    if (a == "--media-pulses")
        return p.number(PULSE_MIN_PERIOD_MS, PULSE_MAX_PERIOD_MS, &o->media_pulse_ms);
    if (a == "--media-timestamps") return p.text(4096, &o->media_timestamps);
    *p.msg = "unknown option '" + a + "'";
    return -1;
}

}  // namespace

const char *phone_sim_usage() {
    return USAGE;
}

const std::string &phone_sim_own_ip(const phone_sim_options *opts) {
    return opts->phone_ip.empty() ? opts->bind_addr : opts->phone_ip;
}

int phone_sim_parse_args(int argc, char **argv, phone_sim_options *opts, std::string *msg) {
    parser p{argc, argv, 1, msg};
    for (; p.i < argc; p.i++) {
        std::string a = argv[p.i];
        if (a == "--help" || a == "-h") {
            *msg = USAGE;
            return 1;
        }
        if (parse_one(p, opts) != 0) return -1;
    }
    return 0;
}
