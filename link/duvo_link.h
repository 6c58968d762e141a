// The phone link's share of the session record: message format, sequence
// counter, the two message lists, the session words the wire layer and the
// event dispatch read or write, and the hooks through which they reach the
// transport and the rest of the session. The pair manager embeds one and
// fills the hooks; nothing here opens a socket.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "link/msg_list.h"

// Pair states; pair_status_name prints them.
enum pair_status : int32_t {
    STATUS_IDLE = 0,
    STATUS_GETIP = 1,
    STATUS_CONNECTING = 2,
    STATUS_PIN_CHECK = 3,
    STATUS_CONNECT_CONFLICT = 4,
    STATUS_PIN_FAILED = 5,
    STATUS_PIN_SUCCEED = 6,
    STATUS_UNPAIRING = 7,
    STATUS_PAIRING = 8,
    STATUS_PAIRED = 9,
    STATUS_PAIREDSIGNIN = 10,
};
const char *pair_status_name(int status);

// Largest message on the wire: header and body fit the 2048-byte send buffer.
constexpr size_t DUVO_NEW_HEADER_SIZE = 12;
constexpr size_t DUVO_OLD_HEADER_SIZE = 2;
constexpr size_t DUVO_MSG_MAX = 2048;
constexpr size_t DUVO_NEW_BODY_MAX = DUVO_MSG_MAX - DUVO_NEW_HEADER_SIZE;  // 2036
constexpr size_t DUVO_OLD_BODY_MAX = 255;
// One read from the phone.
constexpr size_t DUVO_READ_MAX = 20480;

constexpr size_t DUVO_CODEC_NAME_SIZE = 32;

struct duvo_link;

// Hooks the session fills. Only send is required; see each for what a null
// hook means.
struct duvo_link_hooks {
    // Puts bytes on the phone connection, connecting first when there is no
    // socket (unless the session forbids it). > 0 bytes sent, <= 0 failure.
    int (*send)(void *ctx, const uint8_t *buf, size_t len);
    // 1 while the connection has a socket. Null: always connected.
    int (*has_socket)(void *ctx);
    // Local IPv4 address of the phone connection's socket, host order,
    // into *addr. 0 found, -1 not. Null: never found (no syslog update sent).
    int (*local_addr)(void *ctx, uint32_t *addr);
    // Store the debug flag into the virtual device's media record when a
    // device exists. Null: no device.
    void (*set_srtp_dump)(void *ctx, int on);
    // Observers of a status change (called after the store). Null: none.
    void (*status_changed)(void *ctx, int status);
    // Replacements of the built-in duvo_send_phone_lock / duvo_report_pc_state;
    // null uses the built-in ones.
    int (*send_phone_lock)(void *ctx, int value);
    void (*report_pc_state)(void *ctx);
    // Handles one received phone command (body null when len is 0). Returns
    // 1 when the command ends the session, else 0. Null: the message is
    // logged and counted only.
    int (*handle_cmd)(void *ctx, duvo_link *link, uint8_t id, const uint8_t *body, size_t len);
    void *ctx;  // passed to every hook
};

struct duvo_link {
    duvo_link_hooks hooks;

    // Session thread only.
    int msg_version;  // 0 old framing; 1, 2 new framing
    uint32_t tx_seq;  // last sequence number sent in the new framing
    char codec_name[DUVO_CODEC_NAME_SIZE];
    int codec_samplerate;
    uint32_t rx_count;  // phone messages handed to the handler

    // Plain words shared with the tick thread and the shell.
    std::atomic<int32_t> status;       // pair_status
    std::atomic<int32_t> phone_alive;  // a message came since the last keepalive tick
    std::atomic<int32_t> signed_in;
    std::atomic<int32_t> pc_status;  // PC state flags
    std::atomic<int32_t> unpair_reason;
    std::atomic<int32_t> end_session;  // the session must go to its teardown

    CMsgList sent_list;
    CMsgList recv_list;

    // Tail of a message split across reads (see duvo_parse).
    uint8_t rx_tail[DUVO_MSG_MAX];
    size_t rx_tail_len;
};

// Sets every field to its initial value and stores the hooks. 0, or -1 when
// link or hooks.send is null.
int duvo_link_init(duvo_link *link, const duvo_link_hooks *hooks);
// Empties both lists and forgets any partial message.
void duvo_link_deinit(duvo_link *link);

// Start of a session: old framing, sequence 0, codec "L16PCM" at 16000 Hz,
// alive/signed-in/end flags cleared, lists emptied, no partial message.
void duvo_link_session_reset(duvo_link *link);
// A (re)opened connection: old framing and no partial message from the old one.
void duvo_link_connection_reset(duvo_link *link);

// Stores the status and tells the observers.
void duvo_link_set_status(duvo_link *link, int status);
