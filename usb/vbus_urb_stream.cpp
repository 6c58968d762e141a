#include "usb/vbus_urb_stream.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/log.h"
#include "platform/os/os_time.h"
#include "usb/vbus_usbip_wire.h"

namespace {

constexpr size_t RX_CAPACITY =
    USBIP_HEADER_SIZE + VBUS_MAX_PAYLOAD + VBUS_MAX_ISO_PACKETS * USBIP_ISO_DESC_SIZE;
constexpr uint32_t STATUS_ECONNRESET = static_cast<uint32_t>(-ECONNRESET);
constexpr int CLOSE_WAIT_MS = 5000;  // how long close() waits for a reader to leave
constexpr uint32_t MAX_ENDPOINT = 15;

}  // namespace

vbus_urb_stream::vbus_urb_stream() = default;

vbus_urb_stream::~vbus_urb_stream() {
    close();
    if (wake_fd_ >= 0) ::close(wake_fd_);
}

int vbus_urb_stream::init() {
    if (wake_fd_ >= 0) return 0;
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) {
        log_print(0, LL_ERR, "vbus: cannot create the wake-up descriptor: %s\n", strerror(errno));
        return -1;
    }
    rx_.resize(RX_CAPACITY);
    rx_iso_.resize(VBUS_MAX_ISO_PACKETS);
    tx_.resize(RX_CAPACITY);
    scratch_.reserve(VBUS_MAX_PAYLOAD);
    tx_iso_.resize(VBUS_MAX_ISO_PACKETS);
    rx_need_ = USBIP_HEADER_SIZE;
    return 0;
}

void vbus_urb_stream::wake() {
    uint64_t one = 1;
    if (wake_fd_ >= 0 && write(wake_fd_, &one, sizeof one) < 0 && errno != EAGAIN)
        log_print(0, LL_ERR, "vbus: wake-up failed: %s\n", strerror(errno));
}

void vbus_urb_stream::drain_wake() {
    uint64_t v;
    while (read(wake_fd_, &v, sizeof v) > 0) {
    }
}

int vbus_urb_stream::attach(int fd, const std::string &peer) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (closed_ || wake_fd_ < 0 || fd_ >= 0) return -1;
        timeval tv{VBUS_SEND_TIMEOUT_MS / 1000, (VBUS_SEND_TIMEOUT_MS % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // fails harmlessly on AF_UNIX
        fd_ = fd;
        peer_ = peer;
        pending_.clear();
    }
    log_print(0, LL_INFO, "vbus: %s attached\n", peer.c_str());
    wake();
    return 0;
}

bool vbus_urb_stream::attached() {
    std::lock_guard<std::mutex> lk(mu_);
    return fd_ >= 0;
}

size_t vbus_urb_stream::inflight() {
    std::lock_guard<std::mutex> lk(mu_);
    return pending_.size();
}

void vbus_urb_stream::mark_broken_locked() {
    if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
    wake();
}

void vbus_urb_stream::disconnect(const char *why) {
    std::string peer;
    size_t dropped = 0;
    {
        std::lock_guard<std::mutex> slk(send_mu_);
        std::lock_guard<std::mutex> lk(mu_);
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        dropped = pending_.size();
        pending_.clear();
        peer.swap(peer_);
    }
    rx_have_ = 0;
    rx_need_ = USBIP_HEADER_SIZE;
    rx_header_done_ = false;
    log_print(0, LL_WARN, "vbus: %s detached (%s), %zu pending requests dropped\n", peer.c_str(),
              why, dropped);
}

