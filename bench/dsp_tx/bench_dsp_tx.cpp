// CPU per 10 ms frame of the send context (process + get_packet, the way the
// stream drives it) and the allocations it makes in steady state.
//
// The binary replaces operator new and malloc with counting versions; a frame
// must leave the counters unchanged. The reference case is the least work any
// L16 sender must do per frame (copy the frame in, byte-swap it out), measured
// in the same run.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "media/dsp/dsp_codec.h"
#include "media/dsp/dsp_tx.h"

#if defined(__SANITIZE_ADDRESS__)
#define BENCH_COUNT_ALLOCS 0
#else
#define BENCH_COUNT_ALLOCS 1
#endif

namespace {
std::atomic<uint64_t> g_allocs{0};
}

#if BENCH_COUNT_ALLOCS
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);

void *malloc(size_t n) {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
void *calloc(size_t n, size_t m) {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, m);
}
void *realloc(void *p, size_t n) {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
void free(void *p) {
    __libc_free(p);
}
}

void *operator new(size_t n) {
    void *p = malloc(n == 0 ? 1 : n);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void *operator new[](size_t n) {
    return operator new(n);
}
void operator delete(void *p) noexcept {
    free(p);
}
void operator delete[](void *p) noexcept {
    free(p);
}
void operator delete(void *p, size_t) noexcept {
    free(p);
}
void operator delete[](void *p, size_t) noexcept {
    free(p);
}
#endif

namespace {

constexpr int k_cap = 1600;  // the stream's packet buffer
constexpr int k_warmup_frames = 200;

struct sender {
    std::unique_ptr<dsp_tx_ctx> ctx = std::make_unique<dsp_tx_ctx>();
    dsp_pcm pcm{};
    int16_t source[DSP_PCM_MAX_SAMPLES];
    uint8_t packet[k_cap];

    dsp_ctx *c() { return &ctx->s.head.hdr; }

    bool start(int rate, uint32_t codec) {
        dsp_tx_engine.init(c());
        dsp_pcm_setup(&pcm, rate);
        dsp_tx_params &p = ctx->s.head.params;
        p.in1 = &pcm;
        p.command_flags = DSP_CMD_START;
        p.codec_id = codec;
        p.voice_pt = 108;
        p.packet_time_ms = 10;
        for (uint32_t i = 0; i < pcm.samples; i++)
            source[i] = static_cast<int16_t>(8000 * std::sin(0.05 * i));
        return c()->reset(c()) == 0;
    }

    // One 10 ms step of the stream's send path.
    int step() {
        std::memcpy(pcm.data, source, pcm.samples * sizeof(int16_t));
        c()->process(c());
        int bytes = 0;
        for (;;) {
            int kind = 0;
            int len = c()->get_packet(c(), packet, &kind, k_cap);
            if (len <= 0) break;
            bytes += len;
        }
        return bytes;
    }
};

void run_sender(benchmark::State &state, int rate, uint32_t codec) {
    sender s;
    if (!s.start(rate, codec)) {
        state.SkipWithError("reset failed");
        return;
    }
    for (int i = 0; i < k_warmup_frames; i++) s.step();
    uint64_t before = g_allocs.load();
    int64_t frames = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(s.step());
        frames++;
    }
    uint64_t allocs = g_allocs.load() - before;
    state.counters["allocs_per_frame"] =
        BENCH_COUNT_ALLOCS ? static_cast<double>(allocs) / static_cast<double>(frames) : -1;
    state.counters["packets"] = static_cast<double>(s.ctx->s.counters.packets);
}

void BM_tx_l16_16k(benchmark::State &state) {
    run_sender(state, 16000, DSP_CODEC_L16_16K);
}
void BM_tx_l16_32k(benchmark::State &state) {
    run_sender(state, 32000, DSP_CODEC_L16_32K);
}
void BM_tx_pcmu_8k(benchmark::State &state) {
    run_sender(state, 8000, DSP_CODEC_PCMU);
}
void BM_tx_g722_64k(benchmark::State &state) {
    run_sender(state, 16000, DSP_CODEC_G722_64K);
}

// The floor: copy a frame in, write a header and the byte-swapped samples out.
void reference_swap(benchmark::State &state, int samples) {
    int16_t source[DSP_PCM_MAX_SAMPLES];
    int16_t frame[DSP_PCM_MAX_SAMPLES];
    uint8_t packet[k_cap];
    for (int i = 0; i < samples; i++) source[i] = static_cast<int16_t>(8000 * std::sin(0.05 * i));
    uint16_t seq = 0;
    for (auto _ : state) {
        std::memcpy(frame, source, static_cast<size_t>(samples) * sizeof(int16_t));
        packet[0] = 0x80;
        packet[1] = 108;
        packet[2] = static_cast<uint8_t>(seq >> 8);
        packet[3] = static_cast<uint8_t>(seq++);
        for (int i = 0; i < samples; i++) {
            uint16_t v = static_cast<uint16_t>(frame[i]);
            packet[12 + 2 * i] = static_cast<uint8_t>(v >> 8);
            packet[13 + 2 * i] = static_cast<uint8_t>(v);
        }
        benchmark::DoNotOptimize(packet);
        benchmark::ClobberMemory();
    }
}
void BM_reference_swap_16k(benchmark::State &state) {
    reference_swap(state, 160);
}
void BM_reference_swap_32k(benchmark::State &state) {
    reference_swap(state, 320);
}

// Shows that the counters see allocations: one per iteration here.
void BM_counter_check_one_new(benchmark::State &state) {
    uint64_t before = g_allocs.load();
    int64_t n = 0;
    for (auto _ : state) {
        auto *p = new int(static_cast<int>(n));
        benchmark::DoNotOptimize(p);
        delete p;
        n++;
    }
    state.counters["allocs_per_frame"] =
        BENCH_COUNT_ALLOCS ? static_cast<double>(g_allocs.load() - before) / static_cast<double>(n)
                           : -1;
}

}  // namespace

BENCHMARK(BM_tx_l16_16k);
BENCHMARK(BM_tx_l16_32k);
BENCHMARK(BM_reference_swap_16k);
BENCHMARK(BM_reference_swap_32k);
BENCHMARK(BM_tx_pcmu_8k);
BENCHMARK(BM_tx_g722_64k);
BENCHMARK(BM_counter_check_one_new);

BENCHMARK_MAIN();
