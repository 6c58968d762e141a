#include "tools/phone-sim/phone_sim_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "link/discovery.h"
#include "link/duvo_cmd.h"
#include "link/duvo_wire.h"
#include "platform/os/os_time.h"
#include "tools/phone-sim/phone_sim_tls.h"

namespace {

constexpr int LOOP_TICK_MS = 50;          // re-send scan and timers
constexpr int HANDSHAKE_LIMIT_MS = 5000;  // a client that stalls its handshake is dropped
constexpr int SEND_LIMIT_MS = 2000;       // a PC that stops reading cannot block the loop
constexpr size_t READ_SIZE = 20480;       // one read from the PC
constexpr int LISTEN_BACKLOG = 4;
constexpr int SCRIPT_SLEEP_STEP_MS = 20;  // a quit is seen this fast during a script sleep
constexpr uint8_t TLS_HANDSHAKE_RECORD = 0x16;
constexpr uint8_t TLS_MAJOR_VERSION = 0x03;

struct connection {
    int fd = -1;
    SSL *ssl = nullptr;
    bool handshaking = false;
    bool want_write = false;  // the handshake waits for the socket to be writable
    bool discard = false;     // a TLS client on the plain port: drop what it sends
    bool first_read = true;
    uint64_t handshake_deadline = 0;
    std::string peer;
    std::unique_ptr<phone_sim_session> session;
};

}  // namespace

struct phone_sim_server {
    phone_sim_phone phone;
    int listen_fd = -1;
    int wake_fd = -1;
    int port = 0;
    SSL_CTX *tls = nullptr;
    connection conn;
    std::thread loop;
    std::atomic<bool> stop{false};

    std::mutex lock;  // queue and quit
    std::condition_variable quit_cv;
    std::deque<std::string> queue;
    bool quit = false;

    uint32_t announce_dest = 0;  // host order
    uint32_t announce_ip = 0;    // host order
    uint64_t next_announce = 0;
    bool announce_failed = false;
};

namespace {

const phone_sim_printer *out(phone_sim_server *srv) {
    return &srv->phone.printer;
}

uint32_t parse_ip(const std::string &text) {
    in_addr a{};
    inet_pton(AF_INET, text.c_str(), &a);
    return ntohl(a.s_addr);
}

// Waits until fd is ready for events or the limit passes. 1 ready, 0 not.
int wait_fd(int fd, short events, int limit_ms) {
    pollfd p{fd, events, 0};
    int r;
    do {
        r = poll(&p, 1, limit_ms);
    } while (r < 0 && errno == EINTR);
    return r > 0 ? 1 : 0;
}

int conn_send(void *ctx, const uint8_t *buf, size_t len) {
    connection *c = static_cast<connection *>(ctx);
    if (c->fd < 0) return -1;
    size_t done = 0;
    uint64_t deadline = os_mono_ms() + SEND_LIMIT_MS;
    while (done < len) {
        int64_t left_ms = int64_t(deadline) - int64_t(os_mono_ms());
        if (left_ms <= 0) return -1;
        if (c->ssl) {
            size_t n = 0;
            int r = SSL_write_ex(c->ssl, buf + done, len - done, &n);
            if (r == 1) {
                done += n;
                continue;
            }
            int e = SSL_get_error(c->ssl, r);
            if (e == SSL_ERROR_WANT_WRITE) {
                wait_fd(c->fd, POLLOUT, int(left_ms));
            } else if (e == SSL_ERROR_WANT_READ) {
                wait_fd(c->fd, POLLIN, int(left_ms));
            } else {
                ERR_clear_error();
                return -1;
            }
            continue;
        }
        ssize_t n = send(c->fd, buf + done, len - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            wait_fd(c->fd, POLLOUT, int(left_ms));
        } else if (n < 0 && errno != EINTR) {
            return -1;
        }
    }
    return int(done);
}

void close_connection(phone_sim_server *srv, const char *why) {
    connection &c = srv->conn;
    if (c.fd < 0) return;
    if (c.session) {
        phone_sim_session_deinit(c.session.get());
        c.session.reset();
    }
    if (c.ssl) {
        if (!c.handshaking) SSL_shutdown(c.ssl);
        SSL_free(c.ssl);
        ERR_clear_error();
    }
    close(c.fd);
    phone_sim_print(out(srv), "# disconnected %s: %s", c.peer.c_str(), why);
    c = connection{};
}

void start_session(phone_sim_server *srv) {
    connection &c = srv->conn;
    c.session = std::make_unique<phone_sim_session>();
    phone_sim_io io{conn_send, &c};
    phone_sim_session_init(c.session.get(), &srv->phone, &io, c.peer);
}

void accept_connection(phone_sim_server *srv) {
    sockaddr_in addr{};
    socklen_t alen = sizeof addr;
    int fd = accept4(srv->listen_fd, reinterpret_cast<sockaddr *>(&addr), &alen,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno != EAGAIN && errno != EINTR)
            phone_sim_print(out(srv), "! accept failed: %s", strerror(errno));
        return;
    }
    // The PC has one connection to its phone: a new one means the old is gone.
    if (srv->conn.fd >= 0) close_connection(srv, "replaced by a new connection");
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    connection &c = srv->conn;
    c.fd = fd;
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    c.peer = std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
    phone_sim_print(out(srv), "# connected from %s", c.peer.c_str());

