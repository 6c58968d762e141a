// The phone-syslog receiver: copies every datagram from the phone into the
// phone log, line by line, without a prefix.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <system_error>

#include "platform/clog.h"
#include "platform/log.h"

int CLog::receiver_start() {
    receiver_stop();

    std::lock_guard<std::mutex> g(receiver_lock_);
    const int port = syslog_port_;
    receiver_socket_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (receiver_socket_ < 0 || bind(receiver_socket_, (sockaddr *)&sa, sizeof sa) != 0) {
        log_print(0, LL_ERR, "bind syslog server port(%d) fail\n", port);
        return 0;
    }
    int flags = fcntl(receiver_socket_, F_GETFL);
    if (flags < 0 || fcntl(receiver_socket_, F_SETFL, flags | O_NONBLOCK) != 0) {
        log_print(0, LL_ERR, "set syslog socket FIONBIO fail\n");
        return 0;
    }
    foreign_sender_logged_ = false;
    try {
        receiver_thread_ = std::thread(&CLog::receiver_main, this);
    } catch (const std::system_error &) {
        log_print(0, LL_ERR, "Create syslog thread fail\n");
        return 0;
    }
    return 1;
}

int CLog::receiver_stop() {
    std::lock_guard<std::mutex> g(receiver_lock_);
    receiver_stop_ = true;
    if (receiver_thread_.joinable()) receiver_thread_.join();
    receiver_stop_ = false;
    if (receiver_socket_ >= 0) {
        ::close(receiver_socket_);
        receiver_socket_ = -1;
    }
    std::lock_guard<std::mutex> pg(phone_lock_);
    phone_log_.close();
    return 1;
}

void CLog::receiver_main() {
    char buf[SYSLOG_DATAGRAM_MAX + 2];
    while (!receiver_stop_) {
        pollfd pfd{receiver_socket_, POLLIN, 0};
        if (poll(&pfd, 1, 50) <= 0) continue;
        sockaddr_in from{};
        socklen_t fromlen = sizeof from;
        ssize_t n =
            recvfrom(receiver_socket_, buf, SYSLOG_DATAGRAM_MAX, 0, (sockaddr *)&from, &fromlen);
        if (n <= 0) continue;
        // Once the phone is known, only the phone writes into its log.
        const uint32_t phone = phone_addr_;
        if (phone != 0 && ntohl(from.sin_addr.s_addr) != phone) {
            if (!foreign_sender_logged_) {
                foreign_sender_logged_ = true;
                char ip[INET_ADDRSTRLEN];
                inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
                log_print(0, LL_WARN, "syslog datagram from %s is not from the phone, dropped\n",
                          ip);
            }
            continue;
        }
        // Syslog datagrams usually carry no line end; one line per datagram.
        if (buf[n - 1] != '\n') buf[n++] = '\n';
        buf[n] = '\0';
        log_print(1, LL_INFO, "%s", buf);
    }
}
