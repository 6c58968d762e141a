// Creation and release of the pair manager, its two threads and the
// operations the shell drives it with.
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <system_error>

#include "link/bus/event_bus.h"
#include "link/duvo_cmd.h"
#include "link/duvo_resend.h"
#include "link/pair_manager_impl.h"
#include "link/tls_io.h"
#include "platform/log.h"
#include "platform/os/os_time.h"
#include "platform/version.h"

namespace {

// Link hooks: the session's connection and observers behind the wire layer.
int hook_send(void *ctx, const uint8_t *buf, size_t len) {
    return phone_conn_send(&static_cast<pair_manager *>(ctx)->conn, buf, len);
}

int hook_has_socket(void *ctx) {
    return static_cast<pair_manager *>(ctx)->conn.sock >= 0 ? 1 : 0;
}

int hook_local_addr(void *ctx, uint32_t *addr) {
    pair_manager *pm = static_cast<pair_manager *>(ctx);
    if (pm->conn.sock < 0) return -1;
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(pm->conn.sock, (sockaddr *)&sa, &len) != 0 || sa.sin_family != AF_INET)
        return -1;
    *addr = ntohl(sa.sin_addr.s_addr);  // the body builders take host order
    return 0;
}

void hook_set_srtp_dump(void *ctx, int on) {
    pair_manager *pm = static_cast<pair_manager *>(ctx);
    if (pm->usb_device) pm->dev_ops->set_srtp_dump(pm->usb_device, on);
}

void hook_status_changed(void *ctx, int status) {
    pair_manager *pm = static_cast<pair_manager *>(ctx);
    if (pair_observer o1 = pm->observer1.load()) o1(pm->ctx1, NOTIFY_PAIR_STATUS, status);
    if (pair_observer o2 = pm->observer2.load()) o2(pm->ctx2, NOTIFY_PAIR_STATUS, status);
}

int hook_handle_cmd(void *ctx, duvo_link *, uint8_t id, const uint8_t *body, size_t len) {
    return pair_handle_cmd(static_cast<pair_manager *>(ctx), id, body, len);
}

// Reads the bus while no session runs: only the start-pairing event counts.
void event_reader_thread(pair_manager *pm) {
    uint8_t buf[EVT_FRAME_MAX];
    while (!pm->quit) {
        pollfd pfd{pm->bus_recv, POLLIN, 0};
        int r = poll(&pfd, 1, SESSION_WAIT_MS);
        if (r < 0) {
            if (errno != EINTR) log_print(0, LL_ERR, "select error\n");
            continue;
        }
        if (r == 0) continue;
        ssize_t n = recv(pm->bus_recv, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 16) {
            if (n < 0 && errno != EAGAIN) log_print(0, LL_ERR, "read duvo message header err!\n");
            continue;
        }
        uint32_t type = uint32_t(buf[0]) | uint32_t(buf[1]) << 8 | uint32_t(buf[2]) << 16 |
                        uint32_t(buf[3]) << 24;
        if (type == EVT_START_PAIR) begin_pairing(pm);
    }
    pm->reader_running = false;
}

// Runs the due timers, re-sends what the phone did not acknowledge, purges the lists.
void tick_thread(pair_manager *pm) {
    while (!pm->quit) {
        timer_tick(&pm->timers);
        duvo_resend_due(&pm->link, pm->bus_send);
        os_sleep_ms(TICK_PERIOD_MS);
    }
    pm->tick_running = false;
}

}  // namespace

void pm_notify(pair_manager *pm, int kind, int value) {
    if (pair_observer o1 = pm->observer1.load()) o1(pm->ctx1, kind, value);
}

void set_pair_status(pair_manager *pm, int status) {
    if (pm) duvo_link_set_status(&pm->link, status);
}

int pair_manager_enter_pin_check(pair_manager *pm) {
    if (pm == nullptr) return 0;
    // Only a running pairing may enter the code check: a session that ended
    // meanwhile must stay idle, or no later start would be taken.
    int cur = pm->link.status;
    for (;;) {
        if (cur != STATUS_PAIRING && cur != STATUS_PIN_CHECK && cur != STATUS_PIN_FAILED &&
            cur != STATUS_PIN_SUCCEED)
            return 0;
        if (pm->link.status.compare_exchange_weak(cur, STATUS_PIN_CHECK)) break;
    }
    if (pm->link.hooks.status_changed)
        pm->link.hooks.status_changed(pm->link.hooks.ctx, STATUS_PIN_CHECK);
    return 1;
}

