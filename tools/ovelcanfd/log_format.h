// candump's log format (`candump -L`, `candump -l`, canplayer's input, python-can's .log):
//   (1700000000.123456) can0 123#DEADBEEF
// one frame per line in cansend syntax after the time and the interface name. Pure: no I/O.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "ovelcanfd.h"

namespace ovel::tool {

// "(SECONDS.MICROSECONDS) canN FRAME" without a newline.
std::string format_candump_log_line(const ovel_canfd_frame& frame, const timespec& time);

struct LogRecord {
    timespec time{};
    std::string interface;     // as written: "can0", "vcan1", "0"...
    ovel_canfd_frame frame{};  // channel 0: the caller maps the interface
};

struct ParsedLogLine {
    enum class Kind { Frame, Skip, Invalid } kind = Kind::Skip;
    LogRecord record;   // Frame
    std::string error;  // Invalid
};

// One line (without or with its newline). Empty lines and lines starting with '#' are Skip.
// A trailing direction mark (" R" or " T", as `candump -x` and python-can write) is accepted.
ParsedLogLine parse_log_line(std::string_view line);

// `text` when it has at most `limit` bytes, else its first `limit` bytes and how long it was
// ("... (10485760 bytes)"): a message about one line of a log must not repeat a huge line.
std::string excerpt(std::string_view text, std::size_t limit = 80);

// The channel an interface name stands for when no mapping is given: "can3" or "3".
std::optional<std::uint8_t> channel_of_interface(std::string_view name);

}  // namespace ovel::tool
