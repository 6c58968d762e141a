#include "media/audio_stream.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "link/bus/event_bus.h"
#include "media/dsp/dsp_setup.h"
#include "media/media_cmd.h"
#include "media/rtp_socket.h"
#include "media/srtp_kit.h"
#include "platform/config.h"
#include "platform/log.h"
#include "platform/os/os_time.h"
#include "platform/os/os_timer.h"

namespace {

using lock_guard = std::lock_guard<std::recursive_mutex>;

constexpr int kMaxPort = 65535;
// Datagrams taken in one receive step: half a second of audio. A flood from
// the LAN then cannot keep the capture timer inside one step.
constexpr int kMaxDatagramsPerStep = 50;

int post_cmd(audio_stream_state *st, uint32_t cmd, int32_t value, const void *body, size_t size) {
    return duvo_event_post(body, size, st->event_socket, EVT_SEND_CMD, cmd, value);
}

void clear_keys(audio_stream_state *st) {
    memset(st->encode_key, 0, sizeof st->encode_key);
    memset(st->decode_key, 0, sizeof st->decode_key);
}

// The engines run at the rate the USB side frames for: every rate other than
// 16000 is framed like 32000 there.
int engine_rate(const audio_stream_state *st) {
    return st->sample_rate == 16000 ? 16000 : 32000;
}

void cancel_timer(audio_stream_state *st, std::atomic<int> &slot) {
    int id = slot.exchange(0);
    if (id > 0) os_timer_cancel(st->timers, id, 0);
}

void start_timer(audio_stream_state *st, std::atomic<int> &slot, unsigned ms, os_timer_fn fn) {
    cancel_timer(st, slot);
    if (st->shutting_down) return;
    int id = os_timer_start(st->timers, ms, fn, st);
    slot = id > 0 ? id : 0;
}

// Claims the slot for the timer that fired; false when it was cancelled or
// replaced while its callback was already on its way.
bool claim_timer(std::atomic<int> &slot, int id) {
    int expected = id;
    return slot.compare_exchange_strong(expected, 0);
}

void delayed_close_cb(void *ctx, int id) {
    auto *st = static_cast<audio_stream_state *>(ctx);
    lock_guard g(st->mutex);
    if (!claim_timer(st->close_timer, id)) return;
    log_print(0, LL_INFO, "rtp delay close\n");
    post_cmd(st, MEDIA_CMD_DEVICE_UN_ACTIVE, 0, nullptr, 0);
    rtp_stream_destroy(st);
}

void invite_timeout_cb(void *ctx, int id) {
    auto *st = static_cast<audio_stream_state *>(ctx);
    lock_guard g(st->mutex);
    if (!claim_timer(st->open_timer, id)) return;
    log_print(0, LL_INFO, "close unable open rtp\n");
    post_cmd(st, MEDIA_CMD_DEVICE_UN_ACTIVE, 0, nullptr, 0);
    rtp_stream_destroy(st);
}

void default_mic_cb(void *ctx, int id) {
    auto *st = static_cast<audio_stream_state *>(ctx);
    // Under the lock like the others: clean-up cannot free the record while
    // a callback that has claimed its slot still reads it.
    lock_guard g(st->mutex);
    if (!claim_timer(st->default_mic_timer, id)) return;
    int capture = st->audio_capture_active;
    log_print(0, LL_INFO, "set device as default mic %d.\n", capture);
    post_cmd(st, MEDIA_CMD_DEVICE_SET_AS_MIC, capture, nullptr, 0);
}

void start_delayed_close(audio_stream_state *st, unsigned ms) {
    start_timer(st, st->close_timer, ms, delayed_close_cb);
}

// Socket and SRTP session of the current stream; the caller holds the mutex.
void close_stream_resources(audio_stream_state *st) {
    if (st->srtp_kit != nullptr) {
        srtp_kit_destroy(st->srtp_kit);
        st->srtp_kit = nullptr;
    }
    clear_keys(st);
    if (st->rtp_socket != RTP_SOCKET_NONE) {
        log_print(0, LL_INFO, "destroy rtp socket :%d\n", st->rtp_socket);
        rtp_socket_close(st->rtp_socket);
        st->rtp_socket = RTP_SOCKET_NONE;
    }
}

int refuse_create(const char *why) {
    if (why != nullptr) log_print(0, LL_ERR, "%s", why);
    log_print(0, LL_ERR, "rtp stream create fail\n");
    return -1;
}

int fail_create(audio_stream_state *st) {
    log_print(0, LL_ERR, "close rtp socket :%d\n", st->rtp_socket);
    rtp_socket_close(st->rtp_socket);
    st->rtp_socket = RTP_SOCKET_NONE;
    st->dacvite = 0;
    clear_keys(st);
    log_print(0, LL_ERR, "rtp stream create fail\n");
    return -1;
}

bool is_from_phone(const audio_stream_state *st, const sockaddr_in &from) {
    return from.sin_family == AF_INET && from.sin_addr.s_addr == htonl(st->phone_ip);
}

}  // namespace

