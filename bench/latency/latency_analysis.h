// Latency from pulse onsets: the onset logs of phone-sim and usb-host-emu
// are read, the onsets sent in one direction are paired in order with those
// received at the other end, and the per-pulse latencies are summarised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One onset line of either tool; kind is "sent", "received", "play" or
// "capture". A played onset also has the device's reply time and the time the
// device's slot reached the onset (both 0: no reply).
struct onset_line {
    std::string kind;
    uint64_t mono_us = 0;
    uint64_t reply_us = 0;
    uint64_t due_us = 0;
};

// Reads an onset log; "#" lines are skipped, a malformed line is counted in
// *bad and skipped. -1 when the file cannot be opened, else the lines read.
int read_onset_log(const std::string &path, std::vector<onset_line> *out, int *bad);

// The times of one kind, in time order, between from_us and to_us (inclusive).
std::vector<uint64_t> onset_times(const std::vector<onset_line> &lines, const std::string &kind,
                                  uint64_t from_us = 0, uint64_t to_us = UINT64_MAX);

// Pairs sent and received onsets by order: each sent onset takes the first
// received onset not yet taken that is not earlier than it and lies less than
// window_us after it; one that finds none is lost. Received onsets that
// belong to no sent one (a stream joined mid-way) are skipped. Both lists in
// time order. Returns the latencies in microseconds, in order; *lost (may be
// null) counts the sent onsets left unpaired.
std::vector<int64_t> pair_onsets(const std::vector<uint64_t> &sent,
                                 const std::vector<uint64_t> &received, uint64_t window_us,
                                 size_t *lost);

struct latency_summary {
    size_t n = 0;
    double p50_ms = 0, p95_ms = 0, max_ms = 0;
};

// Nearest-rank percentiles of the latencies.
latency_summary summarise(std::vector<int64_t> latencies_us);
