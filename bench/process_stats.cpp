#include "process_stats.h"

#include <dirent.h>
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ovel::bench {
namespace {

// Reads one "Name:   123" line of a status file; 0 when absent.
std::uint64_t status_number(const char* path, const char* name) {
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        return 0;
    }
    char line[256];
    std::uint64_t value = 0;
    const std::size_t name_length = std::strlen(name);
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strncmp(line, name, name_length) == 0 && line[name_length] == ':') {
            unsigned long long parsed = 0;
            if (std::sscanf(line + name_length + 1, "%llu", &parsed) == 1) {
                value = parsed;
            }
            break;
        }
    }
    std::fclose(file);
    return value;
}

std::string read_first_line(const std::string& path) {
    std::string text;
    if (std::FILE* file = std::fopen(path.c_str(), "r")) {
        char line[256];
        if (std::fgets(line, sizeof line, file) != nullptr) {
            text = line;
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
                text.pop_back();
            }
        }
        std::fclose(file);
    }
    return text;
}

// The thread's CPU time through its CPU clock (nanoseconds; the clock id glibc's
// pthread_getcpuclockid makes for a thread id), else utime + stime of its stat file (ticks).
double thread_cpu_seconds(pid_t tid, const std::string& task_dir) {
    const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid)) << 3) | 6;
    timespec ts{};
    if (clock_gettime(clock, &ts) == 0) {
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    }
    const std::string stat = read_first_line(task_dir + "/stat");
    const std::size_t after_name = stat.rfind(')');
    if (after_name == std::string::npos) {
        return 0;
    }
    // After "(comm)": state, then 10 fields up to utime (field 14) and stime (15).
    unsigned long long utime = 0, stime = 0;
    if (std::sscanf(stat.c_str() + after_name + 1,
                    " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                    &stime) != 2) {
        return 0;
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

ThreadRole role_of(pid_t tid, const std::string& name) {
    if (tid == getpid() || name.rfind("bench-", 0) == 0) {
        return ThreadRole::App;
    }
    if (name == "ovel-usb-events") {
        return ThreadRole::Event;
    }
    return ThreadRole::Dispatch;
}

std::vector<ThreadSample> sample_threads() {
    std::vector<ThreadSample> threads;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return threads;
    }
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') {
            continue;
        }
        const std::string dir = std::string("/proc/self/task/") + entry->d_name;
        ThreadSample t;
        t.tid = static_cast<pid_t>(std::atoi(entry->d_name));
        t.role = role_of(t.tid, read_first_line(dir + "/comm"));
        t.cpu_seconds = thread_cpu_seconds(t.tid, dir);
        t.voluntary_switches = status_number((dir + "/status").c_str(), "voluntary_ctxt_switches");
        threads.push_back(t);
    }
    closedir(tasks);
    return threads;
}

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

std::uint64_t resident_bytes() {
    return status_number("/proc/self/status", "VmRSS") * 1024;
}

std::uint64_t peak_resident_bytes() {
    return status_number("/proc/self/status", "VmHWM") * 1024;
}

bool reset_peak_resident() {
    std::FILE* file = std::fopen("/proc/self/clear_refs", "w");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fputs("5", file) >= 0;
    return std::fclose(file) == 0 && written;
}

void name_bench_thread(const char* what) {
    char name[16];
    std::snprintf(name, sizeof name, "bench-%s", what);
    pthread_setname_np(pthread_self(), name);
}

ProcessSample sample_start() {
    ProcessSample s;
    s.threads = sample_threads();
    s.cpu_seconds = process_cpu_seconds();
    s.wall_seconds = wall_seconds();
    return s;
}

ProcessSample sample_end() {
    ProcessSample s;
    s.wall_seconds = wall_seconds();
    s.cpu_seconds = process_cpu_seconds();
    s.threads = sample_threads();
    return s;
}

Usage usage_between(const ProcessSample& start, const ProcessSample& end) {
    Usage u;
    u.wall_seconds = end.wall_seconds - start.wall_seconds;
    u.process_cpu_seconds = end.cpu_seconds - start.cpu_seconds;
    for (const ThreadSample& after : end.threads) {
        ThreadSample before;
        for (const ThreadSample& t : start.threads) {
            if (t.tid == after.tid) {
                before = t;
            }
        }
        const int role = static_cast<int>(after.role);
        u.cpu_seconds[role] += after.cpu_seconds - before.cpu_seconds;
        u.wakeups[role] +=
            static_cast<double>(after.voluntary_switches - before.voluntary_switches);
        ++u.threads[role];
    }
    return u;
}

double Usage::wakeups_per_second(ThreadRole role) const {
    return wall_seconds > 0 ? wakeups[static_cast<int>(role)] / wall_seconds : 0;
}

double Usage::percent(double seconds) const {
    return wall_seconds > 0 ? seconds / wall_seconds * 100 : 0;
}

}  // namespace ovel::bench