// The header of a PDU is in; checks it and sets how much more belongs to it.
int vbus_urb_stream::header_complete() {
    vbus_pdu_header &h = rx_hdr_;
    usbip_decode_header(rx_.data(), &h);
    rx_header_done_ = true;
    if (h.command == VBUS_CMD_UNLINK) {
        rx_need_ = USBIP_HEADER_SIZE;
        return 0;
    }
    if (h.command != VBUS_CMD_SUBMIT) {
        log_print(0, LL_ERR, "vbus: unknown command %u in URB header (seqnum %u)\n", h.command,
                  h.seqnum);
        return -1;
    }
    if (h.direction > VBUS_DIR_IN || h.ep > MAX_ENDPOINT) {
        log_print(0, LL_ERR, "vbus: bad direction %u or endpoint %u (seqnum %u)\n", h.direction,
                  h.ep, h.seqnum);
        return -1;
    }
    uint32_t packets = h.packets == USBIP_PACKETS_NOT_ISO ? 0 : h.packets;
    if (packets > static_cast<uint32_t>(VBUS_MAX_ISO_PACKETS)) {
        log_print(0, LL_ERR, "vbus: %u iso packets announced (seqnum %u), at most %d accepted\n",
                  h.packets, h.seqnum, VBUS_MAX_ISO_PACKETS);
        return -1;
    }
    size_t out_len = h.direction == VBUS_DIR_OUT ? h.length : 0;
    if (out_len > VBUS_MAX_PAYLOAD) {
        log_print(0, LL_ERR, "vbus: OUT length %u (seqnum %u) above the %zu-byte limit\n", h.length,
                  h.seqnum, VBUS_MAX_PAYLOAD);
        return -1;
    }
    rx_need_ = USBIP_HEADER_SIZE + out_len + size_t{packets} * USBIP_ISO_DESC_SIZE;
    return 0;
}

// A whole submission is in: checks its descriptors, records it as pending and
// hands it to the device under a sequence number of the device's own.
int vbus_urb_stream::body_complete(vbus_pdu *pdu) {
    const vbus_pdu_header &h = rx_hdr_;
    uint32_t packets = h.packets == USBIP_PACKETS_NOT_ISO ? 0 : h.packets;
    size_t out_len = h.direction == VBUS_DIR_OUT ? h.length : 0;
    usbip_decode_iso(rx_.data() + USBIP_HEADER_SIZE + out_len, packets, rx_iso_.data());
    for (uint32_t i = 0; i < packets; i++) {
        const vbus_iso_desc &d = rx_iso_[i];
        if (uint64_t{d.offset} + d.length > h.length) {
            log_print(0, LL_ERR,
                      "vbus: iso packet %u (offset %u, length %u) outside the %u-byte buffer "
                      "(seqnum %u)\n",
                      i, d.offset, d.length, h.length, h.seqnum);
            return -1;
        }
    }
    pending req{h.seqnum, h.direction, h.length, h.packets,
                std::vector<vbus_iso_desc>(rx_iso_.begin(), rx_iso_.begin() + packets)};
    uint32_t id;
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (pending_.size() >= VBUS_MAX_INFLIGHT) {
            auto oldest = pending_.begin();
            log_print(0, LL_WARN, "vbus: %zu requests unanswered, forgetting seqnum %u\n",
                      pending_.size(), oldest->second.peer_seqnum);
            pending_.erase(oldest);
        }
        id = next_id_++;
        if (next_id_ == 0) next_id_ = 1;
        pending_.emplace(id, std::move(req));
    }
    pdu->hdr = h;
    pdu->hdr.seqnum = id;
    pdu->hdr.packets = packets;
    pdu->data = out_len ? rx_.data() + USBIP_HEADER_SIZE : nullptr;
    pdu->data_len = out_len;
    pdu->iso = packets ? rx_iso_.data() : nullptr;
    return 1;
}

