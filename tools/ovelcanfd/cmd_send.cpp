// `send CHANNEL FRAME...`: transmits frames in cansend syntax, in order, each taken by the
// adapter before the next.
#include <cstdio>

#include "adapter.h"
#include "commands.h"
#include "frame_syntax.h"
#include "stop_signal.h"

namespace ovel::tool {
namespace {

void print_help() {
    std::printf(
        "Usage: %s send [options] CHANNEL FRAME...\n"
        "Transmits the frames in order on CHANNEL; each must be taken by the adapter before\n"
        "the next is sent. Frames in cansend syntax:\n"
        "  123#DEADBEEF       standard identifier (3 hex digits), 0-8 data bytes\n"
        "  12345678#11.22     extended identifier (8 hex digits); dots may separate bytes\n"
        "  123#R  123#R4      remote request, optional length\n"
        "  123##1AABBCC       CAN FD: flags digit (1 BRS, 2 ESI), up to 64 data bytes;\n"
        "                     lengths between table values are zero-padded\n"
        "Options:\n%s",
        program_name(), adapter_options_help({}).c_str());
}

}  // namespace

int run_send(const std::vector<std::string>& words) {
    Arguments arguments;
    AdapterOptions options;
    if (const auto done =
            parse_adapter_command("send", words, {}, &print_help, arguments, options)) {
        return *done;
    }
    std::string error;
    if (arguments.positionals.size() < 2) {
        return bad_arguments("send", "needs a channel and at least one frame");
    }
    const auto channel = parse_channel(arguments.positionals[0], error);
    if (!channel) {
        return bad_arguments("send", error);
    }
    std::vector<ovel_canfd_frame> frames;
    for (std::size_t i = 1; i < arguments.positionals.size(); ++i) {
        const std::string& text = arguments.positionals[i];
        ParsedFrame parsed = parse_frame(text, *channel);
        if (!parsed.frame) {
            return bad_arguments("send", "bad frame \"" + text + "\": " + parsed.error);
        }
        if (parsed.frame->err) {
            return bad_arguments("send", "bad frame \"" + text + "\": error frames cannot be sent");
        }
        options.settings.fd = options.settings.fd || parsed.frame->fd;
        frames.push_back(*parsed.frame);
    }

    Adapter adapter;
    if (!adapter.open(options) || !adapter.configure(*channel, options.settings) ||
        !adapter.start(*channel)) {
        return EXIT_ADAPTER_FAILURE;
    }
    int status = 0;
    for (std::size_t i = 0; i < frames.size() && status == 0; ++i) {
        if (stop_requested()) {
            std::fprintf(stderr, "%s: interrupted: %zu of %zu frames sent\n", program_name(), i,
                         frames.size());
            status = EXIT_ADAPTER_FAILURE;
            break;
        }
        std::string failure;
        if (!adapter.transmit(frames[i], failure)) {
            std::fprintf(stderr, "%s: frame %zu (%s): %s\n", program_name(), i + 1,
                         arguments.positionals[i + 1].c_str(), failure.c_str());
            status = EXIT_ADAPTER_FAILURE;
        }
    }
    if (!adapter.shut_down()) {
        status = EXIT_ADAPTER_FAILURE;
    }
    return status;
}

}  // namespace ovel::tool
