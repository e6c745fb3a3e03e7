// What the receive path counts, and the state of reception. Each counter has one writing thread
// (or one at a time, ordered by a lock): it adds with a relaxed load and store, which costs what
// a plain increment costs, and any thread may read it with a relaxed load.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace ovel::usb {

inline void count_one(std::atomic<std::uint64_t>& counter) noexcept {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

enum class RxState : std::uint8_t {
    Stopped,  // never started, or stopped by the application
    Running,
    Ended,  // ended by itself; RxEnd tells why
};

enum class RxEnd : std::uint8_t {
    None,
    Unplugged,      // the adapter is gone
    StallPersists,  // the endpoint stalled again after every clear
    ErrorsPersist,  // transfers kept failing through every retry
};

// Written by the USB event thread only.
struct RxEventCounters {
    std::atomic<std::uint64_t> frames{0};          // queued for the application, echoes included
    std::atomic<std::uint64_t> echoes{0};          // of those, echoes of transmitted frames
    std::atomic<std::uint64_t> overflow_flags{0};  // of those, with the adapter's OVERFLOW flag
    std::atomic<std::uint64_t> dropped_short{0};   // not a whole host frame
    std::atomic<std::uint64_t> dropped_header{0};  // DLC above 15 or a channel the adapter lacks
    std::atomic<std::uint64_t> dropped_overflow{0};   // the completion overflowed the buffer
    std::atomic<std::uint64_t> dropped_no_memory{0};  // the queue could not grow
    std::atomic<std::uint64_t> transfer_errors{0};    // completions with an error or a stall
    std::atomic<std::uint64_t> refusals{0};           // resubmissions libusb refused
};

// Written by the receive recovery thread only.
struct RxRecoveryCounters {
    std::atomic<std::uint64_t> halts_cleared{0};
    std::atomic<std::uint64_t> retries{0};   // parked transfers resubmitted after a delay
    std::atomic<std::uint64_t> refusals{0};  // of those resubmissions, the ones libusb refused
};

// A reading of the counters and state, taken without stopping anything.
struct RxHealth {
    RxState state = RxState::Stopped;
    RxEnd end = RxEnd::None;
    int transfers_in_flight = 0;
    std::uint64_t frames = 0, echoes = 0, overflow_flags = 0;
    std::uint64_t dropped_short = 0, dropped_header = 0, dropped_overflow = 0,
                  dropped_no_memory = 0;
    std::uint64_t transfer_errors = 0, refusals = 0, halts_cleared = 0, retries = 0;
};

}  // namespace ovel::usb
