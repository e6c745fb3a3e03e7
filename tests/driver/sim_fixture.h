// Shared set-up for tests that drive the C API against the simulated adapter.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <libusb.h>
#include <ovsim/sim.h>

#include "ovelcanfd.h"
#include "platform/handle_count.h"
#include "platform/thread_census.h"

namespace ovel::test {

// File descriptors here, handles on Windows.
inline long fd_count() {
    return platform::open_handle_count();
}

// Threads of this process whose name starts with "ovel-": the library's own.
inline int library_thread_count() {
    return platform::count_threads_named("ovel-");
}

// Waits for a condition that another thread brings about, with a generous bound.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

inline std::vector<std::uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (int v : values) {
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

// Every test starts from an empty simulator with shortened time-outs, and ends by
// checking that nothing the library acquired survives.
class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ovsim::reset();
        ovsim::set_time_scale(0.02);
        fds_before_ = fd_count();
    }

    void TearDown() override {
        for (ovel_canfd_driver* handle : handles_) {
            EXPECT_EQ(ovel_canfd_deinit(handle), 0);
        }
        handles_.clear();
        expect_nothing_left();
        ovsim::reset();
        ovsim::set_time_scale(1.0);
    }

    ovel_canfd_driver* new_handle() {
        ovel_canfd_driver* handle = ovel_canfd_init();
        EXPECT_NE(handle, nullptr);
        handles_.push_back(handle);
        return handle;
    }

    // A handle with the adapter (the first one in the list) opened.
    ovel_canfd_driver* open_handle() {
        ovel_canfd_driver* handle = new_handle();
        EXPECT_EQ(ovel_canfd_open(handle), 0) << ovel_canfd_get_last_error(handle);
        return handle;
    }

    static std::string last_error(ovel_canfd_driver* handle) {
        return ovel_canfd_get_last_error(handle);
    }

    void expect_nothing_left() {
        const ovsim::Counters c = ovsim::counters();
        EXPECT_EQ(c.contexts, 0);
        EXPECT_EQ(c.handles, 0);
        EXPECT_EQ(c.claimed_interfaces, 0);
        EXPECT_EQ(c.transfers_allocated, 0);
        EXPECT_EQ(c.transfers_in_flight, 0);
        EXPECT_EQ(c.threads_in_handle_events, 0);
        EXPECT_EQ(c.device_refs, 0);
        EXPECT_EQ(c.closed_with_transfers_in_flight, 0);
        EXPECT_EQ(c.closed_with_cancellations_pending, 0);
        // The library ends its threads before close and deinit return; a joined thread may
        // still be listed for a moment while the kernel finishes its exit.
        EXPECT_TRUE(eventually([] { return library_thread_count() == 0; }, std::chrono::seconds(2)))
            << library_thread_count() << " library threads still running";
        EXPECT_EQ(fd_count(), fds_before_);
    }

    // Forgets a handle the test has freed itself.
    void forget_handle(ovel_canfd_driver* handle) { std::erase(handles_, handle); }

    std::vector<ovel_canfd_driver*> handles_;
    long fds_before_ = 0;
};

}  // namespace ovel::test
