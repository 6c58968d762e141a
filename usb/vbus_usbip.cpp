// USB/IP export server: lists the plugged device, lets one importer at a time
// take it, then carries that importer's URB stream.
#include "usb/vbus_usbip.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/log.h"
#include "platform/os/os_time.h"
#include "usb/vbus_urb_stream.h"
#include "usb/vbus_usbip_wire.h"

namespace {

constexpr int LISTEN_BACKLOG = 8;
// A client that has connected gets this long to send its request.
constexpr int HANDSHAKE_TIMEOUT_MS = 3000;
constexpr uint32_t PORT_NONE = 0;
// How long an import waits for the previous importer's connection to be let go.
constexpr int IMPORT_WAIT_MS = 1000;
constexpr int IMPORT_POLL_MS = 20;
constexpr unsigned ACCEPT_BACKOFF_MS = 100;

class usbip_backend : public vbus_stream_backend {
  public:
    usbip_backend(std::string bind_addr, int port)
        : bind_addr_(std::move(bind_addr)), port_(port) {}
    ~usbip_backend() override { close(); }

    int open() override;
    int port_status(uint8_t status[VBUS_PORT_COUNT]) override;
    int plug_in(const vbus_plugin_info &info, const vbus_device_summary &summary) override;
    void close() override;

    int local_port() const { return opened_ ? local_port_ : -1; }

  private:
    void serve();
    void handle_client(int fd, const std::string &peer);
    int recv_exact(int fd, uint8_t *buf, size_t len);
    bool wait_detached();
    int send_all(int fd, const uint8_t *buf, size_t len);
    bool device_record(usbip_device_record *dev);

    std::string bind_addr_;
    int port_;
    int local_port_ = -1;
    std::atomic<bool> opened_{false};
    bool finished_ = false;  // closed for good
    int listen_fd_ = -1;
    int stop_fd_ = -1;
    std::thread server_;

    std::mutex mu_;  // the plugged device
    uint32_t plugged_port_ = PORT_NONE;
    vbus_plugin_info info_;
    vbus_device_summary summary_;
};

int usbip_backend::open() {
    if (opened_) return 0;
    if (finished_) {
        log_print(0, LL_ERR, "%s: a closed bus cannot be opened again\n", "usbip");
        return -1;
    }
    in_addr addr{};
    if (inet_pton(AF_INET, bind_addr_.c_str(), &addr) != 1 || port_ < 0 || port_ > 65535) {
        log_print(0, LL_ERR, "usbip: bad bind address %s:%d\n", bind_addr_.c_str(), port_);
        return -1;
    }
    if (stream_.init() < 0) return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_print(0, LL_ERR, "usbip: socket failed: %s\n", strerror(errno));
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = addr;
    sa.sin_port = htons(static_cast<uint16_t>(port_));
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 ||
        listen(fd, LISTEN_BACKLOG) < 0) {
        log_print(0, LL_ERR, "usbip: cannot listen on %s:%d: %s\n", bind_addr_.c_str(), port_,
                  strerror(errno));
        ::close(fd);
        return -1;
    }
    socklen_t sl = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &sl);
    local_port_ = ntohs(sa.sin_port);
    stop_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (stop_fd_ < 0) {
        log_print(0, LL_ERR, "usbip: eventfd failed: %s\n", strerror(errno));
        ::close(fd);
        return -1;
    }
    listen_fd_ = fd;
    opened_ = true;
    server_ = std::thread([this] { serve(); });
    log_print(0, LL_INFO, "usbip: export server listening on %s:%d\n", bind_addr_.c_str(),
              local_port_);
    return 0;
}

int usbip_backend::port_status(uint8_t status[VBUS_PORT_COUNT]) {
    if (!opened_) {
        log_print(0, LL_ERR, "usbip: port status asked before open\n");
        return -1;
    }
    memset(status, 0, VBUS_PORT_COUNT);
    std::lock_guard<std::mutex> lk(mu_);
    if (plugged_port_ != PORT_NONE) status[plugged_port_] = 1;
    return 0;
}

