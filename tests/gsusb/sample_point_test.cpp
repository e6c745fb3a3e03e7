#include "gsusb/sample_point.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>

namespace ovel::gsusb {
namespace {

constexpr std::uint32_t MHZ = 1'000'000, KBITS = 1'000, MBITS = 1'000'000;

// bxCAN at 48 MHz (candleLight), and the nominal and data limits of an FDCAN or M_CAN core.
constexpr TimingLimits BXCAN{1, 16, 1, 8, 4, 1, 1024, 1};
constexpr TimingLimits FDCAN_NOMINAL{1, 256, 1, 128, 128, 1, 512, 1};
constexpr TimingLimits FDCAN_DATA{1, 32, 1, 16, 16, 1, 32, 1};
constexpr TimingLimits MCAN_NOMINAL{2, 256, 2, 128, 128, 1, 512, 1};

struct Worked {
    std::uint32_t clock;
    TimingLimits limits;
    std::uint32_t bitrate, sample_point;
    std::uint32_t brp, tseg1, tseg2, sjw, reached_sample_point;
};

TEST(SamplePointTimingTest, WorkedValuesOfCommonAdapterClocks) {
    const Worked cases[] = {
        // CiA 601-3 nominal points on bxCAN: 16 quanta, sjw limited by phase_seg2.
        {48 * MHZ, BXCAN, 500 * KBITS, 875, 6, 13, 2, 2, 875},
        {48 * MHZ, BXCAN, 125 * KBITS, 875, 24, 13, 2, 2, 875},
        {48 * MHZ, BXCAN, 800 * KBITS, 800, 3, 15, 4, 4, 800},
        {48 * MHZ, BXCAN, 1 * MBITS, 750, 3, 11, 4, 4, 750},
        // The whole clock as quanta where the limits allow it.
        {80 * MHZ, MCAN_NOMINAL, 500 * KBITS, 875, 1, 139, 20, 20, 875},
        {80 * MHZ, FDCAN_DATA, 2 * MBITS, 800, 1, 31, 8, 8, 800},
        {80 * MHZ, FDCAN_DATA, 5 * MBITS, 750, 1, 11, 4, 4, 750},
        // 10 quanta: 80 % and 70 % are equally close; the earlier point wins.
        {80 * MHZ, FDCAN_DATA, 8 * MBITS, 750, 1, 6, 3, 3, 700},
        // 170 MHz: 340 quanta need tseg1 297 > 256, so prescaler 2 (876, closer than the
        // kernel's 870 at prescaler 4); at 1 Mbit/s 747 and 753 tie and the earlier one wins.
        {170 * MHZ, FDCAN_NOMINAL, 500 * KBITS, 875, 2, 148, 21, 21, 876},
        {170 * MHZ, FDCAN_NOMINAL, 1 * MBITS, 750, 1, 126, 43, 43, 747},
        {170 * MHZ, FDCAN_DATA, 2 * MBITS, 750, 5, 12, 4, 4, 765},
        // Only 5 quanta reach 80 % exactly at this clock.
        {170 * MHZ, FDCAN_DATA, 2 * MBITS, 800, 17, 3, 1, 1, 800},
    };
    for (const Worked& c : cases) {
        SCOPED_TRACE(testing::Message() << c.clock << " Hz, " << c.bitrate << " bit/s, "
                                        << c.sample_point << " permille");
        const auto timing =
            compute_sample_point_timing(c.clock, c.bitrate, c.sample_point, c.limits);
        ASSERT_TRUE(timing);
        EXPECT_EQ(timing->brp, c.brp);
        EXPECT_EQ(timing->prop_seg, c.tseg1 / 2);
        EXPECT_EQ(timing->prop_seg + timing->phase_seg1, c.tseg1);
        EXPECT_EQ(timing->phase_seg2, c.tseg2);
        EXPECT_EQ(timing->sjw, c.sjw);
        const TimingResult result = timing_result(c.clock, *timing);
        EXPECT_EQ(result.bitrate, c.bitrate);
        EXPECT_EQ(result.sample_point, c.reached_sample_point);
    }
}

TEST(SamplePointTimingTest, RefusesWhatCannotBeMet) {
    EXPECT_FALSE(compute_sample_point_timing(48 * MHZ, 5 * MBITS, 750, BXCAN));       // 9.6 quanta
    EXPECT_FALSE(compute_sample_point_timing(80 * MHZ, 1 * KBITS, 875, FDCAN_DATA));  // too slow
    EXPECT_FALSE(compute_sample_point_timing(48 * MHZ, 0, 875, BXCAN));
    EXPECT_FALSE(compute_sample_point_timing(0, 500 * KBITS, 875, BXCAN));
    EXPECT_FALSE(compute_sample_point_timing(48 * MHZ, 500 * KBITS, 0, BXCAN));
    EXPECT_FALSE(compute_sample_point_timing(48 * MHZ, 500 * KBITS, 1000, BXCAN));
    // Limits an adapter should never report: min above max, or all zero.
    EXPECT_FALSE(compute_sample_point_timing(48 * MHZ, 500 * KBITS, 875,
                                             TimingLimits{9, 8, 1, 8, 4, 1, 1024, 1}));
    EXPECT_FALSE(compute_sample_point_timing(48 * MHZ, 500 * KBITS, 875, TimingLimits{}));
    // A prescaler increment of 4 leaves only multiples of 4: 48 MHz / 500 kbit/s at brp 4.
    const auto stepped = compute_sample_point_timing(48 * MHZ, 500 * KBITS, 875,
                                                     TimingLimits{1, 32, 1, 16, 16, 1, 1024, 4});
    ASSERT_TRUE(stepped);
    EXPECT_EQ(stepped->brp, 4u);
    // Absurd limits are cut down (the search stays short) and still give an exact timing.
    const auto huge = compute_sample_point_timing(
        80 * MHZ, 10, 875,
        TimingLimits{1, UINT32_MAX, 1, UINT32_MAX, UINT32_MAX, 1, UINT32_MAX, 1});
    ASSERT_TRUE(huge);
    EXPECT_EQ(timing_result(80 * MHZ, *huge).bitrate, 10u);
}

// Whatever the inputs, a found timing respects the limits and the 0.5 % bitrate bound.
TEST(SamplePointTimingTest, EveryFoundTimingIsWithinLimitsAndTolerance) {
    const std::uint32_t clocks[] = {16 * MHZ, 40 * MHZ, 48 * MHZ, 80 * MHZ, 170 * MHZ};
    const TimingLimits all_limits[] = {BXCAN, FDCAN_NOMINAL, FDCAN_DATA, MCAN_NOMINAL};
    int found = 0;
    for (const std::uint32_t clock : clocks) {
        for (const TimingLimits& limits : all_limits) {
            for (std::uint32_t bitrate = 10 * KBITS; bitrate <= 8 * MBITS; bitrate += 49'999) {
                const std::uint32_t point = default_sample_point(bitrate);
                const auto timing = compute_sample_point_timing(clock, bitrate, point, limits);
                if (!timing) {
                    continue;
                }
                ++found;
                const std::uint32_t tseg1 = timing->prop_seg + timing->phase_seg1;
                ASSERT_GE(tseg1, limits.tseg1_min);
                ASSERT_LE(tseg1, limits.tseg1_max);
                ASSERT_GE(timing->phase_seg2, limits.tseg2_min);
                ASSERT_LE(timing->phase_seg2, limits.tseg2_max);
                ASSERT_GE(timing->brp, limits.brp_min);
                ASSERT_LE(timing->brp, limits.brp_max);
                ASSERT_GE(timing->sjw, 1u);
                ASSERT_LE(timing->sjw,
                          std::min({limits.sjw_max, timing->phase_seg1, timing->phase_seg2}));
                const double quanta = 1.0 + tseg1 + timing->phase_seg2;
                const double achieved = clock / (timing->brp * quanta);
                ASSERT_LE(std::abs(achieved / bitrate - 1.0), 0.005) << clock << " " << bitrate;
            }
        }
    }
    EXPECT_GT(found, 300);
}

TEST(SamplePointTimingTest, DefaultSamplePointFollowsCia601) {
    EXPECT_EQ(default_sample_point(125 * KBITS), 875u);
    EXPECT_EQ(default_sample_point(500 * KBITS), 875u);
    EXPECT_EQ(default_sample_point(800 * KBITS), 800u);
    EXPECT_EQ(default_sample_point(1 * MBITS), 750u);
    EXPECT_EQ(default_sample_point(5 * MBITS), 750u);
}

}  // namespace
}  // namespace ovel::gsusb
