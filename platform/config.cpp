#include "platform/config.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

#include "platform/clog.h"
#include "platform/ini_file.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace {

const char *const SECTION = "common";

std::string dotted(uint32_t host_order) {
    in_addr a{htonl(host_order)};
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

int clamp_level(int v) {
    return v < 0 ? 0 : (v > 9 ? 9 : v);
}

// A port from the file, or the default when it is outside 1..65535.
int port_key(const CIniFile &ini, const char *key, int def) {
    int v = ini.get_int(SECTION, key, def);
    if (v < 1 || v > 65535) {
        log_print(0, LL_WARN, "config %s=%d is not a port, using %d\n", key, v, def);
        return def;
    }
    return v;
}

}  // namespace

CConfig g_config;

int system_lang_is_chinese() {
    for (const char *var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char *v = getenv(var);
        if (v && *v) return strncmp(v, "zh_CN", 5) == 0 ? 1 : 0;
    }
    return 0;
}

void CConfig::set_conv_id(const char *id) {
    std::lock_guard<std::recursive_mutex> g(lock);
    strncpy(conv_id, id ? id : "", CONV_ID_SIZE - 1);
    conv_id[CONV_ID_SIZE - 1] = '\0';
}

int CConfig::load() {
    std::lock_guard<std::recursive_mutex> g(lock);
    if (ini_path.empty()) ini_path = data_file(CONFIG_FILE_NAME);
    CIniFile ini(ini_path);

    lang = system_lang_is_chinese();
    int l = ini.get_int(SECTION, "Lang", -1);
    if (l != -1) lang = (l == 1) ? 1 : 0;

    signal_port = ini.get_int(SECTION, "SignalPort", DEFAULT_SIGNAL_PORT);
    media_port = ini.get_int(SECTION, "MediaPort", DEFAULT_MEDIA_PORT);
    default_port = ini.get_int(SECTION, "DefautPort", 0);
    if (default_port == 0) {
        if (signal_port == 8080) signal_port = DEFAULT_SIGNAL_PORT;
        if (media_port == 8090) media_port = DEFAULT_MEDIA_PORT;
    }

    std::string ip = ini.get_string(SECTION, "PhoneIP", "", 511);
    if (!ip.empty()) {
        in_addr a;
        if (inet_pton(AF_INET, ip.c_str(), &a) == 1)
            phone_ip = ntohl(a.s_addr);
        else
            log_print(0, LL_WARN, "config PhoneIP \"%s\" is not an IPv4 address, ignored\n",
                      ip.c_str());
    }

    int v = ini.get_int(SECTION, "AutoIP", -1);
    auto_ip = (v == -1 || v != 0) ? 1 : 0;
    v = ini.get_int(SECTION, "AutoRun", -1);
    auto_run = (v == -1 || v != 0) ? 1 : 0;

    log_level = ini.get_int(SECTION, "LogLevel", -1);
    if (log_level == -1) log_level = 6;

    trans_type = ini.get_int(SECTION, "TransType", trans_type);
    if (trans_type == -1) trans_type = 1;

    multi_session = 0;
    auto_test_count = ini.get_int(SECTION, "AlreadyAutoTestCount", 0);
    auto_test_interval = ini.get_int(SECTION, "AutoTestInterval", 0);

    update_url = ini.get_string(SECTION, "UpdateURL", "", 511);
    std::string conv = ini.get_string(SECTION, "ConvId", "", CONV_ID_SIZE - 1);
    set_conv_id(conv.c_str());
    feedback_url = ini.get_string(SECTION, "FeedbackURL", DEFAULT_FEEDBACK_URL, 511);

    phone_port = port_key(ini, "PhonePort", DEFAULT_PHONE_PORT);
    syslog_port = port_key(ini, "SyslogPort", DEFAULT_SYSLOG_PORT);
    usbip_port = port_key(ini, "UsbipPort", DEFAULT_USBIP_PORT);
    vbus_backend = ini.get_string(SECTION, "VbusBackend", "usbip", 31);
    if (vbus_backend != "usbip" && vbus_backend != "vhci") {
        log_print(0, LL_WARN, "config VbusBackend \"%s\" unknown, using usbip\n",
                  vbus_backend.c_str());
        vbus_backend = "usbip";
    }
    usbip_bind = ini.get_string(SECTION, "UsbipBind", "127.0.0.1", 63);

    log_set_level_limit(clamp_level(log_level));
    the_log().set_syslog_port(syslog_port);
    return 1;
}

int CConfig::save() {
    std::lock_guard<std::recursive_mutex> g(lock);
    if (ini_path.empty()) ini_path = data_file(CONFIG_FILE_NAME);
    CIniFile ini(ini_path);
    ini.set_string(SECTION, "PhoneIP", dotted(phone_ip));
    ini.set_int(SECTION, "Lang", lang);
    ini.set_int(SECTION, "SignalPort", signal_port);
    ini.set_int(SECTION, "MediaPort", media_port);
    if (default_port == 1) ini.set_int(SECTION, "DefautPort", 1);
    ini.set_int(SECTION, "AutoIP", auto_ip);
    ini.set_int(SECTION, "AutoRun", auto_run);
    ini.set_int(SECTION, "LogLevel", log_level);
    ini.set_int(SECTION, "TransType", trans_type);
    ini.set_int(SECTION, "MultiSession", multi_session);
    ini.set_string(SECTION, "UpdateURL", update_url);
    ini.set_string(SECTION, "ConvId", conv_id);
    if (ini.save() != 0) log_print(0, LL_WARN, "save configuration %s fail\n", ini_path.c_str());
    return 1;
}

int config_load() {
    return g_config.load();
}
int config_save() {
    return g_config.save();
}

int config_write_int(const char *key, int value, const std::string &ini_path) {
    CIniFile ini(ini_path);
    ini.set_int(SECTION, key, value);
    return ini.save() == 0 ? 1 : 0;
}
