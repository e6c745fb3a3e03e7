#pragma once

#include <string_view>

namespace ovel::platform {

// Threads of this process whose name starts with `prefix` (as name_this_thread gave it), or -1
// where the system does not tell: what leak tests count.
int count_threads_named(std::string_view prefix);

// All threads of this process, or -1 where the system does not tell.
int count_threads();

}  // namespace ovel::platform
