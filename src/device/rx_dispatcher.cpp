#include "device/rx_dispatcher.h"

#include <new>
#include <system_error>

#include "platform/thread_name.h"

namespace ovel {

void RxDispatcher::wait_until_ended(const State& state) {
    while (!state.ended.load(std::memory_order_acquire)) {
        state.ended.wait(false, std::memory_order_acquire);
    }
}

std::unique_ptr<RxDispatcher> RxDispatcher::start(std::shared_ptr<usb::RxQueue> queue,
                                                  FrameHandler handler,
                                                  const RxDispatcher* predecessor) {
    std::unique_ptr<RxDispatcher> dispatcher(new RxDispatcher());
    dispatcher->state_ = std::make_shared<State>();
    dispatcher->state_->queue = std::move(queue);
    dispatcher->state_->handler = std::move(handler);
    if (predecessor != nullptr && !predecessor->state_->ended.load(std::memory_order_acquire)) {
        dispatcher->state_->predecessor = predecessor->state_;
    }
    try {
        dispatcher->thread_ = std::thread(&RxDispatcher::run, dispatcher->state_);
    } catch (const std::system_error&) {
        return nullptr;
    }
    dispatcher->thread_id_ = dispatcher->thread_.get_id();
    return dispatcher;
}

RxDispatcher::~RxDispatcher() {
    finish();
}

void RxDispatcher::request_stop() {
    state_->stop_requested.store(true, std::memory_order_release);
    state_->queue->wake();
}

void RxDispatcher::let_go() {
    std::lock_guard lock(finish_mutex_);
    if (thread_.joinable()) {
        thread_.detach();
    }
}

void RxDispatcher::finish() {
    {
        std::lock_guard lock(finish_mutex_);
        if (thread_.joinable()) {
            if (on_dispatch_thread()) {
                thread_.detach();
                return;
            }
            thread_.join();
        }
    }
    // A thread let go earlier (the handler stopped reception itself) may still be in its
    // last callback.
    if (!on_dispatch_thread()) {
        wait_until_ended(*state_);
    }
}

void RxDispatcher::run(const std::shared_ptr<State>& state) {
    platform::name_this_thread("ovel-dispatch");
    if (state->predecessor) {
        // Its last callback may still be running (a restart from inside it); ended is set
        // after that callback and its last pop, so waiting here orders both before ours.
        wait_until_ended(*state->predecessor);
        state->predecessor.reset();
    }
    gsusb::HostFrame frame{};
    usb::RxMeta meta{};
    while (!state->stop_requested.load(std::memory_order_acquire)) {
        const auto result = state->queue->pop(frame, meta);
        if (result == usb::RxQueue::PopResult::Disconnected) {
            break;
        }
        if (result == usb::RxQueue::PopResult::Frame && state->handler) {
            state->handler(frame, meta);
        }
    }
    state->ended.store(true, std::memory_order_release);
    state->ended.notify_all();
}

}  // namespace ovel
