// ovel_canfd_set_rx_handler: the receive callback that also gets the frame's info record.
#include <new>

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

}  // extern "C"
