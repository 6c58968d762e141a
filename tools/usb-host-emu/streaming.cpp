#include "streaming.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <set>

#include "platform/os/os_time.h"

namespace {

constexpr int FRAME_MS = 10;
constexpr uint32_t WINDOWS_PACKETS = 10;
constexpr int WINDOWS_MAX_OUTSTANDING = 3;  // transfers queued ahead per direction
constexpr int LINUX_CAPTURE_URBS = 12;
constexpr uint32_t LINUX_PLAYBACK_PACKETS = 6;
constexpr int LINUX_PLAYBACK_URBS = 4;
constexpr int DRAIN_MS = 1000;  // time given to outstanding requests after the end
constexpr int UNLINK_WAIT_MS = 1000;
constexpr uint64_t US_PER_PACKET = 1000;  // one isochronous packet per 1 ms frame
constexpr uint64_t US_PER_S = 1000000;

class streamer {
  public:
    streamer(urb_client &c, const stream_config &cfg, stream_result *out)
        : c_(c), cfg_(cfg), out_(out) {
        pulse_detector_init(&pb_pulses_, cfg.rate);
        pulse_detector_init(&cp_pulses_, cfg.rate);
    }

    int run() {
        const uint64_t end = os_mono_ms() + static_cast<uint64_t>(cfg_.seconds) * 1000;
        if (cfg_.hid_poll) submit_hid();
        if (cfg_.shape == host_shape::linux_) {
            for (int i = 0; i < LINUX_CAPTURE_URBS && cfg_.capture; i++) submit_capture(1);
            for (int i = 0; i < LINUX_PLAYBACK_URBS && cfg_.play; i++)
                submit_playback(LINUX_PLAYBACK_PACKETS);
            while (os_mono_ms() < end && c_.alive()) os_sleep_ms(FRAME_MS);
        } else {
            uint64_t next = os_mono_ms();
            while (next < end && c_.alive()) {
                if (cfg_.play && outstanding(pb_seqs_) < WINDOWS_MAX_OUTSTANDING)
                    submit_playback(WINDOWS_PACKETS);
                if (cfg_.capture && outstanding(cp_seqs_) < WINDOWS_MAX_OUTSTANDING)
                    submit_capture(WINDOWS_PACKETS);
                next += FRAME_MS;
                uint64_t now = os_mono_ms();
                if (next > now) os_sleep_ms(static_cast<unsigned>(next - now));
            }
        }
        running_ = false;
        // Outstanding audio is answered at the device's pace; what is left
        // after that is unlinked, as a host does when it stops a stream.
        const uint64_t drain_end = os_mono_ms() + DRAIN_MS;
        while (os_mono_ms() < drain_end && c_.alive() &&
               (outstanding(pb_seqs_) || outstanding(cp_seqs_)))
            os_sleep_ms(FRAME_MS);
        for (auto *set : {&pb_seqs_, &cp_seqs_, &hid_seqs_}) {
            std::set<uint32_t> left;
            {
                std::lock_guard<std::mutex> lk(mu_);
                left = *set;
            }
            for (uint32_t s : left) {
                if (c_.unlink(s, UNLINK_WAIT_MS) != 0) out_->unlinked++;
                std::lock_guard<std::mutex> lk(mu_);
                set->erase(s);
            }
        }
        return c_.alive() ? 0 : -1;
    }

  private:
    size_t outstanding(const std::set<uint32_t> &s) {
        std::lock_guard<std::mutex> lk(mu_);
        return s.size();
    }

    static std::vector<vbus_iso_desc> packets(uint32_t n, uint16_t size) {
        std::vector<vbus_iso_desc> iso(n);
        for (uint32_t i = 0; i < n; i++) iso[i] = {i * size, size, 0, 0};
        return iso;
    }

    // Called with mu_ held, in the order the audio was made or taken.
    static void note_onsets(pulse_detector *d, const std::vector<int16_t> &audio, uint64_t at_us,
                            uint32_t seq, std::vector<onset_stamp> *out) {
        std::vector<size_t> found;
        pulse_detector_feed(d, audio.data(), audio.size(), &found);
        for (size_t off : found) out->push_back({at_us, seq, static_cast<uint32_t>(off)});
    }

