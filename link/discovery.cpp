#include "link/discovery.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "link/phone_conn.h"
#include "platform/config.h"
#include "platform/log.h"
#include "platform/os/os_time.h"

namespace {

constexpr int MAX_PORT = 65535;

// A port held by another program fails every attempt: say so once, until a
// bind works again.
std::atomic<int> g_bind_error_latch{1};

uint16_t checksum(const uint8_t *addr) {
    return uint16_t(addr[0] + addr[1] + addr[2] + addr[3]);
}

int open_signal_socket(int port) {
    if (port < 1 || port > MAX_PORT) {
        log_print(0, LL_ERR, "bad signal port %d\n", port);
        return -1;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_print(0, LL_ERR, "socket error\n");
        return -1;
    }
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        int err = errno;
        if (g_bind_error_latch.exchange(0)) log_print(0, LL_ERR, "bind error, code:%d\n", err);
        close(fd);
        return -1;
    }
    g_bind_error_latch = 1;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        log_print(0, LL_ERR, "set get ip by pc socket FIONBIO fail, code:%d\n", errno);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

void discovery_encode(uint32_t ip, uint8_t out[DISCOVERY_MSG_SIZE]) {
    out[0] = uint8_t(ip >> 24);
    out[1] = uint8_t(ip >> 16);
    out[2] = uint8_t(ip >> 8);
    out[3] = uint8_t(ip);
    uint16_t sum = checksum(out);
    out[4] = uint8_t(sum >> 8);
    out[5] = uint8_t(sum);
}

int discovery_decode(const uint8_t *msg, size_t len, uint32_t *ip) {
    if (len != DISCOVERY_MSG_SIZE) return -1;
    uint16_t sum = uint16_t(msg[4] << 8 | msg[5]);
    if (sum != checksum(msg)) return -1;
    *ip = uint32_t(msg[0]) << 24 | uint32_t(msg[1]) << 16 | uint32_t(msg[2]) << 8 | msg[3];
    return 0;
}

int get_ip_by_pc(uint32_t *ip, phone_conn *conn) {
    if (conn->connect_exit) return CONN_ERR_EXIT;
    int port;
    {
        std::lock_guard<std::recursive_mutex> g(g_config.lock);
        port = g_config.signal_port;
    }
    int fd = open_signal_socket(port);
    if (fd < 0) return -1;

    uint8_t msg[DISCOVERY_RECV_SIZE];
    ssize_t len = -1;
    while (!conn->connect_exit && len != ssize_t(DISCOVERY_MSG_SIZE)) {
        pollfd pfd = {fd, POLLIN, 0};
        int ready = poll(&pfd, 1, DISCOVERY_WAIT_MS);
        if (ready < 0) {
            if (errno != EINTR) {
                log_print(0, LL_ERR, "get ip select error\n");
                os_sleep_ms(DISCOVERY_WAIT_MS);  // no busy loop on a lasting error
            }
            continue;
        }
        if (ready == 0) continue;
        len = recv(fd, msg, sizeof msg, 0);
        if (len >= 0 && len != ssize_t(DISCOVERY_MSG_SIZE)) {
            log_print(0, LL_WARN, "ignore discovery datagram of %zd bytes\n", len);
        }
    }
    close(fd);
    if (len != ssize_t(DISCOVERY_MSG_SIZE)) return CONN_ERR_EXIT;

    uint32_t found = 0;
    if (discovery_decode(msg, size_t(len), &found) != 0) {
        log_print(0, LL_WARN, "discovery datagram checksum mismatch, dropped\n");
        return -1;
    }
    *ip = found;
    log_print(0, LL_INFO, "remote device IP:%d.%d.%d.%d.\n", msg[0], msg[1], msg[2], msg[3]);
    return 0;
}

int discovery_announce(uint32_t dest_ip, int port, uint32_t phone_ip) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_print(0, LL_ERR, "socket error\n");
        return -1;
    }
    uint8_t msg[DISCOVERY_MSG_SIZE];
    discovery_encode(phone_ip, msg);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(dest_ip);
    ssize_t n = sendto(fd, msg, sizeof msg, 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    if (n < 0) log_print(0, LL_ERR, "send discovery announcement fail, code:%d\n", errno);
    close(fd);
    return n < 0 ? -1 : int(n);
}
