// Writing and reading candump log lines.
#include "log_format.h"

#include <cstdio>
#include <string>

#include "frame_syntax.h"

namespace ovel::tool {
namespace {

constexpr long NANOS_PER_SECOND = 1'000'000'000;

ParsedLogLine invalid(std::string message) {
    ParsedLogLine line;
    line.kind = ParsedLogLine::Kind::Invalid;
    line.error = std::move(message);
    return line;
}

bool all_digits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// "(SECONDS.FRACTION)": the fraction may have any number of digits (candump writes 6).
std::optional<timespec> parse_time(std::string_view text) {
    if (text.size() < 3 || text.front() != '(' || text.back() != ')') {
        return std::nullopt;
    }
    text = text.substr(1, text.size() - 2);
    const std::size_t dot = text.find('.');
    const std::string_view whole = text.substr(0, dot);
    const std::string_view fraction =
        dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    if (!all_digits(whole) || whole.size() > 12 ||
        (dot != std::string_view::npos && !all_digits(fraction))) {
        return std::nullopt;
    }
    timespec time{};
    time.tv_sec = static_cast<time_t>(std::stoll(std::string(whole)));
    long scale = NANOS_PER_SECOND;
    for (const char digit : fraction) {
        scale /= 10;
        time.tv_nsec += (digit - '0') * scale;  // digits past nanoseconds add 0
    }
    return time;
}

std::string_view next_word(std::string_view& rest) {
    const std::size_t start = rest.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        rest = {};
        return {};
    }
    rest.remove_prefix(start);
    const std::size_t end = rest.find_first_of(" \t");
    const std::string_view word = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    return word;
}

}  // namespace

std::string format_candump_log_line(const ovel_canfd_frame& frame, const timespec& time) {
    char head[48];
    std::snprintf(head, sizeof head, "(%010lld.%06ld) can%u ", static_cast<long long>(time.tv_sec),
                  time.tv_nsec / 1000, frame.channel);
    return head + format_compact(frame);
}

ParsedLogLine parse_log_line(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    std::string_view rest = line;
    const std::string_view time_text = next_word(rest);
    if (time_text.empty() || time_text.front() == '#') {
        return {};
    }
    const std::string_view interface = next_word(rest);
    const std::string_view frame_text = next_word(rest);
    const std::string_view direction = next_word(rest);
    if (frame_text.empty()) {
        return invalid("expected \"(SECONDS.MICROSECONDS) INTERFACE FRAME\"");
    }
    if (!next_word(rest).empty() || !(direction.empty() || direction == "R" || direction == "T")) {
        return invalid("unexpected text after the frame");
    }
    const auto time = parse_time(time_text);
    if (!time) {
        return invalid("bad time \"" + excerpt(time_text) + "\"");
    }
    ParsedFrame parsed = parse_frame(frame_text, 0);
    if (!parsed.frame) {
        return invalid("bad frame \"" + excerpt(frame_text) + "\": " + excerpt(parsed.error));
    }
    ParsedLogLine result;
    result.kind = ParsedLogLine::Kind::Frame;
    result.record.time = *time;
    result.record.interface = interface;
    result.record.frame = *parsed.frame;
    return result;
}

std::optional<std::uint8_t> channel_of_interface(std::string_view name) {
    if (name.starts_with("can")) {
        name.remove_prefix(3);
    }
    if (!all_digits(name) || name.size() > 3) {
        return std::nullopt;
    }
    const int channel = std::stoi(std::string(name));
    if (channel > 255) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(channel);
}

std::string excerpt(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return std::string(text);
    }
    return std::string(text.substr(0, limit)) + "... (" + std::to_string(text.size()) + " bytes)";
}

}  // namespace ovel::tool
