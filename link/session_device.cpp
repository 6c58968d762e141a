#include "link/session_device.h"

#include <atomic>

namespace {

// No virtual device is available: creation fails, so the session reports the
// failure ("usb device init fail") instead of pretending to be paired.
int no_device_init(void **, const char *, int, timer_container *) {
    return -1;
}

const session_device_ops no_device_ops = {
    no_device_init, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr,        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<const session_device_ops *> current_ops{&no_device_ops};

}  // namespace

const session_device_ops *session_device_get_ops() {
    return current_ops.load();
}

void session_device_set_ops(const session_device_ops *ops) {
    current_ops = ops ? ops : &no_device_ops;
}
