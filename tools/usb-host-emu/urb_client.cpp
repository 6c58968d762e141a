#include "urb_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include <linux/usbip.h>

#include "platform/os/os_time.h"

namespace {

constexpr int CONNECT_TIMEOUT_S = 5;

int connect_tcp(const std::string &host, int port, std::string *error) {
    addrinfo hints{}, *res = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0 || !res) {
        *error = "cannot resolve " + host;
        return -1;
    }
    int fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{CONNECT_TIMEOUT_S, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (fd < 0 || connect(fd, res->ai_addr, res->ai_addrlen) < 0) {
        *error = "cannot connect to " + host + ":" + std::to_string(port) + ": " + strerror(errno);
        if (fd >= 0) ::close(fd);
        freeaddrinfo(res);
        return -1;
    }
    freeaddrinfo(res);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool recv_fd(int fd, uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t r = recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool send_fd(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// The handshake must not hang on a silent server.
void set_recv_timeout(int fd, int seconds) {
    timeval tv{seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

}  // namespace

int urb_client::list(const std::string &host, int port, std::vector<usbip_device_record> *out,
                     std::string *error) {
    int fd = connect_tcp(host, port, error);
    if (fd < 0) return -1;
    set_recv_timeout(fd, CONNECT_TIMEOUT_S);
    uint8_t req[USBIP_OP_COMMON_SIZE];
    usbip_encode_op_common({USBIP_VERSION, USBIP_OP_REQ_DEVLIST, 0}, req);
    uint8_t head[USBIP_OP_COMMON_SIZE + 4];
    int count = -1;
    if (!send_fd(fd, req, sizeof req) || !recv_fd(fd, head, sizeof head)) {
        *error = "no devlist reply";
    } else {
        usbip_op_common op = usbip_decode_op_common(head);
        uint32_t n = ntohl(*reinterpret_cast<const uint32_t *>(head + USBIP_OP_COMMON_SIZE));
        if (op.code != USBIP_OP_REP_DEVLIST || op.status != 0) {
            *error = "devlist refused";
        } else {
            count = 0;
            for (uint32_t i = 0; i < n; i++) {
                uint8_t rec[USBIP_DEVICE_SIZE + 255 * USBIP_INTERFACE_SIZE];
                if (!recv_fd(fd, rec, USBIP_DEVICE_SIZE)) {
                    *error = "devlist reply cut short";
                    count = -1;
                    break;
                }
                size_t nif = rec[USBIP_DEVICE_SIZE - 1];
                if (!recv_fd(fd, rec + USBIP_DEVICE_SIZE, nif * USBIP_INTERFACE_SIZE)) {
                    *error = "devlist interfaces cut short";
                    count = -1;
                    break;
                }
                usbip_device_record d;
                usbip_decode_device(rec, USBIP_DEVICE_SIZE + nif * USBIP_INTERFACE_SIZE, true, &d);
                out->push_back(d);
                count++;
            }
        }
    }
    ::close(fd);
    return count;
}

int urb_client::import(const std::string &host, int port, const std::string &busid,
                       usbip_device_record *dev) {
    int fd = connect_tcp(host, port, &error_);
    if (fd < 0) return -1;
    set_recv_timeout(fd, CONNECT_TIMEOUT_S);
    uint8_t req[USBIP_OP_COMMON_SIZE + USBIP_BUSID_SIZE];
    usbip_encode_op_common({USBIP_VERSION, USBIP_OP_REQ_IMPORT, 0}, req);
    usbip_encode_busid(busid, req + USBIP_OP_COMMON_SIZE);
    uint8_t head[USBIP_OP_COMMON_SIZE];
    if (!send_fd(fd, req, sizeof req) || !recv_fd(fd, head, sizeof head)) {
        error_ = "no import reply";
        ::close(fd);
        return -1;
    }
    usbip_op_common op = usbip_decode_op_common(head);
    if (op.code != USBIP_OP_REP_IMPORT || op.status != 0) {
        error_ = "import of " + busid + " refused (status " + std::to_string(op.status) + ")";
        ::close(fd);
        return -1;
    }
    uint8_t rec[USBIP_DEVICE_SIZE];
    if (!recv_fd(fd, rec, sizeof rec)) {
        error_ = "import reply cut short";
        ::close(fd);
        return -1;
    }
    usbip_decode_device(rec, sizeof rec, false, dev);
    set_recv_timeout(fd, 0);  // the reader blocks until the stream ends
    devid_ = dev->busnum << 16 | (dev->devnum & 0xffff);
    fd_ = fd;
    alive_ = true;
    reader_ = std::thread([this] { reader(); });
    return 0;
}

bool urb_client::recv_exact(uint8_t *p, size_t n) {
    return recv_fd(fd_, p, n);
}
bool urb_client::send_all(const uint8_t *p, size_t n) {
    return send_fd(fd_, p, n);
}

void urb_client::fail(const std::string &why) {
    std::lock_guard<std::mutex> lk(mu_);
    if (alive_ && error_.empty()) error_ = why;
    alive_ = false;
    cv_.notify_all();
}

void urb_client::reader() {
    for (;;) {
        uint8_t head[USBIP_HEADER_SIZE];
        if (!recv_exact(head, sizeof head)) {
            fail("connection closed by the server");
            return;
        }
        vbus_pdu_header h{};
        usbip_decode_header(head, &h);
        if (h.command == VBUS_RET_UNLINK) {
            std::lock_guard<std::mutex> lk(mu_);
            unlinked_[h.seqnum] = static_cast<int32_t>(h.flags_status);
            cv_.notify_all();
            continue;
        }
        if (h.command != VBUS_RET_SUBMIT) {
            fail("unexpected command " + std::to_string(h.command) + " from the server");
            return;
        }
        pending p;
        {
            std::lock_guard<std::mutex> lk(mu_);
            auto it = pending_.find(h.seqnum);
            if (it == pending_.end()) {
                error_ = "reply to unknown seqnum " + std::to_string(h.seqnum);
                alive_ = false;
                cv_.notify_all();
                return;
            }
            p = std::move(it->second);
            pending_.erase(it);
        }
        urb_result r;
        r.status = static_cast<int32_t>(h.flags_status);
        r.actual = h.length;
        if (h.length > p.length) {
            fail("reply of " + std::to_string(h.length) + " bytes to a " +
                 std::to_string(p.length) + "-byte request");
            return;
        }
        std::vector<uint8_t> packed(p.dir == VBUS_DIR_IN ? h.length : 0);
        if (!packed.empty() && !recv_exact(packed.data(), packed.size())) {
            fail("reply data cut short");
            return;
        }
        uint32_t np = p.iso ? h.packets : 0;
        if (np == USBIP_PACKETS_NOT_ISO) np = 0;
        if (np > static_cast<uint32_t>(VBUS_MAX_ISO_PACKETS)) {
            fail("reply with " + std::to_string(np) + " packets");
            return;
        }
        if (np) {
            std::vector<uint8_t> raw(np * USBIP_ISO_DESC_SIZE);
            if (!recv_exact(raw.data(), raw.size())) {
                fail("reply descriptors cut short");
                return;
            }
            r.iso.resize(np);
            usbip_decode_iso(raw.data(), np, r.iso.data());
            // IN data travels packed; it goes back to each packet's offset.
            if (p.dir == VBUS_DIR_IN) r.data.assign(p.length, 0);
            size_t pos = 0;
            for (const auto &d : r.iso) {
                if (p.dir != VBUS_DIR_IN) break;
                size_t n = d.actual_length;
                if (pos + n > packed.size() || uint64_t{d.offset} + n > p.length) {
                    fail("iso reply descriptors do not match its data");
                    return;
                }
                memcpy(r.data.data() + d.offset, packed.data() + pos, n);
                pos += n;
            }
        } else {
            r.data = std::move(packed);
        }
        r.done_us = os_mono_us();
        if (p.cb) {
            p.cb(h.seqnum, r);
        } else {
            std::lock_guard<std::mutex> lk(mu_);
            done_[h.seqnum] = std::move(r);
            cv_.notify_all();
        }
    }
}

uint32_t urb_client::submit(const urb_request &req, urb_callback cb) {
    std::vector<uint8_t> out(USBIP_HEADER_SIZE + req.out.size() +
                             req.iso.size() * USBIP_ISO_DESC_SIZE);
    vbus_pdu_header h{};
    h.command = VBUS_CMD_SUBMIT;
    h.devid = devid_;
    h.direction = req.dir;
    h.ep = req.ep;
    h.flags_status = req.dir == VBUS_DIR_IN ? USBIP_URB_DIR_IN : 0;
    h.length = req.length;
    h.packets = req.iso.empty() ? USBIP_PACKETS_NOT_ISO : static_cast<uint32_t>(req.iso.size());
    memcpy(h.setup, req.setup, 8);
    std::lock_guard<std::mutex> slk(send_mu_);
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (!alive_) return 0;
        h.seqnum = next_seq_++;
        pending_[h.seqnum] = pending{req.dir, req.length, !req.iso.empty(), std::move(cb)};
    }
    usbip_encode_header(h, out.data());
    if (!req.out.empty()) memcpy(out.data() + USBIP_HEADER_SIZE, req.out.data(), req.out.size());
    usbip_encode_iso(req.iso.data(), req.iso.size(),
                     out.data() + USBIP_HEADER_SIZE + req.out.size());
    if (!send_all(out.data(), out.size())) {
        fail("send failed");
        return 0;
    }
    return h.seqnum;
}

bool urb_client::wait(uint32_t seqnum, urb_result *r, int timeout_ms) {
    std::unique_lock<std::mutex> lk(mu_);
    bool got = cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                            [&] { return done_.count(seqnum) || !alive_; });
    auto it = done_.find(seqnum);
    if (!got || it == done_.end()) return false;
    *r = std::move(it->second);
    done_.erase(it);
    return true;
}

int urb_client::unlink(uint32_t seqnum, int timeout_ms) {
    vbus_pdu_header h{};
    h.command = VBUS_CMD_UNLINK;
    h.devid = devid_;
    h.flags_status = seqnum;
    uint8_t out[USBIP_HEADER_SIZE];
    {
        std::lock_guard<std::mutex> slk(send_mu_);
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (!alive_) return 1;
            h.seqnum = next_seq_++;
        }
        usbip_encode_header(h, out);
        if (!send_all(out, sizeof out)) {
            fail("send failed");
            return 1;
        }
    }
    std::unique_lock<std::mutex> lk(mu_);
    if (!cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                      [&] { return unlinked_.count(h.seqnum) || !alive_; }) ||
        !unlinked_.count(h.seqnum))
        return 1;
    int32_t status = unlinked_[h.seqnum];
    unlinked_.erase(h.seqnum);
    // An unlinked request gets no reply of its own.
    if (status != 0) pending_.erase(seqnum);
    return status;
}

bool urb_client::control(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                         uint16_t length, const std::vector<uint8_t> &out, urb_result *r,
                         int timeout_ms) {
    urb_request req;
    req.dir = (type & 0x80) ? VBUS_DIR_IN : VBUS_DIR_OUT;
    req.ep = 0;
    req.length = length;
    const uint8_t setup[8] = {type,
                              request,
                              static_cast<uint8_t>(value),
                              static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(index),
                              static_cast<uint8_t>(index >> 8),
                              static_cast<uint8_t>(length),
                              static_cast<uint8_t>(length >> 8)};
    memcpy(req.setup, setup, 8);
    if (req.dir == VBUS_DIR_OUT) {
        req.out = out;
        req.out.resize(length);
    }
    uint32_t seq = submit(req);
    if (!seq) return false;
    if (wait(seq, r, timeout_ms)) return true;
    unlink(seq, timeout_ms);
    return false;
}

bool urb_client::alive() {
    std::lock_guard<std::mutex> lk(mu_);
    return alive_;
}

void urb_client::close() {
    if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    std::lock_guard<std::mutex> lk(mu_);
    alive_ = false;
}
