/*
 * Runs inside the QEMU guest: drives the emulated adapter through libovelcanfd.so, Debian's
 * libusb-1.0 and the guest's Linux USB stack, and checks what crossed the wire by asking the
 * host-side emulator over the bench link. Prints one line per check and a closing count;
 * exits 0 only when every check passed.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "bench_link.h"
#include "kernel_can.h"
#include "ovelcanfd.h"

#define SERIAL "QEMU0001"
/* The second adapter: the kernel's request numbering, with termination and identify. */
#define SECOND_SERIAL "QEMU0002"
#define SECOND_LINK 1
#define MAX_FRAMES 1024
#define WAIT_FRAMES_MS 20000

/* Request bytes, as the emulator logs them: setup packet in hex, then ":" and the data stage. */
#define DEVICE_CONFIG_REQUEST "c105000000000c00"
#define BT_CONST_REQUEST "c104000000002800"
/* 40 MHz CAN clock: 500 kbit/s is brp 4 with 20 quanta, 2 Mbit/s brp 1 with 20 quanta. */
#define TIMING_500K "000000000b000000080000000100000004000000"
#define TIMING_2M "000000000b000000080000000100000001000000"
#define MODE_RESET_PAYLOAD "0000000000000000"

static int passed, failed;

static void check(bool ok, const char* name, const char* detail_format, ...) {
    if (ok) {
        ++passed;
        printf("ok - %s\n", name);
    } else {
        ++failed;
        printf("not ok - %s: ", name);
        va_list args;
        va_start(args, detail_format);
        vprintf(detail_format, args);
        va_end(args);
        printf("\n");
    }
    fflush(stdout);
}

/* Frames delivered to the receive callback, and when the first and the last arrived. */
static pthread_mutex_t received_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t received_changed = PTHREAD_COND_INITIALIZER;
static ovel_canfd_frame received[MAX_FRAMES];
static int received_count;
static int received_overflow;
static long long received_first_ms, received_last_ms;

static void on_frame(const ovel_canfd_frame* frame) {
    const long long now = now_ms();
    pthread_mutex_lock(&received_lock);
    if (received_count == 0) {
        received_first_ms = now;
    }
    received_last_ms = now;
    if (received_count < MAX_FRAMES) {
        received[received_count++] = *frame;
    } else {
        ++received_overflow;
    }
    pthread_cond_broadcast(&received_changed);
    pthread_mutex_unlock(&received_lock);
}

static void clear_received(void) {
    pthread_mutex_lock(&received_lock);
    received_count = 0;
    received_overflow = 0;
    pthread_mutex_unlock(&received_lock);
}

static int received_now(void) {
    pthread_mutex_lock(&received_lock);
    const int count = received_count;
    pthread_mutex_unlock(&received_lock);
    return count;
}

