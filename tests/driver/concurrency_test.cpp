// Calls on one handle from several threads at once and from inside the receive callback.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "sim_fixture.h"

namespace ovel::test {
namespace {

ovsim::FrameSpec numbered(std::uint8_t channel, std::uint32_t sequence) {
    ovsim::FrameSpec f;
    f.channel = channel;
    f.can_id = 0x100;
    f.dlc = 4;
    f.data = {static_cast<std::uint8_t>(sequence), static_cast<std::uint8_t>(sequence >> 8),
              static_cast<std::uint8_t>(sequence >> 16), static_cast<std::uint8_t>(sequence >> 24)};
    return f;
}

std::uint32_t sequence_of(const ovel_canfd_frame* f) {
    return static_cast<std::uint32_t>(f->data[0]) | static_cast<std::uint32_t>(f->data[1]) << 8 |
           static_cast<std::uint32_t>(f->data[2]) << 16 |
           static_cast<std::uint32_t>(f->data[3]) << 24;
}

// Joins the threads of a test within a bound; a deadlock fails the run instead of hanging it.
void join_or_abort(std::vector<std::future<void>>& workers, const char* what) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (auto& worker : workers) {
        if (worker.wait_until(deadline) != std::future_status::ready) {
            std::fprintf(stderr, "deadlock: %s did not finish within 60 s\n", what);
            std::abort();
        }
        worker.get();
    }
}

// What a test's callbacks saw, handed to them through the user pointer.
struct Deliveries {
    ovel_canfd_driver* handle = nullptr;
    std::mutex mutex;
    std::vector<std::uint32_t> received;  // sequence numbers of received (non-echo) frames
    std::atomic<int> calls{0};
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> closed{false};
    std::atomic<bool> called_after_close{false};
    std::function<void(const ovel_canfd_frame*)> action;  // runs inside the first callback

    static void on_frame(const ovel_canfd_frame* frame, void* user) {
        auto& self = *static_cast<Deliveries*>(user);
        if (self.inside.fetch_add(1) != 0) {
            self.overlapped = true;
        }
        if (self.closed.load()) {
            self.called_after_close = true;
        }
        if (self.calls.fetch_add(1) == 0 && self.action) {
            self.action(frame);
        }
        if (!frame->echo) {
            std::lock_guard lock(self.mutex);
            self.received.push_back(sequence_of(frame));
        }
        self.inside.fetch_sub(1);
    }
};

class Concurrency : public SimTest {};

// Threads hammer configuration and transmits on one handle while the callback answers every
// frame with a transmit; then one thread closes. Run under ThreadSanitizer as well.
TEST_F(Concurrency, HammeringOneHandleFromManyThreadsLosesNothingAndNeverDeadlocks) {
    constexpr std::uint32_t FRAMES = 2'000;
    ovsim::Adapter& adapter = ovsim::add_adapter();
    ovel_canfd_driver* h = open_handle();
    Deliveries deliveries;
    deliveries.handle = h;
    static Deliveries* answering = nullptr;
    answering = &deliveries;
    ASSERT_EQ(ovel_canfd_set_rx_callback_ex(
                  h,
                  [](const ovel_canfd_frame* frame, void* user) {
                      Deliveries::on_frame(frame, user);
                      if (!frame->echo) {
                          ovel_canfd_frame answer = *frame;
                          answer.id = 0x7E8;
                          // NOT_RUNNING when a hammering thread stopped every channel meanwhile,
                          // NO_DEVICE once the final close has begun.
                          const int code = ovel_canfd_transmit(answering->handle, &answer);
                          EXPECT_TRUE(code == 0 || code == OVEL_CANFD_ERR_NOT_RUNNING ||
                                      code == OVEL_CANFD_NO_DEVICE)
                              << code;
                      }
                  },
                  &deliveries),
              0);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);

