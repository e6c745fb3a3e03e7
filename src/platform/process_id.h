#pragma once

#include <cstdint>

namespace ovel::platform {

// The calling process's identifier.
std::int64_t process_id() noexcept;

}  // namespace ovel::platform
