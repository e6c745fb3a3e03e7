// Receiving through the callback and transmitting, against the simulated adapter.
#include <atomic>

#include "capi/driver.h"
#include "collecting_fixture.h"

namespace ovel::test {
namespace {

ovsim::FrameSpec numbered(std::uint8_t channel, std::uint32_t sequence, bool fd = false) {
    ovsim::FrameSpec f;
    f.channel = channel;
    f.can_id = 0x100u + channel;
    f.dlc = fd ? 15 : 8;
    f.flags = fd ? ovsim::FRAME_FLAG_FD : 0;
    f.data.resize(fd ? 64 : 8);
    for (std::size_t i = 0; i < f.data.size(); ++i) {
        f.data[i] = static_cast<std::uint8_t>(i * 7 + sequence);
    }
    for (int i = 0; i < 4; ++i) {
        f.data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(sequence >> (8 * i));
    }
    return f;
}

ovel_canfd_frame record(std::uint8_t channel, std::uint32_t id, std::uint8_t dlc, bool fd = false) {
    ovel_canfd_frame f{};
    f.channel = channel;
    f.id = id;
    f.dlc = dlc;
    f.fd = fd;
    for (int i = 0; i < 64; ++i) {
        f.data[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    return f;
}

using Frames = CollectingSimTest;

TEST_F(Frames, TwoInterleavedChannelsArriveInOrderWithTheirBytes) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_EQ(ovel_canfd_start(h, 1), 0);
    constexpr std::uint32_t count = 2000;
    for (std::uint32_t i = 0; i < count; ++i) {
        adapter_->feed_frame(numbered(static_cast<std::uint8_t>(i % 2), i, i % 3 == 0));
    }
    ASSERT_TRUE(collector().wait_for(count));
    const auto frames = collector().frames();
    ASSERT_EQ(frames.size(), count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const ovsim::FrameSpec sent = numbered(static_cast<std::uint8_t>(i % 2), i, i % 3 == 0);
        const ovel_canfd_frame& got = frames[i].record;
        ASSERT_EQ(sequence_of(got), i);
        EXPECT_EQ(got.channel, sent.channel);
        EXPECT_EQ(got.id, sent.can_id);
        EXPECT_EQ(got.dlc, sent.dlc);
        EXPECT_EQ(got.fd, i % 3 == 0);
        EXPECT_TRUE(std::equal(sent.data.begin(), sent.data.end(), got.data)) << i;
        EXPECT_FALSE(got.echo);
    }
}

struct HeaderCase {
    std::uint32_t echo_id, can_id;
    std::uint8_t flags;
    std::uint32_t id;
    bool extended, rtr, err, fd, brs, esi, echo;
};

TEST_F(Frames, HeaderBitsMapToTheRecordAsExactBooleans) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    const std::vector<HeaderCase> cases = {
        {0xFFFFFFFF, 0x80000123, 0x00, 0x123, true, false, false, false, false, false, false},
        {0xFFFFFFFF, 0xE0000123, 0x00, 0x123, true, true, true, false, false, false, false},
        {0xFFFFFFFF, 0x1FFFFFFF, 0x06, 0x1FFFFFFF, false, false, false, true, true, false, false},
        {0xFFFFFFFF, 0x00000123, 0x0E, 0x123, false, false, false, true, true, true, false},
        {0xFFFFFFFF, 0x00000123, 0xF1, 0x123, false, false, false, false, false, false, false},
        {1, 0x7FF, 0x00, 0x7FF, false, false, false, false, false, false, true},
        {0, 0x7FF, 0x00, 0x7FF, false, false, false, false, false, false, true},
    };
    for (const HeaderCase& c : cases) {
        ovsim::FrameSpec f;
        f.echo_id = c.echo_id;
        f.can_id = c.can_id;
        f.flags = c.flags;
        f.dlc = 8;
        f.wire_length = (c.flags & 0x02) ? 76 : 20;
        adapter_->feed_frame(f);
    }
    ASSERT_TRUE(collector().wait_for(cases.size()));
    const auto frames = collector().frames();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const HeaderCase& c = cases[i];
        const auto& raw = frames[i].raw;
        EXPECT_EQ(frames[i].record.id, c.id) << i;
        EXPECT_EQ(raw[73], c.extended) << i;
        EXPECT_EQ(raw[74], c.fd) << i;
        EXPECT_EQ(raw[75], c.brs) << i;
        EXPECT_EQ(raw[76], c.esi) << i;
        EXPECT_EQ(raw[77], c.echo) << i;
        EXPECT_EQ(raw[78], c.rtr) << i;
        EXPECT_EQ(raw[79], c.err) << i;
    }
}

// A transfer that delivered less than a whole frame would otherwise surface stale bytes.
TEST_F(Frames, IncompleteTransfersAreNotDelivered) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    auto with_length = [](std::uint32_t seq, bool fd, int length) {
        ovsim::FrameSpec f = numbered(0, seq, fd);
        f.wire_length = length;
        return f;
    };
    adapter_->feed_frame(with_length(1, false, 19));
    adapter_->feed_frame(with_length(2, false, 20));
    adapter_->feed_frame(with_length(3, true, 75));
    adapter_->feed_frame(with_length(4, false, 24));
    adapter_->feed_frame(with_length(5, true, 76));
    adapter_->feed_frame(with_length(6, true, 80));
    adapter_->feed({});
    adapter_->feed_frame(with_length(7, false, 20));
    ASSERT_TRUE(collector().wait_for(5));
    ASSERT_EQ(ovel_canfd_stop(h, 0), 0);
    std::vector<std::uint32_t> sequences;
    for (const auto& f : collector().frames()) {
        sequences.push_back(sequence_of(f.record));
    }
    EXPECT_EQ(sequences, (std::vector<std::uint32_t>{2, 4, 5, 6, 7}));
}

