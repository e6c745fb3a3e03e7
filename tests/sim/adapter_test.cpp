// The emulated gs_usb adapter: control requests and their faults, frames in both directions,
// echoes, unplugging and the generated stream.
#include "sim_test_support.h"

#include <gmock/gmock.h>

#include <numeric>

namespace ovsim::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using namespace std::chrono_literals;

using SimAdapterTest = SimTest;

std::vector<std::uint8_t> concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> bytes;
    for (const auto& part : parts) {
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    return bytes;
}

// A 20-byte classic host frame for `channel` with one data byte.
std::vector<std::uint8_t> classic_frame(std::uint8_t channel, std::uint8_t data) {
    std::vector<std::uint8_t> bytes = concat({u32le(1), u32le(0x123), {8, channel, 0, 0}});
    bytes.resize(20, 0);
    bytes[12] = data;
    return bytes;
}

TEST_F(SimAdapterTest, ConfigurationRepliesAreLittleEndianRecords) {
    add_adapter({.icount = 2,
                 .sw_version = 0x01020304,
                 .hw_version = 7,
                 .features = 0x103,
                 .fclk_can = 40'000'000,
                 .bt_limits = {1, 2, 3, 4, 5, 6, 7, 8}});
    CompletionLog log;
    Session session;
    session.start_events();

    ASSERT_EQ(libusb_submit_transfer(session.control(log, 0xC1, REQUEST_DEVICE_CONFIG, 0, {}, 12)),
              0);
    ASSERT_EQ(libusb_submit_transfer(session.control(log, 0xC1, REQUEST_BT_CONST, 0, {}, 40)), 0);
    ASSERT_TRUE(log.wait_for(2));

    const auto entries = log.entries();
    EXPECT_EQ(entries[0].status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_THAT(entries[0].data,
                ElementsAreArray(concat({{0, 0, 0, 2}, u32le(0x01020304), u32le(7)})));
    std::vector<std::uint8_t> bt_const = concat({u32le(0x103), u32le(40'000'000)});
    for (std::uint32_t limit = 1; limit <= 8; ++limit) {
        bt_const = concat({bt_const, u32le(limit)});
    }
    EXPECT_THAT(entries[1].data, ElementsAreArray(bt_const));
}

TEST_F(SimAdapterTest, ControlRequestsAreRecordedAsTheyCrossTheWire) {
    Adapter& adapter = add_adapter();
    CompletionLog log;
    Session session;
    session.start_events();
    const std::vector<std::uint8_t> start_listen_fd = concat({u32le(1), u32le(0x101)});

    ASSERT_EQ(
        libusb_submit_transfer(session.control(log, 0x41, REQUEST_MODE, 1, start_listen_fd, 8)), 0);
    ASSERT_TRUE(log.wait_for(1));

    EXPECT_EQ(log.entries()[0].status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(log.entries()[0].actual_length, 8);
    const auto records = adapter.control_requests();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_THAT(records[0].setup, ElementsAre(0x41, 0x02, 0x01, 0x00, 0x00, 0x00, 0x08, 0x00));
    EXPECT_EQ(records[0].request, REQUEST_MODE);
    EXPECT_EQ(records[0].value, 1);
    EXPECT_EQ(records[0].length, 8);
    EXPECT_THAT(records[0].payload, ElementsAreArray(start_listen_fd));
    EXPECT_EQ(records[0].transfer_length, 64);
    EXPECT_TRUE(adapter.channel_started(1));
    EXPECT_EQ(adapter.channel_flags(1), MODE_FLAG_LISTEN_ONLY | MODE_FLAG_FD);
    EXPECT_FALSE(adapter.channel_started(0));

    ASSERT_EQ(libusb_submit_transfer(
                  session.control(log, 0x41, REQUEST_MODE, 1, std::vector<std::uint8_t>(8, 0), 8)),
              0);
    ASSERT_TRUE(log.wait_for(2));
    EXPECT_FALSE(adapter.channel_started(1));
}

TEST_F(SimAdapterTest, ControlFaultsShapeTheCompletion) {
    Adapter& adapter = add_adapter({.icount = 0});
    set_time_scale(0.01);
    CompletionLog log;
    Session session;
    session.start_events();
    adapter.set_reply_length(REQUEST_DEVICE_CONFIG, 11);
    adapter.set_control_status(REQUEST_BT_CONST, LIBUSB_TRANSFER_ERROR);
    adapter.set_no_answer(REQUEST_BITTIMING);
    const std::vector<std::uint8_t> timing(20, 1);

    ASSERT_EQ(libusb_submit_transfer(session.control(log, 0xC1, REQUEST_DEVICE_CONFIG, 0, {}, 12)),
              0);
    ASSERT_EQ(libusb_submit_transfer(session.control(log, 0xC1, REQUEST_BT_CONST, 0, {}, 40)), 0);
    ASSERT_EQ(libusb_submit_transfer(session.control(log, 0x41, 15, 0, {}, 0)), 0);
    ASSERT_EQ(
        libusb_submit_transfer(session.control(log, 0x41, REQUEST_DATA_BITTIMING, 1, timing, 20)),
        0);
    ASSERT_EQ(libusb_submit_transfer(session.control(log, 0x41, REQUEST_BITTIMING, 0, timing, 20)),
              0);
    ASSERT_TRUE(log.wait_for(5));

    const auto entries = log.entries();
    EXPECT_EQ(entries[0].status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(entries[0].actual_length, 11);
    EXPECT_EQ(entries[1].status, LIBUSB_TRANSFER_ERROR);
    EXPECT_EQ(entries[1].actual_length, 0);
    EXPECT_EQ(entries[2].status, LIBUSB_TRANSFER_STALL) << "unknown request";
    EXPECT_EQ(entries[3].status, LIBUSB_TRANSFER_STALL) << "channel above icount";
    EXPECT_EQ(entries[4].status, LIBUSB_TRANSFER_TIMED_OUT) << "no answer";
    EXPECT_EQ(adapter.control_requests().size(), 5u);
}

TEST_F(SimAdapterTest, RefusedSubmissionsReachNothing) {
    Adapter& adapter = add_adapter();
    CompletionLog log;
    Session session;
    libusb_transfer* config = session.control(log, 0xC1, REQUEST_DEVICE_CONFIG, 0, {}, 12);
    adapter.refuse_submissions(ENDPOINT_CONTROL, LIBUSB_ERROR_IO, 1);

    EXPECT_EQ(libusb_submit_transfer(config), LIBUSB_ERROR_IO);
    EXPECT_THAT(adapter.control_requests(), IsEmpty());
    EXPECT_EQ(counters().transfers_in_flight, 0);
    EXPECT_EQ(libusb_submit_transfer(config), 0) << "only the next submission was refused";

    adapter.refuse_submissions(ENDPOINT_BULK_OUT, LIBUSB_ERROR_NO_MEM);
    libusb_transfer* out = session.bulk_out(log, classic_frame(0, 1));
    EXPECT_EQ(libusb_submit_transfer(out), LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(libusb_submit_transfer(out), LIBUSB_ERROR_NO_MEM);
    adapter.clear_faults();
    EXPECT_EQ(libusb_submit_transfer(out), 0);
    EXPECT_EQ(adapter.out_frames().size(), 1u);
    session.start_events();
    EXPECT_TRUE(log.wait_for(2));
}

TEST_F(SimAdapterTest, InTransfersTakeFramesInSubmissionOrder) {
    Adapter& adapter = add_adapter();
    CompletionLog log;
    Session session;
    adapter.feed(std::vector<std::uint8_t>(24, 0x24));  // waits for a transfer
    EXPECT_EQ(adapter.frames_waiting(), 1u);
    std::vector<libusb_transfer*> transfers;
    for (int i = 0; i < 4; ++i) {
        transfers.push_back(session.bulk_in(log));
        ASSERT_EQ(libusb_submit_transfer(transfers.back()), 0);
    }
    EXPECT_EQ(adapter.frames_waiting(), 0u);
    EXPECT_EQ(adapter.in_transfers_pending(), 3);

    adapter.feed_frame({.can_id = 0x7FF, .dlc = 8, .channel = 1, .data = {1, 2, 3}});
    adapter.feed(std::vector<std::uint8_t>(80, 0x80));
    adapter.feed(std::vector<std::uint8_t>(100, 0xAA));
    session.start_events();
    ASSERT_TRUE(log.wait_for(4));

    const auto entries = log.entries();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(entries[i].transfer, transfers[i]);
    }
    EXPECT_THAT(entries[0].data, ElementsAreArray(std::vector<std::uint8_t>(24, 0x24)));
    std::vector<std::uint8_t> classic =
        concat({u32le(0xFFFFFFFF), u32le(0x7FF), {8, 1, 0, 0, 1, 2, 3}});
    classic.resize(20, 0);
    EXPECT_THAT(entries[1].data, ElementsAreArray(classic));
    EXPECT_EQ(entries[2].actual_length, 80);
    EXPECT_EQ(entries[3].status, LIBUSB_TRANSFER_OVERFLOW);
    EXPECT_THAT(entries[3].data, ElementsAreArray(std::vector<std::uint8_t>(80, 0xAA)));
}

TEST_F(SimAdapterTest, FailedInCompletionsCarryNoData) {
    Adapter& adapter = add_adapter();
    CompletionLog log;
    Session session;
    libusb_transfer* pending = session.bulk_in(log);
    ASSERT_EQ(libusb_submit_transfer(pending), 0);

    adapter.fail_in(LIBUSB_TRANSFER_ERROR, 2);
    libusb_transfer* later = session.bulk_in(log);
    ASSERT_EQ(libusb_submit_transfer(later), 0);
    libusb_transfer* normal = session.bulk_in(log);
    ASSERT_EQ(libusb_submit_transfer(normal), 0);
    adapter.feed({9});
    session.start_events();
    ASSERT_TRUE(log.wait_for(3));

    const auto entries = log.entries();
    EXPECT_EQ(entries[0].status, LIBUSB_TRANSFER_ERROR);
    EXPECT_EQ(entries[0].actual_length, 0);
    EXPECT_EQ(entries[1].status, LIBUSB_TRANSFER_ERROR);
    EXPECT_EQ(entries[2].status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_THAT(entries[2].data, ElementsAre(9));
}

// A halted endpoint answers every transfer with a stall until the halt is cleared; a persisting
// halt survives the clear.
TEST_F(SimAdapterTest, HaltedInEndpointStallsUntilCleared) {
    Adapter& adapter = add_adapter();
    CompletionLog log;
    Session session;
    session.start_events();
    ASSERT_EQ(libusb_submit_transfer(session.bulk_in(log)), 0);
    adapter.fail_in(LIBUSB_TRANSFER_STALL, 1);
    ASSERT_EQ(libusb_submit_transfer(session.bulk_in(log)), 0);
    adapter.feed({1});
    ASSERT_TRUE(log.wait_for(2));
    EXPECT_EQ(adapter.frames_waiting(), 1u) << "a halted endpoint sends nothing";
    ASSERT_EQ(libusb_clear_halt(session.handle, ENDPOINT_BULK_IN), 0);
    ASSERT_EQ(libusb_submit_transfer(session.bulk_in(log)), 0);
    ASSERT_TRUE(log.wait_for(3));

    adapter.halt_in(/*persists=*/true);
    ASSERT_EQ(libusb_clear_halt(session.handle, ENDPOINT_BULK_IN), 0);
    ASSERT_EQ(libusb_submit_transfer(session.bulk_in(log)), 0);
    ASSERT_TRUE(log.wait_for(4));
    EXPECT_EQ(adapter.clear_halt_count(), 2);

    const auto entries = log.entries();
    EXPECT_EQ(entries[0].status, LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(entries[1].status, LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(entries[2].status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_THAT(entries[2].data, ElementsAre(1));
    EXPECT_EQ(entries[3].status, LIBUSB_TRANSFER_STALL);
}

TEST_F(SimAdapterTest, OutFrameIsEchoedOnlyOnAStartedChannel) {
    Adapter& adapter = add_adapter();
    CompletionLog control_log;
    CompletionLog out_log;
    CompletionLog in_log;
    Session session;
    session.start_events();
    ASSERT_EQ(libusb_submit_transfer(session.control(control_log, 0x41, REQUEST_MODE, 0,
                                                     concat({u32le(1), u32le(0)}), 8)),
              0);
    ASSERT_TRUE(control_log.wait_for(1));
    ASSERT_EQ(libusb_submit_transfer(session.bulk_in(in_log)), 0);

    ASSERT_EQ(libusb_submit_transfer(session.bulk_out(out_log, classic_frame(1, 0x11))), 0);
    ASSERT_EQ(libusb_submit_transfer(session.bulk_out(out_log, classic_frame(0, 0x22))), 0);
    ASSERT_TRUE(out_log.wait_for(2));
    ASSERT_TRUE(in_log.wait_for(1));

    EXPECT_EQ(out_log.entries()[0].status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(out_log.entries()[0].actual_length, 20);
    EXPECT_THAT(in_log.entries()[0].data, ElementsAreArray(classic_frame(0, 0x22)));
    EXPECT_THAT(adapter.out_frames(), ElementsAre(ElementsAreArray(classic_frame(1, 0x11)),
                                                  ElementsAreArray(classic_frame(0, 0x22))));
    EXPECT_EQ(adapter.frames_waiting(), 0u);
}

// A full transmit buffer NAKs the bulk OUT (the transfer stays pending), nothing leaves it while
// no node acknowledges, frames then leave one after the other at their time on the bus, and a
// channel reset forgets the buffer and lets the NAKed transfer through.
TEST_F(SimAdapterTest, TransmitBufferNaksWhenFullAndEchoesAtTheBusPace) {
    Adapter& adapter = add_adapter();
    set_time_scale(10);  // the NAKed transfers must not time out on a loaded machine
    CompletionLog out_log;
    CompletionLog in_log;
    CompletionLog control_log;
    Session session;
    session.start_events();
    session.start_channels({0});
    adapter.set_acknowledged(false);
    adapter.set_bus_timing(true);
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(libusb_submit_transfer(session.bulk_in(in_log)), 0);
    }
    for (std::uint8_t i = 0; i < 5; ++i) {
        ASSERT_EQ(libusb_submit_transfer(session.bulk_out(out_log, classic_frame(0, i))), 0);
    }
    ASSERT_TRUE(out_log.wait_for(3));
    EXPECT_EQ(adapter.tx_frames_buffered(0), 3u);
    EXPECT_EQ(adapter.out_transfers_waiting(), 2);
    EXPECT_EQ(out_log.size(), 3u);
    EXPECT_EQ(in_log.size(), 0u);
    EXPECT_EQ(adapter.out_frames().size(), 3u);  // the NAKed ones have not crossed yet

    // No bitrate set: 1 Mbit/s; 8 data bytes with an 11-bit identifier take 111 bits.
    const auto acknowledged = std::chrono::steady_clock::now();
    adapter.set_acknowledged(true);
    ASSERT_TRUE(in_log.wait_for(5));
    ASSERT_TRUE(out_log.wait_for(5));
    const auto entries = in_log.entries();
    for (std::uint8_t i = 0; i < 5; ++i) {
        EXPECT_EQ(entries[i].data, classic_frame(0, i));
    }
    EXPECT_GE(entries[4].called_at - acknowledged, 5 * 111us);

    adapter.set_acknowledged(false);
    for (std::uint8_t i = 0; i < 4; ++i) {
        ASSERT_EQ(libusb_submit_transfer(session.bulk_out(out_log, classic_frame(0, i))), 0);
    }
    ASSERT_TRUE(out_log.wait_for(8));
    EXPECT_EQ(adapter.out_transfers_waiting(), 1);
    ASSERT_EQ(libusb_submit_transfer(session.control(control_log, 0x41, REQUEST_MODE, 0,
                                                     concat({u32le(0), u32le(0)}), 8)),
              0);
    ASSERT_TRUE(out_log.wait_for(9));
    EXPECT_EQ(adapter.tx_frames_buffered(0), 0u);
    EXPECT_EQ(in_log.size(), 5u);
}

// The adapter takes a NAKed transfer as soon as a frame leaves its buffer, not when the host
// next handles events: after the host looked away for longer than six frames take on the bus,
// one look finds all six on the bus and echoed, none left waiting for the look.
TEST_F(SimAdapterTest, NakedTransfersAreTakenAsRoomFreesHoweverLateTheHostLooks) {
    Adapter& adapter = add_adapter();
    set_time_scale(10);  // the NAKed transfers must not time out on a loaded machine
    CompletionLog out_log;
    CompletionLog in_log;
    Session session;
    session.start_events();
    session.start_channels({0});
    adapter.set_bus_timing(true);
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(libusb_submit_transfer(session.bulk_in(in_log)), 0);
    }
    session.events->stop();
    // Takes the stop's interrupt, if the thread ended without taking it, out of the way.
    timeval no_wait{0, 0};
    ASSERT_EQ(libusb_handle_events_timeout_completed(session.context, &no_wait, nullptr), 0);
    for (std::uint8_t i = 0; i < 6; ++i) {
        ASSERT_EQ(libusb_submit_transfer(session.bulk_out(out_log, classic_frame(0, i))), 0);
    }
    // Three wait, or fewer when the submissions were slower than a frame's time on the bus; the
    // last frame has left the bus at most 666 us later: six frames of 111 bits at 1 Mbit/s.
    std::this_thread::sleep_for(2ms);
    ASSERT_EQ(libusb_handle_events_timeout_completed(session.context, &no_wait, nullptr), 0);
    EXPECT_EQ(out_log.size(), 6u);
    ASSERT_EQ(in_log.size(), 6u);
    for (std::uint8_t i = 0; i < 6; ++i) {
        EXPECT_EQ(in_log.entries()[i].data, classic_frame(0, i));
    }
}

// Bits per frame from the frame layout, stuff bits not counted: classic 47 + 8n (67 + 8n with
// a 29-bit identifier, no data in a remote frame); CAN FD 29 (48) nominal bits, and ESI, DLC,
// data, stuff count, CRC 17 or 21 and its delimiter in the data phase.
TEST(SimBusTime, FramesTakeTheirBitsAtTheChannelsBitrates) {
    const auto frame = [](std::uint32_t can_id, std::uint8_t dlc, std::uint8_t flags) {
        std::vector<std::uint8_t> bytes = concat({u32le(1), u32le(can_id), {dlc, 0, flags, 0}});
        bytes.resize(flags != 0 ? 76 : 20, 0);
        return bytes;
    };
    using std::chrono::nanoseconds;
    EXPECT_EQ(frame_time_on_bus(frame(0x123, 8, 0), 500'000, 0), nanoseconds(111 * 2000));
    EXPECT_EQ(frame_time_on_bus(frame(0x80000000 | 0x123, 0, 0), 1'000'000, 0),
              nanoseconds(67'000));
    EXPECT_EQ(frame_time_on_bus(frame(0x80000000 | 0x40000000 | 0x123, 8, 0), 1'000'000, 0),
              nanoseconds(67'000));
    // 64 bytes with bit-rate switch at 1 M / 5 M: 29 nominal bits, 543 data bits.
    EXPECT_EQ(frame_time_on_bus(frame(0x123, 15, FRAME_FLAG_FD | FRAME_FLAG_BRS), 1'000'000,
                                5'000'000),
              nanoseconds(29'000 + 108'600));
    // 12 bytes (DLC 9) without the switch: all 29 + 123 bits at the nominal rate.
    EXPECT_EQ(frame_time_on_bus(frame(0x123, 9, FRAME_FLAG_FD), 1'000'000, 5'000'000),
              nanoseconds(152'000));
    // 16 bytes still take the 17-bit CRC, 20 bytes the 21-bit one; a 29-bit identifier adds 19.
    EXPECT_EQ(frame_time_on_bus(frame(0x80000000 | 0x123, 10, FRAME_FLAG_FD | FRAME_FLAG_BRS),
                                1'000'000, 2'000'000),
              nanoseconds(48'000 + 77'500));
    EXPECT_EQ(frame_time_on_bus(frame(0x123, 11, FRAME_FLAG_FD | FRAME_FLAG_BRS), 1'000'000,
                                2'000'000),
              nanoseconds(29'000 + 95'500));
}

TEST_F(SimAdapterTest, OutBehavioursDecideHowTheTransferEnds) {
    Adapter& adapter = add_adapter();
    set_time_scale(0.01);
    CompletionLog log;
    Session session;
    session.start_events();

    adapter.set_out_behaviour(OutBehaviour::Stall);
    ASSERT_EQ(libusb_submit_transfer(session.bulk_out(log, classic_frame(0, 1))), 0);
    ASSERT_TRUE(log.wait_for(1));
    adapter.set_out_behaviour(OutBehaviour::Error);
    ASSERT_EQ(libusb_submit_transfer(session.bulk_out(log, classic_frame(0, 2))), 0);
    ASSERT_TRUE(log.wait_for(2));
    adapter.set_out_behaviour(OutBehaviour::Ignore);
    ASSERT_EQ(libusb_submit_transfer(session.bulk_out(log, classic_frame(0, 3))), 0);
    ASSERT_TRUE(log.wait_for(3));

    const auto entries = log.entries();
    EXPECT_EQ(entries[0].status, LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(entries[1].status, LIBUSB_TRANSFER_ERROR);
    EXPECT_EQ(entries[2].status, LIBUSB_TRANSFER_TIMED_OUT);
    EXPECT_EQ(entries[2].actual_length, 0);
    EXPECT_EQ(adapter.out_frames().size(), 3u);
}

TEST_F(SimAdapterTest, UnplugEndsTransfersInFlightAndRefusesNewOnes) {
    Adapter& adapter = add_adapter();
    CompletionLog log;
    Session session;
    adapter.set_out_behaviour(OutBehaviour::Ignore);
    libusb_transfer* in = session.bulk_in(log);
    libusb_transfer* out = session.bulk_out(log, classic_frame(0, 1));
    ASSERT_EQ(libusb_submit_transfer(in), 0);
    ASSERT_EQ(libusb_submit_transfer(out), 0);
    session.start_events();

    adapter.unplug();
    ASSERT_TRUE(log.wait_for(2));

    for (const Completion& completion : log.entries()) {
        EXPECT_EQ(completion.status, LIBUSB_TRANSFER_NO_DEVICE);
        EXPECT_EQ(completion.actual_length, 0);
    }
    EXPECT_EQ(libusb_submit_transfer(in), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(counters().transfers_in_flight, 0);
    libusb_device** list = nullptr;
    EXPECT_EQ(libusb_get_device_list(session.context, &list), 0);
    libusb_free_device_list(list, 1);
    session.close();
    EXPECT_EQ(counters().closed_with_transfers_in_flight, 0);
}

TEST_F(SimAdapterTest, StreamGeneratesNumberedFramesRoundRobin) {
    Adapter& adapter = add_adapter();
    CompletionLog log;
    Session session;
    log.on_complete = [](libusb_transfer* transfer) { libusb_submit_transfer(transfer); };
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(libusb_submit_transfer(session.bulk_in(log)), 0);
    }
    session.start_events();
    session.start_channels({0, 1});

    adapter.start_stream({.count = 100, .channels = {0, 1}, .fd = true});
    ASSERT_TRUE(log.wait_for(100));
    ASSERT_TRUE(eventually([&] { return adapter.in_transfers_pending() == 4; }));

    EXPECT_EQ(adapter.streamed(), 100u);
    const auto entries = log.entries();
    ASSERT_EQ(entries.size(), 100u);
    std::uint64_t previous_time = 0;
    for (std::uint64_t k = 0; k < 100; ++k) {
        const std::vector<std::uint8_t>& frame = entries[k].data;
        ASSERT_EQ(frame.size(), 76u);
        const std::uint8_t channel = k % 2;
        EXPECT_THAT(
            std::vector(frame.begin(), frame.begin() + 12),
            ElementsAreArray(concat(
                {u32le(0xFFFFFFFF), u32le(0x100u + channel), {15, channel, FRAME_FLAG_FD, 0}})));
        EXPECT_EQ(read_u64le(frame, 12), k);
        const std::uint64_t completed_at = read_u64le(frame, 20);
        EXPECT_GE(completed_at, previous_time);
        previous_time = completed_at;
    }
}

TEST_F(SimAdapterTest, RateLimitedStreamPacesClassicFrames) {
    Adapter& adapter = add_adapter({.icount = 3});
    CompletionLog log;
    Session session;
    log.on_complete = [](libusb_transfer* transfer) { libusb_submit_transfer(transfer); };
    ASSERT_EQ(libusb_submit_transfer(session.bulk_in(log)), 0);
    session.start_events();
    session.start_channels({3});

    const auto started = std::chrono::steady_clock::now();
    adapter.start_stream({.count = 5, .channels = {3}, .rate_hz = 100});
    ASSERT_TRUE(log.wait_for(5));

    EXPECT_GE(std::chrono::steady_clock::now() - started, 39ms) << "frame 4 is due at 40 ms";
    const auto entries = log.entries();
    for (std::uint64_t k = 0; k < 5; ++k) {
        ASSERT_EQ(entries[k].data.size(), 20u);
        EXPECT_EQ(entries[k].data[8], 8);
        EXPECT_EQ(entries[k].data[9], 3);
        EXPECT_EQ(read_u64le(entries[k].data, 12), k);
    }
    adapter.stop_stream();
}

}  // namespace
}  // namespace ovsim::test

namespace ovsim::test {
namespace {

using SimFeatureDeathTest = SimTest;

// Optional requests reach only an adapter that reported their feature bit; one that did not
// gets none of them, or the simulator stops the test.
TEST_F(SimFeatureDeathTest, OptionalRequestsNeedTheirFeatureBit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::pair<std::uint8_t, std::uint8_t> requests[] = {
        {0x41, REQUEST_IDENTIFY}, {0x41, REQUEST_SET_TERMINATION},
        {0xC1, REQUEST_GET_TERMINATION}, {0xC1, 14}, {0xC1, 6}};
    for (const auto& [type, request] : requests) {
        EXPECT_DEATH(
            {
                add_adapter({.features = 0x103});
                Session session;
                CompletionLog log;
                libusb_submit_transfer(session.control(log, type, request, 0, u32le(1), 4));
            },
            "ovsim: misuse: .*sent to an adapter that did not report its feature bit")
            << int{request};
    }

    Adapter& adapter =
        add_adapter({.icount = 1, .features = 0x103 | FEATURE_TERMINATION | FEATURE_IDENTIFY});
    CompletionLog log;
    Session session;
    session.start_events();
    ASSERT_EQ(libusb_submit_transfer(
                  session.control(log, 0x41, REQUEST_SET_TERMINATION, 1, u32le(1), 4)),
              0);
    ASSERT_EQ(libusb_submit_transfer(session.control(log, 0xC1, REQUEST_GET_TERMINATION, 1, {}, 4)),
              0);
    ASSERT_EQ(libusb_submit_transfer(session.control(log, 0xC1, REQUEST_GET_TERMINATION, 2, {}, 4)),
              0);
    ASSERT_EQ(libusb_submit_transfer(session.control(log, 0x41, REQUEST_IDENTIFY, 0, u32le(1), 4)),
              0);
    ASSERT_TRUE(log.wait_for(4));
    const auto entries = log.entries();
    EXPECT_EQ(entries[0].status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(entries[1].data, u32le(1));
    EXPECT_EQ(entries[2].status, LIBUSB_TRANSFER_STALL) << "channel above icount";
    EXPECT_EQ(entries[3].status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_TRUE(adapter.termination(1));
    EXPECT_FALSE(adapter.termination(0));
    EXPECT_TRUE(adapter.identifying());
}

}  // namespace
}  // namespace ovsim::test
