#pragma once

namespace ovel::usb {

// Tells the CPU that the caller is spinning on a flag another thread will change.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield" ::: "memory");
#endif
}

}  // namespace ovel::usb
