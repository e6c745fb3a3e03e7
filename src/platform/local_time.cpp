#include "platform/local_time.h"

#include <cstdlib>

namespace ovel::platform {

bool local_time(std::time_t time, std::tm& local) noexcept {
#if defined(_WIN32)
    return localtime_s(&local, &time) == 0;
#else
    return localtime_r(&time, &local) != nullptr;
#endif
}

void set_time_zone(const char* zone) noexcept {
#if defined(_WIN32)
    _putenv_s("TZ", zone);
    _tzset();
#else
    setenv("TZ", zone, 1);
    tzset();
#endif
}

}  // namespace ovel::platform
