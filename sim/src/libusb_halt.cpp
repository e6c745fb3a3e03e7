// libusb_clear_halt: the standard CLEAR_FEATURE(ENDPOINT_HALT) request, answered by the adapter
// at once. Like libusb's, it is synchronous and needs no event handling.
#include "model.h"

using namespace ovsim::detail;
using ovsim::ENDPOINT_BULK_IN;
using ovsim::ENDPOINT_BULK_OUT;

extern "C" {

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* handle, unsigned char endpoint) {
    Sim& s = sim();
    std::lock_guard lock(s.mutex);
    require_open_handle(handle, "libusb_clear_halt");
    AdapterModel& adapter = *handle->adapter;
    if (adapter.unplugged) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (endpoint != ENDPOINT_BULK_IN && endpoint != ENDPOINT_BULK_OUT) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    if (endpoint == ENDPOINT_BULK_IN) {
        ++adapter.in_halt_clears;
        if (!adapter.in_halt_persists) {
            adapter.in_halted = false;
        }
        // The request reaches the adapter, which resets its data toggle, and libusb reports
        // success; but a host controller resets its own toggle only for an endpoint with nothing
        // queued (xHCI refuses a busy one, EHCI warns). Otherwise the two now disagree and the
        // host drops the adapter's next packet as a repeat.
        adapter.in_toggle_stale = !adapter.pending_in.empty();
        if (adapter.in_toggle_stale) {
            ++adapter.in_clears_while_queued;
        }
        adapter.in_ep_halted = false;
        adapter_serve_pending(s, adapter);
    }
    return 0;
}

}  // extern "C"
