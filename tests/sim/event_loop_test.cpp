// Event handling, time-outs, cancellation and close: the libusb semantics the driver relies on.
#include "sim_test_support.h"

#include <gmock/gmock.h>

namespace ovsim::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using SimEventLoopTest = SimTest;

TEST_F(SimEventLoopTest, CompletionRunsOnlyOnTheThreadInsideHandleEvents) {
    add_adapter();
    CompletionLog log;
    Session session;
    libusb_transfer* config = session.control(log, 0xC1, REQUEST_DEVICE_CONFIG, 0, {}, 12);

    ASSERT_EQ(libusb_submit_transfer(config), 0);
    EXPECT_EQ(libusb_submit_transfer(config), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(log.size(), 0u) << "the answer is decided, but nobody handles events yet";
    EXPECT_EQ(counters().transfers_in_flight, 1);

    std::thread::id handler;
    std::thread events([&] {
        handler = std::this_thread::get_id();
        libusb_handle_events(session.context);
    });
    events.join();

    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log.entries()[0].thread, handler);
    EXPECT_EQ(log.entries()[0].status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(counters().transfers_in_flight, 0);
}

TEST_F(SimEventLoopTest, CallbackMayResubmitItsOwnTransfer) {
    Adapter& adapter = add_adapter();
    CompletionLog log;
    Session session;
    libusb_transfer* in = session.bulk_in(log);
    std::atomic<int> resubmitted{1};
    log.on_complete = [&](libusb_transfer* transfer) {
        if (resubmitted == 1) {
            resubmitted = libusb_submit_transfer(transfer);
        }
    };
    session.start_events();
    ASSERT_EQ(libusb_submit_transfer(in), 0);

    adapter.feed({1});
    ASSERT_TRUE(eventually([&] { return resubmitted != 1; }));
    EXPECT_EQ(resubmitted, 0) << "not in flight any more once its callback runs";
    EXPECT_EQ(adapter.in_transfers_pending(), 1);
    adapter.feed({2});
    ASSERT_TRUE(log.wait_for(2));
    EXPECT_THAT(log.entries()[1].data, ::testing::ElementsAre(2));
}

TEST_F(SimEventLoopTest, TimeOutIsScaledAndReportsNoData) {
    add_adapter();
    set_time_scale(0.01);
    CompletionLog log;
    Session session;
    libusb_transfer* forever = session.bulk_in(log, 0);
    libusb_transfer* timed = session.bulk_in(log, 1000);
    session.start_events();

    const auto submitted = Clock::now();
    ASSERT_EQ(libusb_submit_transfer(forever), 0);
    ASSERT_EQ(libusb_submit_transfer(timed), 0);
    ASSERT_TRUE(log.wait_for(1));
    const auto elapsed = Clock::now() - submitted;

    const auto entries = log.entries();
    EXPECT_EQ(entries[0].transfer, timed);
    EXPECT_EQ(entries[0].status, LIBUSB_TRANSFER_TIMED_OUT);
    EXPECT_EQ(entries[0].actual_length, 0);
    EXPECT_GE(elapsed, 10ms);
    EXPECT_LT(elapsed, 900ms);
    EXPECT_EQ(counters().transfers_in_flight, 1) << "a time-out of 0 never expires";
    EXPECT_EQ(libusb_cancel_transfer(forever), 0);
    EXPECT_TRUE(log.wait_for(2));
}

TEST_F(SimEventLoopTest, CancelSucceedsOnceAndCompletesAsCancelled) {
    add_adapter();
    CompletionLog log;
    Session session;
    libusb_transfer* in = session.bulk_in(log);
    EXPECT_EQ(libusb_cancel_transfer(in), LIBUSB_ERROR_NOT_FOUND) << "never submitted";
    ASSERT_EQ(libusb_submit_transfer(in), 0);

    EXPECT_EQ(libusb_cancel_transfer(in), 0);
    EXPECT_EQ(libusb_cancel_transfer(in), LIBUSB_ERROR_NOT_FOUND) << "already being cancelled";
    libusb_handle_events(session.context);

    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log.entries()[0].status, LIBUSB_TRANSFER_CANCELLED);
    EXPECT_EQ(log.entries()[0].actual_length, 0);
    EXPECT_EQ(libusb_cancel_transfer(in), LIBUSB_ERROR_NOT_FOUND) << "completed";
    EXPECT_EQ(counters().transfers_in_flight, 0);
}

