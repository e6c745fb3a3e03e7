// Receive callbacks for tests: the C callback has no context pointer, so frames go to a
// process-wide collector that tests wait on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "ovelcanfd.h"

namespace ovel::test {

struct Received {
    ovel_canfd_frame record;
    int callback;  // which of the test callbacks got it (1 or 2)
    std::array<unsigned char, 80> raw;
};

class FrameCollector {
  public:
    static FrameCollector& instance() {
        static FrameCollector collector;
        return collector;
    }

    void reset() {
        std::lock_guard lock(mutex_);
        frames_.clear();
        hook_ = nullptr;
    }

    // Runs inside the callback, before the frame is recorded.
    void set_hook(std::function<void(const ovel_canfd_frame&)> hook) {
        std::lock_guard lock(mutex_);
        hook_ = std::move(hook);
    }

    void add(const ovel_canfd_frame* frame, int callback) {
        std::function<void(const ovel_canfd_frame&)> hook;
        {
            std::lock_guard lock(mutex_);
            hook = hook_;
        }
        if (hook) {
            hook(*frame);
        }
        Received r{*frame, callback, {}};
        std::memcpy(r.raw.data(), frame, sizeof *frame);
        std::lock_guard lock(mutex_);
        frames_.push_back(r);
        changed_.notify_all();
    }

    // Waits (bounded) until at least `count` frames have arrived.
    bool wait_for(std::size_t count, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, bound, [&] { return frames_.size() >= count; });
    }

    std::vector<Received> frames() {
        std::lock_guard lock(mutex_);
        return frames_;
    }

    std::size_t size() {
        std::lock_guard lock(mutex_);
        return frames_.size();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Received> frames_;
    std::function<void(const ovel_canfd_frame&)> hook_;
};

inline void collect_1(const ovel_canfd_frame* frame) {
    FrameCollector::instance().add(frame, 1);
}
inline void collect_2(const ovel_canfd_frame* frame) {
    FrameCollector::instance().add(frame, 2);
}

// Sequence number a test put into the first four data bytes.
inline std::uint32_t sequence_of(const ovel_canfd_frame& f) {
    return static_cast<std::uint32_t>(f.data[0]) | static_cast<std::uint32_t>(f.data[1]) << 8 |
           static_cast<std::uint32_t>(f.data[2]) << 16 |
           static_cast<std::uint32_t>(f.data[3]) << 24;
}

}  // namespace ovel::test
