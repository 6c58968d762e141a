// libdsp core: what every engine context shares (the context header with its
// operations, PCM descriptors, sample-rate codes, result codes, parameters,
// events and platform hooks).
//
// A context is a fixed block of memory that begins with `dsp_ctx`. The engine
// of a context kind is reached through its `dsp_engine_ops` table:
//     uint32_t size; ops.get_size(&size);   // reserve that much, aligned
//     ops.init(ctx);                        // clears the block, sets defaults
//     ...set parameters...; ctx->reset(ctx);
// After `init` the header carries the same operations, so callers holding
// only a context pointer use ctx->process(ctx) and so on.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Result codes ---------------------------------------------------------
constexpr int DSP_OK = 0;
constexpr int DSP_FAIL = -1;
constexpr int DSP_ERR_DESCRIPTOR = 9;      // input/output descriptor missing or mismatched
constexpr int DSP_ERR_CODEC = 12;          // codec id unknown or its rate unsupported
constexpr int DSP_ERR_NO_SLOT = 16;        // receive: packet buffer full
constexpr int DSP_ERR_FRAME_TOO_BIG = 18;  // receive: frame larger than a slot
constexpr int DSP_ERR_DUPLICATE = 21;      // receive: timestamp already buffered

// ---- Context header -------------------------------------------------------
constexpr uint32_t DSP_MAGIC = 0xdcbaabcdu;

// Kinds of packets passed through get_packet / put_packet.
constexpr int DSP_PKT_RTP = 2;
constexpr int DSP_PKT_RTCP = 3;

// Block sizes of the context kinds: get_size reports these, and the program's
// static block reserves them.
constexpr uint32_t DSP_TX_CTX_SIZE = 58448;
constexpr uint32_t DSP_RX_CTX_SIZE = 130076;
constexpr uint32_t DSP_VAD_CTX_SIZE = 856;

struct dsp_ctx;

using dsp_get_size_fn = int (*)(uint32_t *size);  // -> 0, *size = bytes
using dsp_init_fn = int (*)(dsp_ctx *ctx);        // -> 0
using dsp_reset_fn = int (*)(dsp_ctx *ctx);       // -> 0, DSP_ERR_DESCRIPTOR or DSP_ERR_CODEC
using dsp_process_fn = int (*)(dsp_ctx *ctx);     // -> 0
// Receive only: hands one packet of `kind` and `len` bytes in -> 0 accepted, -1 refused.
using dsp_put_packet_fn = int (*)(dsp_ctx *ctx, const uint8_t *pkt, int kind, int len);
// Send only: writes the next packet into `buf` (capacity `cap` bytes), sets *kind
// -> its length, 0 when nothing is due, -1 on failure or in a state that yields nothing.
using dsp_get_packet_fn = int (*)(dsp_ctx *ctx, uint8_t *buf, int *kind, int cap);

struct dsp_ctx {
    uint32_t magic;  // DSP_MAGIC once init has run
    int handle;      // 0
    dsp_get_size_fn get_size;
    dsp_init_fn init;
    dsp_reset_fn reset;
    dsp_process_fn process;
    dsp_put_packet_fn put_packet;  // null in a send context
    dsp_get_packet_fn get_packet;  // null in a receive context
    int channel;                   // event queue index (see dsp_post_event)
    int state;                     // DSP_STATE_*
};

// The operations table of a context kind.
struct dsp_engine_ops {
    dsp_get_size_fn get_size;
    dsp_init_fn init;
    dsp_reset_fn reset;
    dsp_process_fn process;
    dsp_put_packet_fn put_packet;
    dsp_get_packet_fn get_packet;
};

// Defined by the send engine and the receive engine respectively.
extern const dsp_engine_ops dsp_tx_engine;
extern const dsp_engine_ops dsp_rx_engine;

// True when a context handed in from outside may be used: right magic and the
// four mandatory operations set.
bool dsp_ctx_valid(const dsp_ctx *ctx);
// Fills the header (magic, handle 0, operations, channel 0, state 0).
void dsp_ctx_header_init(dsp_ctx *ctx, const dsp_engine_ops *ops);

