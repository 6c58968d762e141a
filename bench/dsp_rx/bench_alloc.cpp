// Counts heap allocations while the receive context runs in steady state,
// through concealment and a stream change: there must be none per frame.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "bench_rx_common.h"

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void __libc_free(void *);

namespace {
std::atomic<long> g_allocations{0};
std::atomic<bool> g_counting{false};
void count() {
    if (g_counting.load(std::memory_order_relaxed))
        g_allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" void *malloc(size_t n) {
    count();
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t a, size_t b) {
    count();
    return __libc_calloc(a, b);
}
extern "C" void *realloc(void *p, size_t n) {
    count();
    return __libc_realloc(p, n);
}
extern "C" void free(void *p) {
    __libc_free(p);
}

void *operator new(size_t n) {
    count();
    void *p = __libc_malloc(n ? n : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void *operator new[](size_t n) {
    return operator new(n);
}
void operator delete(void *p) noexcept {
    __libc_free(p);
}
void operator delete[](void *p) noexcept {
    __libc_free(p);
}
void operator delete(void *p, size_t) noexcept {
    __libc_free(p);
}
void operator delete[](void *p, size_t) noexcept {
    __libc_free(p);
}

int main() {
    using namespace bench_rx;
    constexpr int k_rate = 16000;
    constexpr int k_frame = k_rate / 100;
    constexpr int k_frames = 6000;
    rx_instance rx;
    if (rx.setup(k_rate, 20, 120, 60) != 0) {
        std::printf("receive context setup failed\n");
        return 1;
    }
    const std::vector<int16_t> pcm = speech_like(k_rate, k_frames * k_frame, 3);
    std::vector<uint8_t> packet(static_cast<size_t>(k_rtp_header + 2 * k_frame));

    // Phases: steady, then every third packet lost, then a new SSRC, then
    // nothing at all.
    auto run = [&](int from, int to) {
        for (int t = from; t < to; ++t) {
            const uint32_t ssrc = t < 3000 ? 0x1111 : 0x2222;
            const bool lost = (t >= 1500 && t < 2500 && t % 3 == 0) || t >= 5000;
            if (!lost) {
                const int len = build_rtp(packet.data(), static_cast<uint16_t>(t),
                                          static_cast<uint32_t>(t * k_frame), ssrc,
                                          pcm.data() + t * k_frame, k_frame);
                rx.ctx->put_packet(rx.ctx, packet.data(), DSP_PKT_RTP, len);
            }
            rx.ctx->process(rx.ctx);
        }
    };
    run(0, 500);  // warm-up (not counted)
    g_counting = true;
    run(500, k_frames);
    g_counting = false;

    const long n = g_allocations.load();
    std::printf(
        "receive context, L16 16000 Hz: %ld heap allocations in %d frames (%.4f per frame)\n", n,
        k_frames - 500, static_cast<double>(n) / (k_frames - 500));
    std::printf("  phases: steady, 1 in 3 lost, SSRC change, 10 s without packets\n");
    return n == 0 ? 0 : 1;
}
