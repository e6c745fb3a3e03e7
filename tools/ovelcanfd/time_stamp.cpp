// candump's timestamp modes.
#include "time_stamp.h"

#include "platform/local_time.h"

#include <cstdio>

namespace ovel::tool {
namespace {

constexpr long NANOS_PER_SECOND = 1'000'000'000;

timespec difference(const timespec& later, const timespec& earlier) {
    timespec result{later.tv_sec - earlier.tv_sec, later.tv_nsec - earlier.tv_nsec};
    if (result.tv_nsec < 0) {
        result.tv_nsec += NANOS_PER_SECOND;
        --result.tv_sec;
    }
    if (result.tv_sec < 0) {
        return timespec{};  // host clock stepped back: show no time rather than a wrapped one
    }
    return result;
}

}  // namespace

std::optional<TimeMode> parse_time_mode(std::string_view text) {
    if (text == "a") {
        return TimeMode::Absolute;
    }
    if (text == "A") {
        return TimeMode::AbsoluteDate;
    }
    if (text == "d") {
        return TimeMode::Delta;
    }
    if (text == "z") {
        return TimeMode::Zero;
    }
    return std::nullopt;
}

std::string TimeStamper::stamp(const timespec& time) {
    char text[64];
    const long micros = time.tv_nsec / 1000;
    switch (mode_) {
        case TimeMode::Absolute:
            std::snprintf(text, sizeof text, "(%010lld.%06ld)", static_cast<long long>(time.tv_sec),
                          micros);
            break;
        case TimeMode::AbsoluteDate: {
            std::tm local{};
            platform::local_time(time.tv_sec, local);
            char date[32];
            std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
            std::snprintf(text, sizeof text, "(%s.%06ld)", date, micros);
            break;
        }
        case TimeMode::Delta:
        case TimeMode::Zero: {
            if (!reference_) {
                reference_ = time;
            }
            const timespec since = difference(time, *reference_);
            if (mode_ == TimeMode::Delta) {
                reference_ = time;
            }
            std::snprintf(text, sizeof text, "(%03lld.%06ld)", static_cast<long long>(since.tv_sec),
                          since.tv_nsec / 1000);
            break;
        }
    }
    return text;
}

}  // namespace ovel::tool
