#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

// When the emulated adapter answers bulk transfers: at once, or on the schedule of a real USB
// bus, where a transfer completes in the frame (full speed, 1 ms) or microframe (high speed,
// 125 us) that carries its last packet.
namespace ovel::qemu {

enum class UsbTiming { immediate, high_speed, full_speed };

// "immediate", "hs" or "fs".
std::optional<UsbTiming> parse_timing(std::string_view text);
const char* timing_name(UsbTiming timing);

// What the adapter reports to QEMU in each mode; immediate keeps the high-speed device and,
// having no frames, no period or budget.
struct BusSpeed {
    std::int64_t period_ns;         // frame or microframe
    unsigned packets_per_period;    // bulk packets of max_packet bytes one period carries
    std::uint16_t bulk_max_packet;  // wMaxPacketSize of both bulk endpoints
    bool full_speed;
};
BusSpeed bus_speed(UsbTiming timing);

// CLOCK_MONOTONIC in nanoseconds: frame boundaries are whole multiples of the period on it.
std::int64_t monotonic_ns();

// Gives bulk transfers, in the order they became ready, the frame boundary at which they
// complete: the first boundary after they are ready that still has room for their packets
// (ceil(length / max packet), at least one), and never before the transfer ahead of them.
class FrameScheduler {
  public:
    explicit FrameScheduler(BusSpeed bus) : bus_(bus) {}

    // The release time, in ns on CLOCK_MONOTONIC, of a transfer of `length` bytes ready now.
    std::int64_t schedule(std::int64_t now_ns, std::size_t length);

  private:
    BusSpeed bus_;
    std::int64_t last_frame_ = 0;  // boundary index of the latest scheduled transfer
    std::uint64_t last_used_ = 0;  // packets already placed in that frame
};

}  // namespace ovel::qemu
