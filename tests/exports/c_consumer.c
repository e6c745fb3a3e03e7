/* The public header compiles as C and the library links from a C program. */
#include <stddef.h>
#include <stdio.h>

#include "ovelcanfd.h"

_Static_assert(sizeof(ovel_canfd_frame) == 80, "frame record is 80 bytes");
_Static_assert(offsetof(ovel_canfd_frame, data) == 9, "data at offset 9");
_Static_assert(offsetof(ovel_canfd_frame, err) == 79, "err at offset 79");

static void on_frame(const ovel_canfd_frame *frame) {
    (void)frame;
}

int main(void) {
    ovel_canfd_driver *handle = ovel_canfd_init();
    if (handle == NULL) {
        return 1;
    }
    ovel_canfd_set_rx_callback(handle, on_frame);
    if (ovel_canfd_get_channel_count(handle) != OVEL_CANFD_NO_DEVICE) {
        return 2;
    }
    printf("%s\n", ovel_canfd_get_last_error(handle));
    return ovel_canfd_deinit(handle);
}