// Context states.
constexpr int DSP_STATE_NONE = 0;  // not started
constexpr int DSP_STATE_IDLE = 1;
constexpr int DSP_STATE_RUNNING = 2;
constexpr int DSP_STATE_RUNNING_ALT = 3;  // second start variant: works, emits nothing
constexpr int DSP_STATE_PAUSED = 4;
constexpr int DSP_STATE_STOPPING = 5;  // next get_packet posts DSP_EVT_STOPPED, goes idle

// Command flags: one-shot requests, read (and cleared) at reset and process.
constexpr uint32_t DSP_CMD_START = 0x10000;
constexpr uint32_t DSP_CMD_START_ALT = 0x20000;
constexpr uint32_t DSP_CMD_PAUSE = 0x40000;
constexpr uint32_t DSP_CMD_STOP = 0x80000;
constexpr uint32_t DSP_CMD_TEL_EVENT = 0x100000;  // send: queue one telephone event

// ---- PCM descriptors -------------------------------------------------------
constexpr int DSP_PCM_MAX_SAMPLES = 480;  // one 10 ms frame at 48000 Hz

// A 16-byte header, then the samples (16-bit signed, host order).
struct dsp_pcm {
    uint32_t channels;  // 1
    uint32_t samples;   // samples per 10 ms frame = the rate code
    uint32_t reserved[2];
    int16_t data[DSP_PCM_MAX_SAMPLES];
};
static_assert(offsetof(dsp_pcm, data) == 16, "PCM samples follow a 16-byte header");

// Sets up a descriptor for `rate_hz`; -1 when the rate has no code that fits.
int dsp_pcm_setup(dsp_pcm *pcm, int rate_hz);

// ---- Sample-rate codes (code = samples per 10 ms) --------------------------
int dsp_rate_to_code(int rate_hz);           // 0 for rates without a code
int dsp_code_to_rate(int code);              // 0 for unknown codes
bool dsp_codec_rate_supported(int rate_hz);  // 8000, 16000, 32000, 48000

// ---- Events ----------------------------------------------------------------
constexpr uint32_t DSP_EVT_CTX_ERROR = 3;  // value 1: 12 (send) or 9 (receive)
constexpr uint32_t DSP_EVT_STARTED = 0x30000000;
constexpr uint32_t DSP_EVT_STOPPED = 0x30000001;
constexpr uint32_t DSP_EVT_START_ALT_OR_NEW_PT = 0x30000002;
constexpr uint32_t DSP_EVT_RTCP = 0x30000009;
constexpr uint32_t DSP_EVT_RTCP_BYE = 0x3000000a;
constexpr uint32_t DSP_EVT_LEVEL = 0x3000000c;
constexpr uint32_t DSP_EVT_DECODER_FAILED = 0x30000010;
constexpr uint32_t DSP_EVT_BAD_RTCP = 0x30000011;
constexpr uint32_t DSP_EVT_UNEXPECTED_PT = 0x30000012;

constexpr int DSP_EVENT_CHANNELS = 4;
constexpr int DSP_EVENT_QUEUE_LEN = 64;

struct dsp_event {
    const dsp_ctx *ctx;
    uint32_t code;
    int32_t value1;
    int32_t value2;
};

// Appends to the queue of ctx->channel when one is registered; else dropped.
// A full queue drops the newest event.
void dsp_post_event(const dsp_ctx *ctx, uint32_t code, int32_t value1, int32_t value2);
// Registers (clears) the queue of a channel -> 0, or -1 for a bad channel.
int dsp_event_queue_register(int channel);
void dsp_event_queue_unregister(int channel);
// Takes the oldest event of a channel -> 1 when one was taken, 0 when empty, -1 bad channel.
int dsp_event_read(int channel, dsp_event *out);

// ---- Platform hooks ----------------------------------------------------------
// Seven hooks the engine may call; by default three do nothing and four return 0.
struct dsp_platform_hooks {
    void (*enter)(void);  // around shared engine state
    void (*leave)(void);
    void (*trace)(const char *text);  // engine diagnostics
    uint32_t (*now_ms)(void);         // a millisecond clock
    uint32_t (*ntp_seconds)(void);    // wall clock for RTCP sender reports
    uint32_t (*ntp_fraction)(void);
    uint32_t (*cpu_load)(void);  // statistics only
};
// Installs hooks; null entries (or a null table) fall back to the defaults.
void dsp_set_platform_hooks(const dsp_platform_hooks *hooks);
const dsp_platform_hooks *dsp_hooks(void);

