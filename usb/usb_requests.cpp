#include "usb/usb_requests.h"

#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "media/capture_files.h"
#include "platform/log.h"
#include "platform/os/os_time.h"
#include "usb/usb_descriptors.h"
#include "usb/usb_device.h"
#include "usb/usb_pdu.h"

namespace {
constexpr uint8_t kRecipientMask = 0x03;
constexpr uint8_t kRecipientDevice = 0;
constexpr uint8_t kRecipientInterface = 1;
constexpr uint8_t kRecipientEndpoint = 2;
constexpr uint8_t kDirectionIn = 0x80;  // bmRequestType: device to host
constexpr uint8_t kHidInterface = 3;
constexpr uint8_t kEpControl = 0;
constexpr uint8_t kEpPlayback = 1;
constexpr uint8_t kEpCapture = 2;
constexpr uint8_t kEpHid = 3;
constexpr uint8_t kStringMinLength = 4;  // shorter string descriptors are not served
constexpr uint16_t kStringProbeLength = 4;
constexpr unsigned kExitDrainMs = 100;    // lets the pacing ticks answer what is queued
constexpr int32_t kStatusTooLarge = -75;  // -EOVERFLOW: PDU larger than a queue slot

size_t min_size(size_t a, size_t b) {
    return a < b ? a : b;
}

// Answers an IN control request with at most wLength bytes of data.
void reply_control_in(vusb_handle *h, const vbus_pdu *pdu, const uint8_t *data, size_t len) {
    usb_setup s = usb_setup_decode(pdu->hdr);
    vusb_reply(pdu, h, data, min_size(len, s.wLength));
}

void reply_status(vusb_handle *h, const vbus_pdu *pdu, int32_t status) {
    vusb_reply_full(h, pdu, status, nullptr, 0, nullptr, 0);
}

void handle_unlink(vusb_handle *h, const vbus_pdu *pdu) {
    uint32_t target = pdu->hdr.flags_status;
    int removed = h->pb_cache_list.remove_seqnum(target) ||
                  h->cp_cache_list.remove_seqnum(target) || h->int_queue.remove_seqnum(target) ||
                  (h->hooks.unlink_held && h->hooks.unlink_held(h, target));
    log_print(0, LL_DEBUG, "unlink seq:%u of seq:%u: %s\n", pdu->hdr.seqnum, target,
              removed ? "dropped from its queue" : "not queued");
    vbus_pdu r = *pdu;
    r.hdr.packets = 0;
    r.iso = nullptr;
    r.data = nullptr;
    r.data_len = 0;
    reply_status(h, &r, removed ? VUSB_STATUS_UNLINKED : VUSB_STATUS_OK);
}

// Queues an isochronous or interrupt PDU in its flat form. A PDU that cannot
// be queued is answered with an error at once, so the host never waits on it.
int queue_pdu(vusb_handle *h, CTQueue *q, const char *name, const vbus_pdu *pdu) {
    alignas(vbus_iso_desc) uint8_t flat[CTQueue::slot_size];
    size_t n = usb_pdu_flatten(pdu, flat, sizeof flat);
    if (n == 0) {
        log_print(0, LL_ERR, "%s: pdu seq:%u of %zu bytes does not fit a queue slot\n", name,
                  pdu->hdr.seqnum, usb_pdu_flat_size(pdu));
        reply_status(h, pdu, kStatusTooLarge);
        return -1;
    }
    if (!q->push(n, flat)) {
        log_print(0, LL_WARN, "%s full, pdu seq:%u dropped\n", name, pdu->hdr.seqnum);
        reply_status(h, pdu, VUSB_STATUS_NO_SPACE);
        return -1;
    }
    if (q == &h->pb_cache_list && h->captures) capture_file_write(&h->captures->usb2s, flat, n);
    return 0;
}

void raise_priority() {
    sched_param sp{};
    sp.sched_priority = sched_get_priority_max(SCHED_FIFO);
    int rc = sp.sched_priority < 0 ? errno : pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
    if (rc != 0) log_print(0, LL_INFO, "usb read thread keeps normal priority: %s\n", strerror(rc));
}
}  // namespace

