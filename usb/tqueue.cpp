#include "usb/tqueue.h"

#include <cstring>

#include "usb/ticking.h"

namespace {
constexpr size_t kSeqnumOffset = 4;  // second u32 of the host-order header
}

CTQueue::CTQueue() : store_(new uint8_t[slot_size * slot_count]()) {
    for (int i = 0; i < slot_count; i++) slots_[i] = store_.get() + slot_size * i;
}

void CTQueue::restart(CTicking *clock) {
    std::lock_guard<std::mutex> g(lock_);
    linked_ = clock;
    restart_pending_ = 1;
    count_ = read_index_ = write_index_ = 0;
}

int CTQueue::push(size_t length, const void *pdu) {
    std::lock_guard<std::mutex> g(lock_);
    if (count_ == slot_count) return 0;
    size_t n = length < slot_size ? length : slot_size;
    if (n) memcpy(slots_[write_index_], pdu, n);
    lens_[write_index_] = n;
    if (linked_ && count_ == 0 && restart_pending_) {
        ticking_restart(linked_);
        restart_pending_ = 0;
    }
    count_ += 1;
    write_index_ = (write_index_ + 1) % slot_count;
    return 1;
}

size_t CTQueue::pop(void *buf, size_t size) {
    std::lock_guard<std::mutex> g(lock_);
    if (count_ == 0) return 0;
    size_t n = lens_[read_index_] < size ? lens_[read_index_] : size;
    if (n) memcpy(buf, slots_[read_index_], n);
    count_ -= 1;
    read_index_ = (read_index_ + 1) % slot_count;
    return n;
}

int CTQueue::remove_seqnum(uint32_t seqnum) {
    std::lock_guard<std::mutex> g(lock_);
    for (int k = 0; k < count_; k++) {
        int at = (read_index_ + k) % slot_count;
        if (lens_[at] < kSeqnumOffset + sizeof seqnum) continue;
        uint32_t s;
        memcpy(&s, slots_[at] + kSeqnumOffset, sizeof s);
        if (s != seqnum) continue;
        // Close the gap by moving the later entries one place forward; only
        // the slot pointers move, not their bytes.
        uint8_t *freed = slots_[at];
        for (int j = k; j + 1 < count_; j++) {
            int cur = (read_index_ + j) % slot_count;
            int next = (cur + 1) % slot_count;
            slots_[cur] = slots_[next];
            lens_[cur] = lens_[next];
        }
        write_index_ = (write_index_ + slot_count - 1) % slot_count;
        slots_[write_index_] = freed;
        lens_[write_index_] = 0;
        count_ -= 1;
        return 1;
    }
    return 0;
}

int CTQueue::size() {
    std::lock_guard<std::mutex> g(lock_);
    return count_;
}
