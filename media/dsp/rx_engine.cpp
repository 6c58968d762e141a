#include "media/dsp/rx_engine.h"

#include <algorithm>
#include <cstring>

#include "media/dsp/dsp_codec.h"
#include "media/dsp/jb_bgn.h"
#include "media/dsp/jb_decision.h"
#include "media/dsp/jb_delay_manager.h"
#include "media/dsp/jb_expand.h"
#include "media/dsp/jb_level_filter.h"
#include "media/dsp/jb_merge.h"
#include "media/dsp/jb_packet_buffer.h"
#include "media/dsp/jb_sync_buffer.h"
#include "media/dsp/jb_time_stretch.h"
#include "media/dsp/rx_rtp.h"
#include "platform/log.h"

namespace {

constexpr int k_rate_8k = 8000;
// Decoded audio gathered for one decision, at most (120 ms at 48000 Hz).
constexpr int k_decoded_capacity = 5760;
// Output of a time stretch: 30 ms plus one frame plus the longest inserted cycle, at 48000 Hz.
constexpr int k_stretch_out_capacity =
    (k_jb_stretch_min_input_8k + 80) * k_jb_max_fs_mult + k_jb_max_lag;
// Output of a merge: one decoded frame (<= a slot of L16) plus the longest cycle.
constexpr int k_merge_out_capacity = k_jb_slot_payload_bytes / 2 + k_jb_max_lag;
// A buffered frame this far (ms) from the playout point means the sender's
// timestamps jumped: playout moves to it instead of waiting or discarding.
constexpr int k_resync_ms = 1000;
// Refusals are logged for the first one and then every this many.
constexpr uint32_t k_log_every = 1000;
constexpr int k_ms_per_frame = 10;

struct rx_ctx {
    dsp_rx_ctx_head head;  // header and parameters survive reset

    // ---- running state, cleared by reset ----
    int rate_hz;
    int fs_mult;
    int frame_samples;      // output samples per 10 ms
    int out_per_ts;         // output samples per RTP clock unit
    int codec_frame_bytes;  // bytes of one codec frame in a payload
    int codec_frame_ts;     // RTP clock units of one codec frame
    int rtp_clock_hz;
    const dsp_codec_format *fmt;
    const dsp_decoder *dec;
    alignas(8) uint8_t dec_state[DSP_CODEC_STATE_MAX];

    int stream_active;
    uint32_t ssrc;
    int waiting_start;
    int start_wait_samples;
    int first_decision;
    uint32_t playout_ts;  // RTP timestamp of the next sample appended to the sync buffer
    int last_was_expand;
    int expands_in_row;
    int hold_off;
    uint16_t last_instruction;
    int last_frame_played;   // the last output frame carried audio
    uint32_t last_frame_ts;  // RTP timestamp of its first sample
    int last_pt_seen;        // for the drop-other-types option

