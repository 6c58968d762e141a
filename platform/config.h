// Persistent settings, section [common] of Quellin.ini in the data folder.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

constexpr int DEFAULT_SIGNAL_PORT = 10026;
constexpr int DEFAULT_MEDIA_PORT = 10028;
constexpr int DEFAULT_PHONE_PORT = 7063;
constexpr int DEFAULT_SYSLOG_PORT = 514;
constexpr int DEFAULT_USBIP_PORT = 3240;
constexpr const char *DEFAULT_FEEDBACK_URL = "https://feedback.mirelta.com/upload";
constexpr size_t CONV_ID_SIZE = 48;  // with its terminating zero

class CConfig {
  public:
    int load();  // always 1
    int save();  // always 1

    std::recursive_mutex lock;
    std::string ini_path;
    uint32_t phone_ip = 0;  // host order
    int auto_ip = 1;
    int multi_session = 0;
    int auto_run = 1;
    int log_level = 6;
    int auto_test_interval = 0;
    int auto_test_count = 0;
    int trans_type = 1;
    std::string update_url;
    char conv_id[CONV_ID_SIZE] = {};
    int lang = 0;
    int signal_port = DEFAULT_SIGNAL_PORT;
    int media_port = DEFAULT_MEDIA_PORT;
    int default_port = 0;
    std::string feedback_url = DEFAULT_FEEDBACK_URL;

    // Our own keys: read at load, never written (they stay as the user wrote them).
    int phone_port = DEFAULT_PHONE_PORT;
    int syslog_port = DEFAULT_SYSLOG_PORT;
    std::string vbus_backend = "usbip";
    int usbip_port = DEFAULT_USBIP_PORT;
    std::string usbip_bind = "127.0.0.1";

    void set_conv_id(const char *id);
};

// The one instance of the process.
extern CConfig g_config;

int config_load();
int config_save();
int config_write_int(const char *key, int value, const std::string &ini_path);

// 1 when the user's language is Chinese (PRC), from the locale variables.
int system_lang_is_chinese();
