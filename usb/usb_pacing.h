// Paced isochronous audio: the device answers the host's playback and
// capture requests at the audio rate rather than when they arrive, and moves
// one 10 ms frame per direction to and from the media path.
//
// A request of N packets takes the next N milliseconds of its direction: it
// is answered N ms after its slot begins, with exactly N packet descriptors.
// Slots follow each other without gaps from the first request after an
// activation; a slot without a request passes by empty. The audio is
// re-framed through a small ring per direction, so a host that sends 1-, 6-
// or 10-packet requests gets the same continuous audio. With 10-packet
// requests this is one reply and one frame every 10 ms.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "usb/pcm_ring.h"
#include "usb/tqueue.h"
#include "usb/vbus.h"

struct vusb_handle;

// Period of the pacing timer. Slots are whole milliseconds, so a 1-packet
// request can only be answered on time by a 1 ms tick.
constexpr int VUSB_PACE_TICK_MS = 1;
constexpr int VUSB_FRAME_MS = 10;           // one media frame
constexpr int VUSB_ALT_SETTLE_MS = 50;      // an alternate setting must hold this long
constexpr int VUSB_VOLUME_GAP_MS = 100;     // quiet time before a volume change is posted
constexpr int VUSB_VOLUME_START = 100;      // the volume the device reports before any change
constexpr int VUSB_INTERVAL_SLACK_MS = 2;   // interval watch: allowed distance from N ms
constexpr int VUSB_PACE_MAX_CATCHUP = 200;  // ticks run at once after a stall

// One direction's slots, ring and the request in hand.
struct usb_pace_dir {
    std::mutex mu;  // taken by the tick and by an unlink of the held request
    int is_capture = 0;
    int waiting = 1;                    // no slot anchor yet: waits for the first request
    int preroll_pending = 0;            // capture: the first request sets the ring's lead
    int64_t slot_pos = 0;               // clock time where the next slot begins
    int64_t idle_step = VUSB_FRAME_MS;  // length of an empty slot: the last request's
    int held_valid = 0;
    int64_t held_start = 0;
    size_t held_len = 0;
    alignas(vbus_iso_desc) uint8_t held[CTQueue::slot_size];
    pcm_ring ring;
    uint64_t underrun_bytes = 0;  // capture bytes sent as silence for want of audio
    uint64_t dropped_bytes = 0;   // ring bytes dropped for want of room
};

struct usb_pacing {
    usb_pace_dir pb, cp;
    // Media path steps; the lifecycle points them at the device's stream,
    // tests at recorders. A null step is skipped.
    int (*media_send)(vusb_handle *h, const uint8_t *pcm, int len) = nullptr;
    int (*media_receive)(vusb_handle *h, uint8_t *pcm, int len) = nullptr;
    // Called with the alternate setting once it has held for
    // VUSB_ALT_SETTLE_MS; the lifecycle points it at the stream activation.
    int (*apply_alt)(vusb_handle *h, int alt, int is_capture) = nullptr;

    // Control: alternate settings and the volume, on the pacing clock.
    std::mutex ctl_mu;
    int64_t ctl_ms = 0;
    int alt_want[2] = {0, 0}, alt_applied[2] = {0, 0};
    int64_t alt_since[2] = {0, 0};
    int alt_dirty[2] = {0, 0};
    int vol_pending = 0, vol_value = 0;
    int64_t vol_last_ms = -VUSB_VOLUME_GAP_MS;  // time of the latest SET_CUR volume
    int vol_posted = VUSB_VOLUME_START;         // what the phone was last told

    std::thread thread;
    std::atomic<int> run{0};
};

// Creates h->pacing and wires the device hooks: pacing_start / pacing_stop,
// set_interface, unlink_held and volume_set. 0, or -1 (logged).
int usb_pacing_attach(vusb_handle *h);
// Frees h->pacing (the timers must be stopped).
void usb_pacing_detach(vusb_handle *h);

// Start and stop the timer thread (the read thread's hooks).
int usb_pacing_start(vusb_handle *h);
void usb_pacing_stop(vusb_handle *h);

// One timer tick of a direction: advances its clock by VUSB_PACE_TICK_MS,
// answers what is due and moves a frame when one is due.
void usb_playback_tick(vusb_handle *h);
void usb_capture_tick(vusb_handle *h);
// One tick of the control side (settled alternate settings, held volume).
void usb_pacing_control_tick(vusb_handle *h);

// Frame and packet sizes for the device's sample rate: 320 / 32 bytes at
// 16000 Hz, 640 / 64 bytes for any other rate.
int usb_frame_len(const vusb_handle *h);
int usb_packet_len(const vusb_handle *h);

// Answers a playback request: one descriptor per requested packet, each
// taken whole; the header's actual length is their sum. Then the interval
// watch on pb_ticking.
void response_pb_driver(vusb_handle *h, const vbus_pdu *pdu);
// Answers a capture request: each packet gets packet_len bytes (at most its
// own length) from ring, silence where the ring runs short; the data lies at
// the packets' offsets and never exceeds the host's buffer. Then the
// interval watch on cp_ticking.
void response_cp_driver(const vbus_pdu *pdu, pcm_ring *ring, vusb_handle *h, int packet_len);

// An unlink of a request that a pacing direction or the HID worker holds:
// 1 when it was held (it is dropped and never answered), else 0.
int usb_unlink_held(vusb_handle *h, uint32_t seqnum);
