/* send_burst: opens the first adapter, starts channel 0 at 500 kbit/s and sends 1000 frames at
 * the bus's pace with ovel_canfd_send: each call returns as soon as the frame is handed to USB,
 * and waits only while the channel has a full window of frames not yet on the bus. At the end
 * it waits for the last echoes and asks which frames, if any, did not go out.
 *
 *   cc send_burst.c $(pkg-config --cflags --libs ovelcanfd) -o send_burst
 */
#include <ovelcanfd.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

enum { FRAMES = 1000 };

static int fail(ovel_canfd_driver* handle) {
    fprintf(stderr, "%s\n", handle ? ovel_canfd_get_last_error(handle) : "out of memory");
    ovel_canfd_deinit(handle);
    return 1;
}

int main(void) {
    ovel_canfd_driver* handle = ovel_canfd_init();
    if (handle == NULL || ovel_canfd_open(handle) != OVEL_CANFD_OK) {
        return fail(handle);
    }
    if (ovel_canfd_set_bitrate(handle, 0, 500000) != OVEL_CANFD_OK ||
        ovel_canfd_start(handle, 0) != OVEL_CANFD_OK) {
        return fail(handle);
    }

    ovel_canfd_frame frame;
    memset(&frame, 0, sizeof frame);
    frame.channel = 0;
    frame.id = 0x321;
    frame.dlc = 8;
    for (uint32_t i = 0; i < FRAMES; ++i) {
        memcpy(frame.data, &i, sizeof i);
        /* Waits up to a second for room: a window that stays full means nobody acknowledges. */
        if (ovel_canfd_send(handle, &frame, 1000, NULL) != OVEL_CANFD_OK) {
            return fail(handle);
        }
    }
    /* Every frame is on the bus (echoed) or reported failed once this returns 0. */
    const int32_t flushed = ovel_canfd_flush(handle, 0, 2000);
    ovel_canfd_stop(handle, 0);

    /* Frames still in flight at the stop are reported too. */
    ovel_canfd_failed_send failed[16];
    uint32_t count = 0, failures = 0;
    do {
        if (ovel_canfd_get_failed_sends(handle, failed, 16, &count) != OVEL_CANFD_OK) {
            return fail(handle);
        }
        failures += count;
    } while (count > 0);
    ovel_canfd_deinit(handle);
    printf("sent %d frames, %u failed%s\n", FRAMES, (unsigned)failures,
           flushed == OVEL_CANFD_OK ? "" : " (flush timed out)");
    return failures == 0 && flushed == OVEL_CANFD_OK ? 0 : 1;
}
