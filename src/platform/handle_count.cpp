#include "platform/handle_count.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <filesystem>
#include <system_error>
#endif

namespace ovel::platform {

long open_handle_count() {
#if defined(_WIN32)
    DWORD count = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<long>(count) : -1;
#else
    std::error_code error;
    long count = 0;
    for (std::filesystem::directory_iterator entry("/dev/fd", error), end;
         !error && entry != end; entry.increment(error)) {
        ++count;
    }
    return error ? -1 : count;
#endif
}

}  // namespace ovel::platform
