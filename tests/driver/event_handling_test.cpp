// The USB event thread when libusb's event handling itself fails.
#include "sim_fixture.h"

namespace ovel::test {
namespace {

class EventHandling : public SimTest {
  protected:
    ovel_canfd_driver* open_started() {
        adapter_ = &ovsim::add_adapter();
        ovel_canfd_driver* h = open_handle();
        EXPECT_EQ(ovel_canfd_start(h, 0), 0);
        return h;
    }

    static ovel_canfd_frame frame() {
        ovel_canfd_frame f{};
        f.id = 0x123;
        f.dlc = 1;
        return f;
    }

    ovsim::Adapter* adapter_ = nullptr;
};

TEST_F(EventHandling, InterruptedOrBriefFailuresDoNotEndIt) {
    ovel_canfd_driver* h = open_started();
    ovsim::fail_handle_events(LIBUSB_ERROR_INTERRUPTED, 50);
    ASSERT_TRUE(eventually([] { return ovsim::handle_events_failures() == 50; }));
    ovsim::fail_handle_events(LIBUSB_ERROR_IO, 3);
    ASSERT_TRUE(eventually([] { return ovsim::handle_events_failures() == 53; }));
    const ovel_canfd_frame f = frame();
    EXPECT_EQ(ovel_canfd_transmit(h, &f), 0) << last_error(h);
    EXPECT_EQ(ovel_canfd_set_bitrate(h, 0, 500'000), 0) << last_error(h);
}

TEST_F(EventHandling, LastingFailureEndsItAndReleasesAWaitingTransmit) {
    ovel_canfd_driver* h = open_started();
    adapter_->set_out_behaviour(ovsim::OutBehaviour::Ignore);
    int code = 0;
    std::string text;
    std::thread sender([&] {
        const ovel_canfd_frame f = frame();
        code = ovel_canfd_transmit(h, &f);
        text = last_error(h);
    });
    // 32 receive transfers and the transmit.
    ASSERT_TRUE(eventually([] { return ovsim::counters().transfers_in_flight == 33; }));
    ovsim::fail_handle_events(LIBUSB_ERROR_IO);
    sender.join();
    EXPECT_EQ(code, OVEL_CANFD_ERR_DEVICE);
    EXPECT_EQ(text, "failed to transmit frame: DeviceError(Libusb(\"send: event handling\", -1))");

    // The event thread ends rather than spin on the failure; the dispatch and receive recovery
    // threads stay.
    ASSERT_TRUE(eventually([] { return library_thread_count() == 2; }));
    const int failures = ovsim::handle_events_failures();
    EXPECT_LE(failures, 8);
    // Later calls fail at once, without submitting what nothing would complete.
    EXPECT_EQ(ovel_canfd_set_bitrate(h, 0, 500'000), OVEL_CANFD_ERR_DEVICE);
    EXPECT_EQ(last_error(h),
              "failed to set bit timing: "
              "DeviceError(Libusb(\"control_out: event handling\", -1))");
    const ovel_canfd_frame f = frame();
    EXPECT_EQ(ovel_canfd_transmit(h, &f), OVEL_CANFD_ERR_DEVICE);
    EXPECT_EQ(ovsim::counters().transfers_in_flight, 33);
    EXPECT_EQ(ovsim::handle_events_failures(), failures);

    // Close still cancels, drains what it can and releases everything.
    ovsim::fail_handle_events(0, 0);
    EXPECT_EQ(ovel_canfd_close(h), 0);
}

TEST_F(EventHandling, CloseDuringALastingFailureDropsWhatIsInFlight) {
    ovel_canfd_driver* h = open_started();
    adapter_->set_out_behaviour(ovsim::OutBehaviour::Ignore);
    std::thread sender([&] {
        const ovel_canfd_frame f = frame();
        EXPECT_EQ(ovel_canfd_transmit(h, &f), OVEL_CANFD_ERR_DEVICE);
    });
    ASSERT_TRUE(eventually([] { return ovsim::counters().transfers_in_flight == 33; }));
    ovsim::fail_handle_events(LIBUSB_ERROR_NO_MEM);
    sender.join();
    EXPECT_EQ(ovel_canfd_close(h), 0);
    const ovsim::Counters c = ovsim::counters();
    EXPECT_EQ(c.contexts, 0);
    EXPECT_EQ(c.transfers_allocated, 0);
    EXPECT_EQ(c.transfers_in_flight, 0);
    // Every transfer was cancelled first; the one libusb_close drops them as for a gone adapter.
    EXPECT_EQ(c.closed_with_transfers_in_flight, 0);
    EXPECT_EQ(c.closed_with_cancellations_pending, 1);
    ovsim::reset();  // those drops are expected here
}

}  // namespace
}  // namespace ovel::test