// A quiet bus costs no transfer, and a frame whose packets the adapter sends far apart (a full-
// speed FD frame is two) arrives whole: receive transfers have no time-out to cut it.
TEST_F(Frames, ASilentBusCostsNothingAndAFrameSplitBetweenPacketsArrivesWhole) {
    ovel_canfd_driver* h = start_adapter();
    adapter_->set_link_timing(ovsim::LinkTiming::FullSpeed);
    const std::uint64_t submitted = adapter_->in_submissions();
    // Time-outs are scaled to 2 % here: this is several times a 5 s time-out.
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    EXPECT_EQ(adapter_->in_submissions(), submitted) << "transfers ended and were resubmitted";
    EXPECT_EQ(adapter_->in_transfers_pending(), 32);

    adapter_->feed_split(numbered(0, 42, true), std::chrono::milliseconds(250));
    adapter_->feed_frame(numbered(0, 43));
    ASSERT_TRUE(collector().wait_for(2));
    const auto frames = collector().frames();
    const ovsim::FrameSpec sent = numbered(0, 42, true);
    EXPECT_EQ(sequence_of(frames[0].record), 42u);
    EXPECT_TRUE(frames[0].record.fd);
    EXPECT_TRUE(std::equal(sent.data.begin(), sent.data.end(), frames[0].record.data));
    EXPECT_EQ(sequence_of(frames[1].record), 43u);
    EXPECT_EQ(h->device->rx_health().dropped_short, 0u);
}

TEST_F(Frames, FurtherStartsAndStopsKeepStreamingForTheOtherChannels) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_TRUE(eventually([&] { return adapter_->in_transfers_pending() == 32; }));
    ASSERT_EQ(ovel_canfd_start(h, 1), 0);
    ASSERT_EQ(ovel_canfd_stop(h, 0), 0);
    EXPECT_EQ(adapter_->in_transfers_pending(), 32) << "nothing submitted or cancelled";
    adapter_->feed_frame(numbered(1, 9));
    ASSERT_TRUE(collector().wait_for(1));
    ASSERT_EQ(ovel_canfd_stop(h, 1), 0);
    EXPECT_EQ(adapter_->in_transfers_pending(), 0);
    EXPECT_EQ(h->device->rx_transfers_in_flight(), 0);
}