    if (!srv->tls) {
        start_session(srv);
        return;
    }
    c.ssl = SSL_new(srv->tls);
    if (!c.ssl || SSL_set_fd(c.ssl, fd) != 1) {
        phone_sim_print(out(srv), "! cannot start TLS: %s", phone_sim_tls_errors().c_str());
        close_connection(srv, "TLS set-up failed");
        return;
    }
    SSL_set_accept_state(c.ssl);
    c.handshaking = true;
    c.handshake_deadline = os_mono_ms() + HANDSHAKE_LIMIT_MS;
}

std::string peer_subject(SSL *ssl) {
    X509 *cert = SSL_get1_peer_certificate(ssl);
    if (!cert) return "none";
    char buf[256] = "";
    X509_NAME_oneline(X509_get_subject_name(cert), buf, sizeof buf);
    X509_free(cert);
    return buf;
}

void continue_handshake(phone_sim_server *srv) {
    connection &c = srv->conn;
    if (c.first_read) {
        // A plain client is told at once rather than left waiting for a
        // record that never comes.
        uint8_t first = 0;
        ssize_t n = recv(c.fd, &first, 1, MSG_PEEK);
        if (n == 1 && first != TLS_HANDSHAKE_RECORD) {
            phone_sim_print(out(srv), "! TLS handshake failed: plain data on the TLS port");
            close_connection(srv, "not a TLS client");
            return;
        }
        if (n == 1) c.first_read = false;
    }
    int r = SSL_do_handshake(c.ssl);
    if (r == 1) {
        c.handshaking = false;
        c.want_write = false;
        phone_sim_print(out(srv), "# TLS established: %s, client %s", SSL_get_version(c.ssl),
                        peer_subject(c.ssl).c_str());
        start_session(srv);
        return;
    }
    int e = SSL_get_error(c.ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        c.want_write = e == SSL_ERROR_WANT_WRITE;
        return;
    }
    long verify = SSL_get_verify_result(c.ssl);
    std::string why = phone_sim_tls_errors();
    if (verify != X509_V_OK) why += std::string(" (") + X509_verify_cert_error_string(verify) + ")";
    phone_sim_print(out(srv), "! TLS handshake failed: %s", why.c_str());
    close_connection(srv, "TLS handshake failed");
}

// A TLS client on a plain phone: answer with something that is not TLS, as a
// plain phone would, and ignore the rest of its hello.
bool looks_like_tls_hello(const uint8_t *buf, size_t len) {
    return len >= 2 && buf[0] == TLS_HANDSHAKE_RECORD && buf[1] == TLS_MAJOR_VERSION;
}

// Returns false when the connection is gone.
bool feed(phone_sim_server *srv, const uint8_t *buf, size_t len) {
    connection &c = srv->conn;
    if (c.first_read && !c.ssl && looks_like_tls_hello(buf, len)) {
        phone_sim_print(out(srv), "! TLS client hello on the plain port, answered in plain");
        // Long enough to fill a TLS record header, so the client fails at once.
        static const char why[] = "tls not supported";
        uint8_t reply[2 + sizeof why];
        size_t n = duvo_frame_old(reply, sizeof reply, DUVO_CMD_COM_CLOSE_FD, why, sizeof why);
        conn_send(&c, reply, n);
        c.discard = true;
    }
    c.first_read = false;
    if (c.discard || !c.session) return true;
    int r = phone_sim_session_feed(c.session.get(), buf, len);
    if (r != PHONE_SIM_KEEP) {
        close_connection(srv, "closed by the phone");
        return false;
    }
    return true;
}

