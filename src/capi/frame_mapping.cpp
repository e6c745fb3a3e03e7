#include "capi/frame_mapping.h"

#include "capi/c_bool.h"

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

gsusb::CanFrame can_frame_from_record(const ovel_canfd_frame& record) {
    gsusb::CanFrame frame{};
    frame.data.assign(std::begin(record.data), std::end(record.data));
    frame.id = record.id;
    frame.device_timestamp = 0;
    frame.extended = c_bool(record.extended);
    frame.fd = c_bool(record.fd);
    frame.brs = c_bool(record.brs);
    frame.esi = c_bool(record.esi);
    frame.echo = false;
    frame.rtr = c_bool(record.rtr);
    frame.err = c_bool(record.err);
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
