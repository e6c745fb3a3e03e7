// ovel_canfd_set_rx_handler: the receive callback that also gets the frame's info record;
// ovel_canfd_set_rx_latency: how long received frames may wait for it.
#include <new>

#include "capi/entry_points.h"
#include "capi/rx_registration.h"

extern "C" {

OVEL_CANFD_API int32_t ovel_canfd_set_rx_handler(ovel_canfd_driver* handle,
                                                 ovel_canfd_rx_handler handler, void* user) {
    if (handle == nullptr) {
        return OVEL_CANFD_NO_DEVICE;
    }
    try {
        ovel::register_rx_callback(handle, ovel::RxCallback{nullptr, nullptr, user, handler});
    } catch (const std::bad_alloc&) {
        handle->failures.set("failed to set receive handler: out of memory");
        return OVEL_CANFD_ERR_DEVICE;
    }
    handle->failures.clear();
    return OVEL_CANFD_OK;
}

OVEL_CANFD_API int32_t ovel_canfd_set_rx_latency(ovel_canfd_driver* handle, uint32_t max_us) {
    return ovel::capi::configure_device(
        handle, "failed to set receive latency",
        [&](ovel::Device& device) { return device.set_rx_latency(max_us); });
}

}  // extern "C"
