#include "media/dsp/jb_level_filter.h"

namespace {

// Smoothing factors in Q8 (256 = keep the old value), by target in whole packets.
struct smoothing_step {
    int max_target_packets;
    int factor_q8;
};
constexpr smoothing_step k_smoothing[] = {{1, 251}, {3, 252}, {7, 253}};
constexpr int k_smoothing_deep_q8 = 254;
constexpr int k_q8_shift = 8;

}  // namespace

void jb_level_filter_reset(jb_level_filter *f) {
    f->filtered_q8 = 0;
    f->primed = 0;
}

void jb_level_filter_update(jb_level_filter *f, int level_q8, int target_q8) {
    if (!f->primed) {
        f->filtered_q8 = level_q8;
        f->primed = 1;
        return;
    }
    int factor = k_smoothing_deep_q8;
    for (const smoothing_step &s : k_smoothing) {
        if (target_q8 <= s.max_target_packets << k_q8_shift) {
            factor = s.factor_q8;
            break;
        }
    }
    const long long mixed = static_cast<long long>(factor) * f->filtered_q8 +
                            static_cast<long long>(256 - factor) * level_q8;
    f->filtered_q8 = static_cast<int>(mixed >> k_q8_shift);
}

void jb_level_filter_stretched(jb_level_filter *f, int delta_q8) {
    f->filtered_q8 += delta_q8;
    if (f->filtered_q8 < 0) f->filtered_q8 = 0;
}
