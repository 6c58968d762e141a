#include "link/phone_conn.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <mutex>

#include "link/tls_context.h"
#include "link/tls_io.h"
#include "platform/config.h"
#include "platform/log.h"
#include "platform/os/os_time.h"

namespace {

constexpr int MAX_PORT = 65535;

// Writing to a socket the phone has closed must give an error, not end the
// process; OpenSSL's socket writes cannot pass MSG_NOSIGNAL.
void ignore_sigpipe_once() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction old = {};
        if (sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) {
            signal(SIGPIPE, SIG_IGN);
        }
    });
}

int new_tcp_socket() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        log_print(0, LL_ERR, "Create socket fail\n");
        return -1;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    return fd;
}

int set_connect_options(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        log_print(0, LL_ERR, "Connect to phone socket set FIONBIO fail\n");
        return -1;
    }
    int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        log_print(0, LL_ERR, "set TCP_NODELAY falied\n");
        return -1;
    }
    return 0;
}

// Only an established connection counts: a failed attempt also wakes the
// wait as "writable", with its error in SO_ERROR.
bool is_connected(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return false;
    sockaddr_in peer = {};
    socklen_t plen = sizeof peer;
    return getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &plen) == 0;
}

enum attempt_state { ATTEMPT_CONNECTED, ATTEMPT_PENDING, ATTEMPT_FAILED, ATTEMPT_ERROR };

// A refusal is one failed attempt, retried at the next wait like a phone
// that does not answer yet; any other immediate error ends the connect.
attempt_state start_attempt(int fd, const sockaddr_in &addr) {
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0) {
        return ATTEMPT_CONNECTED;
    }
    switch (errno) {
        case EINPROGRESS:
        case EALREADY:
        case EINTR:
            return ATTEMPT_PENDING;
        case EISCONN:
            return ATTEMPT_CONNECTED;
        case ECONNREFUSED:
        case ECONNRESET:
        case ECONNABORTED:
        case ETIMEDOUT:
            return ATTEMPT_FAILED;
        default:
            return ATTEMPT_ERROR;
    }
}

// A failed attempt leaves the socket unusable for a new connect: swap in a
// fresh one with the same options.
int renew_socket(phone_conn *conn) {
    close(conn->sock);
    conn->sock = new_tcp_socket();
    if (conn->sock < 0) return -1;
    return set_connect_options(conn->sock);
}

// The TCP part of the connect. 0 when connected, else a phone_conn_result.
int tcp_connect(phone_conn *conn, const sockaddr_in &addr) {
    attempt_state state = start_attempt(conn->sock, addr);
    if (state == ATTEMPT_CONNECTED) return 0;
    if (state == ATTEMPT_ERROR) {
        log_print(0, LL_ERR, "Connect to phone fail, err:%d\n", errno);
        return CONN_ERR_FAIL;
    }
    if (conn->connect_exit) return CONN_ERR_EXIT;

    for (int wait = 1;; wait++) {
        uint64_t slot_end = os_mono_ms() + PHONE_CONNECT_WAIT_MS;
        if (state == ATTEMPT_PENDING) {
            pollfd pfd = {conn->sock, POLLOUT, 0};
            int ready = poll(&pfd, 1, PHONE_CONNECT_WAIT_MS);
            if (ready < 0 && errno != EINTR) {
                log_print(0, LL_ERR, "Connect to phone fail\n");
                return CONN_ERR_FAIL;
            }
            if (ready > 0) {
                if (is_connected(conn->sock)) return 0;
                state = ATTEMPT_FAILED;
            }
        }
        // A failed attempt waits out the rest of its slot, as an unanswered one would.
        uint64_t now = os_mono_ms();
        if (state == ATTEMPT_FAILED && now < slot_end) os_sleep_ms(unsigned(slot_end - now));
        if (wait >= conn->connect_waits) {
            log_print(0, LL_ERR, "Connect to phone timeout\n");
            return CONN_ERR_TIMEOUT;
        }
        if (state == ATTEMPT_FAILED && renew_socket(conn) != 0) return CONN_ERR_FAIL;
        state = start_attempt(conn->sock, addr);
        if (state == ATTEMPT_CONNECTED) return 0;
        if (state == ATTEMPT_ERROR) state = ATTEMPT_FAILED;
        if (conn->connect_exit) return CONN_ERR_EXIT;
    }
}

