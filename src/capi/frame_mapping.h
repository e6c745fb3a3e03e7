// Translation between the C frame record and the library's frame forms.
#pragma once

#include "gsusb/host_frame.h"
#include "ovelcanfd.h"
#include "usb/rx_meta.h"

namespace ovel {

// The application's record as a frame to transmit; bool bytes are read as raw bytes.
gsusb::CanFrame can_frame_from_record(const ovel_canfd_frame& record);

// A received host frame as the record the callback sees (every bool exactly 0 or 1).
void record_from_host_frame(const gsusb::HostFrame& frame, ovel_canfd_frame& record);

// What the event thread noted about a received frame as the handler's info record.
ovel_canfd_rx_info rx_info_from_meta(const usb::RxMeta& meta);

}  // namespace ovel
