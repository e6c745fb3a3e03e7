// The option parser and value conversions.
#include "arguments.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace ovel::tool {
namespace {

const KnownOption* find_long(const std::vector<KnownOption>& known, const std::string& name) {
    for (const KnownOption& known_option : known) {
        if (name == known_option.long_name) {
            return &known_option;
        }
    }
    return nullptr;
}

const KnownOption* find_short(const std::vector<KnownOption>& known, char name) {
    for (const KnownOption& known_option : known) {
        if (known_option.short_name != 0 && known_option.short_name == name) {
            return &known_option;
        }
    }
    return nullptr;
}

bool looks_like_option(const std::string& word) {
    return word.size() >= 2 && word[0] == '-' && !(word[1] >= '0' && word[1] <= '9');
}

}  // namespace

const std::string* Arguments::value(const std::string& name) const {
    const auto found = values.find(name);
    return found == values.end() ? nullptr : &found->second;
}

Arguments parse_arguments(const std::vector<std::string>& words,
                          const std::vector<KnownOption>& known) {
    Arguments result;
    bool options_ended = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (options_ended || word.size() < 2 || word[0] != '-' ||
            (word[1] >= '0' && word[1] <= '9')) {
            result.positionals.push_back(word);
            continue;
        }
        if (word == "--") {
            options_ended = true;
            continue;
        }
        const KnownOption* known_option = nullptr;
        std::optional<std::string> inline_value;
        std::string shown;
        if (word.starts_with("--")) {
            const std::size_t equals = word.find('=');
            const std::string name =
                word.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            if (equals != std::string::npos) {
                inline_value = word.substr(equals + 1);
            }
            known_option = find_long(known, name);
            shown = "--" + name;
        } else {
            if (word.size() > 2) {
                inline_value = word.substr(2);  // -n5
            }
            known_option = find_short(known, word[1]);
            shown = word.substr(0, 2);
        }
        if (known_option == nullptr) {
            result.error = "unknown option " + shown;
            return result;
        }
        if (!known_option->takes_value) {
            if (inline_value) {
                result.error = "option " + shown + " takes no value";
                return result;
            }
            result.values[known_option->long_name] = "";
            continue;
        }
        if (!inline_value) {
            // The next option is never taken as a value ("-" and "-5" still are values).
            if (i + 1 == words.size() || looks_like_option(words[i + 1])) {
                result.error = "option " + shown + " needs a value";
                return result;
            }
            inline_value = words[++i];
        }
        result.values[known_option->long_name] = *inline_value;
    }
    return result;
}

std::optional<std::uint64_t> parse_unsigned(const std::string& text, std::uint64_t min,
                                            std::uint64_t max, const std::string& what,
                                            std::string& error) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    const bool well_formed =
        !digits.empty() && digits.find_first_not_of(hex ? "0123456789abcdefABCDEF"
                                                        : "0123456789") == std::string::npos;
    errno = 0;
    const unsigned long long value =
        well_formed ? std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10) : 0;
    if (!well_formed || errno == ERANGE || value < min || value > max) {
        error = what + " must be a whole number from " + std::to_string(min) + " to " +
                std::to_string(max) + ", not \"" + text + "\"";
        return std::nullopt;
    }
    return value;
}

std::optional<double> parse_non_negative(const std::string& text, double max,
                                         const std::string& what, std::string& error) {
    char* end = nullptr;
    const double value = text.empty() ? -1 : std::strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || !std::isfinite(value) || value < 0 ||
        value > max || text.find_first_of("xXnN") != std::string::npos) {
        error = what + " must be a number from 0 to " +
                std::to_string(static_cast<long long>(max)) + ", not \"" + text + "\"";
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint8_t> parse_channel(const std::string& text, std::string& error) {
    // "can1" as SocketCAN users name it, or the bare index.
    const bool named = text.size() > 3 && text.starts_with("can");
    const auto value = parse_unsigned(named ? text.substr(3) : text, 0, 255, "a channel", error);
    if (!value) {
        error = "a channel must be 0-255 or can0-can255, not \"" + text + "\"";
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(*value);
}

}  // namespace ovel::tool
