#include "usb_timing.h"

#include <gtest/gtest.h>

namespace ovel::qemu {
namespace {

constexpr std::int64_t MS = 1'000'000, US = 1'000;

TEST(FrameScheduler, FullSpeedReleasesAtTheNextMillisecondWithin19PacketsInOrder) {
    FrameScheduler bus(bus_speed(UsbTiming::full_speed));
    EXPECT_EQ(bus.schedule(5 * MS + 300 * US, 20), 6 * MS);
    // 17 more one-packet transfers fill frame 6 up to 18 packets; a 76-byte frame is two
    // packets of 64 bytes and no longer fits.
    for (int i = 0; i < 17; ++i) {
        EXPECT_EQ(bus.schedule(5 * MS + 400 * US, 24), 6 * MS);
    }
    EXPECT_EQ(bus.schedule(5 * MS + 500 * US, 76), 7 * MS);
    // An empty transfer is one packet; frame 6 has room for it, but it follows the one ahead.
    EXPECT_EQ(bus.schedule(5 * MS + 600 * US, 0), 7 * MS);
    // Ready exactly on a boundary: released at the next one.
    EXPECT_EQ(bus.schedule(6 * MS, 20), 7 * MS);
    EXPECT_EQ(bus.schedule(9 * MS, 20), 10 * MS);
}

TEST(FrameScheduler, HighSpeedUses13PacketsOf512PerMicroframeAndSpreadsLongTransfers) {
    FrameScheduler bus(bus_speed(UsbTiming::high_speed));
    EXPECT_EQ(bus.schedule(1 * MS + 10 * US, 512), 1 * MS + 125 * US);
    EXPECT_EQ(bus.schedule(1 * MS + 20 * US, 12 * 512), 1 * MS + 125 * US);  // 13 packets in all
    EXPECT_EQ(bus.schedule(1 * MS + 30 * US, 513), 1 * MS + 250 * US);       // two packets
    // 30 packets: the 11 left in this microframe are skipped, then 13 + 13 + 4.
    EXPECT_EQ(bus.schedule(1 * MS + 40 * US, 30 * 512), 1 * MS + 625 * US);
    EXPECT_EQ(bus.schedule(1 * MS + 50 * US, 9 * 512), 1 * MS + 625 * US);
    EXPECT_EQ(bus.schedule(1 * MS + 60 * US, 1), 1 * MS + 750 * US);
}

TEST(UsbTiming, ModesByNameAndWhatTheyReport) {
    EXPECT_EQ(parse_timing("immediate"), UsbTiming::immediate);
    EXPECT_EQ(parse_timing("hs"), UsbTiming::high_speed);
    EXPECT_EQ(parse_timing("fs"), UsbTiming::full_speed);
    EXPECT_FALSE(parse_timing("FS").has_value());
    EXPECT_FALSE(bus_speed(UsbTiming::immediate).full_speed);
    EXPECT_EQ(bus_speed(UsbTiming::immediate).bulk_max_packet, 512);
    EXPECT_TRUE(bus_speed(UsbTiming::full_speed).full_speed);
    EXPECT_EQ(bus_speed(UsbTiming::full_speed).bulk_max_packet, 64);
}

}  // namespace
}  // namespace ovel::qemu
