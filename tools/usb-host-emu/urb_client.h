// The host side of a USB/IP connection: list and import a device, then submit
// URBs (several may be outstanding), wait for them or take their replies in a
// callback, and unlink them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "usb/vbus_usbip_wire.h"

struct urb_request {
    uint32_t dir = VBUS_DIR_IN;
    uint32_t ep = 0;
    uint32_t length = 0;             // host buffer length
    uint8_t setup[8] = {};           // control transfers
    std::vector<uint8_t> out;        // OUT data (length bytes)
    std::vector<vbus_iso_desc> iso;  // isochronous packets; empty = not isochronous
};

struct urb_result {
    int32_t status = 0;
    uint32_t actual = 0;
    std::vector<uint8_t> data;  // IN data, packets laid out at their offsets
    std::vector<vbus_iso_desc> iso;
    uint64_t done_us = 0;  // monotonic time the reply arrived
};

using urb_callback = std::function<void(uint32_t seqnum, const urb_result &r)>;

class urb_client {
  public:
    ~urb_client() { close(); }

    // OP_REQ_DEVLIST. Device count, or -1 (message in error()).
    static int list(const std::string &host, int port, std::vector<usbip_device_record> *out,
                    std::string *error);
    // OP_REQ_IMPORT and start of the reply reader. 0 or -1 (error()).
    int import(const std::string &host, int port, const std::string &busid,
               usbip_device_record *dev);
    // Sends one submission; the callback (if any) runs on the reader thread.
    // Returns the sequence number, 0 when the connection is down.
    uint32_t submit(const urb_request &req, urb_callback cb = nullptr);
    // Waits for the reply of a submission made without callback.
    bool wait(uint32_t seqnum, urb_result *r, int timeout_ms);
    // CMD_UNLINK; the RET_UNLINK status, or 1 on time-out / closed connection.
    int unlink(uint32_t seqnum, int timeout_ms);
    // A whole control transfer; on time-out it is unlinked as a host would.
    bool control(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                 const std::vector<uint8_t> &out, urb_result *r, int timeout_ms);
    void close();
    bool alive();
    const std::string &error() const { return error_; }

  private:
    struct pending {
        uint32_t dir;
        uint32_t length;
        bool iso;
        urb_callback cb;
    };
    void reader();
    bool recv_exact(uint8_t *p, size_t n);
    bool send_all(const uint8_t *p, size_t n);
    void fail(const std::string &why);

    int fd_ = -1;
    uint32_t devid_ = 0;
    std::thread reader_;
    std::mutex send_mu_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool alive_ = false;
    uint32_t next_seq_ = 1;
    std::map<uint32_t, pending> pending_;
    std::map<uint32_t, urb_result> done_;
    std::map<uint32_t, int32_t> unlinked_;  // unlink seqnum -> status
    std::string error_;
};
