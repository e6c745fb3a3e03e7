#include "session.h"

#include <algorithm>
#include <charconv>

#include "arguments.h"

namespace ovel::tool::serve {
namespace {

// python-can reads the answer to "< rawmode >" with one recv and expects exactly "< ok >": frames
// written right behind it would arrive in the same read and fail the handshake.
constexpr auto MODE_SWITCH_HOLD = std::chrono::milliseconds(50);

std::optional<std::uint32_t> parse_decimal(std::string_view text) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

bool Session::receive(std::string_view bytes, SessionHost& host, Clock::time_point now) {
    splitter_.feed(bytes);
    while (auto item = splitter_.next()) {
        switch (item->kind) {
            case CommandSplitter::Kind::TooLong:
                refuse("command too long");
                return false;
            case CommandSplitter::Kind::Garbage:
                refuse("garbage outside a command");
                break;
            case CommandSplitter::Kind::Command:
                if (!handle(item->text, host, now)) {
                    return false;
                }
                break;
        }
    }
    return true;
}

bool Session::handle(const std::string& command, SessionHost& host, Clock::time_point now) {
    const std::vector<std::string_view> words = command_words(command);
    if (words.empty()) {
        refuse("empty command");
        return true;
    }
    const std::string_view name = words[0];
    const std::vector<std::string_view> rest(words.begin() + 1, words.end());
    if (name == "echo" && rest.empty()) {
        queue_answer("< echo >");
        return true;
    }
    if (mode_ == Mode::NoBus) {
        if (name == "open" && rest.size() == 1) {
            std::string error;
            const auto channel = rest[0].size() <= 16
                                     ? parse_channel(std::string(rest[0]), error)
                                     : std::nullopt;
            if (!channel || !host.channel_served(*channel)) {
                // As socketcand: the client learns the bus is not there and is let go.
                refuse("could not open bus");
                return false;
            }
            channel_ = *channel;
            mode_ = Mode::Bcm;
            queue_answer("< ok >");
            return true;
        }
        if (rest.size() >= 1 && (rest[0] == "B" || rest[0] == "C")) {
            refuse("the server sets bit timing and control mode from its command line");
            return true;
        }
        refuse("unknown command");
        return true;
    }
    const auto switch_to = [&](Mode mode) {
        mode_ = mode;
        statistics_interval_.reset();
        queue_answer("< ok >");
        if (mode == Mode::Raw) {
            hold_mark_ = queued_total_;
            hold_until_ = now + MODE_SWITCH_HOLD;
        }
        return true;
    };
    if (rest.empty()) {
        if (name == "rawmode") {
            return switch_to(Mode::Raw);
        }
        if (name == "bcmmode") {
            subscriptions_.clear();
            return switch_to(Mode::Bcm);
        }
        if (name == "controlmode") {
            return switch_to(Mode::Control);
        }
        if (name == "isotpmode") {
            refuse("isotp mode is not supported");
            return true;
        }
    }
    if ((name == "send" || name == "sendfd") && (mode_ == Mode::Raw || mode_ == Mode::Bcm)) {
        return handle_send(rest, name == "sendfd", host);
    }
    if (mode_ == Mode::Bcm) {
        if (name == "subscribe" && rest.size() == 3) {
            const auto seconds = parse_decimal(rest[0]);
            const auto micros = parse_decimal(rest[1]);
            std::string error;
            const auto id = parse_send({rest[2], "0"}, false, 0, error);
            if (!seconds || !micros || !id) {
                refuse("syntax error in subscribe");
            } else if (*seconds != 0 || *micros != 0) {
                refuse("subscription intervals are not supported");
            } else {
                subscriptions_.insert({id->id, id->extended});
            }
            return true;
        }
        if (name == "unsubscribe" && rest.size() == 1) {
            std::string error;
            if (const auto id = parse_send({rest[0], "0"}, false, 0, error)) {
                subscriptions_.erase({id->id, id->extended});
            } else {
                refuse("syntax error in unsubscribe");
            }
            return true;
        }
        if (name == "add" || name == "update" || name == "delete" || name == "filter" ||
            name == "muxfilter") {
            refuse(std::string(name) + " is not supported");
            return true;
        }
    }
    if (mode_ == Mode::Control && name == "statistics" && rest.size() == 1) {
        const auto interval = parse_decimal(rest[0]);
        if (!interval) {
            refuse("syntax error in statistics");
        } else if (*interval == 0) {
            statistics_interval_.reset();
        } else {
            statistics_interval_ = std::chrono::milliseconds(*interval);
            next_statistics_ = now + *statistics_interval_;
        }
        return true;
    }
    refuse("unknown command");
    return true;
}

bool Session::handle_send(const std::vector<std::string_view>& words, bool fd, SessionHost& host) {
    std::string error;
    const auto frame = parse_send(words, fd, *channel_, error);
    if (!frame) {
        refuse("syntax error in send: " + error);
        return true;
    }
    if (!host.transmit(*frame, *this, error)) {
        refuse("transmit failed: " + error);
        return true;
    }
    ++counters_.frames_sent;
    return true;
}

void Session::refuse(const std::string& why) {
    ++counters_.commands_refused;
    queue_answer("< error " + why + " >");
}

bool Session::wants(const ovel_canfd_frame& frame) const {
    if (!channel_ || frame.channel != *channel_) {
        return false;
    }
    if (mode_ == Mode::Raw) {
        return true;
    }
    return mode_ == Mode::Bcm && !frame.err &&
           subscriptions_.count({frame.id, frame.extended}) != 0;
}

void Session::offer(const std::string& message) {
    if (lengths_.size() >= queue_limit_) {
        ++counters_.frames_dropped;
        return;
    }
    ++counters_.frames_queued;
    // Frames end with a newline: a client that cuts its reads at the last '>' (python-can before
    // 4.2 drops the byte after it) loses the newline instead of the next frame's '<'.
    queue(message);
    out_ += '\n';
    ++lengths_.back();
    ++queued_total_;
}

void Session::tick(SessionHost& host, Clock::time_point now) {
    if (mode_ == Mode::Control && statistics_interval_ && channel_ && now >= next_statistics_) {
        queue_answer(host.statistics_message(*channel_));
        next_statistics_ = now + *statistics_interval_;
    }
}

void Session::queue_answer(std::string_view message) {
    queue(message);
}

void Session::queue(std::string_view message) {
    out_.append(message);
    lengths_.push_back(static_cast<std::uint16_t>(message.size()));
    queued_total_ += message.size();
}

std::string_view Session::writable(Clock::time_point now) const {
    std::string_view pending(out_);
    pending.remove_prefix(out_head_);
    if (now < hold_until_ && hold_mark_ >= written_total_) {
        pending = pending.substr(0, static_cast<std::size_t>(hold_mark_ - written_total_));
    }
    return pending;
}

void Session::wrote(std::size_t bytes) {
    out_head_ += bytes;
    written_total_ += bytes;
    while (bytes > 0 && !lengths_.empty()) {
        const std::size_t front = lengths_.front();
        if (bytes >= front) {
            bytes -= front;
            lengths_.pop_front();
        } else {
            lengths_.front() = static_cast<std::uint16_t>(front - bytes);
            bytes = 0;
        }
    }
    if (out_head_ == out_.size()) {
        out_.clear();
        out_head_ = 0;
    } else if (out_head_ > 65536 && out_head_ > out_.size() / 2) {
        out_.erase(0, out_head_);
        out_head_ = 0;
    }
}

}  // namespace ovel::tool::serve
