// Queued sends: the window, echoes matched to sends, failures, flush and order.
#include <condition_variable>
#include <mutex>
#include <thread>

#include "sim_fixture.h"

namespace ovel::test {
namespace {

// The echoes (and other frames) a handler got, with the send id of their info record.
struct Echo {
    ovel_canfd_frame frame;
    std::uint32_t info_size;
    std::uint32_t send_id;
};

class Echoes {
  public:
    static void OVEL_CANFD_CALL handler(const ovel_canfd_frame* frame,
                                        const ovel_canfd_rx_info* info, void* user) {
        auto* self = static_cast<Echoes*>(user);
        std::lock_guard lock(self->mutex_);
        self->got_.push_back({*frame, info->size, info->send_id});
        self->changed_.notify_all();
    }
    bool wait_for(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return got_.size() >= count; });
    }
    std::vector<Echo> got() {
        std::lock_guard lock(mutex_);
        return got_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Echo> got_;
};

ovel_canfd_frame frame_on(std::uint8_t channel, std::uint8_t tag) {
    ovel_canfd_frame f{};
    f.channel = channel;
    f.id = 0x200u + channel;
    f.dlc = 8;
    f.data[0] = tag;
    return f;
}

std::vector<ovel_canfd_failed_send> take_failed(ovel_canfd_driver* h) {
    std::vector<ovel_canfd_failed_send> out(64);
    std::uint32_t count = 0;
    EXPECT_EQ(ovel_canfd_get_failed_sends(h, out.data(), 64, &count), 0);
    out.resize(count);
    return out;
}

ovel_canfd_stats stats_of(ovel_canfd_driver* h) {
    ovel_canfd_stats stats{};
    stats.size = sizeof stats;
    EXPECT_EQ(ovel_canfd_get_stats(h, &stats), 0);
    return stats;
}

class Send : public SimTest {
  protected:
    ovel_canfd_driver* start(const std::vector<std::uint8_t>& channels = {0}) {
        adapter_ = &ovsim::add_adapter();
        ovel_canfd_driver* h = new_handle();
        EXPECT_EQ(ovel_canfd_set_rx_handler(h, &Echoes::handler, &echoes_), 0);
        EXPECT_EQ(ovel_canfd_open(h), 0);
        for (const std::uint8_t channel : channels) {
            EXPECT_EQ(ovel_canfd_start(h, channel), 0) << last_error(h);
        }
        return h;
    }

