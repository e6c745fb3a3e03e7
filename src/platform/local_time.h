#pragma once

#include <ctime>

namespace ovel::platform {

// `time` as local calendar time, thread-safe (localtime_r, localtime_s); false if it cannot be
// represented.
bool local_time(std::time_t time, std::tm& local) noexcept;

}  // namespace ovel::platform

namespace ovel::platform {

// Sets the process's time zone (a TZ value such as "UTC") for local_time; for tests.
void set_time_zone(const char* zone) noexcept;

}  // namespace ovel::platform
