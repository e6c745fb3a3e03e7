// The counters and reception state that ovel_canfd_get_stats reports.
#include <cstddef>

#include "collecting_fixture.h"

namespace ovel::test {
namespace {

class Stats : public CollectingSimTest {
  protected:
    static ovel_canfd_stats stats_of(ovel_canfd_driver* h) {
        ovel_canfd_stats s{};
        s.size = sizeof s;
        EXPECT_EQ(ovel_canfd_get_stats(h, &s), 0) << ovel_canfd_get_last_error(h);
        return s;
    }

    bool rx_ended(ovel_canfd_driver* h) {
        return eventually([&] { return stats_of(h).rx_state == OVEL_CANFD_RX_ENDED; });
    }
};

TEST_F(Stats, CountsFramesDropsAndTransmits) {
    ovel_canfd_driver* h = start_adapter();
    ovsim::FrameSpec good;
    good.dlc = 8;
    adapter_->feed_frame(good);
    ovsim::FrameSpec flagged = good;
    flagged.flags = 0x01;  // the adapter lost frames before this one
    adapter_->feed_frame(flagged);
    ovsim::FrameSpec bad_dlc = good;
    bad_dlc.dlc = 16;
    adapter_->feed_frame(bad_dlc);
    ovsim::FrameSpec bad_channel = good;
    bad_channel.channel = 5;
    adapter_->feed_frame(bad_channel);
    adapter_->feed(std::vector<std::uint8_t>(10, 0));   // short
    adapter_->feed(std::vector<std::uint8_t>(100, 0));  // overflows the 80-byte buffer
    ovel_canfd_frame f{};
    f.dlc = 1;
    ASSERT_EQ(ovel_canfd_transmit(h, &f), 0);
    ASSERT_TRUE(FrameCollector::instance().wait_for(3));
    ASSERT_TRUE(eventually([&] { return stats_of(h).rx_delivered == 3; }));

    const ovel_canfd_stats s = stats_of(h);
    EXPECT_EQ(s.size, sizeof s);
    EXPECT_EQ(s.rx_state, static_cast<std::uint32_t>(OVEL_CANFD_RX_RUNNING));
    EXPECT_EQ(s.rx_end_reason, static_cast<std::uint32_t>(OVEL_CANFD_RX_END_NONE));
    EXPECT_EQ(s.rx_transfers_in_flight, 32u);
    EXPECT_EQ(s.rx_frames, 3u);
    EXPECT_EQ(s.rx_echoes, 1u);
    EXPECT_EQ(s.rx_overflow_flags, 1u);
    EXPECT_EQ(s.rx_dropped_header, 2u);
    EXPECT_EQ(s.rx_dropped_short, 1u);
    EXPECT_EQ(s.rx_dropped_overflow, 1u);
    EXPECT_EQ(s.rx_dropped_no_memory, 0u);
    EXPECT_EQ(s.rx_queue_depth, 0u);
    EXPECT_GE(s.rx_queue_high_water, 1u);
    EXPECT_EQ(s.tx_frames, 1u);
    EXPECT_EQ(s.tx_failures + s.tx_timeouts, 0u);

    // An older, shorter record gets the whole fields that fit and nothing past them.
    ovel_canfd_stats old{};
    std::memset(&old, 0xEE, sizeof old);
    old.size = offsetof(ovel_canfd_stats, rx_delivered) + 4;
    ASSERT_EQ(ovel_canfd_get_stats(h, &old), 0);
    EXPECT_EQ(old.size, offsetof(ovel_canfd_stats, rx_delivered));
    EXPECT_EQ(old.rx_frames, 3u);
    EXPECT_EQ(old.rx_delivered, 0xEEEEEEEEEEEEEEEEu);

    EXPECT_EQ(ovel_canfd_get_stats(h, nullptr), OVEL_CANFD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(last_error(h), "failed to get stats: null stats record");
    ovel_canfd_driver* closed = new_handle();
    ovel_canfd_stats none{};
    none.size = sizeof none;
    EXPECT_EQ(ovel_canfd_get_stats(closed, &none), OVEL_CANFD_NO_DEVICE);
    EXPECT_EQ(last_error(closed), "failed to get stats: no open device");
}

// Each way reception ends by itself is reported, also after the stop; a start clears it.
TEST_F(Stats, ReceptionEndedByItselfTellsWhy) {
    ovel_canfd_driver* h = start_adapter();
    adapter_->halt_in(/*persists=*/true);
    ASSERT_TRUE(rx_ended(h));
    EXPECT_EQ(stats_of(h).rx_end_reason, static_cast<std::uint32_t>(OVEL_CANFD_RX_END_STALL_PERSISTS));
    // At least the clears that did not help; a stall already under way when one is cleared can
    // bring one more, depending on timing.
    EXPECT_GE(stats_of(h).rx_halts_cleared, 4u);
    ASSERT_EQ(ovel_canfd_stop(h, 0), 0);
    EXPECT_EQ(stats_of(h).rx_state, static_cast<std::uint32_t>(OVEL_CANFD_RX_ENDED));
    EXPECT_EQ(stats_of(h).rx_transfers_in_flight, 0u);

    adapter_->clear_faults();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    EXPECT_EQ(stats_of(h).rx_state, static_cast<std::uint32_t>(OVEL_CANFD_RX_RUNNING));
    adapter_->fail_in(LIBUSB_TRANSFER_ERROR, 1'000'000);
    ASSERT_TRUE(rx_ended(h));
    EXPECT_EQ(stats_of(h).rx_end_reason, static_cast<std::uint32_t>(OVEL_CANFD_RX_END_ERRORS_PERSIST));
    EXPECT_GT(stats_of(h).rx_retries, 0u);
    ASSERT_EQ(ovel_canfd_stop(h, 0), 0);

    adapter_->clear_faults();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    adapter_->unplug();
    ASSERT_TRUE(rx_ended(h));
    EXPECT_EQ(stats_of(h).rx_end_reason, static_cast<std::uint32_t>(OVEL_CANFD_RX_END_UNPLUGGED));
}

}  // namespace
}  // namespace ovel::test
