#include "usb/usb_event.h"

#include <chrono>

void vusb_event_set(vusb_event *ev) {
    {
        std::lock_guard<std::mutex> g(ev->m);
        ev->signalled = true;
    }
    ev->cv.notify_all();
}

void vusb_event_reset(vusb_event *ev) {
    std::lock_guard<std::mutex> g(ev->m);
    ev->signalled = false;
}

int vusb_event_wait(vusb_event *ev, int timeout_ms) {
    std::unique_lock<std::mutex> g(ev->m);
    if (!ev->cv.wait_for(g, std::chrono::milliseconds(timeout_ms), [ev] { return ev->signalled; }))
        return 0;
    if (!ev->manual_reset) ev->signalled = false;
    return 1;
}

int vusb_event_is_set(vusb_event *ev) {
    std::lock_guard<std::mutex> g(ev->m);
    return ev->signalled ? 1 : 0;
}
