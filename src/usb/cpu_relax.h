#pragma once

namespace ovel::usb {

// Tells the CPU that the caller is spinning on a flag another thread will change.
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

}  // namespace ovel::usb