// stop from inside the callback must not wait for its own thread; what was queued then
// is delivered after the next start, ahead of newer frames.
TEST_F(Frames, FramesQueuedAtStopComeFirstAfterTheNextStart) {
    ovel_canfd_driver* h = open_adapter();
    std::atomic<bool> stopped{false};
    collector().set_hook([&](const ovel_canfd_frame& f) {
        if (sequence_of(f) == 0) {
            // Let the adapter hand over the other frames before the stop cancels everything.
            EXPECT_TRUE(eventually([&] { return adapter_->frames_waiting() == 0; }));
            EXPECT_EQ(ovel_canfd_stop(h, 0), 0);
            stopped = true;
        }
    });
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    for (std::uint32_t i = 0; i < 4; ++i) {
        adapter_->feed_frame(numbered(0, i));
    }
    ASSERT_TRUE(eventually([&] { return stopped.load(); }));
    // The hook runs before the collector records the frame.
    EXPECT_TRUE(eventually([&] { return collector().size() == 1; }));
    ASSERT_EQ(ovel_canfd_set_rx_callback(h, &collect_2), 0);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    adapter_->feed_frame(numbered(0, 4));
    ASSERT_TRUE(collector().wait_for(5));
    const auto frames = collector().frames();
    for (std::uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(sequence_of(frames[i].record), i);
        EXPECT_EQ(frames[i].callback, i == 0 ? 1 : 2);
    }
}

TEST_F(Frames, NewCallbackTakesEffectOnlyAfterAFullStopAndStart) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_EQ(ovel_canfd_set_rx_callback(h, &collect_2), 0);
    adapter_->feed_frame(numbered(0, 0));
    ASSERT_TRUE(collector().wait_for(1));
    ASSERT_EQ(ovel_canfd_start(h, 1), 0);
    ASSERT_EQ(ovel_canfd_stop(h, 0), 0);
    adapter_->feed_frame(numbered(1, 1));
    ASSERT_TRUE(collector().wait_for(2));
    ASSERT_EQ(ovel_canfd_stop(h, 1), 0);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    adapter_->feed_frame(numbered(0, 2));
    ASSERT_TRUE(collector().wait_for(3));
    const auto frames = collector().frames();
    EXPECT_EQ(frames[0].callback, 1);
    EXPECT_EQ(frames[1].callback, 1);
    EXPECT_EQ(frames[2].callback, 2);
}

TEST_F(Frames, WithoutACallbackFramesAreTakenAndDropped) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_set_rx_callback(h, nullptr), 0);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    for (std::uint32_t i = 0; i < 500; ++i) {
        adapter_->feed_frame(numbered(0, i));
    }
    ASSERT_TRUE(eventually([&] { return adapter_->frames_waiting() == 0; }));
    EXPECT_TRUE(eventually([&] { return h->device->rx_queue_size() == 0; }));
    EXPECT_EQ(collector().size(), 0u);
}

TEST_F(Frames, TransmitBeforeStartFailsAndSendsNothing) {
    ovel_canfd_driver* h = open_adapter();
    const ovel_canfd_frame f = record(0, 0x123, 8);
    EXPECT_EQ(ovel_canfd_transmit(h, &f), OVEL_CANFD_ERR_NOT_RUNNING);
    EXPECT_EQ(last_error(h), "failed to transmit frame: NotRunning");
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_EQ(ovel_canfd_stop(h, 0), 0);
    EXPECT_EQ(ovel_canfd_transmit(h, &f), OVEL_CANFD_ERR_NOT_RUNNING);
    EXPECT_TRUE(adapter_->out_frames().empty());
    ovel_canfd_driver* empty = new_handle();
    EXPECT_EQ(ovel_canfd_transmit(empty, nullptr), -1);
}

