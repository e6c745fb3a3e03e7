#pragma once

namespace ovel::platform {

// How many kernel handles (file descriptors on POSIX systems) the process holds, or -1 where
// the system does not tell: what a leak test counts.
long open_handle_count();

}  // namespace ovel::platform
