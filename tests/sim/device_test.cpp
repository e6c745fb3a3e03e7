// Enumeration, descriptors, opening, kernel driver, interface claims and configured failures.
#include "sim_test_support.h"

#include <gmock/gmock.h>

#include <string>

namespace ovsim::test {
namespace {

using SimDeviceTest = SimTest;

std::vector<libusb_device_descriptor> descriptors(libusb_context* context) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    std::vector<libusb_device_descriptor> result;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor;
        EXPECT_EQ(libusb_get_device_descriptor(list[i], &descriptor), 0);
        result.push_back(descriptor);
    }
    EXPECT_EQ(list[count], nullptr);
    libusb_free_device_list(list, 1);
    return result;
}

TEST_F(SimDeviceTest, ListShowsPluggedAdaptersInOrderWithTheirDescriptors) {
    Adapter& first = add_adapter({.product_id = 0x0001});
    add_adapter({.serial = std::nullopt});
    Context context;

    auto listed = descriptors(context.get());
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].idVendor, 0x1D50);
    EXPECT_EQ(listed[0].idProduct, 0x0001);
    EXPECT_EQ(listed[0].iSerialNumber, 3);
    EXPECT_EQ(listed[0].bDeviceClass, 0);
    EXPECT_EQ(listed[0].bNumConfigurations, 1);
    EXPECT_EQ(listed[1].idProduct, 0x606F);
    EXPECT_EQ(listed[1].iSerialNumber, 0);
    EXPECT_EQ(counters().device_refs, 0) << "the list was freed with unref";

    first.unplug();
    listed = descriptors(context.get());
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].idProduct, 0x606F);
}

TEST_F(SimDeviceTest, DevicesAreReferenceCountedAndHandlesHoldAReference) {
    add_adapter();
    Context context;
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(context.get(), &list), 1);
    libusb_device* device = list[0];
    EXPECT_EQ(counters().device_refs, 1);
    libusb_ref_device(device);
    libusb_free_device_list(list, 1);
    EXPECT_EQ(counters().device_refs, 1);

    libusb_device_handle* handle = nullptr;
    ASSERT_EQ(libusb_open(device, &handle), 0);
    libusb_unref_device(device);
    EXPECT_EQ(counters().device_refs, 0);
    EXPECT_EQ(libusb_get_device(handle), device) << "the handle keeps the device alive";
    libusb_close(handle);
    EXPECT_EQ(counters().handles, 0);
}

TEST_F(SimDeviceTest, OpenByVidPidTakesTheFirstMatchEvenWhenItFails) {
    add_adapter({.product_id = 0x1234});
    Adapter& broken = add_adapter({.serial = "BROKEN"});
    add_adapter({.serial = "GOOD"});
    Context context;

    libusb_device_handle* handle = libusb_open_device_with_vid_pid(context.get(), 0x1D50, 0x606F);
    ASSERT_NE(handle, nullptr);
    unsigned char serial[32];
    EXPECT_EQ(libusb_get_string_descriptor_ascii(handle, 3, serial, sizeof serial), 6);
    EXPECT_STREQ(reinterpret_cast<char*>(serial), "BROKEN");
    libusb_close(handle);

    broken.set_open_result(LIBUSB_ERROR_ACCESS);
    EXPECT_EQ(libusb_open_device_with_vid_pid(context.get(), 0x1D50, 0x606F), nullptr);
    EXPECT_EQ(counters().handles, 0);
    EXPECT_EQ(counters().device_refs, 0);
}

TEST_F(SimDeviceTest, SerialStringFollowsLibusbAsciiConversion) {
    add_adapter({.serial = "ABCDEFGH"});
    add_adapter({.serial = "caf\xC3\xA9"});
    add_adapter({.serial = "HIDDEN", .serial_unreadable = true});
    add_adapter({.serial = std::nullopt});
    Context context;
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(context.get(), &list), 4);
    std::vector<libusb_device_handle*> handles(4);
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(libusb_open(list[i], &handles[i]), 0);
    }
    libusb_free_device_list(list, 1);

    unsigned char text[8];
    std::fill(std::begin(text), std::end(text), 0xEE);
    EXPECT_EQ(libusb_get_string_descriptor_ascii(handles[0], 3, text, 5), 4);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "ABCD");
    EXPECT_EQ(text[5], 0xEE) << "nothing written past the length";
    EXPECT_EQ(libusb_get_string_descriptor_ascii(handles[0], 0, text, 8),
              LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_get_string_descriptor_ascii(handles[1], 3, text, 8), 4);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "caf?");
    EXPECT_EQ(libusb_get_string_descriptor_ascii(handles[2], 3, text, 8), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_get_string_descriptor_ascii(handles[3], 3, text, 8), LIBUSB_ERROR_PIPE);
    for (libusb_device_handle* handle : handles) {
        libusb_close(handle);
    }
}

