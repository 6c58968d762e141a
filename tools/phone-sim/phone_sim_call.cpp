#include "tools/phone-sim/phone_sim_call.h"

#include <time.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "tools/phone-sim-media/phone_media.h"
#include "tools/pulse-mark/pulse_mark.h"

namespace {

constexpr int TONE_AMPLITUDE = 8000;
constexpr long FRAME_NS = PHONE_MEDIA_PACKET_MS * 1000000L;
constexpr size_t KEY_LINE_MAX = 160;

bool all_zero_key(const std::string &line) {
    // A PC with SRTP off announces a key of zeros.
    size_t at = line.find("inline:");
    if (at == std::string::npos) return line.empty();
    for (size_t i = at + 7; i < line.size(); ++i)
        if (line[i] != 'A' && line[i] != '=') return false;
    return true;
}

}  // namespace

struct phone_sim_call {
    phone_sim_options opts;
    phone_sim_printer printer;
    std::mutex lock;  // the hooks come from the session thread, the media from its own
    phone_media *media = nullptr;
    std::thread pump;
    std::atomic<bool> running{false};
    bool srtp = false;
    std::string pc_key;
    int calls = 0;  // streams started so far

    // The first call is saved under the given name, later ones as NAME-2.wav, ...
    std::string record_path() const {
        if (calls <= 1) return opts.record_path;
        std::string p = opts.record_path;
        size_t dot = p.rfind('.');
        std::string suffix = "-" + std::to_string(calls);
        if (dot == std::string::npos || p.find('/', dot) != std::string::npos) return p + suffix;
        return p.substr(0, dot) + suffix + p.substr(dot);
    }

    void stop(const char *why) {
        std::lock_guard<std::mutex> g(lock);
        if (!media) return;
        running = false;
        if (pump.joinable()) pump.join();
        phone_media_stats st = phone_media_get_stats(media);
        if (!opts.media_timestamps.empty()) save_onsets();
        phone_sim_print(&printer,
                        "# media stopped (%s): sent %llu received %llu auth_failures %llu "
                        "gaps %llu",
                        why, (unsigned long long)st.packets_sent,
                        (unsigned long long)st.packets_received,
                        (unsigned long long)st.auth_failures, (unsigned long long)st.seq_gaps);
        if (!opts.record_path.empty()) {
            std::string path = record_path();
            if (phone_media_save_wav(media, path.c_str()) == 0)
                phone_sim_print(&printer, "# media recorded to %s", path.c_str());
            else
                phone_sim_print(&printer, "! media: cannot write %s", path.c_str());
        }
        phone_media_destroy(media);
        media = nullptr;
    }

    // Appends this stream's pulse onsets, one line each: "sent|received
    // <monotonic us> <seq> <sample offset in the packet>", after a line
    // "# stream N".
    void save_onsets() {
        FILE *f = fopen(opts.media_timestamps.c_str(), "a");
        if (!f) {
            phone_sim_print(&printer, "! media: cannot write %s", opts.media_timestamps.c_str());
            return;
        }
        const auto &onsets = phone_media_onsets(media);
        fprintf(f, "# stream %d\n", calls);
        for (const phone_media_onset &o : onsets)
            fprintf(f, "%s %llu %u %u\n", o.received ? "received" : "sent",
                    (unsigned long long)o.mono_us, unsigned(o.seq), unsigned(o.offset));
        if (fclose(f) != 0)
            phone_sim_print(&printer, "! media: cannot write %s", opts.media_timestamps.c_str());
        else
            phone_sim_print(&printer, "# media onsets (%zu) appended to %s", onsets.size(),
                            opts.media_timestamps.c_str());
    }

    // Sends one packet every 10 ms on an absolute schedule and takes what
    // arrives as it arrives, so that the receive times are those of the wire.
    void run() {
        timespec next;
        clock_gettime(CLOCK_MONOTONIC, &next);
        while (running) {
            phone_media_send_frame(media);
            next.tv_nsec += FRAME_NS;
            if (next.tv_nsec >= 1000000000L) {
                next.tv_nsec -= 1000000000L;
                next.tv_sec += 1;
            }
            for (;;) {
                timespec now;
                clock_gettime(CLOCK_MONOTONIC, &now);
                long left_ms =
                    (next.tv_sec - now.tv_sec) * 1000 + (next.tv_nsec - now.tv_nsec) / 1000000;
                if (left_ms <= 0) break;
                phone_media_receive(media, int(left_ms));
            }
            phone_media_receive(media, 0);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        }
    }

