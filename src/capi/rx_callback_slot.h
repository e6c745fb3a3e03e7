// The application's receive callback as the dispatch thread of one streaming period calls it.
// The callback can be replaced while frames are being delivered: after replace() returns, the
// old one is not called again (unless replace() was called from inside it).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "ovelcanfd.h"
#include "usb/rx_meta.h"

namespace ovel {

// One registration: a plain callback, a callback with its user pointer, a handler that also
// gets the frame's info record, or none.
struct RxCallback {
    ovel_canfd_rx_callback plain = nullptr;
    ovel_canfd_rx_callback_ex with_user = nullptr;
    void* user = nullptr;
    ovel_canfd_rx_handler with_info = nullptr;
};

class RxCallbackSlot {
  public:
    explicit RxCallbackSlot(const RxCallback& callback);
    RxCallbackSlot(const RxCallbackSlot&) = delete;
    RxCallbackSlot& operator=(const RxCallbackSlot&) = delete;
    ~RxCallbackSlot();

    // Dispatch thread: calls the current callback with the record; false if there is none.
    bool deliver(const ovel_canfd_frame& record, const usb::RxMeta& meta);
    // Any thread: installs `callback` and waits until a call of the old one in progress on the
    // dispatch thread has returned, unless called from inside that call.
    void replace(const RxCallback& callback);
    // Whether the calling thread is inside a callback delivered by this slot.
    bool delivering_here() const;

  private:
    std::atomic<const RxCallback*> current_;
    // Odd while a callback runs. Its change around every call lets replace() see whether a call
    // that may have read the old callback is still running, without a lock per frame.
    std::atomic<std::uint32_t> calls_{0};
    std::atomic<int> replacers_waiting_{0};
};

}  // namespace ovel
