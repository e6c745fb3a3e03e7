// The subcommands. Each takes the words after its name and returns the process exit status:
// 0 done, 1 (EXIT_ADAPTER_FAILURE) the adapter or library failed, 2 (EXIT_BAD_ARGUMENTS) the
// command line was wrong.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "adapter.h"
#include "arguments.h"

namespace ovel::tool {

int run_dump(const std::vector<std::string>& words);
int run_send(const std::vector<std::string>& words);
int run_gen(const std::vector<std::string>& words);
int run_info(const std::vector<std::string>& words);
int run_list(const std::vector<std::string>& words);
int run_play(const std::vector<std::string>& words);
int run_serve(const std::vector<std::string>& words);

// Flushes standard output; false when that or an earlier write to it failed. The first
// failure's errno is kept for output_failure().
bool flush_output();
// errno of the first failed write to standard output, 0 when none failed.
int output_failure();
// Records a failed write to standard output (its errno), for output_failure().
void note_output_failure(int error);

// "ovelcanfd", or "ovelcanfd-sim" in the build on the simulated adapter.
const char* program_name();
// Prints "PROGRAM COMMAND: message" and a hint to the command's help; returns 2.
int bad_arguments(const char* command, const std::string& message);

// The start every adapter command shares: the adapter options and the command's own `extra`
// options (plus --help) parsed, help answered, the adapter options read. Returns the exit status
// when the command is already done (help printed: 0; bad arguments: 2), else nullopt with
// `arguments` and `options` filled in.
std::optional<int> parse_adapter_command(const char* command, const std::vector<std::string>& words,
                                         const std::vector<KnownOption>& extra, void (*print_help)(),
                                         Arguments& arguments, AdapterOptions& options);

}  // namespace ovel::tool
