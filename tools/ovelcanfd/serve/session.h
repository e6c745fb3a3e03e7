// One client of the server: its mode and channel, the commands it sends and the messages waiting
// for it. No socket here: the server reads and writes, the session decides.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "ovelcanfd.h"
#include "protocol.h"

namespace ovel::tool::serve {

using Clock = std::chrono::steady_clock;

class Session;

// What a session needs from the server.
class SessionHost {
  public:
    virtual ~SessionHost() = default;
    virtual bool channel_served(std::uint8_t channel) = 0;
    // Sends the frame for `from`; false with the library's text in `failure`.
    virtual bool transmit(const ovel_canfd_frame& frame, const Session& from,
                          std::string& failure) = 0;
    // "< stat rbytes rpackets tbytes tpackets >" of the channel.
    virtual std::string statistics_message(std::uint8_t channel) = 0;
};

struct SessionCounters {
    std::uint64_t frames_queued = 0;
    std::uint64_t frames_dropped = 0;  // the client's queue was full
    std::uint64_t frames_sent = 0;     // transmitted for it
    std::uint64_t commands_refused = 0;
};

class Session {
  public:
    enum class Mode { NoBus, Bcm, Raw, Control };

    Session(std::uint64_t id, std::string peer, std::size_t queue_limit, Clock::time_point now)
        : id_(id), peer_(std::move(peer)), queue_limit_(queue_limit), connected_(now) {}

    std::uint64_t id() const { return id_; }
    const std::string& peer() const { return peer_; }
    Mode mode() const { return mode_; }
    std::optional<std::uint8_t> channel() const { return channel_; }
    const SessionCounters& counters() const { return counters_; }

    // The greeting, queued once at connection.
    void greet() { queue_answer("< hi >"); }
    // Handles what the client sent; false when the client is to be dropped (after its queued
    // answers are written).
    bool receive(std::string_view bytes, SessionHost& host, Clock::time_point now);
    // Whether it still waits for its first "open" past `timeout` after connecting.
    bool handshake_overdue(Clock::time_point now, Clock::duration timeout) const {
        return mode_ == Mode::NoBus && now - connected_ > timeout;
    }
    // Whether a received frame of its channel is for this client, and queues its message (or
    // counts it dropped when the queue is full).
    bool wants(const ovel_canfd_frame& frame) const;
    void offer(const std::string& message);
    // Statistics messages due in control mode.
    void tick(SessionHost& host, Clock::time_point now);

    // The bytes to write now (fewer than queued while a mode switch holds frames back).
    std::string_view writable(Clock::time_point now) const;
    void wrote(std::size_t bytes);
    bool output_empty() const { return lengths_.empty(); }
    // Whether the client may send more commands: not while its answers pile up unread.
    bool reading_allowed() const { return lengths_.size() < queue_limit_; }
    // Until when frames after a mode switch are held back.
    Clock::time_point hold_until() const { return hold_until_; }
    void queue_answer(std::string_view message);

  private:
    bool handle(const std::string& command, SessionHost& host, Clock::time_point now);
    bool handle_send(const std::vector<std::string_view>& words, bool fd, SessionHost& host);
    void refuse(const std::string& why);
    void queue(std::string_view message);

    std::uint64_t id_;
    std::string peer_;
    std::size_t queue_limit_;
    Clock::time_point connected_;
    Mode mode_ = Mode::NoBus;
    std::optional<std::uint8_t> channel_;
    std::set<std::pair<std::uint32_t, bool>> subscriptions_;  // bcm mode: (id, extended)
    std::optional<Clock::duration> statistics_interval_;
    Clock::time_point next_statistics_{};
    CommandSplitter splitter_;

    std::string out_;                    // queued messages, written from out_head_
    std::size_t out_head_ = 0;
    std::deque<std::uint16_t> lengths_;  // the queued messages' lengths, the first one's unwritten part
    std::uint64_t queued_total_ = 0;     // stream positions: bytes ever queued and written
    std::uint64_t written_total_ = 0;
    std::uint64_t hold_mark_ = 0;        // stream position up to which bytes go out before hold_until_
    Clock::time_point hold_until_{};
    SessionCounters counters_;
};

}  // namespace ovel::tool::serve
