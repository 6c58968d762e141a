#include "media/dsp/jb_delay_manager.h"

#include <algorithm>

namespace {

// The target never exceeds this share of the packet buffer (3/4).
constexpr int k_target_slot_share_num = 3;
constexpr int k_target_slot_share_den = 4;

int quantile_packets(const int32_t *hist) {
    int64_t tail = 0;
    for (int n = k_jb_iat_max; n > 0; --n) {
        if (tail + hist[n] > k_jb_quantile_tail_q30) return n;
        tail += hist[n];
    }
    return 0;
}

void recompute_target(jb_delay_manager *dm) {
    const jb_delay_config &c = dm->cfg;
    const int floor_q8 = jb_delay_manager_ms_to_q8(dm, c.start_delay_ms - c.min_delay_ms);
    dm->base_q8 = std::max(dm->quantile_packets * k_jb_q8_one, floor_q8);
    int target = std::max(dm->base_q8, jb_peak_detector_level(&dm->peaks) * k_jb_q8_one);
    target += jb_delay_manager_ms_to_q8(dm, c.min_delay_ms);
    target = std::min(target, jb_delay_manager_ms_to_q8(dm, c.max_delay_ms));
    target = std::min(
        target, c.slot_count * k_target_slot_share_num * k_jb_q8_one / k_target_slot_share_den);
    dm->target_q8 = std::max(target, k_jb_q8_one);  // nothing plays with less than a packet
}

void histogram_add(jb_delay_manager *dm, int iat) {
    // The weight grows towards its base by a quarter of the distance (rounded up),
    // so the first packets reshape the histogram quickly.
    dm->forget_q15 += (k_jb_forget_base_q15 - dm->forget_q15 + 3) >> 2;
    int64_t sum = 0;
    for (int i = 0; i < k_jb_iat_bins; ++i) {
        dm->hist_q30[i] =
            static_cast<int32_t>((static_cast<int64_t>(dm->hist_q30[i]) * dm->forget_q15) >> 15);
        sum += dm->hist_q30[i];
    }
    // Whatever the decay took (including rounding) goes to the new bin: the sum stays one.
    dm->hist_q30[iat] += static_cast<int32_t>(k_jb_prob_one_q30 - sum);
}

}  // namespace

int jb_delay_manager_ms_to_q8(const jb_delay_manager *dm, int ms) {
    if (ms <= 0 || dm->packet_samples <= 0) return 0;
    return static_cast<int>(static_cast<int64_t>(ms) * k_jb_q8_one * dm->cfg.out_rate_hz /
                            (1000LL * dm->packet_samples));
}

void jb_delay_manager_reset(jb_delay_manager *dm, const jb_delay_config *cfg) {
    dm->cfg = *cfg;
    // Geometric start: bin i holds 2^-(i+1); the rounding remainder goes to bin 0.
    int64_t sum = 0;
    for (int i = 0; i < k_jb_iat_bins; ++i) {
        dm->hist_q30[i] = i < 30 ? (1 << (29 - i)) : 0;
        sum += dm->hist_q30[i];
    }
    dm->hist_q30[0] += static_cast<int32_t>(k_jb_prob_one_q30 - sum);
    dm->forget_q15 = 0;
    dm->quantile_packets = quantile_packets(dm->hist_q30);
    dm->packet_samples = cfg->default_packet_samples > 0 ? cfg->default_packet_samples : 1;
    dm->samples_since_arrival = 0;
    dm->have_last = 0;
    dm->last_seq = 0;
    dm->last_ts = 0;
    dm->sub_ms_samples = 0;
    jb_peak_detector_reset(&dm->peaks);
    recompute_target(dm);
}

void jb_delay_manager_restart_stream(jb_delay_manager *dm) {
    dm->have_last = 0;
    dm->samples_since_arrival = 0;
}

void jb_delay_manager_advance(jb_delay_manager *dm, int samples) {
    if (dm->samples_since_arrival < (1 << 30) - samples) dm->samples_since_arrival += samples;
    const int per_ms = std::max(1, dm->cfg.out_rate_hz / 1000);
    dm->sub_ms_samples += samples;
    jb_peak_detector_advance(&dm->peaks, dm->sub_ms_samples / per_ms);
    dm->sub_ms_samples %= per_ms;
}

int jb_delay_manager_update(jb_delay_manager *dm, uint16_t seq, uint32_t ts) {
    if (!dm->have_last) {
        dm->have_last = 1;
        dm->last_seq = seq;
        dm->last_ts = ts;
        dm->samples_since_arrival = 0;
        return -1;
    }
    const int seq_step = static_cast<int16_t>(static_cast<uint16_t>(seq - dm->last_seq));
    const int32_t ts_step = static_cast<int32_t>(ts - dm->last_ts);
    if (seq_step > 0 && ts_step > 0) {
        // Packet duration in output samples, from the RTP clock.
        const int64_t rtp_per_packet = ts_step / seq_step;
        const int64_t out = rtp_per_packet * dm->cfg.out_rate_hz / std::max(1, dm->cfg.rtp_rate_hz);
        if (out > 0 && out <= dm->cfg.out_rate_hz) dm->packet_samples = static_cast<int>(out);
    }

    int iat = dm->samples_since_arrival / dm->packet_samples;
    if (seq_step > 1) {
        iat = std::max(0, iat - (seq_step - 1));
    } else if (seq_step <= 0) {
        iat += -seq_step + 1;
    }
    iat = std::min(iat, k_jb_iat_max);

    histogram_add(dm, iat);
    dm->quantile_packets = quantile_packets(dm->hist_q30);
    // Peaks are judged against the target without them, or a raised target would hide the next one.
    jb_peak_detector_update(&dm->peaks, iat, dm->base_q8 / k_jb_q8_one);
    recompute_target(dm);

    dm->samples_since_arrival = 0;
    if (seq_step > 0) {
        dm->last_seq = seq;
        dm->last_ts = ts;
    }
    return iat;
}
