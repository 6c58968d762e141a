#include "media/dsp/jb_peak_detector.h"

#include <algorithm>

void jb_peak_detector_reset(jb_peak_detector *pd) {
    pd->count = 0;
    pd->seen_any = 0;
    pd->since_ms = 0;
}

void jb_peak_detector_advance(jb_peak_detector *pd, int ms) {
    // Saturate far beyond any period that matters.
    if (pd->since_ms < 4LL * k_jb_peak_max_period_ms) pd->since_ms += ms;
}

int jb_peak_detector_update(jb_peak_detector *pd, int iat_packets, int target_packets) {
    const int threshold = target_packets + std::max(target_packets, k_jb_peak_min_excess_packets);
    if (iat_packets < threshold) return 0;

    if (!pd->seen_any || pd->since_ms > k_jb_peak_max_period_ms) {
        // First peak, or the previous one is too long ago to relate: start over.
        pd->count = 0;
        pd->seen_any = 1;
        pd->since_ms = 0;
        pd->entries[0] = {static_cast<int16_t>(iat_packets), k_jb_peak_max_period_ms};
        pd->count = 1;
        return 1;
    }
    if (pd->count == k_jb_peak_history) {
        std::copy(pd->entries + 1, pd->entries + k_jb_peak_history, pd->entries);
        pd->count--;
    }
    pd->entries[pd->count++] = {static_cast<int16_t>(iat_packets),
                                static_cast<int32_t>(pd->since_ms)};
    pd->since_ms = 0;
    return 1;
}

int jb_peak_detector_level(const jb_peak_detector *pd) {
    if (pd->count < k_jb_peak_min_count) return 0;
    int max_period = 0;
    int max_height = 0;
    // The first entry's period is unknown (it opened the series); skip it.
    for (int i = 1; i < pd->count; ++i) max_period = std::max(max_period, pd->entries[i].period_ms);
    for (int i = 0; i < pd->count; ++i)
        max_height = std::max<int>(max_height, pd->entries[i].height_packets);
    if (pd->since_ms > 2LL * max_period) return 0;  // the pattern has stopped
    return max_height;
}
