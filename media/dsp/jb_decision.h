// The playout decision: which operation produces the next stretch of audio.
#pragma once

#include <cstdint>

// Instruction codes (high nibble) and flags.
enum jb_instruction : uint16_t {
    JB_OP_NORMAL = 0x1000,
    JB_OP_MERGE = 0x2000,
    JB_OP_EXPAND = 0x3000,
    JB_OP_ACCELERATE = 0x4000,
    JB_OP_CNG_DESCRIPTOR = 0x5000,
    JB_OP_DTMF_TONE = 0x6000,
    JB_OP_NORMAL_DECODER_OUTPUT = 0x7000,
    JB_OP_CNG_INTERNAL = 0x8000,
    JB_OP_PREEMPTIVE_EXPAND = 0x9000,
    JB_OP_EXTERNAL_CONCEAL = 0xB000,
    JB_OP_EXTERNAL_CONCEAL_ADVANCE = 0xC000,
    JB_OP_REPEAT_LAST = 0xD000,
    JB_OP_REPEAT_LAST_ADVANCE = 0xE000,
    JB_OP_FADE_TO_BGN = 0xF000,
};
constexpr uint16_t k_jb_op_mask = 0xF000;
constexpr uint16_t k_jb_flag_first_after_start = 0x0200;
constexpr uint16_t k_jb_flag_decoder_reset = 0x0400;

// Expands in a row after which the decoder is reset.
constexpr int k_jb_max_expands_before_reset = 100;
// Time stretching is suppressed for this many decisions after a (re)start.
constexpr int k_jb_hold_off_start = 32;

struct jb_decision_input {
    int frame_due;            // the oldest buffered frame is the one to play next
    int after_expand;         // the previous operation concealed
    int first_after_start;    // first decision of a (re)started stream
    int expands_in_row;       // consecutive expands before this decision
    int level_q8;             // filtered buffer level, packets Q8
    int target_q8;            // target level, packets Q8
    int packets_per_20ms_q8;  // 20 ms expressed in packets, Q8
    int hold_off;             // > 0 suppresses accelerate and pre-emptive expand
    int stretch_possible;     // 30 ms of decoded audio can be gathered
};

struct jb_limits {
    int lower_q8;
    int upper_q8;
};

jb_limits jb_decision_limits(int target_q8, int packets_per_20ms_q8);

// Returns the instruction code with its flags.
uint16_t jb_decide(const jb_decision_input *in);
