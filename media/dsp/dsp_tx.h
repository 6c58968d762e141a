// libdsp send context: 10 ms PCM frames in, RTP packets out.
#pragma once

#include <cstdint>

#include "media/dsp/dsp_codec.h"
#include "media/dsp/dsp_engine.h"
#include "media/dsp/dsp_resample.h"
#include "media/dsp/dsp_rtcp.h"
#include "media/dsp/dsp_vad.h"

constexpr int DSP_TX_MAX_PACKET_MS = 80;
constexpr int DSP_TX_MAX_FRAMES = 8;  // 80 ms of 10 ms codec frames
constexpr int DSP_TX_PAYLOAD_MAX = DSP_TX_MAX_FRAMES * DSP_CODEC_FRAME_MAX_BYTES;
constexpr int DSP_RTP_HEADER_BYTES = 12;
constexpr int DSP_TX_PREFIX_BYTES = 4;
constexpr int DSP_TX_PREV_PT_NONE = 255;  // no packet sent since reset
constexpr int DSP_TEL_EVENT_CLOCK_HZ = 8000;
constexpr int DSP_TEL_EVENT_VOLUME = 10;  // -10 dBm0

struct dsp_tx_counters {
    uint32_t packets;  // RTP packets handed out (voice, comfort noise, events)
    uint32_t octets;   // payload octets of those
    uint32_t encode_failures;
    uint32_t cn_packets;
    uint32_t tel_event_packets;
    uint32_t rtcp_packets;
    uint32_t overruns;  // packets discarded because nobody fetched them in time
    uint32_t oversize;  // packets discarded because the caller's buffer was too small
};

struct dsp_tx_tel_event {
    bool pending;  // queued by the command flag, starts with the next packet
    bool active;
    int event;
    uint32_t start_ts;  // RTP timestamp of every packet of the event
    int duration;       // in 8000 Hz units
    int target;         // full duration in 8000 Hz units
    int end_left;       // end packets still to send
};

struct dsp_tx_state {
    dsp_tx_ctx_head head;

    const dsp_codec_format *fmt;
    const dsp_encoder *enc;
    alignas(8) uint8_t codec_state[DSP_CODEC_STATE_MAX];
    int pcm_samples;      // per 10 ms input frame
    int codec_samples;    // per 10 ms at the codec rate
    int rtp_clock;        // Hz
    uint32_t clock_step;  // RTP units per 10 ms frame
    bool resampling;
    dsp_resampler resampler;
    int16_t mixed[DSP_PCM_MAX_SAMPLES];
    int16_t converted[DSP_PCM_MAX_SAMPLES];

    int packet_ms;
    int frames_per_packet;
    uint32_t samples_per_packet;  // RTP units
    uint32_t sample_clock;
    uint32_t last_ts;
    uint16_t seq;
    int prev_pt;
    uint32_t ssrc;

    uint8_t payload[DSP_TX_PAYLOAD_MAX];
    int payload_len;
    int payload_frames;
    bool payload_speech;

    dsp_vad vad;
    uint8_t cn[4];  // comfort-noise descriptor of the last noise frame
    int cn_len;
    bool cn_sent;
    uint32_t last_cn_ts;

    dsp_tx_tel_event tel;

    uint32_t elapsed_ms;  // media time taken in since reset
    uint32_t next_rtcp_ms;
    int rtcp_interval_ms;
    int report_block_count;
    dsp_rtcp_block report_blocks[DSP_RTCP_MAX_BLOCKS];

    dsp_tx_counters counters;
};

struct dsp_tx_ctx {
    dsp_tx_state s;
    uint8_t spare[DSP_TX_CTX_SIZE - sizeof(dsp_tx_state)];
};
static_assert(sizeof(dsp_tx_ctx) == DSP_TX_CTX_SIZE, "send context has its fixed size");

// Reception reports to carry in the next RTCP packets (from a receive
// context's statistics) -> 0, or -1 for a bad count.
int dsp_tx_set_report_blocks(dsp_tx_ctx *ctx, const dsp_rtcp_block *blocks, int count);
