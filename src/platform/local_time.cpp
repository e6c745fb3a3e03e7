#include "platform/local_time.h"

namespace ovel::platform {

bool local_time(std::time_t time, std::tm& local) noexcept {
#if defined(_WIN32)
    return localtime_s(&local, &time) == 0;
#else
    return localtime_r(&time, &local) != nullptr;
#endif
}

}  // namespace ovel::platform
