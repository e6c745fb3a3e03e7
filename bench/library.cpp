#include "library.h"

#include <dlfcn.h>

namespace ovel::bench {
namespace {

// Assigns the address of `name` to `pointer`; false when the library has no such function.
template <class Function>
bool find(void* handle, const char* name, Function*& pointer) {
    // POSIX guarantees that a data pointer from dlsym converts to a function pointer.
    pointer = reinterpret_cast<Function*>(dlsym(handle, name));
    return pointer != nullptr;
}

}  // namespace

std::unique_ptr<Library> load_library(const std::string& label, const std::string& path,
                                      std::string& error) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        error = "cannot load " + path + ": " + (why != nullptr ? why : "unknown error");
        return nullptr;
    }
    auto library = std::make_unique<Library>();
    library->label = label;
    library->path = path;
    Library& l = *library;
    const char* missing = nullptr;
    auto need = [&](const char* name, auto*& pointer) {
        if (!find(handle, name, pointer) && missing == nullptr) {
            missing = name;
        }
    };
    need("ovel_canfd_init", l.init);
    need("ovel_canfd_deinit", l.deinit);
    need("ovel_canfd_open", l.open);
    need("ovel_canfd_get_last_error", l.get_last_error);
    need("ovel_canfd_set_bitrate", l.set_bitrate);
    need("ovel_canfd_set_data_bitrate", l.set_data_bitrate);
    need("ovel_canfd_set_fd", l.set_fd);
    need("ovel_canfd_start", l.start);
    need("ovel_canfd_stop", l.stop);
    need("ovel_canfd_set_rx_callback", l.set_rx_callback);
    need("ovel_canfd_transmit", l.transmit);
    need("ovsim_reset", l.sim_reset);
    need("ovsim_add_adapter", l.sim_add_adapter);
    need("ovsim_start_stream", l.sim_start_stream);
    need("ovsim_stop_stream", l.sim_stop_stream);
    if (missing != nullptr) {
        error = path + " lacks " + missing;
        return nullptr;
    }
    find(handle, "ovsim_set_link_timing", l.sim_set_link_timing);
    find(handle, "ovsim_streamed", l.sim_streamed);
    find(handle, "ovsim_in_transfers_pending", l.sim_in_transfers_pending);
    find(handle, "ovel_canfd_close", l.close);
    find(handle, "ovsim_unplug", l.sim_unplug);
    find(handle, "ovel_canfd_send", l.send);
    find(handle, "ovsim_set_bus_timing", l.sim_set_bus_timing);
    find(handle, "ovel_canfd_set_rx_handler", l.set_rx_handler);
    find(handle, "ovel_canfd_set_send_window", l.set_send_window);
    find(handle, "ovel_canfd_set_rx_latency", l.set_rx_latency);
    return library;
}

}  // namespace ovel::bench