    std::atomic<bool> hammering{true};
    std::vector<std::future<void>> workers;
    for (unsigned seed = 1; seed <= 3; ++seed) {
        workers.push_back(std::async(std::launch::async, [&, seed] {
            std::mt19937 random(seed);
            for (int op = 0; op < 300 || hammering.load(); ++op) {
                const auto channel = static_cast<std::uint8_t>(random() % 2);
                switch (random() % 5) {
                    case 0:
                        (void)ovel_canfd_stop(h, channel);
                        break;
                    case 1:
                    case 2:
                        (void)ovel_canfd_start(h, channel);
                        break;
                    case 3:
                        (void)ovel_canfd_set_bitrate(h, channel, 500'000);
                        (void)ovel_canfd_set_fd(h, channel, true);
                        break;
                    default: {
                        ovel_canfd_frame frame{};
                        frame.channel = channel;
                        frame.id = 0x321;
                        (void)ovel_canfd_transmit(h, &frame);
                        (void)ovel_canfd_get_last_error(h);
                    }
                }
            }
        }));
    }
    for (std::uint32_t i = 0; i < FRAMES; ++i) {
        adapter.feed_frame(numbered(0, i));
        if (i % 100 == 0) {
            std::this_thread::yield();  // lets the hammering threads interleave with the feed
        }
    }
    hammering = false;
    join_or_abort(workers, "a hammering thread");

    // Every frame fed arrives once, in order, once reception runs again.
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(deliveries.mutex);
        return deliveries.received.size() >= FRAMES;
    }));
    {
        std::lock_guard lock(deliveries.mutex);
        ASSERT_EQ(deliveries.received.size(), FRAMES);
        for (std::uint32_t i = 0; i < FRAMES; ++i) {
            ASSERT_EQ(deliveries.received[i], i) << "lost, duplicated or reordered";
        }
    }
    EXPECT_FALSE(deliveries.overlapped.load()) << "two callbacks ran at once";

    // A close from another thread while answers are in flight; nothing is called after it.
    for (std::uint32_t i = 0; i < 50; ++i) {
        adapter.feed_frame(numbered(0, FRAMES + i));
    }
    std::vector<std::future<void>> closer;
    closer.push_back(std::async(std::launch::async, [&] {
        EXPECT_EQ(ovel_canfd_close(h), 0);
        deliveries.closed = true;
    }));
    join_or_abort(closer, "close");
    EXPECT_FALSE(deliveries.called_after_close.load());
}

