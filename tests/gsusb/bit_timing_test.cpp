#include "gsusb/bit_timing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <ostream>

namespace ovel::gsusb {

void PrintTo(const BitTiming& timing, std::ostream* out) {
    *out << "{brp " << timing.brp << ", prop_seg " << timing.prop_seg << ", phase_seg1 "
         << timing.phase_seg1 << ", phase_seg2 " << timing.phase_seg2 << ", sjw " << timing.sjw
         << "}";
}

namespace {

constexpr std::uint32_t MHZ = 1'000'000, KBITS = 1'000, MBITS = 1'000'000;

struct TimingCase {
    std::uint32_t fclk_can;
    std::uint32_t bitrate;
    std::optional<BitTiming> expected;
};

std::ostream& operator<<(std::ostream& out, const TimingCase& c) {
    return out << c.fclk_can << " Hz, " << c.bitrate << " bit/s";
}

BitTiming timing(std::uint32_t brp, std::uint32_t phase_seg1, std::uint32_t phase_seg2) {
    return {
        .prop_seg = 0, .phase_seg1 = phase_seg1, .phase_seg2 = phase_seg2, .sjw = 1, .brp = brp};
}

class ComputeBitTimingTest : public ::testing::TestWithParam<TimingCase> {};

TEST_P(ComputeBitTimingTest, FindsExpectedTiming) {
    const TimingCase& c = GetParam();
    EXPECT_EQ(compute_bit_timing(c.fclk_can, c.bitrate), c.expected);
}

// Reference results, including the cases where a later pass or a larger prescaler must win.
INSTANTIATE_TEST_SUITE_P(WorkedResults, ComputeBitTimingTest,
                         ::testing::Values(TimingCase{80 * MHZ, 500 * KBITS, timing(8, 11, 8)},
                                           TimingCase{80 * MHZ, 1 * MBITS, timing(4, 11, 8)},
                                           TimingCase{80 * MHZ, 5 * MBITS, timing(1, 7, 8)},
                                           TimingCase{80 * MHZ, 8 * MBITS, timing(1, 1, 8)},
                                           TimingCase{48 * MHZ, 500 * KBITS, timing(4, 15, 8)},
                                           TimingCase{48 * MHZ, 800 * KBITS, timing(3, 11, 8)},
                                           TimingCase{48 * MHZ, 4 * MBITS, timing(1, 3, 8)},
                                           TimingCase{40 * MHZ, 5 * MBITS, timing(1, 1, 6)},
                                           TimingCase{40 * MHZ, 8 * MBITS, timing(1, 1, 3)},
                                           TimingCase{170 * MHZ, 1 * MBITS, timing(10, 8, 8)},
                                           // Within 0.1 % (pass 2), about 32.97 kbit/s on the bus.
                                           TimingCase{48 * MHZ, 33 * KBITS, timing(91, 7, 8)},
                                           // Within 0.5 % (pass 3), about 801.9 kbit/s on the bus.
                                           TimingCase{170 * MHZ, 800 * KBITS, timing(53, 1, 2)},
                                           TimingCase{80 * MHZ, 3 * MBITS, std::nullopt},
                                           TimingCase{48 * MHZ, 5 * MBITS, std::nullopt},
                                           // Needs more than 1024 x 24 clock periods per bit.
                                           TimingCase{80 * MHZ, 3 * KBITS, std::nullopt}));

// Clocks and bitrates that reject n < 4 or n > 32, or that pass over a count of 25 to 32.
INSTANTIATE_TEST_SUITE_P(
    QuantaLimits, ComputeBitTimingTest,
    ::testing::Values(
        // Exactly 3 quanta at prescaler 1: exact but too few.
        TimingCase{48 * MHZ, 16 * MBITS, std::nullopt},
        // The fastest timing the rule allows at 80 MHz.
        TimingCase{80 * MHZ, 20 * MBITS, timing(1, 1, 2)},
        // Prescaler 32 gives exactly 25 quanta, which cannot be split; prescaler 40 gives 20.
        TimingCase{80 * MHZ, 100 * KBITS, timing(40, 11, 8)},
        // 32 quanta at prescaler 1 (exact) cannot be split; prescaler 2 gives 16.
        TimingCase{32 * MHZ, 1 * MBITS, timing(2, 7, 8)},
        // 24 quanta at prescaler 1024, the largest prescaler and the largest splittable count.
        TimingCase{24'576'000, 1 * KBITS, timing(1024, 15, 8)}));

// Pairs whose deviation k (units of 0.01 %, rounded in single precision) sits on a tolerance
// bound. Each also has a smaller prescaler that a wrong bound would pick instead.
INSTANTIATE_TEST_SUITE_P(
    ToleranceBounds, ComputeBitTimingTest,
    ::testing::Values(
        // k = +10 at brp 37 (n 8) is taken in pass 2 over brp 27 (n 11, k = -24).
        TimingCase{8 * MHZ, 27 * KBITS, timing(37, 1, 6)},
        // k = -10 at brp 52 (n 14) is taken in pass 2 over brp 33 (n 22, k = +18).
        TimingCase{8 * MHZ, 11 * KBITS, timing(52, 5, 8)},
        // k = +11 at brp 107 (n 23) is refused in pass 2; brp 112 (n 22, k = -1) wins.
        TimingCase{170 * MHZ, 69 * KBITS, timing(112, 13, 8)},
        // k = -11 at brp 71 (n 24) is refused in pass 2; brp 74 (n 23, k = +1) wins.
        TimingCase{80 * MHZ, 47 * KBITS, timing(74, 14, 8)},
        // k = +50 at brp 2 (n 20) is taken in pass 3.
        TimingCase{8 * MHZ, 199 * KBITS, timing(2, 11, 8)},
        // k = -50 at brp 5 (n 24) is taken in pass 3; brp 4 (n 30) cannot be split.
        TimingCase{8 * MHZ, 67 * KBITS, timing(5, 15, 8)},
        // k = +51 at brp 9 (n 22) is refused in pass 3; brp 10 (n 20, k = -50) wins.
        TimingCase{40 * MHZ, 201 * KBITS, timing(10, 11, 8)},
        // k = +51 at brp 3 (n 11) is the only candidate: no timing.
        TimingCase{20 * MHZ, 603 * KBITS, std::nullopt},
        // k = -51 at brp 1 (n 17) is the only candidate: no timing.
        TimingCase{8 * MHZ, 473 * KBITS, std::nullopt},
        // Single precision puts brp 113 (n 12) at e = -0.50008, k = -1, where exact arithmetic
        // gives -0.49998 and k = 0; so the first exact match is brp 339 (n 4, e = -0.49949).
        TimingCase{80 * MHZ, 59 * KBITS, timing(339, 1, 2)}));

// Division by zero gives an infinite or NaN clock ratio; neither may produce a timing.
INSTANTIATE_TEST_SUITE_P(ZeroInputs, ComputeBitTimingTest,
                         ::testing::Values(TimingCase{80 * MHZ, 0, std::nullopt},
                                           TimingCase{0, 0, std::nullopt},
                                           TimingCase{0, 500 * KBITS, std::nullopt},
                                           TimingCase{UINT32_MAX, 0, std::nullopt},
                                           TimingCase{UINT32_MAX, 1, std::nullopt}));

// Whatever the inputs, a found timing respects the segment limits and its bitrate lies within
// 0.5 % after rounding to 0.01 %, that is below 0.505 %.
TEST(ComputeBitTimingSweepTest, EveryFoundTimingIsWithinLimitsAndTolerance) {
    const std::uint32_t clocks[] = {8 * MHZ,  16 * MHZ, 24 * MHZ, 40 * MHZ,
                                    48 * MHZ, 80 * MHZ, 170 * MHZ};
    int found = 0;
    for (const std::uint32_t clock : clocks) {
        for (std::uint32_t bitrate = 5 * KBITS; bitrate <= 10 * MBITS; bitrate += 9'973) {
            const auto result = compute_bit_timing(clock, bitrate);
            if (!result) {
                continue;
            }
            ++found;
            const BitTiming& t = *result;
            const std::uint32_t quanta = 1 + t.prop_seg + t.phase_seg1 + t.phase_seg2;
            ASSERT_EQ(t.prop_seg, 0u);
            ASSERT_EQ(t.sjw, 1u);
            ASSERT_GE(t.phase_seg1, 1u);
            ASSERT_LE(t.phase_seg1, 15u);
            ASSERT_GE(t.phase_seg2, 1u);
            ASSERT_LE(t.phase_seg2, 8u);
            ASSERT_GE(quanta, 4u);
            ASSERT_LE(quanta, 24u);
            ASSERT_EQ(t.phase_seg2, std::min(8u, quanta - 2));
            ASSERT_GE(t.brp, 1u);
            ASSERT_LE(t.brp, 1024u);
            const double achieved = static_cast<double>(clock) / (t.brp * quanta);
            ASSERT_LT(std::abs(achieved / bitrate - 1.0), 0.00505) << clock << " Hz, " << bitrate;
        }
    }
    EXPECT_GT(found, 1000);
}

}  // namespace
}  // namespace ovel::gsusb
