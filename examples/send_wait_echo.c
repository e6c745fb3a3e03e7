/* send_wait_echo: opens the first adapter, starts channel 0 at 500 kbit/s, sends one frame and
 * waits (at most two seconds) for the adapter's echo, which says the frame went out on the bus.
 *
 *   cc send_wait_echo.c $(pkg-config --cflags --libs ovelcanfd) -o send_wait_echo
 */
/* clock_gettime and the pthread functions are POSIX, not ISO C: ask for them. */
#define _POSIX_C_SOURCE 200809L

#include <ovelcanfd.h>
#include <pthread.h>
#include <stdbool.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

/* What the callback, on the library's thread, shares with main. */
struct echo_wait {
    pthread_mutex_t lock;
    pthread_cond_t changed;
    bool echoed;
};

static void on_frame(const ovel_canfd_frame* frame, void* user) {
    struct echo_wait* wait = user;
    /* Echoes carry `echo`; everything else was received from other nodes. */
    if (frame->echo && frame->id == 0x123) {
        pthread_mutex_lock(&wait->lock);
        wait->echoed = true;
        pthread_cond_signal(&wait->changed);
        pthread_mutex_unlock(&wait->lock);
    }
}

static int fail(ovel_canfd_driver* handle) {
    fprintf(stderr, "%s\n", handle ? ovel_canfd_get_last_error(handle) : "out of memory");
    ovel_canfd_deinit(handle);
    return 1;
}

int main(void) {
    struct echo_wait wait = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, false};
    ovel_canfd_driver* handle = ovel_canfd_init();
    if (handle == NULL || ovel_canfd_open(handle) != OVEL_CANFD_OK) {
        return fail(handle);
    }
    ovel_canfd_set_rx_callback_ex(handle, on_frame, &wait);
    if (ovel_canfd_set_bitrate(handle, 0, 500000) != OVEL_CANFD_OK ||
        ovel_canfd_start(handle, 0) != OVEL_CANFD_OK) {
        return fail(handle);
    }

    /* A classic frame 123#DEADBEEF; the DLC is the byte count for 0 to 8 bytes. */
    ovel_canfd_frame frame;
    memset(&frame, 0, sizeof frame);
    frame.channel = 0;
    frame.id = 0x123;
    frame.dlc = 4;
    memcpy(frame.data, "\xDE\xAD\xBE\xEF", 4);
    /* Returns once the adapter has taken the frame; the echo follows when it is on the bus. */
    if (ovel_canfd_transmit(handle, &frame) != OVEL_CANFD_OK) {
        return fail(handle);
    }

    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 2;
    pthread_mutex_lock(&wait.lock);
    while (!wait.echoed && pthread_cond_timedwait(&wait.changed, &wait.lock, &deadline) == 0) {
    }
    const bool ok = wait.echoed;
    pthread_mutex_unlock(&wait.lock);

    ovel_canfd_stop(handle, 0);
    ovel_canfd_deinit(handle);
    printf(ok ? "sent 123#DEADBEEF, echo received\n" : "sent 123#DEADBEEF, no echo\n");
    return ok ? 0 : 1;
}
