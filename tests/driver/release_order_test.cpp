// The order in which a failed open and a teardown give back what they acquired.
#include "sim_fixture.h"

namespace ovel::test {
namespace {

using ReleaseOrder = SimTest;

// The call log without the device-list calls that opening makes internally.
std::vector<std::string> lifecycle_calls() {
    std::vector<std::string> out;
    for (const std::string& call : ovsim::calls()) {
        if (call != "libusb_get_device_list" && call != "libusb_free_device_list" &&
            call != "libusb_open") {
            out.push_back(call);
        }
    }
    return out;
}

std::vector<std::string> without(std::vector<std::string> calls, const std::string& name) {
    std::erase(calls, name);
    return calls;
}

TEST_F(ReleaseOrder, FailedClaimGivesTheKernelDriverBackClosesTheHandleThenExitsTheContext) {
    ovsim::Adapter& adapter = ovsim::add_adapter();
    adapter.set_claim_result(LIBUSB_ERROR_BUSY);
    ovel_canfd_driver* h = new_handle();
    ASSERT_EQ(ovel_canfd_open(h), -1);
    EXPECT_EQ(lifecycle_calls(),
              (std::vector<std::string>{"libusb_init", "libusb_detach_kernel_driver",
                                        "libusb_claim_interface", "libusb_attach_kernel_driver",
                                        "libusb_close", "libusb_exit"}));
    EXPECT_TRUE(adapter.kernel_driver_attached());
}

TEST_F(ReleaseOrder, FailedAllocationReleasesTheClaimFirst) {
    ovsim::add_adapter();
    ovsim::fail_alloc_transfer(0);
    ovel_canfd_driver* h = new_handle();
    ASSERT_EQ(ovel_canfd_open(h), -1);
    EXPECT_EQ(lifecycle_calls(),
              (std::vector<std::string>{"libusb_init", "libusb_detach_kernel_driver",
                                        "libusb_claim_interface", "libusb_alloc_transfer",
                                        "libusb_release_interface", "libusb_attach_kernel_driver",
                                        "libusb_close", "libusb_exit"}));
}

TEST_F(ReleaseOrder, SerialSearchClosesEveryHandleItDoesNotKeep) {
    ovsim::AdapterSpec config;
    config.serial = "other";
    ovsim::add_adapter(config);
    ovsim::add_adapter(config);
    ovel_canfd_driver* h = new_handle();
    ASSERT_EQ(ovel_canfd_open_with_device_serial_number(h, "wanted"), -1);
    EXPECT_EQ(ovsim::calls(),
              (std::vector<std::string>{"libusb_init", "libusb_get_device_list", "libusb_open",
                                        "libusb_close", "libusb_open", "libusb_close",
                                        "libusb_free_device_list", "libusb_exit"}));
}

TEST_F(ReleaseOrder, FailedReadOutIsTornDownLikeAnOpenDevice) {
    ovsim::Adapter& adapter = ovsim::add_adapter();
    adapter.set_reply_length(4, 0);
    ovel_canfd_driver* h = new_handle();
    ASSERT_EQ(ovel_canfd_open(h), -1);
    EXPECT_EQ(lifecycle_calls(),
              (std::vector<std::string>{
                  "libusb_init", "libusb_detach_kernel_driver", "libusb_claim_interface",
                  "libusb_alloc_transfer", "libusb_alloc_transfer", "libusb_release_interface",
                  "libusb_attach_kernel_driver", "libusb_close", "libusb_interrupt_event_handler",
                  "libusb_free_transfer", "libusb_free_transfer", "libusb_exit"}));
}

// Release, give the kernel driver back, close, then wake the event thread; transfers are freed only once it has ended,
// and the context goes last.
TEST_F(ReleaseOrder, TeardownOfAStreamingDevice) {
    ovsim::add_adapter();
    ovel_canfd_driver* h = open_handle();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ovsim::clear_calls();
    ASSERT_EQ(ovel_canfd_close(h), 0);
    std::vector<std::string> expected = {"libusb_release_interface", "libusb_attach_kernel_driver",
                                         "libusb_close", "libusb_interrupt_event_handler"};
    expected.insert(expected.end(), 34, "libusb_free_transfer");
    expected.push_back("libusb_exit");
    EXPECT_EQ(ovsim::calls(), expected);
}

TEST_F(ReleaseOrder, ReplacingADeviceOpensTheNewOneBeforeTheOldOneGoes) {
    ovsim::AdapterSpec config;
    config.serial = "A";
    ovsim::add_adapter(config);
    config.serial = "B";
    ovsim::add_adapter(config);
    ovel_canfd_driver* h = open_handle();
    ovsim::clear_calls();
    ASSERT_EQ(ovel_canfd_open_with_device_serial_number(h, "B"), 0);
    const auto calls = without(without(lifecycle_calls(), "libusb_free_transfer"),
                               "libusb_interrupt_event_handler");
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "libusb_init", "libusb_detach_kernel_driver",
                         "libusb_claim_interface", "libusb_alloc_transfer", "libusb_alloc_transfer",
                         "libusb_release_interface", "libusb_attach_kernel_driver", "libusb_close",
                         "libusb_exit"}));
}

}  // namespace
}  // namespace ovel::test
