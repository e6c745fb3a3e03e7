#ifndef OVEL_QEMU_BENCH_LINK_H
#define OVEL_QEMU_BENCH_LINK_H

#include <stdbool.h>
#include <stddef.h>

/*
 * The guest's side of the test bench: the command line to the host-side adapter emulator
 * (a serial port) and what the guest's own kernel shows of the adapter in sysfs.
 */

/* Each emulated adapter has its own bench link: link 0 is the first adapter's ("QEMU0001", the
   one the sysfs functions below look at), link 1 the second's. */
enum { BENCH_LINKS = 2 };

/* Opens link 0's serial port in raw mode; false on failure. */
bool bench_open(const char* tty_path);
bool bench_open_link(int link, const char* tty_path);

/* Sends one command line on link 0 (link) and reads the reply line into reply (without the
   newline). False when no complete reply came within the bound or the reply does not start
   with "ok". */
bool bench_command(const char* command, char* reply, size_t reply_size);
bool bench_command_link(int link, const char* command, char* reply, size_t reply_size);

/* Whether the first adapter (USB 1D50:606F, serial QEMU0001) is enumerated, and the name of
   the driver bound to its interface 0 ("" when none) in driver (at least 64 bytes). */
bool adapter_present(char* driver, size_t driver_size);

/* The adapter's name in /sys/bus/usb/devices ("1-1": its port path); false when absent. */
bool adapter_sysfs_name(char* name, size_t name_size);

/* The adapter's speed in Mbit/s as the kernel shows it ("480", "12") into speed, and the
   wMaxPacketSize of its bulk IN endpoint ("0200", "0040") into max_packet; false when the
   adapter or either attribute is missing. */
bool adapter_speed(char* speed, size_t speed_size, char* max_packet, size_t max_packet_size);

/* Polls, at most timeout_ms, until the adapter is gone (present false) or enumerated and
   configured, its interface's endpoints in sysfs (present true): the device itself shows up
   first, and an open in between can find no interface to claim. */
bool wait_adapter_present(bool present, int timeout_ms);

/* Polls, at most timeout_ms, until `count` adapters (any serial) are configured and the
   kernel's gs_usb driver is bound to each. */
bool wait_adapters_bound(int count, int timeout_ms);

/* Entries of /proc/self/task and /proc/self/fd. */
int thread_count(void);
int open_fd_count(void);

/* Polls thread_count until it equals `expected`, at most timeout_ms, and returns the last
   count: a joined thread can stay listed for a moment after pthread_join has returned, as the
   kernel wakes the joiner before it removes the exiting thread. */
int settled_thread_count(int expected, int timeout_ms);

/* Monotonic milliseconds. */
long long now_ms(void);

#endif
