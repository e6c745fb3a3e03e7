#include "platform/clocks.h"

#include "platform/target.h"

#if OVEL_PLATFORM_LINUX
#include <time.h>
#endif

#include <chrono>

namespace ovel::platform {

#if OVEL_PLATFORM_LINUX

namespace {
std::int64_t read_clock(clockid_t clock) noexcept {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}
}  // namespace

std::int64_t monotonic_ns() noexcept {
    return read_clock(CLOCK_MONOTONIC);
}

std::int64_t wall_clock_ns() noexcept {
    return read_clock(CLOCK_REALTIME);
}

#else

// The standard clocks are the system's own elsewhere (QueryPerformanceCounter and
// GetSystemTimePreciseAsFileTime under MinGW, mach_absolute_time and gettimeofday on macOS).
std::int64_t monotonic_ns() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t wall_clock_ns() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

#endif

}  // namespace ovel::platform
