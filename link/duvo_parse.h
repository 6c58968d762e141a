// The receive side of the phone link: one call per read from the phone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/duvo_link.h"

// Parses the bytes of one read, in order. Acknowledgements remove their
// message from the sent list; data messages are acknowledged at once and
// handed to the link's handle_cmd hook unless they are repeats of one seen in
// the last 10 s; msg_version follows the version byte of new data messages;
// phone_alive is set after every message.
//
// A message split across reads is kept (at most DUVO_MSG_MAX - 1 bytes) and
// completed by the next read. A header announcing a body longer than the
// protocol allows is logged and the rest of the read dropped; parsing starts
// afresh with the next read.
//
// Returns 1 when a command ended the session (end_session is then set and
// the rest of the read is not parsed), else 0.
int duvo_parse(duvo_link *link, const uint8_t *buf, size_t len);