TEST_F(SimEventLoopTest, CancelThatComesTooLateKeepsTheDecidedOutcome) {
    Adapter& adapter = add_adapter();
    CompletionLog log;
    Session session;
    libusb_transfer* in = session.bulk_in(log);
    ASSERT_EQ(libusb_submit_transfer(in), 0);
    adapter.feed({1, 2, 3});

    EXPECT_EQ(libusb_cancel_transfer(in), 0);
    EXPECT_EQ(libusb_cancel_transfer(in), LIBUSB_ERROR_NOT_FOUND);
    libusb_handle_events(session.context);

    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log.entries()[0].status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_THAT(log.entries()[0].data, ::testing::ElementsAre(1, 2, 3));
}

TEST_F(SimEventLoopTest, CloseDropsCallbacksOfItsHandleAndCountsUncancelledTransfers) {
    Adapter& adapter = add_adapter();
    CompletionLog log;
    Session session;
    libusb_transfer* decided = session.bulk_in(log);
    libusb_transfer* waiting = session.bulk_in(log);
    ASSERT_EQ(libusb_submit_transfer(decided), 0);
    ASSERT_EQ(libusb_submit_transfer(waiting), 0);
    adapter.feed({0xAA});

    session.close();
    libusb_interrupt_event_handler(session.context);
    libusb_handle_events(session.context);

    EXPECT_EQ(log.size(), 0u);
    const Counters after = counters();
    EXPECT_EQ(after.transfers_in_flight, 0);
    EXPECT_EQ(after.closed_with_transfers_in_flight, 1);
    EXPECT_EQ(after.closed_with_cancellations_pending, 0);
    EXPECT_EQ(after.handles, 0);
    EXPECT_EQ(after.claimed_interfaces, 0);
    EXPECT_EQ(adapter.in_transfers_pending(), 0);
}

TEST_F(SimEventLoopTest, CloseAfterCancellingIsOnlyAWarning) {
    add_adapter();
    CompletionLog log;
    Session session;
    libusb_transfer* in = session.bulk_in(log);
    ASSERT_EQ(libusb_submit_transfer(in), 0);
    ASSERT_EQ(libusb_cancel_transfer(in), 0);

    session.close();

    EXPECT_EQ(counters().closed_with_transfers_in_flight, 0);
    EXPECT_EQ(counters().closed_with_cancellations_pending, 1);
    EXPECT_EQ(counters().transfers_in_flight, 0);
}

TEST_F(SimEventLoopTest, CloseWaitsForARunningCallbackOfItsHandle) {
    add_adapter();
    CompletionLog log;
    Session session;
    std::mutex gate;
    std::unique_lock held(gate);
    std::atomic<bool> in_callback{false};
    log.on_complete = [&](libusb_transfer*) {
        in_callback = true;
        std::lock_guard wait_for_test(gate);
    };
    libusb_transfer* in = session.bulk_in(log);
    ASSERT_EQ(libusb_submit_transfer(in), 0);
    ASSERT_EQ(libusb_cancel_transfer(in), 0);
    session.start_events();
    ASSERT_TRUE(eventually([&] { return in_callback.load(); }));

    std::atomic<bool> closed{false};
    std::thread closer([&] {
        session.close();
        closed = true;
    });
    std::this_thread::sleep_for(50ms);  // long enough for a wrong close to return
    EXPECT_FALSE(closed.load());
    held.unlock();
    closer.join();
    EXPECT_TRUE(closed.load());
    EXPECT_EQ(counters().closed_with_transfers_in_flight, 0);
}

