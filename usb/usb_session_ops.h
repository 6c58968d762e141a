// The real virtual device behind the session's device seam.
#pragma once

// Makes the session use the virtual USB device of this library. Call once at
// start-up, before the first session starts.
void usb_session_ops_register();
