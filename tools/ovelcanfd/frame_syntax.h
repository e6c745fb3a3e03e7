// Frames as text: the cansend syntax (also candump's log syntax) for reading frames from the
// command line, and the line `dump` prints for each received frame. Pure: no I/O, no adapter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "ovelcanfd.h"

namespace ovel::tool {

// Data bytes a CAN FD DLC stands for (0-8, 12, 16, 20, 24, 32, 48, 64); DLCs above 15 count as 15.
std::size_t fd_dlc_to_length(std::uint8_t dlc);
// The smallest DLC whose CAN FD length holds `length` bytes (lengths above 64 give 15).
std::uint8_t fd_length_to_dlc(std::size_t length);
// Data bytes a frame carries: none for a remote frame, the FD table for an FD frame, at most 8
// for a classic frame.
std::size_t payload_length(const ovel_canfd_frame& frame);

struct ParsedFrame {
    std::optional<ovel_canfd_frame> frame;  // set on success
    std::string error;                      // why the text was refused, otherwise empty
};

// Reads one frame in cansend syntax, for `channel`:
//   123#DEADBEEF         classic, 3 hex digits: standard identifier, up to 8 data bytes
//   12345678#11.22       8 hex digits: extended identifier; dots may separate bytes
//   1122334455667788_F   (after '#') 8 bytes with a classic DLC of 9 to 15 (hex)
//   123#R  123#R3        remote request, optional length 0-8 (R8_F: DLC 15)
//   123##1AABBCC         CAN FD: a flags nibble (1 BRS, 2 ESI) then up to 64 data bytes; the
//                        DLC is the smallest that holds them and the rest is zero-filled
//   20000080#...         8 digits with bit 29 set: an error frame (class in the low bits)
ParsedFrame parse_frame(std::string_view text, std::uint8_t channel);

// The frame in cansend syntax; parse_frame of the result gives the frame back (data beyond the
// DLC's length, the channel and `echo` are not part of the text).
std::string format_compact(const ovel_canfd_frame& frame);

// One line in the manner of candump's long format, without a newline:
//   (1700000000.123456)  can0  RX - - -  123       [4]  DE AD BE EF
// host time, channel, RX (received) or TX (echo of a frame sent from this host), F for CAN FD,
// B for bit-rate switch, E for error state indicator, the identifier, [length] (classic DLC
// above 8: [8:DLC]) and the data bytes, or "remote request", and ERRORFRAME for error frames.
std::string format_log_line(const ovel_canfd_frame& frame, const timespec& host_time);
// The same line from the channel on: what follows the time.
std::string format_frame_columns(const ovel_canfd_frame& frame);

}  // namespace ovel::tool
