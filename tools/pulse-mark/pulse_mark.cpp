#include "tools/pulse-mark/pulse_mark.h"

#include <cmath>
#include <cstdlib>

namespace {
constexpr double kTwoPi = 6.283185307179586;
constexpr int kMinRate = 8000;
constexpr int kMaxRate = 48000;
}  // namespace

std::vector<int16_t> pulse_period(int rate, int period_ms) {
    if (rate < kMinRate || rate > kMaxRate || period_ms < PULSE_MIN_PERIOD_MS ||
        period_ms > PULSE_MAX_PERIOD_MS)
        return {};
    std::vector<int16_t> out(static_cast<size_t>(rate) / 1000 * static_cast<size_t>(period_ms), 0);
    size_t burst = static_cast<size_t>(rate) / 1000 * PULSE_BURST_MS;
    // A quarter-period phase puts the peak on the first sample: the onset is
    // the burst's first sample, not one a few samples in.
    for (size_t i = 0; i < burst; i++)
        out[i] = static_cast<int16_t>(std::lround(
            PULSE_AMPLITUDE * std::cos(kTwoPi * PULSE_BURST_HZ * static_cast<double>(i) / rate)));
    return out;
}

void pulse_detector_init(pulse_detector *d, int rate) {
    *d = pulse_detector{};
    // The stream's start is not quiet: a stream that begins inside a burst
    // must not report that burst's middle as its onset.
    d->quiet_needed = static_cast<uint64_t>(rate) / 1000 * PULSE_QUIET_MS;
}

int pulse_detector_feed(pulse_detector *d, const int16_t *samples, size_t n,
                        std::vector<size_t> *onsets) {
    int found = 0;
    for (size_t i = 0; i < n; i++) {
        if (std::abs(static_cast<int>(samples[i])) < d->threshold) {
            d->quiet++;
            continue;
        }
        if (d->quiet >= d->quiet_needed) {
            found++;
            if (onsets) onsets->push_back(i);
        }
        d->quiet = 0;
    }
    d->position += n;
    return found;
}
