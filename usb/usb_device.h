// The virtual USB device record: one per emulated speakerphone. The lifecycle
// creates it, the request loop and the pacing ticks work on it, the session
// reads and sets its HID fields.
//
// Bringing one up: set driver to an opened bus, usb_device_set_identity,
// copy the stream's sample rate into sample_rate, usb_device_build_descriptors,
// usb_fill_device_summary for the bus, restart the three queues (int_queue
// unlinked, cp_cache_list / pb_cache_list linked to their clocks), wire the
// hooks, then usb_request_loop_start (usb/usb_requests.h). Taking it down:
// usb_request_loop_stop, then driver->close(). usb/usb_lifecycle.h does all
// of this for the program.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "link/session_device.h"
#include "usb/ticking.h"
#include "usb/tqueue.h"
#include "usb/usb_event.h"
#include "usb/vbus.h"

struct audio_stream_state;  // the media path's record of this device
struct capture_files;
struct usb_pacing;
struct usb_hid_held;
struct timer_container;
struct vusb_handle;

constexpr size_t VUSB_NAME_SIZE = 256;  // device_name, 255 characters at most
constexpr size_t VUSB_DEVICE_DESC_SIZE = 18;
constexpr size_t VUSB_CONFIG_DESC_CAP = 265;  // room in config_desc
constexpr int VUSB_STRING_SLOTS = 255;        // string descriptor indices 0..254
constexpr size_t VUSB_STRING_BUF_SIZE = 255;  // bytes per string descriptor buffer
constexpr size_t VUSB_HID_TEXT_SIZE = 1024;   // UTF-16LE texts of HID report 21
constexpr size_t VUSB_GRUU_SIZE = 1024;
constexpr size_t VUSB_DLG_TEXT_SIZE = 128;
constexpr uint16_t VUSB_PRODUCT_ID = 0xB016;  // idProduct, whatever the phone announces
constexpr int VUSB_DEFAULT_SAMPLE_RATE = 16000;

// Where the device calls out to parts wired in by the lifecycle. A null hook
// is skipped.
struct vusb_hooks {
    // SET_INTERFACE on streaming interface 1 (is_capture 0) or 2 (is_capture
    // 1), after the device has restarted its own queue; the lifecycle points
    // it at the media path's stream activation. Its result is not examined.
    int (*set_interface)(vusb_handle *h, int alt_setting, int is_capture) = nullptr;
    // SET_REPORT on the HID interface; pdu->data holds the report (its first
    // byte is the report id). Runs on the read thread before the empty reply.
    void (*hid_set_report)(vusb_handle *h, const vbus_pdu *pdu) = nullptr;
    // Run by the read thread when it starts and when it ends: the pacing
    // ticks exist exactly while the read thread runs.
    int (*pacing_start)(vusb_handle *h) = nullptr;
    void (*pacing_stop)(vusb_handle *h) = nullptr;
    // An unlink of a request the device no longer has queued: 1 when a part
    // of the device still held it (it is then dropped unanswered).
    int (*unlink_held)(vusb_handle *h, uint32_t seqnum) = nullptr;
    // SET_CUR of the volume; replaces the direct post so that a burst can be
    // thinned out before it reaches the phone.
    void (*volume_set)(vusb_handle *h, int value) = nullptr;
};

struct vusb_dlg_entry {
    char dlg_info[VUSB_DLG_TEXT_SIZE];
    char display_name[VUSB_DLG_TEXT_SIZE];
};

struct vusb_handle {
    vusb_handle() = default;
    vusb_handle(const vusb_handle &) = delete;
    vusb_handle &operator=(const vusb_handle &) = delete;
    // Ends both USB threads if the owner has not (a running std::thread must
    // never be destroyed).
    ~vusb_handle();

    char device_name[VUSB_NAME_SIZE] = {};
    uint16_t device_vid = 0, device_pid = 0, device_rev = 0;
    std::unique_ptr<vbus_backend> driver;  // the bus; null = none
    int port = 0;                          // 1..127 once plugged
    int plugged = 0;
    int pb_timer = 0, cp_timer = 0;  // pacing timer ids; 0 = none
    CTicking cp_ticking{0}, pb_ticking{0};
    vusb_event wakeup_event{false};   // auto-reset: a PDU arrived on endpoint 3
    vusb_event shutdown_event{true};  // manual-reset: both USB threads must end
    std::thread read_thread, int_thread;
    vbus_plugin_info plugin_info;
    uint8_t device_desc[VUSB_DEVICE_DESC_SIZE] = {};
    uint8_t config_desc[VUSB_CONFIG_DESC_CAP] = {};
    std::unique_ptr<uint8_t[]> string_desc[VUSB_STRING_SLOTS];  // null = no string

    // HID report state (read thread and HID worker).
    uint16_t lync_status = 0;
    uint8_t pc_audio_mute = 0, pc_audio_mute_sent = 0;
    int is_pared_and_unsign_call = 0;
    uint8_t display_name_text[VUSB_HID_TEXT_SIZE] = {};
    uint8_t dlg_info_text[VUSB_HID_TEXT_SIZE] = {};
    size_t text_pos = 0;  // write offset of the next report 21 chunk
    int infostate = 0;
    size_t gruu_send_pos = 0;
    char gruu[VUSB_GRUU_SIZE] = {};
    // Words shared between the session, the read thread and the HID worker
    // without a lock: atomics, so each read sees a whole value.
    std::atomic<int> uc_keepalive{0};
    std::atomic<int> gruu_due{0};
    // The pending input reports are the session's own record of them, so
    // what the session writes is what the HID worker reads.
    session_hid_pending hid_pending;
    std::atomic<int> &hungup = hid_pending.hungup;
    std::atomic<int> &zoom_vol_up = hid_pending.zoom_vol_up;
    std::atomic<int> &zoom_vol_down = hid_pending.zoom_vol_down;
    std::atomic<int> &zoom_vol_end = hid_pending.zoom_vol_end;
    std::atomic<int> &zoom_mute_step = hid_pending.zoom_mute_step;

    CTQueue int_queue, cp_cache_list, pb_cache_list;
    int gruu_timer = 0;
    int16_t cur_volume = 0;  // written by the read thread only
    uint8_t mute = 0;        // written by the read thread only
    // The media record, owned by the lifecycle. The device itself reads only
    // sample_rate, copied from it before the descriptors are built: a
    // different rate takes a new device record.
    audio_stream_state *stream = nullptr;
    int sample_rate = VUSB_DEFAULT_SAMPLE_RATE;
    std::list<vusb_dlg_entry> dlg_list;
    int event_socket = -1;  // sending end of the event bus
    std::mutex io_lock;     // held around every call on driver except the blocking read
    timer_container *timers = nullptr;
    capture_files *captures = nullptr;  // debug captures of the media path; null = none
    usb_pacing *pacing = nullptr;       // paced isochronous state, owned by the lifecycle
    usb_hid_held *hid_held = nullptr;   // the HID worker's request in hand
    vusb_hooks hooks;
    int read_failing = 0;  // the read thread has logged the current read failure
};

// Takes the phone's identity: vid, pid and rev must each be in 1..0x7FFF and
// the name non-empty, else -1 with a log line and nothing changed. The name is
// cut to 255 characters, device_pid becomes 0xB016, and plugin_info is
// filled (port left for the plug-in). 0 on success.
int usb_device_set_identity(vusb_handle *h, const char *name, int vid, int pid, int rev);
