#include "gs_usb_model.h"

#include <gtest/gtest.h>

#include <vector>

// The emulated adapter's vendor requests, without usbredir around them.
namespace ovel::qemu {
namespace {

constexpr std::uint8_t VENDOR_OUT = 0x41;

bool takes(GsUsbModel& model, std::uint8_t request, std::uint16_t channel,
           std::size_t payload = 20) {
    const ControlSetup setup{VENDOR_OUT, request, channel, 0, static_cast<std::uint16_t>(payload)};
    return !model.handle_control(setup, std::vector<std::uint8_t>(payload, 0)).stall;
}

TEST(GsUsbModelTest, DataTimingRequestFollowsTheFirmwareNumbering) {
    GsUsbModel original("A");
    EXPECT_TRUE(takes(original, 8, 0));
    EXPECT_FALSE(takes(original, 10, 0));
    EXPECT_FALSE(takes(original, 8, 1, 19)) << "short payload";

    GsUsbModel standard("B", Firmware::Standard);
    EXPECT_FALSE(takes(standard, 8, 0));
    EXPECT_TRUE(takes(standard, 10, 1));
    EXPECT_FALSE(takes(standard, 10, CHANNEL_COUNT)) << "no such channel";
    EXPECT_FALSE(takes(standard, 10, 0, 19));
    // The nominal timing is request 1 on both.
    EXPECT_TRUE(takes(original, 1, 0));
    EXPECT_TRUE(takes(standard, 1, 0));
}

TEST(GsUsbModelTest, TerminationAndIdentifyOnlyWithTheirFeatures) {
    const std::vector<std::uint8_t> on{1, 0, 0, 0};
    const auto send = [&](GsUsbModel& model, std::uint8_t request, std::uint16_t channel) {
        return !model.handle_control(ControlSetup{VENDOR_OUT, request, channel, 0, 4}, on).stall;
    };
    const auto termination = [](GsUsbModel& model, std::uint16_t channel) {
        return model.handle_control(ControlSetup{0xC1, 13, channel, 0, 4}, {});
    };
    GsUsbModel plain("A");
    EXPECT_FALSE(send(plain, 12, 0));
    EXPECT_FALSE(send(plain, 7, 0));
    EXPECT_TRUE(termination(plain, 0).stall);

    GsUsbModel model("B");
    model.set_features(0x103 | 0x20 | 0x800);
    EXPECT_TRUE(send(model, 12, 1));
    EXPECT_TRUE(model.termination(1));
    EXPECT_FALSE(model.termination(0));
    EXPECT_EQ(termination(model, 1).data, on);
    EXPECT_EQ(termination(model, 0).data, (std::vector<std::uint8_t>{0, 0, 0, 0}));
    EXPECT_TRUE(termination(model, CHANNEL_COUNT).stall);
    EXPECT_TRUE(send(model, 7, 0));
    EXPECT_TRUE(model.identifying());
}

}  // namespace
}  // namespace ovel::qemu
