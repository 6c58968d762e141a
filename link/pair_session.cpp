// One session with the phone: find it, connect, detect the message format,
// run until the link ends, and tear down so that the status always passes
// through STATUS_UNPAIRING to STATUS_IDLE.
#include <poll.h>
#include <sys/socket.h>

#include <cstring>

#include "link/bus/event_bus.h"
#include "link/discovery.h"
#include "link/duvo_body.h"
#include "link/duvo_cmd.h"
#include "link/duvo_event_dispatch.h"
#include "link/duvo_parse.h"
#include "link/duvo_wire.h"
#include "link/pair_manager_impl.h"
#include "platform/config.h"
#include "platform/log.h"

namespace {

constexpr uint32_t BROADCAST_ADDR = 0xFFFFFFFF;

// Fall-back timers post the command the phone did not prompt in time.
int post_pair_detect_cb(void *user, int, int reason, int) {
    pair_manager *pm = static_cast<pair_manager *>(user);
    if (reason == TIMER_FIRED)
        duvo_event_post(nullptr, 0, pm->bus_send, EVT_TIMER_CMD, DUVO_CMD_C2P_PAIR_DETECT, 0);
    return 0;
}

void reset_session_fields(pair_manager *pm) {
    pm->detect_sent = 0;
    pm->keepalive_timer = 0;
    pm->usb_device = nullptr;
    pm->dev_ops = session_device_get_ops();
    memset(pm->device_name, 0, sizeof pm->device_name);
    memset(pm->sw_version, 0, sizeof pm->sw_version);
    memset(pm->sip_version, 0, sizeof pm->sip_version);
    memset(pm->conv_id, 0, sizeof pm->conv_id);
    pm->resumed = 0;
    pm->pair_mode = 0;
    pm->connect_type = 0;
    pm->client_misses = 0;
    pm->phone_misses = 0;
    pm->signin_retries = 0;
    // msg_version, sequence, codec "L16PCM" at 16000 Hz, alive and signed-in flags
    duvo_link_session_reset(&pm->link);
}

// Handles the events read from the bus during the session.
void dispatch_event(void *ctx, const duvo_event *ev) {
    pair_manager *pm = static_cast<pair_manager *>(ctx);
    if (pm->link.end_session) return;  // the session is ending: the rest is dropped
    duvo_event_dispatch(&pm->link, ev);
}

void teardown(pair_manager *pm) {
    duvo_link *link = &pm->link;
    log_print(0, LL_INFO, "|DUVO| pair status %d, exit %d\n", link->status.load(),
              pm->conn.connect_exit.load());
    timer_container_destroy(&pm->timers);
    pm->detect_timer = -1;
    pm->pair_mode_timer = -1;
    pm->keepalive_timer = 0;

    const int reason = link->unpair_reason;
    if (reason == UNPAIR_USER) pm_send(pm, DUVO_CMD_C2P_PAIR_CANCELLED);
    pm_send(pm, DUVO_CMD_C2P_DEVICE_UN_ACTIVE);
    if (link->status == STATUS_PAIREDSIGNIN && reason < 0 && reason != UNPAIR_PAIR_MODE_SWITCHED &&
        link->msg_version < 2)
        duvo_send_phone_lock(link, 1);
    set_pair_status(pm, STATUS_UNPAIRING);
    pm_send(pm, DUVO_CMD_COM_UN_PAIR);
    pm_send(pm, DUVO_CMD_COM_CLOSE_FD);

    void *dev;
    {
        // Withdrawn first, under the lock the shell's capture switch takes.
        std::lock_guard<std::mutex> g(pm->device_lock);
        dev = pm->usb_device.exchange(nullptr);
    }
    if (dev) {
        pm->dev_ops->rtp_stream_destroy(dev);
        pm->dev_ops->usb_device_stop(dev);
        pm->dev_ops->close_driver(dev);
        pm->dev_ops->usb_device_deinit(dev);
    }
    pm->plugged = 0;
    link->recv_list.Clear();
    link->sent_list.Clear();
    phone_conn_close(&pm->conn);
    duvo_link_connection_reset(link);
    set_pair_status(pm, STATUS_IDLE);
}

// What a failed or empty read from the phone means. 1: go on with the loop;
// 0: the session ends.
int handle_read_failure(pair_manager *pm, int result) {
    duvo_link *link = &pm->link;
    if (result == CONN_ERR_AGAIN) return 1;
    const int status = link->status;
    if (status == STATUS_IDLE || status == STATUS_UNPAIRING) return 1;
    if (status == STATUS_PAIRING && pm->trans_type == TRANS_TYPE_TCP) {
        // A phone that closes a plain connection while pairing wants TLS.
        link->unpair_reason = UNPAIR_TRANSPORT_SWITCHED;
        std::lock_guard<std::recursive_mutex> g(g_config.lock);
        g_config.trans_type = TRANS_TYPE_TLS;
        config_save();
        return 0;
    }
    if (pm->resumed == 0 && reconnect_phone(pm) > 0) return 1;
    link->unpair_reason = UNPAIR_CONNECT_FAILED;
    pm->need_inpurt_pair_code = (status < STATUS_PAIRED) ? 1 : 0;
    return 0;
}

// Reads what the phone sent. 1: go on; 0: the session ends.
int read_phone(pair_manager *pm) {
    static thread_local uint8_t buf[PHONE_READ_BUF_SIZE];
    int n;
    if (pm->conn.trans_type == TRANS_TYPE_TLS) {
        n = phone_conn_read(&pm->conn, buf, sizeof buf);
    } else {
        ssize_t r = recv(pm->conn.sock, buf, sizeof buf, 0);
        n = r > 0 ? int(r) : CONN_ERR_CLOSED;
        if (r < 0 && (errno == EAGAIN || errno == EINTR)) n = CONN_ERR_AGAIN;
    }
    if (n <= 0) return handle_read_failure(pm, n);
    return duvo_parse(&pm->link, buf, size_t(n)) ? 0 : 1;
}

void run_loop(pair_manager *pm) {
    while (!pm->conn.connect_exit && !pm->link.end_session) {
        // TLS may hold decrypted bytes that the socket no longer shows.
        bool phone_ready = pm->conn.ssl && SSL_pending(pm->conn.ssl) > 0;
        bool bus_ready = false;
        if (!phone_ready) {
            pollfd fds[2] = {{pm->conn.sock, POLLIN, 0}, {pm->bus_recv, POLLIN, 0}};
            int r = poll(fds, 2, SESSION_WAIT_MS);
            if (r < 0) {
                if (errno != EINTR) log_print(0, LL_ERR, "select error\n");
                continue;
            }
            if (r == 0) continue;
            phone_ready = fds[0].revents & (POLLIN | POLLHUP | POLLERR);
            bus_ready = fds[1].revents & POLLIN;
        }
        if (phone_ready) {
            if (!read_phone(pm)) return;
            continue;  // the bus waits for an iteration without phone data
        }
        if (bus_ready && duvo_event_read(pm->bus_recv, dispatch_event, pm) < 0) {
            // logged by the reader; the loop goes on
        }
    }
}

}  // namespace

