#include "link/bus/timer_container.h"

#include "platform/os/os_time.h"

namespace {

uint64_t now_ms(timer_container *c) {
    return c->clock ? c->clock(c->clock_ctx) : os_mono_ms();
}

// Puts the record before the first timer due strictly later, so equal due
// times keep their insertion order.
void insert(timer_container *c, timer_record rec) {
    rec.due = now_ms(c) + uint64_t(rec.interval);
    auto it = c->list.begin();
    while (it != c->list.end() && it->due <= rec.due) ++it;
    c->list.insert(it, rec);
}

}  // namespace

int timer_container_init(timer_container *c) {
    if (c == nullptr) return -1;
    // The tick thread looks at the container every 50 ms, sessions or not.
    std::lock_guard<std::recursive_mutex> g(c->mutex);
    if (c->initialised) return -1;
    c->list.clear();
    c->next_id = 0;
    c->initialised = 1;
    return 0;
}

void timer_container_set_clock(timer_container *c, timer_clock clock, void *ctx) {
    std::lock_guard<std::recursive_mutex> g(c->mutex);
    c->clock = clock;
    c->clock_ctx = ctx;
}

int timer_add(timer_container *c, int interval_ms, int repeat, timer_callback cb, void *user) {
    if (c == nullptr || cb == nullptr) return -1;
    std::lock_guard<std::recursive_mutex> g(c->mutex);
    if (!c->initialised) return -1;
    timer_record rec{++c->next_id, repeat ? 1 : 0, user, interval_ms, 0, cb};
    insert(c, rec);
    return rec.id;
}

int timer_remove(timer_container *c, int id) {
    if (c == nullptr || id < 1) return -1;
    std::lock_guard<std::recursive_mutex> g(c->mutex);
    if (!c->initialised) return -1;
    for (auto it = c->list.begin(); it != c->list.end(); ++it) {
        if (it->id != id) continue;
        timer_record rec = *it;
        c->list.erase(it);
        rec.callback(rec.user, rec.id, TIMER_REMOVED, rec.repeat);
        break;
    }
    return 0;
}

int timer_tick(timer_container *c) {
    if (c == nullptr) return -1;
    std::lock_guard<std::recursive_mutex> g(c->mutex);
    if (!c->initialised) return -1;
    // Each timer due now fires once; a periodic one is re-armed from now
    // before its callback runs, so it cannot fire twice in one tick.
    uint64_t now = now_ms(c);
    int fired_limit = int(c->list.size()) * 2 + 1;  // guards against callbacks adding 0 ms timers
    while (!c->list.empty() && fired_limit-- > 0) {
        timer_record rec = c->list.front();
        if (rec.due > now) break;
        if (rec.repeat) {
            c->list.pop_front();
            rec.interval = rec.interval < 1 ? 1 : rec.interval;
            insert(c, rec);
        }
        rec.callback(rec.user, rec.id, TIMER_FIRED, rec.repeat);
        if (!rec.repeat) timer_remove(c, rec.id);
        now = now_ms(c);
    }
    return 0;
}

int timer_container_destroy(timer_container *c) {
    if (c == nullptr) return -1;
    std::lock_guard<std::recursive_mutex> g(c->mutex);
    if (!c->initialised) return -1;
    while (!c->list.empty()) timer_remove(c, c->list.front().id);
    c->initialised = 0;
    return 0;
}
