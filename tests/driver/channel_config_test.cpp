// Bitrates, mode settings, start and stop, as the adapter sees them on the wire.
#include "sim_fixture.h"

namespace ovel::test {
namespace {

constexpr std::uint8_t BITTIMING = 1;
constexpr std::uint8_t MODE = 2;
constexpr std::uint8_t DATA_BITTIMING = 8;

class ChannelConfig : public SimTest {
  protected:
    // An adapter with two channels, an 80 MHz clock and the given features, opened,
    // with the two requests of the opening already cleared from its log.
    ovel_canfd_driver* open_adapter(std::uint32_t features = 0x103,
                                    std::uint32_t fclk = 80'000'000) {
        ovsim::AdapterSpec config;
        config.features = features;
        config.fclk_can = fclk;
        adapter_ = &ovsim::add_adapter(config);
        ovel_canfd_driver* h = open_handle();
        adapter_->clear_control_requests();
        return h;
    }

    std::vector<ovsim::ControlRecord> requests() { return adapter_->control_requests(); }

    static std::vector<std::uint8_t> setup_of(const ovsim::ControlRecord& r) {
        return {r.setup.begin(), r.setup.end()};
    }

    ovsim::Adapter* adapter_ = nullptr;
};

const std::vector<std::uint8_t> RESET_PAYLOAD = bytes({0, 0, 0, 0, 0, 0, 0, 0});

std::vector<std::uint8_t> start_payload(std::uint32_t flags) {
    return bytes({1, 0, 0, 0, static_cast<int>(flags & 0xFF), static_cast<int>(flags >> 8), 0, 0});
}

TEST_F(ChannelConfig, SetBitrateSendsTheTimingAtOnce) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_set_bitrate(h, 1, 500000), 0);
    ASSERT_EQ(ovel_canfd_set_data_bitrate(h, 1, 2000000), 0);
    const auto r = requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(setup_of(r[0]), bytes({0x41, BITTIMING, 1, 0, 0, 0, 20, 0}));
    // 80 MHz / 500 kbit/s: prescaler 8, phase_seg1 11, phase_seg2 8.
    EXPECT_EQ(r[0].payload, bytes({0, 0, 0, 0, 11, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0, 8, 0, 0, 0}));
    EXPECT_EQ(r[0].transfer_length, 8 + 20);
    EXPECT_EQ(setup_of(r[1]), bytes({0x41, DATA_BITTIMING, 1, 0, 0, 0, 20, 0}));
    // 80 MHz / 2 Mbit/s: prescaler 2, phase_seg1 11, phase_seg2 8.
    EXPECT_EQ(r[1].payload, bytes({0, 0, 0, 0, 11, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}));
}

TEST_F(ChannelConfig, InvalidBitrateSendsNothing) {
    ovel_canfd_driver* h = open_adapter();
    EXPECT_EQ(ovel_canfd_set_bitrate(h, 0, 3000000), OVEL_CANFD_ERR_INVALID_BITRATE);
    EXPECT_EQ(last_error(h), "failed to set bitrate: InvalidBitrate(3000000)");
    EXPECT_EQ(ovel_canfd_set_data_bitrate(h, 0, 0), OVEL_CANFD_ERR_INVALID_BITRATE);
    EXPECT_EQ(last_error(h), "failed to set bitrate: InvalidBitrate(0)");
    EXPECT_TRUE(requests().empty());
}

TEST_F(ChannelConfig, ZeroClockMakesEveryBitrateInvalid) {
    ovel_canfd_driver* h = open_adapter(0x103, 0);
    EXPECT_EQ(ovel_canfd_set_bitrate(h, 0, 500000), OVEL_CANFD_ERR_INVALID_BITRATE);
    EXPECT_TRUE(requests().empty());
}

