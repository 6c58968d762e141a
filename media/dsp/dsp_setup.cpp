// The program's engine set-up: one static send and one static receive
// context, reset per stream.
#include "media/dsp/dsp_setup.h"

#include <cstdlib>
#include <cstring>

#include "media/dsp/dsp_codec.h"
#include "media/dsp/dsp_engine.h"
#include "media/dsp/dsp_rand.h"
#include "media/dsp/dsp_tx.h"
#include "platform/log.h"

// The receive engine lives in its own files; until it is linked in, the
// receive half of the set-up reports that it is missing instead of failing
// to link.
extern const dsp_engine_ops dsp_rx_engine __attribute__((weak));

namespace {

constexpr int k_rate_16k = 16000;
constexpr int k_rate_32k = 32000;
constexpr int k_max_packets_per_pull = 16;

struct engine_block {
    dsp_tx_ctx tx;
    alignas(8) uint8_t rx[DSP_RX_CTX_SIZE];
    dsp_pcm tx_in;
    dsp_pcm rx_out;
};

engine_block g_block;
bool g_tx_ready;
bool g_rx_ready;
int g_tx_rate = k_rate_16k;
int g_rx_rate = k_rate_16k;

dsp_ctx *tx_ctx() {
    return &g_block.tx.s.head.hdr;
}
dsp_ctx *rx_ctx() {
    return reinterpret_cast<dsp_ctx *>(g_block.rx);
}
dsp_rx_params *rx_params() {
    return &reinterpret_cast<dsp_rx_ctx_head *>(g_block.rx)->params;
}

uint32_t codec_for_rate(int rate_hz) {
    return rate_hz == k_rate_32k ? DSP_CODEC_L16_32K : DSP_CODEC_L16_16K;
}

// 16000 and 32000 are taken, anything else keeps the previous rate.
int pick_rate(int requested, int previous) {
    if (requested == k_rate_16k || requested == k_rate_32k) return requested;
    log_print(0, LL_WARN, "dsp reset with unsupported rate %d, keeping %d\n", requested, previous);
    return previous;
}

void hook_nothing(void) {}
void hook_trace(const char *) {}
uint32_t hook_zero(void) {
    return 0;
}

int setup_rx(void) {
    g_rx_ready = false;
    const dsp_engine_ops *ops = &dsp_rx_engine;
    if (ops == nullptr || ops->get_size == nullptr || ops->init == nullptr) {
        log_print(0, LL_ERR, "dsp rx engine not available\n");
        return -1;
    }
    uint32_t size = 0;
    if (ops->get_size(&size) != 0 || size > DSP_RX_CTX_SIZE || size < sizeof(dsp_rx_ctx_head)) {
        log_print(0, LL_ERR, "dsp rx context size %u does not fit %u\n", size, DSP_RX_CTX_SIZE);
        return -1;
    }
    if (ops->init(rx_ctx()) != 0 || !dsp_ctx_valid(rx_ctx())) {
        log_print(0, LL_ERR, "dsp rx context init failed\n");
        return -1;
    }
    g_rx_ready = true;
    return 0;
}

}  // namespace

int dsp_setup(void) {
    dsp_rand_seed(static_cast<uint32_t>(std::rand()));
    std::memset(&g_block, 0, sizeof(g_block));
    g_tx_ready = false;
    g_rx_ready = false;
    g_tx_rate = k_rate_16k;
    g_rx_rate = k_rate_16k;
    static const dsp_platform_hooks hooks = {hook_nothing, hook_nothing, hook_trace, hook_zero,
                                             hook_zero,    hook_zero,    hook_zero};
    dsp_set_platform_hooks(&hooks);

    int rc = 0;
    uint32_t size = 0;
    if (dsp_tx_engine.get_size(&size) != 0 || size != sizeof(g_block.tx) ||
        dsp_tx_engine.init(tx_ctx()) != 0) {
        log_print(0, LL_ERR, "dsp tx context init failed\n");
        rc = -1;
    } else {
        g_tx_ready = true;
    }
    if (setup_rx() != 0) rc = -1;

    if (g_rx_ready && dsp_rx_reset(k_rate_16k) != 0) rc = -1;
    if (g_tx_ready && dsp_tx_reset(k_rate_16k) != 0) rc = -1;
    return rc;
}

