// The receive context of libdsp: RTP packets in (any number per 10 ms), one
// 10 ms PCM frame out per process call, with jitter buffering, concealment and
// time stretching in between. Reached through dsp_rx_engine (dsp_engine.h).
#pragma once

#include <cstdint>

#include "media/dsp/dsp_engine.h"

// Counters of a receive context since its last reset.
struct dsp_rx_stats {
    uint32_t packets_accepted;
    uint32_t invalid;       // unparsable datagrams, wrong kind, not running
    uint32_t late;          // frames older than the playout point, discarded
    uint32_t duplicates;    // frames whose timestamp was already buffered
    uint32_t overflows;     // frames refused for want of a slot
    uint32_t too_large;     // frames larger than a slot
    uint32_t other_pt;      // dropped for their payload type (option)
    uint32_t foreign_ssrc;  // dropped for their SSRC (option)
    uint32_t decoder_start_failures;
    uint32_t decode_errors;   // frames that failed to decode (faded)
    uint32_t decoder_resets;  // after long concealment
    uint32_t stream_starts;   // first stream and every SSRC change
    uint32_t normals;
    uint32_t merges;
    uint32_t expands;  // frames concealed
    uint32_t accelerates;
    uint32_t preemptive_expands;
    uint32_t samples_removed;   // by accelerate
    uint32_t samples_inserted;  // by pre-emptive expand
    uint32_t silent_frames;     // no stream, waiting to start, or nothing to play
    uint32_t frames;            // process calls that produced a frame
    int target_ms;              // current target buffer level
    int level_ms;               // current filtered buffer level
};

// Fills *out -> 0, or -1 when ctx is not a receive context.
int dsp_rx_get_stats(const dsp_ctx *ctx, dsp_rx_stats *out);

// RTP timestamp of the first sample of the last frame process wrote -> 0, or
// -1 when that frame was silence. Lets a caller measure the playout delay.
int dsp_rx_output_timestamp(const dsp_ctx *ctx, uint32_t *ts);

// Instruction code of the last decision (0 when process made none).
uint16_t dsp_rx_last_instruction(const dsp_ctx *ctx);
