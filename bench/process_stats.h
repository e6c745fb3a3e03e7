// What the process has used so far: CPU time of all its threads and its resident memory.
#pragma once

#include <cstdint>

namespace ovel::bench {

// User plus system CPU seconds of the whole process.
double process_cpu_seconds();
// Current and peak resident set size in bytes (VmRSS, VmHWM of /proc/self/status).
std::uint64_t resident_bytes();
std::uint64_t peak_resident_bytes();

}  // namespace ovel::bench
