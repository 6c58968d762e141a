// usb-host-emu: a USB/IP host. It lists and imports the device from an export
// server and drives it as a PC's USB stack does: enumeration, configuration,
// audio class controls, alternate settings, HID reports, interrupt polling and
// isochronous streaming. Every result is printed as a "key: value" line.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "descriptors.h"
#include "streaming.h"
#include "tools/pulse-mark/pulse_mark.h"
#include "urb_client.h"
#include "tools/wav/wav.h"

namespace {

constexpr int DEFAULT_PORT = 3240;
constexpr int CONTROL_TIMEOUT_MS = 2000;
constexpr uint16_t SET_ADDRESS_VALUE = 2;
constexpr uint16_t LANG_EN_US = 0x0409;
constexpr uint16_t STRING_READ_LENGTH = 255;
constexpr uint16_t HOST_FIRST_DEVICE_READ = 64;  // a PC's first device-descriptor read
constexpr double TONE_AMPLITUDE = 0.3 * 32767;

// Request codes.
constexpr uint8_t GET_DESCRIPTOR = 6, SET_ADDRESS = 5, SET_CONFIGURATION = 9, SET_INTERFACE = 11;
constexpr uint8_t UAC_SET_CUR = 0x01, UAC_GET_CUR = 0x81, UAC_GET_MIN = 0x82, UAC_GET_MAX = 0x83,
                  UAC_GET_RES = 0x84;
constexpr uint8_t HID_SET_REPORT = 0x09, HID_SET_IDLE = 0x0A;
constexpr uint8_t CS_MUTE = 1, CS_VOLUME = 2;
constexpr uint8_t RT_IN_STD_DEVICE = 0x80, RT_OUT_STD_DEVICE = 0x00, RT_OUT_STD_INTERFACE = 0x01,
                  RT_IN_STD_INTERFACE = 0x81, RT_IN_CLASS_INTERFACE = 0xA1,
                  RT_OUT_CLASS_INTERFACE = 0x21;

struct options {
    std::string server = "127.0.0.1";
    int port = DEFAULT_PORT;
    std::string busid;
    bool list = false, enumerate = false, unlink_test = false, hid_poll = false;
    host_shape shape = host_shape::windows;
    std::string play, capture, timestamps;
    int seconds = 5;
    int set_volume = -1;
    int mute = -1;
    std::vector<std::vector<uint8_t>> hid_out, hid_int_out;
};

void usage() {
    printf(
        "usage: usb-host-emu [--server ADDR] [--port N] [--busid ID] [--list] [--enumerate]\n"
        "                    [--host windows|linux] [--play tone:HZ|pulses:MS|FILE.wav]\n"
        "                    [--capture FILE.wav] [--timestamps FILE]\n"
        "                    [--seconds N] [--set-volume N] [--mute 0|1] [--hid-out HEX]\n"
        "                    [--hid-int-out HEX] [--hid-poll] [--unlink-test]\n"
        "  pulses:MS plays a short burst every MS ms; --timestamps writes the monotonic\n"
        "  time of every pulse onset played and captured to FILE\n");
}

bool parse_hex(const char *text, std::vector<uint8_t> *out) {
    std::string s;
    for (const char *p = text; *p; p++)
        if (!strchr(" :", *p)) s.push_back(*p);
    if (s.empty() || s.size() % 2) return false;
    for (size_t i = 0; i < s.size(); i += 2) {
        char *end = nullptr;
        std::string byte = s.substr(i, 2);
        long v = strtol(byte.c_str(), &end, 16);
        if (*end) return false;
        out->push_back(static_cast<uint8_t>(v));
    }
    return true;
}

bool parse_int(const char *text, int lo, int hi, int *out) {
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno || !*text || *end || v < lo || v > hi) return false;
    *out = static_cast<int>(v);
    return true;
}

