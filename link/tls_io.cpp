#include "link/tls_io.h"

#include <errno.h>
#include <openssl/err.h>
#include <poll.h>

#include <climits>
#include <cstring>

#include "link/phone_conn.h"
#include "platform/log.h"

namespace {

// Verification results whose library text is printed; others are "unknown".
constexpr long VERIFY_TEXT_FIRST = 2;
constexpr long VERIFY_TEXT_LAST = 32;
constexpr long VERIFY_TEXT_EXTRA = 50;

// Reasons from SSL_AD_REASON_OFFSET up are alerts the peer sent: it speaks TLS.
constexpr int ALERT_REASON_FIRST = SSL_AD_REASON_OFFSET;
constexpr int ALERT_REASON_LAST = SSL_AD_REASON_OFFSET + 255;

void log_error_queue() {
    const char *func = nullptr;
    unsigned long e;
    while ((e = ERR_get_error_all(nullptr, nullptr, &func, nullptr, nullptr)) != 0) {
        const char *reason = ERR_reason_error_string(e);
        const char *lib = ERR_lib_error_string(e);
        log_print(0, LL_ERR, "%s in %s %s\n", reason ? reason : "unknown reason",
                  lib ? lib : "unknown library", func && *func ? func : "");
    }
}

// Waits up to ms for the socket to be ready for what OpenSSL asked.
void wait_for_socket(int sock, int ssl_error, int ms) {
    pollfd pfd = {sock, short(ssl_error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    poll(&pfd, 1, ms);
}

int peer_sent_alert() {
    unsigned long e = ERR_peek_last_error();
    int reason = ERR_GET_REASON(e);
    return ERR_GET_LIB(e) == ERR_LIB_SSL && reason >= ALERT_REASON_FIRST &&
           reason <= ALERT_REASON_LAST;
}

int check_peer_certificate(SSL *ssl) {
    X509 *peer = SSL_get1_peer_certificate(ssl);
    if (!peer) {
        // Peer verification is the point of TLS here: no certificate is no trust.
        log_print(0, LL_ERR, "Failed to verify remote certificate\n");
        return CONN_ERR_VERIFY;
    }
    X509_free(peer);
    long result = SSL_get_verify_result(ssl);
    if (result == X509_V_OK) return 0;
    log_print(0, LL_INFO, "verification failure: %s\n", tls_verify_result_text(result));
    log_print(0, LL_ERR, "Failed to verify remote certificate\n");
    return CONN_ERR_VERIFY;
}

}  // namespace

const char *tls_verify_result_text(long result) {
    if ((result >= VERIFY_TEXT_FIRST && result <= VERIFY_TEXT_LAST) ||
        result == VERIFY_TEXT_EXTRA) {
        return X509_verify_cert_error_string(result);
    }
    return "unknown errror";
}

void tls_log_error(int code) {
    switch (code) {
        case SSL_ERROR_NONE:
            log_print(0, LL_ERR, "SSL ERROR NONE - OK\n");
            break;
        case SSL_ERROR_SSL:
            log_print(0, LL_ERR, "SSL ERROR\n");
            break;
        case SSL_ERROR_WANT_READ:
            log_print(0, LL_ERR, "SSL want read\n");
            break;
        case SSL_ERROR_WANT_WRITE:
            log_print(0, LL_ERR, "SSL want write\n");
            break;
        case SSL_ERROR_SYSCALL:
            log_print(0, LL_ERR, "SSL ERROR SYSCALL %s\n", strerror(errno));
            break;
        case SSL_ERROR_ZERO_RETURN:
            log_print(0, LL_ERR, "SSL ERROR ZERO RETURN - SHUTDOWN\n");
            break;
        default:
            log_print(0, LL_ERR, "SSL problem\n");
            break;
    }
    log_error_queue();
}

int tls_map_error(SSL *ssl, int ret) {
    int err = SSL_get_error(ssl, ret);
    switch (err) {
        case SSL_ERROR_NONE:
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            return CONN_ERR_AGAIN;
        case SSL_ERROR_SSL:
        case SSL_ERROR_WANT_X509_LOOKUP:
            log_print(0, LL_ERR, "SSL problem\n");
            log_error_queue();
            return CONN_ERR_OTHER;
        case SSL_ERROR_SYSCALL:
        case SSL_ERROR_ZERO_RETURN:
            log_print(0, LL_WARN, "The connect socket maybe closed\n");
            ERR_clear_error();
            return CONN_ERR_CLOSED;
        default:
            tls_log_error(err);
            return CONN_ERR_OTHER;
    }
}

int tls_handshake(phone_conn *conn) {
    SSL *ssl = SSL_new(conn->ctx);
    conn->ssl = ssl;
    if (!ssl) {
        log_print(0, LL_ERR, "SSL_new error.\n");
        return CONN_ERR_FAIL;
    }
    if (SSL_set_fd(ssl, conn->sock) != 1) {
        log_print(0, LL_ERR, "add SSL to tcp socket failed:%s\n",
                  ERR_error_string(ERR_get_error(), nullptr));
        return CONN_ERR_FAIL;
    }
    SSL_set_connect_state(ssl);
    // The socket stays ours: phone_conn_close closes it.
    BIO *bio = BIO_new_socket(conn->sock, BIO_NOCLOSE);
    if (!bio) {
        log_print(0, LL_ERR, "BIO_new_socket error\n");
        return CONN_ERR_FAIL;
    }
    SSL_set_bio(ssl, bio, bio);

    int waits = 0;
    for (;;) {
        ERR_clear_error();
        int ret = SSL_connect(ssl);
        int err = ret == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl, ret);
        if (err == SSL_ERROR_NONE) break;
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            if (++waits >= PHONE_HANDSHAKE_TRIES) {
                log_print(0, LL_ERR, "SSL_connect timeout\n");
                return CONN_ERR_TIMEOUT;
            }
            // A stop must not wait for the whole handshake time-out.
            if (conn->connect_exit) return CONN_ERR_EXIT;
            wait_for_socket(conn->sock, err, PHONE_HANDSHAKE_WAIT_MS);
            if (SSL_is_init_finished(ssl)) break;
            continue;
        }
        if (err == SSL_ERROR_SSL && peer_sent_alert()) {
            // The phone answered in TLS and refused us (our certificate, most
            // likely): plain TCP would not help.
            log_print(0, LL_ERR, "socket closed, may be cert verify failed by peer.\n");
            log_error_queue();
            return CONN_ERR_CLOSED;
        }
        if (err == SSL_ERROR_SSL) {
            log_print(0, LL_ERR, "CONN_ERR_WRONG_TRANS_TYPE.\n");
            log_error_queue();
            return CONN_ERR_WRONG_TRANS_TYPE;
        }
        if (err == SSL_ERROR_SYSCALL) {
            log_print(0, LL_ERR, "socket closed, may be cert verify failed by peer.\n");
            ERR_clear_error();
            return CONN_ERR_CLOSED;
        }
        tls_log_error(err);
        return CONN_ERR_OTHER;
    }
    if (!SSL_is_init_finished(ssl)) {
        log_print(0, LL_ERR, "SSL_is_init_finished failed\n");
        return CONN_ERR_FAIL;
    }
    log_print(0, LL_INFO, "SSL_connect success\n");
    return check_peer_certificate(ssl);
}