TEST_F(Frames, TransmittedFramesGoOutByteExactAndComeBackAsEchoes) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ovel_canfd_frame classic = record(0, 0x123, 8);
    classic.echo = true;  // ignored on transmit
    ovel_canfd_frame fd = record(0, 0x1ABCDEF0, 15, true);
    fd.extended = true;
    fd.brs = true;
    ASSERT_EQ(ovel_canfd_transmit(h, &classic), 0) << last_error(h);
    ASSERT_EQ(ovel_canfd_transmit(h, &fd), 0) << last_error(h);
    const auto out = adapter_->out_frames();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], bytes({1, 0, 0,    0,    0x23, 0x01, 0,    0,    8,    0,
                             0, 0, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}));
    ASSERT_EQ(out[1].size(), 76u);
    EXPECT_EQ(std::vector<std::uint8_t>(out[1].begin(), out[1].begin() + 12),
              bytes({1, 0, 0, 0, 0xF0, 0xDE, 0xBC, 0x9A, 15, 0, 0x06, 0}));
    EXPECT_TRUE(std::equal(out[1].begin() + 12, out[1].end(), fd.data));

    ASSERT_TRUE(collector().wait_for(2));
    const auto echoes = collector().frames();
    EXPECT_TRUE(echoes[0].record.echo);
    EXPECT_EQ(echoes[0].record.id, 0x123u);
    EXPECT_TRUE(std::equal(classic.data, classic.data + 8, echoes[0].record.data));
    EXPECT_TRUE(echoes[1].record.echo);
    EXPECT_TRUE(echoes[1].record.extended);
    EXPECT_TRUE(echoes[1].record.fd);
    EXPECT_TRUE(echoes[1].record.brs);
    EXPECT_EQ(echoes[1].record.id, 0x1ABCDEF0u);
    EXPECT_TRUE(std::equal(fd.data, fd.data + 64, echoes[1].record.data));
}

TEST_F(Frames, AnyStartedChannelLetsEveryValidChannelTransmit) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    const ovel_canfd_frame on_1 = record(1, 0x7FF, 0);
    ASSERT_EQ(ovel_canfd_transmit(h, &on_1), 0);
    ASSERT_EQ(adapter_->out_frames().size(), 1u);
    EXPECT_EQ(adapter_->out_frames()[0][9], 1);
}

TEST_F(Frames, RecordsThatWouldChangeMeaningOnTheWireAreRefused) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    const ovel_canfd_frame bad_channel = record(2, 0x123, 8);
    EXPECT_EQ(ovel_canfd_transmit(h, &bad_channel), OVEL_CANFD_ERR_INVALID_CHANNEL);
    EXPECT_EQ(last_error(h), "failed to transmit frame: InvalidChannel");
    const ovel_canfd_frame bad_id = record(0, 0x20000000, 8);
    EXPECT_EQ(ovel_canfd_transmit(h, &bad_id), OVEL_CANFD_ERR_INVALID_FRAME);
    EXPECT_EQ(last_error(h), "failed to transmit frame: InvalidFrame(\"id\")");
    const ovel_canfd_frame bad_dlc = record(0, 0x123, 16);
    EXPECT_EQ(ovel_canfd_transmit(h, &bad_dlc), OVEL_CANFD_ERR_INVALID_FRAME);
    EXPECT_EQ(last_error(h), "failed to transmit frame: InvalidFrame(\"dlc\")");
    EXPECT_EQ(ovel_canfd_transmit(h, nullptr), OVEL_CANFD_ERR_INVALID_FRAME);
    EXPECT_EQ(last_error(h), "failed to transmit frame: InvalidFrame(\"frame\")");
    ovel_canfd_frame remote_fd = record(0, 0x123, 8, true);
    remote_fd.rtr = true;
    EXPECT_EQ(ovel_canfd_transmit(h, &remote_fd), OVEL_CANFD_ERR_INVALID_FRAME);
    EXPECT_EQ(last_error(h),
              "failed to transmit frame: InvalidFrame(\"rtr: CAN FD has no remote frames\")");
    EXPECT_TRUE(adapter_->out_frames().empty());
}

