// The receive dispatch thread of one streaming period: pops the receive queue and hands
// every frame to the application's handler, one at a time, in queue order.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "gsusb/host_frame.h"
#include "usb/rx_queue.h"

namespace ovel {

using FrameHandler = std::function<void(const gsusb::HostFrame&)>;

class RxDispatcher {
  public:
    // Starts the thread; null if no thread could be started. An empty handler drops frames.
    static std::unique_ptr<RxDispatcher> start(std::shared_ptr<usb::RxQueue> queue,
                                               FrameHandler handler);

    RxDispatcher(const RxDispatcher&) = delete;
    RxDispatcher& operator=(const RxDispatcher&) = delete;
    // Waits for the thread unless called on it.
    ~RxDispatcher();

    // The thread delivers no further frame once it has seen this; a blocked pop is woken.
    void request_stop();
    // Waits until the thread has ended; on the thread itself (a call from inside the handler)
    // it lets the thread end by itself instead.
    void finish();
    bool on_dispatch_thread() const { return std::this_thread::get_id() == thread_.get_id(); }

  private:
    // What the thread uses; shared so that it outlives the device if the handler closes it.
    struct State {
        std::shared_ptr<usb::RxQueue> queue;
        FrameHandler handler;
        std::atomic<bool> stop_requested{false};
    };

    RxDispatcher() = default;
    static void run(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace ovel
