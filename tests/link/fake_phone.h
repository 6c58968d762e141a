// A scripted phone for session tests: a TCP listener on loopback that reads
// the PC's messages in the framing the phone expects, acknowledges new-framing
// data messages, skips repeats, and sends what the test tells it to.
#pragma once

#include <cstdint>
#include <string>

struct pc_msg {
    uint8_t id = 0;
    bool new_framing = false;
    uint32_t seq = 0;
    std::string body;  // raw bytes (JSON text with its NUL for new-format bodies)
};

class FakePhone {
  public:
    FakePhone();
    ~FakePhone();
    int port() const { return port_; }
    bool accept_pc(int timeout_ms = 8000);
    // Next message from the PC; false on time-out or close.
    bool read(pc_msg *msg, int timeout_ms = 5000);
    // Reads until a message with this id arrives (others are skipped).
    bool read_until(uint8_t id, pc_msg *msg = nullptr, int timeout_ms = 8000);
    // The phone's framing for what it sends and reads.
    void set_new_framing(bool on) { new_framing_ = on; }
    void send(uint8_t id, const std::string &body = "");
    void send_json(uint8_t id, const std::string &json);  // adds the NUL
    void close_pc();
    // A silent phone sends nothing, not even acknowledgements.
    void set_silent(bool on) { silent_ = on; }
    bool pc_closed(int timeout_ms = 5000);

  private:
    bool fill(size_t need, int timeout_ms);
    int listen_fd_ = -1;
    int fd_ = -1;
    int port_ = 0;
    bool new_framing_ = false;
    bool silent_ = false;
    uint32_t seq_ = 0;
    std::string buf_;
    std::string seen_;  // "id:seq," of data messages already taken
};
