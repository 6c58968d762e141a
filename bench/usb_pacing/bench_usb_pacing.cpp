// Reply timing of the paced isochronous paths with the real timer thread:
// a host double keeps requests in flight in the Windows shape (10-packet
// transfers) and the Linux shape (6-packet playback, 1-packet capture with 12
// outstanding), and every reply is time-stamped on the monotonic clock.
// Prints, per shape and direction, the distribution of |interval - N ms|
// (N = the request's packets) and the drift of the last reply from the
// ideal schedule.
//
// usage: bench_usb_pacing [--seconds N]   (default 60)
#include <pthread.h>
#include <sched.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/bus/event_bus.h"
#include "platform/log.h"
#include "platform/os/os_time.h"
#include "usb/usb_device.h"
#include "usb/usb_lifecycle.h"
#include "usb/usb_pacing.h"

namespace {

constexpr uint32_t kEpPlayback = 1, kEpCapture = 2;
constexpr uint64_t kWarmupUs = 200000;  // replies in the first 200 ms are not counted

struct stream_shape {
    uint32_t packets;
    int outstanding;
};

struct request {
    vbus_pdu_header hdr{};
    std::vector<uint8_t> data;
    std::vector<vbus_iso_desc> iso;
};

// The host: answers every reply to a submission with a fresh request on the
// same endpoint, as a USB audio driver resubmits its isochronous requests.
class host_bus : public vbus_backend {
  public:
    host_bus(stream_shape pb, stream_shape cp) : pb_(pb), cp_(cp) {}

    int open() override { return 0; }
    int port_status(uint8_t s[VBUS_PORT_COUNT]) override {
        memset(s, 0, VBUS_PORT_COUNT);
        return 0;
    }
    int plug_in(const vbus_plugin_info &, const vbus_device_summary &) override { return 0; }

    int read_pdu(vbus_pdu *pdu, int timeout_ms) override {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait_for(g, std::chrono::milliseconds(timeout_ms),
                     [this] { return closed_ || !inbox_.empty(); });
        if (closed_) return -1;
        if (inbox_.empty()) return 0;
        cur_ = std::move(inbox_.front());
        inbox_.pop_front();
        pdu->hdr = cur_.hdr;
        pdu->data = cur_.data.empty() ? nullptr : cur_.data.data();
        pdu->data_len = cur_.data.size();
        pdu->iso = cur_.iso.empty() ? nullptr : cur_.iso.data();
        return 1;
    }

    int write_reply(const vbus_pdu_header &hdr, const uint8_t *, size_t, const vbus_iso_desc *,
                    uint32_t) override {
        uint64_t now = os_mono_us();
        std::lock_guard<std::mutex> g(m_);
        if (hdr.command != VBUS_RET_SUBMIT) return 0;
        if (hdr.ep == kEpPlayback || hdr.ep == kEpCapture) {
            auto &log = hdr.ep == kEpPlayback ? pb_times_ : cp_times_;
            log.push_back({now, hdr.packets});
            if (streaming_) submit_locked(hdr.ep);
        }
        return 0;
    }

    void close() override {
        std::lock_guard<std::mutex> g(m_);
        closed_ = true;
        cv_.notify_all();
    }

    void control(uint8_t bm, uint8_t req, uint16_t value, uint16_t index) {
        request r;
        r.hdr.command = VBUS_CMD_SUBMIT;
        r.hdr.seqnum = seq_++;
        r.hdr.direction = (bm & 0x80) ? VBUS_DIR_IN : VBUS_DIR_OUT;
        const uint8_t s[8] = {
            bm, req, static_cast<uint8_t>(value), 0, static_cast<uint8_t>(index), 0, 0, 0};
        memcpy(r.hdr.setup, s, sizeof s);
        std::lock_guard<std::mutex> g(m_);
        inbox_.push_back(std::move(r));
        cv_.notify_all();
    }

    void start() {
        std::lock_guard<std::mutex> g(m_);
        streaming_ = true;
        for (int i = 0; i < pb_.outstanding; i++) submit_locked(kEpPlayback);
        for (int i = 0; i < cp_.outstanding; i++) submit_locked(kEpCapture);
    }
    void stop() {
        std::lock_guard<std::mutex> g(m_);
        streaming_ = false;
    }

    struct stamp {
        uint64_t us;
        uint32_t packets;
    };
    std::vector<stamp> times(uint32_t ep) {
        std::lock_guard<std::mutex> g(m_);
        return ep == kEpPlayback ? pb_times_ : cp_times_;
    }

  private:
    void submit_locked(uint32_t ep) {
        const stream_shape &s = ep == kEpPlayback ? pb_ : cp_;
        const uint32_t pkt = 32;
        request r;
        r.hdr.command = VBUS_CMD_SUBMIT;
        r.hdr.seqnum = seq_++;
        r.hdr.direction = ep == kEpPlayback ? VBUS_DIR_OUT : VBUS_DIR_IN;
        r.hdr.ep = ep;
        r.hdr.length = s.packets * pkt;
        r.hdr.packets = s.packets;
        for (uint32_t k = 0; k < s.packets; k++) r.iso.push_back({k * pkt, pkt, 0, 0});
        if (ep == kEpPlayback) r.data.assign(r.hdr.length, 0x11);
        inbox_.push_back(std::move(r));
        cv_.notify_all();
    }

