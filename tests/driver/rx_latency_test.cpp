// The receive latency budget: frames wait for the dispatch thread up to the budget, or until
// enough have queued, and are still all delivered, in order; stop and close never wait for it.
#include <chrono>

#include "capi/driver.h"
#include "collecting_fixture.h"

namespace ovel::test {
namespace {

constexpr std::uint32_t LONGEST_BUDGET_US = 10'000'000;
// Bounds on waits under the longest budget: generous, and well short of it.
constexpr std::chrono::milliseconds WELL_BEFORE_BUDGET{5'000};

ovsim::FrameSpec numbered(std::uint32_t sequence) {
    ovsim::FrameSpec f;
    f.channel = 0;
    f.can_id = 0x100;
    f.dlc = 8;
    f.data.resize(8);
    for (int i = 0; i < 4; ++i) {
        f.data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(sequence >> (8 * i));
    }
    return f;
}

void expect_in_order(std::size_t count) {
    const auto frames = FrameCollector::instance().frames();
    ASSERT_EQ(frames.size(), count);
    for (std::uint32_t i = 0; i < count; ++i) {
        ASSERT_EQ(sequence_of(frames[i].record), i);
    }
}

using RxLatency = CollectingSimTest;

TEST_F(RxLatency, BudgetsOutsideTheRangeAreRefusedWithTheirText) {
    EXPECT_EQ(ovel_canfd_set_rx_latency(nullptr, 1000), OVEL_CANFD_NO_DEVICE);
    ovel_canfd_driver* closed = new_handle();
    EXPECT_EQ(ovel_canfd_set_rx_latency(closed, 1000), OVEL_CANFD_NO_DEVICE);

    ovel_canfd_driver* h = open_adapter();
    EXPECT_EQ(ovel_canfd_set_rx_latency(h, LONGEST_BUDGET_US + 1), OVEL_CANFD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(last_error(h),
              "failed to set receive latency: InvalidArgument(\"max_us: 0 to 10000000\")");
    EXPECT_EQ(ovel_canfd_set_rx_latency(h, UINT32_MAX), OVEL_CANFD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(h->device->rx_latency_budget(), std::chrono::nanoseconds::zero()) << "unchanged";
    EXPECT_EQ(ovel_canfd_set_rx_latency(h, LONGEST_BUDGET_US), 0);
    EXPECT_EQ(ovel_canfd_set_rx_latency(h, 0), 0);
}

// With nothing else on the bus, frames that came while the dispatch thread sleeps for its
// budget are delivered by the time-out alone; a busy bus loses and reorders nothing.
TEST_F(RxLatency, FramesArriveInOrderByTheTimeOutAloneAndUnderLoad) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_set_rx_latency(h, 200'000), 0);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    adapter_->feed_frame(numbered(0));
    ASSERT_TRUE(collector().wait_for(1));
    // The thread has just delivered: it sleeps for the budget and nothing wakes it early.
    for (std::uint32_t i = 1; i < 4; ++i) {
        adapter_->feed_frame(numbered(i));
    }
    ASSERT_TRUE(collector().wait_for(4));

    constexpr std::uint32_t count = 3000;
    for (std::uint32_t i = 4; i < count; ++i) {
        adapter_->feed_frame(numbered(i));
    }
    ASSERT_TRUE(collector().wait_for(count));
    expect_in_order(count);
}

// Under a budget of 10 s, enough queued frames wake the dispatch thread; the frames left
// below that count are delivered as soon as the budget is lowered.
TEST_F(RxLatency, EnoughQueuedFramesAndANewBudgetDeliverBeforeTheBudget) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_set_rx_latency(h, LONGEST_BUDGET_US), 0);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    // Once it has delivered a frame, the thread sleeps for its budget.
    adapter_->feed_frame(numbered(0));
    ASSERT_TRUE(collector().wait_for(1));
    ASSERT_TRUE(eventually([&] { return h->device->rx_consumer_sleeping(); }));
    constexpr std::uint32_t count = 2048;
    for (std::uint32_t i = 1; i < count; ++i) {
        adapter_->feed_frame(numbered(i));
    }
    // Whenever 256 wait, the thread is woken; fewer may stay until the budget.
    EXPECT_TRUE(collector().wait_for(count - 255, WELL_BEFORE_BUDGET)) << collector().size();
    ASSERT_EQ(ovel_canfd_set_rx_latency(h, 0), 0);
    ASSERT_TRUE(collector().wait_for(count, WELL_BEFORE_BUDGET)) << collector().size();
    expect_in_order(count);
}

// Frames waiting for a long budget do not hold up a stop or a close: stop leaves them queued
// for the next start, close delivers them before it returns.
TEST_F(RxLatency, StopAndCloseDoNotWaitForTheBudget) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_set_rx_latency(h, LONGEST_BUDGET_US), 0);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    std::uint32_t fed = 0;
    const auto feed_and_queue = [&](std::uint32_t frames) {
        for (std::uint32_t i = 0; i < frames; ++i) {
            adapter_->feed_frame(numbered(fed++));
        }
        return eventually([&] { return collector().size() + h->device->rx_queue_size() == fed; });
    };
    ASSERT_TRUE(feed_and_queue(1));
    ASSERT_TRUE(collector().wait_for(1));
    ASSERT_TRUE(feed_and_queue(5));  // the thread sleeps for its budget

    auto began = std::chrono::steady_clock::now();
    ASSERT_EQ(ovel_canfd_stop(h, 0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - began, WELL_BEFORE_BUDGET);
    EXPECT_EQ(collector().size() + h->device->rx_queue_size(), fed) << "kept for the next start";

    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_TRUE(collector().wait_for(fed, WELL_BEFORE_BUDGET)) << "taken at once at the start";
    ASSERT_TRUE(feed_and_queue(3));

    began = std::chrono::steady_clock::now();
    ASSERT_EQ(ovel_canfd_close(h), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - began, WELL_BEFORE_BUDGET);
    expect_in_order(fed);
}

// Under a budget the USB event thread naps between batches of received frames (here up to
// 250 ms, at this rate); work that other threads hand it ends the nap: transmits and requests
// made meanwhile take no nap's time each.
TEST_F(RxLatency, TransmitsAndRequestsEndTheEventThreadsNap) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_set_rx_latency(h, LONGEST_BUDGET_US), 0);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    adapter_->start_stream(ovsim::StreamSpec{.rate_hz = 20});
    ASSERT_TRUE(collector().wait_for(3, WELL_BEFORE_BUDGET));  // naps have begun

    constexpr int calls = 20;
    const auto began = std::chrono::steady_clock::now();
    ovel_canfd_frame frame{};
    frame.id = 0x7FF;
    frame.dlc = 1;
    ovel_canfd_bus_state state{};
    state.size = sizeof state;
    for (int i = 0; i < calls; ++i) {
        ASSERT_EQ(ovel_canfd_transmit(h, &frame), 0) << last_error(h);
        ASSERT_EQ(ovel_canfd_get_bus_state(h, 0, &state), 0) << last_error(h);
    }
    // Waiting for the naps would take seconds.
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(1500));
    adapter_->stop_stream();
}

}  // namespace
}  // namespace ovel::test
