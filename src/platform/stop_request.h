// Ctrl-C and termination requests for command-line programs: the handler only records the
// request, and the program's loop looks for it.
#pragma once

namespace ovel::platform {

// Records SIGINT and SIGTERM (Windows: Ctrl-C, Ctrl-Break and the console closing) as a stop
// request, and makes a closed output pipe a write error instead of a signal that ends the
// process. Also puts the standard streams in binary mode, so that output and logs carry the
// same bytes on every system.
void install_stop_handlers();
bool stop_requested();

}  // namespace ovel::platform
