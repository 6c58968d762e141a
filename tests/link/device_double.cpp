#include "device_double.h"

namespace {

DeviceDouble *current = nullptr;

DeviceDouble *D(void *dev) {
    return static_cast<DeviceDouble *>(dev);
}

int d_init(void **dev, const char *, int, timer_container *) {
    current->record("init");
    if (current->fail_init) return -1;
    *dev = current;
    return 0;
}
void d_media(void *dev, int srtp, int rate) {
    D(dev)->srtp = srtp;
    D(dev)->rate = rate;
}
int d_plugin(void *dev, const char *name, uint16_t rev, uint16_t vid, uint16_t pid) {
    DeviceDouble *d = D(dev);
    d->record("plugin");
    d->name = name;
    d->rev = rev;
    d->vid = vid;
    d->pid = pid;
    return d->fail_plugin ? -1 : 0;
}
void d_stop(void *dev) {
    D(dev)->record("stop");
}
void d_close(void *dev) {
    D(dev)->record("close_driver");
}
void d_deinit(void *dev) {
    D(dev)->record("deinit");
}
session_hid_pending *d_hid(void *dev) {
    return &D(dev)->hid;
}
int d_take_uc(void *dev) {
    std::lock_guard<std::mutex> g(D(dev)->lock);
    int v = D(dev)->uc_keepalive;
    D(dev)->uc_keepalive = 0;
    return v;
}
void d_gruu(void *dev, const char *g) {
    D(dev)->gruu = g;
}
void d_cancel_gruu(void *dev) {
    D(dev)->record("cancel_gruu");
}
void d_dump(void *dev, int on) {
    D(dev)->record(on ? "dump_on" : "dump_off");
}
int d_rtp_create(void *dev, const char *key, uint32_t, int port, int) {
    D(dev)->record("rtp_create:" + std::to_string(port) + ":" + key);
    return 0;
}
void d_rtp_destroy(void *dev) {
    D(dev)->record("rtp_destroy");
}
void d_ctl(void *dev, int v) {
    D(dev)->ctl_value = v;
}
int d_cap_open(void *dev) {
    D(dev)->record("capture_open");
    return 0;
}
void d_cap_close(void *dev) {
    D(dev)->record("capture_close");
}

const session_device_ops double_ops = {
    d_init, d_media,       d_plugin, d_stop,       d_close,       d_deinit, d_hid,      d_take_uc,
    d_gruu, d_cancel_gruu, d_dump,   d_rtp_create, d_rtp_destroy, d_ctl,    d_cap_open, d_cap_close,
};

}  // namespace

void DeviceDouble::install() {
    current = this;
    session_device_set_ops(&double_ops);
}

void DeviceDouble::uninstall() {
    session_device_set_ops(nullptr);
    current = nullptr;
}
