#include "stop_signal.h"

#include <algorithm>
#include <thread>

#include "platform/stop_request.h"

namespace ovel::tool {

void install_stop_handlers() {
    platform::install_stop_handlers();
}

bool stop_requested() {
    return platform::stop_requested();
}

bool sleep_until_unless_stopped(std::chrono::steady_clock::time_point due) {
    using Clock = std::chrono::steady_clock;
    while (!stop_requested()) {
        const auto now = Clock::now();
        if (now >= due) {
            return true;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(due - now, STOP_POLL_PERIOD));
    }
    return false;
}

}  // namespace ovel::tool
