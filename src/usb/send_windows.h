// Queued sends: the frames in flight per channel (handed to USB, echo not yet back), the
// window that bounds them, the matching of echoes to sends, and the account of sends that
// failed. Shared between the sending threads, the USB event thread and waiters (senders waiting
// for room, flushes), which may hold it a little longer than the transport object lives.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace ovel::usb {

inline constexpr unsigned SEND_WINDOW_DEFAULT = 10;  // as the Linux kernel's gs_usb driver
inline constexpr unsigned SEND_WINDOW_MAX = 32;
// Failed sends kept for the application to collect; beyond that only counted.
inline constexpr std::size_t FAILED_SENDS_KEPT = 4096;

// Why a queued send ended without its echo.
enum class SendEnd : std::uint8_t {
    TransferFailed = 1,  // the bulk OUT transfer failed or was refused
    TimedOut = 2,        // the adapter did not take the transfer in time
    Stopped = 3,         // the channel was stopped before the echo came
    Unplugged = 4,       // the adapter went away
    Closed = 5,          // the adapter was closed before the echo came
};

struct FailedSend {
    std::uint64_t send_id;
    std::uint8_t channel;
    SendEnd reason;
};

struct SendCounters {
    std::uint64_t queued = 0;     // frames handed to USB by queued sends
    std::uint64_t echoed = 0;     // of those, echoed (matched)
    std::uint64_t failed = 0;     // of those, reported failed
    std::uint64_t failed_not_kept = 0;  // failures beyond FAILED_SENDS_KEPT, only counted
};

// Per handle: send identifiers, counters and the failed sends not yet collected. Outlives the
// adapters opened on the handle, so that failures at close can still be collected.
class SendLedger {
  public:
    // Increasing from 1; reported in 32 bits, so 0 (never a send id) is skipped on wrapping.
    std::uint64_t next_id();
    void report(const FailedSend& failed);
    void report_all(const std::vector<FailedSend>& failed);
    void count_queued() { queued_.fetch_add(1, std::memory_order_relaxed); }
    void count_echoed() { echoed_.fetch_add(1, std::memory_order_relaxed); }
    // Moves up to `capacity` of the oldest failures into `out`; returns how many.
    std::size_t take_failed(FailedSend* out, std::size_t capacity);
    SendCounters counters() const;

  private:
    std::atomic<std::uint64_t> next_id_{1};
    std::atomic<std::uint64_t> queued_{0}, echoed_{0};
    mutable std::mutex mutex_;
    std::deque<FailedSend> failed_;
    std::uint64_t failed_total_ = 0, failed_not_kept_ = 0;
};

class SendWindows {
  public:
    // Frames may be sent on `channel` (it is started and enabled) or not; closing one fails the
    // frames it has in flight with `reason`, as its adapter forgets them.
    void open_channel(std::uint8_t channel);
    void close_channel(std::uint8_t channel, SendEnd reason);
    // No more sends: fails everything in flight with `reason`; wakes every waiter.
    void close_all(SendEnd reason);
    bool set_limit(std::uint8_t channel, unsigned limit);

    enum class Reserve : std::uint8_t { Reserved, Full, ChannelClosed, Closed };
    // Takes a place in the channel's window for a new frame; assigns its send id and echo id.
    Reserve reserve(std::uint8_t channel, const std::shared_ptr<SendLedger>& ledger,
                    std::uint64_t& send_id, std::uint32_t& echo_id);
    // The reserved frame was not handed to USB after all: out of the window, not counted.
    void unreserve(std::uint8_t channel, std::uint64_t send_id);
    // The frame's bulk OUT ended: fine (nothing to do) or failed (out of the window, reported).
    void out_failed(std::uint8_t channel, std::uint64_t send_id, SendEnd reason);
    // An echo in the queued range: the send id of the frame in flight it belongs to, which
    // leaves the window; nullopt (counted) if none does.
    std::optional<std::uint64_t> match_echo(std::uint8_t channel, std::uint32_t echo_id);

    // Waits until the channel's window has room, the channel or everything closes, or
    // `deadline`; false on the deadline.
    bool wait_room(std::uint8_t channel, std::chrono::steady_clock::time_point deadline);
    // Waits until nothing is in flight on `channel` (all: every channel); false on the deadline.
    bool wait_empty(std::optional<std::uint8_t> channel,
                    std::chrono::steady_clock::time_point deadline);
    std::size_t in_flight(std::uint8_t channel) const;
    bool any_in_flight() const;
    // Echoes in the queued range that matched no frame in flight (unknown or repeated ids).
    std::uint64_t unmatched() const { return unmatched_.load(std::memory_order_relaxed); }

  private:
    struct InFlight {
        std::uint64_t send_id;
        std::uint32_t echo_id;
    };
    struct Window {
        std::deque<InFlight> frames;
        unsigned limit = SEND_WINDOW_DEFAULT;
        bool open = false;
    };
    void fail_locked(Window& window, std::uint8_t channel, SendEnd reason,
                     std::vector<FailedSend>& failed);
    // Takes the frame of `send_id` out of its window; false if it is not in flight.
    bool remove_locked(std::uint8_t channel, std::uint64_t send_id);
    bool has_room_locked(const Window& window) const {
        return window.frames.size() < window.limit;
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::array<Window, 256> windows_{};
    std::size_t total_in_flight_ = 0;
    bool closed_ = false;
    std::atomic<std::uint64_t> unmatched_{0};
    // The ledger of the handle whose sends are in flight (set by the first reserve).
    std::shared_ptr<SendLedger> ledger_;
};

}  // namespace ovel::usb
