#include "gsusb/host_frame.h"

#include <algorithm>

#include "gsusb/little_endian.h"

namespace ovel::gsusb {
namespace {

constexpr std::size_t HEADER_SIZE = 12;
constexpr std::size_t SHORT_DATA_SIZE = HOST_FRAME_SHORT_SIZE - HEADER_SIZE;
constexpr std::uint8_t MAX_CLASSIC_DLC = 8;

}  // namespace

HostFrame decode_host_frame(std::span<const std::uint8_t, HOST_FRAME_SIZE> buffer) {
    HostFrame frame;
    frame.echo_id = little_endian::read_u32(buffer, 0);
    frame.can_id = little_endian::read_u32(buffer, 4);
    frame.dlc = buffer[8];
    frame.channel = buffer[9];
    frame.flags = buffer[10];
    frame.reserved = buffer[11];
    std::copy_n(buffer.begin() + HEADER_SIZE, frame.data.size(), frame.data.begin());
    frame.timestamp = little_endian::read_u32(buffer, HOST_FRAME_LONG_SIZE);
    return frame;
}

std::size_t encode_host_frame(const HostFrame& frame,
                              std::span<std::uint8_t, HOST_FRAME_LONG_SIZE> out, OutForms forms) {
    little_endian::write_u32(out, 0, frame.echo_id);
    little_endian::write_u32(out, 4, frame.can_id);
    out[8] = frame.dlc;
    out[9] = frame.channel;
    out[10] = frame.flags;
    out[11] = frame.reserved;

    const bool fd = (frame.flags & FLAG_FD) != 0;
    const bool long_form =
        fd || (frame.dlc > MAX_CLASSIC_DLC && forms == OutForms::ShortAndLong);
    const std::size_t data_size = long_form ? frame.data.size() : SHORT_DATA_SIZE;
    std::copy_n(frame.data.begin(), data_size, out.begin() + HEADER_SIZE);
    return HEADER_SIZE + data_size;
}

HostFrame host_frame_for_transmit(const CanFrame& frame) {
    HostFrame host;
    host.echo_id = ECHO_ID_TX;
    host.can_id = frame.id | (frame.extended ? CAN_EFF_FLAG : 0) | (frame.rtr ? CAN_RTR_FLAG : 0) |
                  (frame.err ? CAN_ERR_FLAG : 0);
    host.dlc = frame.dlc;
    host.channel = frame.channel;
    host.flags = frame.fd ? static_cast<std::uint8_t>(FLAG_FD | (frame.brs ? FLAG_BRS : 0) |
                                                      (frame.esi ? FLAG_ESI : 0))
                          : std::uint8_t{0};
    host.reserved = 0;
    const std::size_t copied = std::min(frame.data.size(), host.data.size());
    std::copy_n(frame.data.begin(), copied, host.data.begin());
    host.timestamp = frame.device_timestamp;
    return host;
}

}  // namespace ovel::gsusb
