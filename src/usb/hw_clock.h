// Extends the adapter's 32-bit microsecond stamps to 64 bits and maps them to the host clock.
#pragma once

#include <cstdint>

namespace ovel::usb {

// The adapter's counter as read at one moment, with the host clocks at that moment.
struct HwAnchor {
    std::uint32_t counter_us = 0;
    std::int64_t realtime_ns = 0;   // wall clock: what stamps are mapped to
    std::int64_t monotonic_ns = 0;  // monotonic clock: tells how far the counter went meanwhile
};

// Both host clocks now.
HwAnchor host_clocks_now(std::uint32_t counter_us = 0);

// One streaming period's clock, used by the event thread only. The mapping is fixed by the
// anchor, as the kernel keeps it: the adapter's oscillator drift is not corrected. A stamp is
// extended to the 64-bit value, congruent to it modulo 2^32, nearest to where the counter
// should be by the monotonic host time since the last stamp, so wrap-arounds are followed
// however long the bus stays quiet. Results never go backwards within the period.
class HwClock {
  public:
    struct Time {
        std::uint64_t us;  // the largest extended stamp so far (usually this one)
        std::int64_t realtime_ns;
    };

    void reset() { anchored_ = false; }
    void anchor(const HwAnchor& anchor);
    bool anchored() const { return anchored_; }
    // `stamp` seen at host time `monotonic_ns`; an unanchored clock is anchored by it first.
    Time convert(std::uint32_t stamp, std::int64_t realtime_ns, std::int64_t monotonic_ns);
    // A fresh reading of the counter (TIMESTAMP) becomes the reference for extending stamps;
    // the mapping to host time is kept. Frames still on their way may carry older stamps.
    void refresh(std::uint32_t counter_us, std::int64_t monotonic_ns);

  private:
    // The extended value nearest to where the counter should be at `monotonic_ns`.
    std::int64_t extend(std::uint32_t stamp, std::int64_t monotonic_ns) const;

    bool anchored_ = false;
    std::int64_t anchor_us_ = 0;
    std::int64_t anchor_realtime_ns_ = 0;
    // The last reading or stamp and when it was seen: the reference for the next extension.
    std::int64_t reference_us_ = 0;
    std::int64_t reference_monotonic_ns_ = 0;
    // The latest value handed out: results never go below it.
    std::int64_t floor_us_ = 0;
};

}  // namespace ovel::usb
