#include "sim_baseline.h"

#include <libusb.h>
#include <ovsim/sim.h>

#include <array>
#include <chrono>

#include "process_stats.h"

namespace ovel::bench {
namespace {

constexpr int TRANSFERS = 32;
constexpr int BUFFER_SIZE = 80;

struct Counter {
    std::uint64_t completed = 0;
};

void LIBUSB_CALL on_complete(libusb_transfer* transfer) {
    auto* counter = static_cast<Counter*>(transfer->user_data);
    if (transfer->status == LIBUSB_TRANSFER_COMPLETED) {
        ++counter->completed;
    }
    if (transfer->status != LIBUSB_TRANSFER_CANCELLED) {
        libusb_submit_transfer(transfer);
    }
}

void LIBUSB_CALL on_mode_done(libusb_transfer* transfer) {
    *static_cast<bool*>(transfer->user_data) = true;
}

// MODE start, as the host sends it; waits for the answer.
void start_channel(libusb_context* context, libusb_device_handle* handle, std::uint8_t channel) {
    std::array<unsigned char, LIBUSB_CONTROL_SETUP_SIZE + 8> buffer{};
    libusb_fill_control_setup(buffer.data(), 0x41, 2, channel, 0, 8);
    buffer[LIBUSB_CONTROL_SETUP_SIZE] = 1;
    bool done = false;
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    libusb_fill_control_transfer(transfer, handle, buffer.data(), &on_mode_done, &done, 1000);
    if (libusb_submit_transfer(transfer) == 0) {
        while (!done) {
            libusb_handle_events(context);
        }
    }
    libusb_free_transfer(transfer);
}

}  // namespace

SimCost measure_simulator(std::uint64_t frames, const std::vector<std::uint8_t>& channels,
                          bool fd) {
    SimCost cost;
    ovsim::reset();
    ovsim::Adapter& adapter = ovsim::add_adapter();
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0) {
        return cost;
    }
    libusb_device_handle* handle = libusb_open_device_with_vid_pid(context, 0x1D50, 0x606F);
    if (handle == nullptr) {
        libusb_exit(context);
        return cost;
    }
    libusb_detach_kernel_driver(handle, 0);
    libusb_claim_interface(handle, 0);

    Counter counter;
    std::array<libusb_transfer*, TRANSFERS> transfers{};
    std::array<std::array<unsigned char, BUFFER_SIZE>, TRANSFERS> buffers{};
    for (int i = 0; i < TRANSFERS; ++i) {
        transfers[i] = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(transfers[i], handle, 0x81, buffers[i].data(), BUFFER_SIZE,
                                  &on_complete, &counter, 5000);
        libusb_submit_transfer(transfers[i]);
    }
    // The adapter hands over the stream's frames of started channels only.
    for (const std::uint8_t channel : channels) {
        start_channel(context, handle, channel);
    }
    const auto started = std::chrono::steady_clock::now();
    const double cpu_before = process_cpu_seconds();
    adapter.start_stream(ovsim::StreamSpec{frames, channels, fd, 0});
    while (counter.completed < frames) {
        libusb_handle_events(context);
    }
    cost.cpu_seconds = process_cpu_seconds() - cpu_before;
    cost.wall_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    cost.frames = counter.completed;

    // Every transfer is resubmitted and waiting, since the stream has ended: cancel them all.
    for (libusb_transfer* transfer : transfers) {
        libusb_cancel_transfer(transfer);
    }
    while (ovsim::counters().transfers_in_flight > 0) {
        libusb_handle_events(context);
    }
    for (libusb_transfer* transfer : transfers) {
        libusb_free_transfer(transfer);
    }
    libusb_release_interface(handle, 0);
    libusb_close(handle);
    libusb_exit(context);
    ovsim::reset();
    return cost;
}

}  // namespace ovel::bench
