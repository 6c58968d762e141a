#include "link/duvo_resend.h"

#include "link/bus/event_bus.h"
#include "platform/log.h"

int duvo_resend_due(duvo_link *link, int bus_send_sock) {
    int posted = 0;
    uint8_t frame[MSG_LIST_FRAME_MAX];
    size_t len = 0;
    while (link->sent_list.TakeDue(frame, &len)) {
        if (len > EVT_BODY_MAX) {
            log_print(0, LL_ERR, "re-send of cmd 0x%x: frame of %zu bytes exceeds an event\n",
                      frame[0], len);
            continue;
        }
        if (duvo_event_post(frame, len, bus_send_sock, EVT_RAW_SEND, 0, 0) == 0) posted += 1;
    }
    link->recv_list.Purge();
    link->sent_list.Purge();
    return posted;
}
