#include "process_stats.h"

#include <sys/resource.h>

#include <cstdio>
#include <cstring>

namespace ovel::bench {
namespace {

// Reads one "Name:   123 kB" line of /proc/self/status.
std::uint64_t status_kib(const char* name) {
    std::FILE* file = std::fopen("/proc/self/status", "r");
    if (file == nullptr) {
        return 0;
    }
    char line[256];
    std::uint64_t value = 0;
    const std::size_t name_length = std::strlen(name);
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strncmp(line, name, name_length) == 0 && line[name_length] == ':') {
            unsigned long long parsed = 0;
            if (std::sscanf(line + name_length + 1, "%llu", &parsed) == 1) {
                value = parsed;
            }
            break;
        }
    }
    std::fclose(file);
    return value;
}

}  // namespace

double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

std::uint64_t resident_bytes() {
    return status_kib("VmRSS") * 1024;
}

std::uint64_t peak_resident_bytes() {
    return status_kib("VmHWM") * 1024;
}

}  // namespace ovel::bench