void read_connection(phone_sim_server *srv) {
    connection &c = srv->conn;
    uint8_t buf[READ_SIZE];
    if (!c.ssl) {
        ssize_t n = recv(c.fd, buf, sizeof buf, 0);
        if (n > 0) {
            feed(srv, buf, size_t(n));
        } else if (n == 0) {
            close_connection(srv, "closed by the PC");
        } else if (errno == ECONNRESET) {
            close_connection(srv, "reset by the PC");
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            close_connection(srv, strerror(errno));
        }
        return;
    }
    // Read until OpenSSL has nothing buffered, so no record waits for the next poll.
    for (;;) {
        size_t n = 0;
        int r = SSL_read_ex(c.ssl, buf, sizeof buf, &n);
        if (r == 1) {
            if (!feed(srv, buf, n)) return;
            continue;
        }
        int e = SSL_get_error(c.ssl, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return;
        std::string why = e == SSL_ERROR_ZERO_RETURN || e == SSL_ERROR_SYSCALL
                              ? std::string("closed by the PC")
                              : "TLS error: " + phone_sim_tls_errors();
        ERR_clear_error();
        close_connection(srv, why.c_str());
        return;
    }
}

void set_quit(phone_sim_server *srv) {
    std::lock_guard<std::mutex> hold(srv->lock);
    srv->quit = true;
    srv->quit_cv.notify_all();
}

void run_command(phone_sim_server *srv, const std::string &line) {
    phone_sim_command cmd;
    std::string err;
    if (phone_sim_parse_command(line, &cmd, &err) != 0) {
        phone_sim_print(out(srv), "! %s", err.c_str());
        return;
    }
    switch (cmd.kind) {
        case PHONE_SIM_CMD_NONE:
            return;
        case PHONE_SIM_CMD_SLEEP:
            phone_sim_print(out(srv), "! sleep is only for scripts");
            return;
        case PHONE_SIM_CMD_QUIT:
            close_connection(srv, "quit");
            set_quit(srv);
            srv->stop = true;
            return;
        default:
            break;
    }
    connection &c = srv->conn;
    if (!c.session) {
        if (cmd.kind == PHONE_SIM_CMD_PAIR_MODE_SWITCH) {
            srv->phone.pair_mode = cmd.arg1;
            phone_sim_print(out(srv), "# pair mode %d (no connection to tell)", cmd.arg1);
        } else {
            phone_sim_print(out(srv), "! no connection: '%s' dropped", line.c_str());
        }
        return;
    }
    if (phone_sim_session_command(c.session.get(), &cmd) != PHONE_SIM_KEEP)
        close_connection(srv, "closed by command");
}

void run_queue(phone_sim_server *srv) {
    uint64_t count = 0;
    if (read(srv->wake_fd, &count, sizeof count) < 0 && errno != EAGAIN) return;
    for (;;) {
        std::string line;
        {
            std::lock_guard<std::mutex> hold(srv->lock);
            if (srv->queue.empty()) return;
            line = std::move(srv->queue.front());
            srv->queue.pop_front();
        }
        run_command(srv, line);
        if (srv->stop) return;
    }
}

void announce(phone_sim_server *srv) {
    const phone_sim_options &o = srv->phone.opts;
    if (o.announce_port == 0) return;
    uint64_t now = os_mono_ms();
    if (now < srv->next_announce) return;
    srv->next_announce = now + uint64_t(o.announce_interval_ms);
    int r = discovery_announce(srv->announce_dest, o.announce_port, srv->announce_ip);
    if (r < 0 && !srv->announce_failed) {
        phone_sim_print(out(srv), "! discovery announcement to %s:%d failed", o.announce_to.c_str(),
                        o.announce_port);
    }
    srv->announce_failed = r < 0;
}

void loop_main(phone_sim_server *srv) {
    uint64_t next_tick = os_mono_ms() + LOOP_TICK_MS;
    while (!srv->stop) {
        connection &c = srv->conn;
        pollfd fds[3] = {{srv->wake_fd, POLLIN, 0}, {srv->listen_fd, POLLIN, 0}, {c.fd, 0, 0}};
        nfds_t nfds = 2;
        if (c.fd >= 0) {
            fds[2].events = short(POLLIN | (c.want_write ? POLLOUT : 0));
            nfds = 3;
        }
        int r = poll(fds, nfds, LOOP_TICK_MS);
        if (r < 0 && errno != EINTR)
            phone_sim_print(out(srv), "! poll failed: %s", strerror(errno));
        if (r > 0) {
            if (fds[0].revents) run_queue(srv);
            if (srv->stop) break;
            if (fds[1].revents & POLLIN) accept_connection(srv);
            // The connection polled may have been replaced above.
            if (nfds == 3 && fds[2].revents && srv->conn.fd == fds[2].fd) {
                if (srv->conn.handshaking) {
                    continue_handshake(srv);
                } else {
                    read_connection(srv);
                }
            }
        }
        uint64_t now = os_mono_ms();
        if (now >= next_tick) {
            next_tick = now + LOOP_TICK_MS;
            if (srv->conn.handshaking && now > srv->conn.handshake_deadline)
                close_connection(srv, "TLS handshake timed out");
            if (srv->conn.session) phone_sim_session_tick(srv->conn.session.get());
            announce(srv);
        }
    }
    close_connection(srv, "simulator stopped");
}

int open_listener(phone_sim_server *srv, std::string *err) {
    const phone_sim_options &o = srv->phone.opts;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return *err = std::string("socket: ") + strerror(errno), -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(o.port));
    addr.sin_addr.s_addr = htonl(parse_ip(o.bind_addr));
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(fd, LISTEN_BACKLOG) != 0) {
        *err = "cannot listen on " + o.bind_addr + ":" + std::to_string(o.port) + ": " +
               strerror(errno);
        close(fd);
        return -1;
    }
    socklen_t alen = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &alen);
    srv->listen_fd = fd;
    srv->port = ntohs(addr.sin_port);
    return 0;
}