TEST_F(ChannelConfig, BitrateTheAdapterDoesNotTakeIsAFailure) {
    ovel_canfd_driver* h = open_adapter();
    adapter_->set_control_status(BITTIMING, LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(ovel_canfd_set_bitrate(h, 0, 500000), OVEL_CANFD_ERR_DEVICE);
    EXPECT_EQ(last_error(h),
              "failed to set bit timing: DeviceError(Libusb(\"control_out: transfer\", -9))");
    adapter_->clear_faults();
    adapter_->set_no_answer(DATA_BITTIMING);
    EXPECT_EQ(ovel_canfd_set_data_bitrate(h, 0, 2000000), OVEL_CANFD_ERR_DEVICE);
    EXPECT_EQ(last_error(h),
              "failed to set bit timing: DeviceError(Libusb(\"control_out: transfer\", -7))");
    adapter_->clear_faults();
    adapter_->refuse_submissions(0, LIBUSB_ERROR_NO_DEVICE, 1);
    EXPECT_EQ(ovel_canfd_set_bitrate(h, 0, 500000), OVEL_CANFD_ERR_DEVICE);
    EXPECT_EQ(last_error(h),
              "failed to set bit timing: "
              "DeviceError(Libusb(\"control_out: libusb_submit_transfer\", -4))");
    EXPECT_EQ(ovel_canfd_set_bitrate(h, 0, 500000), 0) << "the device stays usable";
}

TEST_F(ChannelConfig, StartSendsModeWithFlagsFromTheSettings) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_set_monitor(h, 0, true), 0);
    ASSERT_EQ(ovel_canfd_set_fd(h, 0, true), 0);
    ASSERT_EQ(ovel_canfd_set_hw_loopback(h, 1, true), 0);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_EQ(ovel_canfd_start(h, 1), 0);
    const auto r = requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(setup_of(r[0]), bytes({0x41, MODE, 0, 0, 0, 0, 8, 0}));
    EXPECT_EQ(r[0].payload, bytes({1, 0, 0, 0, 1, 1, 0, 0}));  // LISTEN_ONLY | FD
    EXPECT_EQ(setup_of(r[1]), bytes({0x41, MODE, 1, 0, 0, 0, 8, 0}));
    EXPECT_EQ(r[1].payload, start_payload(0x2));
}

TEST_F(ChannelConfig, TwoChannelStartStopSequence) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_EQ(ovel_canfd_start(h, 1), 0);
    ASSERT_EQ(ovel_canfd_stop(h, 0), 0);
    // Channel 1 is still started, so the device keeps running.
    EXPECT_EQ(ovel_canfd_set_fd(h, 1, true), OVEL_CANFD_ERR_RUNNING);
    EXPECT_EQ(ovel_canfd_set_fd(h, 0, true), 0);
    ASSERT_EQ(ovel_canfd_stop(h, 1), 0);
    EXPECT_EQ(ovel_canfd_set_fd(h, 1, true), 0);
    const auto r = requests();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].value, 0);
    EXPECT_EQ(r[0].payload, start_payload(0));
    EXPECT_EQ(r[1].value, 1);
    EXPECT_EQ(r[1].payload, start_payload(0));
    EXPECT_EQ(r[2].value, 0);
    EXPECT_EQ(r[2].payload, RESET_PAYLOAD);
    EXPECT_EQ(r[3].value, 1);
    EXPECT_EQ(r[3].payload, RESET_PAYLOAD);
}

TEST_F(ChannelConfig, StartingTwiceSendsModeTwice) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    EXPECT_EQ(requests().size(), 2u);
    ASSERT_EQ(ovel_canfd_stop(h, 0), 0);
    EXPECT_EQ(ovel_canfd_set_enabled(h, 0, false), 0);
}

TEST_F(ChannelConfig, RunningOnlyForAStartedChannelOfARunningDevice) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    EXPECT_EQ(ovel_canfd_set_enabled(h, 1, false), 0);
    EXPECT_EQ(ovel_canfd_set_enabled(h, 0, false), OVEL_CANFD_ERR_RUNNING);
    EXPECT_EQ(last_error(h), "failed to enable channel: Running");
    EXPECT_EQ(ovel_canfd_set_monitor(h, 0, true), OVEL_CANFD_ERR_RUNNING);
    EXPECT_EQ(ovel_canfd_set_hw_loopback(h, 0, true), OVEL_CANFD_ERR_RUNNING);
    EXPECT_EQ(last_error(h), "failed to set hardware loopback mode: Running");
    // Bitrates are never refused for running: the timing goes to the adapter at once.
    adapter_->clear_control_requests();
    EXPECT_EQ(ovel_canfd_set_bitrate(h, 0, 1000000), 0);
    EXPECT_EQ(requests().size(), 1u);
    ASSERT_EQ(ovel_canfd_stop(h, 0), 0);
    EXPECT_EQ(ovel_canfd_set_enabled(h, 0, false), 0);
}