int parse_options(int argc, char **argv, options *o) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](const char **v) {
            if (i + 1 >= argc) return false;
            *v = argv[++i];
            return true;
        };
        const char *v = nullptr;
        bool ok = true;
        if (a == "--list") {
            o->list = true;
        } else if (a == "--enumerate") {
            o->enumerate = true;
        } else if (a == "--unlink-test") {
            o->unlink_test = true;
        } else if (a == "--hid-poll") {
            o->hid_poll = true;
        } else if (a == "--server") {
            ok = value(&v) && (o->server = v, true);
        } else if (a == "--port") {
            ok = value(&v) && parse_int(v, 1, 65535, &o->port);
        } else if (a == "--busid") {
            ok = value(&v) && (o->busid = v, true);
        } else if (a == "--host") {
            ok = value(&v) && (!strcmp(v, "windows") || !strcmp(v, "linux"));
            if (ok) o->shape = !strcmp(v, "linux") ? host_shape::linux_ : host_shape::windows;
        } else if (a == "--play") {
            ok = value(&v) && (o->play = v, true);
        } else if (a == "--capture") {
            ok = value(&v) && (o->capture = v, true);
        } else if (a == "--timestamps") {
            ok = value(&v) && (o->timestamps = v, true);
        } else if (a == "--seconds") {
            ok = value(&v) && parse_int(v, 0, 3600, &o->seconds);
        } else if (a == "--set-volume") {
            ok = value(&v) && parse_int(v, -32768, 32767, &o->set_volume);
        } else if (a == "--mute") {
            ok = value(&v) && parse_int(v, 0, 1, &o->mute);
        } else if (a == "--hid-out" || a == "--hid-int-out") {
            std::vector<uint8_t> bytes;
            ok = value(&v) && parse_hex(v, &bytes);
            (a == "--hid-out" ? o->hid_out : o->hid_int_out).push_back(bytes);
        } else if (a == "--help" || a == "-h") {
            usage();
            return 1;
        } else {
            ok = false;
        }
        if (!ok) {
            fprintf(stderr, "usb-host-emu: bad or incomplete option %s\n", a.c_str());
            usage();
            return -1;
        }
    }
    return 0;
}

std::string hex_bytes(const std::vector<uint8_t> &d, size_t max = 64) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < d.size() && i < max; i++) {
        snprintf(b, sizeof b, "%02x", d[i]);
        if (!s.empty()) s += ' ';
        s += b;
    }
    if (d.size() > max) s += " ...";
    return s;
}

class host {
  public:
    explicit host(const options &o) : o_(o) {}
    int run();

  private:
    bool fail(const std::string &what) {
        printf("error: %s\n", what.c_str());
        failures_++;
        return false;
    }
    bool ctrl_in(uint8_t type, uint8_t req, uint16_t value, uint16_t index, uint16_t len,
                 std::vector<uint8_t> *data, const char *what);
    bool ctrl_out(uint8_t type, uint8_t req, uint16_t value, uint16_t index,
                  const std::vector<uint8_t> &data, const char *what);
    bool enumerate();
    bool write_onsets(const std::string &path, const stream_result &res);
    bool audio_controls();
    bool hid_reports();
    bool unlink_test();
    bool stream();
    bool select_alt(uint8_t iface, uint8_t alt);

    const options &o_;
    urb_client c_;
    device_info info_;
    int failures_ = 0;
};

bool host::ctrl_in(uint8_t type, uint8_t req, uint16_t value, uint16_t index, uint16_t len,
                   std::vector<uint8_t> *data, const char *what) {
    urb_result r;
    if (!c_.control(type, req, value, index, len, {}, &r, CONTROL_TIMEOUT_MS))
        return fail(std::string(what) + ": no reply");
    if (r.status != 0) return fail(std::string(what) + ": status " + std::to_string(r.status));
    *data = std::move(r.data);
    return true;
}

