// libdsp send context.
#include "media/dsp/dsp_tx.h"

#include <cstring>

#include "media/dsp/dsp_rand.h"

namespace {

constexpr int k_frame_ms = 10;  // one process call = 10 ms of PCM
constexpr int k_ms_per_second = 1000;
constexpr int k_cn_repeat_ms = 1000;
constexpr int k_rtcp_random_steps = 1000;

dsp_tx_ctx *tx_of(dsp_ctx *ctx) {
    return reinterpret_cast<dsp_tx_ctx *>(ctx);
}

void put16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put32(uint8_t *p, uint32_t v) {
    put16(p, v >> 16);
    put16(p + 2, v);
}

uint32_t rtcp_next_delay(int interval_ms) {
    // Between half and one and a half intervals.
    uint32_t r = dsp_rand() % k_rtcp_random_steps;
    return static_cast<uint32_t>(interval_ms / 2) +
           static_cast<uint32_t>(interval_ms) * r / k_rtcp_random_steps;
}

void apply_commands(dsp_tx_ctx *tx) {
    dsp_tx_state &s = tx->s;
    dsp_ctx &hdr = s.head.hdr;
    uint32_t cmd = s.head.params.command_flags;
    s.head.params.command_flags = 0;
    if (cmd == 0 || hdr.state == DSP_STATE_NONE) return;
    if (cmd & DSP_CMD_START) {
        hdr.state = DSP_STATE_RUNNING;
        dsp_post_event(&hdr, DSP_EVT_STARTED, 0, 0);
    } else if (cmd & DSP_CMD_START_ALT) {
        hdr.state = DSP_STATE_RUNNING_ALT;
        dsp_post_event(&hdr, DSP_EVT_START_ALT_OR_NEW_PT, 0, 0);
    }
    if (cmd & DSP_CMD_PAUSE) hdr.state = DSP_STATE_PAUSED;
    if ((cmd & DSP_CMD_STOP) && hdr.state != DSP_STATE_IDLE) hdr.state = DSP_STATE_STOPPING;
    if ((cmd & DSP_CMD_TEL_EVENT) &&
        (hdr.state == DSP_STATE_RUNNING || hdr.state == DSP_STATE_RUNNING_ALT) && !s.tel.active) {
        const dsp_tx_params &p = s.head.params;
        s.tel = dsp_tx_tel_event{};
        s.tel.pending = true;
        s.tel.event = p.tel_event;
        s.tel.target = p.tel_event_ms * DSP_TEL_EVENT_CLOCK_HZ / k_ms_per_second;
    }
}

int tx_get_size(uint32_t *size) {
    if (size == nullptr) return -1;
    *size = DSP_TX_CTX_SIZE;
    return 0;
}

int tx_init(dsp_ctx *ctx) {
    if (ctx == nullptr) return -1;
    std::memset(ctx, 0, DSP_TX_CTX_SIZE);
    dsp_ctx_header_init(ctx, &dsp_tx_engine);
    dsp_tx_params_default(&tx_of(ctx)->s.head.params);
    return 0;
}

// Clears the running state; parameters and header stay.
void clear_running_state(dsp_tx_state &s) {
    dsp_tx_ctx_head head = s.head;
    std::memset(&s, 0, sizeof(s));
    s.head = head;
}

int open_codec(dsp_tx_state &s, int pcm_rate) {
    const dsp_tx_params &p = s.head.params;
    s.fmt = dsp_codec_format_find(p.codec_id);
    s.enc = dsp_encoder_find(p.codec_id);
    if (s.fmt == nullptr || s.enc == nullptr) return DSP_ERR_CODEC;
    if (!dsp_codec_rate_supported(s.fmt->sample_rate)) return DSP_ERR_CODEC;
    // Every codec of the table works on 10 ms frames; one process call feeds one.
    if (dsp_format_frame_ms(s.fmt) != k_frame_ms) return DSP_ERR_CODEC;
    if (s.enc->state_size > sizeof(s.codec_state)) return DSP_ERR_CODEC;
    if (s.enc->init(s.codec_state, s.fmt) != 0) return DSP_ERR_CODEC;
    s.codec_samples = s.fmt->sample_rate / 100;
    s.rtp_clock = dsp_format_rtp_clock(s.fmt);
    s.clock_step = static_cast<uint32_t>(s.rtp_clock / 100);
    s.resampling = pcm_rate != s.fmt->sample_rate;
    if (s.resampling && dsp_resample_setup(&s.resampler, pcm_rate, s.fmt->sample_rate) != 0)
        return DSP_ERR_CODEC;
    return DSP_OK;
}

int tx_reset(dsp_ctx *ctx) {
    if (!dsp_ctx_valid(ctx)) return -1;
    dsp_tx_state &s = tx_of(ctx)->s;
    clear_running_state(s);
    dsp_ctx &hdr = s.head.hdr;
    const dsp_tx_params &p = s.head.params;
    hdr.state = DSP_STATE_NONE;

    if (p.in1 == nullptr) return DSP_ERR_DESCRIPTOR;
    int pcm_rate = dsp_code_to_rate(static_cast<int>(p.in1->samples));
    if (!dsp_codec_rate_supported(pcm_rate)) return DSP_ERR_DESCRIPTOR;
    if (p.in2 != nullptr && p.in2->samples != p.in1->samples) return DSP_ERR_DESCRIPTOR;
    s.pcm_samples = static_cast<int>(p.in1->samples);

    int rc = open_codec(s, pcm_rate);
    if (rc != DSP_OK) return rc;

    int frame_ms = dsp_format_frame_ms(s.fmt);
    int packet_ms = p.packet_time_ms / frame_ms * frame_ms;
    if (packet_ms < frame_ms || packet_ms > DSP_TX_MAX_PACKET_MS) packet_ms = frame_ms;
    s.packet_ms = packet_ms;
    s.frames_per_packet = packet_ms / frame_ms;
    s.samples_per_packet = static_cast<uint32_t>(packet_ms * s.rtp_clock / k_ms_per_second);

    s.ssrc = (p.option_flags & DSP_TX_OPT_KEEP_SSRC) ? p.ssrc : dsp_rand();
    s.sample_clock = p.initial_timestamp;
    // The first packet is due one packet after the initial timestamp.
    s.last_ts = p.initial_timestamp;
    s.seq = p.initial_sequence;
    s.prev_pt = DSP_TX_PREV_PT_NONE;

    if (p.option_flags & DSP_TX_OPT_VAD) {
        dsp_vad_engine.init(&s.vad.s.hdr);
        dsp_vad_engine.reset(&s.vad.s.hdr);
    }
    s.rtcp_interval_ms = dsp_rtcp_interval_fix(p.rtcp_interval_ms);
    s.next_rtcp_ms = rtcp_next_delay(s.rtcp_interval_ms);

    hdr.state = DSP_STATE_IDLE;
    apply_commands(tx_of(ctx));
    return DSP_OK;
}

// The 10 ms input frame at the codec rate, mixing the second input in.
const int16_t *input_frame(dsp_tx_state &s) {
    const dsp_tx_params &p = s.head.params;
    const int16_t *pcm = p.in1->data;
    if (p.in2 != nullptr) {
        for (int i = 0; i < s.pcm_samples; i++) {
            int v = p.in1->data[i] + p.in2->data[i];
            if (v > INT16_MAX) v = INT16_MAX;
            if (v < INT16_MIN) v = INT16_MIN;
            s.mixed[i] = static_cast<int16_t>(v);
        }
        pcm = s.mixed;
    }
    if (s.resampling) {
        dsp_resample_frame(&s.resampler, pcm, s.converted);
        pcm = s.converted;
    }
    return pcm;
}

void drop_payload(dsp_tx_state &s) {
    s.payload_len = 0;
    s.payload_frames = 0;
    s.payload_speech = false;
}

int tx_process(dsp_ctx *ctx) {
    if (!dsp_ctx_valid(ctx)) return -1;
    dsp_tx_state &s = tx_of(ctx)->s;
    apply_commands(tx_of(ctx));
    int state = s.head.hdr.state;
    if (state == DSP_STATE_NONE) {
        dsp_post_event(ctx, DSP_EVT_CTX_ERROR, DSP_ERR_CODEC, 0);
        return 0;
    }
    if (state != DSP_STATE_RUNNING && state != DSP_STATE_RUNNING_ALT) return 0;

    if (s.payload_frames >= s.frames_per_packet) {
        // Nobody fetched the last packet: its time is taken as sent.
        s.counters.overruns++;
        drop_payload(s);
        s.last_ts = s.sample_clock - s.sample_clock % s.samples_per_packet;
    }

    const int16_t *pcm = input_frame(s);
    int n = s.enc->encode(s.codec_state, pcm, s.codec_samples, s.payload + s.payload_len,
                          DSP_TX_PAYLOAD_MAX - s.payload_len);
    if (n < 0) {
        s.counters.encode_failures++;
        return 0;
    }
    bool speech = true;
    if (s.head.params.option_flags & DSP_TX_OPT_VAD) {
        speech = dsp_vad_frame(&s.vad, pcm, s.codec_samples) != 0;
        if (!speech) s.cn_len = dsp_vad_cn_descriptor(&s.vad, s.cn, sizeof(s.cn));
    }
    s.payload_len += n;
    s.payload_frames++;
    s.payload_speech = s.payload_speech || speech;
    s.sample_clock += s.clock_step;
    s.elapsed_ms += k_frame_ms;
    return 0;
}

int write_rtcp(dsp_tx_state &s, uint8_t *buf, int cap, bool bye) {
    const dsp_platform_hooks *hooks = dsp_hooks();
    dsp_rtcp_report r{};
    r.ssrc = s.ssrc;
    r.sender = s.counters.packets > 0;
    r.ntp_seconds = hooks->ntp_seconds();
    r.ntp_fraction = hooks->ntp_fraction();
    r.rtp_timestamp = s.last_ts;
    r.packets = s.counters.packets;
    r.octets = s.counters.octets;
    r.block_count = s.report_block_count;
    std::memcpy(r.blocks, s.report_blocks, sizeof(r.blocks));
    uint32_t flags = s.head.params.rtcp_flags;
    r.sdes = (flags & DSP_RTCP_SDES) != 0;
    r.xr = (flags & DSP_RTCP_XR) != 0;
    r.bye = bye;
    int len = dsp_rtcp_write(&r, buf, cap);
    if (len < 0) return -1;
    s.counters.rtcp_packets++;
    dsp_post_event(&s.head.hdr, bye ? DSP_EVT_RTCP_BYE : DSP_EVT_RTCP, len, 0);
    return len;
}

bool rtcp_due(const dsp_tx_state &s) {
    return (s.head.params.rtcp_flags & DSP_RTCP_ON) &&
           static_cast<int32_t>(s.elapsed_ms - s.next_rtcp_ms) >= 0;
}

// Builds the next telephone-event payload; false when the event has ended.
int tel_event_payload(dsp_tx_state &s, uint32_t ts, uint8_t *out) {
    dsp_tx_tel_event &t = s.tel;
    const dsp_tx_params &p = s.head.params;
    if (t.pending) {
        t.pending = false;
        t.active = true;
        t.start_ts = ts;
        t.duration = 0;
        t.end_left = p.tel_event_end_packets > 0 ? p.tel_event_end_packets : 1;
    }
    bool end = false;
    if (t.duration < t.target) {
        t.duration += s.packet_ms * DSP_TEL_EVENT_CLOCK_HZ / k_ms_per_second;
        if (t.duration > t.target) t.duration = t.target;
    }
    if (t.duration >= t.target) {
        end = true;
        if (--t.end_left <= 0) t.active = false;
    }
    out[0] = static_cast<uint8_t>(t.event);
    out[1] = static_cast<uint8_t>((end ? 0x80 : 0) | DSP_TEL_EVENT_VOLUME);
    put16(out + 2, static_cast<uint32_t>(t.duration));
    return 4;
}

int tx_get_packet(dsp_ctx *ctx, uint8_t *buf, int *kind, int cap) {
    if (!dsp_ctx_valid(ctx) || buf == nullptr || kind == nullptr || cap <= 0) return -1;
    dsp_tx_state &s = tx_of(ctx)->s;
    const dsp_tx_params &p = s.head.params;
    int state = s.head.hdr.state;

    if (state == DSP_STATE_STOPPING) {
        s.head.hdr.state = DSP_STATE_IDLE;
        dsp_post_event(ctx, DSP_EVT_STOPPED, 0, 0);
        if ((p.rtcp_flags & DSP_RTCP_ON) && (p.rtcp_flags & DSP_RTCP_BYE)) {
            *kind = DSP_PKT_RTCP;
            return write_rtcp(s, buf, cap, true);
        }
        return 0;
    }
    if (state == DSP_STATE_IDLE) return 0;
    if (state != DSP_STATE_RUNNING && state != DSP_STATE_RUNNING_ALT) return -1;

    if (s.sample_clock - s.last_ts < s.samples_per_packet || s.payload_frames == 0) {
        if (!rtcp_due(s)) return 0;
        s.next_rtcp_ms = s.elapsed_ms + rtcp_next_delay(s.rtcp_interval_ms);
        *kind = DSP_PKT_RTCP;
        return write_rtcp(s, buf, cap, false);
    }

    uint32_t ts = s.sample_clock - s.sample_clock % s.samples_per_packet;
    if (state == DSP_STATE_RUNNING_ALT) {
        drop_payload(s);
        s.last_ts = ts;
        return 0;
    }

    uint8_t tel_payload[4];
    const uint8_t *payload;
    int payload_len;
    int pt;
    uint32_t stamp = ts;
    if (s.tel.pending || s.tel.active) {
        payload_len = tel_event_payload(s, ts, tel_payload);
        payload = tel_payload;
        pt = p.tel_event_pt;
        stamp = s.tel.start_ts;
        s.counters.tel_event_packets++;
    } else if (s.payload_speech) {
        payload = s.payload;
        payload_len = s.payload_len;
        pt = p.voice_pt;
    } else {
        bool repeat_due =
            static_cast<int>(ts - s.last_cn_ts) >= s.rtp_clock * k_cn_repeat_ms / k_ms_per_second;
        if (s.cn_len <= 0 || (s.prev_pt == p.cn_pt && s.cn_sent && !repeat_due)) {
            drop_payload(s);
            s.last_ts = ts;
            return 0;
        }
        payload = s.cn;
        payload_len = s.cn_len;
        pt = p.cn_pt;
        s.cn_sent = true;
        s.last_cn_ts = ts;
        s.counters.cn_packets++;
    }
    pt &= 0x7f;

    int prefix = (p.option_flags & DSP_TX_OPT_PREFIX) ? DSP_TX_PREFIX_BYTES : 0;
    int total = prefix + DSP_RTP_HEADER_BYTES + payload_len;
    if (total > cap) {
        s.counters.oversize++;
        drop_payload(s);
        s.last_ts = ts;
        return -1;
    }
    uint8_t *h = buf;
    if (prefix) {
        put32(h, p.prefix);
        h += prefix;
    }
    h[0] = 0x80;
    h[1] = static_cast<uint8_t>(pt | (pt != s.prev_pt ? 0x80 : 0));
    put16(h + 2, s.seq);
    put32(h + 4, stamp);
    put32(h + 8, s.ssrc);
    std::memcpy(h + DSP_RTP_HEADER_BYTES, payload, static_cast<size_t>(payload_len));

    s.prev_pt = pt;
    s.seq++;
    s.counters.packets++;
    s.counters.octets += static_cast<uint32_t>(payload_len);
    s.last_ts = ts;
    drop_payload(s);
    *kind = DSP_PKT_RTP;
    return total;
}

}  // namespace

const dsp_engine_ops dsp_tx_engine = {tx_get_size, tx_init, tx_reset,
                                      tx_process,  nullptr, tx_get_packet};

int dsp_tx_set_report_blocks(dsp_tx_ctx *ctx, const dsp_rtcp_block *blocks, int count) {
    if (ctx == nullptr || count < 0 || count > DSP_RTCP_MAX_BLOCKS ||
        (count > 0 && blocks == nullptr))
        return -1;
    ctx->s.report_block_count = count;
    for (int i = 0; i < count; i++) ctx->s.report_blocks[i] = blocks[i];
    return 0;
}
