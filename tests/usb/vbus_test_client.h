// A raw USB/IP client for the export-server tests: every byte it sends is
// spelled out by the test, so malformed input can be sent too.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "usb/vbus_usbip_wire.h"

struct raw_reply {
    vbus_pdu_header hdr{};
    std::vector<uint8_t> data;
    std::vector<vbus_iso_desc> iso;
};

class raw_client {
  public:
    ~raw_client() { close(); }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

    bool connect_to(int port, int timeout_ms = 5000) {
        close();
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        return ::connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    }

    bool send_bytes(const void *p, size_t n) {
        return ::send(fd_, p, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n);
    }
    bool recv_bytes(void *p, size_t n) {
        auto *b = static_cast<uint8_t *>(p);
        while (n > 0) {
            ssize_t r = ::recv(fd_, b, n, 0);
            if (r <= 0) return false;
            b += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
    // True when the server has closed the connection (within the time-out).
    bool peer_closed() {
        uint8_t b;
        return ::recv(fd_, &b, 1, 0) == 0;
    }

    // OP_REQ_DEVLIST on a fresh connection. Device count or -1.
    int devlist(int port, std::vector<usbip_device_record> *out) {
        if (!connect_to(port)) return -1;
        uint8_t req[USBIP_OP_COMMON_SIZE];
        usbip_encode_op_common({USBIP_VERSION, USBIP_OP_REQ_DEVLIST, 0}, req);
        uint8_t head[USBIP_OP_COMMON_SIZE + 4];
        if (!send_bytes(req, sizeof req) || !recv_bytes(head, sizeof head)) return -1;
        usbip_op_common op = usbip_decode_op_common(head);
        if (op.code != USBIP_OP_REP_DEVLIST || op.status != 0) return -1;
        uint32_t n = ntohl(*reinterpret_cast<uint32_t *>(head + 8));
        for (uint32_t i = 0; i < n; i++) {
            std::vector<uint8_t> rec(USBIP_DEVICE_SIZE);
            if (!recv_bytes(rec.data(), rec.size())) return -1;
            size_t nif = rec[USBIP_DEVICE_SIZE - 1];
            rec.resize(USBIP_DEVICE_SIZE + nif * USBIP_INTERFACE_SIZE);
            if (!recv_bytes(rec.data() + USBIP_DEVICE_SIZE, nif * USBIP_INTERFACE_SIZE)) return -1;
            usbip_device_record d;
            if (!usbip_decode_device(rec.data(), rec.size(), true, &d)) return -1;
            out->push_back(d);
        }
        close();
        return static_cast<int>(n);
    }

    // OP_REQ_IMPORT; keeps the connection when the status is 0. Status or -1.
    int import(int port, const std::string &busid, usbip_device_record *dev = nullptr) {
        if (!connect_to(port)) return -1;
        uint8_t req[USBIP_OP_COMMON_SIZE + USBIP_BUSID_SIZE];
        usbip_encode_op_common({USBIP_VERSION, USBIP_OP_REQ_IMPORT, 0}, req);
        usbip_encode_busid(busid, req + USBIP_OP_COMMON_SIZE);
        uint8_t head[USBIP_OP_COMMON_SIZE];
        if (!send_bytes(req, sizeof req) || !recv_bytes(head, sizeof head)) return -1;
        usbip_op_common op = usbip_decode_op_common(head);
        if (op.code != USBIP_OP_REP_IMPORT) return -1;
        if (op.status != 0) {
            close();
            return static_cast<int>(op.status);
        }
        uint8_t rec[USBIP_DEVICE_SIZE];
        if (!recv_bytes(rec, sizeof rec)) return -1;
        usbip_device_record d;
        usbip_decode_device(rec, sizeof rec, false, dev ? dev : &d);
        return 0;
    }

    bool submit(const vbus_pdu_header &h, const std::vector<uint8_t> &data = {},
                const std::vector<vbus_iso_desc> &iso = {}) {
        std::vector<uint8_t> out(USBIP_HEADER_SIZE + data.size() + iso.size() * 16);
        usbip_encode_header(h, out.data());
        if (!data.empty()) memcpy(out.data() + USBIP_HEADER_SIZE, data.data(), data.size());
        usbip_encode_iso(iso.data(), iso.size(), out.data() + USBIP_HEADER_SIZE + data.size());
        return send_bytes(out.data(), out.size());
    }

    // One reply. in: the request was IN (its data follows the header).
    bool reply(raw_reply *r, bool in) {
        uint8_t head[USBIP_HEADER_SIZE];
        if (!recv_bytes(head, sizeof head)) return false;
        usbip_decode_header(head, &r->hdr);
        if (r->hdr.command != VBUS_RET_SUBMIT) return true;
        r->data.resize(in ? r->hdr.length : 0);
        if (!r->data.empty() && !recv_bytes(r->data.data(), r->data.size())) return false;
        uint32_t np = r->hdr.packets == USBIP_PACKETS_NOT_ISO ? 0 : r->hdr.packets;
        if (np > 4096) return false;
        std::vector<uint8_t> raw(np * 16);
        if (np && !recv_bytes(raw.data(), raw.size())) return false;
        r->iso.resize(np);
        usbip_decode_iso(raw.data(), np, r->iso.data());
        return true;
    }

  private:
    int fd_ = -1;
};

inline vbus_pdu_header submit_header(uint32_t seq, uint32_t dir, uint32_t ep, uint32_t len,
                                     uint32_t packets = USBIP_PACKETS_NOT_ISO) {
    vbus_pdu_header h{};
    h.command = VBUS_CMD_SUBMIT;
    h.seqnum = seq;
    h.devid = 0x00010001;
    h.direction = dir;
    h.ep = ep;
    h.length = len;
    h.packets = packets;
    return h;
}
