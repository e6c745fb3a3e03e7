// The adapter's USB timing: completions reach the host at frame boundaries within each frame's
// packet budget, the event thread wakes for them (once), outcomes waiting for their frame keep libusb's
// rules, and stream frames record when they were released and when they were on the bus.
#include "platform/poll_sleeper.h"
#include "sim_test_support.h"

#include <algorithm>

namespace ovsim::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using SimLinkTimingTest = SimTest;

struct Frames {
    Clock::duration period;
    std::size_t per_frame;  // one-packet transfers a frame carries
};

constexpr Frames FULL_SPEED{1ms, 19};
constexpr Frames HIGH_SPEED{125us, 13};

Clock::time_point next_boundary(Clock::time_point time, Clock::duration period) {
    return Clock::time_point((time.time_since_epoch() / period + 1) * period);
}

std::uint64_t nanoseconds_of(Clock::time_point time) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count());
}

// How many of `count` one-packet completions, all decided at `decided`, are released at `time`.
std::size_t released_by(Clock::time_point time, Clock::time_point decided, std::size_t count,
                        const Frames& frames) {
    const Clock::time_point first = next_boundary(decided, frames.period);
    if (time < first) {
        return 0;
    }
    const auto boundaries = static_cast<std::size_t>((time - first) / frames.period) + 1;
    return std::min(count, boundaries * frames.per_frame);
}

int poll_once(libusb_context* context) {
    timeval no_wait{0, 0};
    return libusb_handle_events_timeout_completed(context, &no_wait, nullptr);
}

// Polls until `count` more completions are logged, decided between `decided_from` and
// `decided_until`. After every poll the count lies between the schedule of the latest possible
// decisions at the poll's start (a poll misses nothing that is due) and that of the earliest
// ones at its end (nothing comes before its boundary or beyond a frame's budget).
void expect_released_on_schedule(Session& session, CompletionLog& log, std::size_t count,
                                 Clock::time_point decided_from, Clock::time_point decided_until,
                                 const Frames& frames) {
    const std::size_t already = log.size();
    const auto give_up = Clock::now() + WAIT_BOUND;
    while (log.size() < already + count && Clock::now() < give_up) {
        const auto poll_started = Clock::now();
        ASSERT_EQ(poll_once(session.context), 0);
        const auto poll_ended = Clock::now();
        const std::size_t delivered = log.size() - already;
        ASSERT_GE(delivered, released_by(poll_started, decided_until, count, frames))
            << "a poll missed a completion that was due";
        ASSERT_LE(delivered, released_by(poll_ended, decided_from, count, frames))
            << "released before its boundary or beyond the frame's budget";
    }
    ASSERT_EQ(log.size(), already + count);
}

TEST_F(SimLinkTimingTest, FullSpeedReleasesAtMillisecondBoundariesNineteenPacketsPerFrame) {
    Adapter& adapter = add_adapter({.link_timing = LinkTiming::FullSpeed});
    CompletionLog log;
    Session session;
    for (int i = 0; i < 32; ++i) {
        ASSERT_EQ(libusb_submit_transfer(session.bulk_in(log)), 0);
    }

    EXPECT_EQ(poll_once(session.context), 0);  // finds nothing: later polls may take a shortcut
    const auto feeding = Clock::now();
    for (std::uint8_t k = 0; k < 40; ++k) {
        adapter.feed_frame({.can_id = k, .data = {k}});  // 20 bytes: one packet
    }
    const auto fed = Clock::now();
    EXPECT_EQ(adapter.frames_waiting(), 8u);
    expect_released_on_schedule(session, log, 32, feeding, fed, FULL_SPEED);
    const auto entries = log.entries();
    for (std::size_t k = 0; k < entries.size(); ++k) {
        EXPECT_EQ(entries[k].status, LIBUSB_TRANSFER_COMPLETED);
        ASSERT_EQ(entries[k].data.size(), 20u);
        EXPECT_EQ(entries[k].data[12], k) << "completions keep their order";
    }

    // A transmit and a control request also wait for the next boundary.
    const auto submitting = Clock::now();
    ASSERT_EQ(libusb_submit_transfer(session.bulk_out(log, {1, 2, 3})), 0);
    ASSERT_EQ(libusb_submit_transfer(session.control(log, 0xC1, REQUEST_DEVICE_CONFIG, 0, {}, 12)),
              0);
    const auto submitted = Clock::now();
    expect_released_on_schedule(session, log, 2, submitting, submitted, FULL_SPEED);
    EXPECT_EQ(log.entries()[32].actual_length, 3);
    EXPECT_EQ(log.entries()[33].actual_length, 12);
}

