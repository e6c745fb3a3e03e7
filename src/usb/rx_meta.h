// What the event thread learns about a received frame besides its bytes.
#pragma once

#include <cstdint>

namespace ovel::usb {

// Bits of RxMeta::flags.
inline constexpr std::uint32_t RX_META_HW_TIMESTAMP = 0x1;  // hw_us and hw_ns are valid
inline constexpr std::uint32_t RX_META_OVERFLOW = 0x2;      // the adapter dropped frames before it

struct RxMeta {
    std::int64_t host_ns = 0;    // wall clock when the transfer's completion was handled
    std::int64_t hw_ns = 0;      // the adapter's stamp mapped to the wall clock
    std::uint64_t hw_us = 0;     // the largest extended stamp of the period so far (HwClock)
    std::uint64_t sequence = 0;  // per device, one per receive transfer that brought bytes
    std::uint32_t flags = 0;
    std::uint32_t send_id = 0;  // the echo of this queued send (low 32 bits); 0: none
};

}  // namespace ovel::usb
