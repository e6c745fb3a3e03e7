// A simulated adapter whose frames go to the process-wide collector (collect_1), with the
// collector emptied before and after each test.
#pragma once

#include "frame_collector.h"
#include "sim_fixture.h"

namespace ovel::test {

class CollectingSimTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        FrameCollector::instance().reset();
    }
    void TearDown() override {
        SimTest::TearDown();
        FrameCollector::instance().reset();
    }

    // A two-channel adapter (CAN FD unless `config` says otherwise) opened with collect_1
    // registered.
    ovel_canfd_driver* open_adapter(const ovsim::AdapterSpec& config = {}) {
        adapter_ = &ovsim::add_adapter(config);
        ovel_canfd_driver* h = new_handle();
        EXPECT_EQ(ovel_canfd_set_rx_callback(h, &collect_1), 0);
        EXPECT_EQ(ovel_canfd_open(h), 0);
        return h;
    }

    // The same with channel 0 started and all 32 receive transfers waiting.
    ovel_canfd_driver* start_adapter() {
        ovel_canfd_driver* h = open_adapter();
        EXPECT_EQ(ovel_canfd_start(h, 0), 0);
        EXPECT_TRUE(all_transfers_waiting());
        return h;
    }

    static FrameCollector& collector() { return FrameCollector::instance(); }

    bool all_transfers_waiting() {
        return eventually([&] { return adapter_->in_transfers_pending() == 32; });
    }

    ovsim::Adapter* adapter_ = nullptr;
};

}  // namespace ovel::test
