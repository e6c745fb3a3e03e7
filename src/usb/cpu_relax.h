#pragma once

#include <atomic>

namespace ovel::usb {

// Tells the CPU that the caller is spinning on a flag another thread will change.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield" ::: "memory");
#endif
}

// Waits for the USB event thread to clear `flag` (a transfer's completion). Busy-polls without
// sleeping or yielding, so the caller returns as soon as the completion has been handled; the
// transfer's own time-out bounds the wait.
inline void spin_while_set(const std::atomic<bool>& flag) noexcept {
    while (flag.load(std::memory_order_acquire)) {
        cpu_relax();
    }
}

}  // namespace ovel::usb