// A classic adapter parses only the 20-byte host frame: a DLC above 8 goes in it with 8 data
// bytes, as Linux sends it on a classic interface, and an FD frame is refused, not lost.
TEST_F(Frames, AnAdapterWithoutFdGetsOnlyFramesItCanParse) {
    ovel_canfd_driver* h = open_adapter({.features = 0x3});
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    const ovel_canfd_frame long_dlc = record(0, 0x123, 12);
    ASSERT_EQ(ovel_canfd_transmit(h, &long_dlc), 0) << last_error(h);
    ovel_canfd_frame fd = record(0, 0x124, 15, true);
    EXPECT_EQ(ovel_canfd_transmit(h, &fd), OVEL_CANFD_ERR_INVALID_FRAME);
    EXPECT_EQ(last_error(h),
              "failed to transmit frame: InvalidFrame(\"fd: the adapter has no CAN FD\")");
    ovel_canfd_frame flagged = record(0, 0x125, 8);
    flagged.brs = flagged.esi = true;  // meaningless without fd
    ASSERT_EQ(ovel_canfd_transmit(h, &flagged), 0) << last_error(h);

    const auto out = adapter_->out_frames();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], bytes({1, 0, 0,    0,    0x23, 0x01, 0,    0,    12,   0,
                             0, 0, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}));
    ASSERT_EQ(out[1].size(), 20u);
    EXPECT_EQ(out[1][10], 0) << "no flags on a classic frame";
    EXPECT_EQ(adapter_->out_frames_unparsed(), 0);
    ASSERT_TRUE(collector().wait_for(2));
    const auto echoes = collector().frames();
    EXPECT_EQ(echoes[0].record.dlc, 12);
    EXPECT_FALSE(echoes[0].record.fd);
    EXPECT_TRUE(std::equal(long_dlc.data, long_dlc.data + 8, echoes[0].record.data));
    EXPECT_EQ(echoes[1].record.id, 0x125u);
}

TEST_F(Frames, AnyNonzeroBoolByteInARecordCountsAsTrue) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ovel_canfd_frame f = record(0, 0x123, 8);
    auto* raw = reinterpret_cast<unsigned char*>(&f);
    raw[73] = 0x80;  // extended
    raw[74] = 0x02;  // fd
    raw[79] = 0xFF;  // err
    ASSERT_EQ(ovel_canfd_transmit(h, &f), 0);
    const auto out = adapter_->out_frames();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].size(), 76u);
    EXPECT_EQ(out[0][7], 0xA0);  // extended | err
    EXPECT_EQ(out[0][10], 0x02);
}

