// The program's single session with one phone, and the operations the shell
// drives it with. All shell-facing operations only post on the event bus or
// write a single word, and return at once.
#pragma once

#include <cstdint>

#include "link/duvo_link.h"  // pair_status and pair_status_name

// Notification kinds passed to the observers as (context, kind, value).
constexpr int NOTIFY_START_PAIR = 0x30000;     // shell-internal: reconnect
constexpr int NOTIFY_BUTTON_SWITCH = 0x30001;  // shell-internal: settings changed
constexpr int NOTIFY_PAIR_STATUS = 0x40000;
constexpr int NOTIFY_USB_INIT_FAIL = 0x40001;
constexpr int NOTIFY_CLIENT_INACTIVE = 0x40002;
constexpr int NOTIFY_NEED_PAIR_CODE = 0x40003;
constexpr int NOTIFY_SYSLOG_ON = 0x40004;

// PC state flags reported to the phone.
constexpr int PC_STATE_WAIT_INPUT = 0x2;
constexpr int PC_STATE_LOCKED = 0x4;
constexpr int PC_STATE_SCREENSAVER = 0x8;

// Why the last session ended.
constexpr int UNPAIR_NONE = 0;
constexpr int UNPAIR_TIMEOUT = 1;
constexpr int UNPAIR_CONNECT_FAILED = 2;
constexpr int UNPAIR_PHONE_SILENT = 3;
constexpr int UNPAIR_PHONE_UNPAIRED = 4;
constexpr int UNPAIR_TRANSPORT_SWITCHED = -1;
constexpr int UNPAIR_USER = -2;
constexpr int UNPAIR_DUVO_DISABLED = -3;
constexpr int UNPAIR_USB_FAILED = -4;
constexpr int UNPAIR_PAIR_MODE_SWITCHED = -5;
constexpr int UNPAIR_PHONE_CLOSED = -7;
constexpr int UNPAIR_SETTINGS_CHANGED = -8;

typedef void (*pair_observer)(void *ctx, int kind, int value);

struct pair_manager;

// 0, or -1 (no out pointer), -2 (no memory), -3 (socket layer), -4 / -5 (a
// thread failed to start).
int pair_manager_init(pair_manager **out);
int StartPair(pair_manager *pm);
int StopPair(pair_manager *pm, int reason);
int SetPcState(pair_manager *pm, int flags);
int SetPhoneSyslog(pair_manager *pm, int on);
int SendPairCode(pair_manager *pm, int result, const char *code, int length);
int SetAudioCapture(pair_manager *pm, int on);
// 1 when freed, 0 while a session thread still runs.
int ReleasePairManager(pair_manager *pm);

// What the shell sets and reads directly.
void pair_manager_set_observer(pair_manager *pm, int which, pair_observer fn, void *ctx);
void pair_manager_set_srtp_enable(pair_manager *pm, int on);
void pair_manager_set_resumed(pair_manager *pm, int on);
void pair_manager_set_debug_mode(pair_manager *pm, int on);  // posts the debug-mode event
int pair_manager_unpair_reason(const pair_manager *pm);
int pair_manager_status(const pair_manager *pm);
// The session's stop flag (connect_exit).
int pair_manager_stopping(const pair_manager *pm);
// Program exit or init failure: stop flag, reason -2 and the threads' quit flag.
void pair_manager_quit(pair_manager *pm);
// Stores a status and tells both observers.
void set_pair_status(pair_manager *pm, int status);
// The pairing-code thread's store-and-notify of STATUS_PIN_CHECK: only while
// the session is pairing or checking a code. 1 entered, 0 not (the session
// has moved on).
int pair_manager_enter_pin_check(pair_manager *pm);
