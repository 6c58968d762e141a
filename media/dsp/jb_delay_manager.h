// Inter-arrival statistics of the jitter buffer and the target buffer level
// derived from them. Arrival time is measured in output samples played, so
// tests drive it by advancing the engine's own clock.
#pragma once

#include <cstdint>

#include "media/dsp/jb_peak_detector.h"

constexpr int k_jb_iat_bins = 65;  // inter-arrival times 0..64 packets
constexpr int k_jb_iat_max = k_jb_iat_bins - 1;
constexpr int32_t k_jb_prob_one_q30 = 1 << 30;  // histogram probabilities, Q30
// Forgetting weight of the histogram, Q15; it starts at 0 and approaches this.
constexpr int32_t k_jb_forget_base_q15 = 32748;
// Tail probability allowed above the target: 5 % in Q30.
constexpr int32_t k_jb_quantile_tail_q30 = 53687091;
// Target level is in packets, Q8.
constexpr int k_jb_q8_one = 256;

struct jb_delay_config {
    int min_delay_ms;
    int max_delay_ms;
    int start_delay_ms;
    int slot_count;              // packet buffer slots; the target stays below 3/4 of them
    int out_rate_hz;             // output samples per second
    int rtp_rate_hz;             // RTP clock
    int default_packet_samples;  // packet duration (output samples) before two packets were seen
};

struct jb_delay_manager {
    jb_delay_config cfg;
    int32_t hist_q30[k_jb_iat_bins];
    int32_t forget_q15;
    int quantile_packets;  // from the histogram
    int base_q8;           // target from the histogram and the floor, without peaks
    int target_q8;         // final target, packets Q8
    int packet_samples;    // packet duration in output samples
    int samples_since_arrival;
    int have_last;
    uint16_t last_seq;
    uint32_t last_ts;
    int sub_ms_samples;  // output samples not yet counted as whole ms for the peak clock
    jb_peak_detector peaks;
};

void jb_delay_manager_reset(jb_delay_manager *dm, const jb_delay_config *cfg);

// Forgets the previous packet (a new stream starts) but keeps the statistics.
void jb_delay_manager_restart_stream(jb_delay_manager *dm);

// Output samples were played.
void jb_delay_manager_advance(jb_delay_manager *dm, int samples);

// A packet arrived. Returns the inter-arrival time (packets) it produced, or -1
// for the first packet of a stream.
int jb_delay_manager_update(jb_delay_manager *dm, uint16_t seq, uint32_t ts);

inline int jb_delay_manager_target_q8(const jb_delay_manager *dm) {
    return dm->target_q8;
}
inline int jb_delay_manager_packet_samples(const jb_delay_manager *dm) {
    return dm->packet_samples;
}

// Milliseconds converted to packets (Q8) with the current packet duration.
int jb_delay_manager_ms_to_q8(const jb_delay_manager *dm, int ms);
