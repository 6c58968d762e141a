#include "media/dsp/jb_decision.h"

#include <gtest/gtest.h>

namespace {

constexpr int q8(double packets) {
    return static_cast<int>(packets * 256);
}

TEST(JbDecision, LimitsFollowTheTarget) {
    // 10 ms packets: 20 ms = 2 packets.
    jb_limits l = jb_decision_limits(q8(6), q8(2));
    EXPECT_EQ(l.lower_q8, q8(4.5));
    EXPECT_EQ(l.upper_q8, q8(6.5));
    l = jb_decision_limits(q8(20), q8(2));
    EXPECT_EQ(l.upper_q8, q8(20)) << "the target itself when L + 20 ms is below it";
}

TEST(JbDecision, PicksTheInstructionForEachSituation) {
    struct decision_case {
        const char *what;
        jb_decision_input in;
        uint16_t expect;
    };
    // frame_due, after_expand, first, expands_in_row, level, target, 20ms, hold_off,
    // stretch_possible
    const decision_case cases[] = {
        {"due, level at target", {1, 0, 0, 0, q8(6), q8(6), q8(2), 0, 1}, JB_OP_NORMAL},
        {"first after start",
         {1, 0, 1, 0, q8(6), q8(6), q8(2), 0, 1},
         JB_OP_NORMAL | k_jb_flag_first_after_start},
        {"nothing due", {0, 0, 0, 0, q8(6), q8(6), q8(2), 0, 1}, JB_OP_EXPAND},
        {"due after concealment", {1, 1, 0, 3, q8(1), q8(6), q8(2), 0, 1}, JB_OP_MERGE},
        {"level at upper limit", {1, 0, 0, 0, q8(6.5), q8(6), q8(2), 0, 1}, JB_OP_ACCELERATE},
        {"high but held off", {1, 0, 0, 0, q8(10), q8(6), q8(2), 5, 1}, JB_OP_NORMAL},
        {"four times upper despite hold-off",
         {1, 0, 0, 0, q8(26), q8(6), q8(2), 5, 1},
         JB_OP_ACCELERATE},
        {"high, too little audio", {1, 0, 0, 0, q8(10), q8(6), q8(2), 0, 0}, JB_OP_NORMAL},
        {"below lower limit", {1, 0, 0, 0, q8(4), q8(6), q8(2), 0, 1}, JB_OP_PREEMPTIVE_EXPAND},
        {"low but held off", {1, 0, 0, 0, q8(4), q8(6), q8(2), 1, 1}, JB_OP_NORMAL},
        {"101st expand resets decoder",
         {0, 1, 0, 100, 0, q8(6), q8(2), 0, 0},
         JB_OP_EXPAND | k_jb_flag_decoder_reset},
        {"102nd expand does not reset again", {0, 1, 0, 101, 0, q8(6), q8(2), 0, 0}, JB_OP_EXPAND},
    };
    for (const decision_case &c : cases) EXPECT_EQ(jb_decide(&c.in), c.expect) << c.what;
}

}  // namespace
