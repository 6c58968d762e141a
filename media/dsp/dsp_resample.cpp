// Polyphase rate conversion of 10 ms frames.
#include "media/dsp/dsp_resample.h"

#include <cmath>
#include <cstring>

namespace {
constexpr double k_cutoff_margin = 0.9;  // pass band ends a little below Nyquist
constexpr double k_pi = 3.14159265358979323846;

int gcd(int a, int b) {
    while (b != 0) {
        int t = a % b;
        a = b;
        b = t;
    }
    return a;
}
}  // namespace

int dsp_resample_setup(dsp_resampler *r, int in_rate, int out_rate) {
    if (!dsp_codec_rate_supported(in_rate) || !dsp_codec_rate_supported(out_rate)) return -1;
    std::memset(r, 0, sizeof(*r));
    int g = gcd(in_rate, out_rate);
    r->in_rate = in_rate;
    r->out_rate = out_rate;
    r->up = out_rate / g;
    r->down = in_rate / g;
    int factor = r->up > r->down ? r->up : r->down;
    r->taps = DSP_RESAMPLE_TAPS_PER_PHASE * factor;
    r->history = (r->taps + r->up - 1) / r->up;

    // Low-pass at the intermediate rate, cut at the lower Nyquist frequency.
    double fc = k_cutoff_margin * 0.5 / factor;  // cycles per intermediate sample
    double centre = (r->taps - 1) / 2.0;
    double sum = 0;
    for (int k = 0; k < r->taps; k++) {
        double x = k - centre;
        double sinc = x == 0 ? 2 * fc : std::sin(2 * k_pi * fc * x) / (k_pi * x);
        double window = 0.54 - 0.46 * std::cos(2 * k_pi * k / (r->taps - 1));
        r->coef[k] = static_cast<float>(sinc * window);
        sum += r->coef[k];
    }
    // Unity gain through each polyphase branch after interpolation by L.
    for (int k = 0; k < r->taps; k++) r->coef[k] = static_cast<float>(r->coef[k] * r->up / sum);
    return 0;
}

int dsp_resample_frame(dsp_resampler *r, const int16_t *in, int16_t *out) {
    int in_n = r->in_rate / 100;
    int out_n = r->out_rate / 100;
    float *x = r->buf + r->history;  // x[-history .. -1] is the previous frame's tail
    for (int i = 0; i < in_n; i++) x[i] = in[i];
    for (int n = 0; n < out_n; n++) {
        int t = n * r->down;  // position at the intermediate rate
        // Taps k with (t - k) divisible by up touch real input samples.
        int k = t % r->up;
        float acc = 0;
        for (; k < r->taps; k += r->up) {
            int j = (t - k) / r->up;
            if (j < -r->history) break;
            acc += r->coef[k] * x[j];
        }
        long v = std::lround(acc);
        if (v > INT16_MAX) v = INT16_MAX;
        if (v < INT16_MIN) v = INT16_MIN;
        out[n] = static_cast<int16_t>(v);
    }
    std::memmove(r->buf, r->buf + in_n, sizeof(float) * r->history);
    return out_n;
}
