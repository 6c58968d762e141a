// A signal between the device's threads: set by one, waited on by another.
// Auto-reset events clear when a wait takes them; manual-reset events stay set
// until reset.
#pragma once

#include <condition_variable>
#include <mutex>

struct vusb_event {
    explicit vusb_event(bool manual) : manual_reset(manual) {}
    vusb_event(const vusb_event &) = delete;
    vusb_event &operator=(const vusb_event &) = delete;

    const bool manual_reset;
    bool signalled = false;
    std::mutex m;
    std::condition_variable cv;
};

void vusb_event_set(vusb_event *ev);
void vusb_event_reset(vusb_event *ev);
// Waits up to timeout_ms. 1 signalled (an auto-reset event is taken), 0 timed out.
int vusb_event_wait(vusb_event *ev, int timeout_ms);
// Peeks without taking: 1 when set.
int vusb_event_is_set(vusb_event *ev);