    ovsim::Adapter* adapter_ = nullptr;
    Echoes echoes_;
};

TEST_F(Send, EchoesCarryTheSendIdsOfTheirFramesInOrderPerChannel) {
    ovel_canfd_driver* h = start({0, 1});
    std::vector<std::uint32_t> ids[2];
    for (int i = 0; i < 200; ++i) {
        const auto channel = static_cast<std::uint8_t>(i % 2);
        ovel_canfd_frame f = frame_on(channel, static_cast<std::uint8_t>(i));
        std::uint32_t id = 0;
        ASSERT_EQ(ovel_canfd_send(h, &f, 10'000, &id), 0) << last_error(h);
        ids[channel].push_back(id);
    }
    for (std::uint32_t i = 0; i < 200; ++i) {
        EXPECT_EQ(ids[i % 2][i / 2], i + 1);  // increasing by one per handle, from 1
    }
    ASSERT_EQ(ovel_canfd_flush(h, OVEL_CANFD_ALL_CHANNELS, 10'000), 0) << last_error(h);
    ASSERT_TRUE(echoes_.wait_for(200));
    std::size_t next[2] = {0, 0};
    for (const Echo& echo : echoes_.got()) {
        ASSERT_TRUE(echo.frame.echo);
        EXPECT_EQ(echo.info_size, sizeof(ovel_canfd_rx_info));
        const std::uint8_t channel = echo.frame.channel;
        ASSERT_LT(next[channel], ids[channel].size());
        EXPECT_EQ(echo.send_id, ids[channel][next[channel]]);
        EXPECT_EQ(echo.frame.data[0], static_cast<std::uint8_t>(echo.send_id - 1));
        ++next[channel];
    }
    const ovel_canfd_stats stats = stats_of(h);
    EXPECT_EQ(stats.size, sizeof stats);
    EXPECT_EQ(stats.send_queued, 200u);
    EXPECT_EQ(stats.send_echoed, 200u);
    EXPECT_EQ(stats.send_failed, 0u);
    // A transmitted frame's echo names no send.
    ovel_canfd_frame f = frame_on(0, 0xEE);
    ASSERT_EQ(ovel_canfd_transmit(h, &f), 0);
    ASSERT_TRUE(echoes_.wait_for(201));
    EXPECT_EQ(echoes_.got().back().send_id, 0u);
}

TEST_F(Send, AFullWindowWouldBlockOrWaitsForRoom) {
    ovel_canfd_driver* h = start();
    adapter_->set_acknowledged(false);  // frames stay in the adapter's 3-frame buffer
    ASSERT_EQ(ovel_canfd_set_send_window(h, 0, 3), 0);
    ovel_canfd_frame f = frame_on(0, 1);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(ovel_canfd_send(h, &f, 0, nullptr), 0) << last_error(h);
    }
    EXPECT_EQ(ovel_canfd_send(h, &f, 0, nullptr), OVEL_CANFD_ERR_BUSY);
    EXPECT_EQ(last_error(h), "failed to send frame: Busy(\"send window full\")");
    EXPECT_EQ(ovel_canfd_send(h, &f, 20, nullptr), OVEL_CANFD_ERR_TIMEOUT);
    EXPECT_EQ(last_error(h), "failed to send frame: Timeout");
    EXPECT_EQ(ovel_canfd_flush(h, 0, 20), OVEL_CANFD_ERR_TIMEOUT);
    EXPECT_EQ(last_error(h), "failed to flush: Timeout");
    EXPECT_EQ(ovel_canfd_flush(h, 1, 0), 0);  // nothing in flight there
    EXPECT_EQ(echoes_.got().size(), 0u);

    // A sender waiting for room goes on once echoes free the window.
    std::uint32_t waited_id = 0;
    std::int32_t waited = 1;
    std::thread sender([&] { waited = ovel_canfd_send(h, &f, 10'000, &waited_id); });
    adapter_->set_acknowledged(true);
    sender.join();
    EXPECT_EQ(waited, 0);
    EXPECT_EQ(waited_id, 4u);  // refused attempts take no id
    ASSERT_EQ(ovel_canfd_flush(h, OVEL_CANFD_ALL_CHANNELS, 10'000), 0);
    ASSERT_TRUE(echoes_.wait_for(4));
    EXPECT_EQ(stats_of(h).send_echoed, 4u);
    EXPECT_TRUE(take_failed(h).empty());

    // One echo with the rest stalled: the one free place serves a waiting sender.
    adapter_->set_acknowledged(false);
    ASSERT_EQ(ovel_canfd_set_send_window(h, 0, 4), 0);
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(ovel_canfd_send(h, &f, 0, nullptr), 0) << last_error(h);
    }
    std::thread late([&] { waited = ovel_canfd_send(h, &f, 60'000, &waited_id); });
    ovsim::FrameSpec first_echo;
    first_echo.echo_id = 0x80000000u + 5;  // the echo of send 5, the oldest in flight
    first_echo.can_id = f.id;
    first_echo.dlc = 8;
    adapter_->feed_frame(first_echo);
    late.join();
    EXPECT_EQ(waited, 0) << last_error(h);
    EXPECT_EQ(waited_id, 9u);
}

TEST_F(Send, WithoutAcknowledgeStopReportsEachFrameInFlightOnce) {
    ovel_canfd_driver* h = start();
    adapter_->set_acknowledged(false);
    ASSERT_EQ(ovel_canfd_set_send_window(h, 0, 3), 0);
    ovel_canfd_frame f = frame_on(0, 1);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(ovel_canfd_send(h, &f, 0, nullptr), 0);
    }
    EXPECT_EQ(ovel_canfd_flush(h, 0, 20), OVEL_CANFD_ERR_TIMEOUT);
    ASSERT_EQ(ovel_canfd_stop(h, 0), 0);
    EXPECT_EQ(ovel_canfd_flush(h, 0, 0), 0);
    const auto failed = take_failed(h);
    ASSERT_EQ(failed.size(), 3u);
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(failed[i].send_id, i + 1);
        EXPECT_EQ(failed[i].channel, 0);
        EXPECT_EQ(failed[i].reason, OVEL_CANFD_SEND_FAILED_STOPPED);
    }
    EXPECT_TRUE(take_failed(h).empty());
    EXPECT_EQ(stats_of(h).send_failed, 3u);

    // Started again with a bus that answers: the next send is echoed. A late or repeated echo
    // in the queued range matches nothing and is dropped.
    adapter_->set_acknowledged(true);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    std::uint32_t id = 0;
    ASSERT_EQ(ovel_canfd_send(h, &f, 0, &id), 0);
    ASSERT_EQ(ovel_canfd_flush(h, 0, 10'000), 0);
    ASSERT_TRUE(echoes_.wait_for(1));
    for (const std::uint32_t echo_id : {0x80000000u + id, 0x80000000u + 2, 0x80001234u}) {
        ovsim::FrameSpec echo;
        echo.echo_id = echo_id;
        echo.can_id = 0x200;
        echo.dlc = 8;
        adapter_->feed_frame(echo);
    }
    ovsim::FrameSpec received;
    received.can_id = 0x7;
    adapter_->feed_frame(received);
    ASSERT_TRUE(echoes_.wait_for(2));
    const auto got = echoes_.got();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].send_id, id);
    EXPECT_EQ(got[1].frame.id, 0x7u);
    EXPECT_EQ(stats_of(h).send_echoes_unmatched, 3u);
    EXPECT_TRUE(take_failed(h).empty());
}

TEST_F(Send, UnplugAndCloseReportEveryFrameInFlight) {
    ovsim::set_time_scale(10.0);  // the NAKed transfers must not time out meanwhile
    ovel_canfd_driver* h = start({0, 1});
    adapter_->set_acknowledged(false);
    ovel_canfd_frame f = frame_on(0, 1);
    for (int i = 0; i < 5; ++i) {  // 3 in the adapter's buffer, 2 NAKed
        ASSERT_EQ(ovel_canfd_send(h, &f, 0, nullptr), 0);
    }
    ASSERT_TRUE(eventually([&] { return adapter_->out_transfers_waiting() == 2; }));
    ASSERT_EQ(ovel_canfd_close(h), 0);
    auto failed = take_failed(h);
    ASSERT_EQ(failed.size(), 5u);
    for (std::uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(failed[i].send_id, i + 1);
        EXPECT_EQ(failed[i].reason, OVEL_CANFD_SEND_FAILED_CLOSED);
    }

    ASSERT_EQ(ovel_canfd_open(h), 0);
    ASSERT_EQ(ovel_canfd_start(h, 1), 0);
    ovel_canfd_frame g = frame_on(1, 2);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(ovel_canfd_send(h, &g, 0, nullptr), 0);
    }
    ASSERT_TRUE(eventually([&] { return adapter_->out_transfers_waiting() == 2; }));
    adapter_->unplug();
    ASSERT_TRUE(eventually([&] { return stats_of(h).send_failed == 10; }));
    failed = take_failed(h);
    ASSERT_EQ(failed.size(), 5u);
    for (std::uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(failed[i].send_id, i + 6);
        EXPECT_EQ(failed[i].channel, 1);
        EXPECT_EQ(failed[i].reason, OVEL_CANFD_SEND_FAILED_UNPLUGGED);
    }
    EXPECT_NE(ovel_canfd_send(h, &g, 0, nullptr), 0);
    ASSERT_EQ(ovel_canfd_close(h), 0);
    EXPECT_TRUE(take_failed(h).empty());
}

TEST_F(Send, TransmitGoesOutBehindTheQueuedFramesOfItsChannel) {
    ovsim::set_time_scale(10.0);  // the transmit waits behind NAKed frames
    ovel_canfd_driver* h = start();
    adapter_->set_acknowledged(false);
    for (std::uint8_t i = 0; i < 5; ++i) {
        ovel_canfd_frame f = frame_on(0, i);
        ASSERT_EQ(ovel_canfd_send(h, &f, 0, nullptr), 0);
    }
    std::int32_t transmitted = 1;
    std::thread transmitter([&] {
        ovel_canfd_frame f = frame_on(0, 5);
        transmitted = ovel_canfd_transmit(h, &f);
    });
    ASSERT_TRUE(eventually([&] { return adapter_->out_transfers_waiting() == 3; }));
    adapter_->set_acknowledged(true);
    transmitter.join();
    EXPECT_EQ(transmitted, 0);
    ovel_canfd_frame f = frame_on(0, 6);
    ASSERT_EQ(ovel_canfd_send(h, &f, 0, nullptr), 0);
    ASSERT_TRUE(echoes_.wait_for(7));
    const auto got = echoes_.got();
    for (std::uint8_t i = 0; i < 7; ++i) {
        EXPECT_EQ(got[i].frame.data[0], i);
        EXPECT_EQ(got[i].send_id, i == 5 ? 0u : (i < 5 ? i + 1u : 6u));
    }
    const auto out = adapter_->out_frames();
    ASSERT_EQ(out.size(), 7u);
    for (std::uint8_t i = 0; i < 7; ++i) {
        EXPECT_EQ(out[i][12], i);
    }
}

TEST_F(Send, BadInputIsRefusedWithACodeAndAText) {
    ovel_canfd_driver* closed = new_handle();
    ovel_canfd_frame f = frame_on(0, 1);
    EXPECT_EQ(ovel_canfd_send(closed, &f, 0, nullptr), OVEL_CANFD_NO_DEVICE);
    EXPECT_EQ(ovel_canfd_flush(closed, 0, 0), OVEL_CANFD_NO_DEVICE);
    EXPECT_EQ(ovel_canfd_send(nullptr, &f, 0, nullptr), OVEL_CANFD_NO_DEVICE);
    std::uint32_t count = 7;
    EXPECT_EQ(ovel_canfd_get_failed_sends(closed, nullptr, 0, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(ovel_canfd_get_failed_sends(closed, nullptr, 1, &count),
              OVEL_CANFD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(ovel_canfd_get_failed_sends(closed, nullptr, 0, nullptr),
              OVEL_CANFD_ERR_INVALID_ARGUMENT);

    ovel_canfd_driver* h = start();
    EXPECT_EQ(ovel_canfd_set_send_window(h, 0, 0), OVEL_CANFD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(last_error(h), "failed to set send window: InvalidArgument(\"frames: 1 to 32\")");
    EXPECT_EQ(ovel_canfd_set_send_window(h, 0, 33), OVEL_CANFD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(ovel_canfd_set_send_window(h, 0, 32), 0);
    EXPECT_EQ(ovel_canfd_set_send_window(h, 2, 5), OVEL_CANFD_ERR_INVALID_CHANNEL);
    EXPECT_EQ(ovel_canfd_flush(h, 2, 0), OVEL_CANFD_ERR_INVALID_CHANNEL);
    EXPECT_EQ(ovel_canfd_flush(h, -2, 0), OVEL_CANFD_ERR_INVALID_CHANNEL);

    EXPECT_EQ(ovel_canfd_send(h, nullptr, 0, nullptr), OVEL_CANFD_ERR_INVALID_FRAME);
    EXPECT_EQ(last_error(h), "failed to send frame: InvalidFrame(\"frame\")");
    ovel_canfd_frame bad = frame_on(0, 1);
    bad.id = 0x800;
    EXPECT_EQ(ovel_canfd_send(h, &bad, 0, nullptr), OVEL_CANFD_ERR_INVALID_FRAME);
    bad = frame_on(2, 1);
    EXPECT_EQ(ovel_canfd_send(h, &bad, 0, nullptr), OVEL_CANFD_ERR_INVALID_CHANNEL);
    // Channel 1 is not started: no echo would ever come for it.
    ovel_canfd_frame other = frame_on(1, 1);
    EXPECT_EQ(ovel_canfd_send(h, &other, 0, nullptr), OVEL_CANFD_ERR_NOT_RUNNING);
    EXPECT_EQ(last_error(h), "failed to send frame: NotRunning");
    // Nor is a disabled channel, though started.
    ASSERT_EQ(ovel_canfd_set_enabled(h, 1, false), 0);
    ASSERT_EQ(ovel_canfd_start(h, 1), 0);
    EXPECT_EQ(ovel_canfd_send(h, &other, 0, nullptr), OVEL_CANFD_ERR_NOT_RUNNING);
    EXPECT_TRUE(adapter_->out_frames().empty());
    ASSERT_EQ(ovel_canfd_send(h, &f, 0, nullptr), 0);  // send_id may be NULL
    EXPECT_EQ(ovel_canfd_flush(h, 0, 10'000), 0);
}

}  // namespace
}  // namespace ovel::test
