// Clocks of the portable core. Wall-clock milliseconds are what the protocol
// and the logs show; monotonic milliseconds are what timers and time-outs use.
#pragma once

#include <cstdint>

uint64_t os_wall_ms();  // seconds since 1970 * 1000 + milliseconds
uint64_t os_mono_ms();  // CLOCK_MONOTONIC in milliseconds
uint64_t os_mono_us();  // CLOCK_MONOTONIC in microseconds
void os_sleep_ms(unsigned ms);