int vusb_reply_full(vusb_handle *h, const vbus_pdu *req, int32_t status, const void *payload,
                    size_t len, const vbus_iso_desc *iso, uint32_t packets) {
    if (len > VUSB_REPLY_PAYLOAD_MAX) {
        log_print(0, LL_ERR, "vusb_reply: payload of %zu bytes refused\n", len);
        return -1;
    }
    const vbus_pdu_header &q = req->hdr;
    vbus_pdu_header r{};
    // Anything that is not an unlink was handled as a submission and is
    // answered as one.
    r.command = q.command == VBUS_CMD_UNLINK ? VBUS_RET_UNLINK : VBUS_RET_SUBMIT;
    r.seqnum = q.seqnum;
    r.direction = q.direction;
    r.ep = q.ep;
    r.flags_status = static_cast<uint32_t>(status);
    if (q.direction == VBUS_DIR_IN) {
        // A Linux host drops a device whose reply overruns its buffer.
        len = min_size(len, q.length);
        r.length = static_cast<uint32_t>(len);
    } else {
        len = 0;
    }
    std::vector<vbus_iso_desc> echo;
    if (!iso && q.packets > 0 && q.packets <= static_cast<uint32_t>(VBUS_MAX_ISO_PACKETS) &&
        req->iso) {
        echo.assign(req->iso, req->iso + q.packets);
        for (vbus_iso_desc &d : echo) {
            d.actual_length = 0;
            d.status = static_cast<uint32_t>(status);
        }
        iso = echo.data();
        packets = q.packets;
    } else if (!iso) {
        packets = 0;
    }
    r.packets = packets;
    std::lock_guard<std::mutex> g(h->io_lock);
    if (!h->driver) return -1;
    return h->driver->write_reply(r, len ? static_cast<const uint8_t *>(payload) : nullptr, len,
                                  iso, packets) == 0
               ? 0
               : -1;
}

int vusb_reply(const vbus_pdu *req, vusb_handle *h, const void *payload, size_t len) {
    return vusb_reply_full(h, req, VUSB_STATUS_OK, payload, len, nullptr, 0);
}

void usb_dispatch_pdu(vusb_handle *h, const vbus_pdu *pdu) {
    const vbus_pdu_header &hdr = pdu->hdr;
    if (hdr.command == VBUS_CMD_UNLINK) {
        handle_unlink(h, pdu);
        return;
    }
    if (hdr.command != VBUS_CMD_SUBMIT && hdr.command != VBUS_RET_SUBMIT)
        log_print(0, LL_ERR, "unknown command in pdu header: %d\n", static_cast<int>(hdr.command));
    const char *why = "";
    if (usb_pdu_check(pdu, &why) < 0) {
        log_print(0, LL_ERR, "malformed pdu seq:%u ep:%u refused: %s\n", hdr.seqnum, hdr.ep, why);
        vbus_pdu safe = *pdu;
        safe.data = nullptr;
        safe.data_len = 0;
        if (hdr.packets > static_cast<uint32_t>(VBUS_MAX_ISO_PACKETS)) {
            safe.hdr.packets = 0;
            safe.iso = nullptr;
        }
        reply_status(h, &safe, VUSB_STATUS_MALFORMED);
        return;
    }
    switch (hdr.ep) {
        case kEpControl:
            usb_dispatch_control(h, pdu);
            break;
        case kEpPlayback:
            log_print(0, LL_ANY, "pb_cache_list recv driver data, seq:%d\n",
                      static_cast<int>(hdr.seqnum));
            queue_pdu(h, &h->pb_cache_list, "pb_cache_list", pdu);
            break;
        case kEpCapture:
            log_print(0, LL_ANY, "cp_cache_list recv driver data, seq:%d\n",
                      static_cast<int>(hdr.seqnum));
            queue_pdu(h, &h->cp_cache_list, "cp_cache_list", pdu);
            break;
        case kEpHid:
            if (queue_pdu(h, &h->int_queue, "int_queue", pdu) == 0)
                vusb_event_set(&h->wakeup_event);
            break;
        default:
            log_print(0, LL_ERR, "DEV: Unknown ep: %d\n", static_cast<int>(hdr.ep));
            vusb_reply(pdu, h, nullptr, 0);
            break;
    }
}

namespace {

// GET_STATUS must return two bytes (self/bus powered, no remote wake-up, not
// halted): a Linux host takes any other length as an I/O error and resets the
// device.
bool answer_get_status(vusb_handle *h, const vbus_pdu *pdu, const usb_setup &s) {
    if (s.bRequest != USB_REQ_GET_STATUS || !(s.bmRequestType & kDirectionIn)) return false;
    const uint8_t status[2] = {0, 0};
    vusb_reply(pdu, h, status, sizeof status);
    return true;
}

}  // namespace

void usb_dispatch_control(vusb_handle *h, const vbus_pdu *pdu) {
    usb_setup s = usb_setup_decode(pdu->hdr);
    switch (s.bmRequestType & kRecipientMask) {
        case kRecipientInterface:
            if ((s.wIndex & 0xFF) == kHidInterface)
                process_hid_requests(h, pdu);
            else
                process_audio_class_specific_requests(h, pdu);
            break;
        case kRecipientEndpoint:
            if (answer_get_status(h, pdu, s)) break;
            vusb_reply(pdu, h, nullptr, 0);
            break;
        case kRecipientDevice:
        default:
            process_standard_device_requests(h, pdu);
            break;
    }
}

