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

static_assert(offsetof(ovel_canfd_rx_info, send_id) == 40);
static_assert(sizeof(ovel_canfd_rx_info) == 48);
static_assert(offsetof(ovel_canfd_rx_info, size) == 0);
static_assert(offsetof(ovel_canfd_rx_info, flags) == 4);
static_assert(offsetof(ovel_canfd_rx_info, sequence) == 8);
static_assert(offsetof(ovel_canfd_rx_info, host_time_ns) == 16);
static_assert(offsetof(ovel_canfd_rx_info, hw_time_ns) == 24);
static_assert(offsetof(ovel_canfd_rx_info, hw_timestamp_us) == 32);
static_assert(OVEL_CANFD_RX_HW_TIMESTAMP == usb::RX_META_HW_TIMESTAMP);
static_assert(OVEL_CANFD_RX_OVERFLOW == usb::RX_META_OVERFLOW);

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

ovel_canfd_rx_info rx_info_from_meta(const usb::RxMeta& meta) {
    ovel_canfd_rx_info info{};
    info.size = sizeof info;
    info.flags = meta.flags;
    info.sequence = meta.sequence;
    info.host_time_ns = meta.host_ns;
    info.send_id = meta.send_id;
    if ((meta.flags & usb::RX_META_HW_TIMESTAMP) != 0) {
        info.hw_time_ns = meta.hw_ns;
        info.hw_timestamp_us = meta.hw_us;
    }
    return info;
}

}  // namespace ovel
