/* receive_print: opens the first adapter, starts channel 0 at 500 kbit/s and prints the first
 * ten frames it receives (or what it got within ten seconds).
 *
 *   cc receive_print.c $(pkg-config --cflags --libs ovelcanfd) -o receive_print
 */
/* clock_gettime and the pthread functions are POSIX, not ISO C: ask for them. */
#define _POSIX_C_SOURCE 200809L

#include <ovelcanfd.h>
#include <pthread.h>
#include <stdio.h>
#include <time.h>

enum { WANTED = 10, SECONDS = 10 };

/* What the callback shares with main: it runs on the library's thread, so under a lock. */
struct reception {
    pthread_mutex_t lock;
    pthread_cond_t changed;
    int received;
};

static void on_frame(const ovel_canfd_frame* frame, void* user) {
    struct reception* r = user;
    /* The record is valid only during the call: print (or copy) it here. */
    pthread_mutex_lock(&r->lock);
    if (r->received < WANTED) {
        printf("can%u %s%X [%u]", frame->channel, frame->extended ? "x" : "", frame->id,
               frame->dlc);
        for (int i = 0; i < (frame->dlc < 8 ? frame->dlc : 8); ++i) {
            printf(" %02X", frame->data[i]);
        }
        printf("%s\n", frame->echo ? " (echo)" : "");
        ++r->received;
        pthread_cond_signal(&r->changed);
    }
    pthread_mutex_unlock(&r->lock);
}

int main(void) {
    struct reception r = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0};
    ovel_canfd_driver* handle = ovel_canfd_init();
    if (handle == NULL || ovel_canfd_open(handle) != OVEL_CANFD_OK) {
        fprintf(stderr, "%s\n", handle ? ovel_canfd_get_last_error(handle) : "out of memory");
        ovel_canfd_deinit(handle);
        return 1;
    }
    /* Register the callback before the first start to receive every frame. */
    ovel_canfd_set_rx_callback_ex(handle, on_frame, &r);
    if (ovel_canfd_set_bitrate(handle, 0, 500000) != OVEL_CANFD_OK ||
        ovel_canfd_start(handle, 0) != OVEL_CANFD_OK) {
        fprintf(stderr, "%s\n", ovel_canfd_get_last_error(handle));
        ovel_canfd_deinit(handle);
        return 1;
    }

    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += SECONDS;
    pthread_mutex_lock(&r.lock);
    while (r.received < WANTED && pthread_cond_timedwait(&r.changed, &r.lock, &deadline) == 0) {
    }
    const int got = r.received;
    pthread_mutex_unlock(&r.lock);

    /* Stop takes the channel off the bus and ends the callback thread; deinit closes. */
    ovel_canfd_stop(handle, 0);
    ovel_canfd_deinit(handle);
    printf("%d frames\n", got);
    return got == WANTED ? 0 : 1;
}
