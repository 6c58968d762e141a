// The pair manager record, shared by the files of the session (not by the
// shell, which uses the operations of pair_manager.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "link/bus/timer_container.h"
#include "link/duvo_link.h"
#include "link/pair_manager.h"
#include "link/phone_conn.h"
#include "link/session_device.h"

constexpr size_t PM_DEVICE_NAME_SIZE = 128;
constexpr size_t PM_SW_VERSION_SIZE = 128;
constexpr size_t PM_VERSION_SIZE = 32;
constexpr size_t PM_CONV_ID_SIZE = 48;

// Session timing.
constexpr int KEEPALIVE_PERIOD_MS = 3000;
constexpr int DETECT_FALLBACK_MS = 1500;
constexpr int PAIR_MODE_FALLBACK_MS = 1000;
constexpr int PHONE_MISSES_MAX = 3;    // keepalive ticks without a phone message
constexpr int CLIENT_MISSES_MAX = 8;   // keepalive ticks without the UC client's keepalive
constexpr int SIGNIN_RETRY_TICKS = 2;  // ticks in STATUS_PAIRED before signing in again
constexpr int SESSION_WAIT_MS = 100;   // longest wait of the session loop
constexpr int TICK_PERIOD_MS = 50;

struct pair_manager {
    void *ctx1 = nullptr;
    std::atomic<pair_observer> observer1{nullptr};
    void *ctx2 = nullptr;
    std::atomic<pair_observer> observer2{nullptr};

    int detect_sent = 0;
    std::thread reader_thread;
    std::thread tick_thread;
    std::atomic<bool> reader_running{false};
    std::atomic<bool> tick_running{false};
    std::atomic<int> keepalive_timer{0};
    // The virtual device while paired. The session thread publishes and
    // withdraws it; other threads use it only under device_lock, so teardown
    // cannot free it under them.
    std::atomic<void *> usb_device{nullptr};
    std::mutex device_lock;
    const session_device_ops *dev_ops = nullptr;
    timer_container timers;

    // msg_version, sequence, lists, status, unpair_reason, pc_status,
    // phone_alive, signed_in, codec name and rate live in the link.
    duvo_link link;

    char device_name[PM_DEVICE_NAME_SIZE] = {};
    char sw_version[PM_SW_VERSION_SIZE] = {};
    uint16_t device_vid = 0, device_pid = 0, device_rev = 0;
    uint32_t phone_ip = 0;  // host order
    std::atomic<int> resumed{0};
    std::atomic<int> srtp_enable{1};
    uint8_t pair_mode = 0;
    int connect_type = 0;
    std::atomic<int> quit{0};
    char conv_id[PM_CONV_ID_SIZE] = {};
    std::atomic<int> need_inpurt_pair_code{1};
    std::atomic<int> client_misses{0};
    std::atomic<int> phone_misses{0};
    std::atomic<int> signin_retries{0};
    char duvo_version[PM_VERSION_SIZE] = {};
    char sip_version[PM_VERSION_SIZE] = {};
    int bus_send = -1;
    int bus_recv = -1;
    int trans_type = TRANS_TYPE_TLS;
    phone_conn conn;

    // Local to one session run.
    std::atomic<int> detect_timer{-1};
    std::atomic<int> pair_mode_timer{-1};
    int plugged = 0;
};

// The session run and its parts.
void begin_pairing(pair_manager *pm);
int duvo_p2c_handle_pair_info(pair_manager *pm);
int reconnect_phone(pair_manager *pm);
int send_keepalive_to_phone_cb(void *user, int id, int reason, int repeat);
// One received phone command; 1 when it ends the session.
int pair_handle_cmd(pair_manager *pm, uint8_t id, const uint8_t *body, size_t len);
// Sends a command (no body when len is 0).
int pm_send(pair_manager *pm, uint8_t id, const void *body = nullptr, size_t len = 0);
// Tells observer 1 (and only it) about something other than a status.
void pm_notify(pair_manager *pm, int kind, int value);
// Replaces the clock of the session's timers (tests advance it by hand).
void pair_manager_set_timer_clock(pair_manager *pm, timer_clock clock, void *ctx);
// A version-5 name-based UUID over 32 random bytes, 36 characters + NUL.
void conv_id_generate(char out[37]);
