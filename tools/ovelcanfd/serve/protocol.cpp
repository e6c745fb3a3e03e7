#include "protocol.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>

#include "frame_syntax.h"

namespace ovel::tool::serve {
namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::optional<std::uint32_t> parse_number(std::string_view text, int base) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

bool valid_length(std::uint32_t length, bool fd) {
    return length <= 8 || (fd && length <= 64 && fd_dlc_to_length(fd_length_to_dlc(length)) == length);
}

}  // namespace

std::optional<CommandSplitter::Item> CommandSplitter::next() {
    std::size_t skip = 0;
    while (skip < pending_.size() && is_space(pending_[skip])) {
        ++skip;
    }
    pending_.erase(0, skip);
    if (pending_.empty()) {
        return std::nullopt;
    }
    if (pending_[0] != '<') {
        // Garbage up to the next command or the end of what came.
        const std::size_t open = pending_.find('<');
        Item item{Kind::Garbage, pending_.substr(0, open)};
        pending_.erase(0, open == std::string::npos ? pending_.size() : open);
        if (item.text.size() > MAX_COMMAND_LENGTH) {
            item.text.resize(MAX_COMMAND_LENGTH);
        }
        return item;
    }
    const std::size_t close = pending_.find('>');
    if (close == std::string::npos) {
        if (pending_.size() > MAX_COMMAND_LENGTH) {
            Item item{Kind::TooLong, pending_.substr(0, 40)};
            pending_.clear();
            return item;
        }
        return std::nullopt;
    }
    if (close + 1 > MAX_COMMAND_LENGTH) {
        Item item{Kind::TooLong, pending_.substr(0, 40)};
        pending_.clear();
        return item;
    }
    Item item{Kind::Command, pending_.substr(0, close + 1)};
    pending_.erase(0, close + 1);
    return item;
}

std::vector<std::string_view> command_words(std::string_view command) {
    std::vector<std::string_view> words;
    if (command.size() < 2) {
        return words;
    }
    command = command.substr(1, command.size() - 2);
    std::size_t at = 0;
    while (at < command.size()) {
        while (at < command.size() && is_space(command[at])) {
            ++at;
        }
        const std::size_t start = at;
        while (at < command.size() && !is_space(command[at])) {
            ++at;
        }
        if (at > start) {
            words.push_back(command.substr(start, at - start));
        }
    }
    return words;
}

std::optional<ovel_canfd_frame> parse_send(const std::vector<std::string_view>& words,
                                           bool fd_command, std::uint8_t channel,
                                           std::string& error) {
    if (words.size() < 2) {
        error = "send needs an identifier and a length";
        return std::nullopt;
    }
    ovel_canfd_frame frame{};
    frame.channel = channel;
    const auto id = words[0].size() <= 8 ? parse_number(words[0], 16) : std::nullopt;
    if (!id || *id > 0x1FFFFFFF) {
        error = "bad identifier";
        return std::nullopt;
    }
    frame.id = *id;
    frame.extended = words[0].size() == 8 || *id > 0x7FF;
    const std::size_t given = words.size() - 2;
    // socketcand reads the length in decimal, python-can writes it in hex: they agree up to 9,
    // and the bytes that follow tell which one a longer length meant.
    const auto decimal = parse_number(words[1], 10);
    const auto hex = parse_number(words[1], 16);
    const bool matches = (decimal && *decimal == given) || (hex && *hex == given);
    if (!matches) {
        error = "the length does not match the data bytes";
        return std::nullopt;
    }
    const bool fd = fd_command || given > 8;
    if (!valid_length(static_cast<std::uint32_t>(given), fd)) {
        error = "bad length";
        return std::nullopt;
    }
    for (std::size_t i = 0; i < given; ++i) {
        const auto byte = words[i + 2].size() <= 2 ? parse_number(words[i + 2], 16) : std::nullopt;
        if (!byte) {
            error = "bad data byte";
            return std::nullopt;
        }
        frame.data[i] = static_cast<std::uint8_t>(*byte);
    }
    frame.fd = fd;
    frame.brs = fd;
    frame.dlc = fd ? fd_length_to_dlc(given) : static_cast<std::uint8_t>(given);
    return frame;
}

FrameKind frame_kind(const ovel_canfd_frame& frame) {
    if (frame.err) {
        return FrameKind::Error;
    }
    if (frame.rtr) {
        return FrameKind::Remote;
    }
    return frame.fd ? FrameKind::Fd : FrameKind::Classic;
}

std::string format_frame_message(const ovel_canfd_frame& frame, std::int64_t time_ns) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    const std::int64_t seconds = time_ns / 1'000'000'000;
    const std::int64_t micros = (time_ns % 1'000'000'000) / 1000;
    char head[96];
    switch (frame_kind(frame)) {
        case FrameKind::Remote:
            return {};
        case FrameKind::Error:
            std::snprintf(head, sizeof head, "< error %03X %" PRId64 ".%06" PRId64 " >",
                          frame.id & 0x1FFFFFFF, seconds, micros);
            return head;
        case FrameKind::Fd: {
            const unsigned flags = 0x04u | (frame.brs ? 0x01u : 0u) | (frame.esi ? 0x02u : 0u);
            std::snprintf(head, sizeof head,
                          frame.extended ? "< fdframe %08X %02X %" PRId64 ".%06" PRId64 " "
                                         : "< fdframe %03X %02X %" PRId64 ".%06" PRId64 " ",
                          frame.id, flags, seconds, micros);
            break;
        }
        case FrameKind::Classic:
            std::snprintf(head, sizeof head,
                          frame.extended ? "< frame %08X %" PRId64 ".%06" PRId64 " "
                                         : "< frame %03X %" PRId64 ".%06" PRId64 " ",
                          frame.id, seconds, micros);
            break;
    }
    std::string message(head);
    const std::size_t length = payload_length(frame);
    for (std::size_t i = 0; i < length; ++i) {
        message += HEX[frame.data[i] >> 4];
        message += HEX[frame.data[i] & 0xF];
    }
    message += " >";
    return message;
}

}  // namespace ovel::tool::serve
