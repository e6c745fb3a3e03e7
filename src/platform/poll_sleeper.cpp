#include "platform/poll_sleeper.h"

#include "platform/target.h"

#if OVEL_PLATFORM_LINUX
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>
#endif

namespace ovel::platform {

#if OVEL_PLATFORM_LINUX

namespace {
timespec to_timespec(PollSleeper::Clock::duration duration) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
    return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}
}  // namespace

bool has_poll_sleeper() {
    return true;
}

bool PollSleeper::open() {
    close();
    timer_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    event_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (timer_fd_ < 0 || event_fd_ < 0) {
        close();
        return false;
    }
    return true;
}

void PollSleeper::close() {
    for (int* fd : {&timer_fd_, &event_fd_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

void PollSleeper::sleep_until(Clock::time_point wake) {
    pollfd fds[2] = {{timer_fd_, POLLIN, 0}, {event_fd_, POLLIN, 0}};
    const Clock::time_point now = Clock::now();
    if (wake == Clock::time_point::max()) {
        ::ppoll(fds, 2, nullptr, nullptr);
    } else if (wake > now) {
        const timespec left = to_timespec(wake - now);
        ::ppoll(fds, 2, &left, nullptr);
    }
}

void PollSleeper::arm_timer(Clock::time_point when) {
    // steady_clock is CLOCK_MONOTONIC.
    const itimerspec at{{0, 0}, to_timespec(when.time_since_epoch())};
    ::timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME, &at, nullptr);
}

void PollSleeper::signal() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(event_fd_, &one, sizeof one);
}

void PollSleeper::consume_signal() {
    std::uint64_t count;
    [[maybe_unused]] const ssize_t drained = ::read(event_fd_, &count, sizeof count);
}

void PollSleeper::consume_timer() {
    std::uint64_t count;
    if (::read(timer_fd_, &count, sizeof count) < 0) {
        const itimerspec disarm{};
        ::timerfd_settime(timer_fd_, 0, &disarm, nullptr);
    }
}

#else

bool has_poll_sleeper() {
    return false;
}

bool PollSleeper::open() {
    return false;
}
void PollSleeper::close() {}
void PollSleeper::sleep_until(Clock::time_point) {}
void PollSleeper::arm_timer(Clock::time_point) {}
void PollSleeper::signal() {}
void PollSleeper::consume_signal() {}
void PollSleeper::consume_timer() {}

#endif

}  // namespace ovel::platform