TEST_F(SimDeviceTest, KernelDriverDetachesOnceAndClaimsExcludeOtherHandles) {
    Adapter& adapter = add_adapter();
    Context context;
    libusb_device_handle* first = libusb_open_device_with_vid_pid(context.get(), 0x1D50, 0x606F);
    libusb_device_handle* second = libusb_open_device_with_vid_pid(context.get(), 0x1D50, 0x606F);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);

    EXPECT_EQ(libusb_detach_kernel_driver(first, 0), 0);
    EXPECT_EQ(libusb_detach_kernel_driver(first, 0), LIBUSB_ERROR_NOT_FOUND);
    adapter.set_detach_result(LIBUSB_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(libusb_detach_kernel_driver(first, 0), LIBUSB_ERROR_NOT_SUPPORTED);

    EXPECT_EQ(libusb_release_interface(first, 0), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_claim_interface(first, 0), 0);
    EXPECT_EQ(libusb_claim_interface(second, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(counters().claimed_interfaces, 1);
    EXPECT_EQ(libusb_release_interface(first, 0), 0);
    EXPECT_EQ(libusb_claim_interface(second, 0), 0);
    adapter.set_claim_result(LIBUSB_ERROR_ACCESS);
    EXPECT_EQ(libusb_claim_interface(first, 0), LIBUSB_ERROR_ACCESS);

    adapter.unplug();
    EXPECT_EQ(libusb_release_interface(second, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(counters().claimed_interfaces, 0) << "the claim is dropped all the same";
    EXPECT_EQ(libusb_release_interface(second, 0), LIBUSB_ERROR_NOT_FOUND);
    libusb_close(first);
    libusb_close(second);
}

TEST_F(SimDeviceTest, ClosingAHandleDropsItsClaim) {
    add_adapter();
    Context context;
    libusb_device_handle* first = libusb_open_device_with_vid_pid(context.get(), 0x1D50, 0x606F);
    ASSERT_EQ(libusb_claim_interface(first, 0), 0);
    libusb_close(first);
    EXPECT_EQ(counters().claimed_interfaces, 0);

    libusb_device_handle* again = libusb_open_device_with_vid_pid(context.get(), 0x1D50, 0x606F);
    EXPECT_EQ(libusb_claim_interface(again, 0), 0);
    libusb_close(again);
}

TEST_F(SimDeviceTest, InitAndTransferAllocationFailWhenConfigured) {
    set_init_result(LIBUSB_ERROR_NO_MEM);
    libusb_context* context = nullptr;
    EXPECT_EQ(libusb_init(&context), LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(counters().contexts, 0);
    set_init_result(0);

    fail_alloc_transfer(1, 2);
    libusb_transfer* first = libusb_alloc_transfer(0);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(libusb_alloc_transfer(0), nullptr);
    EXPECT_EQ(libusb_alloc_transfer(0), nullptr);
    libusb_transfer* fourth = libusb_alloc_transfer(0);
    ASSERT_NE(fourth, nullptr);
    EXPECT_EQ(counters().transfers_allocated, 2);
    EXPECT_EQ(fourth->dev_handle, nullptr);
    EXPECT_EQ(fourth->buffer, nullptr);
    EXPECT_EQ(fourth->length, 0);
    libusb_free_transfer(first);
    libusb_free_transfer(fourth);
    EXPECT_EQ(counters().transfers_allocated, 0);
}

TEST_F(SimDeviceTest, ResetForgetsAdaptersFaultsAndErrors) {
    Adapter& adapter = add_adapter();
    adapter.set_open_result(LIBUSB_ERROR_ACCESS);
    {
        Context context;
        EXPECT_EQ(libusb_open_device_with_vid_pid(context.get(), 0x1D50, 0x606F), nullptr);
    }
    reset();
    add_adapter();
    Context context;
    libusb_device_handle* handle = libusb_open_device_with_vid_pid(context.get(), 0x1D50, 0x606F);
    EXPECT_NE(handle, nullptr);
    libusb_close(handle);
}

}  // namespace
}  // namespace ovsim::test