int pm_send(pair_manager *pm, uint8_t id, const void *body, size_t len) {
    return duvo_send_cmd(&pm->link, len, body, id);
}

void begin_pairing(pair_manager *pm) {
    duvo_link *link = &pm->link;
    if (link->status != STATUS_IDLE || pm->quit) return;
    log_print(0, LL_INFO, "Start Pair\n");
    // The configuration is read and written as one piece: the shell may save it meanwhile.
    std::unique_lock<std::recursive_mutex> config_guard(g_config.lock);
    config_load();
    reset_session_fields(pm);
    pm->trans_type = g_config.trans_type;

    if (g_config.auto_ip) {
        pm->connect_type = 1;
    } else {
        uint32_t ip = g_config.phone_ip;
        if (ip == 0 || ip == BROADCAST_ADDR) {
            log_print(0, LL_WARN, "IP is Null\n");
            log_print(0, LL_INFO, "StopPair\n");
            pm->conn.connect_exit = 1;
            link->unpair_reason = UNPAIR_USER;
            return;
        }
        pm->phone_ip = ip;
    }

    if (g_config.conv_id[0] != '\0') {
        memcpy(pm->conv_id, g_config.conv_id, PM_CONV_ID_SIZE);
        pm->conv_id[PM_CONV_ID_SIZE - 1] = '\0';
    } else {
        char id[37];
        conv_id_generate(id);
        snprintf(pm->conv_id, sizeof pm->conv_id, "%s", id);
        g_config.set_conv_id(id);
        config_save();
    }

    config_guard.unlock();

    if (link->unpair_reason < 0) pm->need_inpurt_pair_code = 1;
    link->unpair_reason = UNPAIR_NONE;
    duvo_p2c_handle_pair_info(pm);
}