int usbip_backend::plug_in(const vbus_plugin_info &info, const vbus_device_summary &summary) {
    if (!opened_) {
        log_print(0, LL_ERR, "usbip: plug-in before open\n");
        return -1;
    }
    if (info.port == 0 || info.port >= VBUS_PORT_COUNT) {
        log_print(0, LL_ERR, "usbip: plug-in on invalid port %u\n", info.port);
        return -1;
    }
    std::lock_guard<std::mutex> lk(mu_);
    if (plugged_port_ != PORT_NONE) {
        log_print(0, LL_ERR, "usbip: plug-in refused, port %u already holds the device\n",
                  plugged_port_);
        return -1;
    }
    plugged_port_ = info.port;
    info_ = info;
    summary_ = summary;
    log_print(0, LL_INFO,
              "usbip: device %04x:%04x exported as busid %u-%u, waiting for an importer\n",
              summary.vid, summary.pid, info.devid >> 16, info.port);
    return 0;
}

bool usbip_backend::device_record(usbip_device_record *dev) {
    std::lock_guard<std::mutex> lk(mu_);
    if (plugged_port_ == PORT_NONE) return false;
    uint32_t bus = info_.devid >> 16;
    char text[64];
    snprintf(text, sizeof text, "%u-%u", bus, plugged_port_);
    dev->busid = text;
    dev->path = "/ostrelle/vbus/usb" + std::to_string(bus) + "/" + dev->busid;
    dev->busnum = bus;
    dev->devnum = info_.devid & 0xffff;
    dev->speed = info_.speed;
    dev->summary = summary_;
    return true;
}

void usbip_backend::close() {
    if (!opened_.exchange(false)) return;
    finished_ = true;
    uint64_t one = 1;
    if (write(stop_fd_, &one, sizeof one) < 0)
        log_print(0, LL_ERR, "usbip: stop signal failed: %s\n", strerror(errno));
    if (server_.joinable()) server_.join();
    ::close(listen_fd_);
    ::close(stop_fd_);
    listen_fd_ = stop_fd_ = -1;
    stream_.close();
    std::lock_guard<std::mutex> lk(mu_);
    plugged_port_ = PORT_NONE;
    log_print(0, LL_INFO, "usbip: export server closed\n");
}

void usbip_backend::serve() {
    for (;;) {
        pollfd pf[2] = {{stop_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}};
        int r = poll(pf, 2, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            log_print(0, LL_ERR, "usbip: poll failed: %s\n", strerror(errno));
            return;
        }
        if (pf[0].revents) return;
        if (!pf[1].revents) continue;
        sockaddr_in sa{};
        socklen_t sl = sizeof sa;
        int fd = accept4(listen_fd_, reinterpret_cast<sockaddr *>(&sa), &sl, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
                // Out of descriptors or memory: pause rather than spin.
                log_print(0, LL_ERR, "usbip: accept failed: %s\n", strerror(errno));
                os_sleep_ms(ACCEPT_BACKOFF_MS);
            }
            continue;
        }
        char ip[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip);
        handle_client(fd, std::string(ip) + ":" + std::to_string(ntohs(sa.sin_port)));
    }
}

// Reads exactly len bytes within the handshake time-out. 0, or -1 on time-out,
// close or stop.
int usbip_backend::recv_exact(int fd, uint8_t *buf, size_t len) {
    const uint64_t start = os_mono_ms();
    size_t have = 0;
    while (have < len) {
        uint64_t spent = os_mono_ms() - start;
        if (spent >= HANDSHAKE_TIMEOUT_MS) return -1;
        pollfd pf[2] = {{stop_fd_, POLLIN, 0}, {fd, POLLIN, 0}};
        int r = poll(pf, 2, HANDSHAKE_TIMEOUT_MS - static_cast<int>(spent));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || pf[0].revents) return -1;
        ssize_t n = recv(fd, buf + have, len - have, MSG_DONTWAIT);
        if (n == 0) return -1;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return -1;
        }
        have += static_cast<size_t>(n);
    }
    return 0;
}

