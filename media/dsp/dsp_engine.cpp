// libdsp core: context header, rate codes, PCM descriptors, events, platform
// hooks and parameter defaults.
#include "media/dsp/dsp_engine.h"

#include <cstring>

#include "media/dsp/dsp_codec.h"

bool dsp_ctx_valid(const dsp_ctx *ctx) {
    return ctx != nullptr && ctx->magic == DSP_MAGIC && ctx->get_size != nullptr &&
           ctx->init != nullptr && ctx->reset != nullptr && ctx->process != nullptr;
}

void dsp_ctx_header_init(dsp_ctx *ctx, const dsp_engine_ops *ops) {
    ctx->magic = DSP_MAGIC;
    ctx->handle = 0;
    ctx->get_size = ops->get_size;
    ctx->init = ops->init;
    ctx->reset = ops->reset;
    ctx->process = ops->process;
    ctx->put_packet = ops->put_packet;
    ctx->get_packet = ops->get_packet;
    ctx->channel = 0;
    ctx->state = DSP_STATE_NONE;
}

// ---- Sample-rate codes -------------------------------------------------------

namespace {
struct rate_code {
    int rate_hz;
    int code;
};
constexpr rate_code k_rate_codes[] = {
    {8000, 80},   {11025, 110}, {12000, 120}, {16000, 160}, {22050, 220},
    {24000, 240}, {32000, 320}, {44100, 441}, {48000, 480},
};
}  // namespace

int dsp_rate_to_code(int rate_hz) {
    for (const rate_code &rc : k_rate_codes) {
        if (rc.rate_hz == rate_hz) return rc.code;
    }
    return 0;
}

int dsp_code_to_rate(int code) {
    for (const rate_code &rc : k_rate_codes) {
        if (rc.code == code) return rc.rate_hz;
    }
    return 0;
}

bool dsp_codec_rate_supported(int rate_hz) {
    return rate_hz == 8000 || rate_hz == 16000 || rate_hz == 32000 || rate_hz == 48000;
}

int dsp_pcm_setup(dsp_pcm *pcm, int rate_hz) {
    int code = dsp_rate_to_code(rate_hz);
    if (pcm == nullptr || code <= 0 || code > DSP_PCM_MAX_SAMPLES) return -1;
    std::memset(pcm, 0, sizeof(*pcm));
    pcm->channels = 1;
    pcm->samples = static_cast<uint32_t>(code);
    return 0;
}

// ---- Events --------------------------------------------------------------------

namespace {
struct event_queue {
    bool registered;
    int head;  // next to read
    int count;
    dsp_event items[DSP_EVENT_QUEUE_LEN];
};
event_queue g_queues[DSP_EVENT_CHANNELS];

bool channel_ok(int channel) {
    return channel >= 0 && channel < DSP_EVENT_CHANNELS;
}
}  // namespace

void dsp_post_event(const dsp_ctx *ctx, uint32_t code, int32_t value1, int32_t value2) {
    int channel = ctx != nullptr ? ctx->channel : 0;
    if (!channel_ok(channel)) return;
    event_queue &q = g_queues[channel];
    if (!q.registered || q.count == DSP_EVENT_QUEUE_LEN) return;
    q.items[(q.head + q.count) % DSP_EVENT_QUEUE_LEN] = dsp_event{ctx, code, value1, value2};
    q.count++;
}

int dsp_event_queue_register(int channel) {
    if (!channel_ok(channel)) return -1;
    g_queues[channel] = event_queue{};
    g_queues[channel].registered = true;
    return 0;
}

void dsp_event_queue_unregister(int channel) {
    if (channel_ok(channel)) g_queues[channel] = event_queue{};
}

int dsp_event_read(int channel, dsp_event *out) {
    if (!channel_ok(channel) || out == nullptr) return -1;
    event_queue &q = g_queues[channel];
    if (q.count == 0) return 0;
    *out = q.items[q.head];
    q.head = (q.head + 1) % DSP_EVENT_QUEUE_LEN;
    q.count--;
    return 1;
}

// ---- Platform hooks ------------------------------------------------------------

