// What the phone session needs of the virtual USB device and its media
// record. The session reaches them only through these operations, so the
// device and the media path plug in without touching the session, and tests
// put a double behind them.
#pragma once

#include <atomic>
#include <cstdint>

struct timer_container;

// HID reports the phone asked for, read and cleared by the device's HID
// worker; plain words shared without a lock.
struct session_hid_pending {
    std::atomic<int> hungup{0};
    std::atomic<int> zoom_vol_up{0};
    std::atomic<int> zoom_vol_down{0};
    std::atomic<int> zoom_vol_end{0};
    std::atomic<int> zoom_mute_step{0};
};

struct session_device_ops {
    // Creates the device record on the bus named by hwid. 0 on success.
    int (*usb_device_init)(void **dev, const char *hwid, int bus_send_sock,
                           timer_container *timers);
    // The media record's SRTP switch and sample rate, before plug-in.
    void (*set_media_params)(void *dev, int srtp_enable, int sample_rate);
    // Plugs the device into a free port. 0 on success.
    int (*usb_device_plugin)(void *dev, const char *name, uint16_t rev, uint16_t vid, uint16_t pid);
    void (*usb_device_stop)(void *dev);
    void (*close_driver)(void *dev);
    void (*usb_device_deinit)(void *dev);

    session_hid_pending *(*hid_pending)(void *dev);
    // Reads and clears the flag the host's HID keep-alive sets.
    int (*take_uc_keepalive)(void *dev);
    void (*usb_device_set_gruu)(void *dev, const char *gruu);
    // Removes a pending GRUU re-send timer (the phone's account signed out).
    void (*cancel_gruu_timer)(void *dev);
    void (*set_srtp_dump)(void *dev, int on);

    int (*rtp_stream_create)(void *dev, const char *key, uint32_t phone_ip, int port, int key_len);
    void (*rtp_stream_destroy)(void *dev);
    void (*audio_stream_ctl)(void *dev, int value);

    int (*capture_files_open)(void *dev);
    void (*capture_files_close)(void *dev);
};

// The operations the session uses. Until a device implementation registers
// itself, every creation fails (the session then reports the failure).
const session_device_ops *session_device_get_ops();
void session_device_set_ops(const session_device_ops *ops);
