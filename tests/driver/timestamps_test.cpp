// Receive timestamps, sequence numbers and bus state, against the simulated adapter.

#include <condition_variable>
#include <cstring>
#include <mutex>

#include "capi/driver.h"
#include "platform/clocks.h"
#include "sim_fixture.h"

namespace ovel::test {
namespace {

constexpr std::uint32_t CORE_FEATURES = 0x103;  // listen-only, loopback, FD

struct Arrival {
    ovel_canfd_frame record;
    ovel_canfd_rx_info info;
};

// Collects what a handler or callback gets; its user pointer is the collector.
class Arrivals {
  public:
    static void handler(const ovel_canfd_frame* frame, const ovel_canfd_rx_info* info, void* user) {
        static_cast<Arrivals*>(user)->add(*frame, *info);
    }
    static void callback(const ovel_canfd_frame* frame, void* user) {
        static_cast<Arrivals*>(user)->add(*frame, ovel_canfd_rx_info{});
    }

    void add(const ovel_canfd_frame& frame, const ovel_canfd_rx_info& info) {
        std::lock_guard lock(mutex_);
        arrivals_.push_back({frame, info});
        changed_.notify_all();
    }
    bool wait_for(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return arrivals_.size() >= count; });
    }
    std::vector<Arrival> all() {
        std::lock_guard lock(mutex_);
        return arrivals_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Arrival> arrivals_;
};

std::int64_t realtime_ns() {
    return platform::wall_clock_ns();
}

ovsim::FrameSpec stamped(std::uint32_t stamp, bool fd = false, std::uint8_t channel = 0) {
    ovsim::FrameSpec frame;
    frame.can_id = 0x123;
    frame.channel = channel;
    frame.dlc = fd ? 15 : 8;
    frame.flags = fd ? ovsim::FRAME_FLAG_FD : 0;
    frame.data.assign(fd ? 64 : 8, 0x5A);
    frame.timestamp_us = stamp;
    return frame;
}

bool sent_request(const ovsim::Adapter& adapter, std::uint8_t request) {
    const auto log = adapter.control_requests();
    return std::any_of(log.begin(), log.end(),
                       [&](const ovsim::ControlRecord& r) { return r.request == request; });
}

using RxTimestamps = SimTest;

TEST_F(RxTimestamps, HardwareStampsFollowTheCounterAcrossItsWrapAndRecordsStayAsBefore) {
    ovsim::Adapter& adapter =
        ovsim::add_adapter({.features = CORE_FEATURES | ovsim::FEATURE_HW_TIMESTAMP});
    adapter.set_timestamp_counter(0xF0000000u);  // wraps in 4.5 minutes
    ovel_canfd_driver* h = open_handle();
    Arrivals arrivals;
    ASSERT_EQ(ovel_canfd_set_rx_handler(h, &Arrivals::handler, &arrivals), 0);
    const std::int64_t before = realtime_ns();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_EQ(ovel_canfd_start(h, 1), 0);
    EXPECT_NE(adapter.channel_flags(0) & ovsim::MODE_FLAG_HW_TIMESTAMP, 0u);
    EXPECT_NE(adapter.channel_flags(1) & ovsim::MODE_FLAG_HW_TIMESTAMP, 0u);
    const auto log = adapter.control_requests();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const auto& r) { return r.request == ovsim::REQUEST_TIMESTAMP; }),
              1);

    // The adapter's clock goes on by minutes between frames here, but never backwards.
    const std::uint32_t now = adapter.timestamp_counter();
    const std::uint32_t stamps[] = {now + 1000, 0xFFFFFF00u, 0x100u, 0x200u};
    adapter.feed_frame(stamped(stamps[0]));
    adapter.feed_frame(stamped(stamps[1], true));
    adapter.feed_frame(stamped(stamps[2], false, 1));
    adapter.feed_frame(stamped(stamps[3], true));
    ASSERT_TRUE(arrivals.wait_for(4));
    const std::int64_t after = realtime_ns();
    const auto got = arrivals.all();
    const std::uint64_t expected_us[] = {now + 1000, 0xFFFFFF00u, 0x1'0000'0100u, 0x1'0000'0200u};
    for (std::size_t i = 0; i < 4; ++i) {
        const ovel_canfd_rx_info& info = got[i].info;
        EXPECT_EQ(info.size, sizeof(ovel_canfd_rx_info));
        EXPECT_NE(info.flags & OVEL_CANFD_RX_HW_TIMESTAMP, 0u);
        EXPECT_EQ(info.hw_timestamp_us, expected_us[i]) << i;
        EXPECT_GE(info.host_time_ns, before);
        EXPECT_LE(info.host_time_ns, after);
        // Mapped from the counter read at start, with which the first stamp nearly agrees.
        if (i == 0) {
            EXPECT_LT(std::abs(info.hw_time_ns - info.host_time_ns), 1'000'000'000);
        }
        if (i > 0) {
            EXPECT_EQ(info.hw_time_ns - got[i - 1].info.hw_time_ns,
                      static_cast<std::int64_t>(expected_us[i] - expected_us[i - 1]) * 1000);
        }
    }
    // An echo stamped before the last received frame does not step back.
    ovel_canfd_frame out{};
    out.id = 0x7;
    out.dlc = 1;
    ASSERT_EQ(ovel_canfd_transmit(h, &out), 0);
    ASSERT_TRUE(arrivals.wait_for(5));
    EXPECT_TRUE(arrivals.all()[4].record.echo);
    EXPECT_GE(arrivals.all()[4].info.hw_timestamp_us, expected_us[3]);

    // The stamp is no data: the earlier callbacks see the same records as without stamps.
    Arrivals plain;
    ASSERT_EQ(ovel_canfd_set_rx_callback_ex(h, &Arrivals::callback, &plain), 0);
    adapter.feed_frame(stamped(stamps[0]));
    adapter.feed_frame(stamped(stamps[1], true));
    ASSERT_TRUE(plain.wait_for(2));
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(std::memcmp(&plain.all()[i].record, &got[i].record, sizeof(ovel_canfd_frame)), 0);
    }
    EXPECT_EQ(got[0].record.data[8], 0);  // where the classic frame's stamp was
    EXPECT_EQ(got[1].record.data[63], 0x5A);
}