void audio_stream_init(audio_stream_state *st) {
    lock_guard g(st->mutex);
    st->srtp_enable = 0;
    st->srtp_dump_once = 0;
    st->sample_rate = 0;
    st->rtp_socket = RTP_SOCKET_NONE;
    st->srtp_kit = nullptr;
    memset(&st->remote_addr, 0, sizeof st->remote_addr);
    st->stream_running = 0;
    st->event_socket = -1;
    st->rx_reset_pending = 0;
    st->tx_reset_pending = 0;
    st->dacvite = 0;
    st->inc_call_type = 0;
    memset(st->conversation_id, 0, sizeof st->conversation_id);
    memset(st->display_name, 0, sizeof st->display_name);
    st->audio_capture_active = 0;
    st->audio_playback_active = 0;
    st->close_timer = 0;
    st->delay_restart_flag = 0;
    clear_keys(st);
    st->open_timer = 0;
    st->default_mic_timer = 0;
    st->last_restart_ms = 0;
    st->stop_transmit_audio_stream = 0;
    st->timers = os_timer_default();
    st->wall_clock = os_wall_ms;
    st->phone_ip = 0;
    st->shutting_down = 0;
}

void audio_stream_cleanup(audio_stream_state *st) {
    {
        // Timers are started with the lock held: once the flag is set under
        // it, no callback can start another one behind the loop below.
        lock_guard g(st->mutex);
        st->shutting_down = 1;
    }
    // A callback that was already running may have started another timer
    // before it saw the flag: go round until every slot stays empty.
    for (;;) {
        int cancelled = 0;
        for (std::atomic<int> *slot : {&st->close_timer, &st->open_timer, &st->default_mic_timer}) {
            int id = slot->exchange(0);
            if (id > 0) {
                os_timer_cancel(st->timers, id, 1);
                ++cancelled;
            }
        }
        if (cancelled == 0) break;
    }
    st->stream_running = 0;
    st->dacvite = 0;
    lock_guard g(st->mutex);
    close_stream_resources(st);
}

int audio_stream_set_active(audio_stream_state *st, int value, int is_capture) {
    lock_guard g(st->mutex);
    if (is_capture) {
        st->audio_capture_active = value;
        start_timer(st, st->default_mic_timer, AUDIO_DEFAULT_MIC_MS, default_mic_cb);
    } else {
        st->audio_playback_active = value;
    }
    log_print(0, LL_INFO,
              "audio_playback_active %d, audio_capture_active %d, timer id %d, "
              "stop_transmit_audio_stream=%d\n",
              st->audio_playback_active.load(), st->audio_capture_active.load(),
              st->close_timer.load(), st->stop_transmit_audio_stream.load());
    if (st->stop_transmit_audio_stream) return 0;
    if (st->audio_playback_active || st->audio_capture_active) {
        audio_stream_request_open(st);
    } else if (st->dacvite) {
        start_delayed_close(st, AUDIO_IDLE_CLOSE_MS);
    }
    return 0;
}

