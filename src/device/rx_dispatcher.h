// The receive dispatch of one handle: a thread per streaming period that pops the receive queue
// and hands every frame to the application's handler, one at a time, in queue order; and the
// line that orders those threads across stops, restarts, closes and reopens.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "gsusb/host_frame.h"
#include "usb/rx_queue.h"

namespace ovel {

// Called with every frame and what the event thread noted about it.
using FrameHandler = std::function<void(const gsusb::HostFrame&, const usb::RxMeta&)>;

// Passed from one dispatch thread of a line to the next, in the order they were started: only
// the one at the front of `turns` may pop and deliver. Shared, so that a thread let go when its
// handle was freed from inside the callback can still pass it on.
struct DispatchGate {
    std::mutex mutex;
    std::condition_variable released;
    std::deque<std::uint64_t> turns;  // tickets of the threads not yet done with it, in order
    std::uint64_t next_ticket = 0;
};

// The dispatch thread of one streaming period.
class RxDispatcher {
  public:
    // Starts the thread; null if no thread could be started. An empty handler drops frames.
    // The thread pops nothing until every thread started on `gate` before it is done with it,
    // or at all if asked to stop before.
    static std::unique_ptr<RxDispatcher> start(std::shared_ptr<usb::RxQueue> queue,
                                               FrameHandler handler,
                                               std::shared_ptr<DispatchGate> gate);

    RxDispatcher(const RxDispatcher&) = delete;
    RxDispatcher& operator=(const RxDispatcher&) = delete;
    // Joins the thread unless it was let go; on the thread itself it lets it end by itself.
    ~RxDispatcher();

    // The thread delivers no further frame once it has seen this (frames stay queued); a
    // blocked pop and a wait for the gate are woken.
    void request_stop();
    // Waits until the thread has ended and joins it; any number of threads, never the
    // thread itself.
    void finish();
    // Lets the thread end by itself, without waiting for it.
    void let_go();
    bool has_ended() const { return state_->ended.load(std::memory_order_acquire); }
    bool on_dispatch_thread() const { return std::this_thread::get_id() == thread_id_; }

  private:
    // What the thread uses; shared so that it outlives the handle if the handler frees it.
    struct State {
        std::shared_ptr<usb::RxQueue> queue;
        FrameHandler handler;
        std::shared_ptr<DispatchGate> gate;
        std::atomic<bool> stop_requested{false};
        std::atomic<bool> ended{false};  // futex word: the thread pops and delivers no more
        std::uint64_t ticket = 0;
    };

    RxDispatcher() = default;
    static void run(const std::shared_ptr<State>& state);
    static bool enter_gate(State& state);
    static void leave_gate(State& state);

    std::shared_ptr<State> state_;
    std::mutex finish_mutex_;
    std::thread thread_;
    std::thread::id thread_id_;
};

// The dispatch threads of one handle, across its streaming periods and the adapters it opens
// in turn. A new thread delivers only once every earlier one has ended, so the handler is never
// called twice at once, however reception is restarted, closed or reopened from inside it, and
// a closed adapter's last frames come before a newer one's.
// Threads of ended periods are kept here until someone who may wait for them joins them.
class RxDispatchLine {
  public:
    RxDispatchLine();  // may throw std::bad_alloc
    RxDispatchLine(const RxDispatchLine&) = delete;
    RxDispatchLine& operator=(const RxDispatchLine&) = delete;
    // Joins the threads; on one of them (the handle freed from inside its callback) it asks
    // every thread to stop and lets those go that have not ended.
    ~RxDispatchLine();

    // A dispatch thread for a new streaming period; null if none could be started.
    std::shared_ptr<RxDispatcher> start(std::shared_ptr<usb::RxQueue> queue, FrameHandler handler);
    // Takes over the thread of a period that has ended: asked to stop, or its queue
    // disconnected. Allocates nothing (start reserved the place), so a destructor may call it.
    void retire(std::shared_ptr<RxDispatcher> dispatcher);
    // Whether the calling thread is one of this line's (a call from inside the handler).
    bool on_dispatch_thread() const;
    // Asks every retired thread to stop: it delivers nothing more.
    void stop_retired();
    // Waits until every retired thread has ended and joins it. On one of the line's own
    // threads it waits for none: it joins those that have ended and leaves the others (which
    // cannot deliver before the calling one has ended) to the next caller.
    void finish();

  private:
    std::shared_ptr<DispatchGate> gate_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<RxDispatcher>> retired_;
    std::size_t unretired_ = 0;  // started and not yet retired
};

}  // namespace ovel
