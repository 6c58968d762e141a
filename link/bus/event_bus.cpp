#include "link/bus/event_bus.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/log.h"

namespace {

void put_u32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

uint32_t get_u32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

int duvo_event_bus_init(int *send_sock, int *recv_sock) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
        log_print(0, LL_ERR, "Failed to create the event bus socket pair, err:%d\n", errno);
        return -1;
    }
    int flags = fcntl(sv[0], F_GETFL);
    if (flags < 0 || fcntl(sv[0], F_SETFL, flags | O_NONBLOCK) != 0) {
        log_print(0, LL_ERR, "udp plugin; cannot set O_NONBLOCK to the file desciptor!\n");
        close(sv[0]);
        close(sv[1]);
        return -1;
    }
    // Room for many pending events: a burst from the device must not be refused.
    int size = 1 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    *send_sock = sv[0];
    *recv_sock = sv[1];
    return 0;
}

void duvo_event_bus_close(int send_sock, int recv_sock) {
    if (send_sock >= 0) close(send_sock);
    if (recv_sock >= 0) close(recv_sock);
}

size_t duvo_event_encode(uint8_t *out, const void *body, size_t size, uint32_t type, uint32_t code,
                         int32_t value) {
    if (body == nullptr) size = 0;
    if (size > EVT_BODY_MAX) return 0;
    std::memset(out, 0, size + 16);
    put_u32(out, type);
    put_u32(out + 4, code);
    put_u32(out + 8, uint32_t(value));
    out[12] = uint8_t(size);
    out[13] = uint8_t(size >> 8);
    if (size) std::memcpy(out + EVT_HEADER_SIZE, body, size);
    return size + 16;
}

int duvo_event_post(const void *body, size_t size, int send_sock, uint32_t type, uint32_t code,
                    int32_t value) {
    uint8_t frame[EVT_FRAME_MAX];
    size_t len = duvo_event_encode(frame, body, size, type, code, value);
    if (len == 0) {
        log_print(0, LL_ERR, "event body of %zu bytes is too large, dropped\n", size);
        return -2;
    }
    ssize_t n = send(send_sock, frame, len, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) {
        log_print(0, LL_ERR, "send message fail, err:%d\n", errno);
        return -2;
    }
    return 0;
}

size_t duvo_event_walk(const uint8_t *buf, size_t len, duvo_event_fn fn, void *ctx) {
    size_t off = 0;
    while (len - off >= 16) {
        const uint8_t *p = buf + off;
        duvo_event ev;
        ev.type = get_u32(p);
        ev.code = get_u32(p + 4);
        ev.value = int32_t(get_u32(p + 8));
        ev.size = uint16_t(p[12] | p[13] << 8);
        if (ev.size > EVT_BODY_MAX) {
            log_print(0, LL_ERR, "read duvo message err!\n");
            return len;  // malformed: drop the rest of this read
        }
        if (size_t(ev.size) + 16 > len - off) break;  // incomplete tail
        ev.body = p + EVT_HEADER_SIZE;
        fn(ctx, &ev);
        off += size_t(ev.size) + 16;
    }
    return off;
}

int duvo_event_read(int recv_sock, duvo_event_fn fn, void *ctx) {
    // Each packet is one event; take what is pending up to the read limit.
    uint8_t buf[EVT_FRAME_MAX];
    int handled = 0;
    size_t total = 0;
    while (total + EVT_FRAME_MAX <= EVT_READ_MAX) {
        ssize_t n = recv(recv_sock, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
            log_print(0, LL_ERR, "read duvo message err!\n");
            return handled ? handled : -1;
        }
        if (n == 0) break;
        total += size_t(n);
        struct Counted {
            duvo_event_fn fn;
            void *ctx;
            int n;
        } c{fn, ctx, 0};
        duvo_event_walk(
            buf, size_t(n),
            [](void *x, const duvo_event *ev) {
                Counted *c = static_cast<Counted *>(x);
                c->fn(c->ctx, ev);
                ++c->n;
            },
            &c);
        handled += c.n;
    }
    return handled;
}
