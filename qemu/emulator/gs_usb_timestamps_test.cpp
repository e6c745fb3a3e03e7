// The emulated adapter's hardware timestamps and bus state at its endpoint-0 and frame level.
#include <gtest/gtest.h>

#include "gs_usb_model.h"

namespace ovel::qemu {
namespace {

std::uint32_t u32_at(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes[offset]) | bytes[offset + 1] << 8 |
           bytes[offset + 2] << 16 | static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

ControlOutcome vendor_in(GsUsbModel& model, std::uint8_t request, std::uint16_t value,
                         std::uint16_t length) {
    return model.handle_control(ControlSetup{0xC1, request, value, 0, length}, {});
}

void start(GsUsbModel& model, std::uint16_t channel, std::uint32_t flags) {
    const std::vector<std::uint8_t> mode{1, 0, 0, 0, static_cast<std::uint8_t>(flags), 0, 0, 0};
    ASSERT_FALSE(model.handle_control(ControlSetup{0x41, 2, channel, 0, 8}, mode).stall);
}

TEST(GsUsbTimestamps, FirmwareWithTheFeaturesStampsFramesAndAnswersOthersStall) {
    GsUsbModel plain("A");
    EXPECT_TRUE(vendor_in(plain, 6, 0, 4).stall);
    EXPECT_TRUE(vendor_in(plain, 14, 0, 12).stall);

    GsUsbModel model("B");
    model.set_features(0x103 | 0x10 | 0x2000);
    EXPECT_EQ(u32_at(vendor_in(model, 4, 0, 40).data, 0), 0x2113u);
    model.set_counter(0xFFFFFFF0u);
    const auto counter = vendor_in(model, 6, 0, 4);
    ASSERT_EQ(counter.data.size(), 4u);
    const std::uint32_t now = u32_at(counter.data, 0);
    EXPECT_TRUE(now >= 0xFFFFFFF0u || now < 10'000'000u) << now;  // runs on, and wraps

    start(model, 0, 0x10);
    start(model, 1, 0);
    std::vector<std::uint8_t> classic(20, 0), fd(76, 0), unstamped(20, 0);
    fd[10] = 0x02;
    unstamped[9] = 1;
    model.stamp(classic);
    model.stamp(fd);
    model.stamp(unstamped);
    EXPECT_EQ(classic.size(), 24u);
    EXPECT_EQ(fd.size(), 80u);
    EXPECT_EQ(unstamped.size(), 20u);

    auto state = vendor_in(model, 14, 1, 12).data;
    ASSERT_EQ(state.size(), 12u);
    EXPECT_EQ(u32_at(state, 0), 0u);  // started: error-active
    model.set_bus_state(1, 2, 128, 3);
    state = vendor_in(model, 14, 1, 12).data;
    EXPECT_EQ(u32_at(state, 0), 2u);
    EXPECT_EQ(u32_at(state, 4), 128u);
    EXPECT_EQ(u32_at(state, 8), 3u);
    EXPECT_TRUE(vendor_in(model, 14, 2, 12).stall);
}

}  // namespace
}  // namespace ovel::qemu