int plain_send(phone_conn *conn, const void *data, size_t len) {
    if (len > size_t(INT_MAX)) {
        log_print(0, LL_ERR, "Send to phone fail, message too long: %zu\n", len);
        return CONN_ERR_FAIL;
    }
    const char *p = static_cast<const char *>(data);
    size_t done = 0;
    int waits = 0;  // in a row without progress
    while (done < len) {
        ssize_t n = send(conn->sock, p + done, len - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += size_t(n);
            waits = 0;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) &&
            waits++ < TLS_WRITE_WAITS) {
            pollfd pfd = {conn->sock, POLLOUT, 0};
            poll(&pfd, 1, TLS_WRITE_WAIT_MS);
            continue;
        }
        log_print(0, LL_ERR, "Send to phone fail, err:%d\n", n < 0 ? errno : 0);
        return CONN_ERR_FAIL;
    }
    return int(done);
}

}  // namespace

void phone_conn_init(phone_conn *conn, int trans_type) {
    conn->ssl = nullptr;
    conn->ctx = nullptr;
    conn->trans_type = trans_type;
    conn->sock = PHONE_CONN_NO_SOCKET;
    conn->connect_exit = 0;
    conn->no_autoconnect = 0;
    {
        std::lock_guard<std::recursive_mutex> g(g_config.lock);
        conn->phone_port = g_config.phone_port;
    }
    conn->connect_waits = PHONE_CONNECT_WAITS;
}

void phone_conn_close(phone_conn *conn) {
    if (conn->ssl) {
        // Only a finished handshake has a session to close politely.
        if (SSL_is_init_finished(conn->ssl)) SSL_shutdown(conn->ssl);
        SSL_free(conn->ssl);
        ERR_clear_error();
        conn->ssl = nullptr;
    }
    if (conn->ctx) {
        SSL_CTX_free(conn->ctx);
        conn->ctx = nullptr;
    }
    if (conn->sock != PHONE_CONN_NO_SOCKET) {
        close(conn->sock);
        conn->sock = PHONE_CONN_NO_SOCKET;
    }
}

int phone_conn_open(phone_conn *conn) {
    ignore_sigpipe_once();
    conn->sock = new_tcp_socket();
    if (conn->sock < 0) {
        conn->sock = PHONE_CONN_NO_SOCKET;
        phone_conn_close(conn);
        return CONN_ERR_FAIL;
    }
    if (conn->trans_type == TRANS_TYPE_TLS && tls_context_create(&conn->ctx) != 0) {
        phone_conn_close(conn);
        return CONN_ERR_FAIL;
    }
    return 0;
}

int phone_conn_connect(phone_conn *conn, uint32_t ip) {
    if (conn->sock == PHONE_CONN_NO_SOCKET) {
        log_print(0, LL_ERR, "Connect to phone fail\n");
        return CONN_ERR_FAIL;
    }
    int result = CONN_ERR_FAIL;
    if (conn->phone_port < 1 || conn->phone_port > MAX_PORT) {
        log_print(0, LL_ERR, "Bad phone port %d\n", conn->phone_port);
    } else {
        result = set_connect_options(conn->sock);
    }
    if (result == 0) {
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(uint16_t(conn->phone_port));
        addr.sin_addr.s_addr = htonl(ip);
        result = tcp_connect(conn, addr);
    }
    if (result == 0 && conn->connect_exit) result = CONN_ERR_EXIT;
    if (result == 0 && conn->trans_type == TRANS_TYPE_TLS) result = tls_handshake(conn);
    if (result != 0) phone_conn_close(conn);
    return result;
}

int phone_conn_send(phone_conn *conn, const void *data, size_t len) {
    if (conn->sock == PHONE_CONN_NO_SOCKET && !conn->no_autoconnect) {
        if (conn->connect_exit) return CONN_ERR_FAIL;
        int result = phone_conn_open(conn);
        if (result == 0) result = phone_conn_connect(conn, conn->phone_ip);
        if (result != 0) return result;
    }
    if (conn->sock == PHONE_CONN_NO_SOCKET) {
        log_print(0, LL_ERR, "No connection to phone\n");
        return CONN_ERR_FAIL;
    }
    if (conn->trans_type == TRANS_TYPE_TLS) return tls_write(conn, data, len);
    return plain_send(conn, data, len);
}

int phone_conn_read(phone_conn *conn, void *buf, size_t size) {
    if (conn->sock == PHONE_CONN_NO_SOCKET) return CONN_ERR_FAIL;
    if (conn->trans_type == TRANS_TYPE_TLS) return tls_read(conn, buf, size);
    // Plain reads are normally done by the session itself; this keeps the codes alike.
    size_t want = size < PHONE_READ_BUF_SIZE ? size : PHONE_READ_BUF_SIZE;
    ssize_t n = recv(conn->sock, buf, want, 0);
    if (n > 0) return int(n);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return CONN_ERR_AGAIN;
    log_print(0, LL_WARN, "The connect socket maybe closed\n");
    return CONN_ERR_CLOSED;
}
