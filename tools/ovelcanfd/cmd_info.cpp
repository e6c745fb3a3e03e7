// `info`: opens the adapter and prints what the library reports about it.
#include <cstdio>

#include "adapter.h"
#include "commands.h"

namespace ovel::tool {

int run_info(const std::vector<std::string>& words) {
    const Arguments arguments =
        parse_arguments(words, {{"serial", 's', true}, {"help", 'h', false}});
    if (!arguments.error.empty()) {
        return bad_arguments("info", arguments.error);
    }
    if (arguments.has("help")) {
        std::printf(
            "Usage: %s info [-s SERIAL]\n"
            "Opens the adapter (the first, or the one with USB serial number SERIAL) and\n"
            "prints its channel count, or the library's failure text.\n",
            program_name());
        return 0;
    }
    if (!arguments.positionals.empty()) {
        return bad_arguments("info", "unexpected argument \"" + arguments.positionals[0] + "\"");
    }
    const std::string* serial = arguments.value("serial");
    Adapter adapter;
    if (!adapter.open(serial != nullptr ? std::optional<std::string>(*serial) : std::nullopt)) {
        return EXIT_ADAPTER_FAILURE;
    }
    std::printf("adapter: %s\nchannels: %d\n",
                serial != nullptr ? ("serial number " + *serial).c_str() : "first found",
                adapter.channel_count());
    return 0;
}

}  // namespace ovel::tool
