// Translation between the C frame record and the library's frame forms.
#pragma once

#include "gsusb/host_frame.h"
#include "ovelcanfd.h"

namespace ovel {

// The application's record as a frame to transmit; bool bytes are read as raw bytes.
gsusb::CanFrame can_frame_from_record(const ovel_canfd_frame& record);

// A received host frame as the record the callback sees (every bool exactly 0 or 1).
void record_from_host_frame(const gsusb::HostFrame& frame, ovel_canfd_frame& record);

}  // namespace ovel
