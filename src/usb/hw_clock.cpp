#include "usb/hw_clock.h"

#include <algorithm>

#include "platform/clocks.h"

namespace ovel::usb {

HwAnchor host_clocks_now(std::uint32_t counter_us) {
    return HwAnchor{counter_us, platform::wall_clock_ns(), platform::monotonic_ns()};
}

void HwClock::anchor(const HwAnchor& anchor) {
    anchored_ = true;
    anchor_us_ = anchor.counter_us;
    anchor_realtime_ns_ = anchor.realtime_ns;
    reference_us_ = anchor_us_;
    reference_monotonic_ns_ = anchor.monotonic_ns;
    floor_us_ = anchor_us_;
}

std::int64_t HwClock::extend(std::uint32_t stamp, std::int64_t monotonic_ns) const {
    const std::int64_t elapsed_us =
        std::max<std::int64_t>(monotonic_ns - reference_monotonic_ns_, 0) / 1000;
    const std::int64_t expected = reference_us_ + elapsed_us;
    // The signed 32-bit distance from the expected value picks the nearest congruent one.
    const auto offset = static_cast<std::int32_t>(stamp - static_cast<std::uint32_t>(expected));
    return expected + offset;
}

HwClock::Time HwClock::convert(std::uint32_t stamp, std::int64_t realtime_ns,
                               std::int64_t monotonic_ns) {
    if (!anchored_) {
        anchor(HwAnchor{stamp, realtime_ns, monotonic_ns});
    }
    const std::int64_t extended = extend(stamp, monotonic_ns);
    reference_us_ = extended;
    reference_monotonic_ns_ = std::max(monotonic_ns, reference_monotonic_ns_);
    // A stamp a little older than the last one (an echo against a reception) does not step back.
    floor_us_ = std::max(extended, floor_us_);
    return Time{static_cast<std::uint64_t>(floor_us_),
                anchor_realtime_ns_ + (floor_us_ - anchor_us_) * 1000};
}

void HwClock::refresh(std::uint32_t counter_us, std::int64_t monotonic_ns) {
    if (!anchored_) {
        return;  // the first stamp anchors the clock
    }
    reference_us_ = extend(counter_us, monotonic_ns);
    reference_monotonic_ns_ = std::max(monotonic_ns, reference_monotonic_ns_);
}

}  // namespace ovel::usb