    int start(const phone_sim_device_active *req, phone_sim_call_start *answer) {
        stop("restarted");
        std::lock_guard<std::mutex> g(lock);
        int rate = req->codec_samplerate > 0 ? req->codec_samplerate : opts.codec_samplerate;
        std::string why;
        media = phone_media_create(opts.bind_addr.c_str(), 0, rate, &why);
        if (!media) {
            phone_sim_print(&printer, "! media: %s", why.c_str());
            return 0;
        }
        // The connection's peer may be written "address:port"; RTP goes to the address.
        std::string pc_ip = req->pc_ip.substr(0, req->pc_ip.find(':'));
        if (phone_media_set_remote(media, pc_ip.c_str(), int(req->pc_rtp_port)) != 0)
            phone_sim_print(&printer, "! media: bad PC address %s", pc_ip.c_str());
        srtp = !all_zero_key(req->srtp_key);
        pc_key = req->srtp_key;
        char own[KEY_LINE_MAX] = "";
        if (srtp && phone_media_make_key_line(own, sizeof own) != 0) {
            phone_sim_print(&printer, "! media: no key line");
            phone_media_destroy(media);
            media = nullptr;
            return 0;
        }
        if (phone_media_set_keys(media, own, srtp ? pc_key.c_str() : "") != 0) {
            phone_sim_print(&printer, "! media: key line refused: %s", pc_key.c_str());
            phone_media_destroy(media);
            media = nullptr;
            return 0;
        }
        if (opts.media_pulse_ms > 0) {
            phone_media_source_samples(media, pulse_period(rate, opts.media_pulse_ms));
            phone_sim_print(&printer, "# media source pulses every %d ms", opts.media_pulse_ms);
        } else {
            if (!opts.media_wav.empty()) {
                if (phone_media_source_wav(media, opts.media_wav.c_str(), &why) != 0)
                    phone_sim_print(&printer, "! media: %s; playing the tone", why.c_str());
                else
                    phone_sim_print(&printer, "# media source %s", opts.media_wav.c_str());
            }
            if (opts.media_wav.empty() || !why.empty())
                phone_media_source_tone(media, opts.media_tone_hz, TONE_AMPLITUDE);
        }
        phone_media_track_onsets(media, !opts.media_timestamps.empty());
        answer->rtp_port = uint32_t(phone_media_local_port(media));
        answer->srtp_key = own;
        phone_sim_print(&printer, "# media started: port %u to %s:%u at %d Hz, srtp %s",
                        answer->rtp_port, pc_ip.c_str(), req->pc_rtp_port, rate,
                        srtp ? "on" : "off");
        ++calls;
        running = true;
        pump = std::thread(&phone_sim_call::run, this);
        return 1;
    }

    void rekey() {
        std::lock_guard<std::mutex> g(lock);
        if (!media || !srtp) {
            phone_sim_print(&printer, "! rekey: no SRTP stream");
            return;
        }
        char own[KEY_LINE_MAX];
        if (phone_media_make_key_line(own, sizeof own) != 0) return;
        // The pump is paused around the key change: one thread uses the media at a time.
        running = false;
        if (pump.joinable()) pump.join();
        phone_media_set_keys(media, own, pc_key.c_str());
        running = true;
        pump = std::thread(&phone_sim_call::run, this);
        phone_sim_print(&printer, "# media re-keyed without telling the PC");
    }
};

phone_sim_call *phone_sim_call_create(const phone_sim_options *opts,
                                      const phone_sim_printer *printer) {
    if (phone_media_library_init() != 0) return nullptr;
    phone_sim_call *c = new phone_sim_call;
    c->opts = *opts;
    c->printer = *printer;
    return c;
}

void phone_sim_call_destroy(phone_sim_call *call) {
    if (!call) return;
    call->stop("simulator ends");
    delete call;
}

phone_sim_media_hooks phone_sim_call_hooks(phone_sim_call *call) {
    phone_sim_media_hooks h{};
    h.device_active = [](void *ctx, const phone_sim_device_active *req,
                         phone_sim_call_start *answer) {
        return static_cast<phone_sim_call *>(ctx)->start(req, answer);
    };
    h.device_un_active = [](void *ctx) { static_cast<phone_sim_call *>(ctx)->stop("PC closed"); };
    h.connection_closed = [](void *ctx) {
        static_cast<phone_sim_call *>(ctx)->stop("connection closed");
    };
    h.rekey = [](void *ctx) { static_cast<phone_sim_call *>(ctx)->rekey(); };
    h.ctx = call;
    return h;
}