int vbus_urb_stream::send_all_locked(int fd, const uint8_t *buf, size_t len) {
    while (len > 0) {
        ssize_t n = send(fd, buf, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            log_print(0, LL_ERR, "vbus: send to the host failed: %s\n", strerror(errno));
            return -1;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

// Answers an unlink at once. When the request was still pending, the device
// is told too (a CMD_UNLINK naming its own sequence number) so that it can
// drop the request from its queues; its answer to that notice is not sent on.
bool vbus_urb_stream::answer_unlink(vbus_pdu *notice) {
    const uint32_t target = rx_hdr_.flags_status;
    uint32_t status = 0;
    uint32_t device_seq = 0, notice_seq = 0;
    {
        std::lock_guard<std::mutex> lk(mu_);
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            if (it->second.peer_seqnum == target) {
                device_seq = it->first;
                pending_.erase(it);
                status = STATUS_ECONNRESET;
                notice_seq = next_id_++;
                if (next_id_ == 0) next_id_ = 1;
                break;
            }
        }
    }
    log_print(0, LL_DEBUG, "vbus: unlink of seqnum %u: %s\n", target,
              status ? "dropped while pending" : "already answered");
    vbus_pdu_header r{};
    r.command = VBUS_RET_UNLINK;
    r.seqnum = rx_hdr_.seqnum;
    r.flags_status = status;
    uint8_t wire[USBIP_HEADER_SIZE];
    usbip_encode_header(r, wire);
    {
        std::lock_guard<std::mutex> slk(send_mu_);
        int fd;
        {
            std::lock_guard<std::mutex> lk(mu_);
            fd = fd_;
        }
        if (fd >= 0 && send_all_locked(fd, wire, sizeof wire) < 0) {
            std::lock_guard<std::mutex> lk(mu_);
            mark_broken_locked();
        }
    }
    if (!status) return false;
    *notice = vbus_pdu{};
    notice->hdr.command = VBUS_CMD_UNLINK;
    notice->hdr.seqnum = notice_seq;
    notice->hdr.devid = rx_hdr_.devid;
    notice->hdr.flags_status = device_seq;
    return true;
}

int vbus_urb_stream::read_pdu(vbus_pdu *pdu, int timeout_ms) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (closed_ || wake_fd_ < 0) return -1;
        in_read_ = true;
    }
    struct leave_guard {
        vbus_urb_stream *s;
        ~leave_guard() {
            std::lock_guard<std::mutex> lk(s->mu_);
            s->in_read_ = false;
            s->read_cv_.notify_all();
        }
    } guard{this};

    // The previous PDU's buffer is released by this call.
    if (rx_header_done_ && rx_have_ == rx_need_) {
        rx_have_ = 0;
        rx_need_ = USBIP_HEADER_SIZE;
        rx_header_done_ = false;
    }
    const uint64_t start = os_mono_ms();
    for (;;) {
        int fd;
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (closed_) return -1;
            fd = fd_;
        }
        int wait = -1;
        if (timeout_ms >= 0) {
            uint64_t spent = os_mono_ms() - start;
            if (spent >= static_cast<uint64_t>(timeout_ms)) return 0;
            wait = timeout_ms - static_cast<int>(spent);
        }
        pollfd pf[2] = {{wake_fd_, POLLIN, 0}, {fd, POLLIN, 0}};
        int r = poll(pf, fd >= 0 ? 2 : 1, wait);
        if (r < 0) {
            if (errno == EINTR) continue;
            log_print(0, LL_ERR, "vbus: poll failed: %s\n", strerror(errno));
            return -1;
        }
        if (r == 0) return 0;
        if (pf[0].revents) drain_wake();
        if (fd < 0 || !pf[1].revents) continue;

        ssize_t n = recv(fd, rx_.data() + rx_have_, rx_need_ - rx_have_, MSG_DONTWAIT);
        if (n == 0) {
            disconnect("connection closed by the host");
            continue;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            disconnect(strerror(errno));
            continue;
        }
        rx_have_ += static_cast<size_t>(n);
        if (rx_have_ < rx_need_) continue;
        if (!rx_header_done_) {
            if (header_complete() < 0) {
                disconnect("malformed URB header");
                continue;
            }
            if (rx_have_ < rx_need_) continue;
        }
        if (rx_hdr_.command == VBUS_CMD_UNLINK) {
            rx_have_ = 0;
            rx_need_ = USBIP_HEADER_SIZE;
            rx_header_done_ = false;
            if (answer_unlink(pdu)) return 1;
            continue;
        }
        if (body_complete(pdu) < 0) {
            disconnect("malformed isochronous descriptors");
            continue;
        }
        return 1;
    }
}

