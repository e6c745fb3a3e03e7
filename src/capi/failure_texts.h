// The failure texts of one handle, one per calling thread: with calls from several threads on
// one handle, each thread reads the text of its own last call.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace ovel {

class FailureTexts {
  public:
    // The calling thread's last call on the handle succeeded.
    void clear();
    // The calling thread's last call failed with this text.
    void set(std::string text) noexcept;
    // The calling thread's text ("" after a success); valid until its next call on the handle.
    const char* get();
    // Takes the lock once, so that what other threads wrote before happens before the caller.
    void synchronize() { std::lock_guard lock(mutex_); }

  private:
    std::mutex mutex_;
    // Only threads whose last call failed have an entry, so the map stays small. Nodes never
    // move: another thread's insertion leaves the returned text in place.
    std::map<std::thread::id, std::string> texts_;
};

}  // namespace ovel
