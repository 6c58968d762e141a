#include "usb/ticking.h"

#include "platform/os/os_time.h"

namespace {
constexpr int64_t kReplyPeriodMs = 10;
constexpr int64_t kMonoFrequency = 1000000;  // os_mono_us counts microseconds
}  // namespace

CTicking::CTicking(int qpc) : use_qpc(qpc), qpc_frequency(qpc ? kMonoFrequency : 0) {
    if (use_qpc) start_ms = ticking_now(this);
}

int64_t ticking_now(CTicking *t) {
    if (t->use_qpc) return static_cast<int64_t>(os_mono_us()) * 1000 / t->qpc_frequency;
    return t->manual_ms.load(std::memory_order_relaxed);
}

void ticking_restart(CTicking *t) {
    int64_t now = ticking_now(t);
    std::lock_guard<std::mutex> g(t->lock);
    t->start_ms = now;
    t->replies = 0;
}

bool pace_due(CTicking *t) {
    std::lock_guard<std::mutex> g(t->lock);
    int64_t now = ticking_now(t);
    if (now < t->start_ms) {
        t->start_ms = now;
        t->replies = 0;
        return false;
    }
    if ((now - t->start_ms) / kReplyPeriodMs > t->replies) {
        t->replies += 1;
        return true;
    }
    return false;
}
