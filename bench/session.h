// One simulated adapter plugged into a library under test, opened through its C API, with the
// given channels started and the benchmark's collector as the receive callback.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "library.h"

namespace ovel::bench {

// How the simulated adapter's bulk transfers complete: at once, or at the USB (micro)frame
// boundaries of a high-speed (125 us) or full-speed (1 ms) link.
enum class LinkTiming : std::int32_t { Immediate = 0, HighSpeed = 1, FullSpeed = 2 };

inline constexpr LinkTiming ALL_TIMINGS[] = {LinkTiming::Immediate, LinkTiming::HighSpeed,
                                             LinkTiming::FullSpeed};

const char* timing_name(LinkTiming timing);  // "immediate", "high-speed", "full-speed"

// The most FD frames per second the link carries (0: no limit): a high-speed link carries 13
// bulk packets of 512 bytes per 125 us microframe, a full-speed one 19 packets of 64 bytes per
// 1 ms frame, and a frame's transfer completes within one of them.
double fd_frames_per_second_limit(LinkTiming timing);

// Whether the library's simulator can model this timing (older simulators: immediate only).
bool timing_available(const Library& library, LinkTiming timing);

class Session {
  public:
    // Channels at `bitrate` nominal and, with `fd`, `data_bitrate` in the data phase.
    // rx_latency_us: a receive latency budget set before the channels start (0: none, which
    // libraries without the call also have).
    Session(const Library& library, const std::vector<std::uint8_t>& channels, bool fd,
            LinkTiming timing = LinkTiming::Immediate, std::uint32_t bitrate = 500'000,
            std::uint32_t data_bitrate = 2'000'000, std::uint32_t rx_latency_us = 0);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }  // why the setup failed

    // Generated traffic on the session's channels (rate_hz 0: as fast as the link allows). The
    // FD frames carry the sequence number, their release and their bus time (sim/README.md).
    bool start_stream(std::uint64_t count, double rate_hz);

    const Library& library() const { return library_; }
    ovel_canfd_driver* handle() { return handle_; }
    std::int32_t adapter() const { return adapter_; }

  private:
    void fail(const std::string& what);

    const Library& library_;
    std::vector<std::uint8_t> channels_;
    bool fd_;
    std::int32_t adapter_ = -1;
    ovel_canfd_driver* handle_ = nullptr;
    std::string error_;
};

}  // namespace ovel::bench
