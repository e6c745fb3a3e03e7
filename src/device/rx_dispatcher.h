// The receive dispatch thread of one streaming period: pops the receive queue and hands
// every frame to the application's handler, one at a time, in queue order.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "gsusb/host_frame.h"
#include "usb/rx_queue.h"

namespace ovel {

// Called with every frame and what the event thread noted about it.
using FrameHandler = std::function<void(const gsusb::HostFrame&, const usb::RxMeta&)>;

class RxDispatcher {
  public:
    // Starts the thread; null if no thread could be started. An empty handler drops frames.
    // The thread pops nothing until `predecessor` (the previous period's dispatcher of the same
    // queue, if any) has ended: the queue has one consumer at a time, and the application's
    // handler is never called twice at once, also when reception restarts from inside it.
    static std::unique_ptr<RxDispatcher> start(std::shared_ptr<usb::RxQueue> queue,
                                               FrameHandler handler,
                                               const RxDispatcher* predecessor);

    RxDispatcher(const RxDispatcher&) = delete;
    RxDispatcher& operator=(const RxDispatcher&) = delete;
    // Waits for the thread unless called on it.
    ~RxDispatcher();

    // The thread delivers no further frame once it has seen this (frames stay queued); a
    // blocked pop is woken.
    void request_stop();
    // Waits until the thread has ended; on the thread itself (a call from inside the handler)
    // it lets the thread end by itself instead. Any number of threads may call it.
    void finish();
    // Lets the thread end by itself, without waiting for it.
    void let_go();
    bool has_ended() const { return state_->ended.load(std::memory_order_acquire); }
    bool on_dispatch_thread() const { return std::this_thread::get_id() == thread_id_; }

  private:
    // What the thread uses; shared so that it outlives the device if the handler closes it.
    struct State {
        std::shared_ptr<usb::RxQueue> queue;
        FrameHandler handler;
        std::atomic<bool> stop_requested{false};
        std::atomic<bool> ended{false};      // futex word: the thread pops and delivers no more
        std::shared_ptr<State> predecessor;  // released once it has ended
    };

    RxDispatcher() = default;
    static void run(const std::shared_ptr<State>& state);
    static void wait_until_ended(const State& state);

    std::shared_ptr<State> state_;
    std::mutex finish_mutex_;
    std::thread thread_;
    std::thread::id thread_id_;
};

}  // namespace ovel
