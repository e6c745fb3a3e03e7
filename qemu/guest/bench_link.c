#define _GNU_SOURCE
#include "bench_link.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

enum { COMMAND_REPLY_TIMEOUT_MS = 10000 };

static int bench_fds[BENCH_LINKS] = {-1, -1};

long long now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

bool bench_open(const char* tty_path) {
    return bench_open_link(0, tty_path);
}

bool bench_open_link(int link, const char* tty_path) {
    if (link < 0 || link >= BENCH_LINKS) {
        return false;
    }
    const int bench_fd = open(tty_path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    bench_fds[link] = bench_fd;
    if (bench_fd < 0) {
        return false;
    }
    struct termios mode;
    if (tcgetattr(bench_fd, &mode) != 0) {
        return false;
    }
    cfmakeraw(&mode);
    cfsetispeed(&mode, B115200);
    cfsetospeed(&mode, B115200);
    if (tcsetattr(bench_fd, TCSANOW, &mode) != 0) {
        return false;
    }
    tcflush(bench_fd, TCIOFLUSH);
    return true;
}

bool bench_command(const char* command, char* reply, size_t reply_size) {
    return bench_command_link(0, command, reply, reply_size);
}

bool bench_command_link(int link, const char* command, char* reply, size_t reply_size) {
    if (link < 0 || link >= BENCH_LINKS || bench_fds[link] < 0) {
        return false;
    }
    const int bench_fd = bench_fds[link];
    char line[256];
    const int length = snprintf(line, sizeof line, "%s\n", command);
    if (length <= 0 || (size_t)length >= sizeof line || reply_size == 0) {
        return false;
    }
    if (write(bench_fd, line, (size_t)length) != length) {
        return false;
    }
    size_t used = 0;
    const long long deadline = now_ms() + COMMAND_REPLY_TIMEOUT_MS;
    reply[0] = '\0';
    for (;;) {
        const long long left = deadline - now_ms();
        if (left <= 0) {
            return false;
        }
        struct pollfd p = {bench_fd, POLLIN, 0};
        if (poll(&p, 1, (int)left) <= 0) {
            continue;
        }
        char c;
        if (read(bench_fd, &c, 1) != 1) {
            continue;
        }
        if (c == '\n') {
            break;
        }
        if (c != '\r' && used + 1 < reply_size) {
            reply[used++] = c;
            reply[used] = '\0';
        }
    }
    return strncmp(reply, "ok", 2) == 0;
}

static bool read_text(const char* path, char* out, size_t size) {
    FILE* file = fopen(path, "re");
    if (file == NULL) {
        return false;
    }
    const bool got = fgets(out, (int)size, file) != NULL;
    fclose(file);
    if (got) {
        out[strcspn(out, "\n")] = '\0';
    }
    return got;
}

/* Whether /sys/bus/usb/devices/<device> is an adapter 1D50:606F (of that serial unless NULL). */
static bool is_adapter(const char* device, const char* serial) {
    char path[PATH_MAX], text[64];
    snprintf(path, sizeof path, "/sys/bus/usb/devices/%s/idVendor", device);
    if (!read_text(path, text, sizeof text) || strcmp(text, "1d50") != 0) {
        return false;
    }
    snprintf(path, sizeof path, "/sys/bus/usb/devices/%s/idProduct", device);
    if (!read_text(path, text, sizeof text) || strcmp(text, "606f") != 0) {
        return false;
    }
    snprintf(path, sizeof path, "/sys/bus/usb/devices/%s/serial", device);
    return serial == NULL || (read_text(path, text, sizeof text) && strcmp(text, serial) == 0);
}

/* The first adapter's entry in /sys/bus/usb/devices ("1-1") into name; false when none. */
static bool find_adapter(char* name, size_t name_size) {
    DIR* devices = opendir("/sys/bus/usb/devices");
    if (devices == NULL) {
        return false;
    }
    bool found = false;
    struct dirent* entry;
    while (!found && (entry = readdir(devices)) != NULL) {
        if (is_adapter(entry->d_name, "QEMU0001")) {
            found = true;
            snprintf(name, name_size, "%s", entry->d_name);
        }
    }
    closedir(devices);
    return found;
}

bool adapter_sysfs_name(char* name, size_t name_size) {
    return find_adapter(name, name_size);
}

bool adapter_present(char* driver, size_t driver_size) {
    char device[NAME_MAX + 1];
    if (!find_adapter(device, sizeof device)) {
        return false;
    }
    driver[0] = '\0';
    char link[PATH_MAX], target[PATH_MAX];
    snprintf(link, sizeof link, "/sys/bus/usb/devices/%s/%s:1.0/driver", device, device);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n > 0) {
        target[n] = '\0';
        const char* name = strrchr(target, '/');
        snprintf(driver, driver_size, "%s", name != NULL ? name + 1 : target);
    }
    return true;
}

