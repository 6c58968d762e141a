#include "platform/log.h"
#include "usb/vbus.h"

std::unique_ptr<vbus_backend> vbus_backend_create(const std::string &name,
                                                  const std::string &bind_addr, int port) {
    if (name.empty() || name == "usbip") return vbus_usbip_create(bind_addr, port);
    if (name == "vhci") return vbus_vhci_create();
    log_print(0, LL_ERR, "vbus: unknown backend \"%s\" (usbip or vhci)\n", name.c_str());
    return nullptr;
}