TEST_F(Frames, TransmitFailuresAreReportedAndTheNextTransmitWorks) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    const ovel_canfd_frame f = record(0, 0x123, 8);

    adapter_->set_out_behaviour(ovsim::OutBehaviour::Ignore);
    EXPECT_EQ(ovel_canfd_transmit(h, &f), OVEL_CANFD_ERR_TIMEOUT);
    EXPECT_EQ(last_error(h), "failed to transmit frame: Timeout");

    adapter_->set_out_behaviour(ovsim::OutBehaviour::Stall);
    EXPECT_EQ(ovel_canfd_transmit(h, &f), OVEL_CANFD_ERR_DEVICE);
    EXPECT_EQ(last_error(h),
              "failed to transmit frame: DeviceError(Libusb(\"send: transfer\", -9))");

    adapter_->set_out_behaviour(ovsim::OutBehaviour::Take);
    adapter_->refuse_submissions(ovsim::ENDPOINT_BULK_OUT, LIBUSB_ERROR_NO_DEVICE, 1);
    EXPECT_EQ(ovel_canfd_transmit(h, &f), OVEL_CANFD_ERR_DEVICE);
    EXPECT_EQ(
        last_error(h),
        "failed to transmit frame: DeviceError(Libusb(\"send: libusb_submit_transfer\", -4))");
    adapter_->clear_out_frames();
    EXPECT_EQ(ovel_canfd_transmit(h, &f), 0);
    EXPECT_EQ(adapter_->out_frames().size(), 1u);
}

TEST_F(Frames, BackToBackTransmitsLeaveInOrder) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    constexpr std::uint32_t count = 1000;
    for (std::uint32_t i = 0; i < count; ++i) {
        ovel_canfd_frame f = record(0, i & 0x7FF, 8);
        std::memcpy(f.data, &i, 4);
        ASSERT_EQ(ovel_canfd_transmit(h, &f), 0) << i;
    }
    const auto out = adapter_->out_frames();
    ASSERT_EQ(out.size(), count);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t seq = 0;
        std::memcpy(&seq, out[i].data() + 12, 4);
        ASSERT_EQ(seq, i);
    }
    ASSERT_TRUE(collector().wait_for(count));
}

TEST_F(Frames, StopWhileStreamingAtFullRateStopsTheCallbacksBeforeItReturns) {
    ovel_canfd_driver* h = open_adapter();
    adapter_->start_stream(ovsim::StreamSpec{});
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_TRUE(collector().wait_for(1000));
    ASSERT_EQ(ovel_canfd_stop(h, 0), 0);
    const std::size_t delivered = collector().size();
    EXPECT_EQ(h->device->rx_transfers_in_flight(), 0);
    const std::uint64_t streamed = adapter_->streamed();
    adapter_->stop_stream();
    EXPECT_EQ(collector().size(), delivered) << "no callback after stop returned";
    EXPECT_EQ(delivered + h->device->rx_queue_size(), streamed)
        << "every frame delivered or queued";
}

// Traffic keeps the event and dispatch threads polling for a moment; a quiet bus must put both
// back to sleep (the event thread blocked in libusb, the dispatch thread in its pop), or an idle
// application would burn a core.
TEST_F(Frames, BothThreadsSleepAgainOnceTrafficStops) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_EQ(ovel_canfd_start(h, 1), 0);
    const auto both_asleep = [&] {
        return ovsim::counters().threads_blocked_in_handle_events == 1 &&
               h->device->rx_consumer_sleeping();
    };
    ASSERT_TRUE(eventually(both_asleep));

    adapter_->start_stream(ovsim::StreamSpec{.count = 5000, .channels = {0, 1}});
    ASSERT_TRUE(collector().wait_for(5000));
    EXPECT_TRUE(eventually(both_asleep)) << "after receiving";

    for (std::uint32_t i = 0; i < 200; ++i) {
        ovel_canfd_frame f = record(i % 2, 0x100, 8);
        ASSERT_EQ(ovel_canfd_transmit(h, &f), 0) << i;
    }
    ASSERT_TRUE(collector().wait_for(5200)) << "every echo delivered";
    EXPECT_TRUE(eventually(both_asleep)) << "after transmitting";
}