TEST_F(RxTimestamps, TheCounterIsReReadWhileReceptionRunsAndNotAfterItStops) {
    ovsim::Adapter& adapter =
        ovsim::add_adapter({.features = CORE_FEATURES | ovsim::FEATURE_HW_TIMESTAMP});
    ovel_canfd_driver* h = open_handle();
    h->device->set_hw_clock_refresh_period(std::chrono::milliseconds(1));
    Arrivals arrivals;
    ASSERT_EQ(ovel_canfd_set_rx_handler(h, &Arrivals::handler, &arrivals), 0);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    const auto reads = [&] {
        const auto log = adapter.control_requests();
        return std::count_if(log.begin(), log.end(), [](const ovsim::ControlRecord& r) {
            return r.request == ovsim::REQUEST_TIMESTAMP && r.value == 0 && r.length == 4;
        });
    };
    ASSERT_TRUE(eventually([&] { return reads() >= 3; }));
    // Stamps keep following the counter across the re-reads.
    adapter.feed_frame(stamped(adapter.timestamp_counter()));
    ASSERT_TRUE(arrivals.wait_for(1));
    const std::uint64_t first = arrivals.all()[0].info.hw_timestamp_us;
    const auto earlier_reads = reads();
    ASSERT_TRUE(eventually([&] { return reads() > earlier_reads + 2; }));
    const std::uint32_t now = adapter.timestamp_counter();
    adapter.feed_frame(stamped(now));
    ASSERT_TRUE(arrivals.wait_for(2));
    EXPECT_EQ(arrivals.all()[1].info.hw_timestamp_us, now);
    EXPECT_GT(now, first);
    // Stop waits for a read in flight; none follows (the fixture checks nothing is left).
    ASSERT_EQ(ovel_canfd_stop(h, 0), 0);
    const auto stopped_at = reads();
    ASSERT_EQ(ovel_canfd_close(h), 0);
    EXPECT_EQ(reads(), stopped_at);
}

TEST_F(RxTimestamps, AnAdapterWithoutTheFeaturesGetsNoRequestForThem) {
    // The simulator aborts on TIMESTAMP or GET_STATE to such an adapter.
    ovsim::Adapter& adapter = ovsim::add_adapter({.features = CORE_FEATURES});
    ovel_canfd_driver* h = open_handle();
    Arrivals arrivals;
    ASSERT_EQ(ovel_canfd_set_rx_handler(h, &Arrivals::handler, &arrivals), 0);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ovel_canfd_bus_state state{sizeof state, 99, 99, 99, 99};
    ASSERT_EQ(ovel_canfd_get_bus_state(h, 0, &state), 0);
    EXPECT_EQ(state.source, static_cast<std::uint32_t>(OVEL_CANFD_STATE_SOURCE_ERROR_FRAMES));
    EXPECT_EQ(adapter.channel_flags(0) & ovsim::MODE_FLAG_HW_TIMESTAMP, 0u);
    EXPECT_FALSE(sent_request(adapter, ovsim::REQUEST_TIMESTAMP));
    EXPECT_FALSE(sent_request(adapter, ovsim::REQUEST_GET_STATE));

    // Frames keep their usual length and carry the host's time only.
    adapter.feed_frame(stamped(0));
    ASSERT_TRUE(arrivals.wait_for(1));
    EXPECT_EQ(arrivals.all()[0].info.flags & OVEL_CANFD_RX_HW_TIMESTAMP, 0u);
    EXPECT_EQ(arrivals.all()[0].info.hw_timestamp_us, 0u);
    EXPECT_GT(arrivals.all()[0].info.host_time_ns, 0);
}