int audio_stream_request_open(audio_stream_state *st) {
    lock_guard g(st->mutex);
    if (st->close_timer != 0) {
        log_print(0, LL_DEBUG, "destroy delay close rtp timer\n");
        cancel_timer(st, st->close_timer);
    }
    if (st->dacvite) {
        log_print(0, LL_ERR, "device already active\n");
        return -1;
    }
    if (st->rtp_socket != RTP_SOCKET_NONE) {
        log_print(0, LL_ERR, "wait for close finish\n");
        st->delay_restart_flag = 1;
        return -1;
    }
    if (st->shutting_down) return -1;
    log_print(0, LL_INFO, "invite phone to open rtp port, srtp enable:%d\n", st->srtp_enable);

    uint8_t body[MEDIA_ACTIVE_BODY_SIZE] = {};
    uint32_t port = static_cast<uint32_t>(g_config.media_port);
    memcpy(body, &port, sizeof port);
    if (st->srtp_enable) {
        if (srtp_key_line_generate(st->encode_key, sizeof st->encode_key) != 0) {
            clear_keys(st);
            log_print(0, LL_ERR, "invite to open send fail\n");
            return -1;
        }
        memcpy(body + sizeof port, st->encode_key, strnlen(st->encode_key, MEDIA_ACTIVE_KEY_FIELD));
    }
    if (post_cmd(st, MEDIA_CMD_DEVICE_ACTIVE, 0, body, sizeof body) != 0) {
        clear_keys(st);
        log_print(0, LL_ERR, "invite to open send fail\n");
        return -1;
    }
    st->dacvite = 1;
    start_timer(st, st->open_timer, AUDIO_INVITE_TIMEOUT_MS, invite_timeout_cb);
    return 0;
}

int rtp_stream_create(audio_stream_state *st, const char *key_line, uint32_t phone_ip,
                      int remote_port, int key_len) {
    lock_guard g(st->mutex);
    log_print(0, LL_INFO, "create rtp stream,remote_port:%d\n", remote_port);
    // A refused start leaves a running stream and a pending invite time-out
    // alone, so a stray CALL_START can neither break the one nor strand the other.
    if (st->srtp_enable && st->encode_key[0] == '\0') return refuse_create("rtp encode key miss\n");
    if (st->decode_key[0] != '\0') return refuse_create("rtp decode key exist\n");
    if (st->srtp_enable && key_len > SRTP_KEY_LINE_MAX) {
        log_print(0, LL_ERR, "decode key len %d > %d\n", key_len, SRTP_KEY_LINE_MAX);
        return refuse_create(nullptr);
    }
    if (st->rtp_socket != RTP_SOCKET_NONE) return refuse_create("rtp stream exist\n");
    if (remote_port <= 0 || remote_port > kMaxPort) {
        log_print(0, LL_ERR, "rtp remote port %d invalid\n", remote_port);
        return refuse_create(nullptr);
    }
    cancel_timer(st, st->open_timer);
    memset(&st->remote_addr, 0, sizeof st->remote_addr);

    size_t n = 0;
    if (key_line != nullptr && key_len > 0)
        n = strnlen(key_line,
                    std::min(static_cast<size_t>(key_len), static_cast<size_t>(SRTP_KEY_LINE_MAX)));
    if (n > 0) memcpy(st->decode_key, key_line, n);
    st->decode_key[n] = '\0';

    int fd = rtp_socket_create();
    if (fd < 0) {
        log_print(0, LL_ERR, "Create rtp socket fail\n");
        return fail_create(st);
    }
    st->rtp_socket = fd;
    log_print(0, LL_INFO, "Create rtp socket success:%d\n", fd);
    int local_port = g_config.media_port;
    if (rtp_socket_bind_any(fd, local_port) != 0) {
        log_print(0, LL_ERR, "Bind rtp port(%d) fail\n", local_port);
        return fail_create(st);
    }
    st->remote_addr.sin_family = AF_INET;
    st->remote_addr.sin_addr.s_addr = htonl(phone_ip);
    st->remote_addr.sin_port = htons(static_cast<uint16_t>(remote_port));
    st->phone_ip = phone_ip;
    if (rtp_socket_set_nonblocking(fd) != 0) {
        log_print(0, LL_ERR, "Rtp set FIONBIO fail\n");
        return fail_create(st);
    }
    if (st->srtp_enable) {
        struct srtp_kit *kit = nullptr;
        if (srtp_kit_create(&kit, st->decode_key, static_cast<int>(strlen(st->decode_key)),
                            st->encode_key, static_cast<int>(strlen(st->encode_key))) != 0) {
            log_print(0, LL_ERR, "srtp kit create fail.\ndec: %s\nenc: %s\n", st->decode_key,
                      st->encode_key);
            return fail_create(st);
        }
        st->srtp_kit = kit;
    }
    st->rx_reset_pending = 1;
    st->tx_reset_pending = 1;
    st->dacvite = 1;  // a stream exists, invited or not, so destroy will close it
    st->stream_running = 1;
    if (st->conversation_id[0] != '\0' && st->audio_capture_active && st->audio_playback_active) {
        uint8_t body[MEDIA_UPDATE_BODY_SIZE];
        memcpy(body, st->conversation_id, MEDIA_UPDATE_FIELD);
        memcpy(body + MEDIA_UPDATE_FIELD, st->display_name, MEDIA_UPDATE_FIELD);
        body[2 * MEDIA_UPDATE_FIELD] = 1;
        post_cmd(st, MEDIA_CMD_DEVICE_UPDATE, 0, body, sizeof body);
    }
    return 0;
}

