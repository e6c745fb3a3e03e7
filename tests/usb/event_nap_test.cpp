// How long the USB event thread may nap under a receive latency budget: within the budget, short
// of what half the receive transfers hold at the measured rate, and shorter by how late the
// system's timed waits have been ending.
#include "usb/event_nap.h"

#include <gtest/gtest.h>

namespace ovel::usb {
namespace {

using namespace std::chrono_literals;
using Clock = EventNap::Clock;

TEST(EventNapTest, NapsFitTheBudgetTheTransfersAndHowLateWaitsEnd) {
    EventNap nap(0ns);  // waits that end on time
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(nap.length(0ns, 5, 32, start), 0ns) << "no budget";
    EXPECT_EQ(nap.length(1ms, 0, 32, start), 0ns) << "nothing received";
    // After a quiet spell: two thirds of the budget, the rest for the way to the callback.
    EXPECT_EQ(nap.length(1'200us, 1, 32, start), 800us);
    EXPECT_EQ(nap.length(500us, 1, 32, start + 1s), 300us) << "at least 200 us left";
    EXPECT_EQ(nap.length(10s, 1, 32, start + 2s), EVENT_NAP_MAX);

    // 100 frames in the 10 ms since the last nap: 16 transfers fill in 1.6 ms.
    EXPECT_EQ(nap.length(1s, 100, 32, start + 2s + 10ms), 1'600us);
    // 100 frames in 1 ms: 160 us; 1,000 in 1 ms: too short to be worth a nap.
    EXPECT_EQ(nap.length(1s, 100, 32, start + 2s + 11ms), 160us);
    EXPECT_EQ(nap.length(1s, 1'000, 32, start + 2s + 12ms), 0ns);

    // Waits that end a Windows tick late: every nap is that much shorter.
    EventNap coarse(16'625us);
    EXPECT_EQ(coarse.length(1s, 1, 32, start), EVENT_NAP_MAX - 16'625us);
    EXPECT_EQ(coarse.length(20ms, 1, 32, start + 1s), 0ns) << "13.3 ms, less the lateness";

    // Here: the timer slack. A nap that a busy machine made 5 ms late changes nothing; eight in
    // a row do, until a second without naps has passed.
    EventNap fine(50us);
    EXPECT_EQ(fine.length(30ms, 1, 32, start), 20ms - 50us);
    fine.note_ran_out(20ms, 25ms);
    EXPECT_EQ(fine.length(30ms, 1, 32, start + 100ms), 20ms - 50us);
    for (int i = 0; i < 7; ++i) {
        fine.note_ran_out(20ms, 25ms);
    }
    EXPECT_EQ(fine.length(30ms, 1, 32, start + 200ms), 15ms);
    EXPECT_EQ(fine.length(30ms, 1, 32, start + 1'300ms), 20ms - 50us);
}

}  // namespace
}  // namespace ovel::usb
