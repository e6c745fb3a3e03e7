#include "decoding_checks.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "capi/frame_mapping.h"
#include "gsusb/host_frame.h"

namespace ovel::fuzz {
namespace {

using gsusb::HOST_FRAME_LONG_SIZE;
using gsusb::HOST_FRAME_SHORT_SIZE;
using gsusb::HOST_FRAME_SIZE;

constexpr std::size_t HEADER_SIZE = 12;
constexpr std::uint8_t SENTINEL = 0xA5;

std::uint32_t le32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::uint8_t byte_at(const ovel_canfd_frame& record, std::size_t offset) {
    std::uint8_t byte = 0;
    std::memcpy(&byte, reinterpret_cast<const std::uint8_t*>(&record) + offset, 1);
    return byte;
}

// The receive direction: wire bytes to the record a callback sees, and back to the wire.
std::string check_received(const std::uint8_t* data, std::size_t size) {
    // The driver zeroes what the adapter did not send; the decoder reads the whole buffer.
    std::array<std::uint8_t, HOST_FRAME_SIZE> buffer{};
    std::copy_n(data, std::min(size, buffer.size()), buffer.begin());
    const gsusb::HostFrame frame = gsusb::decode_host_frame(buffer);
    if (frame.echo_id != le32(&buffer[0]) || frame.can_id != le32(&buffer[4]) ||
        frame.dlc != buffer[8] || frame.channel != buffer[9] || frame.flags != buffer[10] ||
        frame.reserved != buffer[11] || frame.timestamp != le32(&buffer[76]) ||
        !std::equal(frame.data.begin(), frame.data.end(), &buffer[HEADER_SIZE])) {
        return "decode_host_frame does not mirror the buffer";
    }

    ovel_canfd_frame record;
    std::memset(&record, SENTINEL, sizeof record);
    record_from_host_frame(frame, record);
    for (std::size_t offset = offsetof(ovel_canfd_frame, extended); offset < sizeof record;
         ++offset) {
        if (byte_at(record, offset) > 1) {
            return "a received record's bool is neither 0 nor 1";
        }
    }
    for (std::size_t offset = 1; offset < offsetof(ovel_canfd_frame, id); ++offset) {
        if (byte_at(record, offset) != 0) {
            return "the record's alignment gap carries stale bytes";
        }
    }
    if (record.channel != frame.channel || record.dlc != frame.dlc ||
        record.id != (frame.can_id & gsusb::CAN_ID_MASK) ||
        std::memcmp(record.data, frame.data.data(), sizeof record.data) != 0 ||
        record.extended != ((frame.can_id & gsusb::CAN_EFF_FLAG) != 0) ||
        record.rtr != ((frame.can_id & gsusb::CAN_RTR_FLAG) != 0) ||
        record.err != ((frame.can_id & gsusb::CAN_ERR_FLAG) != 0) ||
        record.fd != ((frame.flags & gsusb::FLAG_FD) != 0) ||
        record.brs != ((frame.flags & gsusb::FLAG_BRS) != 0) ||
        record.esi != ((frame.flags & gsusb::FLAG_ESI) != 0) ||
        record.echo != (frame.echo_id != gsusb::ECHO_ID_RX)) {
        return "record_from_host_frame changed a field";
    }

    // Encoding the decoded frame gives back the wire bytes of its form, and writes no further.
    std::array<std::uint8_t, HOST_FRAME_LONG_SIZE> wire;
    wire.fill(SENTINEL);
    const std::size_t length = gsusb::encode_host_frame(frame, wire);
    const bool long_form = frame.dlc > 8 || (frame.flags & gsusb::FLAG_FD) != 0;
    if (length != (long_form ? HOST_FRAME_LONG_SIZE : HOST_FRAME_SHORT_SIZE)) {
        return "encode_host_frame chose the wrong length";
    }
    if (!std::equal(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(length),
                    buffer.begin())) {
        return "decode then encode does not give the same bytes";
    }
    if (std::any_of(wire.begin() + static_cast<std::ptrdiff_t>(length), wire.end(),
                    [](std::uint8_t b) { return b != SENTINEL; })) {
        return "encode_host_frame wrote past the length it returned";
    }

    // A received record sent back as it is reproduces the frame, flag bits included (brs and
    // esi only with fd: a classic frame has neither).
    const gsusb::HostFrame again = gsusb::host_frame_for_transmit(can_frame_from_record(record));
    const auto known_flags =
        static_cast<std::uint8_t>(gsusb::FLAG_FD | gsusb::FLAG_BRS | gsusb::FLAG_ESI);
    const auto sent_flags = static_cast<std::uint8_t>(
        (frame.flags & gsusb::FLAG_FD) != 0 ? frame.flags & known_flags : 0);
    if (again.can_id != frame.can_id || again.dlc != frame.dlc || again.channel != frame.channel ||
        again.flags != sent_flags || again.data != frame.data ||
        again.echo_id != gsusb::ECHO_ID_TX || again.reserved != 0) {
        return "a received record does not map back to its frame";
    }
    return {};
}

// The transmit direction: an application's record (any bytes) as the wire form, and the record
// its echo gives back, wherever the driver would send it (identifier and DLC in range).
std::string check_transmitted(const std::uint8_t* data, std::size_t size) {
    ovel_canfd_frame record;
    std::memset(&record, 0, sizeof record);
    if (size > 0) {  // an empty input may come with a null pointer
        std::memcpy(&record, data, std::min(size, sizeof record));
    }
    const gsusb::CanFrame frame = can_frame_from_record(record);
    const bool extended = byte_at(record, offsetof(ovel_canfd_frame, extended)) != 0;
    const bool fd = byte_at(record, offsetof(ovel_canfd_frame, fd)) != 0;
    if (frame.dlc > 15 || frame.id > (extended ? gsusb::CAN_ID_MASK : gsusb::CAN_SFF_MASK) ||
        (fd && frame.rtr)) {
        return {};  // refused before encoding
    }
    std::array<std::uint8_t, HOST_FRAME_LONG_SIZE> wire;
    wire.fill(SENTINEL);
    const std::size_t length = gsusb::encode_host_frame(gsusb::host_frame_for_transmit(frame), wire);
    const bool long_form = frame.dlc > 8 || fd;
    if (length != (long_form ? HOST_FRAME_LONG_SIZE : HOST_FRAME_SHORT_SIZE)) {
        return "a transmitted frame has the wrong wire length";
    }

    std::array<std::uint8_t, HOST_FRAME_SIZE> buffer{};
    std::copy_n(wire.begin(), length, buffer.begin());
    ovel_canfd_frame echo;
    record_from_host_frame(gsusb::decode_host_frame(buffer), echo);
    const std::size_t carried = length - HEADER_SIZE;
    const auto same_bool = [&](std::size_t offset) {
        return byte_at(echo, offset) == (byte_at(record, offset) != 0 ? 1 : 0);
    };
    const auto same_fd_bool = [&](std::size_t offset) {
        return byte_at(echo, offset) == (fd && byte_at(record, offset) != 0 ? 1 : 0);
    };
    if (echo.channel != record.channel || echo.id != record.id || echo.dlc != record.dlc ||
        std::memcmp(echo.data, record.data, carried) != 0 ||
        std::any_of(echo.data + carried, echo.data + sizeof echo.data,
                    [](std::uint8_t b) { return b != 0; }) ||
        !same_bool(offsetof(ovel_canfd_frame, extended)) ||
        !same_bool(offsetof(ovel_canfd_frame, fd)) ||
        !same_fd_bool(offsetof(ovel_canfd_frame, brs)) ||
        !same_fd_bool(offsetof(ovel_canfd_frame, esi)) ||
        !same_bool(offsetof(ovel_canfd_frame, rtr)) ||
        !same_bool(offsetof(ovel_canfd_frame, err)) || !echo.echo) {
        return "the echo of a transmitted record differs from it";
    }

    // A queued send of the same frame: its echo id, from any send id, is in the queued range,
    // far from transmit's and a received frame's, and comes back as it went out.
    std::uint64_t send_id = 0;
    std::memcpy(&send_id, record.data, sizeof send_id);
    gsusb::HostFrame queued = gsusb::host_frame_for_transmit(frame);
    queued.echo_id = gsusb::echo_id_for_send(send_id);
    if (!gsusb::is_queued_echo_id(queued.echo_id) || queued.echo_id == gsusb::ECHO_ID_TX ||
        queued.echo_id == gsusb::ECHO_ID_RX ||
        gsusb::echo_id_for_send(send_id + 1) == queued.echo_id) {
        return "a queued send's echo id is outside its range or repeats its predecessor's";
    }
    std::array<std::uint8_t, HOST_FRAME_LONG_SIZE> queued_wire{};
    const std::size_t queued_length = gsusb::encode_host_frame(queued, queued_wire);
    std::array<std::uint8_t, HOST_FRAME_SIZE> queued_buffer{};
    std::copy_n(queued_wire.begin(), queued_length, queued_buffer.begin());
    if (queued_length != length ||
        gsusb::decode_host_frame(queued_buffer).echo_id != queued.echo_id ||
        !std::equal(wire.begin() + 4, wire.begin() + static_cast<std::ptrdiff_t>(length),
                    queued_wire.begin() + 4)) {
        return "a queued send's frame differs from transmit's beyond its echo id";
    }
    return {};
}

}  // namespace

std::string decoding_problem(const std::uint8_t* data, std::size_t size) {
    if (std::string problem = check_received(data, size); !problem.empty()) {
        return problem;
    }
    return check_transmitted(data, size);
}

}  // namespace ovel::fuzz