int rtp_stream_destroy(audio_stream_state *st) {
    // Exactly one caller owns each destroy: a close timer and the phone's call
    // end arriving together must not wipe the invitation the first one made.
    if (st->dacvite.exchange(0) == 0) return 0;
    cancel_timer(st, st->open_timer);
    // Cleared before the lock so that a running send or receive step stops.
    st->stream_running = 0;
    lock_guard g(st->mutex);
    close_stream_resources(st);
    if (st->delay_restart_flag.exchange(0)) audio_stream_request_open(st);
    return 0;
}

void audio_stream_ctl(audio_stream_state *st, int ctl_mode) {
    lock_guard g(st->mutex);
    log_print(0, LL_INFO,
              "audio stream ctl: ctl_mode=%d, dacvite=%d, stop_transmit=%d, close_timer=%d, "
              "cap_active=%d, plbck_active=%d\n",
              ctl_mode, st->dacvite.load(), st->stop_transmit_audio_stream.load(),
              st->close_timer.load(), st->audio_capture_active.load(),
              st->audio_playback_active.load());
    st->stop_transmit_audio_stream = ctl_mode == 0 ? 1 : 0;
    if (ctl_mode == 0 && st->dacvite) {
        st->delay_restart_flag = 0;
        start_delayed_close(st, AUDIO_QUICK_CLOSE_MS);
    } else if (ctl_mode == 1 && !st->dacvite &&
               (st->audio_capture_active || st->audio_playback_active)) {
        audio_stream_request_open(st);
    }
}

