// Ctrl-C and termination requests: the handler only records the request; the command's main
// loop notices it, stops its channels and closes the adapter.
#pragma once

#include <chrono>

namespace ovel::tool {

// How often a waiting command looks for a stop request.
inline constexpr auto STOP_POLL_PERIOD = std::chrono::milliseconds(50);

// Installs handlers for SIGINT and SIGTERM (Ctrl-C and Ctrl-Break on Windows) and ignores SIGPIPE
// (a closed output pipe is seen as a write error instead).
void install_stop_handlers();
bool stop_requested();

// Sleeps until `due` in steps of STOP_POLL_PERIOD so that a stop request is seen; false if
// one came.
bool sleep_until_unless_stopped(std::chrono::steady_clock::time_point due);

}  // namespace ovel::tool
