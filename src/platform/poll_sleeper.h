// What libusb's event thread sleeps on: a poll of a timer descriptor and an event descriptor, so
// that another thread can end the sleep or bring its end forward with one system call.
#pragma once

#include <chrono>

namespace ovel::platform {

// Whether PollSleeper::open can succeed on this system.
bool has_poll_sleeper();

class PollSleeper {
  public:
    using Clock = std::chrono::steady_clock;

    PollSleeper() = default;
    PollSleeper(const PollSleeper&) = delete;
    PollSleeper& operator=(const PollSleeper&) = delete;
    ~PollSleeper() { close(); }

    // Creates the descriptors; false where the system has none (not Linux) or refuses them:
    // the caller then sleeps on a condition variable.
    bool open();
    void close();
    bool is_open() const { return timer_fd_ >= 0; }

    // Sleeps until `wake` (Clock::time_point::max(): no limit), the timer or signal().
    void sleep_until(Clock::time_point wake);
    // Ends a sleep at `when` at the latest (the steady clock's time).
    void arm_timer(Clock::time_point when);
    // Ends the current or next sleep.
    void signal();
    // After a sleep: consume a signal() and a timer armed during it (a timer not yet expired is
    // disarmed so that it cannot end a later sleep).
    void consume_signal();
    void consume_timer();

  private:
    int timer_fd_ = -1;
    int event_fd_ = -1;
};

}  // namespace ovel::platform
