// CPU time of the receive context per 10 ms frame: put_packet + process.
#include <benchmark/benchmark.h>

#include "bench_rx_common.h"

namespace {

using namespace bench_rx;

constexpr int k_ring_packets = 1000;  // 10 s of audio, reused with fresh numbers
constexpr int k_warmup_frames = 300;

struct feeder {
    rx_instance rx;
    std::vector<std::vector<uint8_t>> ring;
    int frame = 0;
    uint32_t tick = 0;

    explicit feeder(int rate) {
        frame = rate / 100;
        rx.setup(rate, 20, 120, 60);
        const std::vector<int16_t> pcm = speech_like(rate, k_ring_packets * frame, 1);
        ring.resize(k_ring_packets);
        for (int i = 0; i < k_ring_packets; ++i) {
            ring[static_cast<size_t>(i)].resize(static_cast<size_t>(k_rtp_header + 2 * frame));
            build_rtp(ring[static_cast<size_t>(i)].data(), 0, 0, 0x5eed, pcm.data() + i * frame,
                      frame);
        }
    }

    // One 10 ms tick; `deliver` says whether this tick's packet arrives.
    void step(bool deliver) {
        if (deliver) {
            std::vector<uint8_t> &p = ring[tick % k_ring_packets];
            const uint32_t ts = tick * static_cast<uint32_t>(frame);
            p[2] = static_cast<uint8_t>(tick >> 8);
            p[3] = static_cast<uint8_t>(tick);
            p[4] = static_cast<uint8_t>(ts >> 24);
            p[5] = static_cast<uint8_t>(ts >> 16);
            p[6] = static_cast<uint8_t>(ts >> 8);
            p[7] = static_cast<uint8_t>(ts);
            rx.ctx->put_packet(rx.ctx, p.data(), DSP_PKT_RTP, static_cast<int>(p.size()));
        }
        rx.ctx->process(rx.ctx);
        tick++;
    }
};

void report(benchmark::State &state, const feeder &f) {
    dsp_rx_stats s{};
    dsp_rx_get_stats(f.rx.ctx, &s);
    const double frames = s.frames > 0 ? s.frames : 1;
    state.counters["expand%"] = 100.0 * s.expands / frames;
    state.counters["accel%"] = 100.0 * s.accelerates / frames;
    state.counters["preempt%"] = 100.0 * s.preemptive_expands / frames;
}

void BM_RxSteady(benchmark::State &state) {
    feeder f(static_cast<int>(state.range(0)));
    for (int i = 0; i < k_warmup_frames; ++i) f.step(true);
    for (auto _ : state) {
        f.step(true);
        benchmark::DoNotOptimize(f.rx.out.data[0]);
    }
    report(state, f);
}

// Three packets lost out of every ten: concealment, merges and the analysis
// that starts each concealment run.
void BM_RxConcealment(benchmark::State &state) {
    feeder f(static_cast<int>(state.range(0)));
    for (int i = 0; i < k_warmup_frames; ++i) f.step(true);
    for (auto _ : state) {
        f.step(f.tick % 10 >= 3);
        benchmark::DoNotOptimize(f.rx.out.data[0]);
    }
    report(state, f);
}

// Nothing arrives at all: long concealment fading to background noise.
void BM_RxConcealmentLong(benchmark::State &state) {
    feeder f(static_cast<int>(state.range(0)));
    for (int i = 0; i < k_warmup_frames; ++i) f.step(true);
    for (auto _ : state) {
        f.step(false);
        benchmark::DoNotOptimize(f.rx.out.data[0]);
    }
    report(state, f);
}

BENCHMARK(BM_RxSteady)->Arg(16000)->Arg(32000);
BENCHMARK(BM_RxConcealment)->Arg(16000)->Arg(32000);
BENCHMARK(BM_RxConcealmentLong)->Arg(16000)->Arg(32000);

}  // namespace

BENCHMARK_MAIN();
