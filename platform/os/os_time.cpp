#include "platform/os/os_time.h"

#include <time.h>

uint64_t os_wall_ms() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

uint64_t os_mono_ms() {
    return os_mono_us() / 1000u;
}

uint64_t os_mono_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

void os_sleep_ms(unsigned ms) {
    timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}