TEST_F(SimEventLoopTest, InterruptIsRememberedUntilAThreadConsumesIt) {
    set_time_scale(0.5);  // a missed interrupt would block for 30 s
    Context context;
    libusb_interrupt_event_handler(context.get());

    const auto entered = Clock::now();
    libusb_handle_events(context.get());
    EXPECT_LT(Clock::now() - entered, 5s);
    EXPECT_EQ(counters().threads_in_handle_events, 0);
}

TEST_F(SimEventLoopTest, CloseWakesOnlyTheThreadsAlreadyInsideHandleEvents) {
    add_adapter();
    set_time_scale(0.05);  // the 60 s limit becomes 3 s
    Session session;
    std::atomic<bool> returned{false};
    std::thread inside([&] {
        libusb_handle_events(session.context);
        returned = true;
    });
    ASSERT_TRUE(eventually([] { return counters().threads_in_handle_events == 1; }));

    const auto closed_at = Clock::now();
    session.close();
    inside.join();
    EXPECT_LT(Clock::now() - closed_at, 2s) << "close woke the thread inside";
    EXPECT_TRUE(returned.load());

    set_time_scale(0.005);  // the 60 s limit becomes 300 ms
    const auto entered = Clock::now();
    libusb_handle_events(session.context);
    EXPECT_GE(Clock::now() - entered, 290ms) << "a later thread sleeps until the limit";
}

TEST_F(SimEventLoopTest, HandleEventsReturnsAtTheScaledLimitWithoutEvents) {
    set_time_scale(0.001);
    Context context;
    const auto entered = Clock::now();
    EXPECT_EQ(libusb_handle_events(context.get()), 0);
    const auto elapsed = Clock::now() - entered;
    EXPECT_GE(elapsed, 59ms);
    EXPECT_LT(elapsed, 5s);
}

using SimEventLoopDeathTest = SimTest;

TEST_F(SimEventLoopDeathTest, MisuseAbortsWithAClearMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            libusb_context* context = nullptr;
            libusb_init(&context);
            std::thread inside([&] { libusb_handle_events(context); });
            while (counters().threads_in_handle_events == 0) {
                std::this_thread::yield();
            }
            libusb_exit(context);
        },
        "ovsim: misuse: libusb_exit: a thread is inside libusb_handle_events");
    EXPECT_DEATH(
        {
            add_adapter();
            Session session;
            libusb_exit(session.context);
        },
        "ovsim: misuse: libusb_exit: a device handle of this context is still open");
    EXPECT_DEATH(
        {
            add_adapter();
            Session session;
            CompletionLog log;
            libusb_transfer* in = session.bulk_in(log);
            libusb_submit_transfer(in);
            libusb_free_transfer(in);
        },
        "ovsim: misuse: libusb_free_transfer: the transfer is still in flight");
    EXPECT_DEATH(
        {
            add_adapter();
            Session session;
            CompletionLog log;
            libusb_transfer* in = session.bulk_in(log);
            session.close();
            libusb_submit_transfer(in);
        },
        "ovsim: misuse: libusb_submit_transfer: device handle used after libusb_close");
    EXPECT_DEATH(
        {
            add_adapter();
            Session session;
            CompletionLog log;
            libusb_transfer* mode = session.control(log, 0x41, REQUEST_MODE, 0, {}, 8);
            mode->length = 15;
            libusb_submit_transfer(mode);
        },
        "ovsim: misuse: libusb_submit_transfer: control transfer shorter than 8 \\+ wLength");
    EXPECT_DEATH(
        {
            add_adapter();
            Session session;
            libusb_device_handle* handle = session.handle;
            session.close();
            libusb_close(handle);
        },
        "ovsim: misuse: libusb_close: the device handle is already closed");
}

