#pragma once

#include <ctime>

namespace ovel::platform {

// `time` as local calendar time, thread-safe (localtime_r, localtime_s); false if it cannot be
// represented.
bool local_time(std::time_t time, std::tm& local) noexcept;

}  // namespace ovel::platform
