/* Uses the installed library: a handle, the answers of a handle with no adapter, and an open
 * that either finds an adapter or explains why not. */
#include <ovelcanfd.h>
#include <stdio.h>

int main(void) {
    ovel_canfd_driver* handle = ovel_canfd_init();
    if (handle == NULL) {
        return 1;
    }
    int ok = ovel_canfd_get_channel_count(handle) == OVEL_CANFD_NO_DEVICE;
    const int32_t opened = ovel_canfd_open(handle);
    printf("open: %d %s\n", opened, ovel_canfd_get_last_error(handle));
    ok = ok && (opened == OVEL_CANFD_OK || opened == OVEL_CANFD_NO_DEVICE);
    ovel_canfd_deinit(handle);
    return ok ? 0 : 1;
}