bool host::ctrl_out(uint8_t type, uint8_t req, uint16_t value, uint16_t index,
                    const std::vector<uint8_t> &data, const char *what) {
    urb_result r;
    if (!c_.control(type, req, value, index, static_cast<uint16_t>(data.size()), data, &r,
                    CONTROL_TIMEOUT_MS))
        return fail(std::string(what) + ": no reply");
    if (r.status != 0) return fail(std::string(what) + ": status " + std::to_string(r.status));
    return true;
}

bool host::enumerate() {
    std::string err;
    std::vector<uint8_t> d;
    if (!ctrl_in(RT_IN_STD_DEVICE, GET_DESCRIPTOR, 0x0100, 0, HOST_FIRST_DEVICE_READ, &d,
                 "device descriptor"))
        return false;
    if (!ctrl_out(RT_OUT_STD_DEVICE, SET_ADDRESS, SET_ADDRESS_VALUE, 0, {}, "set address"))
        return false;
    if (!ctrl_in(RT_IN_STD_DEVICE, GET_DESCRIPTOR, 0x0100, 0, 18, &d, "device descriptor"))
        return false;
    if (!parse_device_descriptor(d, &info_, &err)) return fail(err);
    printf(
        "descriptor device: %zu bytes bcdUSB %04x ep0 %u vid %04x pid %04x rev %04x "
        "configurations %u\n",
        d.size(), info_.bcd_usb, info_.max_packet0, info_.vid, info_.pid, info_.bcd_device,
        info_.num_configurations);

    if (!ctrl_in(RT_IN_STD_DEVICE, GET_DESCRIPTOR, 0x0200, 0, 9, &d, "configuration header"))
        return false;
    if (!parse_config_descriptor(d, &info_, &err)) return fail(err);
    printf("descriptor config-header: %zu bytes total %u\n", d.size(), info_.total_length);
    const uint16_t total = info_.total_length;
    if (!ctrl_in(RT_IN_STD_DEVICE, GET_DESCRIPTOR, 0x0200, 0, total, &d, "configuration"))
        return false;
    if (d.size() != total)
        return fail("configuration: " + std::to_string(d.size()) + " of " + std::to_string(total) +
                    " bytes");
    if (!parse_config_descriptor(d, &info_, &err)) return fail(err);
    printf(
        "descriptor config: %zu bytes descriptors %d interfaces %u value %u attributes %02x "
        "power %u\n",
        d.size(), info_.descriptors, info_.num_interfaces, info_.configuration_value,
        info_.attributes, info_.max_power);
    for (const auto &e : info_.endpoints)
        printf("endpoint %02x: interface %u alt %u type %s maxpacket %u interval %u\n", e.address,
               e.interface, e.alt,
               (e.attributes & 3) == 1   ? "iso"
               : (e.attributes & 3) == 3 ? "interrupt"
                                         : "other",
               e.max_packet, e.interval);
    printf(
        "audio: playback interface %u rate %d channels %d, capture interface %u rate %d "
        "channels %d, speaker unit %u controls %02x, mic unit %u controls %02x\n",
        info_.playback_interface, info_.playback_rate, info_.playback_channels,
        info_.capture_interface, info_.capture_rate, info_.capture_channels, info_.speaker_unit,
        info_.speaker_controls, info_.mic_unit, info_.mic_controls);

    if (!ctrl_in(RT_IN_STD_DEVICE, GET_DESCRIPTOR, 0x0300, 0, STRING_READ_LENGTH, &d,
                 "language ids"))
        return false;
    printf("string 0: %s\n", hex_bytes(d).c_str());
    std::vector<uint8_t> indices = {info_.i_manufacturer, info_.i_product, info_.i_serial};
    for (uint8_t i : info_.string_indices)
        if (std::find(indices.begin(), indices.end(), i) == indices.end()) indices.push_back(i);
    for (uint8_t i : indices) {
        if (!i) continue;
        std::string what = "string " + std::to_string(i);
        if (!ctrl_in(RT_IN_STD_DEVICE, GET_DESCRIPTOR, static_cast<uint16_t>(0x0300 | i),
                     LANG_EN_US, STRING_READ_LENGTH, &d, what.c_str()))
            return false;
        printf("string %u: %s\n", i, string_text(d).c_str());
    }
    if (!ctrl_out(RT_OUT_STD_DEVICE, SET_CONFIGURATION, info_.configuration_value, 0, {},
                  "set configuration"))
        return false;
    printf("set-configuration: %u ok\n", info_.configuration_value);

    if (info_.hid_interface != 0xff) {
        if (!ctrl_out(RT_OUT_CLASS_INTERFACE, HID_SET_IDLE, 0, info_.hid_interface, {},
                      "hid set idle"))
            return false;
        if (!ctrl_in(RT_IN_STD_INTERFACE, GET_DESCRIPTOR, 0x2200, info_.hid_interface,
                     info_.hid_report_length, &d, "hid report descriptor"))
            return false;
        printf("hid report-descriptor: %zu bytes %s\n", d.size(), hex_bytes(d, 8).c_str());
    }
    return true;
}

