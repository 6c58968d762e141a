// CMsgList: the record of new-framing messages that the reliability rules
// need. The sent list keeps each data message until it is acknowledged or has
// been re-sent its last time; the received list keeps headers for 10 s so
// that a repeated copy is recognised. Every operation takes the list's own
// lock and no other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>

constexpr size_t MSG_HEADER_SIZE = 12;      // new-framing header
constexpr size_t MSG_LIST_BODY_MAX = 1024;  // body bytes a record keeps
constexpr size_t MSG_LIST_FRAME_MAX = MSG_HEADER_SIZE + MSG_LIST_BODY_MAX;
constexpr uint64_t MSG_LIST_LIFETIME_MS = 10000;    // duplicate window / deadline
constexpr uint64_t MSG_LIST_FIRST_RESEND_MS = 300;  // first re-send after creation
constexpr uint64_t MSG_LIST_RESEND_BASE_MS = 250;   // later gaps: base + tries * step
constexpr uint64_t MSG_LIST_RESEND_STEP_MS = 50;
constexpr int MSG_LIST_MAX_TRIES = 3;

// Millisecond clock of a list (wall-clock by default).
typedef uint64_t (*msg_list_clock)(void *ctx);

class CMsgList {
  public:
    CMsgList();
    CMsgList(const CMsgList &) = delete;
    CMsgList &operator=(const CMsgList &) = delete;

    // Replaces the clock; for tests, before the list is used.
    void SetClock(msg_list_clock clock, void *ctx);

    // Records a message: header (12 bytes) and up to MSG_LIST_BODY_MAX body
    // bytes. A longer body is cut, and the stored header's length says so,
    // so that a re-send is always a well-formed frame. 0, or -1 when no
    // record could be allocated (the message is then not tracked).
    int Add(const uint8_t *header, const uint8_t *body, size_t len);
    // Deletes every record with the command id and sequence number of header.
    void RemoveAcked(const uint8_t *header);
    // 1 when a record has the command id and sequence number of header.
    int Contains(const uint8_t *header);
    // Takes the first record whose next-send time has passed: reschedules it,
    // copies header and body into out (MSG_LIST_FRAME_MAX bytes) and stores
    // the frame length in out_len. 1 when one was taken, else 0.
    int TakeDue(uint8_t *out, size_t *out_len);
    // Deletes records that were re-sent their last time or whose deadline
    // has passed.
    void Purge();
    void Clear();
    size_t Count();

  private:
    struct record {
        uint8_t header[MSG_HEADER_SIZE];
        uint64_t deadline;
        uint64_t next_send;
        int max_tries;
        int tries;
        size_t body_len;
        uint8_t body[MSG_LIST_BODY_MAX];
    };

    uint64_t now() const;

    std::mutex lock_;
    std::list<record> records_;
    msg_list_clock clock_;
    void *clock_ctx_;
};
