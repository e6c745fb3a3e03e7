// The subcommands. Each takes the words after its name and returns the process exit status:
// 0 done, 1 (EXIT_ADAPTER_FAILURE) the adapter or library failed, 2 (EXIT_BAD_ARGUMENTS) the
// command line was wrong.
#pragma once

#include <string>
#include <vector>

namespace ovel::tool {

int run_dump(const std::vector<std::string>& words);
int run_send(const std::vector<std::string>& words);
int run_gen(const std::vector<std::string>& words);
int run_info(const std::vector<std::string>& words);

// "ovelcanfd", or "ovelcanfd-sim" in the build on the simulated adapter.
const char* program_name();
// Prints "PROGRAM COMMAND: message" and a hint to the command's help; returns 2.
int bad_arguments(const char* command, const std::string& message);

}  // namespace ovel::tool
