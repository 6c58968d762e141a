// Properties of the signal processing behind concealment, merge and time
// stretching: continuity, the amount of time changed, and energy.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "media/dsp/jb_bgn.h"
#include "media/dsp/jb_expand.h"
#include "media/dsp/jb_merge.h"
#include "media/dsp/jb_time_stretch.h"

namespace {

constexpr int k_rate = 16000;
constexpr int k_fs_mult = 2;
constexpr int k_frame = 160;
constexpr double k_pi = 3.14159265358979323846;

std::vector<int16_t> sine(int n, double hz, double amp, int start = 0) {
    std::vector<int16_t> x(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        x[static_cast<size_t>(i)] =
            static_cast<int16_t>(amp * std::sin(2 * k_pi * hz * (i + start) / k_rate));
    return x;
}

// A voiced, speech-like tone: harmonics of f0 with falling amplitudes.
std::vector<int16_t> voiced(int n, double f0, double amp) {
    std::vector<int16_t> x(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        double v = 0;
        for (int h = 1; h <= 5; ++h) v += std::sin(2 * k_pi * f0 * h * i / k_rate + h) / h;
        x[static_cast<size_t>(i)] = static_cast<int16_t>(amp * v / 2.3);
    }
    return x;
}

std::vector<int16_t> noise(int n, double rms, uint32_t seed) {
    std::vector<int16_t> x(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        x[static_cast<size_t>(i)] = static_cast<int16_t>(rms * jb_noise_unit(&seed));
    return x;
}

double rms(const int16_t *x, int n) {
    double e = 0;
    for (int i = 0; i < n; ++i) e += double(x[i]) * x[i];
    return std::sqrt(e / n);
}

int max_step(const int16_t *x, int n) {
    int m = 0;
    for (int i = 1; i < n; ++i) m = std::max(m, std::abs(x[i] - x[i - 1]));
    return m;
}

TEST(JbExpand, ConcealedSineContinuesSmoothlyThenFadesToBackgroundNoise) {
    jb_bgn bgn;
    jb_bgn_reset(&bgn);
    for (int f = 0; f < 20; ++f) {
        const std::vector<int16_t> quiet = noise(k_frame, 100, 7 + f);
        jb_bgn_update(&bgn, quiet.data(), k_frame);
    }
    const std::vector<int16_t> hist = sine(1000, 250, 8000);
    for (int f = 0; f < 4; ++f) jb_bgn_update(&bgn, hist.data() + 360 + f * k_frame, k_frame);

    jb_expand ex;
    jb_expand_reset(&ex, k_fs_mult);
    jb_expand_start(&ex, hist.data() + hist.size(), static_cast<int>(hist.size()), 0);
    std::vector<int16_t> out(30 * k_frame);
    for (int f = 0; f < 30; ++f) jb_expand_generate(&ex, &bgn, out.data() + f * k_frame, k_frame);

    const int sine_step = max_step(hist.data(), static_cast<int>(hist.size()));
    // Continuity at the edge and within the first frame.
    EXPECT_LE(std::abs(out[0] - hist.back()), 2 * sine_step);
    EXPECT_LE(max_step(out.data(), k_frame), 2 * sine_step);
    // The first 10 ms keep the level of the sine.
    const double sine_rms = rms(hist.data(), 640);
    EXPECT_NEAR(rms(out.data(), k_frame) / sine_rms, 1.0, 0.15);
    // Later frames fade steadily, ending near the background noise.
    EXPECT_LT(rms(out.data() + 5 * k_frame, k_frame), rms(out.data() + k_frame, k_frame));
    const double tail = rms(out.data() + 29 * k_frame, k_frame);
    EXPECT_LT(tail, 0.05 * sine_rms);
    EXPECT_GT(tail, 30.0) << "faded to the noise estimate, not to hard silence";
}

TEST(JbExpand, FastFadeReachesBackgroundNoiseWithinOneFrame) {
    jb_bgn bgn;
    jb_bgn_reset(&bgn);
    const std::vector<int16_t> quiet = noise(k_frame, 50, 3);
    jb_bgn_update(&bgn, quiet.data(), k_frame);
    const std::vector<int16_t> hist = voiced(1000, 180, 10000);
    jb_expand ex;
    jb_expand_reset(&ex, k_fs_mult);
    jb_expand_start(&ex, hist.data() + hist.size(), static_cast<int>(hist.size()), 1);
    std::vector<int16_t> out(2 * k_frame);
    jb_expand_generate(&ex, &bgn, out.data(), 2 * k_frame);
    EXPECT_LE(std::abs(out[0] - hist.back()), 2 * max_step(hist.data(), 1000));
    EXPECT_LT(rms(out.data() + k_frame, k_frame), 100.0);
}

TEST(JbMerge, JoinsConcealmentToTheNextFrameWithoutAJump) {
    jb_bgn bgn;
    jb_bgn_reset(&bgn);
    // 600 samples played, then one 10 ms frame lost, then the following frame arrives.
    const std::vector<int16_t> whole = voiced(600 + 2 * k_frame, 200, 9000);
    jb_expand ex;
    jb_expand_reset(&ex, k_fs_mult);
    jb_expand_start(&ex, whole.data() + 600, 600, 0);
    std::vector<int16_t> concealed(k_frame);
    jb_expand_generate(&ex, &bgn, concealed.data(), k_frame);

    std::vector<int16_t> out(k_frame + k_jb_max_lag);
    std::vector<int16_t> scratch(k_jb_merge_scratch);
    const int n = jb_merge(&ex, &bgn, whole.data() + 600 + k_frame, k_frame, out.data(),
                           static_cast<int>(out.size()), scratch.data());
    EXPECT_GE(n, k_frame) << "the 10 ms cadence never runs short";
    EXPECT_LE(n, k_frame + k_jb_pitch_max_lag_8k * k_fs_mult);
    EXPECT_EQ(ex.active, 0);

    std::vector<int16_t> joined(concealed);
    joined.insert(joined.end(), out.begin(), out.begin() + n);
    const int ref_step = max_step(whole.data(), static_cast<int>(whole.size()));
    EXPECT_LE(max_step(joined.data(), static_cast<int>(joined.size())), 2 * ref_step);
    // It ends on the new frame exactly.
    for (int i = n - 40; i < n; ++i) EXPECT_EQ(out[i], whole[600 + k_frame + (i - (n - k_frame))]);
}

struct stretch_case {
    const char *what;
    double f0;
    int period;  // samples at 16000 Hz
};

TEST(JbTimeStretch, AccelerateRemovesWholePitchCyclesContinuously) {
    const stretch_case cases[] = {{"200 Hz", 200, 80}, {"125 Hz", 125, 128}, {"400 Hz", 400, 40}};
    for (const stretch_case &c : cases) {
        const int n = 3 * k_frame + 100;
        const std::vector<int16_t> in = voiced(n, c.f0, 9000);
        std::vector<int16_t> out(static_cast<size_t>(n));
        int removed = -1;
        const int len = jb_accelerate(in.data(), n, out.data(), k_fs_mult, &removed);
        EXPECT_EQ(len, n - removed) << c.what;
        ASSERT_GT(removed, 0) << c.what;
        EXPECT_EQ(removed % c.period, 0) << c.what << " removed " << removed;
        EXPECT_LE(max_step(out.data(), len), max_step(in.data(), n) * 3 / 2) << c.what;
        // After the cross-fade the output is the input, a cycle later.
        EXPECT_EQ(out[len - 1], in[n - 1]) << c.what;
    }
}

TEST(JbTimeStretch, PreemptiveExpandInsertsWholePitchCyclesContinuously) {
    const stretch_case cases[] = {{"200 Hz", 200, 80}, {"125 Hz", 125, 128}};
    for (const stretch_case &c : cases) {
        const int n = 3 * k_frame;
        const std::vector<int16_t> in = voiced(n, c.f0, 9000);
        std::vector<int16_t> out(static_cast<size_t>(n + k_jb_max_lag));
        int inserted = -1;
        const int len = jb_preemptive_expand(in.data(), n, out.data(), static_cast<int>(out.size()),
                                             k_fs_mult, &inserted);
        EXPECT_EQ(len, n + inserted) << c.what;
        ASSERT_GT(inserted, 0) << c.what;
        EXPECT_EQ(inserted % c.period, 0) << c.what;
        EXPECT_LE(max_step(out.data(), len), max_step(in.data(), n) * 3 / 2) << c.what;
        EXPECT_EQ(out[0], in[0]);
        EXPECT_EQ(out[len - 1], in[n - 1]);
    }
}

TEST(JbTimeStretch, LeavesLoudUncorrelatedAudioAloneButStretchesQuietAudio) {
    const int n = 3 * k_frame;
    const std::vector<int16_t> loud = noise(n, 5000, 11);
    std::vector<int16_t> out(static_cast<size_t>(n + k_jb_max_lag));
    int changed = -1;
    EXPECT_EQ(jb_accelerate(loud.data(), n, out.data(), k_fs_mult, &changed), n);
    EXPECT_EQ(changed, 0);
    EXPECT_EQ(std::vector<int16_t>(out.begin(), out.begin() + n), loud);
    EXPECT_EQ(jb_preemptive_expand(loud.data(), n, out.data(), static_cast<int>(out.size()),
                                   k_fs_mult, &changed),
              n);
    EXPECT_EQ(changed, 0);

    const std::vector<int16_t> quiet = noise(n, 20, 12);
    EXPECT_LT(jb_accelerate(quiet.data(), n, out.data(), k_fs_mult, &changed), n);
    EXPECT_GT(changed, 0);
    // Less than 30 ms is never stretched.
    const std::vector<int16_t> short_in = voiced(2 * k_frame, 200, 9000);
    EXPECT_EQ(jb_accelerate(short_in.data(), 2 * k_frame, out.data(), k_fs_mult, &changed),
              2 * k_frame);
    EXPECT_EQ(changed, 0);
}

TEST(JbBgn, TracksTheQuietLevelThroughSpeech) {
    jb_bgn bgn;
    jb_bgn_reset(&bgn);
    for (int f = 0; f < 50; ++f) {
        const bool talk = (f / 10) % 2 == 1;
        const std::vector<int16_t> x =
            talk ? voiced(k_frame, 150, 8000) : noise(k_frame, 300, 100 + f);
        jb_bgn_update(&bgn, x.data(), k_frame);
    }
    EXPECT_GT(bgn.rms, 200.0f);
    EXPECT_LT(bgn.rms, 450.0f);
    double e = 0;
    for (int i = 0; i < 16000; ++i) {
        const double v = jb_bgn_sample(&bgn);
        e += v * v;
    }
    EXPECT_NEAR(std::sqrt(e / 16000) / bgn.rms, 1.0, 0.1);
}

}  // namespace
