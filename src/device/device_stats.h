// What an open adapter counts: reception (usb::RxHealth), delivery to the application and
// transmission.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "usb/rx_health.h"

namespace ovel {

// Written by the transmitting thread, one at a time (the callers serialize transmits).
struct TxCounters {
    std::atomic<std::uint64_t> frames{0};    // taken by the adapter
    std::atomic<std::uint64_t> failures{0};  // the transfer was refused or failed
    std::atomic<std::uint64_t> timeouts{0};  // the adapter did not take the frame in time
};

struct DeviceStats {
    usb::RxHealth rx;
    std::uint64_t delivered = 0;  // frames the application's callback was called with
    std::uint64_t tx_frames = 0, tx_failures = 0, tx_timeouts = 0;
    std::size_t queue_depth = 0, queue_high_water = 0;
    std::uint64_t send_echoes_unmatched = 0;  // queued-range echoes that matched no send
};

}  // namespace ovel
