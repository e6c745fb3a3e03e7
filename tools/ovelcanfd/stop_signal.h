// Ctrl-C and termination requests: the handler only records the request; the command's main
// loop notices it, stops its channels and closes the adapter.
#pragma once

namespace ovel::tool {

// Installs handlers for SIGINT and SIGTERM and ignores SIGPIPE (a closed output pipe is seen
// as a write error instead).
void install_stop_handlers();
bool stop_requested();

}  // namespace ovel::tool
