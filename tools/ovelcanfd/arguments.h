// Command-line options: a small parser for --long, --long=VALUE, -s VALUE and positionals, and
// the checked conversions of option values. Errors are returned as text; the caller prints them
// and exits with status 2.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ovel::tool {

inline constexpr int EXIT_BAD_ARGUMENTS = 2;
inline constexpr int EXIT_ADAPTER_FAILURE = 1;

struct KnownOption {
    const char* long_name;  // without the leading "--"
    char short_name;        // 0: none
    bool takes_value;
};

struct Arguments {
    std::map<std::string, std::string> values;  // by long name; "" for a flag that was given
    std::vector<std::string> positionals;
    std::string error;  // set when the command line does not fit the known options

    bool has(const std::string& name) const { return values.count(name) != 0; }
    const std::string* value(const std::string& name) const;
};

// Parses argv-style words (without the program and command names); "--" ends the options.
Arguments parse_arguments(const std::vector<std::string>& words,
                          const std::vector<KnownOption>& known);

// Unsigned integer in decimal (or hex with 0x) within [min, max]; error text names `what`.
std::optional<std::uint64_t> parse_unsigned(const std::string& text, std::uint64_t min,
                                            std::uint64_t max, const std::string& what,
                                            std::string& error);
// Non-negative decimal number (seconds, milliseconds, rates), at most `max`.
std::optional<double> parse_non_negative(const std::string& text, double max,
                                         const std::string& what, std::string& error);
// A channel index 0-255, also written can0-can255.
std::optional<std::uint8_t> parse_channel(const std::string& text, std::string& error);

}  // namespace ovel::tool
