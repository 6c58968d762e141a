#include "usb/usb_pacing.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>

#include "link/bus/event_bus.h"
#include "media/capture_files.h"
#include "platform/log.h"
#include "usb/usb_device.h"
#include "usb/usb_hid_control.h"
#include "usb/usb_pdu.h"
#include "usb/usb_phone_cmds.h"

namespace {
constexpr int kRate16k = 16000;
constexpr int kFrame16k = 320;  // bytes of 10 ms at 16000 Hz
constexpr int kFrame32k = 640;  // bytes of 10 ms at 32000 Hz
constexpr int kPacket16k = 32;  // bytes of 1 ms at 16000 Hz
constexpr int kPacket32k = 64;  // bytes of 1 ms at 32000 Hz
constexpr int kPlaybackRingFrames = 4;
constexpr int kCaptureRingFrames = 2;
constexpr size_t kReplyBuf = 4096;  // largest capture payload a reply carries
constexpr int kMaxPackets = 128;    // more cannot fit in a queue slot anyway
constexpr int kPollWaitMs = 20;
constexpr int64_t kNsPerMs = 1000000;

size_t min_size(size_t a, size_t b) {
    return a < b ? a : b;
}

// Writes an isochronous reply under io_lock. The header's actual length is
// the sum of the packets' actual lengths, whichever the direction.
void write_iso_reply(vusb_handle *h, const vbus_pdu *req, const uint8_t *payload, size_t len,
                     const vbus_iso_desc *iso, uint32_t packets, uint32_t actual) {
    vbus_pdu_header r{};
    r.command = req->hdr.command == VBUS_CMD_UNLINK ? VBUS_RET_UNLINK : VBUS_RET_SUBMIT;
    r.seqnum = req->hdr.seqnum;
    r.direction = req->hdr.direction;
    r.ep = req->hdr.ep;
    r.length = actual;
    r.packets = packets;
    std::lock_guard<std::mutex> g(h->io_lock);
    if (h->driver) h->driver->write_reply(r, len ? payload : nullptr, len, iso, packets);
}

// After each reply: the interval since the previous one should be the
// request's own length in ms.
void interval_watch(CTicking *t, const char *dir, int64_t expect_ms) {
    int64_t now = ticking_now(t);
    int64_t prev = t->last_reply_ms;
    int64_t interval = now - prev;
    t->last_reply_ms = now;
    if (interval > expect_ms + VUSB_INTERVAL_SLACK_MS ||
        interval < expect_ms - VUSB_INTERVAL_SLACK_MS)
        log_print(0, LL_ERR, "last response %s tick:%lld cur_tick:%lld interval:%lld\n", dir,
                  static_cast<long long>(prev), static_cast<long long>(now),
                  static_cast<long long>(interval));
}

int64_t slot_ms(const vbus_pdu &p) {
    // A transfer without packets stands for one frame.
    return p.hdr.packets ? static_cast<int64_t>(p.hdr.packets) : VUSB_FRAME_MS;
}

// Playback data of one request into the ring, packet by packet.
void credit_playback(usb_pace_dir *d, const vbus_pdu &p) {
    if (p.hdr.packets == 0) {
        d->dropped_bytes += pcm_ring_write(&d->ring, p.data, p.data_len);
        return;
    }
    for (uint32_t k = 0; k < p.hdr.packets; k++) {
        size_t off = p.iso[k].offset;
        if (off >= p.data_len) continue;
        size_t n = min_size(p.iso[k].length, p.data_len - off);
        d->dropped_bytes += pcm_ring_write(&d->ring, p.data + off, n);
    }
}

// Frames come every 10 ms but a slot of N ms may end between two frames: its
// audio must already be in the ring. A lead of silence as long as the
// furthest such slot end lies past a frame (10 - gcd(N, 10) ms; none when N
// is a multiple of 10) keeps every reply whole.
void capture_preroll(vusb_handle *h, usb_pace_dir *d, int64_t n) {
    int64_t a = n, b = VUSB_FRAME_MS;
    while (b) {
        int64_t t = a % b;
        a = b;
        b = t;
    }
    int64_t lead_ms = n % VUSB_FRAME_MS == 0 ? 0 : VUSB_FRAME_MS - a;
    static const uint8_t silence[kFrame32k] = {};
    size_t bytes = static_cast<size_t>(lead_ms * usb_packet_len(h));
    pcm_ring_write(&d->ring, silence, bytes < sizeof silence ? bytes : sizeof silence);
}

void reply_held(vusb_handle *h, usb_pace_dir *d) {
    vbus_pdu p{};
    if (usb_pdu_parse(d->held, d->held_len, &p) != 0) return;
    if (d->is_capture)
        response_cp_driver(&p, &d->ring, h, usb_packet_len(h));
    else
        response_pb_driver(h, &p);
}

// Answers what is due on the clock's current time and starts the next slot.
// Called with d->mu held.
void run_slots(vusb_handle *h, usb_pace_dir *d, CTicking *clock, CTQueue *q) {
    int64_t now = ticking_now(clock);
    if (d->waiting) {
        // The queue restarts the clock with the first request after an
        // activation: the slots count from there.
        if (q->size() == 0) return;
        std::lock_guard<std::mutex> g(clock->lock);
        d->slot_pos = clock->start_ms;
        d->waiting = 0;
        d->preroll_pending = d->is_capture;
    }
    for (;;) {
        if (d->held_valid) {
            vbus_pdu p{};
            if (usb_pdu_parse(d->held, d->held_len, &p) != 0) {
                d->held_valid = 0;
                continue;
            }
            int64_t end = d->held_start + slot_ms(p);
            if (now < end) return;
            reply_held(h, d);
            d->held_valid = 0;
            d->slot_pos = end;
            continue;
        }
        if (d->slot_pos > now) return;
        size_t n = q->pop(d->held, sizeof d->held);
        if (n == 0) {
            // Empty slots pass by; capture audio meant for them is dropped so
            // that the delay does not grow while the host is late.
            while (d->slot_pos + d->idle_step <= now) {
                d->slot_pos += d->idle_step;
                if (d->is_capture)
                    pcm_ring_read(&d->ring, nullptr,
                                  static_cast<size_t>(d->idle_step * usb_packet_len(h)));
            }
            return;
        }
        vbus_pdu p{};
        if (usb_pdu_parse(d->held, n, &p) != 0) {
            log_print(0, LL_ERR, "%s: queued pdu unreadable, dropped\n",
                      d->is_capture ? "cp_cache_list" : "pb_cache_list");
            continue;
        }
        d->held_len = n;
        d->held_valid = 1;
        d->held_start = d->slot_pos;
        d->idle_step = slot_ms(p);
        if (!d->is_capture) credit_playback(d, p);
        if (d->preroll_pending) {
            d->preroll_pending = 0;
            capture_preroll(h, d, slot_ms(p));
        }
    }
}

void playback_frame(vusb_handle *h, usb_pace_dir *d) {
    uint8_t frame[kFrame32k] = {};
    int len = usb_frame_len(h);
    pcm_ring_read(&d->ring, frame, static_cast<size_t>(len));  // short: the rest is silence
    if (h->pacing->media_send) h->pacing->media_send(h, frame, len);
}

void capture_frame(vusb_handle *h, usb_pace_dir *d) {
    uint8_t frame[kFrame32k] = {};
    int len = usb_frame_len(h);
    if (h->pacing->media_receive) h->pacing->media_receive(h, frame, len);
    d->dropped_bytes += pcm_ring_write(&d->ring, frame, static_cast<size_t>(len));
    // Nobody asks for audio yet: a frame without a request is discarded.
    if (d->waiting) pcm_ring_clear(&d->ring);
}

void reset_dir(usb_pace_dir *d, size_t ring_cap) {
    std::lock_guard<std::mutex> g(d->mu);
    d->waiting = 1;
    d->held_valid = 0;
    d->slot_pos = 0;
    d->idle_step = VUSB_FRAME_MS;
    pcm_ring_init(&d->ring, ring_cap);
}

int drop_held(usb_pace_dir *d, uint32_t seqnum) {
    std::lock_guard<std::mutex> g(d->mu);
    if (!d->held_valid || d->held_len < sizeof(vbus_pdu_header)) return 0;
    vbus_pdu_header hdr;
    memcpy(&hdr, d->held, sizeof hdr);
    if (hdr.seqnum != seqnum) return 0;
    d->held_valid = 0;
    // The slot keeps running: the next request starts where this one began.
    d->slot_pos = d->held_start;
    return 1;
}

// Device hooks.
int hook_set_interface(vusb_handle *h, int alt, int is_capture) {
    usb_pacing *p = h->pacing;
    int frame = usb_frame_len(h);
    if (alt == 1)
        reset_dir(
            is_capture ? &p->cp : &p->pb,
            static_cast<size_t>(frame * (is_capture ? kCaptureRingFrames : kPlaybackRingFrames)));
    std::lock_guard<std::mutex> g(p->ctl_mu);
    p->alt_want[is_capture] = alt;
    p->alt_since[is_capture] = p->ctl_ms;
    p->alt_dirty[is_capture] = 1;
    return 0;
}

void post_volume(vusb_handle *h, int value) {
    duvo_event_post(nullptr, 0, h->event_socket, EVT_SEND_CMD,
                    vusb_cmd::DUVO_CMD_C2P_CURRENT_VOLUME, value);
}

// A host probing the volume range writes a burst of values and then restores
// its own (a Linux host writes 99, 98, 96 ... 36, then 100 at every plug-in).
// Only the value that stands once the host has been quiet for the gap goes to
// the phone, and only when it differs from what the phone was last told, so a
// probe never moves the phone's volume and the phone ends on the host's last value.
void hook_volume_set(vusb_handle *h, int value) {
    usb_pacing *p = h->pacing;
    std::lock_guard<std::mutex> g(p->ctl_mu);
    p->vol_pending = 1;
    p->vol_value = value;
    p->vol_last_ms = p->ctl_ms;
}

// Posts the standing volume if it changed. Called with ctl_mu held.
void flush_volume(vusb_handle *h) {
    usb_pacing *p = h->pacing;
    p->vol_pending = 0;
    if (p->vol_value == p->vol_posted) return;
    p->vol_posted = p->vol_value;
    post_volume(h, p->vol_value);
}

int hook_pacing_start(vusb_handle *h) {
    return usb_pacing_start(h);
}

void hook_pacing_stop(vusb_handle *h) {
    usb_pacing_stop(h);
}

int make_timer() {
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (fd < 0) return -1;
    itimerspec its{};
    its.it_interval.tv_nsec = VUSB_PACE_TICK_MS * kNsPerMs;
    its.it_value.tv_nsec = VUSB_PACE_TICK_MS * kNsPerMs;
    if (timerfd_settime(fd, 0, &its, nullptr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint64_t take_expirations(int fd) {
    uint64_t n = 0;
    if (read(fd, &n, sizeof n) != static_cast<ssize_t>(sizeof n)) return 0;
    if (n > static_cast<uint64_t>(VUSB_PACE_MAX_CATCHUP)) n = VUSB_PACE_MAX_CATCHUP;
    return n;
}

// Both directions tick from one timer: one wake-up per millisecond serves
// the playback and the capture step, playback first.
void pacing_thread(vusb_handle *h, int fd) {
    sched_param sp{};
    sp.sched_priority = sched_get_priority_max(SCHED_FIFO);
    if (sp.sched_priority >= 0) pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
    pollfd pfd = {fd, POLLIN, 0};
    while (h->pacing->run.load()) {
        if (poll(&pfd, 1, kPollWaitMs) <= 0) continue;
        for (uint64_t n = take_expirations(fd); n > 0; n--) {
            usb_playback_tick(h);
            usb_capture_tick(h);
            usb_pacing_control_tick(h);
        }
    }
    close(fd);
}
}  // namespace

int usb_frame_len(const vusb_handle *h) {
    return h->sample_rate == kRate16k ? kFrame16k : kFrame32k;
}

int usb_packet_len(const vusb_handle *h) {
    return h->sample_rate == kRate16k ? kPacket16k : kPacket32k;
}

int usb_pacing_attach(vusb_handle *h) {
    usb_pacing *p = new (std::nothrow) usb_pacing;
    if (!p) {
        log_print(0, LL_ERR, "usb pacing alloc fail\n");
        return -1;
    }
    h->pacing = p;
    p->pb.is_capture = 0;
    p->cp.is_capture = 1;
    reset_dir(&p->pb, static_cast<size_t>(usb_frame_len(h) * kPlaybackRingFrames));
    reset_dir(&p->cp, static_cast<size_t>(usb_frame_len(h) * kCaptureRingFrames));
    h->hooks.pacing_start = hook_pacing_start;
    h->hooks.pacing_stop = hook_pacing_stop;
    h->hooks.set_interface = hook_set_interface;
    h->hooks.unlink_held = usb_unlink_held;
    h->hooks.volume_set = hook_volume_set;
    return 0;
}

void usb_pacing_detach(vusb_handle *h) {
    if (!h->pacing) return;
    usb_pacing_stop(h);
    h->hooks.pacing_start = nullptr;
    h->hooks.pacing_stop = nullptr;
    h->hooks.set_interface = nullptr;
    h->hooks.unlink_held = nullptr;
    h->hooks.volume_set = nullptr;
    delete h->pacing;
    h->pacing = nullptr;
}

int usb_pacing_start(vusb_handle *h) {
    usb_pacing *p = h->pacing;
    if (!p || p->thread.joinable()) return -1;
    int fd = make_timer();
    if (fd < 0) {
        log_print(0, LL_ERR, "usb pacing timers fail: %s\n", strerror(errno));
        return -1;
    }
    // Re-sizes the rings for the rate the descriptors announced.
    reset_dir(&p->pb, static_cast<size_t>(usb_frame_len(h) * kPlaybackRingFrames));
    reset_dir(&p->cp, static_cast<size_t>(usb_frame_len(h) * kCaptureRingFrames));
    h->pb_timer = h->cp_timer = fd;
    p->run = 1;
    try {
        p->thread = std::thread(pacing_thread, h, fd);
    } catch (const std::system_error &e) {
        log_print(0, LL_ERR, "usb pacing thread fail: %s\n", e.what());
        p->run = 0;
        close(fd);
        h->pb_timer = h->cp_timer = 0;
        return -1;
    }
    return 0;
}

void usb_pacing_stop(vusb_handle *h) {
    usb_pacing *p = h->pacing;
    if (!p) return;
    p->run = 0;
    if (p->thread.joinable()) p->thread.join();
    h->pb_timer = h->cp_timer = 0;
    std::lock_guard<std::mutex> g(p->ctl_mu);
    if (p->vol_pending) flush_volume(h);
}

void usb_playback_tick(vusb_handle *h) {
    usb_pace_dir *d = &h->pacing->pb;
    h->pb_ticking.manual_ms += VUSB_PACE_TICK_MS;
    std::lock_guard<std::mutex> g(d->mu);
    // Requests whose slot starts now bring their audio before the frame is cut.
    run_slots(h, d, &h->pb_ticking, &h->pb_cache_list);
    if (pace_due(&h->pb_ticking)) playback_frame(h, d);
}

void usb_capture_tick(vusb_handle *h) {
    usb_pace_dir *d = &h->pacing->cp;
    h->cp_ticking.manual_ms += VUSB_PACE_TICK_MS;
    std::lock_guard<std::mutex> g(d->mu);
    // The frame due now is in the ring before the slot ending now is answered.
    if (pace_due(&h->cp_ticking)) capture_frame(h, d);
    run_slots(h, d, &h->cp_ticking, &h->cp_cache_list);
}

void usb_pacing_control_tick(vusb_handle *h) {
    usb_pacing *p = h->pacing;
    int apply[2] = {-1, -1};
    {
        std::lock_guard<std::mutex> g(p->ctl_mu);
        p->ctl_ms += VUSB_PACE_TICK_MS;
        for (int c = 0; c < 2; c++) {
            if (!p->alt_dirty[c] || p->ctl_ms - p->alt_since[c] < VUSB_ALT_SETTLE_MS) continue;
            p->alt_dirty[c] = 0;
            // A setting that came back to where it was never reaches the media
            // path: the host only probed it.
            if (p->alt_want[c] == p->alt_applied[c]) continue;
            p->alt_applied[c] = p->alt_want[c];
            apply[c] = p->alt_want[c];
        }
        if (p->vol_pending && p->ctl_ms - p->vol_last_ms >= VUSB_VOLUME_GAP_MS) flush_volume(h);
    }
    for (int c = 0; c < 2; c++)
        if (apply[c] >= 0 && p->apply_alt) p->apply_alt(h, apply[c], c);
}

void response_pb_driver(vusb_handle *h, const vbus_pdu *pdu) {
    vbus_iso_desc iso[kMaxPackets];
    uint32_t packets = pdu->hdr.packets < static_cast<uint32_t>(kMaxPackets)
                           ? pdu->hdr.packets
                           : static_cast<uint32_t>(kMaxPackets);
    uint32_t total = 0;
    for (uint32_t k = 0; k < packets; k++) {
        const vbus_iso_desc &q = pdu->iso[k];
        uint32_t got = q.offset < pdu->data_len
                           ? static_cast<uint32_t>(min_size(q.length, pdu->data_len - q.offset))
                           : 0;
        iso[k] = {q.offset, q.length, got, 0};
        total += got;
    }
    if (packets == 0) total = static_cast<uint32_t>(pdu->data_len);
    write_iso_reply(h, pdu, nullptr, 0, packets ? iso : nullptr, packets, total);
    log_print(0, LL_ANY, "response pb driver, seq:%d\n", static_cast<int>(pdu->hdr.seqnum));
    interval_watch(&h->pb_ticking, "pb", slot_ms(*pdu));
}

void response_cp_driver(const vbus_pdu *pdu, pcm_ring *ring, vusb_handle *h, int packet_len) {
    uint8_t payload[kReplyBuf] = {};
    vbus_iso_desc iso[kMaxPackets];
    uint32_t packets = pdu->hdr.packets < static_cast<uint32_t>(kMaxPackets)
                           ? pdu->hdr.packets
                           : static_cast<uint32_t>(kMaxPackets);
    size_t cap = min_size(pdu->hdr.length, sizeof payload);
    size_t len = 0;
    uint32_t total = 0;
    usb_pace_dir *d = h->pacing ? &h->pacing->cp : nullptr;
    for (uint32_t k = 0; k < packets; k++) {
        const vbus_iso_desc &q = pdu->iso[k];
        size_t want = min_size(q.length, static_cast<size_t>(packet_len));
        if (q.offset >= cap) want = 0;
        want = min_size(want, cap - min_size(q.offset, cap));
        size_t got = pcm_ring_read(ring, payload + q.offset, want);
        if (got < want && d) d->underrun_bytes += want - got;  // silence stands in
        iso[k] = {q.offset, q.length, static_cast<uint32_t>(want), 0};
        total += static_cast<uint32_t>(want);
        if (want) len = q.offset + want > len ? q.offset + want : len;
    }
    if (packets == 0) {
        // Not an isochronous transfer: one frame's worth, within the buffer.
        len = min_size(cap, static_cast<size_t>(usb_frame_len(h)));
        pcm_ring_read(ring, payload, len);
        total = static_cast<uint32_t>(len);
    }
    write_iso_reply(h, pdu, payload, len, packets ? iso : nullptr, packets, total);
    if (h->captures) {
        for (uint32_t k = 0; k < packets; k++)
            if (iso[k].actual_length)
                capture_file_write(&h->captures->s2usb, payload + iso[k].offset,
                                   iso[k].actual_length);
        if (packets == 0) capture_file_write(&h->captures->s2usb, payload, len);
    }
    interval_watch(&h->cp_ticking, "cp", slot_ms(*pdu));
}

int usb_unlink_held(vusb_handle *h, uint32_t seqnum) {
    if (h->pacing && (drop_held(&h->pacing->pb, seqnum) || drop_held(&h->pacing->cp, seqnum)))
        return 1;
    return usb_hid_unlink_held(h, seqnum);
}
