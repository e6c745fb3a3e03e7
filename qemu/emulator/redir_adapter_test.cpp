#include "redir_adapter.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>
#include <vector>

// The emulator against a usbredir peer in QEMU's role, over a socket pair in one thread: the
// test decides when time-driven work runs (on_due), so nothing is released behind its back.
namespace ovel::qemu {
namespace {

struct Answer {
    std::uint64_t id;
    std::uint8_t endpoint, status;
    std::uint32_t length;
    std::vector<std::uint8_t> data;
};

class Link {
  public:
    explicit Link(UsbTiming timing) {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
        adapter_fd_ = fds[0];
        peer_fd_ = fds[1];
        log_ = std::fopen("/dev/null", "w");
        adapter_ = std::make_unique<RedirAdapter>(adapter_fd_, "TEST0001", log_, timing);
        parser_ = usbredirparser_create();
        parser_->priv = this;
        parser_->read_func = &Link::read_cb;
        parser_->write_func = &Link::write_cb;
        parser_->log_func = [](void*, int, const char*) {};
        parser_->hello_func = [](void*, usb_redir_hello_header*) {};
        parser_->interface_info_func = [](void*, usb_redir_interface_info_header*) {};
        parser_->ep_info_func = [](void* priv, usb_redir_ep_info_header* info) {
            self(priv).ep_info = *info;
        };
        parser_->device_connect_func = [](void* priv, usb_redir_device_connect_header* header) {
            self(priv).device = *header;
        };
        parser_->device_disconnect_func = [](void*) {};
        parser_->control_packet_func =
            [](void* priv, std::uint64_t, usb_redir_control_packet_header*, std::uint8_t* data,
               int) { usbredirparser_free_packet_data(self(priv).parser_, data); };
        parser_->bulk_packet_func = [](void* priv, std::uint64_t id,
                                       usb_redir_bulk_packet_header* header, std::uint8_t* data,
                                       int data_len) {
            Link& link = self(priv);
            link.answers.push_back(
                Answer{id, header->endpoint, header->status,
                       header->length | (static_cast<std::uint32_t>(header->length_high) << 16),
                       std::vector<std::uint8_t>(data, data + data_len)});
            usbredirparser_free_packet_data(link.parser_, data);
        };
        std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
        for (const int cap :
             {usb_redir_cap_connect_device_version, usb_redir_cap_ep_info_max_packet_size,
              usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length,
              usb_redir_cap_device_disconnect_ack}) {
            usbredirparser_caps_set_cap(caps, cap);
        }
        usbredirparser_init(parser_, "test peer", caps, USB_REDIR_CAPS_SIZE, 0);
        exchange();
    }
    ~Link() {
        adapter_.reset();
        usbredirparser_destroy(parser_);
        ::close(adapter_fd_);
        ::close(peer_fd_);
        std::fclose(log_);
    }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    RedirAdapter& adapter() { return *adapter_; }

    // Lets each side read what the other wrote until both are quiet.
    void exchange() {
        for (int round = 0; round < 4; ++round) {
            while (usbredirparser_has_data_to_write(parser_) > 0) {
                usbredirparser_do_write(parser_);
            }
            adapter_->on_readable();
            adapter_->flush();
            usbredirparser_do_read(parser_);
        }
    }

    void request_in(std::uint64_t id) {
        usb_redir_bulk_packet_header header{};
        header.endpoint = BULK_IN_ENDPOINT;
        header.length = 80;
        usbredirparser_send_bulk_packet(parser_, id, &header, nullptr, 0);
    }
    void send_out(std::uint64_t id, std::vector<std::uint8_t> data) {
        usb_redir_bulk_packet_header header{};
        header.endpoint = BULK_OUT_ENDPOINT;
        header.length = static_cast<std::uint16_t>(data.size());
        usbredirparser_send_bulk_packet(parser_, id, &header, data.data(),
                                        static_cast<int>(data.size()));
    }
    void cancel(std::uint64_t id) { usbredirparser_send_cancel_data_packet(parser_, id); }
    void start_channel_0() {
        usb_redir_control_packet_header header{};
        header.requesttype = 0x41;
        header.request = 2;  // MODE
        header.length = 8;
        std::uint8_t start[8] = {1, 0, 0, 0, 0, 0, 0, 0};
        usbredirparser_send_control_packet(parser_, 99, &header, start, sizeof start);
    }