// 50 frames are queued; the first callback stops and restarts reception, then lingers: the new
// dispatch thread must not deliver until it has returned.
TEST_F(Concurrency, CallbacksRunOneAtATimeAcrossARestartFromInside) {
    ovsim::Adapter& adapter = ovsim::add_adapter();
    ovel_canfd_driver* h = open_handle();
    Deliveries deliveries;
    deliveries.action = [&](const ovel_canfd_frame*) {
        EXPECT_EQ(ovel_canfd_stop(h, 0), 0);
        EXPECT_EQ(ovel_canfd_start(h, 0), 0);
        // Leaves the new dispatch thread time to misbehave; nothing waits on this.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    ASSERT_EQ(ovel_canfd_set_rx_callback_ex(h, &Deliveries::on_frame, &deliveries), 0);
    for (std::uint32_t i = 0; i < 50; ++i) {
        adapter.feed_frame(numbered(0, i));
    }
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    // The last callback still touches `deliveries` after counting itself.
    ASSERT_TRUE(eventually(
        [&] { return deliveries.calls.load() == 50 && deliveries.inside.load() == 0; }));
    EXPECT_FALSE(deliveries.overlapped.load());
    std::lock_guard lock(deliveries.mutex);
    for (std::uint32_t i = 0; i < 50; ++i) {
        EXPECT_EQ(deliveries.received[i], i);
    }
}

// Close or deinit from inside the first of 50 queued callbacks: once it has returned, nothing
// more is called, and deinit frees the handle only then (AddressSanitizer watches).
TEST_F(Concurrency, CloseOrDeinitFromInsideTheCallbackEndsDelivery) {
    for (const bool deinit : {false, true}) {
        ovsim::Adapter& adapter = ovsim::add_adapter();
        ovel_canfd_driver* h = open_handle();
        Deliveries deliveries;
        deliveries.action = [&](const ovel_canfd_frame*) {
            if (deinit) {
                forget_handle(h);
                EXPECT_EQ(ovel_canfd_deinit(h), 0);
            } else {
                EXPECT_EQ(ovel_canfd_close(h), 0);
            }
            deliveries.closed = true;
        };
        ASSERT_EQ(ovel_canfd_set_rx_callback_ex(h, &Deliveries::on_frame, &deliveries), 0);
        for (std::uint32_t i = 0; i < 50; ++i) {
            adapter.feed_frame(numbered(0, i));
        }
        ASSERT_EQ(ovel_canfd_start(h, 0), 0);
        // The callback that closed has returned once `inside` is back to 0.
        ASSERT_TRUE(
            eventually([&] { return deliveries.closed.load() && deliveries.inside.load() == 0; }));
        EXPECT_TRUE(eventually([] { return library_thread_count() == 0; })) << deinit;
        EXPECT_EQ(deliveries.calls.load(), 1)
            << "callbacks after " << (deinit ? "deinit" : "close");
        if (!deinit) {
            EXPECT_EQ(ovel_canfd_get_channel_count(h), -1);
        }
        expect_nothing_left();
        ovsim::reset();
    }
}

// A callback with context replaces the running one for the next frame: the old one is not
// called once the swap has returned, also when the swap is made from inside a callback.
TEST_F(Concurrency, CallbackWithContextIsSwappedWhileRunning) {
    ovsim::Adapter& adapter = ovsim::add_adapter();
    ovel_canfd_driver* h = open_handle();
    Deliveries first, second, third;
    ASSERT_EQ(ovel_canfd_set_rx_callback_ex(h, &Deliveries::on_frame, &first), 0);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    adapter.start_stream(ovsim::StreamSpec{});
    ASSERT_TRUE(eventually([&] { return first.calls.load() > 100; }));
    second.action = [&](const ovel_canfd_frame*) {
        EXPECT_EQ(ovel_canfd_set_rx_callback_ex(h, &Deliveries::on_frame, &third), 0);
    };
    ASSERT_EQ(ovel_canfd_set_rx_callback_ex(h, &Deliveries::on_frame, &second), 0);
    const int first_calls = first.calls.load();
    ASSERT_TRUE(eventually([&] { return third.calls.load() > 100; }));
    adapter.stop_stream();
    EXPECT_EQ(first.calls.load(), first_calls) << "the old callback ran after the swap returned";
    EXPECT_EQ(second.calls.load(), 1);
    ASSERT_EQ(ovel_canfd_stop(h, 0), 0);
}

// The receive transfers cannot be cancelled: stop reports it, yet reception has ended (the
// library keeps cancelling them, as they have no time-out, until they come back) and the next
// start brings it back up.
TEST_F(Concurrency, StopWhoseCancellationFailsLeavesAConsistentState) {
    ovsim::Adapter& adapter = ovsim::add_adapter();
    ovel_canfd_driver* h = open_handle();
    Deliveries deliveries;
    ASSERT_EQ(ovel_canfd_set_rx_callback_ex(h, &Deliveries::on_frame, &deliveries), 0);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_TRUE(eventually([&] { return adapter.in_transfers_pending() == 32; }));
    adapter.refuse_cancellations(LIBUSB_ERROR_OTHER);
    EXPECT_EQ(ovel_canfd_stop(h, 0), OVEL_CANFD_ERR_DEVICE);
    EXPECT_EQ(last_error(h),
              "failed to stop device: DeviceError(Libusb(\"libusb_cancel_transfer\", -99))");
    EXPECT_FALSE(adapter.channel_started(0));
    ovel_canfd_frame frame{};
    EXPECT_EQ(ovel_canfd_transmit(h, &frame), OVEL_CANFD_ERR_NOT_RUNNING);
    EXPECT_EQ(adapter.in_transfers_pending(), 32);

    adapter.clear_faults();
    EXPECT_TRUE(eventually([&] { return adapter.in_transfers_pending() == 0; }));
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    EXPECT_TRUE(eventually([&] { return adapter.in_transfers_pending() == 32; }));
    adapter.feed_frame(numbered(0, 7));
    ASSERT_TRUE(eventually([&] { return deliveries.calls.load() == 1; }));
    ASSERT_EQ(ovel_canfd_stop(h, 0), 0);
}

}  // namespace
}  // namespace ovel::test