TEST_F(ChannelConfig, DisabledChannelIsStartedAndStoppedWithoutRequests) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_set_enabled(h, 1, false), 0);
    ASSERT_EQ(ovel_canfd_start(h, 1), 0);
    EXPECT_EQ(ovel_canfd_set_fd(h, 1, true), OVEL_CANFD_ERR_RUNNING);
    ASSERT_EQ(ovel_canfd_stop(h, 1), 0);
    // Stopping cleared its mark, so the device is no longer running.
    EXPECT_EQ(ovel_canfd_set_fd(h, 1, true), 0);
    EXPECT_TRUE(requests().empty());
}

TEST_F(ChannelConfig, FailedModeRequestLeavesTheMarksAsTheyWere) {
    ovel_canfd_driver* h = open_adapter();
    adapter_->set_control_status(MODE, LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(ovel_canfd_start(h, 0), OVEL_CANFD_ERR_DEVICE);
    EXPECT_EQ(last_error(h),
              "failed to start device: DeviceError(Libusb(\"control_out: transfer\", -9))");
    EXPECT_EQ(ovel_canfd_set_fd(h, 0, true), 0) << "a failed start does not start the channel";
    adapter_->clear_faults();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    adapter_->set_no_answer(MODE);
    EXPECT_EQ(ovel_canfd_stop(h, 0), OVEL_CANFD_ERR_DEVICE);
    EXPECT_EQ(last_error(h),
              "failed to stop device: DeviceError(Libusb(\"control_out: transfer\", -7))");
    EXPECT_EQ(ovel_canfd_set_fd(h, 0, false), OVEL_CANFD_ERR_RUNNING) << "still started";
    adapter_->clear_faults();
    EXPECT_EQ(ovel_canfd_stop(h, 0), 0);
}

TEST_F(ChannelConfig, StopOfANeverStartedDeviceSendsTheReset) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_stop(h, 1), 0);
    const auto r = requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].payload, RESET_PAYLOAD);
}

// Every operation takes index icount (here 1) and refuses icount + 1.
TEST_F(ChannelConfig, ChannelIndexIsCheckedAgainstTheLastChannel) {
    ovel_canfd_driver* h = open_adapter();
    const std::vector<std::function<int32_t(std::uint8_t)>> operations = {
        [h](std::uint8_t c) { return ovel_canfd_set_bitrate(h, c, 500000); },
        [h](std::uint8_t c) { return ovel_canfd_set_data_bitrate(h, c, 2000000); },
        [h](std::uint8_t c) { return ovel_canfd_set_enabled(h, c, true); },
        [h](std::uint8_t c) { return ovel_canfd_set_fd(h, c, true); },
        [h](std::uint8_t c) { return ovel_canfd_set_hw_loopback(h, c, true); },
        [h](std::uint8_t c) { return ovel_canfd_set_monitor(h, c, true); },
        [h](std::uint8_t c) { return ovel_canfd_start(h, c); },
        [h](std::uint8_t c) { return ovel_canfd_stop(h, c); },
    };
    for (std::size_t i = 0; i < operations.size(); ++i) {
        EXPECT_EQ(operations[i](2), OVEL_CANFD_ERR_INVALID_CHANNEL) << "operation " << i;
        EXPECT_EQ(operations[i](255), OVEL_CANFD_ERR_INVALID_CHANNEL) << "operation " << i;
    }
    EXPECT_EQ(last_error(h), "failed to stop device: InvalidChannel");
    for (std::size_t i = 0; i < operations.size(); ++i) {
        EXPECT_EQ(operations[i](1), 0) << "operation " << i;
    }
}

