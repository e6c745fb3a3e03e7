#pragma once

#include <cstring>

namespace ovel {

// A C caller may leave any byte in a bool; reading it as a C++ bool would be undefined, so the
// byte itself is tested: any nonzero byte is true.
inline bool c_bool(const bool& value) {
    unsigned char byte = 0;
    std::memcpy(&byte, &value, 1);
    return byte != 0;
}

}  // namespace ovel