/* The CLOCK_REALTIME time `timeout_ms` from now, as pthread_cond_timedwait takes it. */
static struct timespec deadline_after(int timeout_ms) {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += (long)(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

static bool wait_received(int count, int timeout_ms) {
    const struct timespec deadline = deadline_after(timeout_ms);
    pthread_mutex_lock(&received_lock);
    while (received_count < count) {
        if (pthread_cond_timedwait(&received_changed, &received_lock, &deadline) != 0) {
            break;
        }
    }
    const bool reached = received_count >= count;
    pthread_mutex_unlock(&received_lock);
    return reached;
}

static void command_or_fail(const char* command, char* reply, size_t size) {
    if (!bench_command(command, reply, size)) {
        check(false, command, "bench link reply \"%s\"", reply);
    }
}

static void command_or_fail_link(const char* command, char* reply, size_t size) {
    if (!bench_command_link(SECOND_LINK, command, reply, size)) {
        check(false, command, "second bench link reply \"%s\"", reply);
    }
}

/* The vendor requests the emulator saw since the last query, as "ok rec rec ...". */
static void expect_vendor_log(const char* name, const char* expected) {
    char reply[2048];
    command_or_fail("vendor-log", reply, sizeof reply);
    check(strcmp(reply, expected) == 0, name, "emulator saw \"%s\", expected \"%s\"", reply,
          expected);
}

/* Polls the emulator until it holds no bulk transfer of ours: the kernel's cancellations
   reach it through QEMU asynchronously. */
static bool wait_emulator_idle(char* stats, size_t size) {
    const long long deadline = now_ms() + 10000;
    for (;;) {
        if (bench_command("stats", stats, size) && strncmp(stats, "ok in=0 ", 8) == 0 &&
            strstr(stats, "held=0") != NULL) {
            return true;
        }
        if (now_ms() >= deadline) {
            return false;
        }
        struct timespec pause = {0, 20000000L};
        nanosleep(&pause, NULL);
    }
}

static bool same_text(ovel_canfd_driver* driver, const char* expected) {
    return strcmp(ovel_canfd_get_last_error(driver), expected) == 0;
}

static void expect_driver(const char* name, const char* expected) {
    char driver[64] = "";
    const bool present = adapter_present(driver, sizeof driver);
    check(present && strcmp(driver, expected) == 0, name,
          "present %d, interface 0 bound to \"%s\", expected \"%s\"", present, driver, expected);
}

static void check_open_and_serial(ovel_canfd_driver* driver) {
    char reply[512];
    expect_driver("kernel gs_usb driver bound before the first open", "gs_usb");
    command_or_fail("mark", reply, sizeof reply);
    const int32_t opened = ovel_canfd_open(driver);
    check(opened == OVEL_CANFD_OK, "open the first adapter", "returned %d: %s", opened,
          ovel_canfd_get_last_error(driver));
    check(ovel_canfd_get_channel_count(driver) == 2, "channel count from DEVICE_CONFIG", "got %d",
          ovel_canfd_get_channel_count(driver));
    expect_vendor_log("opening reads DEVICE_CONFIG and BT_CONST only",
                      "ok " DEVICE_CONFIG_REQUEST " " BT_CONST_REQUEST);
    expect_driver("kernel driver detached, interface claimed through usbfs", "usbfs");
    ovel_canfd_close(driver);
    expect_driver("interface given back to the kernel gs_usb driver at close", "gs_usb");

    const int32_t by_serial = ovel_canfd_open_with_device_serial_number(driver, SERIAL);
    check(by_serial == OVEL_CANFD_OK, "open by serial number", "returned %d: %s", by_serial,
          ovel_canfd_get_last_error(driver));
    const int32_t wrong = ovel_canfd_open_with_device_serial_number(driver, "QEMU0009");
    check(wrong == OVEL_CANFD_NO_DEVICE &&
              same_text(driver, "failed to open device with serial number: DeviceNotFound"),
          "open by an unknown serial number fails", "returned %d: %s", wrong,
          ovel_canfd_get_last_error(driver));
    check(ovel_canfd_get_channel_count(driver) == 2, "a failed open keeps the open adapter",
          "channel count %d", ovel_canfd_get_channel_count(driver));
    command_or_fail("vendor-log", reply, sizeof reply);
}

/* Discovery reads descriptors only: the adapter with its strings and its sysfs name as path,
   free while gs_usb holds it, busy while a handle does; then opening by that path. */
static void check_discovery(ovel_canfd_driver* driver) {
    char reply[512], name[64] = "";
    adapter_sysfs_name(name, sizeof name);
    ovel_canfd_close(driver);
    command_or_fail("mark", reply, sizeof reply);
    ovel_canfd_adapter_info info[2];
    memset(info, 0, sizeof info);
    info[0].size = sizeof info[0];
    int32_t count = ovel_canfd_list_adapters(info, 2);
    check(count == 1 && strcmp(info[0].serial_number, SERIAL) == 0 &&
              strcmp(info[0].manufacturer, "ovelcanfd test bench") == 0 &&
              strcmp(info[0].product, "gs_usb emulator") == 0 && strcmp(info[0].path, name) == 0 &&
              info[0].availability == OVEL_CANFD_ADAPTER_FREE && info[0].kernel_driver,
          "list finds the adapter with its strings and path, free, gs_usb bound",
          "count %d, serial \"%s\", \"%s\" / \"%s\", path \"%s\" (sysfs \"%s\"), "
          "availability %d, kernel driver %d",
          count, info[0].serial_number, info[0].manufacturer, info[0].product, info[0].path, name,
          info[0].availability, info[0].kernel_driver);
    const int32_t by_path = ovel_canfd_open_with_device_path(driver, name);
    check(by_path == OVEL_CANFD_OK, "open by port path", "returned %d: %s", by_path,
          ovel_canfd_get_last_error(driver));
    count = ovel_canfd_list_adapters(info, 2);
    check(count == 1 && info[0].availability == OVEL_CANFD_ADAPTER_BUSY && !info[0].kernel_driver,
          "list shows the open adapter busy", "count %d, availability %d, kernel driver %d",
          count, info[0].availability, info[0].kernel_driver);
    ovel_canfd_driver* second = ovel_canfd_init();
    const int32_t refused = ovel_canfd_open(second);
    check(refused == OVEL_CANFD_NO_DEVICE &&
              same_text(second, "failed to open device: DeviceNotFound (1 adapter found: busy)"),
          "a second handle finds the adapter busy", "returned %d: %s", refused,
          ovel_canfd_get_last_error(second));
    ovel_canfd_deinit(second);
    expect_vendor_log("discovery sends the adapter nothing",
                      "ok " DEVICE_CONFIG_REQUEST " " BT_CONST_REQUEST);
}

static void check_setters_and_start(ovel_canfd_driver* driver) {
    char reply[512];
    command_or_fail("mark", reply, sizeof reply);
    int32_t results[7];
    results[0] = ovel_canfd_set_bitrate(driver, 0, 500000);
    results[1] = ovel_canfd_set_data_bitrate(driver, 0, 2000000);
    results[2] = ovel_canfd_set_bitrate(driver, 1, 500000);
    results[3] = ovel_canfd_set_fd(driver, 0, true);
    results[4] = ovel_canfd_set_hw_loopback(driver, 1, true);
    ovel_canfd_set_rx_callback(driver, on_frame);
    results[5] = ovel_canfd_start(driver, 0);
    results[6] = ovel_canfd_start(driver, 1);
    bool all_ok = true;
    for (int i = 0; i < 7; ++i) {
        all_ok = all_ok && results[i] == OVEL_CANFD_OK;
    }
    check(all_ok, "setters and start succeed", "results %d %d %d %d %d %d %d: %s", results[0],
          results[1], results[2], results[3], results[4], results[5], results[6],
          ovel_canfd_get_last_error(driver));
    expect_vendor_log("setter and start requests arrive byte-exact",
                      "ok 4101000000001400:" TIMING_500K " 4108000000001400:" TIMING_2M
                      " 4101010000001400:" TIMING_500K
                      " 4102000000000800:0100000000010000"
                      " 4102010000000800:0100000002000000");
}

static bool frame_is_injected(const ovel_canfd_frame* f, unsigned n) {
    if (f->echo || f->rtr || f->err || f->esi) {
        return false;
    }
    const bool fd = (n % 2) == 1;
    if (f->channel != n % 2 || f->extended != fd || f->fd != fd || f->brs != fd) {
        return false;
    }
    if (f->id != (fd ? 0x1234000u + n : 0x100u + (n % 0x600)) || f->dlc != (fd ? 15 : 8)) {
        return false;
    }
    const uint32_t number = (uint32_t)f->data[0] | (uint32_t)f->data[1] << 8 |
                            (uint32_t)f->data[2] << 16 | (uint32_t)f->data[3] << 24;
    if (number != n) {
        return false;
    }
    const int payload = fd ? 64 : 8;
    for (int i = 4; i < payload; ++i) {
        if (f->data[i] != (uint8_t)(n + (unsigned)i)) {
            return false;
        }
    }
    return true;
}

/* Compares what arrived with injected frames 0 to frames - 1: returns the index of the first
   wrong frame (-1 when none) and sets *extra to the count of frames beyond them. */
static int first_wrong_frame(int frames, int* extra) {
    int first_bad = -1;
    pthread_mutex_lock(&received_lock);
    for (int n = 0; n < received_count && n < frames; ++n) {
        if (!frame_is_injected(&received[n], (unsigned)n)) {
            first_bad = n;
            break;
        }
    }
    *extra = received_count + received_overflow - frames;
    pthread_mutex_unlock(&received_lock);
    return first_bad;
}

static void check_receive(void) {
    enum { FRAMES = 200 };
    char reply[512];
    clear_received();
    command_or_fail("inject 200", reply, sizeof reply);
    const bool all = wait_received(FRAMES, WAIT_FRAMES_MS);
    check(all, "200 injected frames delivered", "got %d", received_now());
    int extra;
    const int first_bad = first_wrong_frame(FRAMES, &extra);
    check(all && first_bad < 0 && extra == 0,
          "frames of two channels delivered in order, classic and FD, intact",
          "first wrong frame %d, %d extra", first_bad, extra);
}

static bool echo_matches(const ovel_canfd_frame* echo, const ovel_canfd_frame* sent) {
    const int length = sent->fd ? 64 : 8;
    return echo->echo && echo->channel == sent->channel && echo->id == sent->id &&
           echo->dlc == sent->dlc && echo->extended == sent->extended && echo->fd == sent->fd &&
           echo->brs == sent->brs && memcmp(echo->data, sent->data, (size_t)length) == 0;
}

static void check_transmit_echo(ovel_canfd_driver* driver, const char* name) {
    ovel_canfd_frame classic = {0};
    classic.channel = 1;
    classic.id = 0x7AB;
    classic.dlc = 8;
    for (int i = 0; i < 8; ++i) {
        classic.data[i] = (uint8_t)(0xA0 + i);
    }
    ovel_canfd_frame fd = {0};
    fd.channel = 0;
    fd.id = 0x1ABCDEF;
    fd.extended = fd.fd = fd.brs = true;
    fd.dlc = 15;
    for (int i = 0; i < 64; ++i) {
        fd.data[i] = (uint8_t)(255 - i);
    }
    clear_received();
    const int32_t first = ovel_canfd_transmit(driver, &classic);
    const int32_t second = ovel_canfd_transmit(driver, &fd);
    const bool echoed = wait_received(2, WAIT_FRAMES_MS);
    pthread_mutex_lock(&received_lock);
    const bool match =
        echoed && echo_matches(&received[0], &classic) && echo_matches(&received[1], &fd);
    pthread_mutex_unlock(&received_lock);
    check(first == OVEL_CANFD_OK && second == OVEL_CANFD_OK && match, name,
          "transmit %d %d, %d frames back, echoes match %d: %s", first, second, received_now(),
          match, ovel_canfd_get_last_error(driver));
}

static void check_faults(ovel_canfd_driver* driver) {
    char reply[512];
    command_or_fail("mark", reply, sizeof reply);
    command_or_fail("stall-next", reply, sizeof reply);
    const int32_t stalled = ovel_canfd_set_bitrate(driver, 0, 500000);
    check(stalled == OVEL_CANFD_ERR_DEVICE &&
              same_text(driver,
                        "failed to set bit timing: DeviceError(Libusb(\"control_out: transfer\", "
                        "-9))"),
          "stalled request reported as DeviceError PIPE", "returned %d: %s", stalled,
          ovel_canfd_get_last_error(driver));
    const int32_t after = ovel_canfd_set_bitrate(driver, 0, 500000);
    check(after == OVEL_CANFD_OK, "the next request after a stall goes through", "returned %d: %s",
          after, ovel_canfd_get_last_error(driver));
    expect_vendor_log("stalled and repeated request on the wire",
                      "ok 4101000000001400:" TIMING_500K "!stall 4101000000001400:" TIMING_500K);

    command_or_fail("hold-out", reply, sizeof reply);
    ovel_canfd_frame frame = {0};
    frame.channel = 0;
    frame.id = 0x123;
    frame.dlc = 2;
    const long long started = now_ms();
    const int32_t timed_out = ovel_canfd_transmit(driver, &frame);
    const long long took = now_ms() - started;
    check(timed_out == OVEL_CANFD_ERR_TIMEOUT &&
              same_text(driver, "failed to transmit frame: Timeout"),
          "unanswered transmit reported as Timeout", "returned %d after %lld ms: %s", timed_out,
          took, ovel_canfd_get_last_error(driver));
    check(took >= 900 && took < 5000, "transmit time-out after about 1 s", "took %lld ms", took);
    printf("# transmit time-out took %lld ms\n", took);
    char stats[256];
    const long long cancel_deadline = now_ms() + 5000;
    bool cancelled = false;
    while (!cancelled && now_ms() < cancel_deadline) {
        cancelled = bench_command("stats", stats, sizeof stats) && strstr(stats, "held=0");
    }
    check(cancelled, "the timed-out transfer was cancelled on the wire", "%s", stats);
    command_or_fail("release-out", reply, sizeof reply);
    check_transmit_echo(driver, "transmit and echo work again after a time-out");
}

static void check_stop(ovel_canfd_driver* driver) {
    char reply[512];
    command_or_fail("mark", reply, sizeof reply);
    const int32_t first = ovel_canfd_stop(driver, 0);
    const int32_t second = ovel_canfd_stop(driver, 1);
    check(first == OVEL_CANFD_OK && second == OVEL_CANFD_OK, "stop both channels",
          "returned %d %d: %s", first, second, ovel_canfd_get_last_error(driver));
    expect_vendor_log("stop requests arrive byte-exact", "ok 4102000000000800:" MODE_RESET_PAYLOAD
                                                         " 4102010000000800:" MODE_RESET_PAYLOAD);
    check(wait_emulator_idle(reply, sizeof reply),
          "no receive transfer left at the adapter after stop", "%s", reply);
}

static void check_close_while_streaming(ovel_canfd_driver* driver, int base_threads) {
    char reply[512];
    clear_received();
    const int32_t started = ovel_canfd_start(driver, 0);
    command_or_fail("inject 300", reply, sizeof reply);
    wait_received(1, WAIT_FRAMES_MS);
    const int32_t closed = ovel_canfd_close(driver);
    const int at_close = received_now();
    check(started == OVEL_CANFD_OK && closed == OVEL_CANFD_OK, "close while streaming",
          "start %d, close %d", started, closed);
    check(settled_thread_count(base_threads, 3000) == base_threads,
          "close ends the adapter's threads", "%d threads, %d before open", thread_count(),
          base_threads);
    check(wait_emulator_idle(reply, sizeof reply),
          "close cancels every receive transfer on the wire", "%s", reply);
    check(received_now() == at_close, "no callback after close returned", "%d then %d", at_close,
          received_now());
    printf("# %d of 300 frames delivered before close\n", at_close);
    /* Drop the frames the closed adapter still had queued, so later checks start clean. */
    command_or_fail("disconnect", reply, sizeof reply);
    check(wait_adapter_present(false, 20000), "adapter unplugged", "still present");
    command_or_fail("connect", reply, sizeof reply);
    check(wait_adapter_present(true, 20000), "adapter plugged in again", "not enumerated");
}

/* Unplugs the first adapter, sends `while_unplugged` (settings the host reads when it plugs the
   adapter in) and plugs it in again; true when the kernel saw it go and come back. */
static bool replug_with(const char* while_unplugged) {
    char reply[512];
    command_or_fail("disconnect", reply, sizeof reply);
    const bool gone = wait_adapter_present(false, 20000);
    command_or_fail(while_unplugged, reply, sizeof reply);
    command_or_fail("connect", reply, sizeof reply);
    return wait_adapter_present(true, 20000) && gone;
}

static long rss_kib(void) {
    FILE* status = fopen("/proc/self/status", "re");
    long kib = -1;
    char line[256];
    while (status != NULL && fgets(line, sizeof line, status) != NULL) {
        if (sscanf(line, "VmRSS: %ld", &kib) == 1) {
            break;
        }
    }
    if (status != NULL) {
        fclose(status);
    }
    return kib;
}

/* Opens and closes `count` times, by turns the first adapter and by serial number; counts the
   cycles that failed into *failures (the first is printed). */
static void open_close_cycles(ovel_canfd_driver* driver, int count, int* failures) {
    for (int i = 0; i < count; ++i) {
        const int32_t opened = (i % 2) == 0
                                   ? ovel_canfd_open(driver)
                                   : ovel_canfd_open_with_device_serial_number(driver, SERIAL);
        if (opened != OVEL_CANFD_OK || ovel_canfd_get_channel_count(driver) != 2) {
            if ((*failures)++ == 0) {
                printf("# cycle %d: %s\n", i, ovel_canfd_get_last_error(driver));
            }
        }
        ovel_canfd_close(driver);
    }
}

static void check_open_close_cycles(ovel_canfd_driver* driver, int base_threads) {
    enum { WARM_UP = 20, CYCLES = 100 };
    const int base_fds = open_fd_count();
    /* Warm-up cycles first, so that one-time allocations (malloc arenas for new threads, the
       thread stack cache, libusb's first device list) do not count as growth. These settle
       sooner or later depending on how threads interleave, which a loaded machine changes:
       what must not grow is the second of two rounds of cycles. A leak grows by the same amount
       in both rounds. */
    int failures = 0;
    open_close_cycles(driver, WARM_UP, &failures);
    const long base_rss = rss_kib();
    const long long started = now_ms();
    open_close_cycles(driver, CYCLES, &failures);
    const long middle_rss = rss_kib();
    open_close_cycles(driver, CYCLES, &failures);
    const long long took = now_ms() - started;
    const long end_rss = rss_kib();
    printf("# %d open/close cycles took %lld ms, RSS %ld -> %ld -> %ld KiB\n", 2 * CYCLES, took,
           base_rss, middle_rss, end_rss);
    check(failures == 0, "220 open/close cycles", "%d failed", failures);
    check(settled_thread_count(base_threads, 3000) == base_threads && open_fd_count() == base_fds,
          "no thread or descriptor left after the cycles", "threads %d (was %d), fds %d (was %d)",
          thread_count(), base_threads, open_fd_count(), base_fds);
    /* 512 KiB over 100 cycles: a leak of 5 KiB or more per open and close. */
    check(end_rss - middle_rss < 512, "memory does not grow over the cycles",
          "%ld -> %ld KiB over the second %d cycles (%ld KiB at the first)", middle_rss, end_rss,
          CYCLES, base_rss);
    char reply[512];
    check(wait_emulator_idle(reply, sizeof reply), "no transfer left at the adapter", "%s", reply);
}

static void check_disconnect_while_streaming(ovel_canfd_driver* driver, int base_threads) {
    char reply[512];
    const int32_t opened = ovel_canfd_open(driver);
    ovel_canfd_set_rx_callback(driver, on_frame);
    clear_received();
    const int32_t started = ovel_canfd_start(driver, 0);
    const int32_t started1 = ovel_canfd_start(driver, 1);
    command_or_fail("inject 20", reply, sizeof reply);
    const bool streaming = wait_received(20, WAIT_FRAMES_MS);
    check(opened == 0 && started == 0 && started1 == 0 && streaming, "streaming before the unplug",
          "open %d, start %d %d, %d frames", opened, started, started1, received_now());
    command_or_fail("disconnect", reply, sizeof reply);
    check(wait_adapter_present(false, 20000), "the kernel sees the adapter gone", "still there");

    ovel_canfd_frame frame = {0};
    frame.id = 0x55;
    frame.dlc = 1;
    const int32_t sent = ovel_canfd_transmit(driver, &frame);
    printf("# transmit after unplug: %d \"%s\"\n", sent, ovel_canfd_get_last_error(driver));
    check(sent == OVEL_CANFD_ERR_DEVICE, "transmit after unplug fails as DeviceError",
          "returned %d: %s", sent, ovel_canfd_get_last_error(driver));
    const int32_t stopped = ovel_canfd_stop(driver, 0);
    printf("# stop after unplug: %d \"%s\"\n", stopped, ovel_canfd_get_last_error(driver));
    check(stopped == OVEL_CANFD_ERR_DEVICE, "stop after unplug fails as DeviceError",
          "returned %d: %s", stopped, ovel_canfd_get_last_error(driver));
    const int32_t closed = ovel_canfd_close(driver);
    check(closed == OVEL_CANFD_OK && settled_thread_count(base_threads, 3000) == base_threads,
          "close after unplug ends every thread", "close %d, %d threads (was %d)", closed,
          thread_count(), base_threads);
    const int32_t reopened = ovel_canfd_open(driver);
    check(reopened == OVEL_CANFD_NO_DEVICE &&
              same_text(driver, "failed to open device: DeviceNotFound"),
          "open with the adapter unplugged", "returned %d: %s", reopened,
          ovel_canfd_get_last_error(driver));

    command_or_fail("connect", reply, sizeof reply);
    check(wait_adapter_present(true, 20000), "adapter plugged in again", "not enumerated");
    const int32_t again = ovel_canfd_open_with_device_serial_number(driver, SERIAL);
    check(again == OVEL_CANFD_OK && ovel_canfd_get_channel_count(driver) == 2,
          "open after plugging in again", "returned %d: %s", again,
          ovel_canfd_get_last_error(driver));
    ovel_canfd_close(driver);
}

static double cpu_ms(void) {
    struct timespec cpu;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
    return (double)cpu.tv_sec * 1000.0 + (double)cpu.tv_nsec / 1e6;
}

/* The adapter plugged in again as a full-speed device that answers bulk transfers on USB's 1 ms
   frames, at most 19 packets of 64 bytes each: an FD frame takes two packets each way, a paced
   stream arrives whole, and close while streaming leaves no transfer behind. Only correctness
   is checked; the rate and the CPU time are printed, since the host is shared and TCG is slow. */
static void check_full_speed_timing(ovel_canfd_driver* driver) {
    enum { FRAMES = 300, RATE = 1000 };
    const long long pass_started = now_ms();
    char reply[512];
    const bool replugged = replug_with("timing fs");
    char speed[16] = "", max_packet[16] = "";
    const bool described =
        replugged && adapter_speed(speed, sizeof speed, max_packet, sizeof max_packet);
    check(described && strcmp(speed, "12") == 0 && strcmp(max_packet, "0040") == 0,
          "adapter plugged in again at full speed with 64-byte bulk packets",
          "replugged %d, speed \"%s\", bulk IN max packet \"%s\"", replugged, speed,
          max_packet);

    const int32_t opened = ovel_canfd_open(driver);
    ovel_canfd_set_rx_callback(driver, on_frame);
    const int32_t started0 = ovel_canfd_start(driver, 0);
    const int32_t started1 = ovel_canfd_start(driver, 1);
    check(opened == OVEL_CANFD_OK && started0 == OVEL_CANFD_OK && started1 == OVEL_CANFD_OK,
          "open and start at full speed", "open %d, start %d %d: %s", opened, started0, started1,
          ovel_canfd_get_last_error(driver));
    check_transmit_echo(driver, "transmit and echo at full speed, one frame in two packets");

    clear_received();
    const double cpu_before = cpu_ms();
    const long long wall_before = now_ms();
    char command[64];
    snprintf(command, sizeof command, "inject %d %d", FRAMES, RATE);
    command_or_fail(command, reply, sizeof reply);
    const bool all = wait_received(FRAMES, WAIT_FRAMES_MS);
    const double cpu_used = cpu_ms() - cpu_before;
    const long long wall = now_ms() - wall_before;
    int extra;
    const int first_bad = first_wrong_frame(FRAMES, &extra);
    check(all && first_bad < 0 && extra == 0,
          "paced stream at full speed: no frame lost, duplicated or reordered",
          "%d of %d frames, first wrong frame %d, %d extra", received_now(), FRAMES, first_bad,
          extra);
    pthread_mutex_lock(&received_lock);
    const long long span = received_last_ms - received_first_ms;
    const int count = received_count;
    pthread_mutex_unlock(&received_lock);
    printf(
        "# full speed: %d frames paced at %d/s arrived at %.0f frames/s; process CPU %.0f ms "
        "in %lld ms (%.0f %%)\n",
        count, RATE, span > 0 ? (count - 1) * 1000.0 / (double)span : 0.0, cpu_used, wall,
        wall > 0 ? cpu_used * 100.0 / (double)wall : 0.0);

    /* Answers the adapter holds for the next frame are cancelled like any unanswered request. */
    clear_received();
    command_or_fail("inject 100", reply, sizeof reply);
    wait_received(1, WAIT_FRAMES_MS);
    const int32_t closed = ovel_canfd_close(driver);
    check(closed == OVEL_CANFD_OK && wait_emulator_idle(reply, sizeof reply),
          "close while streaming at full speed cancels every receive transfer on the wire",
          "close %d, %s", closed, reply);
    printf("# the full-speed pass took %lld ms\n", now_ms() - pass_started);
}

/* Frames with what the library knows about their arrival, from the receive handler. */
static ovel_canfd_rx_info infos[MAX_FRAMES];

static void on_frame_with_info(const ovel_canfd_frame* frame, const ovel_canfd_rx_info* info,
                               void* user) {
    (void)user;
    pthread_mutex_lock(&received_lock);
    if (received_count < MAX_FRAMES) {
        infos[received_count] = *info;
    }
    pthread_mutex_unlock(&received_lock);
    on_frame(frame);
}

static long long realtime_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

/* Reads "key=N" from an emulator reply; -1 when absent. */
static long reply_field(const char* reply, const char* key) {
    const char* at = strstr(reply, key);
    return at != NULL ? strtol(at + strlen(key), NULL, 10) : -1;
}

/* A burst of queued sends through the kernel's USB stack: the library keeps its window of
   frames in flight, the adapter buffers three per channel and NAKs the bulk OUT endpoint while
   its buffer is full, and each echo comes after its frame's time on the bus. Every frame comes
   back once, in order, with its send id. 64-byte CAN FD frames without bit-rate switch at
   500 kbit/s take 572 bits (1,144 us) each: slower than the guest hands them to USB, so frames
   queue at the adapter. */
static void check_queued_burst(ovel_canfd_driver* driver) {
    enum { FRAMES = 200, FRAME_BUS_US = 572 * 2 };
    char reply[512];
    command_or_fail("tx-stats", reply, sizeof reply); /* counts from here */
    ovel_canfd_stats before = {0};
    before.size = sizeof before;
    ovel_canfd_get_stats(driver, &before);
    ovel_canfd_set_rx_handler(driver, on_frame_with_info, NULL);
    clear_received();
    static ovel_canfd_frame sent[FRAMES];
    uint32_t ids[FRAMES] = {0};
    int refused = -1;
    int32_t result = OVEL_CANFD_OK;
    const long long started = realtime_ns();
    for (int i = 0; i < FRAMES && refused < 0; ++i) {
        ovel_canfd_frame* frame = &sent[i];
        memset(frame, 0, sizeof *frame);
        frame->channel = 0;
        frame->id = 0x300u + (unsigned)i;
        frame->fd = true;
        frame->dlc = 15;
        for (int b = 0; b < 64; ++b) {
            frame->data[b] = (uint8_t)(i * 3 + b);
        }
        result = ovel_canfd_send(driver, frame, 5000, &ids[i]);
        if (result != OVEL_CANFD_OK) {
            refused = i;
        }
    }
    const int32_t flushed = ovel_canfd_flush(driver, 0, 20000);
    const bool all = wait_received(FRAMES, WAIT_FRAMES_MS);
    const long long took_us = (realtime_ns() - started) / 1000;
    pthread_mutex_lock(&received_lock);
    int bad = -1;
    for (int i = 0; i < received_count && i < FRAMES && bad < 0; ++i) {
        if (!echo_matches(&received[i], &sent[i]) || infos[i].send_id != ids[i] ||
            (i > 0 && ids[i] != ids[i - 1] + 1)) {
            bad = i;
        }
    }
    const int count = received_count + received_overflow;
    pthread_mutex_unlock(&received_lock);
    ovel_canfd_stats after = {0};
    after.size = sizeof after;
    ovel_canfd_get_stats(driver, &after);
    check(refused < 0 && flushed == OVEL_CANFD_OK && all && count == FRAMES && bad < 0 &&
              after.send_echoed - before.send_echoed == FRAMES &&
              after.send_failed == before.send_failed &&
              after.send_echoes_unmatched == before.send_echoes_unmatched,
          "a burst of 200 queued sends: every echo back once, in order, with its send id",
          "send %d refused (%d: %s), flush %d, %d echoes, first wrong %d, echoed %llu, "
          "failed %llu, unmatched %llu",
          refused, result, ovel_canfd_get_last_error(driver), flushed, count, bad,
          (unsigned long long)(after.send_echoed - before.send_echoed),
          (unsigned long long)(after.send_failed - before.send_failed),
          (unsigned long long)(after.send_echoes_unmatched - before.send_echoes_unmatched));
    command_or_fail("tx-stats", reply, sizeof reply);
    const long peak = reply_field(reply, "peak="), naks = reply_field(reply, "naks=");
    check(peak >= 2 && naks > 0,
          "frames queued at the adapter, and the full buffer held the transfers behind them",
          "emulator: %s", reply);
    /* The echoes leave the bus one after the other: the burst cannot end sooner. */
    check(took_us >= (long long)FRAMES * FRAME_BUS_US, "the burst took the bus time of its frames",
          "%lld us for %d frames of %d us", took_us, FRAMES, FRAME_BUS_US);
    printf("# queued burst: %d frames in %lld us (bus time %d us), adapter %s\n", FRAMES, took_us,
           FRAMES * FRAME_BUS_US, reply);
    ovel_canfd_set_rx_callback(driver, on_frame);
}

/* Firmware with hardware timestamps and GET_STATE: the adapter's counter, 5 s before its
   wrap-around when reception starts, stamps a paced stream of 7 s; the stamps reach the handler
   through the kernel and libusb extended past 2^32 and mapped to the guest's clock. */
static void check_hw_timestamps(ovel_canfd_driver* driver) {
    enum { FRAMES = 70, RATE = 10 };
    char reply[512];
    /* Plugged in again: frames the adapter still held from the last pass are gone. */
    const bool replugged = replug_with("features 0x2113");
    command_or_fail("counter 0xFFB3B4C0", reply, sizeof reply); /* 2^32 - 5,000,000 */
    const int32_t opened = ovel_canfd_open(driver);
    ovel_canfd_set_rx_handler(driver, on_frame_with_info, NULL);
    clear_received();
    const long long before = realtime_ns();
    const int32_t started0 = ovel_canfd_start(driver, 0);
    const int32_t started1 = ovel_canfd_start(driver, 1);
    ovel_canfd_bus_state state = {sizeof state, 99, 99, 99, 99};
    const int32_t stated = ovel_canfd_get_bus_state(driver, 1, &state);
    check(replugged && opened == 0 && started0 == 0 && started1 == 0 && stated == 0 &&
              state.state == OVEL_CANFD_STATE_ERROR_ACTIVE &&
              state.source == OVEL_CANFD_STATE_SOURCE_ADAPTER,
          "start with hardware timestamps; the adapter reports the bus state",
          "replugged %d, open %d, start %d %d, state %d: %u from %u (%s)", replugged, opened,
          started0, started1, stated, state.state, state.source, ovel_canfd_get_last_error(driver));
    char command[64];
    snprintf(command, sizeof command, "inject %d %d", FRAMES, RATE);
    command_or_fail(command, reply, sizeof reply);
    const bool all = wait_received(FRAMES, WAIT_FRAMES_MS);
    const long long after = realtime_ns();
    pthread_mutex_lock(&received_lock);
    int bad = -1;
    for (int i = 0; i < received_count && i < MAX_FRAMES && bad < 0; ++i) {
        const ovel_canfd_rx_info* info = &infos[i];
        const long long offset = info->hw_time_ns - info->host_time_ns;
        if (!(info->flags & OVEL_CANFD_RX_HW_TIMESTAMP) || info->host_time_ns < before ||
            info->host_time_ns > after || offset > 1000000000LL || offset < -1000000000LL ||
            (i > 0 && (info->hw_timestamp_us < infos[i - 1].hw_timestamp_us ||
                       info->hw_time_ns < infos[i - 1].hw_time_ns))) {
            bad = i;
        }
    }
    const int count = received_count;
    const unsigned long long first_us = count > 0 ? infos[0].hw_timestamp_us : 0;
    const unsigned long long last_us = count > 0 ? infos[count - 1].hw_timestamp_us : 0;
    pthread_mutex_unlock(&received_lock);
    printf("# hardware stamps from %llu to %llu us\n", first_us, last_us);
    check(all && bad < 0 && first_us < (1ULL << 32) && last_us >= (1ULL << 32),
          "hardware timestamps arrive, never go back and follow the counter across its wrap",
          "%d of %d frames, first wrong %d, stamps %llu to %llu", count, FRAMES, bad, first_us,
          last_us);
    ovel_canfd_close(driver);
    ovel_canfd_set_rx_callback(driver, on_frame);
    command_or_fail("features 0x103", reply, sizeof reply);
}

/* One adapter's frames, for a receive handler whose user pointer tells the adapters apart. */
typedef struct adapter_frames {
    int count, first_bad;
} adapter_frames;

static void on_adapter_frame(const ovel_canfd_frame* frame, const ovel_canfd_rx_info* info,
                             void* user) {
    (void)info;
    adapter_frames* frames = user;
    pthread_mutex_lock(&received_lock);
    if (frames->first_bad < 0 && !frame_is_injected(frame, (unsigned)frames->count)) {
        frames->first_bad = frames->count;
    }
    ++frames->count;
    pthread_cond_broadcast(&received_changed);
    pthread_mutex_unlock(&received_lock);
}

static bool wait_adapter_frames(adapter_frames* a, adapter_frames* b, int count) {
    const struct timespec deadline = deadline_after(WAIT_FRAMES_MS);
    pthread_mutex_lock(&received_lock);
    while ((a->count < count || b->count < count) &&
           pthread_cond_timedwait(&received_changed, &received_lock, &deadline) == 0) {
    }
    const bool reached = a->count >= count && b->count >= count;
    pthread_mutex_unlock(&received_lock);
    return reached;
}

static const ovel_canfd_adapter_info* listed(const ovel_canfd_adapter_info* info, int count,
                                             const char* serial) {
    for (int i = 0; i < count && i < 4; ++i) {
        if (strcmp(info[i].serial_number, serial) == 0) {
            return &info[i];
        }
    }
    return NULL;
}

/* A second adapter plugged in beside the first: discovery lists both by their own paths, each
   handle opens its own, both stream at once, and the second's firmware (the kernel's request
   numbering, with termination and identify) is served as it is, while the first, which lacks
   both features, is sent nothing for them. */
static void check_two_adapters(void) {
    char reply[512];
    if (!bench_command_link(SECOND_LINK, "connect", reply, sizeof reply)) {
        check(false, "second adapter plugged in", "bench link reply \"%s\"", reply);
        return;
    }
    check(wait_adapters_bound(2, 20000), "both adapters enumerated, gs_usb bound to each",
          "not within 20 s");
    ovel_canfd_adapter_info info[4];
    memset(info, 0, sizeof info);
    info[0].size = sizeof info[0];
    const int32_t count = ovel_canfd_list_adapters(info, 4);
    const ovel_canfd_adapter_info* first = listed(info, count, SERIAL);
    const ovel_canfd_adapter_info* second = listed(info, count, SECOND_SERIAL);
    check(count == 2 && first != NULL && second != NULL && strcmp(first->path, second->path) != 0 &&
              first->availability == OVEL_CANFD_ADAPTER_FREE &&
              second->availability == OVEL_CANFD_ADAPTER_FREE && second->kernel_driver,
          "list finds both adapters, free, each at its own path",
          "count %d, \"%s\" at \"%s\" (%d), \"%s\" at \"%s\" (%d)", count,
          info[0].serial_number, info[0].path, info[0].availability, info[1].serial_number,
          info[1].path, info[1].availability);
    if (first == NULL || second == NULL) {
        return;
    }
    ovel_canfd_adapter_info one = {0};
    one.size = sizeof one;
    const int32_t beyond = ovel_canfd_list_adapters(&one, 1);
    check(beyond == 2 && (strcmp(one.serial_number, SERIAL) == 0 ||
                          strcmp(one.serial_number, SECOND_SERIAL) == 0),
          "a list with room for one counts both", "returned %d, \"%s\"", beyond,
          one.serial_number);

    ovel_canfd_driver* a = ovel_canfd_init();
    ovel_canfd_driver* b = ovel_canfd_init();
    ovel_canfd_driver* c = ovel_canfd_init();
    command_or_fail("mark", reply, sizeof reply);
    command_or_fail_link("mark", reply, sizeof reply);
    const int32_t opened_b = ovel_canfd_open_with_device_path(b, second->path);
    const int32_t opened_a = ovel_canfd_open(a);
    ovel_canfd_adapter_details details_a = {0}, details_b = {0};
    details_a.size = sizeof details_a;
    details_b.size = sizeof details_b;
    ovel_canfd_get_adapter_info(a, &details_a);
    ovel_canfd_get_adapter_info(b, &details_b);
    check(opened_b == OVEL_CANFD_OK && opened_a == OVEL_CANFD_OK &&
              strcmp(details_b.adapter.serial_number, SECOND_SERIAL) == 0 &&
              strcmp(details_a.adapter.serial_number, SERIAL) == 0 &&
              (details_b.features & OVEL_CANFD_FEATURE_TERMINATION) &&
              !(details_a.features & OVEL_CANFD_FEATURE_TERMINATION),
          "open by path takes the second adapter, a plain open the free first one",
          "open %d %d: %s / %s, serials \"%s\" \"%s\", features 0x%x 0x%x", opened_a, opened_b,
          ovel_canfd_get_last_error(a), ovel_canfd_get_last_error(b),
          details_a.adapter.serial_number, details_b.adapter.serial_number, details_a.features,
          details_b.features);
    const int32_t refused = ovel_canfd_open(c);
    check(refused == OVEL_CANFD_NO_DEVICE &&
              same_text(c, "failed to open device: DeviceNotFound (2 adapters found: busy)"),
          "a third handle finds both adapters busy", "returned %d: %s", refused,
          ovel_canfd_get_last_error(c));

    /* The kernel's numbering: the data-phase timing stalls as request 8 and is taken as 10. */
    const int32_t data_rate = ovel_canfd_set_data_bitrate(b, 0, 2000000);
    bool on = false, off = true;
    const int32_t terminated = ovel_canfd_set_termination(b, 1, true);
    const int32_t asked = ovel_canfd_get_termination(b, 1, &on);
    const int32_t unterminated = ovel_canfd_set_termination(b, 1, false);
    const int32_t asked_again = ovel_canfd_get_termination(b, 1, &off);
    const int32_t blink = ovel_canfd_identify(b, 0, true);
    const int32_t unblink = ovel_canfd_identify(b, 0, false);
    check(data_rate == OVEL_CANFD_OK && terminated == OVEL_CANFD_OK && asked == OVEL_CANFD_OK &&
              on && unterminated == OVEL_CANFD_OK && asked_again == OVEL_CANFD_OK && !off &&
              blink == OVEL_CANFD_OK && unblink == OVEL_CANFD_OK,
          "the second adapter takes the data bitrate, termination and identify",
          "data bitrate %d, termination %d %d (%d) %d %d (%d), identify %d %d: %s", data_rate,
          terminated, asked, on, unterminated, asked_again, off, blink, unblink,
          ovel_canfd_get_last_error(b));
    char expected[512];
    snprintf(expected, sizeof expected,
             "ok " DEVICE_CONFIG_REQUEST " " BT_CONST_REQUEST
             " 4108000000001400:%s!stall 410a000000001400:%s"
             " 410c010000000400:01000000 c10d010000000400 410c010000000400:00000000"
             " c10d010000000400 4107000000000400:01000000 4107000000000400:00000000",
             TIMING_2M, TIMING_2M);
    char seen[2048];
    command_or_fail_link("vendor-log", seen, sizeof seen);
    check(strcmp(seen, expected) == 0, "the second adapter's requests on the wire, byte-exact",
          "emulator saw \"%s\", expected \"%s\"", seen, expected);
    const int32_t no_termination = ovel_canfd_set_termination(a, 0, true);
    const int32_t no_identify = ovel_canfd_identify(a, 0, true);
    check(no_termination == OVEL_CANFD_ERR_UNSUPPORTED_FEATURE &&
              no_identify == OVEL_CANFD_ERR_UNSUPPORTED_FEATURE &&
              same_text(a, "failed to identify adapter: UnsupportedFeature(\"Identify\")"),
          "the first adapter lacks termination and identify", "returned %d %d: %s",
          no_termination, no_identify, ovel_canfd_get_last_error(a));
    expect_vendor_log("nothing is sent to the adapter that lacks them, beyond opening it",
                      "ok " DEVICE_CONFIG_REQUEST " " BT_CONST_REQUEST);

    adapter_frames frames_a = {0, -1}, frames_b = {0, -1};
    ovel_canfd_set_rx_handler(a, on_adapter_frame, &frames_a);
    ovel_canfd_set_rx_handler(b, on_adapter_frame, &frames_b);
    const int32_t started[4] = {ovel_canfd_start(a, 0), ovel_canfd_start(a, 1),
                                ovel_canfd_start(b, 0), ovel_canfd_start(b, 1)};
    command_or_fail("inject 100", reply, sizeof reply);
    command_or_fail_link("inject 100", reply, sizeof reply);
    const bool both = wait_adapter_frames(&frames_a, &frames_b, 100);
    pthread_mutex_lock(&received_lock);
    const adapter_frames got_a = frames_a, got_b = frames_b;
    pthread_mutex_unlock(&received_lock);
    check(started[0] == 0 && started[1] == 0 && started[2] == 0 && started[3] == 0 && both &&
              got_a.first_bad < 0 && got_b.first_bad < 0,
          "both adapters stream at once, each handle gets its own frames in order",
          "start %d %d %d %d; %d frames (first wrong %d) and %d (first wrong %d)", started[0],
          started[1], started[2], started[3], got_a.count, got_a.first_bad, got_b.count,
          got_b.first_bad);
    ovel_canfd_deinit(a);
    ovel_canfd_deinit(b);
    ovel_canfd_deinit(c);
    check(wait_adapters_bound(2, 20000) && bench_command_link(SECOND_LINK, "disconnect", reply,
                                                                 sizeof reply),
          "both adapters given back to gs_usb, the second unplugged", "%s", reply);
}

/* The kernel's own gs_usb driver, before the library takes the adapter: a raw socket writes a
   burst back to back; the kernel keeps up to 10 frames in flight, each freed by its echo, which
   the socket gets back as its own message. Classic 8-byte frames at 125 kbit/s take 111 bits
   (888 us) each on the bus. */
static void check_kernel_driver_burst(void) {
    enum { FRAMES = 200, BITRATE = 125000, FRAME_BUS_US = 111 * 8 };
    char reply[512], name[IF_NAMESIZE] = "";
    if (!kernel_can_name(0, name, sizeof name)) {
        check(false, "the kernel's gs_usb shows channel 0 as a network device", "none found");
        return;
    }
    command_or_fail("tx-stats", reply, sizeof reply); /* counts from here */
    int error = 0;
    const bool up = kernel_can_configure(name, BITRATE, true, &error);
    const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    const int one = 1;
    struct sockaddr_can address;
    memset(&address, 0, sizeof address);
    address.can_family = AF_CAN;
    address.can_ifindex = (int)if_nametoindex(name);
    const bool bound = fd >= 0 &&
                       setsockopt(fd, SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, &one, sizeof one) == 0 &&
                       bind(fd, (struct sockaddr*)&address, sizeof address) == 0;
    check(up && bound, "the kernel's gs_usb device comes up at 125 kbit/s, a raw socket on it",
          "%s: up %d (%s), socket %d (%s)", name, up, strerror(error), bound, strerror(errno));
    if (!up || !bound) {
        if (fd >= 0) {
            close(fd);
        }
        return;
    }

    int written = 0, echoed = 0, first_bad = -1, write_error = 0;
    const long long started = realtime_ns();
    const long long deadline = now_ms() + WAIT_FRAMES_MS;
    while (echoed < FRAMES && write_error == 0 && now_ms() < deadline) {
        /* Back to back until the device's queue is full (ENOBUFS); then an echo frees room. */
        while (written < FRAMES) {
            struct can_frame frame;
            memset(&frame, 0, sizeof frame);
            frame.can_id = 0x100u + (unsigned)written;
            frame.len = 8;
            for (int b = 0; b < 8; ++b) {
                frame.data[b] = (uint8_t)(written + b);
            }
            if (write(fd, &frame, sizeof frame) != (ssize_t)sizeof frame) {
                if (errno != ENOBUFS && errno != EAGAIN && errno != EINTR) {
                    write_error = errno;
                }
                break;
            }
            ++written;
        }
        struct pollfd readable = {fd, POLLIN, 0};
        if (poll(&readable, 1, written < FRAMES ? 1 : 1000) <= 0) {
            continue;
        }
        for (;;) {
            struct can_frame frame;
            struct iovec part = {&frame, sizeof frame};
            struct msghdr message;
            memset(&message, 0, sizeof message);
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            if (recvmsg(fd, &message, MSG_DONTWAIT) != (ssize_t)sizeof frame) {
                break;
            }
            bool right = (message.msg_flags & MSG_CONFIRM) != 0 &&
                         frame.can_id == 0x100u + (unsigned)echoed && frame.len == 8;
            for (int b = 0; b < 8 && right; ++b) {
                right = frame.data[b] == (uint8_t)(echoed + b);
            }
            if (!right && first_bad < 0) {
                first_bad = echoed;
            }
            ++echoed;
        }
    }
    const long long took_us = (realtime_ns() - started) / 1000;
    /* Nothing comes twice: no frame follows the last echo. */
    struct pollfd readable = {fd, POLLIN, 0};
    const int extra = poll(&readable, 1, 50);
    check(written == FRAMES && echoed == FRAMES && first_bad < 0 && extra == 0,
          "a burst of 200 frames through the kernel's gs_usb: each echoed back once, in order",
          "%d written (error %s), %d echoes, first wrong %d, more after the last: %d", written,
          strerror(write_error), echoed, first_bad, extra);
    command_or_fail("tx-stats", reply, sizeof reply);
    const long peak = reply_field(reply, "peak="), naks = reply_field(reply, "naks=");
    check(peak >= 2 && naks > 0,
          "the kernel's frames queued at the adapter, the full buffer held the transfers behind",
          "emulator: %s", reply);
    check(took_us >= (long long)FRAMES * FRAME_BUS_US,
          "the kernel's burst took the bus time of its frames", "%lld us for %d frames of %d us",
          took_us, FRAMES, FRAME_BUS_US);
    printf("# kernel burst: %d frames in %lld us (bus time %d us), adapter %s\n", FRAMES,
           took_us, FRAMES * FRAME_BUS_US, reply);
    close(fd);
    const bool down = kernel_can_configure(name, 0, false, &error);
    check(down && wait_emulator_idle(reply, sizeof reply),
          "the kernel's device goes down and leaves no transfer at the adapter", "down %d (%s), %s",
          down, strerror(error), reply);
}

int main(int argc, char** argv) {
    const char* tty = argc > 1 ? argv[1] : "/dev/ttyS1";
    const char* second_tty = argc > 2 ? argv[2] : "/dev/ttyS2";
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (!bench_open(tty) || !bench_open_link(SECOND_LINK, second_tty)) {
        printf("not ok - bench links %s and %s cannot be opened\n", tty, second_tty);
        return 1;
    }
    char reply[512];
    if (!bench_command("stats", reply, sizeof reply)) {
        printf("not ok - the emulator does not answer on %s (\"%s\")\n", tty, reply);
        return 1;
    }
    const int base_threads = thread_count();
    ovel_canfd_driver* driver = ovel_canfd_init();
    if (driver == NULL) {
        printf("not ok - ovel_canfd_init\n");
        return 1;
    }
    check_kernel_driver_burst();
    check_open_and_serial(driver);
    check_discovery(driver);
    check_setters_and_start(driver);
    check_receive();
    check_transmit_echo(driver, "transmit on two channels and receive the echoes");
    check_queued_burst(driver);
    check_faults(driver);
    check_stop(driver);
    check_close_while_streaming(driver, base_threads);
    check_open_close_cycles(driver, base_threads);
    check_disconnect_while_streaming(driver, base_threads);
    check_full_speed_timing(driver);
    check_hw_timestamps(driver);
    check_two_adapters();
    ovel_canfd_deinit(driver);
    printf("guest: %d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
