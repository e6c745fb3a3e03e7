// Finding adapters, opening the right one, describing it, giving the interface back to the
// kernel driver, and the feature-gated switches.
#include <cstring>

#include "sim_fixture.h"

namespace ovel::test {
namespace {

using Discovery = SimTest;

ovsim::AdapterSpec adapter_at(const char* serial, std::uint8_t bus,
                              std::vector<std::uint8_t> ports) {
    ovsim::AdapterSpec config;
    config.serial = serial;
    config.bus_number = bus;
    config.port_numbers = std::move(ports);
    return config;
}

TEST_F(Discovery, SecondHandleOpensTheSecondAdapterWhenTheFirstIsBusy) {
    ovsim::Adapter& first = ovsim::add_adapter(adapter_at("A", 1, {2}));
    ovsim::Adapter& second = ovsim::add_adapter(adapter_at("B", 1, {3}));
    ovel_canfd_driver* one = open_handle();
    ovel_canfd_driver* two = open_handle();
    EXPECT_EQ(first.control_requests().size(), 2u);
    EXPECT_EQ(second.control_requests().size(), 2u);
    ovel_canfd_adapter_details details{};
    details.size = sizeof details;
    ASSERT_EQ(ovel_canfd_get_adapter_info(two, &details), 0);
    EXPECT_STREQ(details.adapter.serial_number, "B");
    EXPECT_STREQ(details.adapter.path, "1-3");

    ovel_canfd_driver* three = new_handle();
    EXPECT_EQ(ovel_canfd_open(three), -1);
    EXPECT_EQ(last_error(three), "failed to open device: DeviceNotFound (2 adapters found: busy)");
    EXPECT_EQ(ovel_canfd_get_channel_count(one), 2);
}

TEST_F(Discovery, FailureTextsTellNotFoundBusyAndNoPermissionApart) {
    ovel_canfd_driver* h = new_handle();
    EXPECT_EQ(ovel_canfd_open_with_device_path(h, "1-1"), -1);
    EXPECT_EQ(last_error(h), "failed to open device with path: DeviceNotFound");

    ovsim::Adapter& forbidden = ovsim::add_adapter(adapter_at("A", 1, {1}));
    forbidden.set_open_result(LIBUSB_ERROR_ACCESS);
    EXPECT_EQ(ovel_canfd_open(h), -1);
    EXPECT_EQ(last_error(h),
              "failed to open device: DeviceNotFound (1 adapter found: access denied; a udev rule "
              "gives access: see README)");

    ovsim::add_adapter(adapter_at("B", 1, {2}));
    ovel_canfd_driver* holder = open_handle();  // takes B: A is skipped
    EXPECT_EQ(ovel_canfd_open(h), -1);
    EXPECT_EQ(last_error(h),
              "failed to open device: DeviceNotFound (2 adapters found: 1 busy, 1 access denied; "
              "a udev rule gives access: see README)");
    // B is found and busy; A cannot be read, so it may be the one wanted.
    EXPECT_EQ(ovel_canfd_open_with_device_serial_number(h, "B"), -1);
    EXPECT_EQ(last_error(h),
              "failed to open device with serial number: DeviceNotFound (2 adapters found: 1 "
              "busy, 1 access denied; a udev rule gives access: see README)");
    EXPECT_EQ(ovel_canfd_open_with_device_path(h, "1-2"), -1);
    EXPECT_EQ(last_error(h),
              "failed to open device with path: DeviceNotFound (1 adapter found: busy)");

    forbidden.set_open_result(LIBUSB_ERROR_IO);
    EXPECT_EQ(ovel_canfd_open_with_device_path(h, "1-1"), -1);
    EXPECT_EQ(last_error(h),
              "failed to open device with path: DeviceNotFound (1 adapter found: LIBUSB_ERROR_IO)");
    EXPECT_EQ(ovel_canfd_open_with_device_path(h, nullptr), -1);
    EXPECT_EQ(last_error(h), "failed to open device with path: null path");
    EXPECT_EQ(ovel_canfd_get_channel_count(holder), 2);
}

TEST_F(Discovery, OpenByPathTakesTheAdapterAtThatPortOnly) {
    ovsim::Adapter& nearer = ovsim::add_adapter(adapter_at("S", 1, {2}));
    ovsim::Adapter& behind_hub = ovsim::add_adapter(adapter_at("S", 1, {2, 3}));
    ovsim::Adapter& other_bus = ovsim::add_adapter(adapter_at("S", 3, {2, 3}));
    ovel_canfd_driver* h = new_handle();
    EXPECT_EQ(ovel_canfd_open_with_device_path(h, "1-2.3"), 0) << last_error(h);
    EXPECT_TRUE(nearer.control_requests().empty());
    EXPECT_EQ(behind_hub.control_requests().size(), 2u);
    EXPECT_EQ(ovel_canfd_open_with_device_path(h, "3-2.3"), 0) << last_error(h);
    EXPECT_EQ(other_bus.control_requests().size(), 2u);
    EXPECT_EQ(ovel_canfd_open_with_device_path(h, "1-2.3.1"), -1);
    EXPECT_EQ(ovel_canfd_open_with_device_path(h, "1-2."), -1);
    EXPECT_EQ(ovel_canfd_get_channel_count(h), 2) << "a failed open keeps the adapter";
}

TEST_F(Discovery, ListReportsEveryAdapterAndFillsOnlyWhatFits) {
    ovsim::AdapterSpec free_spec = adapter_at("FREE1", 2, {1, 4});
    free_spec.manufacturer = "Maker";
    free_spec.product = "Two-channel FD adapter";
    ovsim::add_adapter(free_spec);
    ovsim::AdapterSpec other = free_spec;
    other.product_id = 0x606E;  // not a gs_usb adapter this library opens
    ovsim::add_adapter(other);
    ovsim::add_adapter(adapter_at("BUSY1", 1, {1}));
    ovsim::Adapter& forbidden = ovsim::add_adapter(adapter_at("SECRET", 1, {2}));
    forbidden.set_open_result(LIBUSB_ERROR_ACCESS);
    ovel_canfd_driver* holder = new_handle();
    ASSERT_EQ(ovel_canfd_open_with_device_serial_number(holder, "BUSY1"), 0);

    EXPECT_EQ(ovel_canfd_list_adapters(nullptr, 0), 3);
    std::vector<ovel_canfd_adapter_info> infos(2);
    std::memset(infos.data(), 0x55, infos.size() * sizeof infos[0]);
    infos[0].size = sizeof(ovel_canfd_adapter_info);
    ASSERT_EQ(ovel_canfd_list_adapters(infos.data(), 1), 3);
    EXPECT_STREQ(infos[0].serial_number, "FREE1");
    EXPECT_STREQ(infos[0].path, "2-1.4");
    EXPECT_STREQ(infos[0].manufacturer, "Maker");
    EXPECT_STREQ(infos[0].product, "Two-channel FD adapter");
    EXPECT_EQ(infos[0].bus, 2);
    EXPECT_EQ(infos[0].vendor_id, 0x1D50);
    EXPECT_EQ(infos[0].product_id, 0x606F);
    EXPECT_EQ(infos[0].availability, OVEL_CANFD_ADAPTER_FREE);
    EXPECT_TRUE(infos[0].kernel_driver);
    EXPECT_EQ(infos[0].size, sizeof(ovel_canfd_adapter_info));
    EXPECT_EQ(infos[1].size, 0x55555555u) << "beyond capacity: untouched";

    infos.resize(3);
    infos[0].size = sizeof(ovel_canfd_adapter_info);
    ASSERT_EQ(ovel_canfd_list_adapters(infos.data(), infos.size()), 3);
    EXPECT_EQ(infos[1].availability, OVEL_CANFD_ADAPTER_BUSY);
    EXPECT_STREQ(infos[1].serial_number, "BUSY1");
    EXPECT_EQ(infos[2].availability, OVEL_CANFD_ADAPTER_NO_PERMISSION);
    EXPECT_STREQ(infos[2].serial_number, "") << "unreadable without permission";
    EXPECT_STREQ(infos[2].path, "1-2");
    EXPECT_TRUE(forbidden.control_requests().empty());

    infos[0].size = sizeof(ovel_canfd_adapter_info) - 1;
    EXPECT_EQ(ovel_canfd_list_adapters(infos.data(), 1), OVEL_CANFD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(ovel_canfd_list_adapters(nullptr, 1), OVEL_CANFD_ERR_INVALID_ARGUMENT);
    ovsim::set_init_result(LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(ovel_canfd_list_adapters(nullptr, 0), OVEL_CANFD_ERR_DEVICE);
    ovsim::set_init_result(0);
    // Listing disturbed nothing: the holder still has its adapter, and only it holds a claim.
    EXPECT_EQ(ovel_canfd_get_channel_count(holder), 2);
    EXPECT_EQ(ovsim::counters().claimed_interfaces, 1);
}

TEST_F(Discovery, ListUsesTheCallersRecordSizeAsItsStride) {
    ovsim::add_adapter(adapter_at("A", 1, {1}));
    ovsim::add_adapter(adapter_at("B", 1, {2}));
    // A caller built against a later, larger record.
    struct Larger {
        ovel_canfd_adapter_info info;
        std::uint32_t later_field;
    };
    Larger records[2];
    std::memset(records, 0, sizeof records);
    records[0].info.size = sizeof(Larger);
    records[0].later_field = 7;
    ASSERT_EQ(ovel_canfd_list_adapters(&records[0].info, 2), 2);
    EXPECT_STREQ(records[1].info.serial_number, "B");
    EXPECT_EQ(records[0].info.size, sizeof(ovel_canfd_adapter_info));
    EXPECT_EQ(records[0].later_field, 7u) << "bytes the library does not know stay untouched";
}

TEST_F(Discovery, CloseGivesTheInterfaceBackToTheKernelDriver) {
    ovsim::Adapter& bound = ovsim::add_adapter(adapter_at("K", 1, {1}));
    ovsim::AdapterSpec unbound_spec = adapter_at("U", 1, {2});
    unbound_spec.kernel_driver_attached = false;
    ovsim::Adapter& unbound = ovsim::add_adapter(unbound_spec);
    EXPECT_TRUE(bound.kernel_driver_attached());
    ovel_canfd_driver* h = open_handle();
    EXPECT_FALSE(bound.kernel_driver_attached());
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    EXPECT_EQ(ovel_canfd_close(h), 0);
    EXPECT_TRUE(bound.kernel_driver_attached());

    // Replacing the device and freeing the handle give it back too; an adapter that had no
    // kernel driver bound gets none.
    ASSERT_EQ(ovel_canfd_open(h), 0);
    ASSERT_EQ(ovel_canfd_open_with_device_serial_number(h, "U"), 0);
    EXPECT_TRUE(bound.kernel_driver_attached());
    ASSERT_EQ(ovel_canfd_open(h), 0);
    EXPECT_FALSE(bound.kernel_driver_attached());
    EXPECT_EQ(ovel_canfd_deinit(h), 0);
    forget_handle(h);
    EXPECT_TRUE(bound.kernel_driver_attached());
    EXPECT_FALSE(unbound.kernel_driver_attached());

    // A failed read-out at opening gives it back as well.
    bound.set_reply_length(4, 0);
    ovel_canfd_driver* failing = new_handle();
    EXPECT_EQ(ovel_canfd_open_with_device_serial_number(failing, "K"), -1);
    EXPECT_TRUE(bound.kernel_driver_attached());
}

TEST_F(Discovery, AdapterInfoReportsConfigurationLimitsAndFeatureNames) {
    ovsim::AdapterSpec config = adapter_at("INFO", 1, {5});
    config.icount = 2;
    config.sw_version = 0x0201;
    config.hw_version = 3;
    config.features = 0x1D23;
    config.fclk_can = 40'000'000;
    config.bt_limits = {2, 256, 2, 128, 128, 1, 512, 2};
    config.manufacturer = "M";
    config.product = "P";
    ovsim::add_adapter(config);
    ovel_canfd_driver* h = new_handle();
    ovel_canfd_adapter_details details{};
    details.size = sizeof details;
    EXPECT_EQ(ovel_canfd_get_adapter_info(h, &details), -1);
    EXPECT_EQ(last_error(h), "failed to get adapter info: no open device");
    ASSERT_EQ(ovel_canfd_open(h), 0);
    ASSERT_EQ(ovel_canfd_get_adapter_info(h, &details), 0);
    EXPECT_EQ(details.channel_count, 3u);
    EXPECT_EQ(details.can_clock_hz, 40'000'000u);
    EXPECT_EQ(details.features, 0x1D23u);
    EXPECT_EQ(details.sw_version, 0x0201u);
    EXPECT_EQ(details.hw_version, 3u);
    EXPECT_EQ(std::vector<std::uint32_t>({details.tseg1_min, details.tseg1_max, details.tseg2_min,
                                          details.tseg2_max, details.sjw_max, details.brp_min,
                                          details.brp_max, details.brp_inc}),
              std::vector<std::uint32_t>({2, 256, 2, 128, 128, 1, 512, 2}));
    EXPECT_STREQ(details.adapter.path, "1-5");
    EXPECT_STREQ(details.adapter.manufacturer, "M");
    EXPECT_STREQ(details.adapter.product, "P");
    EXPECT_EQ(details.size, sizeof details);

    details.size = 8;
    EXPECT_EQ(ovel_canfd_get_adapter_info(h, &details), OVEL_CANFD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(last_error(h), "failed to get adapter info: record size too small");
    EXPECT_EQ(ovel_canfd_get_adapter_info(h, nullptr), OVEL_CANFD_ERR_INVALID_ARGUMENT);

    EXPECT_STREQ(ovel_canfd_feature_name(0), "LISTEN_ONLY");
    EXPECT_STREQ(ovel_canfd_feature_name(8), "FD");
    EXPECT_STREQ(ovel_canfd_feature_name(11), "TERMINATION");
    EXPECT_STREQ(ovel_canfd_feature_name(13), "GET_STATE");
    EXPECT_EQ(ovel_canfd_feature_name(14), nullptr);
    EXPECT_EQ(ovel_canfd_feature_name(UINT32_MAX), nullptr);
}

TEST_F(Discovery, TerminationAndIdentifyReachOnlyAnAdapterThatReportsThem) {
    ovsim::AdapterSpec plain = adapter_at("PLAIN", 1, {1});
    plain.features = 0x103;
    ovsim::Adapter& without = ovsim::add_adapter(plain);
    ovsim::AdapterSpec rich = adapter_at("RICH", 1, {2});
    rich.features = 0x103 | ovsim::FEATURE_TERMINATION | ovsim::FEATURE_IDENTIFY;
    ovsim::Adapter& with = ovsim::add_adapter(rich);

    ovel_canfd_driver* h = open_handle();
    without.clear_control_requests();
    bool on = true;
    EXPECT_EQ(ovel_canfd_set_termination(h, 0, true), OVEL_CANFD_ERR_UNSUPPORTED_FEATURE);
    EXPECT_EQ(last_error(h), "failed to set termination: UnsupportedFeature(\"Termination\")");
    EXPECT_EQ(ovel_canfd_get_termination(h, 0, &on), OVEL_CANFD_ERR_UNSUPPORTED_FEATURE);
    EXPECT_EQ(ovel_canfd_identify(h, 0, true), OVEL_CANFD_ERR_UNSUPPORTED_FEATURE);
    EXPECT_EQ(last_error(h), "failed to identify adapter: UnsupportedFeature(\"Identify\")");
    EXPECT_TRUE(without.control_requests().empty());

    ASSERT_EQ(ovel_canfd_open_with_device_serial_number(h, "RICH"), 0);
    with.clear_control_requests();
    EXPECT_EQ(ovel_canfd_set_termination(h, 1, true), 0) << last_error(h);
    EXPECT_TRUE(with.termination(1));
    EXPECT_FALSE(with.termination(0));
    ASSERT_EQ(ovel_canfd_get_termination(h, 1, &on), 0) << last_error(h);
    EXPECT_TRUE(on);
    ASSERT_EQ(ovel_canfd_get_termination(h, 0, &on), 0);
    EXPECT_FALSE(on);
    EXPECT_EQ(ovel_canfd_set_termination(h, 2, true), OVEL_CANFD_ERR_INVALID_CHANNEL);
    EXPECT_EQ(ovel_canfd_get_termination(h, 0, nullptr), OVEL_CANFD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(ovel_canfd_identify(h, 0, true), 0);
    EXPECT_TRUE(with.identifying());
    EXPECT_EQ(ovel_canfd_identify(h, 0, false), 0);
    EXPECT_FALSE(with.identifying());

    const auto requests = with.control_requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(std::vector<std::uint8_t>(requests[0].setup.begin(), requests[0].setup.end()),
              bytes({0x41, 12, 1, 0, 0, 0, 4, 0}));
    EXPECT_EQ(requests[0].payload, bytes({1, 0, 0, 0}));
    EXPECT_EQ(std::vector<std::uint8_t>(requests[1].setup.begin(), requests[1].setup.end()),
              bytes({0xC1, 13, 1, 0, 0, 0, 4, 0}));
    EXPECT_EQ(std::vector<std::uint8_t>(requests[3].setup.begin(), requests[3].setup.end()),
              bytes({0x41, 7, 0, 0, 0, 0, 4, 0}));

    with.set_control_status(13, LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(ovel_canfd_get_termination(h, 0, &on), OVEL_CANFD_ERR_DEVICE);
    EXPECT_EQ(last_error(h),
              "failed to get termination: DeviceError(Libusb(\"control_in: transfer\", -9))");
    EXPECT_EQ(ovel_canfd_set_termination(nullptr, 0, true), -1);
    EXPECT_EQ(ovel_canfd_identify(nullptr, 0, true), -1);
}

}  // namespace
}  // namespace ovel::test