    stream_shape pb_, cp_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<request> inbox_;
    request cur_;
    bool closed_ = false, streaming_ = false;
    uint32_t seq_ = 1;
    std::vector<stamp> pb_times_, cp_times_;
};

host_bus *g_bus = nullptr;
stream_shape g_pb, g_cp;

std::unique_ptr<vbus_backend> make_bus(const char *) {
    auto b = std::make_unique<host_bus>(g_pb, g_cp);
    g_bus = b.get();
    return b;
}

double pct(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[i];
}

void report(const char *shape, const char *dir, const std::vector<host_bus::stamp> &t) {
    std::vector<double> dev;
    uint64_t t0 = t.empty() ? 0 : t[0].us;
    size_t first = 0;
    while (first < t.size() && t[first].us - t0 < kWarmupUs) first++;
    double ideal_ms = 0, drift = 0;
    for (size_t k = first + 1; k < t.size(); k++) {
        double interval = static_cast<double>(t[k].us - t[k - 1].us) / 1000.0;
        dev.push_back(std::abs(interval - t[k].packets));
        ideal_ms += t[k].packets;
        drift = static_cast<double>(t[k].us - t[first].us) / 1000.0 - ideal_ms;
    }
    printf("%-8s %-9s %8zu %9.3f %9.3f %9.3f %10.3f\n", shape, dir, dev.size(), pct(dev, 0.5),
           pct(dev, 0.99), dev.empty() ? 0.0 : *std::max_element(dev.begin(), dev.end()), drift);
}

int run_shape(const char *name, stream_shape pb, stream_shape cp, int seconds) {
    g_pb = pb;
    g_cp = cp;
    int send = -1, recv = -1;
    if (duvo_event_bus_init(&send, &recv) != 0) return -1;
    usb_lifecycle_set_backend_factory(make_bus);
    vusb_handle *h = nullptr;
    if (usb_device_init(&h, "bench", send, nullptr) != 0) return -1;
    usb_device_set_media_params(h, 0, 16000);
    if (usb_device_plugin("bench", 0x100, h, 0x1234, 0x42) != 0) return -1;
    host_bus *bus = g_bus;
    bus->control(0x01, 11, 1, 1);
    bus->control(0x01, 11, 1, 2);
    os_sleep_ms(50);
    bus->start();
    // Drains the event bus now and then so that the device's posts never block.
    for (int s = 0; s < seconds * 10; s++) {
        os_sleep_ms(100);
        duvo_event_read(
            recv, [](void *, const duvo_event *) {}, nullptr);
    }
    bus->stop();
    report(name, "playback", bus->times(kEpPlayback));
    report(name, "capture", bus->times(kEpCapture));
    usb_device_stop(h);
    usb_device_close_driver(h);
    usb_device_deinit(h);
    usb_lifecycle_set_backend_factory(nullptr);
    duvo_event_bus_close(send, recv);
    return 0;
}

// Reference: the same kind of 1 ms periodic timer with nothing behind it,
// on a thread like the pacing thread: what the machine itself allows.
void reference_timer(int seconds) {
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    itimerspec its{};
    its.it_interval.tv_nsec = 1000000;
    its.it_value.tv_nsec = 1000000;
    timerfd_settime(fd, 0, &its, nullptr);
    std::vector<host_bus::stamp> t;
    uint64_t end = os_mono_us() + static_cast<uint64_t>(seconds) * 1000000;
    std::thread th([&] {
        sched_param sp{};
        sp.sched_priority = sched_get_priority_max(SCHED_FIFO);
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
        while (os_mono_us() < end) {
            uint64_t n = 0;
            if (read(fd, &n, sizeof n) != sizeof n) break;
            t.push_back({os_mono_us(), static_cast<uint32_t>(n)});
        }
    });
    th.join();
    close(fd);
    report("timerfd", "reference", t);
}

// Only errors reach the terminal: the per-reply debug lines would distort
// the timing being measured.
void quiet(int, int level, const char *fmt, va_list ap) {
    if (level <= LL_ERR) vfprintf(stderr, fmt, ap);
}

}  // namespace

int main(int argc, char **argv) {
    int seconds = 60;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--seconds") && i + 1 < argc) {
            seconds = atoi(argv[++i]);
        } else {
            fprintf(stderr, "usage: bench_usb_pacing [--seconds N]\n");
            return 2;
        }
    }
    if (seconds < 1) seconds = 1;
    log_set_callbacks(quiet, nullptr);
    printf(
        "reply intervals over %d s per shape: |interval - N ms| in ms, drift = last reply "
        "minus its ideal time\n",
        seconds);
    printf("%-8s %-9s %8s %9s %9s %9s %10s\n", "host", "direction", "replies", "p50", "p99", "max",
           "drift_ms");
    reference_timer(seconds);
    if (run_shape("windows", {10, 2}, {10, 2}, seconds) != 0) return 1;
    if (run_shape("linux", {6, 3}, {1, 12}, seconds) != 0) return 1;
    return 0;
}
