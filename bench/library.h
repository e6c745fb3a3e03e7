// A library under test (libovelcanfd-sim.so of this tree, or an earlier version of the driver
// built with this tree's simulator), loaded with dlopen and called only through this table, so
// that two versions can be measured alternately in one process.
#pragma once

#include <ovsim/ovsim_c.h>

#include <cstdint>
#include <memory>
#include <string>

#include "ovelcanfd.h"

namespace ovel::bench {

struct Library {
    std::string label;  // "current" or "previous"
    std::string path;

    decltype(&ovel_canfd_init) init = nullptr;
    decltype(&ovel_canfd_deinit) deinit = nullptr;
    decltype(&ovel_canfd_open) open = nullptr;
    decltype(&ovel_canfd_get_last_error) get_last_error = nullptr;
    decltype(&ovel_canfd_set_bitrate) set_bitrate = nullptr;
    decltype(&ovel_canfd_set_data_bitrate) set_data_bitrate = nullptr;
    decltype(&ovel_canfd_set_fd) set_fd = nullptr;
    decltype(&ovel_canfd_start) start = nullptr;
    decltype(&ovel_canfd_stop) stop = nullptr;
    decltype(&ovel_canfd_set_rx_callback) set_rx_callback = nullptr;
    decltype(&ovel_canfd_transmit) transmit = nullptr;

    decltype(&ovsim_reset) sim_reset = nullptr;
    decltype(&ovsim_add_adapter) sim_add_adapter = nullptr;
    decltype(&ovsim_start_stream) sim_start_stream = nullptr;
    decltype(&ovsim_stop_stream) sim_stop_stream = nullptr;
    // Only in simulators with USB timing models; null otherwise (the link is then immediate).
    int32_t (*sim_set_link_timing)(int32_t adapter, int32_t timing) = nullptr;
    uint64_t (*sim_streamed)(int32_t adapter) = nullptr;
    int32_t (*sim_in_transfers_pending)(int32_t adapter) = nullptr;
    // Needed by the soak only.
    decltype(&ovel_canfd_close) close = nullptr;
    decltype(&ovsim_unplug) sim_unplug = nullptr;
    // Queued sends and echo timing: in libraries that have them; null otherwise.
    int32_t (*send)(ovel_canfd_driver*, const ovel_canfd_frame*, uint32_t, uint32_t*) = nullptr;
    int32_t (*sim_set_bus_timing)(int32_t adapter, int32_t on) = nullptr;
    // The handler with the record that carries an echo's send id: null in libraries without it.
    int32_t (*set_rx_handler)(ovel_canfd_driver*, ovel_canfd_rx_handler, void*) = nullptr;
    int32_t (*set_send_window)(ovel_canfd_driver*, uint8_t, uint32_t) = nullptr;
    // The receive latency budget: in libraries that have it; null otherwise.
    int32_t (*set_rx_latency)(ovel_canfd_driver*, uint32_t) = nullptr;
};

// Loads the library at `path` (RTLD_NOW | RTLD_LOCAL) and looks up every function. Returns null
// and sets `error` when the file cannot be loaded or lacks a required function. The library
// stays loaded until the process ends, so that sanitizer reports at exit can still name its
// functions.
std::unique_ptr<Library> load_library(const std::string& label, const std::string& path,
                                      std::string& error);

}  // namespace ovel::bench
