// When an RTP stream to the phone exists, and the 10 ms send and receive
// steps that move its packets. One record per virtual USB device.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "media/capture_files.h"
#include "media/srtp_policy.h"

struct srtp_kit;
struct os_timer_queue;

constexpr unsigned AUDIO_INVITE_TIMEOUT_MS = 5000;
constexpr unsigned AUDIO_IDLE_CLOSE_MS = 2000;   // both USB directions idle
constexpr unsigned AUDIO_QUICK_CLOSE_MS = 100;   // phone stop, authentication restart
constexpr unsigned AUDIO_DEFAULT_MIC_MS = 500;   // report of the capture state
constexpr uint64_t AUDIO_RESTART_GAP_MS = 1100;  // least time between two restarts
constexpr size_t AUDIO_PACKET_MAX = 1600;        // bytes of one datagram
constexpr size_t AUDIO_NAME_SIZE = 128;
constexpr int AUDIO_KEY_LINE_SIZE = SRTP_KEY_LINE_MAX + 1;

// Milliseconds since 1970; replaceable for tests.
typedef uint64_t (*audio_wall_clock)(void);

struct audio_stream_state {
    std::recursive_mutex mutex;
    int srtp_enable;
    std::atomic<int> srtp_dump_once;
    int sample_rate;
    int rtp_socket;  // RTP_SOCKET_NONE when closed
    struct srtp_kit *srtp_kit;
    sockaddr_in remote_addr;
    std::atomic<int> stream_running;
    int event_socket;
    int rx_reset_pending;
    int tx_reset_pending;
    std::atomic<int> dacvite;
    uint8_t inc_call_type;
    char conversation_id[AUDIO_NAME_SIZE];
    char display_name[AUDIO_NAME_SIZE];
    std::atomic<int> audio_capture_active;
    std::atomic<int> audio_playback_active;
    std::atomic<int> close_timer;
    std::atomic<int> delay_restart_flag;
    char decode_key[AUDIO_KEY_LINE_SIZE];
    char encode_key[AUDIO_KEY_LINE_SIZE];
    std::atomic<int> open_timer;
    std::atomic<int> default_mic_timer;
    uint64_t last_restart_ms;
    std::atomic<int> stop_transmit_audio_stream;

    // Where the timers run (the process-wide queue unless a test sets one),
    // the clock of last_restart_ms, the phone's address (host order) from the
    // last stream creation, and the flag that stops new timers at clean-up.
    os_timer_queue *timers;
    audio_wall_clock wall_clock;
    uint32_t phone_ip;
    std::atomic<int> shutting_down;
};

void audio_stream_init(audio_stream_state *st);
// Cancels the timers (waiting for one that is running), closes a stream that
// is still open. Call without holding the record's mutex.
void audio_stream_cleanup(audio_stream_state *st);

// SET_INTERFACE of the playback (is_capture 0) or capture (1) streaming
// interface, value = the alternate setting. Returns 0.
int audio_stream_set_active(audio_stream_state *st, int value, int is_capture);
// Invites the phone to open its RTP port. 0, or -1 (logged).
int audio_stream_request_open(audio_stream_state *st);

// On the phone's CALL_START: key_line is its key text (key_len characters),
// phone_ip in host order, remote_port its RTP port. 0, or -1 (logged).
int rtp_stream_create(audio_stream_state *st, const char *key_line, uint32_t phone_ip,
                      int remote_port, int key_len);
// Closes socket and SRTP session, then re-invites when a restart is pending.
int rtp_stream_destroy(audio_stream_state *st);
// Phone-driven stop (0) and start (1).
void audio_stream_ctl(audio_stream_state *st, int ctl_mode);

// One 10 ms playback frame (320 or 640 bytes) out to the phone. 0, -1 when a
// send failed, or the negated library code of a protect failure.
int audio_stream_send(audio_stream_state *st, const void *pcm, int pcm_len, capture_file *capture);
// Drains the socket into the receive engine and, when out_len is the frame
// size, fills out_pcm with one frame. 0, or the negated library code of the
// last unprotect failure.
int audio_stream_receive(audio_stream_state *st, capture_file *capture, void *out_pcm, int out_len);
