// What the process and each of its threads have used: CPU time, wake-ups and resident memory.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ovel::bench {

// User plus system CPU seconds of the whole process (children not included).
double process_cpu_seconds();
// Current and peak resident set size in bytes (VmRSS, VmHWM of /proc/self/status).
std::uint64_t resident_bytes();
std::uint64_t peak_resident_bytes();
// Lowers the peak to the current size (/proc/self/clear_refs); false where the kernel refuses.
bool reset_peak_resident();

// Names the calling thread "bench-<what>" (15 characters at most), which tells the benchmark's
// own threads apart from the library's.
void name_bench_thread(const char* what);

// Who a thread works for: the application (the main thread and the benchmark's own threads),
// the library's USB event thread ("ovel-usb-events"), or any other thread of the library (the
// receive dispatch thread: "ovel-dispatch", or its creator's name in versions that do not
// name it).
enum class ThreadRole { App = 0, Event = 1, Dispatch = 2 };
inline constexpr int ROLE_COUNT = 3;

struct ThreadSample {
    pid_t tid = 0;
    ThreadRole role = ThreadRole::App;
    double cpu_seconds = 0;
    std::uint64_t voluntary_switches = 0;  // the thread blocked: each is followed by a wake-up
};

struct ProcessSample {
    double wall_seconds = 0;  // steady clock
    double cpu_seconds = 0;   // whole process
    std::vector<ThreadSample> threads;
};

// Samples at the start and at the end of a measured period. The start reads the threads before
// the process figures and the end after them, so that reading /proc is not counted.
ProcessSample sample_start();
ProcessSample sample_end();

// What was used between two samples. Threads that ended in between count in the process figure
// only; threads that started in between count from zero.
struct Usage {
    double wall_seconds = 0;
    double process_cpu_seconds = 0;
    double cpu_seconds[ROLE_COUNT] = {};
    double wakeups[ROLE_COUNT] = {};
    int threads[ROLE_COUNT] = {};

    double process_percent() const { return percent(process_cpu_seconds); }
    double percent(ThreadRole role) const { return percent(cpu_seconds[int(role)]); }
    double wakeups_per_second(ThreadRole role) const;

  private:
    double percent(double seconds) const;
};
Usage usage_between(const ProcessSample& start, const ProcessSample& end);

}  // namespace ovel::bench
