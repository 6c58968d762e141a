// The USB/IP URB stream that both the export server (after an import) and the
// vhci attach carry over one connected socket: CMD_SUBMIT / CMD_UNLINK in,
// RET_SUBMIT / RET_UNLINK out.
//
// The stream keeps a table of the submissions the device has not answered
// yet. The device sees its own sequence numbers (unique across connections),
// so a late reply to a request of a connection that has gone is recognised
// and dropped instead of reaching the next importer. Unlinks are answered
// here: an unlinked request is removed from the table, its eventual reply is
// discarded, and the device gets a CMD_UNLINK naming it so that it can free
// the queue slot (the device's RET_UNLINK to that is not sent on). Every reply is shaped to the
// request it answers (packet count, per-packet lengths, host buffer size), so a peer never receives
// more than it asked for.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "usb/vbus.h"

// Oldest requests are forgotten beyond this many unanswered ones, so a device
// that silently drops PDUs cannot grow the table without bound.
constexpr size_t VBUS_MAX_INFLIGHT = 1024;
// A peer that stops reading for this long is dropped instead of stalling the
// device's reply threads.
constexpr int VBUS_SEND_TIMEOUT_MS = 2000;

class vbus_urb_stream {
  public:
    vbus_urb_stream();
    ~vbus_urb_stream();
    vbus_urb_stream(const vbus_urb_stream &) = delete;
    vbus_urb_stream &operator=(const vbus_urb_stream &) = delete;

    // Creates the wake-up descriptor. 0 or -1 (logged).
    int init();
    // Takes ownership of a connected socket that now carries URBs. -1 (and
    // the socket is left to the caller) when one is attached or the stream is
    // closed.
    int attach(int fd, const std::string &peer);
    // True while a peer is attached.
    bool attached();
    // Requests not answered yet (for tests and logs).
    size_t inflight();

    int read_pdu(vbus_pdu *pdu, int timeout_ms);
    int write_reply(const vbus_pdu_header &hdr, const uint8_t *payload, size_t len,
                    const vbus_iso_desc *iso, uint32_t packets);
    // Ends the stream for good: the peer is dropped, a blocked read_pdu
    // returns -1 and every later call fails.
    void close();

  private:
    struct pending {
        uint32_t peer_seqnum;
        uint32_t direction;
        uint32_t length;       // host buffer length of the submission
        uint32_t raw_packets;  // packet count as the peer sent it (echoed for non-iso)
        std::vector<vbus_iso_desc> iso;
    };

    void wake();
    void drain_wake();
    // Reader side: closes the connection and forgets its requests.
    void disconnect(const char *why);
    // Any thread: makes the reader drop the connection soon.
    void mark_broken_locked();
    int header_complete();
    int body_complete(vbus_pdu *pdu);
    bool answer_unlink(vbus_pdu *notice);
    int send_all_locked(int fd, const uint8_t *buf, size_t len);
    size_t build_reply(const pending &req, const vbus_pdu_header &hdr, const uint8_t *payload,
                       size_t len, const vbus_iso_desc *iso, uint32_t packets);

    std::mutex send_mu_;  // serialises writes; held while the socket is closed
    std::mutex mu_;       // the fields below
    std::condition_variable read_cv_;
    int fd_ = -1;
    std::string peer_;
    bool closed_ = false;
    bool in_read_ = false;
    int wake_fd_ = -1;
    uint32_t next_id_ = 1;
    std::map<uint32_t, pending> pending_;

    // Reader-only state: the PDU being received.
    std::vector<uint8_t> rx_;
    size_t rx_have_ = 0;
    size_t rx_need_ = 0;
    bool rx_header_done_ = false;
    vbus_pdu_header rx_hdr_{};
    std::vector<vbus_iso_desc> rx_iso_;

    // Writer state, under send_mu_.
    std::vector<uint8_t> tx_;
    std::vector<uint8_t> scratch_;
    std::vector<vbus_iso_desc> tx_iso_;
};

// A backend whose PDUs travel as a USB/IP URB stream (the export server and
// vhci attach): reads and replies go straight to the stream.
class vbus_stream_backend : public vbus_backend {
  public:
    int read_pdu(vbus_pdu *pdu, int timeout_ms) override {
        return stream_.read_pdu(pdu, timeout_ms);
    }
    int write_reply(const vbus_pdu_header &hdr, const uint8_t *payload, size_t len,
                    const vbus_iso_desc *iso, uint32_t packets) override {
        return stream_.write_reply(hdr, payload, len, iso, packets);
    }

  protected:
    vbus_urb_stream stream_;
};
