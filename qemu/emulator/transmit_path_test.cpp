#include "transmit_path.h"

#include <gtest/gtest.h>

#include <vector>

// The adapter's transmit buffers and the frames' time on the bus, on made-up times.
namespace ovel::qemu {
namespace {

std::vector<std::uint8_t> host_frame(std::uint32_t can_id, std::uint8_t dlc, std::uint8_t flags,
                                     std::uint8_t channel = 0, std::uint8_t tag = 0) {
    std::vector<std::uint8_t> bytes(flags != 0 ? 76 : 20, 0);
    for (int i = 0; i < 4; ++i) {
        bytes[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(can_id >> (8 * i));
    }
    bytes[8] = dlc;
    bytes[9] = channel;
    bytes[10] = flags;
    bytes[12] = tag;
    return bytes;
}

constexpr std::uint8_t FD = 0x02, BRS = 0x04;

// Bit counts as the simulated adapter's: classic 47 + 8n (67 + 8n extended, no data when
// remote); CAN FD 29 (48) nominal bits and ESI, DLC, data, stuff count, CRC 17/21, delimiter at
// the data rate with BRS. The rates come from the bit timing requests at the 40 MHz clock.
TEST(TransmitPathTest, FramesTakeTheirBitsAtTheRatesTheTimingRequestsSet) {
    EXPECT_EQ(frame_time_on_bus_ns(host_frame(0x123, 8, 0), 500'000, 0), 111 * 2000);
    EXPECT_EQ(frame_time_on_bus_ns(host_frame(0xC0000123, 8, 0), 1'000'000, 0), 67'000);
    EXPECT_EQ(frame_time_on_bus_ns(host_frame(0x123, 15, FD | BRS), 1'000'000, 5'000'000),
              29'000 + 108'600);
    EXPECT_EQ(frame_time_on_bus_ns(host_frame(0x123, 9, FD), 1'000'000, 5'000'000), 152'000);
    EXPECT_EQ(frame_time_on_bus_ns(host_frame(0x80000123, 10, FD | BRS), 1'000'000, 2'000'000),
              48'000 + 77'500);

    GsUsbModel model("A");
    // prop 0, phase 11 + 8, brp 4: 20 quanta of 100 ns; the data phase brp 1: 2 Mbit/s.
    const std::vector<std::uint8_t> timing_500k{0, 0, 0, 0, 11, 0, 0, 0, 8, 0,
                                                0, 0, 1, 0, 0,  0, 4, 0, 0, 0};
    std::vector<std::uint8_t> timing_2m = timing_500k;
    timing_2m[16] = 1;
    EXPECT_FALSE(model.handle_control(ControlSetup{0x41, 1, 1, 0, 20}, timing_500k).stall);
    EXPECT_FALSE(model.handle_control(ControlSetup{0x41, 8, 1, 0, 20}, timing_2m).stall);
    EXPECT_EQ(model.bitrate(1), 500'000u);
    EXPECT_EQ(model.data_bitrate(1), 2'000'000u);
    EXPECT_EQ(model.bitrate(0), 0u) << "never set";
    model.reset_channels();
    EXPECT_EQ(model.bitrate(1), 0u);
}

// Each channel sends its buffered frames back to back on its own bus, from when their bytes
// arrive; a full buffer has no room; echoes come out in the order the frames left their buses.
TEST(TransmitPathTest, BufferedFramesLeaveBackToBackInOrderPerChannel) {
    TransmitPath path;
    path.set_bitrates(0, 500'000, 0);  // 222 us per classic 8-byte frame
    path.set_bitrates(1, 1'000'000, 5'000'000);
    for (std::uint8_t n = 0; n < 3; ++n) {
        ASSERT_TRUE(path.has_room(0));
        path.push(0, n, host_frame(0x100, 8, 0, 0, n), 1'000'000);
    }
    EXPECT_FALSE(path.has_room(0));
    EXPECT_TRUE(path.has_room(1));
    // Channel 1's 64-byte frame (137.6 us at 1 M / 5 M) arrives later but ends before the
    // second frame of channel 0.
    path.push(1, 10, host_frame(0x200, 15, FD | BRS, 1, 10), 1'100'000);
    EXPECT_EQ(path.peak(), 3u);
    EXPECT_EQ(path.next_due_ns(), 1'222'000);
    EXPECT_TRUE(path.take_sent(1'221'999).empty());
    const auto sent = path.take_sent(1'666'000);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0][12], 0);
    EXPECT_EQ(sent[1][12], 10);
    EXPECT_EQ(sent[2][12], 1);
    EXPECT_EQ(sent[3][12], 2);
    EXPECT_FALSE(path.next_due_ns().has_value());

    // An idle bus starts the next frame when its bytes arrive, not where the last one ended.
    path.push(0, 3, host_frame(0x100, 0, 0, 0, 3), 5'000'000);
    EXPECT_EQ(path.next_due_ns(), 5'000'000 + 47 * 2000);
    // A frame whose transfer is cancelled before its bytes arrive is never sent; one on the
    // bus is; a stopped channel forgets the rest.
    path.push(0, 4, host_frame(0x100, 0, 0, 0, 4), 6'000'000);
    EXPECT_TRUE(path.remove(4, 5'500'000));
    EXPECT_FALSE(path.remove(3, 5'000'001));
    path.push(0, 5, host_frame(0x100, 0, 0, 0, 5), 6'000'000);
    path.clear(0);
    EXPECT_FALSE(path.next_due_ns().has_value());
    EXPECT_EQ(path.buffered(0), 0u);
}

}  // namespace
}  // namespace ovel::qemu
