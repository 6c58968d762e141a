// Marked sounds for latency measurements. A pulse train is silence with a
// short burst of tone at the start of every period; the onset detector finds
// the first loud sample after a long enough quiet stretch, so one burst gives
// one onset however it is cut into packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr int PULSE_BURST_MS = 5;          // length of each burst
constexpr double PULSE_BURST_HZ = 1000.0;  // tone inside the burst
constexpr int PULSE_AMPLITUDE = 16000;     // peak of the burst
constexpr int PULSE_THRESHOLD = 4000;      // a sample this loud or louder is sound
constexpr int PULSE_QUIET_MS = 50;         // quiet needed before the next onset
constexpr int PULSE_MIN_PERIOD_MS = 2 * PULSE_QUIET_MS;
constexpr int PULSE_MAX_PERIOD_MS = 10000;

// One period of the train at rate: the burst first, then silence. Empty when
// the rate or the period is out of range.
std::vector<int16_t> pulse_period(int rate, int period_ms);

// Finds onsets in a stream fed block by block.
struct pulse_detector {
    int threshold = PULSE_THRESHOLD;
    uint64_t quiet_needed = 0;  // samples
    uint64_t quiet = 0;         // quiet samples seen since the last loud one
    uint64_t position = 0;      // samples fed so far
};

void pulse_detector_init(pulse_detector *d, int rate);
// Feeds n samples; appends the block offset of every onset in them to
// *onsets (may be null to count only). Returns the number of onsets found.
int pulse_detector_feed(pulse_detector *d, const int16_t *samples, size_t n,
                        std::vector<size_t> *onsets);
