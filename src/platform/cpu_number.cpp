#include "platform/cpu_number.h"

#include "platform/target.h"

#if OVEL_PLATFORM_LINUX
#include <pthread.h>
#include <sched.h>
#elif OVEL_PLATFORM_WINDOWS
#include <windows.h>
#endif

namespace ovel::platform {

int current_cpu() noexcept {
#if OVEL_PLATFORM_LINUX
    // Read through rseq or the vDSO, without a system call.
    return sched_getcpu();
#elif OVEL_PLATFORM_WINDOWS
    return static_cast<int>(GetCurrentProcessorNumber());
#else
    return -1;
#endif
}

bool pin_this_thread_to_cpu(int cpu) noexcept {
#if OVEL_PLATFORM_LINUX
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof(set), &set) == 0;
#elif OVEL_PLATFORM_WINDOWS
    return cpu >= 0 && cpu < 64 &&
           SetThreadAffinityMask(GetCurrentThread(), DWORD_PTR{1} << cpu) != 0;
#else
    (void)cpu;
    return false;
#endif
}

}  // namespace ovel::platform