int tls_read(phone_conn *conn, void *buf, size_t size) {
    if (!conn->ssl) return CONN_ERR_FAIL;
    int want = int(size < PHONE_READ_BUF_SIZE ? size : PHONE_READ_BUF_SIZE);
    for (;;) {
        ERR_clear_error();
        int n = SSL_read(conn->ssl, buf, want);
        if (n > 0) return n;
        int result = tls_map_error(conn->ssl, n);
        if (result == CONN_ERR_AGAIN && SSL_pending(conn->ssl) > 0) continue;
        return result;
    }
}

int tls_write(phone_conn *conn, const void *data, size_t len) {
    if (!conn->ssl) return CONN_ERR_FAIL;
    if (len == 0) return 0;
    if (len > size_t(INT_MAX)) {
        log_print(0, LL_ERR, "SSL_write message too long: %zu\n", len);
        return CONN_ERR_FAIL;
    }
    SSL_set_mode(conn->ssl, SSL_MODE_AUTO_RETRY);
    for (int waits = 0;; waits++) {
        ERR_clear_error();
        int n = SSL_write(conn->ssl, data, int(len));
        if (n > 0) return n;
        int result = tls_map_error(conn->ssl, n);
        if (result != CONN_ERR_AGAIN) return result;
        if (waits >= TLS_WRITE_WAITS) {
            log_print(0, LL_ERR, "SSL_write timeout\n");
            return CONN_ERR_TIMEOUT;
        }
        // The socket is non-blocking: wait for room instead of spinning.
        wait_for_socket(conn->sock, SSL_get_error(conn->ssl, n), TLS_WRITE_WAIT_MS);
    }
}
