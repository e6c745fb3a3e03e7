// The time printed before each frame, in candump's -t modes:
//   a  (1700000000.123456)           absolute, seconds since the epoch
//   A  (2023-11-14 22:13:20.123456)  absolute with the local date and time
//   d  (000.001234)                  since the previous frame (the first shows 0)
//   z  (000.123456)                  since the first frame
// Pure apart from the local time zone for A.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace ovel::tool {

enum class TimeMode { Absolute, AbsoluteDate, Delta, Zero };

// 'a', 'A', 'd' or 'z'.
std::optional<TimeMode> parse_time_mode(std::string_view text);

class TimeStamper {
  public:
    explicit TimeStamper(TimeMode mode) : mode_(mode) {}
    // The parenthesised time of a frame received at `time`; frames must come in order.
    std::string stamp(const timespec& time);

  private:
    TimeMode mode_;
    std::optional<timespec> reference_;
};

}  // namespace ovel::tool
