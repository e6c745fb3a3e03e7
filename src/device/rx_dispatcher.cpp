#include "device/rx_dispatcher.h"

#include <algorithm>
#include <new>
#include <system_error>

#include "platform/thread_name.h"

namespace ovel {
namespace {

// The gate of the line whose dispatch thread this is; null on other threads.
thread_local const DispatchGate* line_of_this_thread = nullptr;

}  // namespace

std::unique_ptr<RxDispatcher> RxDispatcher::start(std::shared_ptr<usb::RxQueue> queue,
                                                  FrameHandler handler,
                                                  std::shared_ptr<DispatchGate> gate) {
    std::unique_ptr<RxDispatcher> dispatcher(new RxDispatcher());
    dispatcher->state_ = std::make_shared<State>();
    dispatcher->state_->queue = std::move(queue);
    dispatcher->state_->handler = std::move(handler);
    dispatcher->state_->gate = std::move(gate);
    DispatchGate& turns = *dispatcher->state_->gate;
    {
        std::lock_guard lock(turns.mutex);
        dispatcher->state_->ticket = turns.next_ticket++;
        turns.turns.push_back(dispatcher->state_->ticket);
    }
    try {
        dispatcher->thread_ = std::thread(&RxDispatcher::run, dispatcher->state_);
    } catch (const std::system_error&) {
        leave_gate(*dispatcher->state_);
        return nullptr;
    }
    dispatcher->thread_id_ = dispatcher->thread_.get_id();
    return dispatcher;
}

RxDispatcher::~RxDispatcher() {
    std::lock_guard lock(finish_mutex_);
    if (thread_.joinable()) {
        if (on_dispatch_thread()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

void RxDispatcher::request_stop() {
    {
        // Under the gate's lock, so that a thread waiting for the gate cannot miss it.
        std::lock_guard lock(state_->gate->mutex);
        state_->stop_requested.store(true, std::memory_order_release);
    }
    state_->gate->released.notify_all();
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
            thread_.join();
        }
    }
    // A thread let go may still be in its last callback.
    while (!state_->ended.load(std::memory_order_acquire)) {
        state_->ended.wait(false, std::memory_order_acquire);
    }
}

bool RxDispatcher::enter_gate(State& state) {
    DispatchGate& gate = *state.gate;
    std::unique_lock lock(gate.mutex);
    gate.released.wait(lock, [&] {
        return gate.turns.front() == state.ticket ||
               state.stop_requested.load(std::memory_order_acquire);
    });
    return !state.stop_requested.load(std::memory_order_acquire);
}

void RxDispatcher::leave_gate(State& state) {
    DispatchGate& gate = *state.gate;
    {
        std::lock_guard lock(gate.mutex);
        // Erasing allocates nothing; a thread that gives up its turn may not be at the front.
        gate.turns.erase(std::find(gate.turns.begin(), gate.turns.end(), state.ticket));
    }
    gate.released.notify_all();
}

void RxDispatcher::run(const std::shared_ptr<State>& state) {
    platform::name_this_thread("ovel-dispatch");
    line_of_this_thread = state->gate.get();
    // The gate orders the previous holder's last callback and last pop before our first.
    if (enter_gate(*state)) {
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
    }
    leave_gate(*state);
    state->ended.store(true, std::memory_order_release);
    state->ended.notify_all();
}

RxDispatchLine::RxDispatchLine() : gate_(std::make_shared<DispatchGate>()) {}

RxDispatchLine::~RxDispatchLine() {
    if (on_dispatch_thread()) {
        // Freed from inside the callback: no thread of the line delivers any more, and the
        // calling one (and those waiting for it to leave the gate) cannot be waited for here.
        stop_retired();
        std::lock_guard lock(mutex_);
        for (const auto& dispatcher : retired_) {
            if (dispatcher->has_ended()) {
                dispatcher->finish();
            } else {
                dispatcher->let_go();
            }
        }
        return;
    }
    finish();
}

std::shared_ptr<RxDispatcher> RxDispatchLine::start(std::shared_ptr<usb::RxQueue> queue,
                                                    FrameHandler handler) {
    std::lock_guard lock(mutex_);
    std::unique_ptr<RxDispatcher> started;
    try {
        retired_.reserve(retired_.size() + unretired_ + 1);
        started = RxDispatcher::start(std::move(queue), std::move(handler), gate_);
        if (!started) {
            return nullptr;
        }
        std::shared_ptr<RxDispatcher> dispatcher(std::move(started));
        ++unretired_;
        return dispatcher;
    } catch (const std::bad_alloc&) {
        if (started) {
            started->request_stop();  // it delivers nothing and ends; its destructor joins it
        }
        return nullptr;
    }
}

void RxDispatchLine::retire(std::shared_ptr<RxDispatcher> dispatcher) {
    if (!dispatcher) {
        return;
    }
    std::lock_guard lock(mutex_);
    --unretired_;
    retired_.emplace_back(std::move(dispatcher));  // within the capacity start reserved
}

bool RxDispatchLine::on_dispatch_thread() const {
    return line_of_this_thread == gate_.get();
}

void RxDispatchLine::stop_retired() {
    std::lock_guard lock(mutex_);
    for (const auto& dispatcher : retired_) {
        dispatcher->request_stop();
    }
}

void RxDispatchLine::finish() {
    const bool inside = on_dispatch_thread();
    for (;;) {
        std::shared_ptr<RxDispatcher> next;
        {
            std::lock_guard lock(mutex_);
            // On a dispatch thread, one that has not ended waits for this one to leave the
            // gate (or is this one).
            const auto found =
                std::find_if(retired_.begin(), retired_.end(),
                             [&](const auto& dispatcher) { return !inside || dispatcher->has_ended(); });
            if (found == retired_.end()) {
                return;
            }
            next = *found;
        }
        next->finish();
        std::lock_guard lock(mutex_);
        std::erase(retired_, next);
    }
}

}  // namespace ovel
