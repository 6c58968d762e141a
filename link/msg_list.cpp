#include "link/msg_list.h"

#include <cstring>
#include <new>

#include "platform/log.h"
#include "platform/os/os_time.h"

namespace {

constexpr size_t k_len_offset = 8;

uint64_t wall_clock(void *) {
    return os_wall_ms();
}

uint32_t get_u32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put_u32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// Same message: command id and sequence number.
bool same_message(const uint8_t *a, const uint8_t *b) {
    return a[0] == b[0] && std::memcmp(a + 4, b + 4, 4) == 0;
}

}  // namespace

CMsgList::CMsgList() : clock_(wall_clock), clock_ctx_(nullptr) {}

void CMsgList::SetClock(msg_list_clock clock, void *ctx) {
    std::lock_guard<std::mutex> g(lock_);
    clock_ = clock ? clock : wall_clock;
    clock_ctx_ = clock ? ctx : nullptr;
}

uint64_t CMsgList::now() const {
    return clock_(clock_ctx_);
}

int CMsgList::Add(const uint8_t *header, const uint8_t *body, size_t len) {
    size_t keep = len;
    if (keep > MSG_LIST_BODY_MAX) {
        log_print(0, LL_WARN, "message list: body of cmd 0x%x cut from %zu to %zu bytes\n",
                  header[0], len, MSG_LIST_BODY_MAX);
        keep = MSG_LIST_BODY_MAX;
    }
    if (!body) keep = 0;
    std::lock_guard<std::mutex> g(lock_);
    try {
        records_.emplace_back();
    } catch (const std::bad_alloc &) {
        log_print(0, LL_ERR, "message list: no memory for a record\n");
        return -1;
    }
    record &r = records_.back();
    std::memcpy(r.header, header, MSG_HEADER_SIZE);
    if (get_u32(r.header + k_len_offset) > keep) put_u32(r.header + k_len_offset, uint32_t(keep));
    uint64_t t = now();
    r.deadline = t + MSG_LIST_LIFETIME_MS;
    r.next_send = t + MSG_LIST_FIRST_RESEND_MS;
    r.max_tries = MSG_LIST_MAX_TRIES;
    r.tries = 0;
    r.body_len = keep;
    if (keep) std::memcpy(r.body, body, keep);
    return 0;
}

void CMsgList::RemoveAcked(const uint8_t *header) {
    std::lock_guard<std::mutex> g(lock_);
    records_.remove_if([header](const record &r) { return same_message(r.header, header); });
}

int CMsgList::Contains(const uint8_t *header) {
    std::lock_guard<std::mutex> g(lock_);
    for (const record &r : records_)
        if (same_message(r.header, header)) return 1;
    return 0;
}

int CMsgList::TakeDue(uint8_t *out, size_t *out_len) {
    std::lock_guard<std::mutex> g(lock_);
    uint64_t t = now();
    for (record &r : records_) {
        if (r.next_send >= t) continue;
        // A record re-sent its last time is removed by the purge that follows
        // in the same tick.
        if (r.tries >= r.max_tries) continue;
        r.next_send = t + uint64_t(r.tries) * MSG_LIST_RESEND_STEP_MS + MSG_LIST_RESEND_BASE_MS;
        r.tries += 1;
        std::memcpy(out, r.header, MSG_HEADER_SIZE);
        if (r.body_len) std::memcpy(out + MSG_HEADER_SIZE, r.body, r.body_len);
        *out_len = MSG_HEADER_SIZE + r.body_len;
        return 1;
    }
    return 0;
}

void CMsgList::Purge() {
    std::lock_guard<std::mutex> g(lock_);
    uint64_t t = now();
    records_.remove_if([t](const record &r) {
        return r.tries >= r.max_tries || (r.deadline != 0 && t >= r.deadline);
    });
}

void CMsgList::Clear() {
    std::lock_guard<std::mutex> g(lock_);
    records_.clear();
}

size_t CMsgList::Count() {
    std::lock_guard<std::mutex> g(lock_);
    return records_.size();
}