TEST_F(SimLinkTimingTest, HighSpeedCarriesThirteenFdFramesPerMicroframe) {
    Adapter& adapter = add_adapter({.link_timing = LinkTiming::HighSpeed});
    CompletionLog log;
    Session session;
    for (int i = 0; i < 32; ++i) {
        ASSERT_EQ(libusb_submit_transfer(session.bulk_in(log)), 0);
    }

    const auto feeding = Clock::now();
    for (std::uint8_t k = 0; k < 32; ++k) {
        adapter.feed_frame({.can_id = k, .flags = FRAME_FLAG_FD, .data = {k}});  // 76 bytes
    }
    const auto fed = Clock::now();
    expect_released_on_schedule(session, log, 32, feeding, fed, HIGH_SPEED);
    const auto entries = log.entries();
    for (std::size_t k = 0; k < entries.size(); ++k) {
        ASSERT_EQ(entries[k].data.size(), 76u);
        EXPECT_EQ(entries[k].data[12], k) << "completions keep their order";
    }
}

TEST_F(SimLinkTimingTest, EventThreadSleepingInHandleEventsWakesForARelease) {
    Adapter& adapter = add_adapter({.link_timing = LinkTiming::FullSpeed});
    CompletionLog log;
    Session session;
    // No time-out: nothing but the release can end the event thread's sleep before 60 s.
    ASSERT_EQ(libusb_submit_transfer(session.bulk_in(log, 0)), 0);
    session.start_events();
    ASSERT_TRUE(eventually([] { return counters().threads_blocked_in_handle_events == 1; }));

    const auto feeding = Clock::now();
    adapter.feed_frame({.data = {5}});
    ASSERT_TRUE(log.wait_for(1));
    EXPECT_GE(log.entries()[0].called_at, next_boundary(feeding, FULL_SPEED.period));
    EXPECT_EQ(log.entries()[0].thread, session.events->id());

    // A transfer submitted by another thread moves the sleeper's wake-up to its release, as
    // libusb re-arms its timer, instead of waking it at once to plan it: the sleeper wakes once.
    ASSERT_TRUE(eventually([] { return counters().threads_blocked_in_handle_events == 1; }));
    const int sleeps = counters().handle_events_sleeps;
    const auto submitting = Clock::now();
    ASSERT_EQ(libusb_submit_transfer(session.bulk_out(log, {1, 2, 3})), 0);
    ASSERT_TRUE(log.wait_for(2));
    EXPECT_GE(log.entries()[1].called_at, next_boundary(submitting, FULL_SPEED.period));
    ASSERT_TRUE(eventually([] { return counters().threads_blocked_in_handle_events == 1; }));
    if (ovel::platform::has_poll_sleeper()) {
        EXPECT_EQ(counters().handle_events_sleeps, sleeps + 1);
    }  // elsewhere the sleeper sleeps on a condition variable: woken, it plans and sleeps again
}

