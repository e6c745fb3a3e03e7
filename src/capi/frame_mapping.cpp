#include "capi/frame_mapping.h"

#include <cstddef>
#include <cstring>

namespace ovel {

static_assert(sizeof(ovel_canfd_frame) == 80);
static_assert(alignof(ovel_canfd_frame) == 4);
static_assert(offsetof(ovel_canfd_frame, channel) == 0);
static_assert(offsetof(ovel_canfd_frame, id) == 4);
static_assert(offsetof(ovel_canfd_frame, dlc) == 8);
static_assert(offsetof(ovel_canfd_frame, data) == 9);
static_assert(offsetof(ovel_canfd_frame, extended) == 73);
static_assert(offsetof(ovel_canfd_frame, fd) == 74);
static_assert(offsetof(ovel_canfd_frame, brs) == 75);
static_assert(offsetof(ovel_canfd_frame, esi) == 76);
static_assert(offsetof(ovel_canfd_frame, echo) == 77);
static_assert(offsetof(ovel_canfd_frame, rtr) == 78);
static_assert(offsetof(ovel_canfd_frame, err) == 79);
static_assert(sizeof(bool) == 1);

namespace {

// A C caller may leave any byte in a bool field; reading it as bool would be undefined.
bool flag_at(const ovel_canfd_frame& record, std::size_t offset) {
    unsigned char byte = 0;
    std::memcpy(&byte, reinterpret_cast<const unsigned char*>(&record) + offset, 1);
    return byte != 0;
}

}  // namespace

gsusb::CanFrame can_frame_from_record(const ovel_canfd_frame& record) {
    gsusb::CanFrame frame{};
    frame.data.assign(std::begin(record.data), std::end(record.data));
    frame.id = record.id;
    frame.device_timestamp = 0;
    frame.extended = flag_at(record, offsetof(ovel_canfd_frame, extended));
    frame.fd = flag_at(record, offsetof(ovel_canfd_frame, fd));
    frame.brs = flag_at(record, offsetof(ovel_canfd_frame, brs));
    frame.esi = flag_at(record, offsetof(ovel_canfd_frame, esi));
    frame.echo = false;
    frame.rtr = flag_at(record, offsetof(ovel_canfd_frame, rtr));
    frame.err = flag_at(record, offsetof(ovel_canfd_frame, err));
    frame.dlc = record.dlc;
    frame.channel = record.channel;
    return frame;
}

void record_from_host_frame(const gsusb::HostFrame& frame, ovel_canfd_frame& record) {
    record.channel = frame.channel;
    // The alignment gap carries no meaning, but no stale stack bytes leave the library either.
    std::memset(reinterpret_cast<unsigned char*>(&record) + 1, 0,
                offsetof(ovel_canfd_frame, id) - 1);
    record.id = frame.can_id & gsusb::CAN_ID_MASK;
    record.dlc = frame.dlc;
    std::memcpy(record.data, frame.data.data(), sizeof record.data);
    record.extended = (frame.can_id & gsusb::CAN_EFF_FLAG) != 0;
    record.fd = (frame.flags & gsusb::FLAG_FD) != 0;
    record.brs = (frame.flags & gsusb::FLAG_BRS) != 0;
    record.esi = (frame.flags & gsusb::FLAG_ESI) != 0;
    record.echo = frame.echo_id != gsusb::ECHO_ID_RX;
    record.rtr = (frame.can_id & gsusb::CAN_RTR_FLAG) != 0;
    record.err = (frame.can_id & gsusb::CAN_ERR_FLAG) != 0;
}

}  // namespace ovel
