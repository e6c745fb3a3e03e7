#pragma once

// A gs_usb host frame's length on the bus in bits, counted from the frame layout of ISO 11898-1
// without stuff bits (neither the dynamic ones nor CAN FD's fixed ones in the CRC field), so the
// shortest time the frame can take. Pure and header-only: the simulated adapter and the QEMU
// emulator both time their echoes with it.
//   classic, 11-bit identifier: 47 + 8 * data bytes (SOF, identifier, RTR, IDE, r0, DLC, data,
//     CRC 15, CRC delimiter, ACK slot and delimiter, EOF 7, intermission 3);
//   classic, 29-bit identifier: 67 + 8 * data bytes (SRR, IDE, 18 more identifier bits, r1);
//   remote frames carry no data bytes;
//   CAN FD: the arbitration phase (SOF, identifier, RRS, IDE, FDF, res, BRS: 17 bits, or 36 with
//     a 29-bit identifier) and the end (ACK 2, EOF 7, intermission 3: 12 bits) at the nominal
//     bitrate; the data phase (ESI, DLC 4, data, stuff count 4, CRC 17 up to 16 data bytes and
//     21 above, CRC delimiter) at the data bitrate with bit-rate switch, at the nominal one
//     without.
#include <cstddef>
#include <cstdint>

namespace ovsim {

struct FrameBits {
    std::uint32_t nominal = 0;     // bits at the nominal bitrate
    std::uint32_t data_phase = 0;  // CAN FD's data phase (0 for a classic frame)
    bool switched = false;         // the data phase runs at the data bitrate (BRS)
};

// `bytes`: the host frame as it crosses USB (echo id, can_id, DLC, channel, flags, ...); fewer
// than 12 bytes count as no frame.
constexpr FrameBits frame_bits(const std::uint8_t* bytes, std::size_t length) noexcept {
    if (length < 12) {
        return {};
    }
    const std::uint32_t can_id =
        static_cast<std::uint32_t>(bytes[4]) | static_cast<std::uint32_t>(bytes[5]) << 8 |
        static_cast<std::uint32_t>(bytes[6]) << 16 | static_cast<std::uint32_t>(bytes[7]) << 24;
    const bool extended = (can_id & 0x80000000u) != 0;
    const bool remote = (can_id & 0x40000000u) != 0;
    const std::uint8_t flags = bytes[10];
    const bool fd = (flags & 0x02) != 0;
    const bool brs = (flags & 0x04) != 0;
    constexpr std::uint32_t FD_LENGTHS[16] = {0, 1,  2,  3,  4,  5,  6,  7,
                                              8, 12, 16, 20, 24, 32, 48, 64};
    const std::uint8_t dlc = bytes[8] & 0xF;
    const std::uint32_t data = fd ? FD_LENGTHS[dlc] : remote ? 0 : (dlc > 8 ? 8 : dlc);
    if (!fd) {
        return {(extended ? 67u : 47u) + 8 * data, 0, false};
    }
    return {(extended ? 36u : 17u) + 12, 1 + 4 + 8 * data + 4 + (data <= 16 ? 17u : 21u) + 1, brs};
}

}  // namespace ovsim
