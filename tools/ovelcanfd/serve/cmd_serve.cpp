// `serve [CHANNEL...]`: opens the adapter, starts the channels and serves them over TCP in the
// socketcand protocol until Ctrl-C.
#include <cstdio>

#include "adapter.h"
#include "commands.h"
#include "platform/net_socket.h"
#include "server.h"
#include "stats_report.h"

namespace ovel::tool {
namespace {

const std::vector<KnownOption>& own_options() {
    static const std::vector<KnownOption> options = {{"listen", 0, true},
                                                     {"allow", 0, true},
                                                     {"queue", 0, true},
                                                     {"handshake-timeout", 0, true},
                                                     {"beacon", 0, true}};
    return options;
}

void print_help() {
    std::printf(
        "Usage: %s serve [options] [CHANNEL...]\n"
        "Starts the channels (default: all) and serves them to socketcand clients (python-can's\n"
        "socketcand interface, socketcandcl, Kayak, SavvyCAN...) over TCP. A client opens a\n"
        "channel by its name (< open can0 >), switches to raw mode (< rawmode >) and then gets\n"
        "every frame of the channel (< frame 123 1700000000.123456 1122 >, CAN FD frames as\n"
        "< fdframe ID FLAGS TIME DATA >) and sends with < send ID LENGTH BYTE... > or\n"
        "< sendfd ... > (CAN FD). Ctrl-C stops it.\n"
        "No encryption, no authentication: beyond a trusted network, reach it through SSH or a\n"
        "VPN.\n"
        "Options:\n%s"
        "  --listen ADDR:PORT   listen there (default 127.0.0.1:29536; 0.0.0.0 for every\n"
        "                       interface; port 0: any free one, printed at start)\n"
        "  --allow ADDR,...     let in only clients from these IPv4 addresses\n"
        "  --queue N            frames waiting per client before further frames are dropped\n"
        "                       and counted for it (default 4096)\n"
        "  --handshake-timeout SECONDS  drop a client that has not opened a channel by then\n"
        "                       (default 10)\n"
        "  --beacon ADDR[:PORT] send the <CANBeacon> discovery datagram every 3 s to ADDR\n"
        "                       (a broadcast address such as 192.168.1.255; port 42000)\n",
        program_name(), adapter_options_help(own_options()).c_str());
}

// "ADDR:PORT", "ADDR" or ":PORT".
bool parse_address(const std::string& text, std::string& address, std::uint16_t& port,
                   const std::string& what, std::string& error) {
    const std::size_t colon = text.rfind(':');
    const std::string host = colon == std::string::npos ? text : text.substr(0, colon);
    if (!host.empty()) {
        std::uint32_t parsed = 0;
        if (!platform::parse_ipv4(host, parsed)) {
            error = what + " must be an IPv4 address, not \"" + host + "\"";
            return false;
        }
        address = host;
    }
    if (colon != std::string::npos) {
        const auto value = parse_unsigned(text.substr(colon + 1), 0, 65535, what + "'s port", error);
        if (!value) {
            return false;
        }
        port = static_cast<std::uint16_t>(*value);
    }
    return true;
}

std::optional<serve::ServerOptions> read_server_options(const Arguments& arguments,
                                                        std::string& error) {
    serve::ServerOptions options;
    if (const std::string* text = arguments.value("listen")) {
        if (!parse_address(*text, options.listen_address, options.port, "--listen", error)) {
            return std::nullopt;
        }
    }
    if (const std::string* text = arguments.value("allow")) {
        std::size_t start = 0;
        while (start <= text->size()) {
            const std::size_t comma = text->find(',', start);
            const std::string item = text->substr(
                start, comma == std::string::npos ? std::string::npos : comma - start);
            std::uint32_t address = 0;
            if (!platform::parse_ipv4(item, address)) {
                error = "--allow takes IPv4 addresses, not \"" + item + "\"";
                return std::nullopt;
            }
            options.allowed.push_back(address);
            if (comma == std::string::npos) {
                break;
            }
            start = comma + 1;
        }
    }
    if (const std::string* text = arguments.value("queue")) {
        const auto frames = parse_unsigned(*text, 1, 1'000'000, "the queue length", error);
        if (!frames) {
            return std::nullopt;
        }
        options.queue_frames = *frames;
    }
    if (const std::string* text = arguments.value("handshake-timeout")) {
        const auto seconds = parse_non_negative(*text, 86400, "the handshake time-out", error);
        if (!seconds) {
            return std::nullopt;
        }
        options.handshake_timeout = std::chrono::duration_cast<serve::Clock::duration>(
            std::chrono::duration<double>(*seconds));
    }
    if (const std::string* text = arguments.value("beacon")) {
        std::string address;
        if (!parse_address(*text, address, options.beacon_port, "--beacon", error)) {
            return std::nullopt;
        }
        if (address.empty()) {
            error = "--beacon needs an address";
            return std::nullopt;
        }
        options.beacon_address = address;
    }
    return options;
}

}  // namespace

int run_serve(const std::vector<std::string>& words) {
    Arguments arguments;
    AdapterOptions adapter_options;
    if (const auto done = parse_adapter_command("serve", words, own_options(), &print_help,
                                                arguments, adapter_options)) {
        return *done;
    }
    std::string error;
    auto options = read_server_options(arguments, error);
    if (!options) {
        return bad_arguments("serve", error);
    }
    for (const std::string& text : arguments.positionals) {
        const auto channel = parse_channel(text, error);
        if (!channel) {
            return bad_arguments("serve", error);
        }
        options->channels.push_back(*channel);
    }

    // Declared first, so that it outlives the adapter whose handler fills it.
    serve::FrameInbox inbox;
    Adapter adapter;
    if (!adapter.open(adapter_options)) {
        return EXIT_ADAPTER_FAILURE;
    }
    if (options->channels.empty()) {
        for (int c = 0; c < adapter.channel_count(); ++c) {
            options->channels.push_back(static_cast<std::uint8_t>(c));
        }
    }
    serve::Server server(adapter, inbox, *options, std::string(program_name()) + " serve");
    if (!server.start()) {
        return EXIT_ADAPTER_FAILURE;
    }
    adapter.set_rx_handler(&serve::FrameInbox::on_frame, &inbox);
    for (const std::uint8_t channel : options->channels) {
        if (!adapter.configure(channel, adapter_options.settings) || !adapter.start(channel)) {
            return EXIT_ADAPTER_FAILURE;
        }
    }
    const bool ended = server.run();
    // What clients sent goes out before the channels stop; what cannot is reported.
    adapter.flush(flush_bound_ms(adapter_options.settings));
    const bool stopped = adapter.stop_all();
    server.report();
    report_failed_sends(adapter.take_failed_sends());
    report_stats(adapter);
    return stopped && !ended ? 0 : EXIT_ADAPTER_FAILURE;
}

}  // namespace ovel::tool