// A transfer's buffer keeps the bytes of the longer frame it held before; they must not reach
// the record. Records the header rules out (a DLC above 15, a channel the adapter lacks) are
// dropped.
TEST_F(Frames, ReceivedRecordsCarryOnlyWhatTheAdapterSent) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_TRUE(eventually([&] { return adapter_->in_transfers_pending() == 32; }));
    // 33 frames for 32 transfers: the last one lands in the buffer of the first, an FD frame.
    adapter_->feed_frame(numbered(0, 0, true));
    for (std::uint32_t i = 1; i <= 32; ++i) {
        adapter_->feed_frame(numbered(0, i));
    }
    ovsim::FrameSpec bad_dlc = numbered(0, 100);
    bad_dlc.dlc = 16;
    adapter_->feed_frame(bad_dlc);
    adapter_->feed_frame(numbered(2, 101));  // the adapter has channels 0 and 1
    adapter_->feed_frame(numbered(1, 33));
    ASSERT_TRUE(collector().wait_for(34));
    const auto frames = collector().frames();
    ASSERT_EQ(frames.size(), 34u);
    const ovel_canfd_frame& classic = frames[32].record;
    ASSERT_EQ(sequence_of(classic), 32u);
    EXPECT_FALSE(classic.fd);
    EXPECT_EQ(classic.dlc, 8);
    const ovsim::FrameSpec sent = numbered(0, 32);
    EXPECT_TRUE(std::equal(sent.data.begin(), sent.data.end(), classic.data));
    EXPECT_TRUE(std::all_of(classic.data + 8, classic.data + 64, [](auto b) { return b == 0; }));
    EXPECT_EQ(sequence_of(frames[33].record), 33u) << "the two bad records were dropped";
}

// libusb may hand back a transfer that timed out with its data: a whole frame in it counts.
TEST_F(Frames, AWholeFrameThatArrivesWithATimeOutIsDelivered) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_TRUE(eventually([&] { return adapter_->in_transfers_pending() == 32; }));
    // Echo id 0xFFFFFFFF, id 0x100, DLC 8, channel 0, then 8 data bytes: sequence 9.
    std::vector<std::uint8_t> wire = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x01, 0, 0, 8, 0,
                                      0,    0,    9,    0,    0,    0,    0, 0, 0, 0};
    adapter_->feed_with_status(wire, LIBUSB_TRANSFER_TIMED_OUT);
    wire.resize(12);  // header only: not a frame
    adapter_->feed_with_status(wire, LIBUSB_TRANSFER_TIMED_OUT);
    adapter_->feed_frame(numbered(0, 10));
    ASSERT_TRUE(collector().wait_for(2));
    const auto frames = collector().frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(sequence_of(frames[0].record), 9u);
    EXPECT_EQ(sequence_of(frames[1].record), 10u);
    EXPECT_TRUE(eventually([&] { return adapter_->in_transfers_pending() == 32; }));
}

TEST_F(Frames, CloseWhileStreamingAtFullRateStopsTheCallbacks) {
    ovel_canfd_driver* h = open_adapter();
    adapter_->start_stream(ovsim::StreamSpec{});
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_TRUE(collector().wait_for(1000));
    ASSERT_EQ(ovel_canfd_close(h), 0);
    const std::size_t delivered = collector().size();
    adapter_->stop_stream();
    const auto frames = collector().frames();
    for (std::size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(sequence_of(frames[i].record), i) << "lost, duplicated or reordered";
    }
    EXPECT_EQ(collector().size(), delivered) << "no callback after close returned";
    expect_nothing_left();
}

TEST_F(Frames, DeinitWhileStreamingStopsTheCallbacks) {
    ovel_canfd_driver* h = open_adapter();
    adapter_->start_stream(ovsim::StreamSpec{.count = 0, .channels = {0, 1}, .fd = true});
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_EQ(ovel_canfd_start(h, 1), 0);
    ASSERT_TRUE(collector().wait_for(1000));
    forget_handle(h);
    ASSERT_EQ(ovel_canfd_deinit(h), 0);
    const std::size_t delivered = collector().size();
    adapter_->stop_stream();
    EXPECT_EQ(collector().size(), delivered);
    expect_nothing_left();
}