int audio_stream_send(audio_stream_state *st, const void *pcm, int pcm_len, capture_file *capture) {
    lock_guard g(st->mutex);
    if (!st->stream_running) return 0;
    int result = 0;
    if (st->tx_reset_pending) {
        log_print(0, LL_INFO, "dsp tx reset\n");
        dsp_tx_reset(engine_rate(st));
        st->tx_reset_pending = 0;
    }
    if (pcm != nullptr && pcm_len == dsp_tx_frame_bytes())
        dsp_tx_put_frame(static_cast<const int16_t *>(pcm), pcm_len);
    uint8_t pkt[AUDIO_PACKET_MAX];
    for (;;) {
        // Room behind the packet for the SRTP trailer.
        int len = dsp_tx_next_rtp(pkt, static_cast<int>(sizeof pkt) - SRTP_KIT_TRAILER_MAX);
        if (len <= 0) {
            log_print(0, LL_DEBUG, "libdsp_TX_RTP len:%d\n", len);
            break;
        }
        if (st->srtp_enable && st->srtp_kit != nullptr) {
            int rc = srtp_kit_protect(st->srtp_kit, pkt, &len, sizeof pkt);
            if (rc != 0) {
                log_print(0, LL_ERR, "protect rtp pkg fail, len:%d, ret:%d\n", len, -rc);
                return -rc;
            }
            if (st->srtp_dump_once.exchange(0)) {
                char text[SRTP_DUMP_TEXT_SIZE];
                srtp_kit_dump(st->srtp_kit, text, sizeof text);
                log_print(0, LL_INFO, "%s\n", text);
            }
        }
        int sent = rtp_socket_send(st->rtp_socket, pkt, static_cast<size_t>(len), st->remote_addr);
        if (capture != nullptr && sent > 0)
            capture_file_write(capture, pkt, static_cast<size_t>(sent));
        if (sent < len) {
            log_print(0, LL_ERR, "send rtp pkg fail, socket %d, err_code:%d\n", st->rtp_socket,
                      errno);
            result = -1;
            break;
        }
    }
    return result;
}

int audio_stream_receive(audio_stream_state *st, capture_file *capture, void *out_pcm,
                         int out_len) {
    lock_guard g(st->mutex);
    if (!st->stream_running) return 0;
    int result = 0;
    if (st->rx_reset_pending) {
        log_print(0, LL_INFO, "dsp rx reset\n");
        dsp_rx_reset(engine_rate(st));
        st->rx_reset_pending = 0;
    }
    uint8_t pkt[AUDIO_PACKET_MAX];
    for (int taken = 0; taken < kMaxDatagramsPerStep; ++taken) {
        sockaddr_in from{};
        int len = rtp_socket_recv(st->rtp_socket, pkt, sizeof pkt, &from);
        if (len == RTP_SOCKET_DROPPED) {
            log_print(0, LL_WARN, "rtp datagram empty or over %zu bytes dropped\n", sizeof pkt);
            continue;
        }
        if (len <= 0) break;
        if (capture != nullptr) capture_file_write(capture, pkt, static_cast<size_t>(len));
        bool genuine;
        if (st->srtp_enable && st->srtp_kit != nullptr) {
            int recv_len = len;
            int rc = srtp_kit_unprotect(st->srtp_kit, pkt, &len);
            genuine = rc == 0;
            if (rc != 0) {
                result = -rc;
                if (rc != srtp_err_status_replay_fail)
                    log_print(0, LL_ERR, "unprotect rtp pkg fail, recvlen=%d,ret:%d\n", recv_len,
                              -rc);
                uint64_t now = st->wall_clock();
                if (rc == srtp_err_status_auth_fail && st->close_timer == 0 &&
                    now - st->last_restart_ms > AUDIO_RESTART_GAP_MS) {
                    st->delay_restart_flag = 1;
                    st->last_restart_ms = now;
                    start_delayed_close(st, AUDIO_QUICK_CLOSE_MS);
                    char addr[INET_ADDRSTRLEN];
                    log_print(0, LL_INFO,
                              "Delay %dms for restart pc-audio for %s:%u, delay_restart_flag=%d\n",
                              static_cast<int>(AUDIO_QUICK_CLOSE_MS),
                              rtp_addr_text(st->remote_addr, addr, sizeof addr),
                              static_cast<unsigned>(ntohs(st->remote_addr.sin_port)),
                              st->delay_restart_flag.load());
                }
            }
        } else {
            genuine = is_from_phone(st, from);
        }
        // Only a datagram that proved to be the phone's may move our sending
        // address, and only authenticated audio reaches the decoder.
        if (genuine) {
            st->remote_addr = from;
        } else if (st->srtp_enable && st->srtp_kit != nullptr) {
            continue;
        }
        dsp_rx_put_rtp(pkt, len);
    }
    if (out_pcm != nullptr && out_len == dsp_rx_frame_bytes())
        dsp_rx_get_frame(static_cast<int16_t *>(out_pcm), out_len);
    return result;
}