    // Sleeps until the adapter's next due time, runs its due work and exchanges; returns it.
    std::int64_t run_next_due() {
        const std::optional<std::int64_t> due = adapter_->next_due_ns();
        EXPECT_TRUE(due.has_value());
        if (due) {
            const timespec until{static_cast<time_t>(*due / 1'000'000'000),
                                 static_cast<long>(*due % 1'000'000'000)};
            while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
            }
        }
        adapter_->on_due();
        exchange();
        return due.value_or(0);
    }

    std::optional<usb_redir_device_connect_header> device;
    usb_redir_ep_info_header ep_info{};
    std::vector<Answer> answers;

  private:
    static Link& self(void* priv) { return *static_cast<Link*>(priv); }
    static int read_cb(void* priv, std::uint8_t* data, int count) {
        const ssize_t got = ::read(self(priv).peer_fd_, data, static_cast<std::size_t>(count));
        return got > 0 ? static_cast<int>(got) : 0;
    }
    static int write_cb(void* priv, std::uint8_t* data, int count) {
        const ssize_t n = ::write(self(priv).peer_fd_, data, static_cast<std::size_t>(count));
        return n > 0 ? static_cast<int>(n) : 0;
    }

    int adapter_fd_ = -1, peer_fd_ = -1;
    std::FILE* log_ = nullptr;
    std::unique_ptr<RedirAdapter> adapter_;
    usbredirparser* parser_ = nullptr;
};

// The number an injected frame carries in its first four payload bytes.
unsigned frame_number(const Answer& answer) {
    if (answer.data.size() < 16) {
        return ~0u;
    }
    unsigned number = 0;
    for (int i = 3; i >= 0; --i) {
        number = number << 8 | answer.data[12 + static_cast<std::size_t>(i)];
    }
    return number;
}

constexpr std::size_t BULK_IN_INDEX = 16 + (BULK_IN_ENDPOINT & 0x0F);

TEST(RedirAdapter, ImmediateTimingAnswersAtOnceAsAHighSpeedDevice) {
    Link link(UsbTiming::immediate);
    ASSERT_TRUE(link.device.has_value());
    EXPECT_EQ(link.device->speed, usb_redir_speed_high);
    EXPECT_EQ(link.ep_info.max_packet_size[BULK_IN_INDEX], 512);
    EXPECT_EQ(link.ep_info.max_packet_size[BULK_OUT_ENDPOINT], 512);
    link.request_in(1);
    link.send_out(2, std::vector<std::uint8_t>(20, 0));
    EXPECT_EQ(link.adapter().command("inject 1"), "ok");
    link.exchange();
    ASSERT_EQ(link.answers.size(), 2u);
    EXPECT_EQ(link.answers[0].id, 1u);
    EXPECT_EQ(frame_number(link.answers[0]), 0u);
    EXPECT_EQ(link.answers[1].id, 2u);
    EXPECT_EQ(link.answers[1].length, 20u);
    EXPECT_FALSE(link.adapter().next_due_ns().has_value());
}

TEST(RedirAdapter, FullSpeedAnswersWaitForTheNextMillisecondBoundaryInOrder) {
    Link link(UsbTiming::full_speed);
    ASSERT_TRUE(link.device.has_value());
    EXPECT_EQ(link.device->speed, usb_redir_speed_full);
    EXPECT_EQ(link.ep_info.max_packet_size[BULK_IN_INDEX], 64);
    EXPECT_EQ(link.ep_info.max_packet_size[BULK_OUT_ENDPOINT], 64);
    // A transmit is acknowledged at the first boundary after it arrived.
    const std::int64_t sent = monotonic_ns();
    link.send_out(1, std::vector<std::uint8_t>(20, 0));
    link.exchange();
    EXPECT_TRUE(link.answers.empty());
    EXPECT_EQ(link.adapter().command("stats"), "ok in=0 held=1 queued=0 started=00");
    const std::int64_t acknowledged = link.run_next_due();
    EXPECT_EQ(acknowledged % 1'000'000, 0);
    EXPECT_GT(acknowledged, sent);
    ASSERT_EQ(link.answers.size(), 1u);
    EXPECT_EQ(link.answers[0].status, usb_redir_success);
    EXPECT_EQ(link.answers[0].length, 20u);
    // Frames for waiting requests, likewise, in the order of the requests.
    link.request_in(2);
    link.request_in(3);
    link.exchange();
    const std::int64_t injected = monotonic_ns();
    EXPECT_EQ(link.adapter().command("inject 2"), "ok");
    EXPECT_EQ(link.adapter().command("stats"), "ok in=2 held=0 queued=0 started=00");
    const std::int64_t released = link.run_next_due();
    EXPECT_EQ(released % 1'000'000, 0);
    EXPECT_GT(released, injected);
    ASSERT_EQ(link.answers.size(), 3u);
    EXPECT_EQ(link.answers[1].id, 2u);
    EXPECT_EQ(frame_number(link.answers[1]), 0u);
    EXPECT_EQ(link.answers[2].id, 3u);
    EXPECT_EQ(frame_number(link.answers[2]), 1u);
    EXPECT_FALSE(link.adapter().next_due_ns().has_value());
}

TEST(RedirAdapter, CancelledTimedAnswersKeepTheirFramesInOrderAndTheirBytes) {
    Link link(UsbTiming::full_speed);
    link.request_in(1);
    link.request_in(2);
    link.request_in(3);
    EXPECT_EQ(link.adapter().command("inject 3"), "ok");
    link.send_out(4, std::vector<std::uint8_t>(20, 0));
    link.exchange();
    link.cancel(1);
    link.cancel(4);
    link.exchange();
    ASSERT_EQ(link.answers.size(), 2u);
    EXPECT_EQ(link.answers[0].id, 1u);
    EXPECT_EQ(link.answers[0].status, usb_redir_cancelled);
    EXPECT_EQ(link.answers[1].id, 4u);
    EXPECT_EQ(link.answers[1].status, usb_redir_cancelled);
    // Frames 0 and 1 go to the requests left; frame 2 stays in the adapter.
    link.run_next_due();
    ASSERT_EQ(link.answers.size(), 4u);
    EXPECT_EQ(link.answers[2].id, 2u);
    EXPECT_EQ(frame_number(link.answers[2]), 0u);
    EXPECT_EQ(link.answers[3].id, 3u);
    EXPECT_EQ(frame_number(link.answers[3]), 1u);
    EXPECT_EQ(link.adapter().command("stats"), "ok in=0 held=0 queued=1 started=00");
}

TEST(RedirAdapter, PacedInjectionSpacesFramesByTheRate) {
    Link link(UsbTiming::immediate);
    for (std::uint64_t id = 1; id <= 3; ++id) {
        link.request_in(id);
    }
    link.exchange();
    EXPECT_EQ(link.adapter().command("inject 3 1000x"), "error bad rate");
    EXPECT_EQ(link.adapter().command("inject 3 1000"), "ok");
    EXPECT_EQ(link.adapter().command("inject 1"), "error a paced injection is running");
    // Frame k enters the adapter at the first frame's time plus k ms, never earlier; a late
    // wake-up (the host is shared) lets several in at once.
    const std::int64_t first = link.adapter().next_due_ns().value_or(0);
    for (int wake = 0; wake < 3 && link.answers.size() < 3; ++wake) {
        const std::int64_t due = link.run_next_due();
        EXPECT_EQ((due - first) % 1'000'000, 0);
        EXPECT_GE(link.answers.size(), static_cast<std::size_t>((due - first) / 1'000'000 + 1));
        EXPECT_LE(link.answers.size(),
                  static_cast<std::size_t>((monotonic_ns() - first) / 1'000'000 + 1));
    }
    ASSERT_EQ(link.answers.size(), 3u);
    for (unsigned n = 0; n < 3; ++n) {
        EXPECT_EQ(frame_number(link.answers[n]), n);
    }
    EXPECT_FALSE(link.adapter().next_due_ns().has_value());
}

TEST(RedirAdapter, ReleasedHeldTransmitIsAcknowledgedInFullAndEchoed) {
    Link link(UsbTiming::immediate);
    link.start_channel_0();
    EXPECT_EQ(link.adapter().command("hold-out"), "ok");
    std::vector<std::uint8_t> frame(20, 0);
    frame[12] = 7;
    link.send_out(1, frame);
    link.exchange();
    EXPECT_TRUE(link.answers.empty());
    link.request_in(2);
    EXPECT_EQ(link.adapter().command("release-out"), "ok");
    link.exchange();
    ASSERT_EQ(link.answers.size(), 1u);
    EXPECT_EQ(link.answers[0].id, 1u);
    EXPECT_EQ(link.answers[0].length, 20u);
    link.run_next_due();  // the echo, once the frame has left the bus
    ASSERT_EQ(link.answers.size(), 2u);
    EXPECT_EQ(link.answers[1].id, 2u);
    EXPECT_EQ(link.answers[1].data, frame);
}

// A full transmit buffer NAKs the bulk OUT, and every one behind it, until a frame has left the
// bus; each echo comes no sooner than its frame's time on the bus after the one before, in order.
TEST(RedirAdapter, FullTransmitBufferHoldsTransfersAndEchoesFollowTheBus) {
    Link link(UsbTiming::immediate);
    link.start_channel_0();
    EXPECT_EQ(link.adapter().command("tx-buffer 2"), "ok");
    const std::int64_t sent = monotonic_ns();
    for (std::uint8_t n = 0; n < 5; ++n) {
        std::vector<std::uint8_t> frame(20, 0);
        frame[8] = 8;  // 111 bits: 111 us at the default 1 Mbit/s
        frame[12] = n;
        link.send_out(10 + n, frame);
    }
    for (std::uint64_t id = 20; id < 25; ++id) {
        link.request_in(id);
    }
    link.exchange();
    ASSERT_EQ(link.answers.size(), 2u) << "two frames fit, three are NAKed";
    EXPECT_EQ(link.adapter().command("stats"), "ok in=5 held=3 queued=0 started=10");
    // The host gives up on the last one; the others go out as room appears (a slow host may
    // see the first frames leave the bus by now).
    link.cancel(14);
    link.exchange();
    std::vector<unsigned> echoes;
    const auto collect = [&] {
        const std::int64_t released_by = monotonic_ns();
        for (const Answer& answer : link.answers) {
            if (answer.endpoint == BULK_IN_ENDPOINT &&
                answer.id == 20 + static_cast<std::uint64_t>(echoes.size())) {
                echoes.push_back(answer.data[12]);
                EXPECT_GE(released_by - sent, static_cast<std::int64_t>(echoes.size()) * 111'000);
            }
        }
    };
    collect();
    while (echoes.size() < 4 && link.adapter().next_due_ns()) {
        link.run_next_due();  // a late wake-up may release several
        collect();
    }
    std::vector<std::pair<std::uint64_t, std::uint8_t>> outs;
    for (const Answer& answer : link.answers) {
        if (answer.endpoint == BULK_OUT_ENDPOINT) {
            outs.emplace_back(answer.id, answer.status);
        }
    }
    std::sort(outs.begin(), outs.end());
    const std::vector<std::pair<std::uint64_t, std::uint8_t>> expected_outs{
        {10, usb_redir_success}, {11, usb_redir_success}, {12, usb_redir_success},
        {13, usb_redir_success}, {14, usb_redir_cancelled}};
    EXPECT_EQ(outs, expected_outs);
    EXPECT_EQ(echoes, (std::vector<unsigned>{0, 1, 2, 3}));
    EXPECT_EQ(link.adapter().command("tx-stats"), "ok peak=2 naks=3 buffered=0,0");
    EXPECT_EQ(link.adapter().command("stats"), "ok in=1 held=0 queued=0 started=10");
}

}  // namespace
}  // namespace ovel::qemu