size_t vbus_urb_stream::build_reply(const pending &req, const vbus_pdu_header &hdr,
                                    const uint8_t *payload, size_t len, const vbus_iso_desc *iso,
                                    uint32_t packets) {
    vbus_pdu_header r{};
    r.command = VBUS_RET_SUBMIT;
    r.seqnum = req.peer_seqnum;
    r.flags_status = hdr.flags_status;
    r.interval_errors = hdr.interval_errors;
    r.packets = req.raw_packets;
    uint8_t *body = tx_.data() + USBIP_HEADER_SIZE;
    size_t body_len = 0;
    const size_t req_packets = req.iso.size();

    if (req_packets == 0) {
        if (req.direction == VBUS_DIR_IN) {
            body_len = std::min<size_t>(len, req.length);
            if (body_len < len)
                log_print(0, LL_DEBUG, "vbus: reply to seqnum %u trimmed from %zu to %zu bytes\n",
                          req.peer_seqnum, len, body_len);
            if (body_len) memcpy(body, payload, body_len);
            r.length = static_cast<uint32_t>(body_len);
        } else if (hdr.length) {
            r.length = std::min(hdr.length, req.length);
        } else {
            // A successful OUT transfer took the host's whole buffer.
            r.length = hdr.flags_status == 0 ? req.length : 0;
        }
        usbip_encode_header(r, tx_.data());
        return USBIP_HEADER_SIZE + body_len;
    }

    uint32_t total = 0;
    if (req.direction == VBUS_DIR_IN) {
        // The device's audio, gathered from its own packets, is laid into the
        // host's packets in order; the data travels without the gaps.
        scratch_.clear();
        if (packets) {
            for (uint32_t j = 0; j < packets; j++) {
                if (iso[j].offset >= len) continue;
                size_t n = std::min<size_t>(iso[j].actual_length, len - iso[j].offset);
                scratch_.insert(scratch_.end(), payload + iso[j].offset,
                                payload + iso[j].offset + n);
            }
        } else if (len) {
            scratch_.assign(payload, payload + len);
        }
        size_t used = 0;
        for (size_t i = 0; i < req_packets; i++) {
            size_t take = std::min<size_t>(req.iso[i].length, scratch_.size() - used);
            memcpy(body + body_len, scratch_.data() + used, take);
            used += take;
            body_len += take;
            tx_iso_[i] = {req.iso[i].offset, req.iso[i].length, static_cast<uint32_t>(take),
                          i < packets ? iso[i].status : 0};
            total += static_cast<uint32_t>(take);
        }
        if (used < scratch_.size())
            log_print(0, LL_DEBUG, "vbus: %zu bytes of the reply to seqnum %u did not fit\n",
                      scratch_.size() - used, req.peer_seqnum);
    } else {
        for (size_t i = 0; i < req_packets; i++) {
            uint32_t got =
                i < packets ? std::min(iso[i].actual_length, req.iso[i].length) : req.iso[i].length;
            tx_iso_[i] = {req.iso[i].offset, req.iso[i].length, got,
                          i < packets ? iso[i].status : 0};
            total += got;
        }
    }
    r.length = total;
    usbip_encode_header(r, tx_.data());
    usbip_encode_iso(tx_iso_.data(), req_packets, body + body_len);
    return USBIP_HEADER_SIZE + body_len + req_packets * USBIP_ISO_DESC_SIZE;
}

int vbus_urb_stream::write_reply(const vbus_pdu_header &hdr, const uint8_t *payload, size_t len,
                                 const vbus_iso_desc *iso, uint32_t packets) {
    if ((len && !payload) || len > VBUS_MAX_PAYLOAD || (packets && !iso) ||
        packets > static_cast<uint32_t>(VBUS_MAX_ISO_PACKETS)) {
        log_print(0, LL_ERR, "vbus: reply to %u refused: %zu bytes, %u packets\n", hdr.seqnum, len,
                  packets);
        return -1;
    }
    // The device's answer to an unlink notice: the host has had its answer.
    if (hdr.command == VBUS_RET_UNLINK) return 0;
    std::lock_guard<std::mutex> slk(send_mu_);
    pending req;
    int fd;
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (closed_) return -1;
        auto it = pending_.find(hdr.seqnum);
        if (fd_ < 0 || it == pending_.end()) {
            // Unlinked, or its connection is gone: nobody waits for it.
            log_print(0, LL_DEBUG, "vbus: reply to %u dropped, request no longer pending\n",
                      hdr.seqnum);
            return 0;
        }
        fd = fd_;
        req = std::move(it->second);
        pending_.erase(it);
    }
    size_t n = build_reply(req, hdr, payload, len, iso, packets);
    if (send_all_locked(fd, tx_.data(), n) < 0) {
        std::lock_guard<std::mutex> lk(mu_);
        if (fd_ == fd) mark_broken_locked();
        return -1;
    }
    return 0;
}

void vbus_urb_stream::close() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (closed_) return;
        closed_ = true;
        if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
    }
    wake();
    {
        std::unique_lock<std::mutex> lk(mu_);
        read_cv_.wait_for(lk, std::chrono::milliseconds(CLOSE_WAIT_MS),
                          [this] { return !in_read_; });
    }
    std::lock_guard<std::mutex> slk(send_mu_);
    std::lock_guard<std::mutex> lk(mu_);
    if (fd_ >= 0) {
        ::close(fd_);
        log_print(0, LL_INFO, "vbus: %s detached, bus closed\n", peer_.c_str());
    }
    fd_ = -1;
    pending_.clear();
}
