#pragma once

namespace ovel::platform {

// Names the calling thread so that it can be told apart in debuggers, top -H and the system's
// thread lists; false where the system refuses the name or has no such call. Linux takes at
// most 15 characters.
bool name_this_thread(const char* name) noexcept;

}  // namespace ovel::platform
