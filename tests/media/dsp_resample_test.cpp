// Rate conversion between the codec rates: in-band tones keep level and
// frequency, tones above the lower Nyquist frequency are removed.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "media/dsp/dsp_resample.h"

namespace {

struct result {
    double rms;
    double hz;  // estimated from zero crossings
};

// Runs `seconds` of a tone through the converter frame by frame and measures
// the output after the first 100 ms.
result convert_tone(int in_rate, int out_rate, double hz, double amplitude, int frames) {
    dsp_resampler r;
    EXPECT_EQ(dsp_resample_setup(&r, in_rate, out_rate), 0);
    int in_n = in_rate / 100, out_n = out_rate / 100;
    std::vector<int16_t> in(static_cast<size_t>(in_n));
    std::vector<int16_t> out;
    for (int f = 0; f < frames; f++) {
        for (int i = 0; i < in_n; i++)
            in[static_cast<size_t>(i)] = static_cast<int16_t>(
                amplitude * std::sin(2 * M_PI * hz * (f * in_n + i) / in_rate));
        std::vector<int16_t> frame(static_cast<size_t>(out_n));
        EXPECT_EQ(dsp_resample_frame(&r, in.data(), frame.data()), out_n);
        out.insert(out.end(), frame.begin(), frame.end());
    }
    size_t skip = static_cast<size_t>(out_n) * 10;
    double sum = 0;
    int crossings = 0;
    for (size_t i = skip; i < out.size(); i++) {
        sum += double(out[i]) * out[i];
        if (i > skip && (out[i - 1] < 0) != (out[i] < 0)) crossings++;
    }
    size_t n = out.size() - skip;
    double secs = double(n) / out_rate;
    return {std::sqrt(sum / double(n)), crossings / 2.0 / secs};
}

}  // namespace

TEST(DspResample, InBandToneKeepsLevelAndFrequency) {
    const int rates[] = {8000, 16000, 32000, 48000};
    for (int in : rates) {
        for (int out : rates) {
            if (in == out) continue;
            SCOPED_TRACE(std::to_string(in) + " -> " + std::to_string(out));
            result r = convert_tone(in, out, 1000, 10000, 60);
            EXPECT_NEAR(r.rms, 10000 / std::sqrt(2.0), 500);
            EXPECT_NEAR(r.hz, 1000, 25);
        }
    }
}

TEST(DspResample, ToneAboveTheLowerNyquistIsRemoved) {
    struct {
        int in, out;
        double hz;
    } rows[] = {
        {16000, 8000, 6000}, {48000, 8000, 5000}, {32000, 16000, 12000}, {48000, 32000, 20000}};
    for (auto &row : rows) {
        SCOPED_TRACE(row.in);
        result r = convert_tone(row.in, row.out, row.hz, 10000, 60);
        EXPECT_LT(r.rms, 10000 / std::sqrt(2.0) / 10);  // at least 20 dB down
    }
}

TEST(DspResample, UnsupportedRatesAreRefused) {
    dsp_resampler r;
    EXPECT_EQ(dsp_resample_setup(&r, 44100, 16000), -1);
    EXPECT_EQ(dsp_resample_setup(&r, 16000, 22050), -1);
    EXPECT_EQ(dsp_resample_setup(&r, 0, 8000), -1);
}
