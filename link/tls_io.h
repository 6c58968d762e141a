// The TLS handshake, reads and writes on the phone connection, and the
// mapping of OpenSSL's errors to the connection's result codes.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>

struct phone_conn;

// Most waits for a writable socket while one message is written (100 ms
// each): a phone that stops reading cannot hold the session for ever.
constexpr int TLS_WRITE_WAITS = 50;
constexpr int TLS_WRITE_WAIT_MS = 100;

// Creates the session on conn->sock and runs the client handshake. 0 or a
// phone_conn_result; the caller closes the connection on failure.
int tls_handshake(phone_conn *conn);

// One SSL_read of at most PHONE_READ_BUF_SIZE bytes: bytes read, or -5 when
// nothing is there now, or another phone_conn_result.
int tls_read(phone_conn *conn, void *buf, size_t size);

// Writes the whole message: its length, or a phone_conn_result.
int tls_write(phone_conn *conn, const void *data, size_t len);

// SSL_get_error of the failed call ret, as a phone_conn_result; logs why.
int tls_map_error(SSL *ssl, int ret);

// Logs the line for an SSL_get_error code, then OpenSSL's queued errors.
void tls_log_error(int code);

// Text for an SSL_get_verify_result value.
const char *tls_verify_result_text(long result);