bool adapter_speed(char* speed, size_t speed_size, char* max_packet, size_t max_packet_size) {
    char device[NAME_MAX + 1], path[PATH_MAX];
    if (!find_adapter(device, sizeof device)) {
        return false;
    }
    snprintf(path, sizeof path, "/sys/bus/usb/devices/%s/speed", device);
    const bool got_speed = read_text(path, speed, speed_size);
    snprintf(path, sizeof path, "/sys/bus/usb/devices/%s/%s:1.0/ep_81/wMaxPacketSize", device,
             device);
    return read_text(path, max_packet, max_packet_size) && got_speed;
}

/* The device shows up in sysfs before the kernel has configured it; its interface's bulk IN
   endpoint shows up after. */
static bool adapter_configured(void) {
    char device[NAME_MAX + 1], path[PATH_MAX];
    if (!find_adapter(device, sizeof device)) {
        return false;
    }
    snprintf(path, sizeof path, "/sys/bus/usb/devices/%s/%s:1.0/ep_81", device, device);
    return access(path, F_OK) == 0;
}

bool wait_adapter_present(bool present, int timeout_ms) {
    const long long deadline = now_ms() + timeout_ms;
    char driver[64];
    for (;;) {
        if (present ? adapter_configured() : !adapter_present(driver, sizeof driver)) {
            return true;
        }
        if (now_ms() >= deadline) {
            return false;
        }
        usleep(20000);
    }
}

bool wait_adapters_bound(int count, int timeout_ms) {
    const long long deadline = now_ms() + timeout_ms;
    for (;;) {
        int bound = 0;
        DIR* devices = opendir("/sys/bus/usb/devices");
        struct dirent* entry;
        while (devices != NULL && (entry = readdir(devices)) != NULL) {
            char path[PATH_MAX];
            snprintf(path, sizeof path, "/sys/bus/usb/devices/%s/%s:1.0/driver", entry->d_name,
                     entry->d_name);
            if (is_adapter(entry->d_name, NULL) && access(path, F_OK) == 0) {
                ++bound;
            }
        }
        if (devices != NULL) {
            closedir(devices);
        }
        if (bound == count) {
            return true;
        }
        if (now_ms() >= deadline) {
            return false;
        }
        usleep(20000);
    }
}

static int count_entries(const char* path) {
    DIR* dir = opendir(path);
    if (dir == NULL) {
        return -1;
    }
    int count = 0;
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count;
}

int thread_count(void) {
    return count_entries("/proc/self/task");
}

int open_fd_count(void) {
    /* The directory stream itself holds one descriptor while it is read. */
    return count_entries("/proc/self/fd") - 1;
}

int settled_thread_count(int expected, int timeout_ms) {
    const long long deadline = now_ms() + timeout_ms;
    int count = thread_count();
    while (count != expected && now_ms() < deadline) {
        usleep(10000);
        count = thread_count();
    }
    return count;
}