bool host::audio_controls() {
    if (!info_.speaker_unit) return fail("no speaker feature unit");
    const uint16_t unit = static_cast<uint16_t>(info_.speaker_unit << 8);  // interface 0
    std::vector<uint8_t> d;
    int v[4] = {};
    const uint8_t reqs[4] = {UAC_GET_MIN, UAC_GET_MAX, UAC_GET_RES, UAC_GET_CUR};
    for (int i = 0; i < 4; i++) {
        if (!ctrl_in(RT_IN_CLASS_INTERFACE, reqs[i], CS_VOLUME << 8, unit, 2, &d, "volume get"))
            return false;
        if (d.size() < 2) return fail("volume get: short reply");
        v[i] = static_cast<int16_t>(d[0] | d[1] << 8);
    }
    printf("volume: min %d max %d res %d cur %d\n", v[0], v[1], v[2], v[3]);
    if (!ctrl_in(RT_IN_CLASS_INTERFACE, UAC_GET_CUR, CS_MUTE << 8, unit, 1, &d, "mute get"))
        return false;
    printf("mute: %d\n", d.empty() ? -1 : d[0]);
    if (o_.set_volume >= 0 || o_.set_volume < -1) {
        uint16_t raw = static_cast<uint16_t>(o_.set_volume);
        if (!ctrl_out(RT_OUT_CLASS_INTERFACE, UAC_SET_CUR, CS_VOLUME << 8, unit,
                      {static_cast<uint8_t>(raw), static_cast<uint8_t>(raw >> 8)}, "volume set"))
            return false;
        if (!ctrl_in(RT_IN_CLASS_INTERFACE, UAC_GET_CUR, CS_VOLUME << 8, unit, 2, &d, "volume get"))
            return false;
        printf("set-volume: %d ok, now reads %d\n", o_.set_volume,
               d.size() >= 2 ? static_cast<int16_t>(d[0] | d[1] << 8) : -1);
    }
    if (o_.mute >= 0) {
        if (!ctrl_out(RT_OUT_CLASS_INTERFACE, UAC_SET_CUR, CS_MUTE << 8, unit,
                      {static_cast<uint8_t>(o_.mute)}, "mute set"))
            return false;
        if (!ctrl_in(RT_IN_CLASS_INTERFACE, UAC_GET_CUR, CS_MUTE << 8, unit, 1, &d, "mute get"))
            return false;
        printf("set-mute: %d ok, now reads %d\n", o_.mute, d.empty() ? -1 : d[0]);
    }
    return true;
}