TEST_F(SimLinkTimingTest, OutcomesWaitingForTheirFrameKeepLibusbRules) {
    Adapter& adapter = add_adapter({.link_timing = LinkTiming::FullSpeed});
    CompletionLog log;
    Session session;
    libusb_transfer* first = session.bulk_in(log, 0);
    libusb_transfer* second = session.bulk_in(log, 0);
    ASSERT_EQ(libusb_submit_transfer(first), 0);
    ASSERT_EQ(libusb_submit_transfer(second), 0);

    // Nothing delivers without a poll here, so the first stays decided but not released.
    adapter.feed_frame({.data = {1}});
    EXPECT_EQ(libusb_cancel_transfer(first), 0);
    EXPECT_EQ(libusb_cancel_transfer(first), LIBUSB_ERROR_NOT_FOUND);
    // Back to immediate timing: the next completion still comes after the one waiting.
    adapter.set_link_timing(LinkTiming::Immediate);
    adapter.feed_frame({.data = {2}});
    ASSERT_TRUE(eventually([&] {
        poll_once(session.context);
        return log.size() == 2;
    }));
    const auto entries = log.entries();
    EXPECT_EQ(entries[0].transfer, first);
    EXPECT_EQ(entries[0].status, LIBUSB_TRANSFER_COMPLETED) << "the cancel came too late";
    EXPECT_EQ(entries[0].data.at(12), 1);
    EXPECT_EQ(entries[1].transfer, second);
    EXPECT_EQ(entries[1].data.at(12), 2);

    // Closing the handle drops a completion waiting for its frame, without a callback.
    adapter.set_link_timing(LinkTiming::FullSpeed);
    ASSERT_EQ(libusb_submit_transfer(first), 0);
    adapter.feed_frame({.data = {3}});
    EXPECT_EQ(counters().transfers_in_flight, 1);
    session.close();
    EXPECT_EQ(counters().transfers_in_flight, 0);
    EXPECT_EQ(counters().closed_with_transfers_in_flight, 1);
    EXPECT_EQ(log.size(), 2u);
}

TEST_F(SimLinkTimingTest, StreamFramesRecordTheirReleaseBoundaryAndTheirTimeOnTheBus) {
    Adapter& adapter = add_adapter({.link_timing = LinkTiming::FullSpeed});
    CompletionLog log;
    Session session;
    log.on_complete = [](libusb_transfer* transfer) { libusb_submit_transfer(transfer); };
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(libusb_submit_transfer(session.bulk_in(log)), 0);
    }
    session.start_events();
    session.start_channels({0});
    const std::uint64_t period_ns = 1'000'000;

    // Paced: on the bus at started + k / rate, released at a later millisecond boundary.
    const auto starting = Clock::now();
    adapter.start_stream({.count = 20, .fd = true, .rate_hz = 4000});
    const auto started = Clock::now();
    ASSERT_TRUE(log.wait_for(20));
    auto entries = log.entries();
    const std::uint64_t first_on_bus = read_u64le(entries[0].data, 28);
    EXPECT_GE(first_on_bus, nanoseconds_of(starting));
    EXPECT_LE(first_on_bus, nanoseconds_of(started));
    for (std::size_t k = 0; k < 20; ++k) {
        const std::uint64_t released = read_u64le(entries[k].data, 20);
        const std::uint64_t on_bus = read_u64le(entries[k].data, 28);
        EXPECT_NEAR(static_cast<double>(on_bus - first_on_bus), static_cast<double>(k) * 250'000.0,
                    1.0);
        EXPECT_EQ(released % period_ns, 0u);
        EXPECT_GT(released, on_bus);
        EXPECT_LE(released, nanoseconds_of(entries[k].called_at));
    }

    // As fast as possible: on the bus when decided, released at the boundary right after.
    ASSERT_TRUE(eventually([&] { return adapter.in_transfers_pending() == 4; }));
    adapter.start_stream({.count = 20, .fd = true});
    ASSERT_TRUE(log.wait_for(40));
    entries = log.entries();
    for (std::size_t k = 20; k < 40; ++k) {
        const std::uint64_t released = read_u64le(entries[k].data, 20);
        const std::uint64_t on_bus = read_u64le(entries[k].data, 28);
        EXPECT_EQ(released, (on_bus / period_ns + 1) * period_ns) << "four in flight fit a frame";
        EXPECT_LE(released, nanoseconds_of(entries[k].called_at));
    }

    // Immediate timing releases a frame when it is decided.
    ASSERT_TRUE(eventually([&] { return adapter.in_transfers_pending() == 4; }));
    adapter.set_link_timing(LinkTiming::Immediate);
    adapter.start_stream({.count = 4, .fd = true});
    ASSERT_TRUE(log.wait_for(44));
    entries = log.entries();
    for (std::size_t k = 40; k < 44; ++k) {
        EXPECT_EQ(read_u64le(entries[k].data, 20), read_u64le(entries[k].data, 28));
    }
}

}  // namespace
}  // namespace ovsim::test
