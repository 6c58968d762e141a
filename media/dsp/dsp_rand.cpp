// libdsp random generator.
#include "media/dsp/dsp_rand.h"

namespace {
constexpr uint32_t k_state_mask = 0x7fffffffu;  // 31-bit state
constexpr uint32_t k_state_mul = 475559465u;
constexpr uint32_t k_state_add = 69070u;
constexpr uint32_t k_low_mul = 69069u;
constexpr uint32_t k_low_add = 1u;

uint32_t g_state = 1;
}  // namespace

uint32_t dsp_rand_step(uint32_t *state) {
    uint32_t s = *state;
    uint32_t next = (s * k_state_mul + k_state_add) & k_state_mask;
    uint32_t low = ((s * k_low_mul + k_low_add) >> 16) & 0x7fffu;
    *state = next;
    return (next & 0xffff0000u) | low;
}

void dsp_rand_seed(uint32_t seed) {
    g_state = seed & k_state_mask;
}

uint32_t dsp_rand_state(void) {
    return g_state;
}

uint32_t dsp_rand(void) {
    return dsp_rand_step(&g_state);
}
