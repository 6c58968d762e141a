// Checks a recorded WAV file against the test tone that was played into the
// other end: when the sound starts, whether every 10 ms block after that is
// the tone (no gaps, no noise), and its level. Prints "key: value" lines and
// exits 0 when the recording is intact.
//
//   demo-wav-check FILE.wav --tone HZ [--skip-ms N] [--min-ms N] [--max-silent N]
//
// --max-silent lets a test on a loaded machine accept a few lost 10 ms blocks.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/wav/wav.h"

namespace {

constexpr double SILENCE_RMS = 100.0;    // below this a block counts as silent
constexpr double TONE_PURITY_MIN = 0.9;  // share of a block's energy at the tone
constexpr double BLOCK_MS = 10.0;

// Energy of the block at frequency hz (Goertzel), scaled like the block's
// total energy so that a pure tone gives a ratio near 1.
double tone_energy(const int16_t *x, int n, double hz, int rate) {
    double w = 2.0 * M_PI * hz / rate, c = 2.0 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (int i = 0; i < n; ++i) {
        double s0 = x[i] + c * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    double power = s1 * s1 + s2 * s2 - c * s1 * s2;
    return 2.0 * power / n;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4 || strcmp(argv[2], "--tone") != 0) {
        fprintf(stderr,
                "usage: demo-wav-check FILE.wav --tone HZ [--skip-ms N] [--min-ms N] [--max-silent "
                "N]\n");
        return 2;
    }
    const double hz = atof(argv[3]);
    double skip_ms = 100, min_ms = 1000;
    int max_silent = 0;
    for (int i = 4; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--skip-ms") == 0) skip_ms = atof(argv[i + 1]);
        if (strcmp(argv[i], "--min-ms") == 0) min_ms = atof(argv[i + 1]);
        if (strcmp(argv[i], "--max-silent") == 0) max_silent = atoi(argv[i + 1]);
    }
    wav_data wav;
    std::string err;
    if (wav_read(argv[1], &wav, &err) != 0 || wav.channels != 1 || wav.rate <= 0) {
        printf("file: %s\nerror: %s\nresult: failed\n", argv[1],
               err.empty() ? "not a mono 16-bit WAV file" : err.c_str());
        return 1;
    }
    const int block = int(wav.rate * BLOCK_MS / 1000);
    const int n = int(wav.samples.size());
    const int16_t *x = wav.samples.data();

    int first = -1;
    for (int i = 0; i < n; ++i)
        if (std::abs(x[i]) > 3 * SILENCE_RMS) {
            first = i;
            break;
        }
    printf("file: %s\nrate: %d\nseconds: %.2f\n", argv[1], wav.rate, double(n) / wav.rate);
    if (first < 0) {
        printf("first_sound_ms: none\nresult: failed\n");
        return 1;
    }
    // Judge the blocks between the first sound (plus a settling margin) and the
    // last sound (minus the same margin): the start and end of a stream may ramp.
    int last = n - 1;
    while (last > first && std::abs(x[last]) <= 3 * SILENCE_RMS) --last;
    const int skip = int(skip_ms * wav.rate / 1000);
    int blocks = 0, silent = 0, impure = 0;
    double rms_sum = 0;
    for (int at = first + skip; at + block <= last - skip; at += block) {
        double e = 0;
        for (int i = 0; i < block; ++i) e += double(x[at + i]) * x[at + i];
        double rms = std::sqrt(e / block);
        ++blocks;
        rms_sum += rms;
        if (rms < SILENCE_RMS) {
            ++silent;
            continue;
        }
        if (tone_energy(x + at, block, hz, wav.rate) < TONE_PURITY_MIN * e / block) ++impure;
    }
    const double judged_ms = blocks * BLOCK_MS;
    printf("first_sound_ms: %.1f\n", 1000.0 * first / wav.rate);
    printf("judged_ms: %.0f\nsilent_blocks: %d\nimpure_blocks: %d\nmean_rms: %.0f\n", judged_ms,
           silent, impure, blocks ? rms_sum / blocks : 0.0);
    // A lost block also disturbs the blocks beside it: each may cost two impure ones.
    bool ok =
        judged_ms >= min_ms && silent <= max_silent && impure <= blocks / 100 + 2 * max_silent;
    printf("result: %s\n", ok ? "ok" : "failed");
    return ok ? 0 : 1;
}
