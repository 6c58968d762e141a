#include "platform/clog.h"

#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/log.h"
#include "platform/pc_probe.h"
#include "platform/version.h"

namespace {

const char *const level_names[] = {"EMERG",  "ALERT", "CRIT",  "ERR", "WARN",
                                   "NOTICE", "INFO",  "DEBUG", "SPY", "ANY"};

const char *level_name(int level) {
    return (level >= 0 && level <= 9) ? level_names[level] : "?";
}

// Appends the UTF-8 form of one code point; invalid ones become U+FFFD.
void put_utf8(std::string &out, uint32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// Wide lines become at most this many bytes of UTF-8.
constexpr size_t WIDE_LINE_BYTES_MAX = 9191;

}  // namespace

CLog &the_log() {
    static CLog log;
    return log;
}

CLog::~CLog() {
    receiver_stop();
}

int CLog::init(const std::string &log_path, const std::string &phone_log_base, int level) {
    {
        std::lock_guard<std::mutex> g(lock_);
        log_path_ = log_path;
        if (level >= 0) level_limit = level;
        program_log_.close();
        program_log_.open_or_trim(log_path_);
    }
    {
        std::lock_guard<std::mutex> g(phone_lock_);
        phone_base_ = phone_log_base;
    }
    return 0;
}

void CLog::write_text(int phone_log, int level, const char *body, size_t len) {
    if (phone_log) {
        std::lock_guard<std::mutex> g(phone_lock_);
        if (phone_path_.empty()) phone_path_ = phone_base_ + "phone_syslog.log";
        if (phone_log_.open_or_trim(phone_path_) != 0) return;
        phone_log_.write(body, len);
        return;
    }

    timeval tv;
    gettimeofday(&tv, nullptr);
    tm lt;
    localtime_r(&tv.tv_sec, &lt);
    char prefix[64];
    int plen =
        snprintf(prefix, sizeof prefix, "[%02d/%02d/%4d : %02d:%02d:%02d.%03d]%5s: ", lt.tm_mday,
                 lt.tm_mon + 1, lt.tm_year + 1900, lt.tm_hour, lt.tm_min, lt.tm_sec,
                 int(tv.tv_usec / 1000), level_name(level));
    std::lock_guard<std::mutex> g(lock_);
    if (program_log_.open_or_trim(log_path_) != 0) return;
    std::string line;
    line.reserve(size_t(plen) + len);
    line.append(prefix, size_t(plen));
    line.append(body, len);
    program_log_.write(line.data(), line.size());
}

void CLog::write_line(int phone_log, int level, const char *fmt, va_list ap) {
    if (!phone_log && level > level_limit && !debug) return;
    char buf[LOG_LINE_MAX + 1];
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    if (n < 0) return;
    size_t len = size_t(n);
    if (len > LOG_LINE_MAX) {  // cut, keeping the line feed the caller meant
        len = LOG_LINE_MAX;
        buf[len - 1] = '\n';
    }
    write_text(phone_log, level, buf, len);
}

void CLog::write_wline(int phone_log, int level, const wchar_t *fmt, va_list ap) {
    if (!phone_log && level > level_limit && !debug) return;
    wchar_t wbuf[LOG_LINE_MAX + 1] = {};  // a failed format leaves an empty line
    int n = vswprintf(wbuf, LOG_LINE_MAX + 1, fmt, ap);
    if (n < 0) {
        // vswprintf reports an overlong result as failure; keep what it wrote.
        wbuf[LOG_LINE_MAX] = L'\0';
        n = int(wcslen(wbuf));
    }
    std::string out;
    for (int i = 0; i < n; ++i) {
        size_t before = out.size();
        put_utf8(out, uint32_t(wbuf[i]));
        if (out.size() > WIDE_LINE_BYTES_MAX) {
            out.resize(before);
            break;
        }
    }
    write_text(phone_log, level, out.data(), out.size());
}

void CLog::set_phone_file(const char *mac) {
    std::string name;
    if (mac == nullptr || *mac == '\0') {
        name = "phone_syslog";
    } else {
        for (const char *p = mac; *p; ++p)
            if (*p != ':') name += *p;
    }
    std::lock_guard<std::mutex> g(phone_lock_);
    // An open phone log keeps its file; the new name is used at its next opening.
    phone_path_ = phone_base_ + name + ".log";
}

std::string CLog::phone_file() const {
    std::lock_guard<std::mutex> g(phone_lock_);
    return phone_path_;
}

// ---- entry points ---------------------------------------------------------

namespace {
std::atomic<log_callback> narrow_cb{nullptr};
std::atomic<log_wcallback> wide_cb{nullptr};
std::atomic<log_crash_hook> crash_hook{nullptr};

void clog_narrow_writer(int phone_log, int level, const char *fmt, va_list ap) {
    the_log().write_line(phone_log, level, fmt, ap);
}

void clog_wide_writer(int phone_log, int level, const wchar_t *fmt, va_list ap) {
    the_log().write_wline(phone_log, level, fmt, ap);
}
}  // namespace

int log_print(int phone_log, int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_callback cb = narrow_cb.load();
    if (cb) {
        cb(phone_log, level, fmt, ap);
    } else {
        vprintf(fmt, ap);
        fflush(stdout);
    }
    va_end(ap);
    return 0;
}

int log_wprint(int phone_log, int level, const wchar_t *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_wcallback cb = wide_cb.load();
    if (cb) {
        cb(phone_log, level, fmt, ap);
    } else {
        wchar_t wbuf[LOG_LINE_MAX + 1] = {};  // a failed format leaves an empty line
        int n = vswprintf(wbuf, LOG_LINE_MAX + 1, fmt, ap);
        if (n < 0) wbuf[LOG_LINE_MAX] = L'\0';
        std::string out;
        for (const wchar_t *p = wbuf; *p; ++p) put_utf8(out, uint32_t(*p));
        fputs(out.c_str(), stdout);
        fflush(stdout);
    }
    va_end(ap);
    return 0;
}

void log_set_callbacks(log_callback narrow, log_wcallback wide) {
    narrow_cb = narrow;
    wide_cb = wide;
}

void log_clear_callbacks() {
    log_set_callbacks(nullptr, nullptr);
}

void log_set_crash_hook(log_crash_hook hook) {
    crash_hook = hook;
}

int log_init(const std::string &log_path, const std::string &phone_log_base, int level) {
    if (log_crash_hook hook = crash_hook.load()) hook();
    the_log().init(log_path, phone_log_base, level);
    log_set_callbacks(clog_narrow_writer, clog_wide_writer);

    static const char rule[] = "===============================================================";
    log_print(0, LL_EMERG, "%s\n", rule);
    log_print(0, LL_EMERG, "Version : %s \n", OSTRELLE_VERSION);
    log_print(0, LL_EMERG, "SYSTEM  : %s %s\n", os_name().c_str(), os_word_size().c_str());
    log_print(0, LL_EMERG, "BUILD   : %s %s\n", __DATE__, __TIME__);
    log_print(0, LL_EMERG, "%s\n", rule);
    return 0;
}

void log_set_phone_file(const char *mac) {
    the_log().set_phone_file(mac);
}
void log_set_phone_addr(unsigned int addr) {
    the_log().set_phone_addr(addr);
}
int syslog_receiver_start() {
    return the_log().receiver_start();
}
int syslog_receiver_stop() {
    return the_log().receiver_stop();
}

void log_set_level_limit(int level) {
    the_log().level_limit = level;
}
int log_get_level_limit() {
    return the_log().level_limit;
}
void log_set_debug(int on) {
    the_log().debug = on ? 1 : 0;
}
int log_get_debug() {
    return the_log().debug;
}
