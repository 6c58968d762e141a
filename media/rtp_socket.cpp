#include "media/rtp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int rtp_socket_create() {
    return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
}

int rtp_socket_bind_any(int fd, int port) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<uint16_t>(port));
    return bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) == 0 ? 0 : -1;
}

int rtp_socket_set_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
    return 0;
}

int rtp_socket_local_port(int fd) {
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len) != 0) return -1;
    return ntohs(local.sin_port);
}

void rtp_socket_close(int fd) {
    if (fd >= 0) close(fd);
}

int rtp_socket_send(int fd, const void *buf, size_t len, const sockaddr_in &to) {
    ssize_t n = sendto(fd, buf, len, MSG_DONTWAIT | MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr *>(&to), sizeof to);
    return n < 0 ? -1 : static_cast<int>(n);
}

int rtp_socket_recv(int fd, void *buf, size_t cap, sockaddr_in *from) {
    sockaddr_in src{};
    socklen_t src_len = sizeof src;
    ssize_t n;
    do {
        n = recvfrom(fd, buf, cap, MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<sockaddr *>(&src),
                     &src_len);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    if (from != nullptr) *from = src;
    if (n == 0 || static_cast<size_t>(n) > cap) return RTP_SOCKET_DROPPED;
    return static_cast<int>(n);
}

const char *rtp_addr_text(const sockaddr_in &addr, char *out, size_t size) {
    if (inet_ntop(AF_INET, &addr.sin_addr, out, static_cast<socklen_t>(size)) == nullptr) {
        if (size > 0) out[0] = '\0';
    }
    return out;
}