int duvo_p2c_handle_pair_info(pair_manager *pm) {
    duvo_link *link = &pm->link;
    phone_conn_close(&pm->conn);
    phone_conn_init(&pm->conn, pm->trans_type);
    pm->detect_timer = -1;
    pm->pair_mode_timer = -1;
    pm->plugged = 0;

    if (pm->connect_type == 1) {
        set_pair_status(pm, STATUS_GETIP);
        uint32_t ip = 0;
        int r = get_ip_by_pc(&ip, &pm->conn);
        if (r != 0) {
            pm->need_inpurt_pair_code = 1;
            if (r != -4) link->unpair_reason = UNPAIR_CONNECT_FAILED;
            set_pair_status(pm, STATUS_IDLE);
            return -1;
        }
        pm->phone_ip = ip;
    }

    set_pair_status(pm, STATUS_CONNECTING);
    log_print(0, LL_INFO, "start to pairing\n");
    pm->conn.phone_ip = pm->phone_ip;
    log_set_phone_addr(pm->phone_ip);
    {
        std::lock_guard<std::recursive_mutex> g(g_config.lock);
        g_config.phone_ip = pm->phone_ip;
        config_save();
    }

    int r = pm_send(pm, DUVO_CMD_C2P_DETECT_NEW_FORMATE);
    if (r <= 0) {
        switch (r) {
            case CONN_ERR_EXIT:
                break;
            case CONN_ERR_TIMEOUT:
                pm->need_inpurt_pair_code = 1;
                link->unpair_reason = UNPAIR_TIMEOUT;
                break;
            case CONN_ERR_WRONG_TRANS_TYPE: {
                std::lock_guard<std::recursive_mutex> g(g_config.lock);
                g_config.trans_type = TRANS_TYPE_TCP;
                config_save();
                link->unpair_reason = UNPAIR_TRANSPORT_SWITCHED;
                break;
            }
            default:
                link->unpair_reason = UNPAIR_CONNECT_FAILED;
                break;
        }
        teardown(pm);
        return -1;
    }

    if (timer_container_init(&pm->timers) != 0) {
        // Teardown still runs, so the status ends idle and nothing stays open.
        log_print(0, LL_ERR, "Init timer container error\n");
        teardown(pm);
        return -1;
    }
    pm->detect_timer = timer_add(&pm->timers, DETECT_FALLBACK_MS, 0, post_pair_detect_cb, pm);

    set_pair_status(pm, STATUS_PAIRING);
    if (!pm->conn.connect_exit) run_loop(pm);
    teardown(pm);
    return 0;
}

int reconnect_phone(pair_manager *pm) {
    pm->link.msg_version = 0;
    pm->link.phone_alive = 1;
    phone_conn_close(&pm->conn);
    duvo_link_connection_reset(&pm->link);
    int r = pm_send(pm, DUVO_CMD_C2P_DETECT_NEW_FORMATE);
    if (r <= 0) {
        pm->conn.no_autoconnect = 1;
        log_print(0, LL_ERR, "send DUVO_CMD_C2P_DETECT_NEW_FORMATE fail\n");
    }
    return r;
}

int send_keepalive_to_phone_cb(void *user, int, int reason, int) {
    if (reason != TIMER_FIRED) return 0;
    pair_manager *pm = static_cast<pair_manager *>(user);
    duvo_link *link = &pm->link;
    duvo_event_post(nullptr, 0, pm->bus_send, EVT_TIMER_CMD, DUVO_CMD_C2P_KEEP_ALIVE, 0);

    std::lock_guard<std::mutex> device_guard(pm->device_lock);
    void *dev = pm->usb_device;
    if (link->status == STATUS_PAIREDSIGNIN) {
        if (dev == nullptr || pm->dev_ops->take_uc_keepalive(dev)) {
            pm->client_misses = 0;
        } else if (++pm->client_misses >= CLIENT_MISSES_MAX) {
            log_print(0, LL_INFO,
                      "send_keepalive_to_phone_cb 8 times not recv keep alive from lync\n");
            duvo_event_post(nullptr, 0, pm->bus_send, EVT_TIMER_CMD,
                            DUVO_CMD_C2P_CLIENT_NO_RESPONSE, 0);
            set_pair_status(pm, STATUS_PAIRED);
            pm->client_misses = 0;
        }
    } else if (link->status == STATUS_PAIRED && link->signed_in == 1) {
        if (++pm->signin_retries >= SIGNIN_RETRY_TICKS &&
            (dev == nullptr || pm->dev_ops->take_uc_keepalive(dev))) {
            set_pair_status(pm, STATUS_PAIREDSIGNIN);
            pm->signin_retries = 0;
            link->signed_in = 1;
        }
    }

    if (link->phone_alive) {
        link->phone_alive = 0;
        pm->phone_misses = 0;
    } else if (++pm->phone_misses >= PHONE_MISSES_MAX) {
        pm->phone_misses = 0;
        log_print(0, LL_INFO, "3 times not receive the mirelta phone keepalive\n");
        pm->need_inpurt_pair_code = 0;
        link->unpair_reason = UNPAIR_PHONE_SILENT;
        pm->conn.connect_exit = 1;
    }
    return 0;
}