bool host::hid_reports() {
    for (const auto &r : o_.hid_out) {
        const uint16_t value = static_cast<uint16_t>(0x0200 | r[0]);  // output report, its id
        if (!ctrl_out(RT_OUT_CLASS_INTERFACE, HID_SET_REPORT, value, info_.hid_interface, r,
                      "hid set report"))
            return false;
        printf("hid-set-report: %s ok\n", hex_bytes(r).c_str());
    }
    const ep_info *ep = nullptr;
    for (const auto &e : info_.endpoints)
        if (e.interface == info_.hid_interface && !(e.address & 0x80)) ep = &e;
    for (const auto &r : o_.hid_int_out) {
        if (!ep) return fail("no interrupt OUT endpoint");
        urb_request req;
        req.dir = VBUS_DIR_OUT;
        req.ep = ep->address & 0x0f;
        req.length = static_cast<uint32_t>(r.size());
        req.out = r;
        urb_result res;
        uint32_t seq = c_.submit(req);
        if (!seq || !c_.wait(seq, &res, CONTROL_TIMEOUT_MS)) {
            if (seq) c_.unlink(seq, CONTROL_TIMEOUT_MS);
            return fail("hid interrupt out: no reply");
        }
        if (res.status != 0) return fail("hid interrupt out: status " + std::to_string(res.status));
        printf("hid-int-out: %s ok actual %u\n", hex_bytes(r).c_str(), res.actual);
    }
    return true;
}

bool host::unlink_test() {
    const ep_info *ep = nullptr;
    for (const auto &e : info_.endpoints)
        if (e.interface == info_.hid_interface && (e.address & 0x80)) ep = &e;
    if (!ep) return fail("unlink test: no interrupt IN endpoint");
    // An interrupt IN request stays pending until the device has a report.
    urb_request req;
    req.dir = VBUS_DIR_IN;
    req.ep = ep->address & 0x0f;
    req.length = ep->max_packet;
    uint32_t seq = c_.submit(req);
    if (!seq) return fail("unlink test: submit failed");
    urb_result r;
    bool answered = c_.wait(seq, &r, 200);
    int status = c_.unlink(seq, CONTROL_TIMEOUT_MS);
    printf("unlink: seqnum %u %s, status %d\n", seq, answered ? "answered first" : "pending",
           status);
    if (status == 1) return fail("unlink test: no RET_UNLINK");
    if (!answered && status != -ECONNRESET)
        return fail("unlink test: pending request not reported unlinked");
    // The stream carries on: the next control transfer is answered.
    std::vector<uint8_t> d;
    if (!ctrl_in(RT_IN_STD_DEVICE, GET_DESCRIPTOR, 0x0100, 0, 18, &d, "after unlink")) return false;
    printf("unlink-test: ok\n");
    return true;
}

// One line per pulse onset: "play|capture <monotonic us> <seqnum> <sample
// offset in the request>"; plays add the monotonic us of the device's reply
// and of the moment its slot reached the onset (0 0: no reply). Plays first,
// each in time order.
bool host::write_onsets(const std::string &path, const stream_result &res) {
    FILE *f = fopen(path.c_str(), "w");
    if (!f) return fail("cannot write " + path);
    for (const auto &o : res.play_onsets)
        fprintf(f, "play %llu %u %u %llu %llu\n", static_cast<unsigned long long>(o.mono_us),
                o.seqnum, o.offset, static_cast<unsigned long long>(o.reply_us),
                static_cast<unsigned long long>(o.due_us));
    for (const auto &o : res.capture_onsets)
        fprintf(f, "capture %llu %u %u\n", static_cast<unsigned long long>(o.mono_us), o.seqnum,
                o.offset);
    if (fclose(f) != 0) return fail("cannot write " + path);
    printf("timestamps: %s play onsets %zu capture onsets %zu\n", path.c_str(),
           res.play_onsets.size(), res.capture_onsets.size());
    return true;
}

bool host::select_alt(uint8_t iface, uint8_t alt) {
    std::string what = "set interface " + std::to_string(iface) + " alt " + std::to_string(alt);
    if (!ctrl_out(RT_OUT_STD_INTERFACE, SET_INTERFACE, alt, iface, {}, what.c_str())) return false;
    printf("set-interface: %u alt %u ok\n", iface, alt);
    return true;
}