TEST_F(RxTimestamps, SequenceNumbersLeaveAGapForADroppedTransferAndOverflowIsFlagged) {
    ovsim::Adapter& adapter = ovsim::add_adapter();
    ovel_canfd_driver* h = open_handle();
    Arrivals arrivals;
    ASSERT_EQ(ovel_canfd_set_rx_handler(h, &Arrivals::handler, &arrivals), 0);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    adapter.feed_frame(stamped(0));
    ovsim::FrameSpec malformed = stamped(0);
    malformed.dlc = 16;  // dropped by the library
    adapter.feed_frame(malformed);
    adapter.fail_in(LIBUSB_TRANSFER_TIMED_OUT, 1);  // brings no bytes: no number
    ovsim::FrameSpec overflow = stamped(0);
    overflow.flags = ovsim::FRAME_FLAG_OVERFLOW;
    adapter.feed_frame(overflow);
    ASSERT_TRUE(arrivals.wait_for(2));
    const auto got = arrivals.all();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].info.sequence - got[0].info.sequence, 2u);
    EXPECT_EQ(got[0].info.flags & OVEL_CANFD_RX_OVERFLOW, 0u);
    EXPECT_NE(got[1].info.flags & OVEL_CANFD_RX_OVERFLOW, 0u);
}

class BusState : public SimTest {
  protected:
    ovel_canfd_bus_state read(ovel_canfd_driver* h, std::uint8_t channel) {
        ovel_canfd_bus_state state{};
        state.size = sizeof state;
        EXPECT_EQ(ovel_canfd_get_bus_state(h, channel, &state), 0) << last_error(h);
        return state;
    }
};

