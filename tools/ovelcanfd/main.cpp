// ovelcanfd: candump/cansend/cangen-like commands over the C API.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "arguments.h"
#include "commands.h"
#include "stop_signal.h"

#ifdef OVELCANFD_TOOL_SIM
#include "ovsim/ovsim_c.h"
#endif

namespace ovel::tool {

namespace {
int first_output_failure = 0;
}  // namespace

bool flush_output() {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    if (!flushed || std::ferror(stdout)) {
        note_output_failure(errno);
        return false;
    }
    return true;
}

int output_failure() {
    return first_output_failure;
}

void note_output_failure(int error) {
    if (first_output_failure == 0) {
        first_output_failure = error != 0 ? error : EIO;
    }
}

const char* program_name() {
#ifdef OVELCANFD_TOOL_SIM
    return "ovelcanfd-sim";
#else
    return "ovelcanfd";
#endif
}

int bad_arguments(const char* command, const std::string& message) {
    std::fprintf(stderr, "%s %s: %s\nTry '%s %s --help'.\n", program_name(), command,
                 message.c_str(), program_name(), command);
    return EXIT_BAD_ARGUMENTS;
}

std::optional<int> parse_adapter_command(const char* command, const std::vector<std::string>& words,
                                         const std::vector<KnownOption>& extra, void (*print_help)(),
                                         Arguments& arguments, AdapterOptions& options) {
    std::vector<KnownOption> known = adapter_known_options(extra);
    known.insert(known.end(), extra.begin(), extra.end());
    known.push_back({"help", 'h', false});
    arguments = parse_arguments(words, known);
    if (!arguments.error.empty()) {
        return bad_arguments(command, arguments.error);
    }
    if (arguments.has("help")) {
        print_help();
        return 0;
    }
    std::string error;
    auto read = read_adapter_options(arguments, error);
    if (!read) {
        return bad_arguments(command, error);
    }
    options = *read;
    return std::nullopt;
}

}  // namespace ovel::tool

namespace {

// Whether everything written to standard output reached it; says why not, except for a closed
// pipe (`... | head`), whose reader stopped on purpose.
bool output_written() {
    if (ovel::tool::flush_output()) {
        return true;
    }
    if (ovel::tool::output_failure() != EPIPE) {
        std::fprintf(stderr, "%s: cannot write standard output: %s\n",
                     ovel::tool::program_name(), std::strerror(ovel::tool::output_failure()));
    }
    return false;
}

void print_usage(std::FILE* out) {
    using ovel::tool::program_name;
    std::fprintf(
        out,
        "Usage: %s COMMAND [options] [arguments]\n"
        "Commands:\n"
        "  dump [CHANNEL...]        print received frames (candump-like)\n"
        "  send CHANNEL FRAME...    send frames in cansend syntax (123#DEADBEEF, 123##1AA)\n"
        "  gen CHANNEL              send generated frames (cangen-like) and report the rate\n"
        "  play [FILE]              replay a candump log with its timing (canplayer-like)\n"
        "  info                     open the adapter and print what it reports about itself\n"
        "  list                     list the adapters plugged in and whether they are free\n"
        "  serve [CHANNEL...]       serve the channels over TCP in the socketcand protocol\n"
        "'%s COMMAND --help' describes a command's options.\n"
        "Channels are 0, 1, ... or can0, can1, ...\n"
        "Exit status: 0 done, 1 the adapter, the library or the output failed, 2 bad\n"
        "arguments.\n"
        "\n"
        "Differences from can-utils:\n"
        "  - one process opens the adapter and configures its channels: -b/--bitrate,\n"
        "    --dbitrate, --fd, --loopback, --listen-only and -s/--serial belong to every\n"
        "    command (-s is not candump's silent mode); where the command's own letter\n"
        "    means something else, only the long option is left (gen -b is cangen's\n"
        "    bit-rate switch: use --bitrate; gen -m is cangen's mixed frame types: use\n"
        "    --listen-only; dump -l/-f log to a file: use --fd, --loopback; play -l is\n"
        "    the loop count)\n"
        "  - without -b/--dbitrate every command sets 500 kbit/s (2 Mbit/s data phase) at\n"
        "    CiA's sample points, 87.5 %% (75 %% data; --sample-point, --dsample-point)\n"
        "  - dump prints the time, RX/TX and the FD flags by default; -t a|A|d|z changes\n"
        "    the time, -L prints candump's log format; -T is a time limit in seconds, not\n"
        "    candump's time-out without frames in ms\n"
        "  - dump without filters shows error frames too; with filters, only through #MASK\n"
        "  - play takes the log as FILE or -I FILE, skips error frames and shortens pauses\n"
        "    with --skip SECONDS (canplayer's -s)\n",
        program_name(), program_name());
#ifdef OVELCANFD_TOOL_SIM
    std::fprintf(out,
                 "\nThis build runs on the simulated adapter (libovelcanfd-sim.so), not on USB\n"
                 "hardware. Its environment variables:\n"
                 "  OVSIM_ADAPTERS=SERIAL[:CHANNELS[:FD]],...  adapters (default OVSIM0001:2:1)\n"
                 "  OVSIM_TRAFFIC=RATE[:fd]   the first adapter receives generated frames\n"
                 "  OVSIM_BUS_TIMING=1        frames take their time on the bus to go out\n"
                 "  OVSIM_ACKNOWLEDGED=0      no node acknowledges: frames never go out\n"
                 "  OVSIM_BUS=DIRECTORY       share an emulated bus with other processes using\n"
                 "                            the same directory\n"
                 "  OVELCANFD_REPORT_LIVE=1   at exit, print the libusb objects still alive\n"
                 "                            and the most transmits NAKed at once\n");
#endif
}

}  // namespace

int main(int argc, char** argv) {
    using namespace ovel::tool;
    install_stop_handlers();
    if (argc < 2) {
        print_usage(stderr);
        return EXIT_BAD_ARGUMENTS;
    }
    const std::string command = argv[1];
    const std::vector<std::string> words(argv + 2, argv + argc);
    int status = EXIT_BAD_ARGUMENTS;
    if (command == "-h" || command == "--help" || command == "help") {
        print_usage(stdout);
        status = 0;
    } else if (command == "dump") {
        status = run_dump(words);
    } else if (command == "send") {
        status = run_send(words);
    } else if (command == "gen") {
        status = run_gen(words);
    } else if (command == "play") {
        status = run_play(words);
    } else if (command == "info") {
        status = run_info(words);
    } else if (command == "list") {
        status = run_list(words);
    } else if (command == "serve") {
        status = run_serve(words);
    } else {
        std::fprintf(stderr, "%s: unknown command \"%s\"\n", program_name(), command.c_str());
        print_usage(stderr);
    }
    if (!output_written() && status == 0) {
        status = EXIT_ADAPTER_FAILURE;
    }
#ifdef OVELCANFD_TOOL_SIM
    if (const char* report = std::getenv("OVELCANFD_REPORT_LIVE");
        report != nullptr && *report == '1') {
        std::fprintf(stderr, "%s: live libusb objects at exit: %d\n", program_name(),
                     static_cast<int>(ovsim_live_objects()));
        std::fprintf(stderr, "%s: most transmits waiting for the adapter at once: %d\n",
                     program_name(), static_cast<int>(ovsim_out_waiting_high_water(0)));
    }
#endif
    return status;
}
