/* receive_print: opens the first adapter, starts channel 0 at 500 kbit/s and prints the first
 * ten frames it receives (or what it got within ten seconds).
 *
 *   cc receive_print.c $(pkg-config --cflags --libs ovelcanfd) -o receive_print
 */
#include <ovelcanfd.h>
#include <pthread.h>
#include <stdio.h>
#include <time.h>

enum { WANTED = 10, SECONDS = 10 };

/* The callback runs on the library's thread and gets no user pointer: share through globals. */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static int received;

static void on_frame(const ovel_canfd_frame* frame) {
    /* The record is valid only during the call: print (or copy) it here. */
    pthread_mutex_lock(&lock);
    if (received < WANTED) {
        printf("can%u %s%X [%u]", frame->channel, frame->extended ? "x" : "", frame->id,
               frame->dlc);
        for (int i = 0; i < (frame->dlc < 8 ? frame->dlc : 8); ++i) {
            printf(" %02X", frame->data[i]);
        }
        printf("%s\n", frame->echo ? " (echo)" : "");
        ++received;
        pthread_cond_signal(&changed);
    }
    pthread_mutex_unlock(&lock);
}

int main(void) {
    ovel_canfd_driver* handle = ovel_canfd_init();
    if (handle == NULL || ovel_canfd_open(handle) != OVEL_CANFD_OK) {
        fprintf(stderr, "%s\n", handle ? ovel_canfd_get_last_error(handle) : "out of memory");
        ovel_canfd_deinit(handle);
        return 1;
    }
    /* The callback must be registered before the first start to receive anything. */
    ovel_canfd_set_rx_callback(handle, on_frame);
    if (ovel_canfd_set_bitrate(handle, 0, 500000) != OVEL_CANFD_OK ||
        ovel_canfd_start(handle, 0) != OVEL_CANFD_OK) {
        fprintf(stderr, "%s\n", ovel_canfd_get_last_error(handle));
        ovel_canfd_deinit(handle);
        return 1;
    }

    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += SECONDS;
    pthread_mutex_lock(&lock);
    while (received < WANTED && pthread_cond_timedwait(&changed, &lock, &deadline) == 0) {
    }
    const int got = received;
    pthread_mutex_unlock(&lock);

    /* Stop takes the channel off the bus and ends the callback thread; deinit closes. */
    ovel_canfd_stop(handle, 0);
    ovel_canfd_deinit(handle);
    printf("%d frames\n", got);
    return got == WANTED ? 0 : 1;
}
