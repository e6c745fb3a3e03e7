// A program run as a child process with its output in files, for the tests that drive the
// command-line tool as a user would.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace ovel::platform {

class ChildProcess {
  public:
    // Starts `program` with `args`, this process's environment plus `extra_env` ("NAME=value"),
    // standard output and error written to the two files. started() tells whether it started.
    // With `stdout_descriptor` (POSIX only), standard output is that descriptor instead.
    ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& extra_env, const std::filesystem::path& out,
                 const std::filesystem::path& err,
                 std::optional<int> stdout_descriptor = std::nullopt);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Kills the child if it is still running, and reaps it.
    ~ChildProcess();

    bool started() const { return started_; }
    // The exit status once it exited normally; nullopt while it runs or if a signal ended it.
    std::optional<int> poll_exit();
    bool exited() const { return exited_; }
    // Asks it to stop as Ctrl-C does; false where that cannot be sent to a child.
    bool interrupt();

  private:
    bool started_ = false;
    bool exited_ = false;
    std::optional<int> status_;
    std::intptr_t process_ = 0;  // pid, or the process HANDLE on Windows
    std::uint32_t process_id_ = 0;
};

}  // namespace ovel::platform
