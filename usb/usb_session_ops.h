// The real virtual device behind the session's device seam.
#pragma once

#include "link/session_device.h"

// The operations of this library's virtual USB device, for the session.
const session_device_ops *usb_session_ops();

// Makes the session use them. Call once at start-up, before the first session
// starts. Inline so that the call into the session's seam is made from the
// program, which links both sides (the device library must not depend on the
// session library).
inline void usb_session_ops_register() {
    session_device_set_ops(usb_session_ops());
}