    dsp_rx_stats stats;
    jb_delay_manager dm;
    jb_level_filter lf;
    jb_expand ex;
    jb_bgn bgn;
    jb_sync_buffer sync;
    int16_t decoded[k_decoded_capacity];
    int16_t work[std::max(k_stretch_out_capacity, k_merge_out_capacity)];
    int16_t merge_scratch[k_jb_merge_scratch];
    jb_packet_buffer pb;
};
static_assert(sizeof(rx_ctx) <= DSP_RX_CTX_SIZE, "the receive context must fit its block");

rx_ctx *as_rx(dsp_ctx *ctx) {
    return reinterpret_cast<rx_ctx *>(ctx);
}
const rx_ctx *as_rx(const dsp_ctx *ctx) {
    return reinterpret_cast<const rx_ctx *>(ctx);
}

bool is_rx(const dsp_ctx *ctx) {
    return dsp_ctx_valid(ctx) && ctx->put_packet != nullptr;
}

bool running(const dsp_ctx *ctx) {
    return ctx->state == DSP_STATE_RUNNING || ctx->state == DSP_STATE_RUNNING_ALT;
}

void log_refusal(uint32_t count, int level, const char *why) {
    if (count == 1 || count % k_log_every == 0) {
        log_print(0, level, "dsp rx: packet refused: %s (%u so far)\n", why, count);
    }
}

void clear_running_state(rx_ctx *c) {
    const size_t start = offsetof(rx_ctx, rate_hz);
    std::memset(reinterpret_cast<uint8_t *>(c) + start, 0, sizeof(rx_ctx) - start);
}

void apply_commands(rx_ctx *c) {
    dsp_ctx *h = &c->head.hdr;
    uint32_t &cmd = c->head.params.command_flags;
    if (cmd & DSP_CMD_START) {
        h->state = DSP_STATE_RUNNING;
        dsp_post_event(h, DSP_EVT_STARTED, 0, 0);
    }
    if (cmd & DSP_CMD_START_ALT) {
        h->state = DSP_STATE_RUNNING_ALT;
        dsp_post_event(h, DSP_EVT_START_ALT_OR_NEW_PT, 0, 0);
    }
    if (cmd & DSP_CMD_PAUSE) h->state = DSP_STATE_PAUSED;
    if (cmd & DSP_CMD_STOP) {
        h->state = DSP_STATE_IDLE;
        dsp_post_event(h, DSP_EVT_STOPPED, 0, 0);
    }
    cmd = 0;
}

int ms_to_out_samples(const rx_ctx *c, int ms) {
    return ms * (c->rate_hz / 1000);
}

// Samples of buffered audio plus what the sync buffer holds ahead of the output.
int buffered_samples(const rx_ctx *c) {
    return jb_packet_buffer_count(&c->pb) * c->codec_frame_ts * c->out_per_ts +
           jb_sync_buffer_ahead(&c->sync);
}

int samples_to_q8(const rx_ctx *c, int samples) {
    const int packet = std::max(1, jb_delay_manager_packet_samples(&c->dm));
    return static_cast<int>(static_cast<int64_t>(samples) * k_jb_q8_one / packet);
}

// Starts playing a (new) stream of this SSRC.
int restart_stream(rx_ctx *c, uint32_t ssrc) {
    c->stream_active = 0;
    jb_packet_buffer_clear(&c->pb);
    if (c->dec->init(c->dec_state, c->fmt) != 0) {
        c->stats.decoder_start_failures++;
        dsp_post_event(&c->head.hdr, DSP_EVT_DECODER_FAILED, static_cast<int32_t>(c->fmt->codec_id),
                       0);
        log_refusal(c->stats.decoder_start_failures, LL_ERR, "decoder could not be started");
        return -1;
    }
    c->stream_active = 1;
    c->ssrc = ssrc;
    c->waiting_start = 1;
    c->start_wait_samples = 0;
    c->first_decision = 1;
    c->hold_off = k_jb_hold_off_start;
    c->expands_in_row = 0;
    jb_delay_manager_restart_stream(&c->dm);
    jb_level_filter_reset(&c->lf);
    c->stats.stream_starts++;
    dsp_post_event(&c->head.hdr, DSP_EVT_STARTED, static_cast<int32_t>(ssrc), 0);
    return 0;
}

// Splits the payload into codec frames and stores them; returns frames stored.
int store_frames(rx_ctx *c, const rx_rtp_packet *p) {
    jb_frame_info info{p->ts, p->ssrc, p->seq, p->payload_type, p->marker};
    int stored = 0;
    for (int off = 0; off < p->payload_len; off += c->codec_frame_bytes) {
        const int len = std::min(c->codec_frame_bytes, p->payload_len - off);
        const int r = jb_packet_buffer_insert(&c->pb, &info, p->payload + off, len);
        switch (r) {
            case JB_INSERT_OK:
                stored++;
                break;
            case JB_ERR_DUPLICATE:
                c->stats.duplicates++;
                log_refusal(c->stats.duplicates, LL_DEBUG, "duplicate frame");
                break;
            case JB_ERR_OVERFLOW:
                c->stats.overflows++;
                log_refusal(c->stats.overflows, LL_DEBUG, "jitter buffer full");
                break;
            default:
                c->stats.too_large++;
                log_refusal(c->stats.too_large, LL_WARN, "frame larger than a buffer slot");
                break;
        }
        info.ts += static_cast<uint32_t>(c->codec_frame_ts);
        info.marker = 0;
    }
    return stored;
}

int rx_get_size(uint32_t *size) {
    *size = DSP_RX_CTX_SIZE;
    return 0;
}

int rx_init(dsp_ctx *ctx) {
    std::memset(ctx, 0, sizeof(rx_ctx));
    dsp_ctx_header_init(ctx, &dsp_rx_engine);
    dsp_rx_params_default(&as_rx(ctx)->head.params);
    return 0;
}

int rx_fail_reset(rx_ctx *c, int code, const char *why) {
    log_print(0, LL_ERR, "dsp rx reset failed: %s\n", why);
    c->head.hdr.state = DSP_STATE_NONE;
    dsp_post_event(&c->head.hdr, DSP_EVT_CTX_ERROR, code, 0);
    return code;
}

int rx_reset(dsp_ctx *ctx) {
    rx_ctx *c = as_rx(ctx);
    dsp_rx_params &p = c->head.params;
    if (p.out1 == nullptr) return rx_fail_reset(c, DSP_ERR_DESCRIPTOR, "no output descriptor");
    if (p.out2 != nullptr && p.out2->samples != p.out1->samples) {
        return rx_fail_reset(c, DSP_ERR_DESCRIPTOR, "output descriptors differ in size");
    }
    const int rate = dsp_code_to_rate(static_cast<int>(p.out1->samples));
    if (!dsp_codec_rate_supported(rate))
        return rx_fail_reset(c, DSP_ERR_CODEC, "unsupported output rate");
    const dsp_codec_format *fmt = dsp_codec_format_find(p.codec_id);
    const dsp_decoder *dec = dsp_decoder_find(p.codec_id);
    if (fmt == nullptr || dec == nullptr || !dsp_codec_rate_supported(fmt->sample_rate)) {
        return rx_fail_reset(c, DSP_ERR_CODEC, "no decoder for the codec id");
    }
    if (fmt->sample_rate != rate) {
        // No resampling step: the codec must run at the output rate.
        return rx_fail_reset(c, DSP_ERR_CODEC, "codec rate differs from the output rate");
    }
    if (dec->state_size > DSP_CODEC_STATE_MAX)
        return rx_fail_reset(c, DSP_ERR_CODEC, "decoder state too large");
    dsp_rx_repair_delays(&p);

    clear_running_state(c);
    c->rate_hz = rate;
    c->fs_mult = rate / k_rate_8k;
    c->frame_samples = rate / 100;
    c->fmt = fmt;
    c->dec = dec;
    c->rtp_clock_hz = dsp_format_rtp_clock(fmt);
    c->out_per_ts = std::max(1, rate / c->rtp_clock_hz);
    c->codec_frame_bytes = fmt->frame_bytes;
    c->codec_frame_ts = dsp_format_frame_samples(fmt) / c->out_per_ts;
    c->last_pt_seen = -1;

    jb_packet_buffer_clear(&c->pb);
    jb_sync_buffer_reset(&c->sync, c->fs_mult);
    jb_expand_reset(&c->ex, c->fs_mult);
    jb_bgn_reset(&c->bgn);
    jb_level_filter_reset(&c->lf);
    const jb_delay_config dc{p.min_delay_ms,
                             p.max_delay_ms,
                             p.start_delay_ms,
                             k_jb_slot_count,
                             rate,
                             c->rtp_clock_hz,
                             dsp_format_frame_samples(fmt)};
    jb_delay_manager_reset(&c->dm, &dc);

    if (ctx->state == DSP_STATE_NONE) ctx->state = DSP_STATE_IDLE;
    apply_commands(c);
    return DSP_OK;
}

int rx_put_packet(dsp_ctx *ctx, const uint8_t *pkt, int kind, int len) {
    if (!is_rx(ctx)) return DSP_FAIL;
    rx_ctx *c = as_rx(ctx);
    if (!running(ctx) || c->dec == nullptr) {
        c->stats.invalid++;
        log_refusal(c->stats.invalid, LL_DEBUG, "receive context not running");
        return DSP_FAIL;
    }
    if (kind != DSP_PKT_RTP) {
        // RTCP reception is not switched on in this engine's configuration.
        c->stats.invalid++;
        log_refusal(c->stats.invalid, LL_DEBUG, "not an RTP packet");
        return DSP_FAIL;
    }
    rx_rtp_packet p;
    const int err = rx_rtp_parse(pkt, len, &p);
    if (err != RX_RTP_OK) {
        c->stats.invalid++;
        log_refusal(c->stats.invalid, LL_WARN, rx_rtp_error_text(err));
        return DSP_FAIL;
    }
    const dsp_rx_params &prm = c->head.params;
    if ((prm.option_flags & DSP_RX_OPT_DROP_OTHER_PT) && p.payload_type != prm.voice_pt) {
        if (p.payload_type != c->last_pt_seen) {
            c->last_pt_seen = p.payload_type;
            dsp_post_event(ctx, DSP_EVT_START_ALT_OR_NEW_PT, p.payload_type, 0);
        }
        c->stats.other_pt++;
        log_refusal(c->stats.other_pt, LL_DEBUG, "payload type not the voice type");
        return DSP_FAIL;
    }
    if (!c->stream_active || p.ssrc != c->ssrc) {
        if (c->stream_active && (prm.option_flags & DSP_RX_OPT_FIRST_SSRC)) {
            c->stats.foreign_ssrc++;
            log_refusal(c->stats.foreign_ssrc, LL_DEBUG, "SSRC of another stream");
            return DSP_FAIL;
        }
        if (restart_stream(c, p.ssrc) != 0) return DSP_FAIL;
    }
    jb_delay_manager_update(&c->dm, p.seq, p.ts);
    if (store_frames(c, &p) == 0) return DSP_FAIL;
    c->stats.packets_accepted++;
    return DSP_OK;
}

// Decodes the oldest frame into dst and moves the playout point past it.
// Returns samples, or -1 when the frame failed to decode (it is consumed).
int decode_oldest(rx_ctx *c, int16_t *dst, int cap) {
    const jb_slot *s = jb_packet_buffer_oldest(&c->pb);
    if (s == nullptr) return -1;
    const int frames_ts = std::max(1, c->dec->samples_in(c->fmt, s->h.length) / c->out_per_ts);
    c->playout_ts = s->h.info.ts + static_cast<uint32_t>(frames_ts);
    int n = -1;
    if (c->dec->samples_in(c->fmt, s->h.length) <= cap) {
        n = c->dec->decode(c->dec_state, s->payload, s->h.length, dst, cap);
    }
    jb_packet_buffer_pop_oldest(&c->pb);
    if (n <= 0) {
        c->stats.decode_errors++;
        return -1;
    }
    return n;
}

// The oldest frame starts within the next output frame from the playout point.
bool frame_due(const rx_ctx *c) {
    const jb_slot *s = jb_packet_buffer_oldest(&c->pb);
    if (s == nullptr) return false;
    const uint32_t window = static_cast<uint32_t>(c->frame_samples / c->out_per_ts);
    return !jb_ts_before(s->h.info.ts, c->playout_ts) &&
           jb_ts_before(s->h.info.ts, c->playout_ts + window);
}

// Consecutive due frames could give 30 ms together with what is ahead.
bool stretch_possible(const rx_ctx *c) {
    const int need = k_jb_stretch_min_input_8k * c->fs_mult;
    int have = jb_sync_buffer_ahead(&c->sync);
    uint32_t ts = c->playout_ts;
    for (int i = c->pb.oldest; i >= 0 && have < need; i = c->pb.slots[i].h.next) {
        const jb_slot_header &h = c->pb.slots[i].h;
        if (h.info.ts != ts && i != c->pb.oldest) break;
        const int n = c->dec->samples_in(c->fmt, h.length);
        have += n;
        ts = h.info.ts + static_cast<uint32_t>(n / c->out_per_ts);
    }
    return have >= need;
}

void conceal(rx_ctx *c, int fast_fade) {
    if (!c->ex.active || fast_fade) {
        jb_expand_start(&c->ex, jb_sync_buffer_end(&c->sync), c->sync.len, fast_fade);
    }
    jb_expand_generate(&c->ex, &c->bgn, c->work, c->frame_samples);
    jb_sync_buffer_push(&c->sync, c->work, c->frame_samples);
}

void op_normal(rx_ctx *c) {
    const int n = decode_oldest(c, c->decoded, k_decoded_capacity);
    if (n < 0) {
        c->last_instruction = JB_OP_FADE_TO_BGN | (c->last_instruction & ~k_jb_op_mask);
        conceal(c, 1);
        return;
    }
    jb_bgn_update(&c->bgn, c->decoded, n);
    jb_sync_buffer_push(&c->sync, c->decoded, n);
    c->stats.normals++;
}

void op_merge(rx_ctx *c) {
    const int n = decode_oldest(c, c->decoded, k_decoded_capacity);
    if (n < 0) {
        c->last_instruction = JB_OP_FADE_TO_BGN | (c->last_instruction & ~k_jb_op_mask);
        conceal(c, 1);
        return;
    }
    const int out =
        jb_merge(&c->ex, &c->bgn, c->decoded, n, c->work,
                 static_cast<int>(sizeof(c->work) / sizeof(c->work[0])), c->merge_scratch);
    jb_sync_buffer_push(&c->sync, c->work, out);
    c->stats.merges++;
}

void op_expand(rx_ctx *c) {
    conceal(c, 0);
    c->playout_ts += static_cast<uint32_t>(c->frame_samples / c->out_per_ts);
    c->stats.expands++;
}

// Gathers what is ahead plus due frames (30 ms at least) and stretches it.
void op_stretch(rx_ctx *c, bool accelerate) {
    const int need = k_jb_stretch_min_input_8k * c->fs_mult;
    int n = jb_sync_buffer_take_ahead(&c->sync, c->decoded, k_decoded_capacity);
    bool first = true;
    while (n < need && jb_packet_buffer_oldest(&c->pb) != nullptr) {
        const jb_slot *s = jb_packet_buffer_oldest(&c->pb);
        // The first frame is due; later ones must follow it without a gap.
        if (!first && s->h.info.ts != c->playout_ts) break;
        first = false;
        const int got = decode_oldest(c, c->decoded + n, k_decoded_capacity - n);
        if (got < 0) break;
        jb_bgn_update(&c->bgn, c->decoded + n, got);
        n += got;
    }
    int changed = 0;
    int out;
    if (accelerate) {
        out = jb_accelerate(c->decoded, n, c->work, c->fs_mult, &changed);
    } else {
        out = jb_preemptive_expand(c->decoded, n, c->work,
                                   static_cast<int>(sizeof(c->work) / sizeof(c->work[0])),
                                   c->fs_mult, &changed);
    }
    jb_sync_buffer_push(&c->sync, c->work, out);
    if (accelerate) {
        c->stats.accelerates++;
        c->stats.samples_removed += static_cast<uint32_t>(changed);
        jb_level_filter_stretched(&c->lf, -samples_to_q8(c, changed));
    } else {
        c->stats.preemptive_expands++;
        c->stats.samples_inserted += static_cast<uint32_t>(changed);
        jb_level_filter_stretched(&c->lf, samples_to_q8(c, changed));
    }
}

// Moves the playout point to the oldest frame when the sender's timestamps jumped.
void resync_if_jumped(rx_ctx *c) {
    const jb_slot *s = jb_packet_buffer_oldest(&c->pb);
    if (s == nullptr) return;
    const int32_t diff = static_cast<int32_t>(s->h.info.ts - c->playout_ts);
    const int32_t limit = k_resync_ms * (c->rtp_clock_hz / 1000);
    if (diff > limit || diff < -limit) c->playout_ts = s->h.info.ts;
}

// Whether playout of a fresh stream may begin.
bool start_reached(rx_ctx *c) {
    c->start_wait_samples += c->frame_samples;
    const int start = ms_to_out_samples(c, c->head.params.start_delay_ms);
    if (jb_packet_buffer_oldest(&c->pb) == nullptr) return false;
    return buffered_samples(c) >= start || c->start_wait_samples > start;
}

void write_output(rx_ctx *c, bool play) {
    dsp_rx_params &p = c->head.params;
    int16_t *out = p.out1->data;
    c->last_frame_ts =
        c->playout_ts - static_cast<uint32_t>(jb_sync_buffer_ahead(&c->sync) / c->out_per_ts);
    c->last_frame_played = 0;
    if (play && jb_sync_buffer_read(&c->sync, out, c->frame_samples) == 0) {
        c->last_frame_played = 1;
    } else {
        std::memset(out, 0, sizeof(int16_t) * static_cast<size_t>(c->frame_samples));
        c->stats.silent_frames++;
    }
    if (p.out2 != nullptr) {
        std::memcpy(p.out2->data, out, sizeof(int16_t) * static_cast<size_t>(c->frame_samples));
    }
    c->stats.frames++;
}

void decide_and_run(rx_ctx *c) {
    jb_decision_input in{};
    in.frame_due = frame_due(c);
    in.after_expand = c->last_was_expand;
    in.first_after_start = c->first_decision;
    in.expands_in_row = c->expands_in_row;
    in.level_q8 = c->lf.filtered_q8;
    in.target_q8 = jb_delay_manager_target_q8(&c->dm);
    in.packets_per_20ms_q8 = samples_to_q8(c, ms_to_out_samples(c, 2 * k_ms_per_frame));
    in.hold_off = c->hold_off;
    in.stretch_possible = in.frame_due && stretch_possible(c);
    const uint16_t instr = jb_decide(&in);
    c->first_decision = 0;
    c->last_instruction = instr;

    if (instr & k_jb_flag_decoder_reset) {
        c->dec->init(c->dec_state, c->fmt);
        c->stats.decoder_resets++;
    }
    switch (instr & k_jb_op_mask) {
        case JB_OP_NORMAL:
            op_normal(c);
            break;
        case JB_OP_MERGE:
            op_merge(c);
            break;
        case JB_OP_EXPAND:
            op_expand(c);
            break;
        case JB_OP_ACCELERATE:
            op_stretch(c, true);
            break;
        case JB_OP_PREEMPTIVE_EXPAND:
            op_stretch(c, false);
            break;
        default:
            return;  // nothing this engine produces; the frame will be silent
    }
    const uint16_t done = c->last_instruction & k_jb_op_mask;
    const bool concealed = done == JB_OP_EXPAND || done == JB_OP_FADE_TO_BGN;
    c->last_was_expand = concealed;
    c->expands_in_row = done == JB_OP_EXPAND ? c->expands_in_row + 1 : 0;
    if (!concealed) jb_expand_end(&c->ex);
}

int rx_process(dsp_ctx *ctx) {
    if (!is_rx(ctx)) return DSP_OK;
    rx_ctx *c = as_rx(ctx);
    if (c->head.params.out1 == nullptr || c->dec == nullptr) {
        dsp_post_event(ctx, DSP_EVT_CTX_ERROR, DSP_ERR_DESCRIPTOR, 0);
        return DSP_OK;
    }
    apply_commands(c);
    c->last_instruction = 0;
    if (!running(ctx)) {
        dsp_post_event(ctx, DSP_EVT_CTX_ERROR, DSP_ERR_DESCRIPTOR, 0);
        write_output(c, false);
        return DSP_OK;
    }
    jb_delay_manager_advance(&c->dm, c->frame_samples);
    if (c->hold_off > 0) c->hold_off--;
    if (!c->stream_active) {
        write_output(c, false);
        return DSP_OK;
    }
    if (c->waiting_start) {
        if (!start_reached(c)) {
            write_output(c, false);
            return DSP_OK;
        }
        c->waiting_start = 0;
        c->playout_ts = jb_packet_buffer_oldest(&c->pb)->h.info.ts;
    }
    resync_if_jumped(c);
    c->stats.late += static_cast<uint32_t>(jb_packet_buffer_discard_older(&c->pb, c->playout_ts));
    jb_level_filter_update(&c->lf, samples_to_q8(c, buffered_samples(c)),
                           jb_delay_manager_target_q8(&c->dm));
    if (jb_sync_buffer_ahead(&c->sync) < c->frame_samples) decide_and_run(c);
    write_output(c, true);
    return DSP_OK;
}

}  // namespace

const dsp_engine_ops dsp_rx_engine = {rx_get_size, rx_init,       rx_reset,
                                      rx_process,  rx_put_packet, nullptr};

int dsp_rx_get_stats(const dsp_ctx *ctx, dsp_rx_stats *out) {
    if (!is_rx(ctx) || out == nullptr) return -1;
    const rx_ctx *c = as_rx(ctx);
    *out = c->stats;
    const int per_ms = std::max(1, c->rate_hz / 1000);
    const int packet = jb_delay_manager_packet_samples(&c->dm);
    out->target_ms = jb_delay_manager_target_q8(&c->dm) * packet / k_jb_q8_one / per_ms;
    out->level_ms = c->lf.filtered_q8 * packet / k_jb_q8_one / per_ms;
    return 0;
}

int dsp_rx_output_timestamp(const dsp_ctx *ctx, uint32_t *ts) {
    if (!is_rx(ctx) || ts == nullptr) return -1;
    const rx_ctx *c = as_rx(ctx);
    if (!c->last_frame_played) return -1;
    *ts = c->last_frame_ts;
    return 0;
}

uint16_t dsp_rx_last_instruction(const dsp_ctx *ctx) {
    return is_rx(ctx) ? as_rx(ctx)->last_instruction : 0;
}
