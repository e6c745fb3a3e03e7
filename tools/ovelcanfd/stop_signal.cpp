// Signal handlers that only set a flag (async-signal-safe).
#include "stop_signal.h"

#include <algorithm>
#include <csignal>
#include <thread>

namespace ovel::tool {
namespace {

volatile std::sig_atomic_t stop_flag = 0;

extern "C" void on_stop_signal(int) {
    stop_flag = 1;
}

}  // namespace

void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

bool stop_requested() {
    return stop_flag != 0;
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
