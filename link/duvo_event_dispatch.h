// What the session does with each event read from the internal bus while it
// runs: phone commands asked for by the virtual device, the media path, the
// shell and the session's timers; the debug flag; raw re-sends.
#pragma once

#include "link/bus/event_bus.h"
#include "link/duvo_link.h"

// Event body sizes of the phone requests that carry one.
constexpr size_t EVT_USER_INFO_TEXT_SIZE = 256;  // sip_uri, auth_uri, password
constexpr size_t EVT_USER_INFO_SIZE = 3 * EVT_USER_INFO_TEXT_SIZE;
constexpr size_t EVT_SIGN_IN_SIZE = 2;
constexpr size_t EVT_DEVICE_ACTIVE_KEY_SIZE = 128;
constexpr size_t EVT_DEVICE_ACTIVE_SIZE = 4 + EVT_DEVICE_ACTIVE_KEY_SIZE;
constexpr size_t EVT_DEVICE_UPDATE_TEXT_SIZE = 128;  // conversation_id, display_name
constexpr size_t EVT_DEVICE_UPDATE_SIZE = 2 * EVT_DEVICE_UPDATE_TEXT_SIZE + 1;
constexpr size_t EVT_MUTE_USER_SIZE = 1;
constexpr size_t EVT_ROOMS_STATE_SIZE = 8;

// Handles one event on the session thread. An event whose body is shorter
// than its command needs is logged and dropped. The cancel-pairing-code
// command sets unpair_reason -2 and end_session; the session checks
// end_session after each event and goes to its teardown. Raw re-sends are
// dropped while the old framing is in use.
void duvo_event_dispatch(duvo_link *link, const duvo_event *ev);
