// `info`: opens the adapter and prints what the library reports about it.
#include <cstdio>
#include <string>

#include "adapter.h"
#include "commands.h"

namespace ovel::tool {
namespace {

// The handle of the info command alone: it configures nothing, so it needs none of Adapter's
// channel handling.
struct InfoHandle {
    ovel_canfd_driver* handle = ovel_canfd_init();
    ~InfoHandle() { ovel_canfd_deinit(handle); }
};

std::string feature_names(std::uint32_t features) {
    std::string names;
    for (std::uint32_t bit = 0; bit < 32; ++bit) {
        if ((features & (1u << bit)) == 0) {
            continue;
        }
        const char* name = ovel_canfd_feature_name(bit);
        names += ' ';
        names += name != nullptr ? name : "bit" + std::to_string(bit);
    }
    return names;
}

const char* state_name(std::uint32_t state) {
    switch (state) {
        case OVEL_CANFD_STATE_ERROR_ACTIVE: return "error-active";
        case OVEL_CANFD_STATE_ERROR_WARNING: return "error-warning";
        case OVEL_CANFD_STATE_ERROR_PASSIVE: return "error-passive";
        case OVEL_CANFD_STATE_BUS_OFF: return "bus-off";
        case OVEL_CANFD_STATE_STOPPED: return "stopped";
        case OVEL_CANFD_STATE_SLEEPING: return "sleeping";
        default: return "unknown";
    }
}

// Each channel's state as the library sees it; info starts no channel, so they read stopped
// unless another command of this process started them.
void print_bus_states(ovel_canfd_driver* handle, std::uint32_t channels) {
    std::printf("bus state:");
    for (std::uint32_t channel = 0; channel < channels; ++channel) {
        ovel_canfd_bus_state state{};
        state.size = sizeof state;
        if (ovel_canfd_get_bus_state(handle, static_cast<std::uint8_t>(channel), &state) != 0) {
            std::printf(" %u:?", channel);
            continue;
        }
        std::printf(" %u:%s rx %u tx %u", channel, state_name(state.state), state.rx_errors,
                    state.tx_errors);
    }
    std::printf("\n");
}

void print_details(ovel_canfd_driver* handle, const ovel_canfd_adapter_details& details) {
    const ovel_canfd_adapter_info& adapter = details.adapter;
    std::printf("serial number: %s\npath: %s\nmanufacturer: %s\nproduct: %s\n",
                adapter.serial_number, adapter.path, adapter.manufacturer, adapter.product);
    std::printf("software version: %u\nhardware version: %u\nCAN clock: %u Hz\n",
                details.sw_version, details.hw_version, details.can_clock_hz);
    std::printf("features: 0x%08x%s\n", details.features, feature_names(details.features).c_str());
    std::printf("bit timing limits: tseg1 %u-%u, tseg2 %u-%u, sjw max %u, brp %u-%u step %u\n",
                details.tseg1_min, details.tseg1_max, details.tseg2_min, details.tseg2_max,
                details.sjw_max, details.brp_min, details.brp_max, details.brp_inc);
    print_bus_states(handle, details.channel_count);
    if ((details.features & OVEL_CANFD_FEATURE_TERMINATION) == 0) {
        return;
    }
    std::printf("termination:");
    for (std::uint32_t channel = 0; channel < details.channel_count; ++channel) {
        bool on = false;
        const bool read =
            ovel_canfd_get_termination(handle, static_cast<std::uint8_t>(channel), &on) == 0;
        std::printf(" %u:%s", channel, read ? (on ? "on" : "off") : "?");
    }
    std::printf("\n");
}

}  // namespace

int run_info(const std::vector<std::string>& words) {
    const Arguments arguments = parse_arguments(
        words, {{"serial", 's', true}, {"path", 'p', true}, {"help", 'h', false}});
    if (!arguments.error.empty()) {
        return bad_arguments("info", arguments.error);
    }
    if (arguments.has("help")) {
        std::printf(
            "Usage: %s info [-s SERIAL | -p PATH]\n"
            "Opens the adapter (the first free one, the one with USB serial number SERIAL, or\n"
            "the one at USB port path PATH as `list` shows it) and prints its channel count,\n"
            "serial number, path, strings, versions, CAN clock, features and bit timing\n"
            "limits, or the library's failure text.\n",
            program_name());
        return 0;
    }
    if (!arguments.positionals.empty()) {
        return bad_arguments("info", "unexpected argument \"" + arguments.positionals[0] + "\"");
    }
    const std::string* serial = arguments.value("serial");
    const std::string* path = arguments.value("path");
    if (serial != nullptr && path != nullptr) {
        return bad_arguments("info", "--serial and --path exclude each other");
    }
    InfoHandle info;
    if (info.handle == nullptr) {
        std::fprintf(stderr, "%s: out of memory\n", program_name());
        return EXIT_ADAPTER_FAILURE;
    }
    const std::int32_t opened =
        serial != nullptr ? ovel_canfd_open_with_device_serial_number(info.handle, serial->c_str())
        : path != nullptr ? ovel_canfd_open_with_device_path(info.handle, path->c_str())
                          : ovel_canfd_open(info.handle);
    ovel_canfd_adapter_details details{};
    details.size = sizeof details;
    if (opened != 0 || ovel_canfd_get_adapter_info(info.handle, &details) != 0) {
        std::fprintf(stderr, "%s: %s\n", program_name(), ovel_canfd_get_last_error(info.handle));
        return EXIT_ADAPTER_FAILURE;
    }
    const std::string which = serial != nullptr ? "serial number " + *serial
                              : path != nullptr ? "path " + *path
                                                : std::string("first found");
    std::printf("adapter: %s\nchannels: %u\n", which.c_str(), details.channel_count);
    print_details(info.handle, details);
    return 0;
}

}  // namespace ovel::tool