int usbip_backend::send_all(int fd, const uint8_t *buf, size_t len) {
    while (len > 0) {
        ssize_t n = send(fd, buf, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

// A host that has just closed its connection may not have been noticed yet
// by the reader; an import right behind it waits a moment for that.
bool usbip_backend::wait_detached() {
    const uint64_t until = os_mono_ms() + IMPORT_WAIT_MS;
    while (stream_.attached()) {
        if (os_mono_ms() >= until) return false;
        pollfd pf{stop_fd_, POLLIN, 0};
        if (poll(&pf, 1, IMPORT_POLL_MS) > 0) return false;
    }
    return true;
}

void usbip_backend::handle_client(int fd, const std::string &peer) {
    timeval tv{HANDSHAKE_TIMEOUT_MS / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    uint8_t req[USBIP_OP_COMMON_SIZE];
    if (recv_exact(fd, req, sizeof req) < 0) {
        log_print(0, LL_WARN, "usbip: %s sent no request\n", peer.c_str());
        ::close(fd);
        return;
    }
    usbip_op_common op = usbip_decode_op_common(req);
    if (op.version != USBIP_VERSION) {
        log_print(0, LL_ERR, "usbip: %s speaks protocol version %04x, %04x expected\n",
                  peer.c_str(), op.version, USBIP_VERSION);
        ::close(fd);
        return;
    }
    usbip_device_record dev;
    if (op.code == USBIP_OP_REQ_DEVLIST) {
        bool present = device_record(&dev);
        uint8_t out[USBIP_OP_COMMON_SIZE + 4 + USBIP_DEVICE_SIZE +
                    USBIP_MAX_INTERFACES * USBIP_INTERFACE_SIZE];
        usbip_encode_op_common({USBIP_VERSION, USBIP_OP_REP_DEVLIST, USBIP_ST_OK}, out);
        size_t n = USBIP_OP_COMMON_SIZE;
        out[n++] = 0;
        out[n++] = 0;
        out[n++] = 0;
        out[n++] = present ? 1 : 0;  // device count, big-endian
        if (present) n += usbip_encode_device(dev, true, out + n, sizeof out - n);
        if (send_all(fd, out, n) < 0)
            log_print(0, LL_WARN, "usbip: devlist reply to %s failed: %s\n", peer.c_str(),
                      strerror(errno));
        else
            log_print(0, LL_DEBUG, "usbip: devlist sent to %s (%d device)\n", peer.c_str(),
                      present ? 1 : 0);
        ::close(fd);
        return;
    }
    if (op.code != USBIP_OP_REQ_IMPORT) {
        log_print(0, LL_ERR, "usbip: %s sent unknown request %04x\n", peer.c_str(), op.code);
        ::close(fd);
        return;
    }
    uint8_t busid_raw[USBIP_BUSID_SIZE];
    if (recv_exact(fd, busid_raw, sizeof busid_raw) < 0) {
        log_print(0, LL_WARN, "usbip: import request from %s incomplete\n", peer.c_str());
        ::close(fd);
        return;
    }
    std::string busid = usbip_decode_busid(busid_raw);
    const char *refusal = nullptr;
    if (!device_record(&dev) || dev.busid != busid)
        refusal = "no such device";
    else if (!wait_detached())
        refusal = "device already imported";
    uint8_t out[USBIP_OP_COMMON_SIZE + USBIP_DEVICE_SIZE];
    usbip_encode_op_common(
        {USBIP_VERSION, USBIP_OP_REP_IMPORT, refusal ? USBIP_ST_NA : USBIP_ST_OK}, out);
    size_t n = USBIP_OP_COMMON_SIZE;
    if (!refusal) n += usbip_encode_device(dev, false, out + n, sizeof out - n);
    if (refusal) {
        log_print(0, LL_WARN, "usbip: import of %s by %s refused: %s\n", busid.c_str(),
                  peer.c_str(), refusal);
        send_all(fd, out, n);
        ::close(fd);
        return;
    }
    // URBs the importer sends right after the reply wait in the socket until
    // the stream takes it over.
    if (send_all(fd, out, n) < 0) {
        log_print(0, LL_WARN, "usbip: import reply to %s failed: %s\n", peer.c_str(),
                  strerror(errno));
        ::close(fd);
        return;
    }
    if (stream_.attach(fd, "importer " + peer) < 0) {
        log_print(0, LL_WARN, "usbip: import of %s by %s abandoned: bus closing\n", busid.c_str(),
                  peer.c_str());
        ::close(fd);
        return;
    }
    log_print(0, LL_INFO, "usbip: %s imported by %s\n", busid.c_str(), peer.c_str());
}

}  // namespace

std::unique_ptr<vbus_backend> vbus_usbip_create(const std::string &bind_addr, int port) {
    return std::make_unique<usbip_backend>(bind_addr, port);
}

int vbus_usbip_local_port(vbus_backend *backend) {
    auto *b = dynamic_cast<usbip_backend *>(backend);
    return b ? b->local_port() : -1;
}
