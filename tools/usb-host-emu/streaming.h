// Isochronous streaming and interrupt polling in the request shapes of the
// two host stacks the device meets.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tools/pulse-mark/pulse_mark.h"
#include "urb_client.h"

enum class host_shape {
    windows,  // 10-packet transfers every 10 ms
    linux_,   // capture 1 packet per request, 12 outstanding; playback up to 6 packets
};

struct stream_stats {
    uint64_t submitted = 0, replies = 0, errors = 0, bytes = 0;
    double min_ms = 0, max_ms = 0, sum_ms = 0;
    uint64_t intervals = 0;
    uint64_t last_us = 0;
    void reply(uint64_t at_us, uint32_t bytes_done, bool error);
    std::string line(const char *name) const;
};

struct stream_config {
    host_shape shape = host_shape::windows;
    int seconds = 5;
    bool play = false, capture = false, hid_poll = false;
    std::vector<int16_t> source;  // playback samples
    bool loop_source = true;      // a tone repeats; a file plays once, then silence
    uint8_t pb_ep = 0x01, cp_ep = 0x82, int_ep = 0x83;
    uint16_t pb_packet = 32, cp_packet = 32, int_packet = 8;
    int rate = 16000;          // samples per second, for the onset detectors
    bool mark_onsets = false;  // note pulse onsets played and captured
};

// A pulse onset in a request handed to the device (playback) or in a reply
// taken from it (capture).
struct onset_stamp {
    uint64_t mono_us = 0;  // playback: the submission was written; capture: the reply arrived
    uint32_t seqnum = 0;
    uint32_t offset = 0;    // sample offset of the onset in the request's audio
    uint64_t reply_us = 0;  // playback: the device's reply arrived (0: none)
    // Playback: when the device's slot reached the onset sample, taking the
    // reply as the end of the request's packets, one per millisecond.
    uint64_t due_us = 0;
};

struct stream_result {
    stream_stats playback, capture, hid;
    std::vector<int16_t> captured;
    std::vector<std::vector<uint8_t>> hid_reports;
    int unlinked = 0;  // requests unlinked at the end, as a host does on stop
    std::vector<onset_stamp> play_onsets, capture_onsets;
};

// Runs for cfg.seconds. 0, or -1 when the connection failed.
int run_streams(urb_client &c, const stream_config &cfg, stream_result *out);
