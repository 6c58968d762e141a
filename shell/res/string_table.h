// Every user-visible text of the shell: text N is Chinese, N + 1000 English,
// chosen by the configuration's Lang (1 Chinese, anything else English).
#pragma once

#include <string>

enum string_id {
    IDS_TIP_PREFIX = 103,
    IDS_SAVE_AS = 104,
    IDS_BALLOON_TITLE = 105,
    IDS_SETTING = 106,
    IDS_ABOUT_TITLE = 107,
    IDS_DISCONNECTED_IDLE = 108,
    IDS_DISCONNECTED_PAIRING = 109,
    IDS_DISCONNECTED_UNPAIRING = 110,
    IDS_CONNECTED_PAIRED = 111,
    IDS_CONNECTED_SIGNIN = 112,
    IDS_DISCONNECTED_GETIP = 113,
    IDS_ALREADY_RUNNING = 114,
    IDS_CAPTION = 116,
    IDS_VERSION = 120,
    IDS_NEW_VERSION = 123,
    IDS_UPDATE_INFO = 124,
    IDS_CONNECT_FAILED_DISABLED = 125,
    IDS_CANCEL_SYSLOG = 127,
    IDS_DISCONNECTED_CONNECTING = 128,
    IDS_INIT_FAILED = 129,
    IDS_USB_INIT_FAIL = 137,
    IDS_TIP_PREFIX_FAILED = 141,
    IDS_APP_TITLE = 154,
    IDS_WRONG_CODE = 155,
    IDS_CONNECT_FAILED = 156,
    IDS_FEEDBACK = 160,
    IDS_CAPTURE_START = 167,
    IDS_CAPTURE_FINISH = 168,
    IDS_ENTER_PAIR_CODE = 170,
};

// Text of the id in the configured language (UTF-8); empty for an unknown id.
std::string LoadLangString(int id);
// The same for an explicit language (1 Chinese, else English).
std::string lang_string(int id, int lang);
