// Linux sleeps straight on the kernel's futex: std::atomic::wait in libstdc++ first spins and
// calls sched_yield about a dozen times, which on a path that sleeps between every two frames
// costs more system calls than the sleep itself. Windows has the same primitive in WaitOnAddress;
// elsewhere (macOS, the BSDs, or OVEL_PORTABLE_PLATFORM) the standard library's wait serves.
#include "platform/word_wait.h"

#include <thread>

#include "platform/target.h"

#if OVEL_PLATFORM_LINUX
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#elif OVEL_PLATFORM_WINDOWS
#include <windows.h>
#endif

namespace ovel::platform {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

#if OVEL_PLATFORM_LINUX

void wait_on_word(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected,
            nullptr, nullptr, 0);
}

void wait_on_word_for(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                      std::chrono::nanoseconds timeout) noexcept {
    if (timeout <= std::chrono::nanoseconds::zero()) {
        return;
    }
    // FUTEX_WAIT's time-out is relative.
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    timespec relative{};
    relative.tv_sec = static_cast<decltype(relative.tv_sec)>(seconds.count());
    relative.tv_nsec = static_cast<decltype(relative.tv_nsec)>((timeout - seconds).count());
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected,
            &relative, nullptr, 0);
}

void wake_one_on_word(std::atomic<std::uint32_t>& word) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}

std::chrono::nanoseconds timed_wait_lateness() noexcept {
    return std::chrono::microseconds(50);
}

const char* word_wait_method() noexcept {
    return "futex";
}

#elif OVEL_PLATFORM_WINDOWS

void wait_on_word(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
    WaitOnAddress(reinterpret_cast<volatile VOID*>(&word), &expected, sizeof expected, INFINITE);
}

void wait_on_word_for(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                      std::chrono::nanoseconds timeout) noexcept {
    if (timeout <= std::chrono::nanoseconds::zero()) {
        return;
    }
    // Whole milliseconds, rounded up: returning early would only make the caller look again.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
    const DWORD wait_ms = ms >= static_cast<long long>(INFINITE) ? INFINITE - 1
                                                                 : static_cast<DWORD>(ms);
    WaitOnAddress(reinterpret_cast<volatile VOID*>(&word), &expected, sizeof expected, wait_ms);
}

void wake_one_on_word(std::atomic<std::uint32_t>& word) noexcept {
    WakeByAddressSingle(reinterpret_cast<PVOID>(&word));
}

std::chrono::nanoseconds timed_wait_lateness() noexcept {
    return std::chrono::microseconds(16'625);
}

const char* word_wait_method() noexcept {
    return "WaitOnAddress";
}

#else

void wait_on_word(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
    word.wait(expected, std::memory_order_acquire);
}

void wait_on_word_for(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                      std::chrono::nanoseconds timeout) noexcept {
    // The standard library's wait has no time-out: short sleeps until the word changes.
    constexpr std::chrono::nanoseconds STEP{100'000};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (word.load(std::memory_order_acquire) != expected) {
            return;
        }
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= std::chrono::nanoseconds::zero()) {
            return;
        }
        std::this_thread::sleep_for(left < STEP ? left : STEP);
    }
}

void wake_one_on_word(std::atomic<std::uint32_t>& word) noexcept {
    word.notify_one();
}

std::chrono::nanoseconds timed_wait_lateness() noexcept {
    return std::chrono::microseconds(100);
}

const char* word_wait_method() noexcept {
    return "std::atomic::wait";
}

#endif

}  // namespace ovel::platform
