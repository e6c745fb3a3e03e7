// What must hold for any bytes an adapter may send, and for any record an application may pass:
// shared by the libFuzzer target and the seeded test that runs in every build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ovel::fuzz {

// Treats `data` as the bytes of one bulk IN completion (any length, cut to the 80-byte receive
// buffer as libusb would) and as an application's frame record, decodes, maps and re-encodes
// them, and returns the first broken invariant, or "" when all hold.
std::string decoding_problem(const std::uint8_t* data, std::size_t size);

}  // namespace ovel::fuzz
