// The shipped library on the real libusb, on a machine with no adapter attached.
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ovelcanfd.h"
#include "platform/handle_count.h"
#include "platform/thread_census.h"

namespace {

using ovel::platform::count_threads;
using ovel::platform::open_handle_count;

TEST(RealLibusb, OpenWithoutAdapterFailsCleanly) {
    // Sanitizer runtimes start a thread of their own at the first thread creation.
    std::thread([] {}).join();
    const int threads = count_threads();
    const long fds = open_handle_count();
    ovel_canfd_driver* h = ovel_canfd_init();
    ASSERT_NE(h, nullptr);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ovel_canfd_open(h), -1);
        const std::string text = ovel_canfd_get_last_error(h);
        // Containers without a USB subsystem cannot even create a context.
        EXPECT_TRUE(text == "failed to open device: DeviceNotFound" ||
                    text == "could not initialize libusb context")
            << text;
        EXPECT_EQ(ovel_canfd_open_with_device_serial_number(h, "no-such-serial"), -1);
        EXPECT_EQ(ovel_canfd_get_channel_count(h), -1);
    }
    EXPECT_EQ(ovel_canfd_close(h), 0);
    EXPECT_EQ(ovel_canfd_deinit(h), 0);
    // A joined thread may stay listed for a moment while the kernel finishes its exit.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (count_threads() > threads &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_EQ(count_threads(), threads);
    EXPECT_EQ(open_handle_count(), fds);
}

}  // namespace
