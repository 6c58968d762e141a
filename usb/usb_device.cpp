#include "usb/usb_device.h"

#include <cstring>

#include "platform/log.h"

namespace {
constexpr int kIdentityMax = 0x7FFF;  // each id is taken as a positive signed 16-bit number
constexpr uint8_t kInterfaceCount = 4;

bool id_ok(int v) {
    return v >= 1 && v <= kIdentityMax;
}
}  // namespace

vusb_handle::~vusb_handle() {
    if (!read_thread.joinable() && !int_thread.joinable()) return;
    vusb_event_set(&shutdown_event);
    vusb_event_set(&wakeup_event);
    if (read_thread.joinable()) read_thread.join();
    if (int_thread.joinable()) int_thread.join();
}

int usb_device_set_identity(vusb_handle *h, const char *name, int vid, int pid, int rev) {
    if (!h) return -1;
    if (!name || !name[0]) {
        log_print(0, LL_ERR, "usb device refused: empty device name\n");
        return -1;
    }
    if (!id_ok(vid) || !id_ok(pid) || !id_ok(rev)) {
        log_print(0, LL_ERR, "usb device refused: vid 0x%x pid 0x%x rev 0x%x not in 1..0x7fff\n",
                  vid, pid, rev);
        return -1;
    }
    size_t n = strnlen(name, VUSB_NAME_SIZE - 1);
    memcpy(h->device_name, name, n);
    h->device_name[n] = '\0';
    h->device_vid = static_cast<uint16_t>(vid);
    h->device_pid = VUSB_PRODUCT_ID;
    h->device_rev = static_cast<uint16_t>(rev);
    h->plugin_info = vbus_plugin_info{};
    h->plugin_info.vid = h->device_vid;
    h->plugin_info.pid = h->device_pid;
    h->plugin_info.bcd_device = h->device_rev;
    h->plugin_info.interfaces = kInterfaceCount;
    return 0;
}
