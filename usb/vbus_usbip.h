// The USB/IP export server backend (vbus_usbip_create in vbus.h). Extra
// entry points for callers that bind to port 0 and need the port in use.
#pragma once

#include "usb/vbus.h"

// Port the export server listens on after open(), or -1 when the backend is
// not an open export server.
int vbus_usbip_local_port(vbus_backend *backend);
