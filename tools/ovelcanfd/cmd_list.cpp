// `list`: every adapter plugged in, where it sits and whether it can be opened now.
#include <cstdio>
#include <vector>

#include "commands.h"

namespace ovel::tool {
namespace {

const char* availability_text(const ovel_canfd_adapter_info& info) {
    switch (info.availability) {
        case OVEL_CANFD_ADAPTER_FREE:
            return info.kernel_driver ? "free (kernel driver bound)" : "free";
        case OVEL_CANFD_ADAPTER_BUSY:
            return "busy";
        case OVEL_CANFD_ADAPTER_NO_PERMISSION:
            return "no permission";
        default:
            return "unavailable";
    }
}

const char* or_dash(const char* text) {
    return *text != '\0' ? text : "-";
}

}  // namespace

int run_list(const std::vector<std::string>& words) {
    const Arguments arguments = parse_arguments(words, {{"help", 'h', false}});
    if (!arguments.error.empty()) {
        return bad_arguments("list", arguments.error);
    }
    if (arguments.has("help")) {
        std::printf(
            "Usage: %s list\n"
            "Lists every gs_usb adapter plugged in: its USB port path (for info --path),\n"
            "serial number, whether it can be opened now (free, busy: held by another program,\n"
            "no permission: see the README's udev rule), manufacturer and product.\n"
            "Nothing is sent to the adapters.\n",
            program_name());
        return 0;
    }
    if (!arguments.positionals.empty()) {
        return bad_arguments("list", "unexpected argument \"" + arguments.positionals[0] + "\"");
    }
    // Adapters may be plugged in between the two calls: ask again until the list fits.
    std::vector<ovel_canfd_adapter_info> infos;
    std::int32_t count = ovel_canfd_list_adapters(nullptr, 0);
    while (count >= 0 && static_cast<std::size_t>(count) > infos.size()) {
        infos.resize(static_cast<std::size_t>(count));
        infos[0].size = sizeof(ovel_canfd_adapter_info);
        count = ovel_canfd_list_adapters(infos.data(), infos.size());
    }
    if (count < 0) {
        std::fprintf(stderr, "%s: could not list USB devices (error %d)\n", program_name(),
                     static_cast<int>(count));
        return EXIT_ADAPTER_FAILURE;
    }
    if (count == 0) {
        std::fprintf(stderr, "%s: no adapter found\n", program_name());
        return 0;
    }
    std::printf("%-12s %-20s %-27s %s\n", "PATH", "SERIAL", "STATE", "MANUFACTURER / PRODUCT");
    for (std::int32_t i = 0; i < count; ++i) {
        const ovel_canfd_adapter_info& info = infos[static_cast<std::size_t>(i)];
        std::printf("%-12s %-20s %-27s %s / %s\n", info.path, or_dash(info.serial_number),
                    availability_text(info), or_dash(info.manufacturer), or_dash(info.product));
    }
    return 0;
}

}  // namespace ovel::tool
