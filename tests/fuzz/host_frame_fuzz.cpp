// libFuzzer entry point: any bytes as a received host frame and as an application's record.
#include <cstdio>
#include <cstdlib>

#include "decoding_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (const std::string problem = ovel::fuzz::decoding_problem(data, size); !problem.empty()) {
        std::fprintf(stderr, "decoding invariant broken: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