// The feature is tested before the channel, and before the value or bitrate is looked at.
TEST_F(ChannelConfig, MissingFeatureIsReportedFirst) {
    ovel_canfd_driver* h = open_adapter(0);
    EXPECT_EQ(ovel_canfd_set_monitor(h, 9, false), OVEL_CANFD_ERR_UNSUPPORTED_FEATURE);
    EXPECT_EQ(last_error(h), "failed to set monitoring mode: UnsupportedFeature(\"Monitor\")");
    EXPECT_EQ(ovel_canfd_set_hw_loopback(h, 9, true), OVEL_CANFD_ERR_UNSUPPORTED_FEATURE);
    EXPECT_EQ(last_error(h),
              "failed to set hardware loopback mode: UnsupportedFeature(\"Loopback\")");
    EXPECT_EQ(ovel_canfd_set_fd(h, 9, false), OVEL_CANFD_ERR_UNSUPPORTED_FEATURE);
    EXPECT_EQ(last_error(h), "failed to set fd mode: UnsupportedFeature(\"FD\")");
    EXPECT_EQ(ovel_canfd_set_data_bitrate(h, 9, 0), OVEL_CANFD_ERR_UNSUPPORTED_FEATURE);
    EXPECT_EQ(last_error(h), "failed to set bitrate: UnsupportedFeature(\"FD\")");
    // Without FD, the nominal bitrate and the plain start still work.
    EXPECT_EQ(ovel_canfd_set_bitrate(h, 0, 500000), 0);
    EXPECT_EQ(ovel_canfd_start(h, 0), 0);
}

TEST_F(ChannelConfig, EachFeatureGatesOnlyItsOwnSetting) {
    ovel_canfd_driver* h = open_adapter(0x1);  // listen-only only
    EXPECT_EQ(ovel_canfd_set_monitor(h, 0, true), 0);
    EXPECT_EQ(ovel_canfd_set_hw_loopback(h, 0, true), OVEL_CANFD_ERR_UNSUPPORTED_FEATURE);
    EXPECT_EQ(ovel_canfd_set_fd(h, 0, true), OVEL_CANFD_ERR_UNSUPPORTED_FEATURE);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    EXPECT_EQ(requests().back().payload, start_payload(0x1));
}

// A C caller may hand over any byte as a bool; every nonzero byte means true.
TEST_F(ChannelConfig, AnyNonzeroBoolByteCountsAsTrue) {
    ovel_canfd_driver* h = open_adapter();
    using RawSetter = int32_t (*)(ovel_canfd_driver*, std::uint8_t, std::uint8_t);
    auto raw = [](auto setter) {
        return reinterpret_cast<RawSetter>(reinterpret_cast<void (*)()>(setter));
    };
    ASSERT_EQ(raw(&ovel_canfd_set_monitor)(h, 0, 2), 0);
    ASSERT_EQ(raw(&ovel_canfd_set_hw_loopback)(h, 0, 0x80), 0);
    ASSERT_EQ(raw(&ovel_canfd_set_fd)(h, 0, 0xFF), 0);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    EXPECT_EQ(requests().back().payload, start_payload(0x103));
    ASSERT_EQ(ovel_canfd_stop(h, 0), 0);
    ASSERT_EQ(raw(&ovel_canfd_set_fd)(h, 0, 0), 0);
    ASSERT_EQ(raw(&ovel_canfd_set_enabled)(h, 0, 0x40), 0);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    EXPECT_EQ(requests().back().payload, start_payload(0x3));
}

TEST_F(ChannelConfig, SettersWithoutADeviceAnswerNoDeviceWhateverTheArguments) {
    ovsim::add_adapter(ovsim::AdapterSpec{});
    ovel_canfd_driver* h = new_handle();
    for (int c : {0, 1, 200, 255}) {
        const auto channel = static_cast<std::uint8_t>(c);
        EXPECT_EQ(ovel_canfd_set_bitrate(h, channel, 0), -1);
        EXPECT_EQ(ovel_canfd_set_data_bitrate(h, channel, 3000000), -1);
        EXPECT_EQ(ovel_canfd_set_enabled(h, channel, false), -1);
        EXPECT_EQ(ovel_canfd_set_fd(h, channel, true), -1);
        EXPECT_EQ(ovel_canfd_set_hw_loopback(h, channel, true), -1);
        EXPECT_EQ(ovel_canfd_set_monitor(h, channel, true), -1);
    }
    EXPECT_EQ(last_error(h), "failed to set monitoring mode: no open device");
}

TEST_F(ChannelConfig, SettingsReturnToDefaultsOnANewDevice) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_set_fd(h, 0, true), 0);
    ASSERT_EQ(ovel_canfd_set_enabled(h, 1, false), 0);
    ASSERT_EQ(ovel_canfd_close(h), 0);
    ASSERT_EQ(ovel_canfd_open(h), 0);
    adapter_->clear_control_requests();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_EQ(ovel_canfd_start(h, 1), 0);
    const auto r = requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].payload, start_payload(0));
    EXPECT_EQ(r[1].payload, start_payload(0));
}

}  // namespace
}  // namespace ovel::test