int pair_manager_init(pair_manager **out) {
    if (out == nullptr) return -1;
    pair_manager *pm = new (std::nothrow) pair_manager;
    if (pm == nullptr) {
        log_print(0, LL_ERR, "alloc pair manager fail\n");
        return -2;
    }
    duvo_link_hooks hooks{};
    hooks.send = hook_send;
    hooks.has_socket = hook_has_socket;
    hooks.local_addr = hook_local_addr;
    hooks.set_srtp_dump = hook_set_srtp_dump;
    hooks.status_changed = hook_status_changed;
    hooks.handle_cmd = hook_handle_cmd;
    hooks.ctx = pm;
    duvo_link_init(&pm->link, &hooks);
    pm->link.status = STATUS_IDLE;
    pm->dev_ops = session_device_get_ops();
    phone_conn_init(&pm->conn, TRANS_TYPE_TLS);
    snprintf(pm->duvo_version, sizeof pm->duvo_version, "%s", OSTRELLE_VERSION);
    *out = pm;

    if (duvo_event_bus_init(&pm->bus_send, &pm->bus_recv) != 0) {
        log_print(0, LL_ERR, "Init DuvoMessageEvent error\n");
        return 0;  // no threads: the shell's start requests go nowhere
    }
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    try {
        pm->reader_running = true;
        pm->reader_thread = std::thread(event_reader_thread, pm);
    } catch (const std::system_error &) {
        pm->reader_running = false;
        log_print(0, LL_ERR, "CreateThread fail\n");
        return -4;
    }
    try {
        pm->tick_running = true;
        pm->tick_thread = std::thread(tick_thread, pm);
    } catch (const std::system_error &) {
        pm->tick_running = false;
        log_print(0, LL_ERR, "CreateThread fail\n");
        return -5;
    }
    return 0;
}

int ReleasePairManager(pair_manager *pm) {
    if (pm == nullptr) return -1;
    if (pm->reader_running || pm->tick_running) return 0;
    if (pm->reader_thread.joinable()) pm->reader_thread.join();
    if (pm->tick_thread.joinable()) pm->tick_thread.join();
    duvo_event_bus_close(pm->bus_send, pm->bus_recv);
    duvo_link_deinit(&pm->link);
    delete pm;
    return 1;
}

int StartPair(pair_manager *pm) {
    if (pm == nullptr) return -1;
    return duvo_event_post(nullptr, 0, pm->bus_send, EVT_START_PAIR, 0, 0);
}

int StopPair(pair_manager *pm, int reason) {
    if (pm == nullptr) return -1;
    log_print(0, LL_INFO, "StopPair\n");
    pm->link.unpair_reason = reason;
    pm->conn.connect_exit = 1;
    return 0;
}

int SetPcState(pair_manager *pm, int flags) {
    if (pm == nullptr) return -1;
    pm->link.pc_status = flags;
    return duvo_event_post(nullptr, 0, pm->bus_send, EVT_TIMER_CMD, DUVO_CMD_C2P_UPDATE_PC_STATUS,
                           flags);
}

int SetPhoneSyslog(pair_manager *pm, int on) {
    if (pm == nullptr) return -1;
    return duvo_event_post(nullptr, 0, pm->bus_send, EVT_UI_CMD, DUVO_CMD_C2P_SYSLOG_UPDATE, on);
}

int SendPairCode(pair_manager *pm, int result, const char *code, int length) {
    if (pm == nullptr) return -1;
    if (result < 0)
        return duvo_event_post(nullptr, 0, pm->bus_send, EVT_TIMER_CMD,
                               DUVO_CMD_C2P_CANCEL_PAIRING_CODE, 0);
    // An accepted code goes to the phone as it is, even empty: the phone judges it.
    return duvo_event_post(code, (code && length > 0) ? size_t(length) : 0, pm->bus_send,
                           EVT_TIMER_CMD, DUVO_CMD_C2P_PIN_VERIFICATION, 0);
}

int SetAudioCapture(pair_manager *pm, int on) {
    if (pm == nullptr) return -1;
    std::lock_guard<std::mutex> g(pm->device_lock);  // teardown cannot free it meanwhile
    void *dev = pm->usb_device;
    if (dev == nullptr) return on ? -1 : 0;
    if (on) return pm->dev_ops->capture_files_open(dev);
    pm->dev_ops->capture_files_close(dev);
    return 0;
}

void pair_manager_set_observer(pair_manager *pm, int which, pair_observer fn, void *ctx) {
    if (pm == nullptr) return;
    if (which == 1) {
        pm->ctx1 = ctx;
        pm->observer1 = fn;
    } else {
        pm->ctx2 = ctx;
        pm->observer2 = fn;
    }
}

void pair_manager_set_srtp_enable(pair_manager *pm, int on) {
    if (pm) pm->srtp_enable = on ? 1 : 0;
}

void pair_manager_set_resumed(pair_manager *pm, int on) {
    if (pm) pm->resumed = on ? 1 : 0;
}

void pair_manager_set_debug_mode(pair_manager *pm, int on) {
    if (pm) duvo_event_post(nullptr, 0, pm->bus_send, EVT_DEBUG_MODE, on ? 1 : 0, 0);
}

int pair_manager_unpair_reason(const pair_manager *pm) {
    return pm ? pm->link.unpair_reason.load() : 0;
}
int pair_manager_status(const pair_manager *pm) {
    return pm ? pm->link.status.load() : STATUS_IDLE;
}
int pair_manager_stopping(const pair_manager *pm) {
    return pm ? pm->conn.connect_exit.load() : 1;
}

void pair_manager_quit(pair_manager *pm) {
    if (pm == nullptr) return;
    pm->link.unpair_reason = UNPAIR_USER;
    pm->conn.connect_exit = 1;
    pm->quit = 1;
}

void pair_manager_set_timer_clock(pair_manager *pm, timer_clock clock, void *ctx) {
    timer_container_set_clock(&pm->timers, clock, ctx);
}