TEST_F(BusState, FromTheAdapterWhenItReportsIt) {
    ovsim::Adapter& adapter =
        ovsim::add_adapter({.features = CORE_FEATURES | ovsim::FEATURE_GET_STATE});
    ovel_canfd_driver* h = open_handle();
    ovel_canfd_bus_state state = read(h, 1);
    EXPECT_EQ(state.state, static_cast<std::uint32_t>(OVEL_CANFD_STATE_STOPPED));
    EXPECT_EQ(state.source, static_cast<std::uint32_t>(OVEL_CANFD_STATE_SOURCE_LIBRARY));
    EXPECT_FALSE(sent_request(adapter, ovsim::REQUEST_GET_STATE));

    ASSERT_EQ(ovel_canfd_start(h, 1), 0);
    adapter.set_bus_state(1, 2, 130, 7);
    state = read(h, 1);
    EXPECT_EQ(state.state, static_cast<std::uint32_t>(OVEL_CANFD_STATE_ERROR_PASSIVE));
    EXPECT_EQ(state.source, static_cast<std::uint32_t>(OVEL_CANFD_STATE_SOURCE_ADAPTER));
    EXPECT_EQ(state.rx_errors, 130u);
    EXPECT_EQ(state.tx_errors, 7u);
    EXPECT_EQ(adapter.control_requests().back().value, 1);

    // An adapter that cannot tell leaves it to the error frames.
    adapter.set_bus_state(1, 9, 0, 0);
    state = read(h, 1);
    EXPECT_EQ(state.state, static_cast<std::uint32_t>(OVEL_CANFD_STATE_ERROR_ACTIVE));
    EXPECT_EQ(state.source, static_cast<std::uint32_t>(OVEL_CANFD_STATE_SOURCE_ERROR_FRAMES));

    // A shorter record is filled only as far as it goes; none at all is refused.
    ovel_canfd_bus_state short_record{12, 0, 0, 55, 55};
    ASSERT_EQ(ovel_canfd_get_bus_state(h, 1, &short_record), 0);
    EXPECT_EQ(short_record.size, 12u);
    EXPECT_EQ(short_record.rx_errors, 55u);
    EXPECT_EQ(ovel_canfd_get_bus_state(h, 1, nullptr), OVEL_CANFD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(last_error(h), "failed to get bus state: InvalidArgument(\"state\")");
    EXPECT_EQ(ovel_canfd_get_bus_state(h, 2, &state), OVEL_CANFD_ERR_INVALID_CHANNEL);
}

// A record size that ends inside a field gets only the whole fields before it, and says so.
TEST_F(BusState, ARecordSizeEndingInsideAFieldGetsOnlyTheWholeFieldsBeforeIt) {
    ovsim::Adapter& adapter =
        ovsim::add_adapter({.features = CORE_FEATURES | ovsim::FEATURE_GET_STATE});
    ovel_canfd_driver* h = open_handle();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    adapter.set_bus_state(0, 2, 130, 7);
    for (const std::uint32_t size : {6u, 9u, 14u}) {
        alignas(ovel_canfd_bus_state) unsigned char bytes[sizeof(ovel_canfd_bus_state)];
        std::memset(bytes, 0xAB, sizeof bytes);
        std::memcpy(bytes, &size, sizeof size);
        ASSERT_EQ(ovel_canfd_get_bus_state(h, 0, reinterpret_cast<ovel_canfd_bus_state*>(bytes)),
                  0);
        std::uint32_t reported = 0;
        std::memcpy(&reported, bytes, sizeof reported);
        const std::uint32_t whole = size / 4 * 4;
        EXPECT_EQ(reported, whole) << size;
        for (std::size_t i = whole; i < sizeof bytes; ++i) {
            EXPECT_EQ(bytes[i], 0xAB) << "byte " << i << " written with size " << size;
        }
        if (whole >= 8) {
            std::uint32_t state = 0;
            std::memcpy(&state, bytes + 4, sizeof state);
            EXPECT_EQ(state, static_cast<std::uint32_t>(OVEL_CANFD_STATE_ERROR_PASSIVE)) << size;
        }
    }
}

TEST_F(BusState, FollowsTheErrorFramesUntilBusOffAndStartsOverAfterARestart) {
    ovsim::Adapter& adapter = ovsim::add_adapter({.features = CORE_FEATURES});
    ovel_canfd_driver* h = open_handle();
    Arrivals arrivals;
    ASSERT_EQ(ovel_canfd_set_rx_handler(h, &Arrivals::handler, &arrivals), 0);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_EQ(ovel_canfd_start(h, 1), 0);
    struct Step {
        std::uint32_t classes;
        std::uint8_t controller;
        std::uint32_t state;
        std::uint8_t rx, tx;
    };
    const Step steps[] = {
        {0x204, 0x08, OVEL_CANFD_STATE_ERROR_WARNING, 3, 97},
        {0x204, 0x30, OVEL_CANFD_STATE_ERROR_PASSIVE, 3, 130},
        {0x004, 0x01, OVEL_CANFD_STATE_ERROR_PASSIVE, 4, 131},  // overflow: state unchanged
        {0x040, 0x00, OVEL_CANFD_STATE_BUS_OFF, 0, 255},
    };
    std::size_t delivered = 0;
    for (const Step& step : steps) {
        adapter.inject_state_change(0, step.classes, step.controller, step.state, step.rx, step.tx);
        ASSERT_TRUE(arrivals.wait_for(++delivered));
        const ovel_canfd_bus_state state = read(h, 0);
        EXPECT_EQ(state.state, step.state) << delivered;
        EXPECT_EQ(state.rx_errors, step.rx) << delivered;
        EXPECT_EQ(state.tx_errors, step.tx) << delivered;
        EXPECT_TRUE(arrivals.all().back().record.err);
    }
    EXPECT_EQ(read(h, 1).state, static_cast<std::uint32_t>(OVEL_CANFD_STATE_ERROR_ACTIVE));

    // Recovery from bus-off: stop and start.
    ASSERT_EQ(ovel_canfd_stop(h, 0), 0);
    EXPECT_EQ(read(h, 0).state, static_cast<std::uint32_t>(OVEL_CANFD_STATE_STOPPED));
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    EXPECT_EQ(read(h, 0).state, static_cast<std::uint32_t>(OVEL_CANFD_STATE_ERROR_ACTIVE));
    adapter.inject_state_change(0, 0x204, 0x10, OVEL_CANFD_STATE_ERROR_PASSIVE, 128, 0);
    adapter.inject_state_change(0, 0x100, 0x00, OVEL_CANFD_STATE_ERROR_ACTIVE, 0, 0);
    ASSERT_TRUE(arrivals.wait_for(delivered + 2));
    EXPECT_EQ(read(h, 0).state, static_cast<std::uint32_t>(OVEL_CANFD_STATE_ERROR_ACTIVE));
}

}  // namespace
}  // namespace ovel::test
