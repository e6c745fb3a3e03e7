#include "capi/rx_callback_slot.h"

#include "capi/frame_mapping.h"

namespace ovel {
namespace {

thread_local const RxCallbackSlot* delivering_slot = nullptr;

}  // namespace

RxCallbackSlot::~RxCallbackSlot() {
    delete current_.load();
}

bool RxCallbackSlot::delivering_here() const {
    return delivering_slot == this;
}

bool RxCallbackSlot::deliver(const ovel_canfd_frame& record, const usb::RxMeta& meta) {
    // Announce the call before reading the callback: a release_after_calls() of what an
    // exchange() took out after this read then sees the call in progress (all sequentially
    // consistent).
    const std::uint32_t started = calls_.fetch_add(1, std::memory_order_seq_cst) + 1;
    const RxCallback* callback = current_.load(std::memory_order_seq_cst);
    delivering_slot = this;
    const bool called = callback != nullptr &&
                        (callback->with_info != nullptr || callback->with_user != nullptr ||
                         callback->plain != nullptr);
    if (called && callback->with_info != nullptr) {
        const ovel_canfd_rx_info info = rx_info_from_meta(meta);
        callback->with_info(&record, &info, callback->user);
    } else if (called && callback->with_user != nullptr) {
        callback->with_user(&record, callback->user);
    } else if (called) {
        callback->plain(&record);
    }
    delivering_slot = nullptr;
    calls_.store(started + 1, std::memory_order_seq_cst);
    if (replacers_waiting_.load(std::memory_order_seq_cst) > 0) {
        calls_.notify_all();
    }
    return called;
}

const RxCallback* RxCallbackSlot::exchange(RxCallback* next) {
    return current_.exchange(next, std::memory_order_seq_cst);
}

void RxCallbackSlot::release_after_calls(const RxCallback* old) {
    if (!delivering_here()) {
        replacers_waiting_.fetch_add(1, std::memory_order_seq_cst);
        const std::uint32_t seen = calls_.load(std::memory_order_seq_cst);
        if (seen % 2 == 1) {
            // A call that may have read `old` is running: wait until it has returned.
            for (std::uint32_t now = seen; now == seen;
                 now = calls_.load(std::memory_order_seq_cst)) {
                calls_.wait(seen, std::memory_order_seq_cst);
            }
        }
        replacers_waiting_.fetch_sub(1, std::memory_order_seq_cst);
    }
    // From inside the call it is safe too: deliver() reads nothing of it once the call began.
    delete old;
}

}  // namespace ovel
