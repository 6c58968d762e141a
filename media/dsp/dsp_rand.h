// libdsp random generator: one process-wide 31-bit state, used for SSRCs and
// the randomisation of RTCP intervals.
#pragma once

#include <cstdint>

void dsp_rand_seed(uint32_t seed);
uint32_t dsp_rand_state(void);
// Next value of the process-wide generator.
uint32_t dsp_rand(void);
// The same step on a caller's state (for tests and private streams).
uint32_t dsp_rand_step(uint32_t *state);