// ---- non-blocking event handling (libusb_handle_events_timeout_completed) ----------------

int poll_once(libusb_context* context) {
    timeval no_wait{0, 0};
    return libusb_handle_events_timeout_completed(context, &no_wait, nullptr);
}

TEST_F(SimEventLoopTest, NonBlockingPollDeliversWhatIsDecidedAndReturnsAtOnceOtherwise) {
    Adapter& adapter = add_adapter();
    CompletionLog log;
    Session session;
    libusb_transfer* in = session.bulk_in(log);
    ASSERT_EQ(libusb_submit_transfer(in), 0);

    // Polls that find nothing also arm the lock-free shortcut; what is decided after them must
    // still be delivered by the next poll.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(poll_once(session.context), 0);
    }
    EXPECT_EQ(log.size(), 0u);
    EXPECT_EQ(counters().threads_blocked_in_handle_events, 0);

    adapter.feed({7});
    EXPECT_EQ(poll_once(session.context), 0);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log.entries()[0].status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(log.entries()[0].thread, std::this_thread::get_id());

    // A transfer submitted after a quiet poll (an OUT the adapter takes at once).
    EXPECT_EQ(poll_once(session.context), 0);
    libusb_transfer* out = session.bulk_out(log, {1, 2, 3});
    ASSERT_EQ(libusb_submit_transfer(out), 0);
    EXPECT_EQ(poll_once(session.context), 0);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log.entries()[1].transfer, out);
    EXPECT_EQ(counters().transfers_in_flight, 0);
}

TEST_F(SimEventLoopTest, NonBlockingPollsExpireTimeOuts) {
    add_adapter();
    set_time_scale(0.01);
    CompletionLog log;
    Session session;
    libusb_transfer* timed = session.bulk_in(log, 1000);
    ASSERT_EQ(libusb_submit_transfer(timed), 0);
    EXPECT_EQ(poll_once(session.context), 0);  // quiet until the deadline

    ASSERT_TRUE(eventually([&] {
        poll_once(session.context);
        return log.size() == 1;
    }));
    EXPECT_EQ(log.entries()[0].status, LIBUSB_TRANSFER_TIMED_OUT);
}

TEST_F(SimEventLoopTest, TimedEventHandlingBlocksUntilACompletionOrItsLimit) {
    Adapter& adapter = add_adapter();
    CompletionLog log;
    Session session;
    libusb_transfer* in = session.bulk_in(log);
    ASSERT_EQ(libusb_submit_transfer(in), 0);

    timeval short_limit{0, 20'000};
    const auto started = Clock::now();
    EXPECT_EQ(libusb_handle_events_timeout_completed(session.context, &short_limit, nullptr), 0);
    EXPECT_GE(Clock::now() - started, 20ms);
    EXPECT_EQ(log.size(), 0u);

    std::thread feeder([&] {
        ASSERT_TRUE(eventually([] { return counters().threads_blocked_in_handle_events == 1; }));
        adapter.feed({9});
    });
    timeval long_limit{30, 0};
    EXPECT_EQ(libusb_handle_events_timeout_completed(session.context, &long_limit, nullptr), 0);
    feeder.join();
    EXPECT_EQ(log.size(), 1u) << "returned because of the completion, not the limit";
    EXPECT_EQ(counters().threads_blocked_in_handle_events, 0);

    int completed = 1;
    EXPECT_EQ(libusb_handle_events_timeout_completed(session.context, &long_limit, &completed), 0)
        << "a completed flag already set returns at once";
    timeval invalid{0, 1'000'000};
    EXPECT_EQ(libusb_handle_events_timeout_completed(session.context, &invalid, nullptr),
              LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_handle_events_timeout_completed(session.context, nullptr, nullptr),
              LIBUSB_ERROR_INVALID_PARAM);
}

}  // namespace
}  // namespace ovsim::test
