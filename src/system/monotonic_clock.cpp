// The monotonic clock in nanoseconds.
#include "system/monotonic_clock.h"

#include <time.h>

std::int64_t monotonic_nanoseconds() {
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * std::int64_t{1'000'000'000} + now.tv_nsec;
}
