#include "media/dsp/jb_decision.h"

#include <algorithm>

namespace {

// Accelerate regardless of the hold-off once the level reaches this many times the upper limit.
constexpr int k_force_accelerate_factor = 4;

}  // namespace

jb_limits jb_decision_limits(int target_q8, int packets_per_20ms_q8) {
    jb_limits l;
    l.lower_q8 = target_q8 * 3 / 4;
    l.upper_q8 = std::max(target_q8, l.lower_q8 + packets_per_20ms_q8);
    return l;
}

uint16_t jb_decide(const jb_decision_input *in) {
    uint16_t flags = in->first_after_start ? k_jb_flag_first_after_start : 0;
    if (!in->frame_due) {
        if (in->expands_in_row == k_jb_max_expands_before_reset) flags |= k_jb_flag_decoder_reset;
        return JB_OP_EXPAND | flags;
    }
    if (in->after_expand) return JB_OP_MERGE | flags;

    const jb_limits lim = jb_decision_limits(in->target_q8, in->packets_per_20ms_q8);
    const bool free_to_stretch = in->hold_off <= 0;
    uint16_t op = JB_OP_NORMAL;
    if ((in->level_q8 >= lim.upper_q8 && free_to_stretch) ||
        in->level_q8 >= k_force_accelerate_factor * lim.upper_q8) {
        op = JB_OP_ACCELERATE;
    } else if (in->level_q8 < lim.lower_q8 && free_to_stretch) {
        op = JB_OP_PREEMPTIVE_EXPAND;
    }
    if (op != JB_OP_NORMAL && !in->stretch_possible) op = JB_OP_NORMAL;
    return op | flags;
}