void free_server(phone_sim_server *srv) {
    if (srv->listen_fd >= 0) close(srv->listen_fd);
    if (srv->wake_fd >= 0) close(srv->wake_fd);
    SSL_CTX_free(srv->tls);
    delete srv;
}

}  // namespace

int phone_sim_server_start(phone_sim_server **out_srv, const phone_sim_options *opts,
                           const phone_sim_printer *printer, const phone_sim_media_hooks *media) {
    *out_srv = nullptr;
    auto *srv = new phone_sim_server;
    phone_sim_phone_init(&srv->phone, opts, printer, media);
    std::string err;
    srv->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (srv->wake_fd < 0) err = std::string("eventfd: ") + strerror(errno);
    if (err.empty() && opts->tls) phone_sim_tls_context(&srv->tls, &err);
    if (err.empty()) open_listener(srv, &err);
    if (!err.empty()) {
        phone_sim_print(out(srv), "! %s", err.c_str());
        free_server(srv);
        return -1;
    }
    srv->announce_dest = parse_ip(opts->announce_to);
    srv->announce_ip = parse_ip(phone_sim_own_ip(opts));

    phone_sim_print(out(srv), "# listening on %s:%d (%s, %s format, pair mode %d)",
                    opts->bind_addr.c_str(), srv->port, opts->tls ? "tls" : "plain",
                    opts->new_format ? "new" : "old", srv->phone.pair_mode);
    if (opts->announce_port)
        phone_sim_print(out(srv), "# announcing %s to %s:%d every %d ms",
                        phone_sim_own_ip(opts).c_str(), opts->announce_to.c_str(),
                        opts->announce_port, opts->announce_interval_ms);
    srv->loop = std::thread(loop_main, srv);
    *out_srv = srv;
    return 0;
}

int phone_sim_server_port(const phone_sim_server *srv) {
    return srv->port;
}

void phone_sim_server_command(phone_sim_server *srv, const std::string &line) {
    {
        std::lock_guard<std::mutex> hold(srv->lock);
        srv->queue.push_back(line);
    }
    uint64_t one = 1;
    if (write(srv->wake_fd, &one, sizeof one) < 0) {
        // The counter is far from full; a failure leaves the line for the next wake-up.
    }
}

int phone_sim_server_wait(phone_sim_server *srv, int timeout_ms) {
    std::unique_lock<std::mutex> hold(srv->lock);
    if (timeout_ms < 0) {
        srv->quit_cv.wait(hold, [srv] { return srv->quit; });
        return 1;
    }
    return srv->quit_cv.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                                 [srv] { return srv->quit; })
               ? 1
               : 0;
}

void phone_sim_server_stop(phone_sim_server *srv) {
    if (!srv) return;
    srv->stop = true;
    uint64_t one = 1;
    if (write(srv->wake_fd, &one, sizeof one) < 0) {
        // The loop still sees stop within one tick.
    }
    if (srv->loop.joinable()) srv->loop.join();
    set_quit(srv);
    free_server(srv);
}

int phone_sim_script_line(phone_sim_server *srv, const std::string &text, int line_no) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    phone_sim_command cmd;
    std::string err;
    if (phone_sim_parse_command(line, &cmd, &err) != 0) {
        phone_sim_print(out(srv), "! line %d: %s", line_no, err.c_str());
        return 1;
    }
    if (cmd.kind == PHONE_SIM_CMD_NONE) return 0;
    if (cmd.kind == PHONE_SIM_CMD_SLEEP) {
        uint64_t until = os_mono_ms() + uint64_t(cmd.arg1);
        while (os_mono_ms() < until && !phone_sim_server_wait(srv, SCRIPT_SLEEP_STEP_MS)) {
        }
        return 0;
    }
    phone_sim_server_command(srv, line);
    return cmd.kind == PHONE_SIM_CMD_QUIT ? 2 : 0;
}

int phone_sim_run_script(phone_sim_server *srv, FILE *in) {
    int errors = 0;
    int line_no = 0;
    char *buf = nullptr;
    size_t cap = 0;
    ssize_t n;
    while (!phone_sim_server_wait(srv, 0) && (n = getline(&buf, &cap, in)) >= 0) {
        int r = phone_sim_script_line(srv, std::string(buf, size_t(n)), ++line_no);
        if (r == 1) errors++;
        if (r == 2) break;
    }
    free(buf);
    return errors;
}