    void submit_playback(uint32_t n) {
        urb_request r;
        r.dir = VBUS_DIR_OUT;
        r.ep = cfg_.pb_ep & 0x0f;
        r.iso = packets(n, cfg_.pb_packet);
        r.length = n * cfg_.pb_packet;
        r.out.resize(r.length);
        std::vector<int16_t> audio;
        for (size_t i = 0; i + 1 < r.out.size(); i += 2) {
            int16_t v = 0;
            if (!cfg_.source.empty() && (cfg_.loop_source || src_pos_ < cfg_.source.size()))
                v = cfg_.source[src_pos_++ % cfg_.source.size()];
            if (cfg_.mark_onsets) audio.push_back(v);
            r.out[i] = static_cast<uint8_t>(v);
            r.out[i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8);
        }
        std::lock_guard<std::mutex> lk(mu_);
        uint32_t seq = c_.submit(r, [this, n](uint32_t s, const urb_result &res) {
            {
                std::lock_guard<std::mutex> lk2(mu_);
                pb_seqs_.erase(s);
                out_->playback.reply(res.done_us, res.actual, res.status != 0);
                // The reply tells when the device finished with the request's audio.
                for (auto it = out_->play_onsets.rbegin();
                     it != out_->play_onsets.rend() && it->seqnum >= s; ++it)
                    if (it->seqnum == s) {
                        it->reply_us = res.done_us;
                        it->due_us = res.done_us - n * US_PER_PACKET +
                                     it->offset * US_PER_S / static_cast<uint64_t>(cfg_.rate);
                    }
            }
            if (running_ && cfg_.shape == host_shape::linux_) submit_playback(n);
        });
        if (seq) {
            pb_seqs_.insert(seq);
            out_->playback.submitted++;
            // submit() returns once the request is written: the device has it.
            if (cfg_.mark_onsets)
                note_onsets(&pb_pulses_, audio, os_mono_us(), seq, &out_->play_onsets);
        }
    }

    void submit_capture(uint32_t n) {
        urb_request r;
        r.dir = VBUS_DIR_IN;
        r.ep = cfg_.cp_ep & 0x0f;
        r.iso = packets(n, cfg_.cp_packet);
        r.length = n * cfg_.cp_packet;
        std::lock_guard<std::mutex> lk(mu_);
        uint32_t seq = c_.submit(r, [this, n](uint32_t s, const urb_result &res) {
            {
                std::lock_guard<std::mutex> lk2(mu_);
                cp_seqs_.erase(s);
                out_->capture.reply(res.done_us, res.actual, res.status != 0);
                size_t first = out_->captured.size();
                for (const auto &d : res.iso)
                    for (uint32_t k = 0; k + 1 < d.actual_length; k += 2) {
                        const uint8_t *p = res.data.data() + d.offset + k;
                        out_->captured.push_back(static_cast<int16_t>(p[0] | p[1] << 8));
                    }
                if (cfg_.mark_onsets) {
                    std::vector<int16_t> audio(out_->captured.begin() + first,
                                               out_->captured.end());
                    note_onsets(&cp_pulses_, audio, res.done_us, s, &out_->capture_onsets);
                }
            }
            if (running_ && cfg_.shape == host_shape::linux_) submit_capture(n);
        });
        if (seq) {
            cp_seqs_.insert(seq);
            out_->capture.submitted++;
        }
    }

    void submit_hid() {
        urb_request r;
        r.dir = VBUS_DIR_IN;
        r.ep = cfg_.int_ep & 0x0f;
        r.length = cfg_.int_packet;
        std::lock_guard<std::mutex> lk(mu_);
        uint32_t seq = c_.submit(r, [this](uint32_t s, const urb_result &res) {
            {
                std::lock_guard<std::mutex> lk2(mu_);
                hid_seqs_.erase(s);
                out_->hid.reply(res.done_us, res.actual, res.status != 0);
                if (res.status == 0) out_->hid_reports.push_back(res.data);
            }
            std::string hex;
            char b[4];
            for (uint8_t v : res.data) {
                snprintf(b, sizeof b, "%02x ", v);
                hex += b;
            }
            if (!hex.empty()) hex.pop_back();
            printf("hid-in: %s\n", hex.c_str());
            fflush(stdout);
            if (running_) submit_hid();
        });
        if (seq) {
            hid_seqs_.insert(seq);
            out_->hid.submitted++;
        }
    }

    urb_client &c_;
    const stream_config &cfg_;
    stream_result *out_;
    std::atomic<bool> running_{true};
    std::mutex mu_;
    std::set<uint32_t> pb_seqs_, cp_seqs_, hid_seqs_;
    size_t src_pos_ = 0;
    pulse_detector pb_pulses_, cp_pulses_;
};

}  // namespace

void stream_stats::reply(uint64_t at_us, uint32_t bytes_done, bool error) {
    replies++;
    bytes += bytes_done;
    if (error) errors++;
    if (last_us) {
        double ms = static_cast<double>(at_us - last_us) / 1000.0;
        min_ms = intervals ? std::min(min_ms, ms) : ms;
        max_ms = std::max(max_ms, ms);
        sum_ms += ms;
        intervals++;
    }
    last_us = at_us;
}

std::string stream_stats::line(const char *name) const {
    char buf[256];
    snprintf(buf, sizeof buf,
             "%s: requests %llu replies %llu errors %llu bytes %llu interval_ms min %.1f avg %.1f "
             "max %.1f",
             name, static_cast<unsigned long long>(submitted),
             static_cast<unsigned long long>(replies), static_cast<unsigned long long>(errors),
             static_cast<unsigned long long>(bytes), min_ms, intervals ? sum_ms / intervals : 0.0,
             max_ms);
    return buf;
}

int run_streams(urb_client &c, const stream_config &cfg, stream_result *out) {
    streamer s(c, cfg, out);
    return s.run();
}
