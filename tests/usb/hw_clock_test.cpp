// The adapter's 32-bit stamps extended and mapped to host time.
#include <gtest/gtest.h>

#include "usb/hw_clock.h"

namespace ovel::usb {
namespace {

constexpr std::int64_t SECOND_NS = 1'000'000'000;
constexpr std::int64_t MINUTE_NS = 60 * SECOND_NS;

TEST(HwClock, WrapsAreFollowedAcrossQuietSpellsLongerThanTheWrapAndTimeNeverGoesBack) {
    HwClock clock;
    const std::int64_t realtime = 1'700'000'000 * SECOND_NS;
    clock.anchor(HwAnchor{0xFFFF0000u, realtime, 5 * SECOND_NS});
    const auto first = clock.convert(0xFFFF1000u, 0, 5 * SECOND_NS);
    EXPECT_EQ(first.us, 0xFFFF1000u);
    EXPECT_EQ(first.realtime_ns, realtime + 0x1000 * 1000);

    // 100 minutes without a frame: the counter wrapped once and ran on (2^32 us ~ 71.6 min).
    const std::int64_t later = 5 * SECOND_NS + 100 * MINUTE_NS;
    const std::uint64_t elapsed_us = 100ull * 60 * 1'000'000;
    const auto expected = 0xFFFF1000ull + elapsed_us;
    const auto second = clock.convert(static_cast<std::uint32_t>(expected), 0, later);
    EXPECT_EQ(second.us, expected);

    // An older stamp (an echo after a reception) keeps the last value.
    const auto third = clock.convert(static_cast<std::uint32_t>(expected - 50), 0, later);
    EXPECT_EQ(third.us, expected);
    EXPECT_EQ(third.realtime_ns, second.realtime_ns);

    // Without an anchor the first stamp is one.
    HwClock unanchored;
    const auto own = unanchored.convert(77, realtime, 0);
    EXPECT_EQ(own.us, 77u);
    EXPECT_EQ(own.realtime_ns, realtime);
}

}  // namespace
}  // namespace ovel::usb
