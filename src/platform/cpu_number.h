#pragma once

namespace ovel::platform {

// The CPU the calling thread runs on, or -1 where the system cannot tell cheaply. Only a hint:
// the thread may move at any time.
int current_cpu() noexcept;

// Keeps the calling thread on `cpu` from now on; false where the system refuses or cannot.
bool pin_this_thread_to_cpu(int cpu) noexcept;

}  // namespace ovel::platform
