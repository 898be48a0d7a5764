// The time of the system's monotonic clock, for measuring how long things
// take: it never jumps with a change of the time of day.
#pragma once

#include <cstdint>

// Nanoseconds since an arbitrary moment that stays the same while the
// system runs.
std::int64_t monotonic_nanoseconds();