namespace {
void hook_nothing(void) {}
void hook_trace_nothing(const char *) {}
uint32_t hook_zero(void) {
    return 0;
}

constexpr dsp_platform_hooks k_default_hooks = {
    hook_nothing, hook_nothing, hook_trace_nothing, hook_zero, hook_zero, hook_zero, hook_zero,
};
dsp_platform_hooks g_hooks = k_default_hooks;
}  // namespace

void dsp_set_platform_hooks(const dsp_platform_hooks *hooks) {
    g_hooks = k_default_hooks;
    if (hooks == nullptr) return;
    if (hooks->enter) g_hooks.enter = hooks->enter;
    if (hooks->leave) g_hooks.leave = hooks->leave;
    if (hooks->trace) g_hooks.trace = hooks->trace;
    if (hooks->now_ms) g_hooks.now_ms = hooks->now_ms;
    if (hooks->ntp_seconds) g_hooks.ntp_seconds = hooks->ntp_seconds;
    if (hooks->ntp_fraction) g_hooks.ntp_fraction = hooks->ntp_fraction;
    if (hooks->cpu_load) g_hooks.cpu_load = hooks->cpu_load;
}

const dsp_platform_hooks *dsp_hooks(void) {
    return &g_hooks;
}

// ---- Parameters ----------------------------------------------------------------

namespace {
constexpr int k_tx_packet_ms_default = 20;
constexpr int k_cn_pt = 13;
constexpr int k_tel_event_pt = 101;
constexpr int k_tel_event_default = 10;
constexpr int k_tel_event_ms_default = 120;
constexpr int k_tel_event_end_packets = 3;
constexpr int k_ignore_pt = 127;
constexpr int k_delay_default_ms = 40;
constexpr int k_delay_max_ms = 800;
}  // namespace

void dsp_tx_params_default(dsp_tx_params *p) {
    *p = dsp_tx_params{};
    p->codec_id = DSP_CODEC_DEFAULT;
    p->packet_time_ms = k_tx_packet_ms_default;
    p->rtcp_interval_ms = DSP_RTCP_INTERVAL_DEFAULT_MS;
    p->cn_pt = k_cn_pt;
    p->tel_event_pt = k_tel_event_pt;
    p->tel_event = k_tel_event_default;
    p->tel_event_ms = k_tel_event_ms_default;
    p->tel_event_end_packets = k_tel_event_end_packets;
}

void dsp_rx_params_default(dsp_rx_params *p) {
    *p = dsp_rx_params{};
    p->codec_id = DSP_CODEC_DEFAULT;
    p->tel_event_pt = k_tel_event_pt;
    p->cn_pt = k_cn_pt;
    p->ignore_pt = k_ignore_pt;
    p->min_delay_ms = k_delay_default_ms;
    p->max_delay_ms = k_delay_max_ms;
    p->start_delay_ms = k_delay_default_ms;
    p->rtcp_interval_ms = DSP_RTCP_INTERVAL_DEFAULT_MS;
}

void dsp_rx_repair_delays(dsp_rx_params *p) {
    // Negative delays make no sense; they are treated like out-of-range ones.
    if (p->min_delay_ms > k_delay_max_ms || p->min_delay_ms < 0)
        p->min_delay_ms = k_delay_default_ms;
    if (p->max_delay_ms > k_delay_max_ms) p->max_delay_ms = k_delay_max_ms;
    if (p->max_delay_ms < 0) p->max_delay_ms = k_delay_default_ms;
    if (p->max_delay_ms < p->min_delay_ms) {
        int t = p->max_delay_ms;
        p->max_delay_ms = p->min_delay_ms;
        p->min_delay_ms = t;
    }
    if (p->start_delay_ms < p->min_delay_ms) p->start_delay_ms = p->min_delay_ms;
    if (p->start_delay_ms > p->max_delay_ms) p->start_delay_ms = p->max_delay_ms;
}

int dsp_rtcp_interval_fix(int interval_ms) {
    if (interval_ms < DSP_RTCP_INTERVAL_MIN_MS || interval_ms > DSP_RTCP_INTERVAL_MAX_MS)
        return DSP_RTCP_INTERVAL_DEFAULT_MS;
    return interval_ms;
}
