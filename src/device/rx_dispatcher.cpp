#include "device/rx_dispatcher.h"

#include <new>
#include <system_error>

#include "common/thread_name.h"

namespace ovel {

std::unique_ptr<RxDispatcher> RxDispatcher::start(std::shared_ptr<usb::RxQueue> queue,
                                                  FrameHandler handler) {
    std::unique_ptr<RxDispatcher> dispatcher(new RxDispatcher());
    dispatcher->state_ = std::make_shared<State>();
    dispatcher->state_->queue = std::move(queue);
    dispatcher->state_->handler = std::move(handler);
    try {
        dispatcher->thread_ = std::thread(&RxDispatcher::run, dispatcher->state_);
    } catch (const std::system_error&) {
        return nullptr;
    }
    return dispatcher;
}

RxDispatcher::~RxDispatcher() {
    finish();
}

void RxDispatcher::request_stop() {
    state_->stop_requested.store(true, std::memory_order_release);
    state_->queue->wake();
}

void RxDispatcher::finish() {
    if (!thread_.joinable()) {
        return;
    }
    if (on_dispatch_thread()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

void RxDispatcher::run(const std::shared_ptr<State>& state) {
    name_this_thread("ovel-dispatch");
    gsusb::HostFrame frame{};
    while (!state->stop_requested.load(std::memory_order_acquire)) {
        const auto result = state->queue->pop(frame);
        if (result == usb::RxQueue::PopResult::Disconnected) {
            break;
        }
        if (result == usb::RxQueue::PopResult::Frame && state->handler) {
            state->handler(frame);
        }
    }
}

}  // namespace ovel
