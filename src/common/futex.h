// Sleeping until another thread changes a 32-bit word, straight on the kernel's futex.
// std::atomic::wait in libstdc++ first spins and calls sched_yield about a dozen times, which on
// a path that sleeps between every two frames costs more system calls than the sleep itself.
// The word's own atomic operations carry the ordering; these calls only sleep and wake.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace ovel {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

// Sleeps while `word` holds `expected`; may also return early (a signal, a spurious wake-up).
inline void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected,
            nullptr, nullptr, 0);
}

// Wakes one thread sleeping on `word`.
inline void futex_wake_one(std::atomic<std::uint32_t>& word) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}

}  // namespace ovel
