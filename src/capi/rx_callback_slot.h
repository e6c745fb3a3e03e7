// The application's receive callback as the dispatch threads of one handle call it, across its
// streaming periods. The callback can be replaced while frames are being delivered: once
// release_after_calls() has returned, the old one is not running and is not called again
// (unless called from inside it).
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
    RxCallbackSlot() = default;  // no callback: frames are dropped
    RxCallbackSlot(const RxCallbackSlot&) = delete;
    RxCallbackSlot& operator=(const RxCallbackSlot&) = delete;
    ~RxCallbackSlot();

    // Dispatch thread: calls the current callback with the record; false if there is none.
    // Only one thread at a time (the handle's dispatch gate sees to it).
    bool deliver(const ovel_canfd_frame& record, const usb::RxMeta& meta);
    // Installs `next` (owned from now on) and returns the callback it replaced, which a call
    // in progress may still be using: hand it to release_after_calls. Callers serialize.
    const RxCallback* exchange(RxCallback* next);
    // Waits until a call in progress that may have read `old` has returned (unless called
    // from inside that call), then frees it.
    void release_after_calls(const RxCallback* old);
    // Whether the calling thread is inside a callback delivered by this slot.
    bool delivering_here() const;

  private:
    std::atomic<const RxCallback*> current_{nullptr};
    // Odd while a callback runs. Its change around every call lets release_after_calls() see
    // whether a call that may have read the old callback is still running, without a lock per
    // frame.
    std::atomic<std::uint32_t> calls_{0};
    std::atomic<int> replacers_waiting_{0};
};

}  // namespace ovel
