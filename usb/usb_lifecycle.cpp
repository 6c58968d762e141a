#include "usb/usb_lifecycle.h"

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <system_error>

#include "media/audio_stream.h"
#include "media/capture_files.h"
#include "media/dsp/dsp_setup.h"
#include "platform/config.h"
#include "platform/log.h"
#include "usb/usb_descriptors.h"
#include "usb/usb_device.h"
#include "usb/usb_hid_control.h"
#include "usb/usb_pacing.h"
#include "usb/usb_requests.h"

namespace {
std::atomic<usb_backend_factory> g_factory{nullptr};

std::unique_ptr<vbus_backend> configured_backend(const char *, std::string *where) {
    std::string name, bind;
    int port;
    {
        std::lock_guard<std::recursive_mutex> g(g_config.lock);
        name = g_config.vbus_backend;
        bind = g_config.usbip_bind;
        port = g_config.usbip_port;
    }
    *where = name == "vhci" ? name : name + "://" + bind + ":" + std::to_string(port);
    return vbus_backend_create(name, bind, port);
}

int media_send(vusb_handle *h, const uint8_t *pcm, int len) {
    return audio_stream_send(h->stream, pcm, len, h->captures ? &h->captures->s2vpm : nullptr);
}

int media_receive(vusb_handle *h, uint8_t *pcm, int len) {
    return audio_stream_receive(h->stream, h->captures ? &h->captures->vpm2s : nullptr, pcm, len);
}

int apply_alt(vusb_handle *h, int alt, int is_capture) {
    return audio_stream_set_active(h->stream, alt, is_capture);
}

// Takes down a record whose creation failed part way.
int fail_init(vusb_handle *h) {
    usb_device_stop(h);
    usb_device_close_driver(h);
    usb_device_deinit(h);
    return -1;
}
}  // namespace

void usb_lifecycle_set_backend_factory(usb_backend_factory f) {
    g_factory = f;
}

int usb_device_init(vusb_handle **out, const char *hwid, int event_socket,
                    timer_container *timers) {
    if (!out) return -1;
    if (!hwid) hwid = "";
    vusb_handle *h = new (std::nothrow) vusb_handle;
    audio_stream_state *stream = h ? new (std::nothrow) audio_stream_state : nullptr;
    capture_files *caps = stream ? new (std::nothrow) capture_files : nullptr;
    if (!caps) {
        log_print(0, LL_ERR, "Alloc usb handle fail\n");
        delete stream;
        delete h;
        return -1;
    }
    audio_stream_init(stream);
    h->stream = stream;
    h->captures = caps;
    if (usb_pacing_attach(h) != 0 || usb_hid_attach(h) != 0) return fail_init(h);
    h->pacing->media_send = media_send;
    h->pacing->media_receive = media_receive;
    h->pacing->apply_alt = apply_alt;

    std::string where = hwid;
    usb_backend_factory f = g_factory.load();
    std::unique_ptr<vbus_backend> bus = f ? f(hwid) : configured_backend(hwid, &where);
    if (!bus) {
        log_print(0, LL_ERR, "Find dev path of %s fail\n", hwid);
        return fail_init(h);
    }
    if (bus->open() != 0) {
        log_print(0, LL_ERR, "Open vbus driver(%s) fail\n", where.c_str());
        return fail_init(h);
    }
    h->driver = std::move(bus);

    if (dsp_setup() != 0) {
        log_print(0, LL_ERR, "media engine setup fail\n");
        return fail_init(h);
    }
    h->int_queue.restart(nullptr);
    h->cp_cache_list.restart(&h->cp_ticking);
    h->pb_cache_list.restart(&h->pb_ticking);
    vusb_event_reset(&h->wakeup_event);
    vusb_event_reset(&h->shutdown_event);
    h->event_socket = event_socket;
    stream->event_socket = event_socket;
    h->timers = timers;

    try {
        h->int_thread = std::thread(dealwith_interrupt_ep, h);
    } catch (const std::system_error &) {
        log_print(0, LL_ERR, "Create USB service threads fail\n");
        return fail_init(h);
    }
    if (usb_request_loop_start(h) != 0) {
        log_print(0, LL_ERR, "Create USB service threads fail\n");
        return fail_init(h);
    }
    *out = h;
    return 0;
}

void usb_device_set_media_params(vusb_handle *h, int srtp_enable, int sample_rate) {
    if (!h) return;
    if (h->stream) {
        std::lock_guard<std::recursive_mutex> g(h->stream->mutex);
        h->stream->srtp_enable = srtp_enable;
        h->stream->sample_rate = sample_rate;
    }
    if (sample_rate > 0) h->sample_rate = sample_rate;
}

int usb_device_plugin(const char *device_name, uint16_t device_rev, vusb_handle *h,
                      uint16_t device_vid, uint16_t device_pid) {
    if (!h) {
        log_print(0, LL_ERR, "usb device plugin: no device record\n");
        return -1;
    }
    // Refuses a missing name and ids outside 1..0x7fff (logged there).
    if (usb_device_set_identity(h, device_name, device_vid, device_pid, device_rev) != 0) return -1;
    if (usb_device_build_descriptors(h) != 0) return -1;
    vbus_device_summary summary;
    if (usb_fill_device_summary(h, &summary) != 0) return -1;

    std::lock_guard<std::mutex> g(h->io_lock);
    if (!h->driver) {
        log_print(0, LL_ERR, "usb device plugin: bus not open\n");
        return -1;
    }
    uint8_t status[VBUS_PORT_COUNT] = {};
    int port = 0;
    if (h->driver->port_status(status) == 0) {
        for (int i = VUSB_PORT_FIRST; i <= VUSB_PORT_LAST && !port; i++)
            if (!status[i]) port = i;
    }
    if (!port) {
        log_print(0, LL_ERR, "No free port!\n");
        return -1;
    }
    h->port = port;
    h->plugin_info.port = static_cast<uint8_t>(port);
    for (int left = VUSB_PLUGIN_ATTEMPTS - 1; left >= 0; left--) {
        if (h->driver->plug_in(h->plugin_info, summary) == 0) {
            h->plugged = 1;
            return 0;
        }
        log_print(0, LL_INFO, "usb plugin fail,continue retrycnt:%d\n", left);
    }
    log_print(0, LL_ERR, "Failed to attach the USB device\n");
    return -1;
}

void usb_device_stop(vusb_handle *h) {
    if (!h) return;
    vusb_event_set(&h->shutdown_event);
    vusb_event_set(&h->wakeup_event);
    // Both threads notice the shutdown within one of their 100 ms waits.
    usb_request_loop_stop(h);
    if (h->int_thread.joinable()) h->int_thread.join();
    // The timers belong to the read thread; stop them too if it never ran.
    usb_pacing_stop(h);
}

void usb_device_close_driver(vusb_handle *h) {
    if (!h) return;
    std::lock_guard<std::mutex> g(h->io_lock);
    if (h->driver) h->driver->close();
}

void usb_device_deinit(vusb_handle *h) {
    if (!h) return;
    if (h->read_thread.joinable() || h->int_thread.joinable()) usb_device_stop(h);
    // The pacing timers ended with the read thread, so nothing runs on the
    // record any more.
    usb_device_cancel_gruu(h);
    if (h->captures) capture_files_close(h->captures);
    if (h->stream) audio_stream_cleanup(h->stream);
    usb_pacing_detach(h);
    usb_hid_detach(h);
    {
        std::lock_guard<std::mutex> g(h->io_lock);
        h->driver.reset();
    }
    delete h->captures;
    delete h->stream;
    delete h;
}
