// Sleeping until another thread changes a 32-bit word. The word's own atomic operations carry
// the ordering; these calls only sleep and wake.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace ovel::platform {

// Sleeps while `word` holds `expected`; may also return early (a signal, a spurious wake-up).
void wait_on_word(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept;

// The same for at most `timeout` (rounded up to the system's granularity: on Windows whole
// milliseconds; the portable build re-checks the word every 100 us).
void wait_on_word_for(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                      std::chrono::nanoseconds timeout) noexcept;

// How late a timed wait above may end beyond its time-out, as a rule: Linux's default timer
// slack (50 us); Windows' default timer tick (15.625 ms) with the rounding up to milliseconds;
// the portable build's re-check period. A busy machine adds its scheduling delays.
std::chrono::nanoseconds timed_wait_lateness() noexcept;

// Wakes one thread sleeping on `word`.
void wake_one_on_word(std::atomic<std::uint32_t>& word) noexcept;

// Which implementation this build sleeps with: "futex", "WaitOnAddress" or "std::atomic::wait".
const char* word_wait_method() noexcept;

}  // namespace ovel::platform