// ---- Parameters ----------------------------------------------------------------
constexpr uint32_t DSP_CODEC_DEFAULT = 0x1010000;  // G.711 u-law at 8000 Hz

// Send option bits.
constexpr uint32_t DSP_TX_OPT_VAD = 1u << 1;        // voice-activity detection + comfort noise
constexpr uint32_t DSP_TX_OPT_KEEP_SSRC = 1u << 6;  // keep the given SSRC at reset
constexpr uint32_t DSP_TX_OPT_PREFIX = 1u << 7;     // 4-byte prefix before each RTP header
// RTCP flag bits (send and receive).
constexpr uint32_t DSP_RTCP_ON = 1u << 0;
constexpr uint32_t DSP_RTCP_SDES = 1u << 1;
constexpr uint32_t DSP_RTCP_BYE = 1u << 2;  // final report with BYE when stopping
constexpr uint32_t DSP_RTCP_XR = 1u << 3;   // extended report block

// Receive option bits.
constexpr uint32_t DSP_RX_OPT_PT_DECODER = 1u << 0;  // decoder by static payload type (< 95)
constexpr uint32_t DSP_RX_OPT_FIRST_SSRC = 1u << 4;  // accept only the first SSRC
constexpr uint32_t DSP_RX_OPT_TEL_EVENT = 1u << 5;
constexpr uint32_t DSP_RX_OPT_CN = 1u << 8;
constexpr uint32_t DSP_RX_OPT_OTHER_PT = 1u << 11;  // decode other payload types too
constexpr uint32_t DSP_RX_OPT_DROP_OTHER_PT = 1u << 13;
constexpr uint32_t DSP_RX_OPT_LEVEL = 1u << 14;

constexpr int DSP_RTCP_INTERVAL_DEFAULT_MS = 5000;
constexpr int DSP_RTCP_INTERVAL_MIN_MS = 1000;
constexpr int DSP_RTCP_INTERVAL_MAX_MS = 3600000;

struct dsp_tx_params {
    dsp_pcm *in1;            // PCM source (required)
    dsp_pcm *in2;            // optional second source of the same size, mixed in
    uint32_t command_flags;  // DSP_CMD_*
    uint32_t option_flags;   // DSP_TX_OPT_*
    uint32_t rtcp_flags;     // DSP_RTCP_*
    uint32_t codec_id;       // default DSP_CODEC_DEFAULT
    int voice_pt;            // 0
    int packet_time_ms;      // 20
    uint32_t ssrc;           // 0: drawn at reset unless DSP_TX_OPT_KEEP_SSRC
    uint32_t initial_timestamp;
    uint16_t initial_sequence;
    int rtcp_interval_ms;       // 5000
    int cn_pt;                  // 13
    int tel_event_pt;           // 101
    int tel_event;              // 10
    int tel_event_ms;           // 120
    int tel_event_end_packets;  // 3
    uint32_t prefix;            // the 4-byte prefix word (DSP_TX_OPT_PREFIX), sent big-endian
};

struct dsp_rx_params {
    dsp_pcm *out1;  // PCM sink (required)
    dsp_pcm *out2;  // optional copy of the output
    uint32_t command_flags;
    uint32_t option_flags;  // DSP_RX_OPT_*
    uint32_t rtcp_flags;
    uint32_t codec_id;     // default DSP_CODEC_DEFAULT
    int voice_pt;          // 0
    int tel_event_pt;      // 101
    int cn_pt;             // 13
    int ignore_pt;         // 127
    int min_delay_ms;      // 40
    int max_delay_ms;      // 800
    int start_delay_ms;    // 40
    int rtcp_interval_ms;  // 5000
};

void dsp_tx_params_default(dsp_tx_params *p);
void dsp_rx_params_default(dsp_rx_params *p);
// The receive context's repair of the delay triple, run at its reset.
void dsp_rx_repair_delays(dsp_rx_params *p);
// Values outside 1000..3600000 ms become 5000.
int dsp_rtcp_interval_fix(int interval_ms);

// Every receive context begins with this, so the program can reach the
// parameters without knowing the rest of the layout.
struct dsp_rx_ctx_head {
    dsp_ctx hdr;
    dsp_rx_params params;
};

// Every send context begins with this.
struct dsp_tx_ctx_head {
    dsp_ctx hdr;
    dsp_tx_params params;
};
