// Remembers delay peaks (inter-arrival times well above the target) and tells
// when they recur often enough that the target should cover them.
#pragma once

#include <cstdint>

constexpr int k_jb_peak_history = 8;
// A peak is at least this many packets above the target, and at least twice it.
constexpr int k_jb_peak_min_excess_packets = 2;
// Peaks further apart than this (ms) do not form a pattern; history restarts.
constexpr int k_jb_peak_max_period_ms = 10000;
// Entries needed before peak mode can start.
constexpr int k_jb_peak_min_count = 2;

struct jb_peak_entry {
    int16_t height_packets;
    int32_t period_ms;  // time since the peak before it
};

struct jb_peak_detector {
    jb_peak_entry entries[k_jb_peak_history];
    int count;         // valid entries, newest at index count-1
    int seen_any;      // 1 once a first peak started the clock
    int64_t since_ms;  // time since the last peak
};

void jb_peak_detector_reset(jb_peak_detector *pd);

// Time passes (output played).
void jb_peak_detector_advance(jb_peak_detector *pd, int ms);

// Feeds one inter-arrival time; returns 1 when it was a peak.
int jb_peak_detector_update(jb_peak_detector *pd, int iat_packets, int target_packets);

// Highest remembered peak in packets while peaks recur, else 0.
int jb_peak_detector_level(const jb_peak_detector *pd);
