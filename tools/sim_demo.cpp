// Opens a simulated adapter through the C API and prints what the library reads and does.
#include <cstdio>
#include <cstdlib>

#include <ovsim/sim.h>

#include "ovelcanfd.h"

namespace {

int check(ovel_canfd_driver* handle, const char* what, int32_t result) {
    if (result < 0) {
        std::printf("%-32s -> %d (%s)\n", what, result, ovel_canfd_get_last_error(handle));
    } else {
        std::printf("%-32s -> %d\n", what, result);
    }
    return result;
}

}  // namespace

int main() {
    ovsim::AdapterSpec spec;
    spec.serial = "OVSIM-DEMO";
    spec.icount = 1;
    spec.fclk_can = 80'000'000;
    ovsim::add_adapter(spec);
    std::printf("simulated adapter: serial %s, 2 channels, 80 MHz CAN clock, FD\n\n",
                spec.serial->c_str());

    ovel_canfd_driver* handle = ovel_canfd_init();
    if (handle == nullptr) {
        return EXIT_FAILURE;
    }
    if (check(handle, "open_with_device_serial_number",
              ovel_canfd_open_with_device_serial_number(handle, "OVSIM-DEMO")) != 0) {
        ovel_canfd_deinit(handle);
        return EXIT_FAILURE;
    }
    const int32_t channels =
        check(handle, "get_channel_count", ovel_canfd_get_channel_count(handle));
    for (int32_t ch = 0; ch < channels; ++ch) {
        const auto c = static_cast<uint8_t>(ch);
        std::printf("-- channel %d\n", ch);
        check(handle, "set_bitrate 500000", ovel_canfd_set_bitrate(handle, c, 500000));
        check(handle, "set_data_bitrate 2000000", ovel_canfd_set_data_bitrate(handle, c, 2000000));
        check(handle, "set_fd true", ovel_canfd_set_fd(handle, c, true));
        check(handle, "start", ovel_canfd_start(handle, c));
    }
    std::printf("-- failures are reported with a text\n");
    check(handle, "set_bitrate 3000000", ovel_canfd_set_bitrate(handle, 0, 3000000));
    check(handle, "start channel 7", ovel_canfd_start(handle, 7));
    check(handle, "set_fd on a started channel", ovel_canfd_set_fd(handle, 0, false));
    for (int32_t ch = 0; ch < channels; ++ch) {
        check(handle, "stop", ovel_canfd_stop(handle, static_cast<uint8_t>(ch)));
    }
    check(handle, "close", ovel_canfd_close(handle));
    check(handle, "get_channel_count after close", ovel_canfd_get_channel_count(handle));
    ovel_canfd_deinit(handle);

    const auto left = ovsim::counters();
    std::printf("\nleft behind: %d contexts, %d handles, %d claims, %d transfers\n", left.contexts,
                left.handles, left.claimed_interfaces, left.transfers_allocated);
    return EXIT_SUCCESS;
}