int dsp_tx_reset(int rate_hz) {
    if (!g_tx_ready) {
        log_print(0, LL_ERR, "dsp tx reset without a context\n");
        return -1;
    }
    g_tx_rate = pick_rate(rate_hz, g_tx_rate);
    dsp_tx_params &p = g_block.tx.s.head.params;
    dsp_pcm_setup(&g_block.tx_in, g_tx_rate);
    p.in1 = &g_block.tx_in;
    p.in2 = nullptr;
    p.command_flags = DSP_CMD_START;
    p.option_flags = 0;
    p.codec_id = codec_for_rate(g_tx_rate);
    p.voice_pt = DSP_SETUP_PT;
    p.packet_time_ms = DSP_SETUP_PACKET_MS;
    int rc = tx_ctx()->reset(tx_ctx());
    if (rc != 0) log_print(0, LL_ERR, "dsp tx reset failed: %d\n", rc);
    return rc;
}

int dsp_rx_reset(int rate_hz) {
    if (!g_rx_ready || !dsp_ctx_valid(rx_ctx())) {
        log_print(0, LL_ERR, "dsp rx reset without a context\n");
        return -1;
    }
    g_rx_rate = pick_rate(rate_hz, g_rx_rate);
    dsp_rx_params &p = *rx_params();
    dsp_pcm_setup(&g_block.rx_out, g_rx_rate);
    p.out1 = &g_block.rx_out;
    p.out2 = nullptr;
    p.command_flags = DSP_CMD_START;
    p.option_flags = 0;
    p.codec_id = codec_for_rate(g_rx_rate);
    p.voice_pt = DSP_SETUP_PT;
    p.min_delay_ms = DSP_SETUP_RX_MIN_DELAY_MS;
    p.max_delay_ms = DSP_SETUP_RX_MAX_DELAY_MS;
    p.start_delay_ms = DSP_SETUP_RX_START_DELAY_MS;
    int rc = rx_ctx()->reset(rx_ctx());
    if (rc != 0) log_print(0, LL_ERR, "dsp rx reset failed: %d\n", rc);
    return rc;
}

int dsp_tx_rate(void) {
    return g_tx_rate;
}
int dsp_rx_rate(void) {
    return g_rx_rate;
}
int dsp_tx_frame_bytes(void) {
    return g_tx_rate / 100 * 2;
}
int dsp_rx_frame_bytes(void) {
    return g_rx_rate / 100 * 2;
}

int dsp_tx_put_frame(const int16_t *pcm, int bytes) {
    if (!g_tx_ready || pcm == nullptr) return -1;
    if (bytes != dsp_tx_frame_bytes()) {
        log_print(0, LL_DEBUG, "dsp tx frame of %d bytes, expected %d\n", bytes,
                  dsp_tx_frame_bytes());
        return -1;
    }
    std::memcpy(g_block.tx_in.data, pcm, static_cast<size_t>(bytes));
    return tx_ctx()->process(tx_ctx());
}

int dsp_tx_next_rtp(uint8_t *buf, int cap) {
    if (!g_tx_ready || buf == nullptr || tx_ctx()->get_packet == nullptr) return 0;
    // The engine yields at most one RTP and one RTCP packet per call site; the
    // bound only guards against a misbehaving engine.
    for (int i = 0; i < k_max_packets_per_pull; i++) {
        int kind = 0;
        int len = tx_ctx()->get_packet(tx_ctx(), buf, &kind, cap);
        if (len <= 0) return 0;
        if (kind == DSP_PKT_RTP) return len;
        // Only RTP goes to the phone; anything else the engine yields is dropped.
    }
    return 0;
}

int dsp_rx_put_rtp(const uint8_t *pkt, int len) {
    if (!g_rx_ready || pkt == nullptr || len <= 0 || rx_ctx()->put_packet == nullptr) return -1;
    return rx_ctx()->put_packet(rx_ctx(), pkt, DSP_PKT_RTP, len);
}

int dsp_rx_get_frame(int16_t *pcm, int bytes) {
    if (!g_rx_ready || pcm == nullptr) return -1;
    if (bytes != dsp_rx_frame_bytes()) {
        log_print(0, LL_DEBUG, "dsp rx frame of %d bytes, expected %d\n", bytes,
                  dsp_rx_frame_bytes());
        return -1;
    }
    rx_ctx()->process(rx_ctx());
    std::memcpy(pcm, g_block.rx_out.data, static_cast<size_t>(bytes));
    return 0;
}