void process_standard_device_requests(vusb_handle *h, const vbus_pdu *pdu) {
    usb_setup s = usb_setup_decode(pdu->hdr);
    if (s.bRequest == USB_REQ_SET_INTERFACE) {
        log_print(0, LL_INFO, "process_standard_device_requests req submit \n");
        vusb_reply(pdu, h, nullptr, 0);
        return;
    }
    if (answer_get_status(h, pdu, s)) return;
    if (s.bRequest == USB_REQ_GET_CONFIGURATION && (s.bmRequestType & kDirectionIn)) {
        // A host reading the configuration needs its one byte, not an empty reply.
        const uint8_t configuration = 1;
        vusb_reply(pdu, h, &configuration, sizeof configuration);
        return;
    }
    if (s.bRequest != USB_REQ_GET_DESCRIPTOR) {
        vusb_reply(pdu, h, nullptr, 0);
        return;
    }
    switch (s.wValue >> 8) {
        case USB_DESC_DEVICE:
            reply_control_in(h, pdu, h->device_desc, VUSB_DEVICE_DESC_SIZE);
            break;
        case USB_DESC_CONFIG: {
            size_t n = pdu->hdr.length == USB_CONFIG_HEADER_SIZE ? USB_CONFIG_HEADER_SIZE
                                                                 : usb_config_total_length(h);
            reply_control_in(h, pdu, h->config_desc, n);
            break;
        }
        case USB_DESC_STRING: {
            const uint8_t *d = h->string_desc[s.wValue & 0xFF].get();
            if (!d || d[0] < kStringMinLength) {
                // Unanswered, the host's request would hang until it times out.
                log_print(0, LL_DEBUG, "string descriptor %d not present, stall\n",
                          s.wValue & 0xFF);
                reply_status(h, pdu, VUSB_STATUS_STALL);
                break;
            }
            reply_control_in(h, pdu, d,
                             s.wLength == kStringProbeLength ? kStringProbeLength : d[0]);
            break;
        }
        default:
            vusb_reply(pdu, h, nullptr, 0);
            break;
    }
}

int duvo_read_dev_date(vusb_handle *h, int timeout_ms) {
    vbus_pdu pdu{};
    int r = h->driver ? h->driver->read_pdu(&pdu, timeout_ms) : -1;
    if (r > 0) {
        h->read_failing = 0;
        usb_dispatch_pdu(h, &pdu);
        return 1;
    }
    if (r == 0) return 0;
    // A closed bus fails every read at once; one line per failure streak.
    if (!h->read_failing) log_print(0, LL_ERR, "duvo_read_dev_date ERROR\n");
    h->read_failing = 1;
    return -1;
}

void read_from_vusb_device(vusb_handle *h) {
    if (h->hooks.pacing_start) h->hooks.pacing_start(h);
    while (!vusb_event_is_set(&h->shutdown_event)) {
        if (duvo_read_dev_date(h, VUSB_READ_WAIT_MS) < 0)
            vusb_event_wait(&h->shutdown_event, VUSB_READ_WAIT_MS);
    }
    int pb = h->pb_cache_list.size(), cp = h->cp_cache_list.size();
    if (pb || cp) {
        log_print(0, LL_WARN, "usb readdevice exit but queue not empty,pb:%d cp:%d!\n", pb, cp);
        os_sleep_ms(kExitDrainMs);
        log_print(0, LL_WARN, "usb readdevice sleepdown,pb:%d cp:%d!\n", h->pb_cache_list.size(),
                  h->cp_cache_list.size());
    }
    log_print(0, LL_INFO, "read_from_vusb_device go to exit\n");
    if (h->hooks.pacing_stop) h->hooks.pacing_stop(h);
}

int usb_request_loop_start(vusb_handle *h) {
    if (h->read_thread.joinable()) {
        log_print(0, LL_ERR, "usb read thread already running\n");
        return -1;
    }
    vusb_event_reset(&h->shutdown_event);
    try {
        h->read_thread = std::thread([h] {
            raise_priority();
            read_from_vusb_device(h);
        });
    } catch (const std::system_error &e) {
        log_print(0, LL_ERR, "usb read thread create fail: %s\n", e.what());
        return -1;
    }
    return 0;
}

void usb_request_loop_stop(vusb_handle *h) {
    vusb_event_set(&h->shutdown_event);
    if (h->read_thread.joinable()) h->read_thread.join();
}