TEST_F(Frames, CloseFromInsideTheCallback) {
    ovel_canfd_driver* h = open_adapter();
    std::atomic<bool> closed{false};
    collector().set_hook([&](const ovel_canfd_frame& f) {
        if (sequence_of(f) == 3) {
            EXPECT_EQ(ovel_canfd_close(h), 0);
            closed = true;
        }
    });
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    for (std::uint32_t i = 0; i < 10; ++i) {
        adapter_->feed_frame(numbered(0, i));
    }
    ASSERT_TRUE(eventually([&] { return closed.load(); }));
    // The dispatch thread ends on its own once the callback has returned.
    EXPECT_TRUE(eventually([&] { return library_thread_count() == 0; }));
    EXPECT_EQ(ovel_canfd_get_channel_count(h), -1);
}

TEST_F(Frames, UnplugWhileStreamingEndsReceptionQuietly) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    adapter_->feed_frame(numbered(0, 0));
    ASSERT_TRUE(collector().wait_for(1));
    adapter_->unplug();
    EXPECT_TRUE(eventually([&] { return h->device->rx_transfers_in_flight() == 0; }));
    const ovel_canfd_frame f = record(0, 0x123, 8);
    EXPECT_EQ(ovel_canfd_transmit(h, &f), OVEL_CANFD_ERR_DEVICE);
    EXPECT_EQ(ovel_canfd_close(h), 0);
    EXPECT_EQ(collector().size(), 1u);
}

// A halted endpoint never recovers by resubmission: the transfers must not spin forever.
TEST_F(Frames, PersistentlyFailingTransfersDropOut) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    adapter_->fail_in(LIBUSB_TRANSFER_STALL, 1'000'000);
    EXPECT_TRUE(eventually([&] { return h->device->rx_transfers_in_flight() == 0; }));
    EXPECT_EQ(adapter_->in_transfers_pending(), 0);
    EXPECT_EQ(ovel_canfd_stop(h, 0), 0);
}

TEST_F(Frames, SomeFailuresInARowAreAbsorbed) {
    ovel_canfd_driver* h = open_adapter();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_TRUE(eventually([&] { return adapter_->in_transfers_pending() == 32; }));
    adapter_->fail_in(LIBUSB_TRANSFER_ERROR, 32 * 15);
    adapter_->feed_frame(numbered(0, 1));
    ASSERT_TRUE(collector().wait_for(1));
    EXPECT_TRUE(eventually([&] { return adapter_->in_transfers_pending() == 32; }));
}

TEST_F(Frames, StartFailuresAreUndone) {
    ovel_canfd_driver* h = open_adapter();
    adapter_->refuse_submissions(ovsim::ENDPOINT_BULK_IN, LIBUSB_ERROR_IO);
    EXPECT_EQ(ovel_canfd_start(h, 0), OVEL_CANFD_ERR_DEVICE);
    EXPECT_EQ(last_error(h),
              "failed to start device: "
              "DeviceError(Libusb(\"start_transfers: libusb_submit_transfer\", -1))");
    const auto requests = adapter_->control_requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests.back().payload, bytes({0, 0, 0, 0, 0, 0, 0, 0}))
        << "reset after the failure";
    const ovel_canfd_frame f = record(0, 0x123, 8);
    EXPECT_EQ(ovel_canfd_transmit(h, &f), OVEL_CANFD_ERR_NOT_RUNNING);
    adapter_->clear_faults();
    ovsim::fail_alloc_transfer(5);
    EXPECT_EQ(ovel_canfd_start(h, 0), OVEL_CANFD_ERR_DEVICE);
    EXPECT_EQ(last_error(h), "failed to start device: DeviceError(TransferAllocFailed)");
    EXPECT_EQ(h->device->rx_transfers_in_flight(), 0);
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    adapter_->feed_frame(numbered(0, 5));
    ASSERT_TRUE(collector().wait_for(1));
}

}  // namespace
}  // namespace ovel::test
