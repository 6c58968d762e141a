// The tick thread's share of the reliability rules: re-send what is due and
// forget what has expired. It never touches the phone connection; re-sends
// travel as EVT_RAW_SEND events to the session thread.
#pragma once

#include "link/duvo_link.h"

// Posts every sent-list message that is due as EVT_RAW_SEND on the bus, then
// purges the received list and the sent list. A frame too long for one event
// is logged and not posted. Returns the number of events posted.
int duvo_resend_due(duvo_link *link, int bus_send_sock);
