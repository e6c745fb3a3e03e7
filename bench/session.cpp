#include "session.h"

#include "collector.h"

namespace ovel::bench {
namespace {

constexpr std::uint32_t FEATURES_FD = 0x103;  // listen-only, loopback, CAN FD
constexpr std::uint32_t CAN_CLOCK = 80'000'000;

}  // namespace

const char* timing_name(LinkTiming timing) {
    switch (timing) {
        case LinkTiming::Immediate:
            return "immediate";
        case LinkTiming::HighSpeed:
            return "high-speed";
        case LinkTiming::FullSpeed:
            return "full-speed";
    }
    return "?";
}

double fd_frames_per_second_limit(LinkTiming timing) {
    // A 76-byte FD frame is one 512-byte high-speed packet, or two 64-byte full-speed ones.
    switch (timing) {
        case LinkTiming::Immediate:
            return 0;
        case LinkTiming::HighSpeed:
            return 13 / 125e-6;
        case LinkTiming::FullSpeed:
            return (19 / 2) / 1e-3;
    }
    return 0;
}

bool timing_available(const Library& library, LinkTiming timing) {
    return timing == LinkTiming::Immediate || library.sim_set_link_timing != nullptr;
}

Session::Session(const Library& library, const std::vector<std::uint8_t>& channels, bool fd,
                 LinkTiming timing, std::uint32_t bitrate, std::uint32_t data_bitrate,
                 std::uint32_t rx_latency_us)
    : library_(library), channels_(channels), fd_(fd) {
    const Library& l = library_;
    if (l.sim_reset() != 0) {
        error_ = "the simulator still has a libusb context open";
        return;
    }
    std::uint8_t highest = 1;  // two channels at least, as the default simulated adapter
    for (std::uint8_t channel : channels_) {
        highest = channel > highest ? channel : highest;
    }
    adapter_ = l.sim_add_adapter("OVSIM0001", highest, FEATURES_FD, CAN_CLOCK);
    if (timing != LinkTiming::Immediate &&
        (l.sim_set_link_timing == nullptr ||
         l.sim_set_link_timing(adapter_, static_cast<std::int32_t>(timing)) != 0)) {
        error_ = std::string("the simulator cannot model ") + timing_name(timing) + " timing";
        return;
    }
    handle_ = l.init();
    if (handle_ == nullptr) {
        error_ = "ovel_canfd_init returned NULL";
        return;
    }
    if (l.open(handle_) != OVEL_CANFD_OK) {
        fail("ovel_canfd_open");
        return;
    }
    l.set_rx_callback(handle_, &on_frame);
    if (rx_latency_us > 0 && (l.set_rx_latency == nullptr ||
                              l.set_rx_latency(handle_, rx_latency_us) != OVEL_CANFD_OK)) {
        error_ = "ovel_canfd_set_rx_latency: not in this library or refused";
        return;
    }
    for (std::uint8_t channel : channels_) {
        if (l.set_bitrate(handle_, channel, bitrate) != OVEL_CANFD_OK) {
            fail("ovel_canfd_set_bitrate");
            return;
        }
        if (fd_ && (l.set_data_bitrate(handle_, channel, data_bitrate) != OVEL_CANFD_OK ||
                    l.set_fd(handle_, channel, true) != OVEL_CANFD_OK)) {
            fail("ovel_canfd_set_data_bitrate / set_fd");
            return;
        }
        if (l.start(handle_, channel) != OVEL_CANFD_OK) {
            fail("ovel_canfd_start");
            return;
        }
    }
}

Session::~Session() {
    // Deinit delivers what is still queued and ends the library's threads before it returns.
    library_.deinit(handle_);
    library_.sim_reset();
}

void Session::fail(const std::string& what) {
    error_ = what + ": " + library_.get_last_error(handle_);
}

bool Session::start_stream(std::uint64_t count, double rate_hz) {
    return library_.sim_start_stream(adapter_, count, channels_.data(),
                                     static_cast<std::uint32_t>(channels_.size()), fd_,
                                     rate_hz) == 0;
}

}  // namespace ovel::bench
