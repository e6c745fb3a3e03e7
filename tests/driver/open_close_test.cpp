// Opening, reading the configuration, and releasing everything again.
#include "platform/handle_count.h"
#include "sim_fixture.h"

namespace ovel::test {
namespace {

using OpenClose = SimTest;

constexpr std::uint8_t DEVICE_CONFIG = 5;
constexpr std::uint8_t BT_CONST = 4;

TEST_F(OpenClose, FreshHandleHasNoDevice) {
    ovel_canfd_driver* h = new_handle();
    EXPECT_EQ(ovel_canfd_get_channel_count(h), -1);
    EXPECT_EQ(ovel_canfd_start(h, 0), -1);
    EXPECT_EQ(ovel_canfd_stop(h, 255), -1);
    EXPECT_EQ(last_error(h), "failed to stop device: no open device");
    EXPECT_EQ(ovel_canfd_close(h), 0);
    EXPECT_EQ(ovel_canfd_close(h), 0);
}

TEST_F(OpenClose, NullHandleIsRefusedWithoutCrashing) {
    EXPECT_EQ(ovel_canfd_open(nullptr), -1);
    EXPECT_EQ(ovel_canfd_open_with_device_serial_number(nullptr, "x"), -1);
    EXPECT_EQ(ovel_canfd_get_channel_count(nullptr), -1);
    EXPECT_EQ(ovel_canfd_start(nullptr, 0), -1);
    EXPECT_EQ(ovel_canfd_stop(nullptr, 0), -1);
    EXPECT_EQ(ovel_canfd_set_bitrate(nullptr, 0, 500000), -1);
    EXPECT_EQ(ovel_canfd_set_data_bitrate(nullptr, 0, 500000), -1);
    EXPECT_EQ(ovel_canfd_set_enabled(nullptr, 0, true), -1);
    EXPECT_EQ(ovel_canfd_set_fd(nullptr, 0, true), -1);
    EXPECT_EQ(ovel_canfd_set_hw_loopback(nullptr, 0, true), -1);
    EXPECT_EQ(ovel_canfd_set_monitor(nullptr, 0, true), -1);
    EXPECT_EQ(ovel_canfd_close(nullptr), 0);
    EXPECT_EQ(ovel_canfd_deinit(nullptr), 0);
    EXPECT_STREQ(ovel_canfd_get_last_error(nullptr), "null handle");
}

TEST_F(OpenClose, OpenReadsDeviceConfigThenBtConstWithExactSetupPackets) {
    ovsim::Adapter& adapter = ovsim::add_adapter();
    ovel_canfd_driver* h = open_handle();
    EXPECT_EQ(last_error(h), "");
    const auto requests = adapter.control_requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(std::vector<std::uint8_t>(requests[0].setup.begin(), requests[0].setup.end()),
              bytes({0xC1, 0x05, 0, 0, 0, 0, 12, 0}));
    EXPECT_EQ(std::vector<std::uint8_t>(requests[1].setup.begin(), requests[1].setup.end()),
              bytes({0xC1, 0x04, 0, 0, 0, 0, 40, 0}));
    // The setup packet and the data stage wLength asks for, nothing more.
    EXPECT_EQ(requests[0].transfer_length, 8 + 12);
    EXPECT_EQ(requests[1].transfer_length, 8 + 40);
}

class ChannelCount : public SimTest, public ::testing::WithParamInterface<int> {};

TEST_P(ChannelCount, IsIcountPlusOne) {
    ovsim::AdapterSpec config;
    config.icount = static_cast<std::uint8_t>(GetParam());
    ovsim::add_adapter(config);
    ovel_canfd_driver* h = open_handle();
    EXPECT_EQ(ovel_canfd_get_channel_count(h), GetParam() + 1);
}

INSTANTIATE_TEST_SUITE_P(Icount, ChannelCount, ::testing::Values(0, 1, 255));

TEST_F(OpenClose, NoAdapterLeavesNothingBehind) {
    ovel_canfd_driver* h = new_handle();
    EXPECT_EQ(ovel_canfd_open(h), -1);
    EXPECT_EQ(last_error(h), "failed to open device: DeviceNotFound");
    EXPECT_EQ(ovel_canfd_open_with_device_serial_number(h, "OVSIM0001"), -1);
    EXPECT_EQ(last_error(h), "failed to open device with serial number: DeviceNotFound");
    expect_nothing_left();
}

TEST_F(OpenClose, OnlyTheGsUsbVendorAndProductAreOpened) {
    ovsim::AdapterSpec other;
    other.product_id = 0x606E;
    ovsim::add_adapter(other);
    other.product_id = 0x606F;
    other.vendor_id = 0x1D51;
    ovsim::add_adapter(other);
    ovel_canfd_driver* h = new_handle();
    EXPECT_EQ(ovel_canfd_open(h), -1);
    EXPECT_EQ(ovel_canfd_open_with_device_serial_number(h, "OVSIM0001"), -1);
}

TEST_F(OpenClose, OpenSkipsAnAdapterThatCannotBeOpened) {
    ovsim::Adapter& first = ovsim::add_adapter();
    ovsim::Adapter& second = ovsim::add_adapter();
    first.set_open_result(LIBUSB_ERROR_ACCESS);
    ovel_canfd_driver* h = new_handle();
    EXPECT_EQ(ovel_canfd_open(h), 0);
    EXPECT_TRUE(first.control_requests().empty());
    EXPECT_EQ(second.control_requests().size(), 2u);
}

TEST_F(OpenClose, InitFailureIsReported) {
    ovsim::add_adapter();
    ovsim::set_init_result(LIBUSB_ERROR_NO_MEM);
    ovel_canfd_driver* h = new_handle();
    EXPECT_EQ(ovel_canfd_open(h), -1);
    EXPECT_EQ(last_error(h), "could not initialize libusb context");
    ovsim::set_init_result(0);
    EXPECT_EQ(ovel_canfd_open(h), 0);
}

// Serial numbers: exact, case-sensitive, first match in list order, unopenable ones skipped.
TEST_F(OpenClose, SerialNumberMatchesExactly) {
    ovsim::AdapterSpec config;
    config.serial = "abc";
    ovsim::Adapter& lower = ovsim::add_adapter(config);
    config.serial = "ABCD";
    ovsim::Adapter& longer = ovsim::add_adapter(config);
    ovel_canfd_driver* h = new_handle();
    EXPECT_EQ(ovel_canfd_open_with_device_serial_number(h, "ABC"), -1);
    config.serial = "ABC";
    ovsim::Adapter& exact = ovsim::add_adapter(config);
    EXPECT_EQ(ovel_canfd_open_with_device_serial_number(h, "ABC"), 0);
    EXPECT_TRUE(lower.control_requests().empty());
    EXPECT_TRUE(longer.control_requests().empty());
    EXPECT_EQ(exact.control_requests().size(), 2u);
}

TEST_F(OpenClose, SerialSearchSkipsAdaptersThatCannotBeOpenedAndTakesTheFirstMatch) {
    ovsim::AdapterSpec config;
    config.serial = "S1";
    ovsim::Adapter& locked = ovsim::add_adapter(config);
    ovsim::Adapter& first = ovsim::add_adapter(config);
    ovsim::Adapter& twin = ovsim::add_adapter(config);
    locked.set_open_result(LIBUSB_ERROR_ACCESS);
    ovel_canfd_driver* h = new_handle();
    EXPECT_EQ(ovel_canfd_open_with_device_serial_number(h, "S1"), 0);
    EXPECT_TRUE(locked.control_requests().empty());
    EXPECT_EQ(first.control_requests().size(), 2u);
    EXPECT_TRUE(twin.control_requests().empty());
    EXPECT_EQ(ovsim::counters().handles, 1);
}

TEST_F(OpenClose, EmptySerialMatchesOnlyAnAbsentOrUnreadableSerial) {
    ovsim::AdapterSpec named;
    ovsim::Adapter& with_serial = ovsim::add_adapter(named);
    ovsim::AdapterSpec unreadable;
    unreadable.serial_unreadable = true;
    ovsim::Adapter& broken = ovsim::add_adapter(unreadable);
    ovsim::AdapterSpec none;
    none.serial.reset();
    ovsim::Adapter& absent = ovsim::add_adapter(none);

    ovel_canfd_driver* h = new_handle();
    EXPECT_EQ(ovel_canfd_open_with_device_serial_number(h, ""), 0);
    EXPECT_TRUE(with_serial.control_requests().empty());
    EXPECT_EQ(broken.control_requests().size(), 2u);
    EXPECT_TRUE(absent.control_requests().empty());
}

TEST_F(OpenClose, NullOrNonUtf8SerialIsRefused) {
    ovsim::add_adapter();
    ovel_canfd_driver* h = new_handle();
    EXPECT_EQ(ovel_canfd_open_with_device_serial_number(h, nullptr), -1);
    EXPECT_EQ(last_error(h), "failed to open device with serial number: null serial number");
    EXPECT_EQ(ovel_canfd_open_with_device_serial_number(h, "OVSIM\xff"), -1);
    EXPECT_EQ(last_error(h),
              "failed to open device with serial number: serial number is not valid UTF-8");
    EXPECT_EQ(ovsim::counters().contexts, 0);
}

TEST_F(OpenClose, DetachNotFoundOrNotSupportedIsAcceptedOtherErrorsFail) {
    ovsim::Adapter& adapter = ovsim::add_adapter();
    ovel_canfd_driver* h = new_handle();
    for (int accepted : {0, int{LIBUSB_ERROR_NOT_FOUND}, int{LIBUSB_ERROR_NOT_SUPPORTED}}) {
        adapter.set_detach_result(accepted);
        EXPECT_EQ(ovel_canfd_open(h), 0) << accepted;
        EXPECT_EQ(ovel_canfd_close(h), 0);
    }
    adapter.set_detach_result(LIBUSB_ERROR_ACCESS);
    EXPECT_EQ(ovel_canfd_open(h), -1);
    EXPECT_EQ(last_error(h),
              "failed to open device: DeviceNotFound (1 adapter found: access denied; a udev rule "
              "gives access: see README)");
    expect_nothing_left();
}

TEST_F(OpenClose, InterfaceHeldByAnotherHandleFailsAndTheFirstKeepsWorking) {
    ovsim::add_adapter();
    ovel_canfd_driver* first = open_handle();
    ovel_canfd_driver* second = new_handle();
    EXPECT_EQ(ovel_canfd_open(second), -1);
    EXPECT_EQ(last_error(second), "failed to open device: DeviceNotFound (1 adapter found: busy)");
    const ovsim::Counters c = ovsim::counters();
    EXPECT_EQ(c.contexts, 1);
    EXPECT_EQ(c.handles, 1);
    EXPECT_EQ(c.claimed_interfaces, 1);
    EXPECT_EQ(ovel_canfd_get_channel_count(first), 2);
}

TEST_F(OpenClose, TransferAllocationFailureReleasesEverything) {
    ovsim::add_adapter();
    ovsim::fail_alloc_transfer(0);
    ovel_canfd_driver* h = new_handle();
    EXPECT_EQ(ovel_canfd_open(h), -1);
    expect_nothing_left();
    EXPECT_EQ(ovel_canfd_open(h), 0);
}

// Failures of the configuration read-out: the transport is torn down before the error returns.
struct SequenceFault {
    const char* name;
    std::function<void(ovsim::Adapter&)> inject;
    std::size_t requests_sent;
    const char* text;
};

void PrintTo(const SequenceFault& fault, std::ostream* out) {
    *out << fault.name;
}

class OpenSequenceFailure : public SimTest, public ::testing::WithParamInterface<SequenceFault> {};

TEST_P(OpenSequenceFailure, FailsTheOpenAndLeavesNothingBehind) {
    ovsim::Adapter& adapter = ovsim::add_adapter();
    GetParam().inject(adapter);
    ovel_canfd_driver* h = new_handle();
    EXPECT_EQ(ovel_canfd_open(h), -1);
    EXPECT_EQ(last_error(h), GetParam().text);
    EXPECT_EQ(adapter.control_requests().size(), GetParam().requests_sent);
    expect_nothing_left();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, OpenSequenceFailure,
    ::testing::Values(
        SequenceFault{"DeviceConfigShort",
                      [](ovsim::Adapter& a) { a.set_reply_length(DEVICE_CONFIG, 11); }, 1,
                      "failed to open device: DeviceError(InvalidControlResponse)"},
        SequenceFault{"BtConstShort", [](ovsim::Adapter& a) { a.set_reply_length(BT_CONST, 39); },
                      2, "failed to open device: DeviceError(InvalidControlResponse)"},
        SequenceFault{
            "DeviceConfigStalls",
            [](ovsim::Adapter& a) { a.set_control_status(DEVICE_CONFIG, LIBUSB_TRANSFER_STALL); },
            1, "failed to open device: DeviceError(Libusb(\"control_in: transfer\", -9))"},
        SequenceFault{"DeviceConfigUnanswered",
                      [](ovsim::Adapter& a) { a.set_no_answer(DEVICE_CONFIG); }, 1,
                      "failed to open device: DeviceError(Libusb(\"control_in: transfer\", -7))"},
        SequenceFault{"SubmissionRefused",
                      [](ovsim::Adapter& a) { a.refuse_submissions(0, LIBUSB_ERROR_NO_DEVICE); }, 0,
                      "failed to open device: "
                      "DeviceError(Libusb(\"control_in: libusb_submit_transfer\", -4))"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(OpenClose, RepliesOfExactlyTheAskedLengthAreAccepted) {
    ovsim::Adapter& adapter = ovsim::add_adapter();
    adapter.set_reply_length(DEVICE_CONFIG, 12);
    adapter.set_reply_length(BT_CONST, 40);
    open_handle();
}

// The adapter a handle holds is not busy to it: an open that picks it first, by any selector,
// closes it and opens it again, with the settings back to their defaults. A different adapter
// is opened before the held one is let go, so an open that finds nothing keeps it.
TEST_F(OpenClose, SecondOpenOfTheHeldAdapterReopensItAndAFailedOneKeepsIt) {
    ovsim::AdapterSpec config;
    config.serial = "A";
    ovsim::add_adapter(config);
    ovel_canfd_driver* h = open_handle();
    ovel_canfd_adapter_details details{};
    details.size = sizeof details;
    ASSERT_EQ(ovel_canfd_get_adapter_info(h, &details), 0);
    const std::string path_a = details.adapter.path;
    auto reopened = [&](const char* how, int code) {
        ASSERT_EQ(code, 0) << how << ": " << last_error(h);
        ovel_canfd_bit_timing timing{};
        EXPECT_EQ(ovel_canfd_get_bit_timing(h, 0, false, &timing), 0);
        EXPECT_EQ(timing.bitrate, 0u) << how << ": settings kept";
        ASSERT_EQ(ovel_canfd_get_adapter_info(h, &details), 0);
        EXPECT_EQ(details.adapter.path, path_a) << how;
        const ovsim::Counters c = ovsim::counters();
        EXPECT_EQ(c.handles, 1) << how;
        EXPECT_EQ(c.claimed_interfaces, 1) << how;
        ASSERT_EQ(ovel_canfd_set_bitrate(h, 0, 500000), 0);
    };
    ASSERT_EQ(ovel_canfd_set_bitrate(h, 0, 500000), 0);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    reopened("open", ovel_canfd_open(h));
    reopened("serial", ovel_canfd_open_with_device_serial_number(h, "A"));
    reopened("path", ovel_canfd_open_with_device_path(h, path_a.c_str()));
    // Held first in the list, it is the one taken, not a free one after it.
    config.serial = "B";
    ovsim::add_adapter(config);
    reopened("open with another free adapter", ovel_canfd_open(h));

    EXPECT_EQ(ovel_canfd_open_with_device_serial_number(h, "C"), -1);
    EXPECT_EQ(ovel_canfd_get_channel_count(h), 2);
    EXPECT_EQ(ovel_canfd_set_bitrate(h, 0, 250000), 0);
    // To another handle it is busy.
    EXPECT_EQ(ovel_canfd_open_with_device_serial_number(new_handle(), "A"), -1);
}

TEST_F(OpenClose, SuccessfulSecondOpenReplacesTheDevice) {
    ovsim::AdapterSpec config;
    config.serial = "A";
    config.icount = 0;
    ovsim::Adapter& a = ovsim::add_adapter(config);
    config.serial = "B";
    config.icount = 3;
    ovsim::add_adapter(config);
    ovel_canfd_driver* h = open_handle();
    EXPECT_EQ(ovel_canfd_start(h, 0), 0);
    a.clear_control_requests();
    EXPECT_EQ(ovel_canfd_open_with_device_serial_number(h, "B"), 0);
    EXPECT_EQ(ovel_canfd_get_channel_count(h), 4);
    EXPECT_TRUE(a.control_requests().empty()) << "teardown sends nothing to the adapter";
    const ovsim::Counters c = ovsim::counters();
    EXPECT_EQ(c.contexts, 1);
    EXPECT_EQ(c.handles, 1);
    EXPECT_EQ(c.claimed_interfaces, 1);
}

TEST_F(OpenClose, CloseWhileStartedSendsNothingAndReleasesEverything) {
    ovsim::Adapter& adapter = ovsim::add_adapter();
    ovel_canfd_driver* h = open_handle();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    adapter.clear_control_requests();
    EXPECT_EQ(ovel_canfd_close(h), 0);
    EXPECT_TRUE(adapter.control_requests().empty());
    EXPECT_EQ(ovel_canfd_get_channel_count(h), -1);
    expect_nothing_left();
}

TEST_F(OpenClose, CloseAfterUnplugReleasesEverything) {
    ovsim::Adapter& adapter = ovsim::add_adapter();
    ovel_canfd_driver* h = open_handle();
    adapter.unplug();
    EXPECT_EQ(ovel_canfd_close(h), 0);
    expect_nothing_left();
}

// Also the system's handles: a lock or thread object per device that outlived its close would
// show up here (Windows handles, file descriptors elsewhere).
TEST_F(OpenClose, RepeatedOpenCloseCyclesLeaveNothingBehind) {
    ovsim::add_adapter();
    ovel_canfd_driver* h = new_handle();
    ovel_canfd_frame frame{};
    frame.id = 0x123;
    frame.dlc = 1;
    long handles_after_warm_up = -1;
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(ovel_canfd_open(h), 0) << "cycle " << i << ": " << last_error(h);
        ASSERT_EQ(ovel_canfd_get_channel_count(h), 2);
        ASSERT_EQ(ovel_canfd_start(h, 0), 0) << last_error(h);
        ASSERT_EQ(ovel_canfd_transmit(h, &frame), 0) << last_error(h);
        ASSERT_EQ(ovel_canfd_stop(h, 0), 0);
        ASSERT_EQ(ovel_canfd_close(h), 0);
        if (i == 9) {
            handles_after_warm_up = platform::open_handle_count();
        }
    }
    expect_nothing_left();
    EXPECT_EQ(platform::open_handle_count(), handles_after_warm_up);
}

TEST_F(OpenClose, ManyHandlesEachWithTheirOwnAdapter) {
    std::vector<ovel_canfd_driver*> handles;
    for (int i = 0; i < 4; ++i) {
        ovsim::AdapterSpec config;
        config.serial = "N" + std::to_string(i);
        ovsim::add_adapter(config);
    }
    for (int i = 0; i < 4; ++i) {
        ovel_canfd_driver* h = new_handle();
        ASSERT_EQ(ovel_canfd_open_with_device_serial_number(h, ("N" + std::to_string(i)).c_str()),
                  0);
        handles.push_back(h);
    }
    EXPECT_EQ(ovsim::counters().contexts, 4);
    for (ovel_canfd_driver* h : handles) {
        EXPECT_EQ(ovel_canfd_close(h), 0);
    }
}

}  // namespace
}  // namespace ovel::test
