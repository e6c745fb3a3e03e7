#pragma once

#include <cstdint>

namespace ovel::platform {

// Nanoseconds of the monotonic clock (Linux CLOCK_MONOTONIC, the clock steady_clock reads).
std::int64_t monotonic_ns() noexcept;

// Nanoseconds since 1970-01-01 UTC, at the best resolution the system gives.
std::int64_t wall_clock_ns() noexcept;

}  // namespace ovel::platform
