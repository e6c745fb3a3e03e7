// Drives the C API against a simulated two-channel CAN FD adapter: configures it, receives
// frames "from the bus", transmits frames and shows their echoes, and reports failures.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <ovsim/sim.h>

#include "ovelcanfd.h"

namespace {

std::atomic<int> received{0};

int check(ovel_canfd_driver* handle, const char* what, int32_t result) {
    if (result < 0) {
        std::printf("%-34s -> %d (%s)\n", what, result, ovel_canfd_get_last_error(handle));
    } else {
        std::printf("%-34s -> %d\n", what, result);
    }
    return result;
}

// One line per frame, in the manner of candump.
void print_frame(const ovel_canfd_frame* f) {
    static const int fd_lengths[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    const int length = f->fd ? fd_lengths[f->dlc & 15] : (f->dlc > 8 ? 8 : f->dlc);
    std::printf(f->extended ? "  can%u  %08X  " : "  can%u  %03X  ", f->channel, f->id);
    if (f->rtr) {
        std::printf("[%u]  remote request", f->dlc);
    } else {
        std::printf(f->fd ? "[%02d]" : "[%d] ", length);
        for (int i = 0; i < length; ++i) {
            std::printf(" %02X", f->data[i]);
        }
    }
    std::printf("%s%s%s%s%s\n", f->fd ? "  FD" : "", f->brs ? " BRS" : "", f->esi ? " ESI" : "",
                f->err ? "  ERRORFRAME" : "", f->echo ? "  (echo)" : "");
    std::fflush(stdout);
    received.fetch_add(1);
}

ovsim::FrameSpec bus_frame(std::uint8_t channel, std::uint32_t can_id, std::uint8_t dlc,
                           std::uint8_t flags) {
    ovsim::FrameSpec f;
    f.channel = channel;
    f.can_id = can_id;
    f.dlc = dlc;
    f.flags = flags;
    for (int i = 0; i < 64; ++i) {
        f.data.push_back(static_cast<std::uint8_t>(0x10 + i));
    }
    return f;
}

bool wait_for_frames(int count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (received.load() < count) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

}  // namespace

int main() {
    ovsim::AdapterSpec config;
    config.serial = "OVSIM-DEMO";
    config.icount = 1;
    config.fclk_can = 80'000'000;
    ovsim::Adapter& adapter = ovsim::add_adapter(config);
    std::printf("simulated adapter: serial %s, 2 channels, 80 MHz CAN clock, CAN FD\n\n",
                config.serial->c_str());

    ovel_canfd_driver* handle = ovel_canfd_init();
    if (handle == nullptr) {
        return EXIT_FAILURE;
    }
    check(handle, "set_rx_callback", ovel_canfd_set_rx_callback(handle, print_frame));
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

    std::printf("-- frames from the bus\n");
    adapter.feed_frame(bus_frame(0, 0x123, 8, 0));
    adapter.feed_frame(bus_frame(1, 0x80000000 | 0x1ABCDEF0, 15, 0x06));
    adapter.feed_frame(bus_frame(0, 0x40000000 | 0x7FF, 2, 0));
    adapter.feed_frame(bus_frame(1, 0x20000000 | 0x004, 8, 0));
    wait_for_frames(4);

    std::printf("-- transmit, and the adapter's echoes\n");
    ovel_canfd_frame frame{};
    frame.channel = 0;
    frame.id = 0x321;
    frame.dlc = 4;
    frame.data[0] = 0xDE, frame.data[1] = 0xAD, frame.data[2] = 0xBE, frame.data[3] = 0xEF;
    check(handle, "transmit classic 321#DEADBEEF", ovel_canfd_transmit(handle, &frame));
    frame.channel = 1;
    frame.fd = true;
    frame.brs = true;
    frame.dlc = 9;
    check(handle, "transmit FD with BRS, 12 bytes", ovel_canfd_transmit(handle, &frame));
    wait_for_frames(6);

    std::printf("-- queued sends: each returns once USB has the frame; flush waits for the echoes\n");
    frame.channel = 0;
    frame.fd = false;
    frame.brs = false;
    frame.dlc = 2;
    for (uint8_t k = 0; k < 3; ++k) {
        frame.data[0] = k;
        uint32_t send_id = 0;
        const int32_t sent = ovel_canfd_send(handle, &frame, 1000, &send_id);
        char what[64];
        std::snprintf(what, sizeof what, "send 321#%02X%02X (send id %u)", k, frame.data[1],
                      static_cast<unsigned>(send_id));
        check(handle, what, sent);
    }
    check(handle, "flush channel 0", ovel_canfd_flush(handle, 0, 2000));
    wait_for_frames(9);

    std::printf("-- failures are reported with a text\n");
    check(handle, "set_bitrate 3000000", ovel_canfd_set_bitrate(handle, 0, 3000000));
    check(handle, "start channel 7", ovel_canfd_start(handle, 7));
    check(handle, "set_fd on a started channel", ovel_canfd_set_fd(handle, 0, false));
    frame.dlc = 16;
    check(handle, "transmit with dlc 16", ovel_canfd_transmit(handle, &frame));
    for (int32_t ch = 0; ch < channels; ++ch) {
        check(handle, "stop", ovel_canfd_stop(handle, static_cast<uint8_t>(ch)));
    }
    frame.dlc = 8;
    check(handle, "transmit after stop", ovel_canfd_transmit(handle, &frame));
    check(handle, "close", ovel_canfd_close(handle));
    check(handle, "get_channel_count after close", ovel_canfd_get_channel_count(handle));
    ovel_canfd_deinit(handle);

    const auto left = ovsim::counters();
    std::printf(
        "\nframes received: %d; left behind: %d contexts, %d handles, %d claims, %d transfers\n",
        received.load(), left.contexts, left.handles, left.claimed_interfaces,
        left.transfers_allocated);
    return received.load() == 9 ? EXIT_SUCCESS : EXIT_FAILURE;
}
