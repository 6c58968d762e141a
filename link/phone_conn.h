// The one TCP connection to the phone, plain or wrapped in TLS with
// certificates on both sides. Used by the session thread only; other threads
// touch nothing here but connect_exit.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// Result codes of connect, TLS read and TLS write (0 or a count = success).
enum phone_conn_result {
    CONN_ERR_FAIL = -1,  // socket, option or TLS set-up failure; stop before a new connection
    CONN_ERR_WRONG_TRANS_TYPE = -2,  // the phone does not speak TLS
    CONN_ERR_TIMEOUT = -3,  // TCP connect (about 4 s) or TLS handshake (about 2 s) timed out
    CONN_ERR_EXIT = -4,     // connect_exit was set during the connect
    CONN_ERR_AGAIN = -5,    // TLS: nothing to read now, try again
    CONN_ERR_VERIFY = -6,   // TLS: the phone's certificate failed verification
    CONN_ERR_CLOSED = -7,   // TLS: closed by the peer, or a system error
    CONN_ERR_OTHER = -8,    // TLS: any other error
};

constexpr int TRANS_TYPE_TCP = 0;
constexpr int TRANS_TYPE_TLS = 1;

constexpr int PHONE_CONN_NO_SOCKET = -1;
constexpr size_t PHONE_READ_BUF_SIZE = 20480;  // bytes per read, no reassembly

// The TCP connect waits up to PHONE_CONNECT_WAITS times PHONE_CONNECT_WAIT_MS
// for the socket to become writable.
constexpr int PHONE_CONNECT_WAITS = 41;
constexpr int PHONE_CONNECT_WAIT_MS = 100;
// The handshake tries up to PHONE_HANDSHAKE_TRIES times, waiting up to
// PHONE_HANDSHAKE_WAIT_MS for the socket each time.
constexpr int PHONE_HANDSHAKE_TRIES = 40;
constexpr int PHONE_HANDSHAKE_WAIT_MS = 50;

struct phone_conn {
    SSL *ssl = nullptr;                // TLS session, null when none
    SSL_CTX *ctx = nullptr;            // TLS context, null when none
    int trans_type = TRANS_TYPE_TLS;   // TRANS_TYPE_TLS or plain; copied at session start
    int sock = PHONE_CONN_NO_SOCKET;   // TCP socket
    std::atomic<int> connect_exit{0};  // stop flag of the session, also seen by connect
    int no_autoconnect = 0;            // set when a reconnection failed: sends no longer connect
    uint32_t phone_ip = 0;             // host order
    int phone_port = 0;                // set from g_config.phone_port by phone_conn_init
    int connect_waits = PHONE_CONNECT_WAITS;  // tests shorten the refused-connect case
};

// Resets the record for a new session: no TLS session or context, no socket,
// connect_exit 0, no-autoconnect 0, the given transport, the configured phone
// port. Does not close anything: call phone_conn_close first.
void phone_conn_init(phone_conn *conn, int trans_type);

// Creates the socket and, for TLS, the context. 0 or -1.
int phone_conn_open(phone_conn *conn);
// TCP connect to (ip host order, conn->phone_port) and, for TLS, the
// handshake. 0 or a phone_conn_result; any error closes the connection.
int phone_conn_connect(phone_conn *conn, uint32_t ip);
// Shuts down and frees the TLS session, frees the context, closes the socket;
// each only if present.
void phone_conn_close(phone_conn *conn);
// Sends the whole message, opening and connecting first when there is no
// socket (unless no-autoconnect is set). Bytes sent or a phone_conn_result.
int phone_conn_send(phone_conn *conn, const void *data, size_t len);
// One TLS read into a buffer of at least PHONE_READ_BUF_SIZE bytes. Bytes read
// or a phone_conn_result (-5: nothing now). The plain transport is read
// directly from conn->sock by the session.
int phone_conn_read(phone_conn *conn, void *buf, size_t size);
