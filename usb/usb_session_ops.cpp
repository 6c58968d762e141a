#include "usb/usb_session_ops.h"

#include "media/audio_stream.h"
#include "media/capture_files.h"
#include "usb/usb_device.h"
#include "usb/usb_hid_control.h"
#include "usb/usb_lifecycle.h"

namespace {
vusb_handle *D(void *dev) {
    return static_cast<vusb_handle *>(dev);
}

int op_init(void **dev, const char *hwid, int sock, timer_container *timers) {
    vusb_handle *h = nullptr;
    if (!dev || usb_device_init(&h, hwid, sock, timers) != 0) return -1;
    *dev = h;
    return 0;
}
void op_media_params(void *dev, int srtp, int rate) {
    usb_device_set_media_params(D(dev), srtp, rate);
}
int op_plugin(void *dev, const char *name, uint16_t rev, uint16_t vid, uint16_t pid) {
    return usb_device_plugin(name, rev, D(dev), vid, pid);
}
void op_stop(void *dev) {
    usb_device_stop(D(dev));
}
void op_close(void *dev) {
    usb_device_close_driver(D(dev));
}
void op_deinit(void *dev) {
    usb_device_deinit(D(dev));
}
session_hid_pending *op_hid(void *dev) {
    return &D(dev)->hid_pending;
}
int op_take_uc(void *dev) {
    return D(dev)->uc_keepalive.exchange(0);
}
void op_gruu(void *dev, const char *gruu) {
    usb_device_set_gruu(D(dev), gruu);
}
void op_cancel_gruu(void *dev) {
    usb_device_cancel_gruu(D(dev));
}
void op_srtp_dump(void *dev, int on) {
    if (D(dev)->stream) D(dev)->stream->srtp_dump_once = on;
}
int op_rtp_create(void *dev, const char *key, uint32_t ip, int port, int key_len) {
    return D(dev)->stream ? rtp_stream_create(D(dev)->stream, key, ip, port, key_len) : -1;
}
void op_rtp_destroy(void *dev) {
    if (D(dev)->stream) rtp_stream_destroy(D(dev)->stream);
}
void op_stream_ctl(void *dev, int value) {
    if (D(dev)->stream) audio_stream_ctl(D(dev)->stream, value);
}
int op_caps_open(void *dev) {
    if (!D(dev)->captures || !D(dev)->stream) return -1;
    capture_files_set(D(dev)->captures, D(dev)->stream, 1);
    return 0;
}
void op_caps_close(void *dev) {
    if (D(dev)->captures) capture_files_set(D(dev)->captures, D(dev)->stream, 0);
}

const session_device_ops kOps = {
    op_init,        op_media_params, op_plugin,    op_stop,        op_close,     op_deinit,
    op_hid,         op_take_uc,      op_gruu,      op_cancel_gruu, op_srtp_dump, op_rtp_create,
    op_rtp_destroy, op_stream_ctl,   op_caps_open, op_caps_close,
};
}  // namespace

const session_device_ops *usb_session_ops() {
    return &kOps;
}
