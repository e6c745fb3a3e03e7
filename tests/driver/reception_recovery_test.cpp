// Reception against a hostile adapter: bursts of failed completions, refused resubmissions and
// halted endpoints are recovered from; what cannot be recovered ends reception visibly.
#include "capi/driver.h"
#include "collecting_fixture.h"

namespace ovel::test {
namespace {

ovsim::FrameSpec numbered(std::uint32_t sequence) {
    ovsim::FrameSpec f;
    f.can_id = 0x100;
    f.dlc = 8;
    f.data = {static_cast<std::uint8_t>(sequence), static_cast<std::uint8_t>(sequence >> 8), 0, 0,
              0, 0, 0, 0};
    return f;
}

class ReceptionRecovery : public CollectingSimTest {
  protected:
    // Feeds `count` numbered frames from `first` on and waits until they are all delivered.
    bool deliver(std::uint32_t first, std::uint32_t count) {
        const std::size_t before = collector().size();
        for (std::uint32_t i = 0; i < count; ++i) {
            adapter_->feed_frame(numbered(first + i));
        }
        return collector().wait_for(before + count);
    }
};

TEST_F(ReceptionRecovery, BurstOfFailedCompletionsDoesNotEndReception) {
    start_adapter();
    // More failures than 32 transfers times the old limit of 16 in a row.
    adapter_->fail_in(LIBUSB_TRANSFER_OVERFLOW, 520);
    ASSERT_TRUE(deliver(0, 1));
    EXPECT_TRUE(all_transfers_waiting());
    adapter_->fail_in(LIBUSB_TRANSFER_ERROR, 520);
    ASSERT_TRUE(deliver(1, 1));
    EXPECT_TRUE(all_transfers_waiting());
    EXPECT_EQ(sequence_of(collector().frames().back().record), 1u);
}

TEST_F(ReceptionRecovery, RefusedResubmissionsAreRetriedLater) {
    start_adapter();
    // Every transfer's resubmission after its frame is refused once, then some twice more.
    adapter_->refuse_submissions(ovsim::ENDPOINT_BULK_IN, LIBUSB_ERROR_IO, 32 + 20);
    ASSERT_TRUE(deliver(0, 32));
    EXPECT_TRUE(all_transfers_waiting());
    ASSERT_TRUE(deliver(32, 100));
    EXPECT_TRUE(all_transfers_waiting());
}

// The halt is cleared only once no receive transfer is queued on the endpoint: a host controller
// leaves the data toggle as it was otherwise, and the adapter's next frame is lost.
TEST_F(ReceptionRecovery, StalledEndpointIsClearedAndReceptionGoesOn) {
    ovel_canfd_driver* h = start_adapter();
    adapter_->halt_in();
    ASSERT_TRUE(eventually([&] { return adapter_->clear_halt_count() >= 1; }));
    EXPECT_TRUE(all_transfers_waiting());
    ASSERT_TRUE(deliver(0, 40));
    // A halt that a single clear does not cure is cleared again.
    adapter_->fail_in(LIBUSB_TRANSFER_STALL, 3);
    ASSERT_TRUE(eventually([&] { return adapter_->clear_halt_count() >= 4; }));
    EXPECT_TRUE(all_transfers_waiting());
    ASSERT_TRUE(deliver(40, 40));
    EXPECT_EQ(h->device->rx_transfers_in_flight(), 32);
    EXPECT_EQ(adapter_->clears_with_transfers_queued(), 0);
    EXPECT_EQ(adapter_->in_packets_dropped(), 0);
    const auto frames = collector().frames();
    for (std::uint32_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(sequence_of(frames[i].record), i);
    }
}

// Only what recovery cannot cure ends reception; stop and start then bring it back.
TEST_F(ReceptionRecovery, PersistingStallEndsReceptionUntilRestarted) {
    ovel_canfd_driver* h = start_adapter();
    adapter_->halt_in(/*persists=*/true);
    ASSERT_TRUE(eventually([&] { return h->device->rx_health().state == usb::RxState::Ended; }));
    EXPECT_EQ(h->device->rx_health().end, usb::RxEnd::StallPersists);
    ASSERT_TRUE(eventually([&] { return h->device->rx_transfers_in_flight() == 0; }));
    // At least the clears that did not help; a stall already under way when one is cleared can
    // bring more, depending on timing.
    EXPECT_GE(adapter_->clear_halt_count(), 4);
    EXPECT_EQ(adapter_->in_transfers_pending(), 0);
    ASSERT_EQ(ovel_canfd_stop(h, 0), 0);
    adapter_->clear_faults();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    EXPECT_TRUE(all_transfers_waiting());
    ASSERT_TRUE(deliver(0, 1));
}

// Retries still waiting when reception stops are dropped: nothing is resubmitted after the stop,
// and close frees every transfer.
TEST_F(ReceptionRecovery, StopAndCloseCancelPendingRetries) {
    ovel_canfd_driver* h = start_adapter();
    adapter_->refuse_submissions(ovsim::ENDPOINT_BULK_IN, LIBUSB_ERROR_IO);
    ASSERT_TRUE(deliver(0, 8));
    ASSERT_TRUE(eventually([&] { return h->device->rx_transfers_in_flight() == 24; }));
    ASSERT_EQ(ovel_canfd_stop(h, 0), 0);
    EXPECT_EQ(h->device->rx_transfers_in_flight(), 0);
    adapter_->clear_faults();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    adapter_->refuse_submissions(ovsim::ENDPOINT_BULK_IN, LIBUSB_ERROR_IO);
    ASSERT_TRUE(deliver(8, 8));
    EXPECT_EQ(ovel_canfd_close(h), 0);
    EXPECT_EQ(ovsim::counters().transfers_allocated, 0);
}

}  // namespace
}  // namespace ovel::test