bool host::stream() {
    stream_config cfg;
    cfg.shape = o_.shape;
    cfg.seconds = o_.seconds;
    cfg.play = !o_.play.empty();
    cfg.capture = !o_.capture.empty();
    cfg.hid_poll = o_.hid_poll;
    cfg.mark_onsets = !o_.timestamps.empty();
    for (const auto &e : info_.endpoints) {
        if ((e.attributes & 3) == 1 && !(e.address & 0x80)) cfg.pb_ep = e.address;
        if ((e.attributes & 3) == 1 && (e.address & 0x80)) cfg.cp_ep = e.address;
        if ((e.attributes & 3) == 3 && (e.address & 0x80)) cfg.int_ep = e.address;
    }
    const ep_info *pb = find_endpoint(info_, cfg.pb_ep), *cp = find_endpoint(info_, cfg.cp_ep),
                  *in = find_endpoint(info_, cfg.int_ep);
    // One packet per millisecond frame: the rate's bytes, never above wMaxPacketSize.
    auto packet = [](const ep_info *e, int rate, int channels, int subframe) {
        int per_ms = rate / 1000 * std::max(channels, 1) * std::max(subframe, 1);
        return static_cast<uint16_t>(e ? std::min<int>(per_ms, e->max_packet) : per_ms);
    };
    cfg.pb_packet =
        packet(pb, info_.playback_rate, info_.playback_channels, info_.playback_subframe);
    cfg.cp_packet = packet(cp, info_.capture_rate, info_.capture_channels, info_.capture_subframe);
    if (in) cfg.int_packet = in->max_packet;
    if ((cfg.play && (!pb || !cfg.pb_packet)) || (cfg.capture && (!cp || !cfg.cp_packet)))
        return fail("streaming endpoints not found in the configuration");

    cfg.rate = info_.playback_rate;
    if (cfg.play) {
        if (o_.play.rfind("pulses:", 0) == 0) {
            int ms = 0;
            if (!parse_int(o_.play.c_str() + 7, PULSE_MIN_PERIOD_MS, PULSE_MAX_PERIOD_MS, &ms))
                return fail("bad pulse period " + o_.play);
            cfg.source = pulse_period(info_.playback_rate, ms);
            if (cfg.source.empty()) return fail("no pulse train at the device's rate");
        } else if (o_.play.rfind("tone:", 0) == 0) {
            int hz = 0;
            if (!parse_int(o_.play.c_str() + 5, 1, info_.playback_rate / 2, &hz))
                return fail("bad tone " + o_.play);
            // A whole number of periods per second, so the loop joins cleanly.
            cfg.source.resize(static_cast<size_t>(info_.playback_rate));
            for (size_t i = 0; i < cfg.source.size(); i++)
                cfg.source[i] = static_cast<int16_t>(
                    TONE_AMPLITUDE *
                    std::sin(2 * M_PI * hz * static_cast<double>(i) / info_.playback_rate));
        } else {
            wav_data w;
            std::string err;
            if (wav_read(o_.play, &w, &err) < 0) return fail(err);
            if (w.rate != info_.playback_rate || w.channels != info_.playback_channels)
                printf("warning: %s is %d Hz %d channels, the device plays %d Hz %d channels\n",
                       o_.play.c_str(), w.rate, w.channels, info_.playback_rate,
                       info_.playback_channels);
            cfg.source = std::move(w.samples);
            cfg.loop_source = false;
        }
        if (!select_alt(info_.playback_interface, 1)) return false;
    }
    if (cfg.capture && !select_alt(info_.capture_interface, 1)) return false;
    printf("stream: host %s seconds %d playback %s packet %u capture %s packet %u\n",
           o_.shape == host_shape::linux_ ? "linux" : "windows", o_.seconds,
           cfg.play ? o_.play.c_str() : "-", cfg.pb_packet, cfg.capture ? o_.capture.c_str() : "-",
           cfg.cp_packet);
    stream_result res;
    int rc = run_streams(c_, cfg, &res);
    if (cfg.play) printf("%s\n", res.playback.line("playback").c_str());
    if (cfg.capture) printf("%s\n", res.capture.line("capture").c_str());
    if (cfg.hid_poll)
        printf("hid-poll: requests %llu reports %zu\n",
               static_cast<unsigned long long>(res.hid.submitted), res.hid_reports.size());
    printf("stream-end: unlinked %d\n", res.unlinked);
    if (cfg.mark_onsets && !write_onsets(o_.timestamps, res)) return false;
    if (rc < 0) return fail("connection lost while streaming: " + c_.error());
    if (cfg.play && !select_alt(info_.playback_interface, 0)) return false;
    if (cfg.capture) {
        if (!select_alt(info_.capture_interface, 0)) return false;
        wav_data w;
        w.rate = info_.capture_rate;
        w.channels = std::max(info_.capture_channels, 1);
        w.samples = std::move(res.captured);
        std::string err;
        if (wav_write(o_.capture, w, &err) < 0) return fail(err);
        int peak = 0;
        for (int16_t s : w.samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
        printf("capture-file: %s samples %zu peak %d\n", o_.capture.c_str(), w.samples.size(),
               peak);
    }
    return true;
}

int host::run() {
    std::vector<usbip_device_record> devs;
    std::string err;
    int n = urb_client::list(o_.server, o_.port, &devs, &err);
    if (n < 0) {
        printf("error: %s\nresult: failed\n", err.c_str());
        return 1;
    }
    printf("devices: %d\n", n);
    for (const auto &d : devs) {
        printf(
            "device: busid %s vid %04x pid %04x rev %04x speed %u configuration %u "
            "interfaces %u path %s\n",
            d.busid.c_str(), d.summary.vid, d.summary.pid, d.summary.bcd_device, d.speed,
            d.summary.configuration_value, d.summary.num_interfaces, d.path.c_str());
        for (unsigned i = 0; i < d.summary.num_interfaces && i < USBIP_MAX_INTERFACES; i++)
            printf("interface %u: class %02x subclass %02x protocol %02x\n", i,
                   d.summary.ifaces[i].cls, d.summary.ifaces[i].subclass,
                   d.summary.ifaces[i].protocol);
    }
    const bool drive = o_.enumerate || o_.unlink_test || o_.hid_poll || !o_.play.empty() ||
                       !o_.capture.empty() || o_.set_volume != -1 || o_.mute >= 0 ||
                       !o_.hid_out.empty() || !o_.hid_int_out.empty();
    if (!drive) {
        printf("result: %s\n", n > 0 || o_.list ? "ok" : "failed");
        return n > 0 || o_.list ? 0 : 1;
    }
    std::string busid = o_.busid.empty() && n > 0 ? devs[0].busid : o_.busid;
    usbip_device_record dev;
    if (busid.empty() || c_.import(o_.server, o_.port, busid, &dev) < 0) {
        printf("error: %s\nresult: failed\n",
               busid.empty() ? "no device to import" : c_.error().c_str());
        return 1;
    }
    printf("import: busid %s ok\n", busid.c_str());
    bool ok = enumerate() && audio_controls() && hid_reports();
    if (ok && o_.unlink_test) ok = unlink_test();
    if (ok && (!o_.play.empty() || !o_.capture.empty() || o_.hid_poll)) ok = stream();
    c_.close();
    if (!ok || failures_) {
        printf("result: failed\n");
        return 1;
    }
    printf("result: ok\n");
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    options o;
    int r = parse_options(argc, argv, &o);
    if (r != 0) return r < 0 ? 2 : 0;
    host h(o);
    return h.run();
}
