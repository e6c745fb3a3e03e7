// Opening, configuring, starting and closing through the C API, with failures reported as the
// library words them.
#include "adapter.h"

#include <algorithm>
#include <cstdio>

#include "commands.h"

namespace ovel::tool {

namespace {

struct AdapterOption {
    KnownOption known;
    const char* shown;  // the long option with its value, as the help shows it
    const char* meaning;
};

const std::vector<AdapterOption>& adapter_options() {
    static const std::vector<AdapterOption> options = {
        {{"serial", 's', true},
         "--serial S",
         "open the adapter with USB serial number S (default: the first)"},
        {{"bitrate", 'b', true}, "--bitrate N", "nominal bitrate in bit/s (default 500000)"},
        {{"dbitrate", 'd', true},
         "--dbitrate N",
         "CAN FD data bitrate in bit/s (implies --fd; default 2000000)"},
        {{"fd", 'f', false}, "--fd", "CAN FD mode"},
        {{"loopback", 'l', false}, "--loopback", "the adapter's hardware loopback"},
        {{"listen-only", 'm', false}, "--listen-only", "listen-only (monitor) mode"},
    };
    return options;
}

// A command's own letter wins: the adapter option keeps only its long name then.
char short_name_left(const KnownOption& option, const std::vector<KnownOption>& own) {
    for (const KnownOption& taken : own) {
        if (taken.short_name != 0 && taken.short_name == option.short_name) {
            return 0;
        }
    }
    return option.short_name;
}

}  // namespace

std::vector<KnownOption> adapter_known_options(const std::vector<KnownOption>& own) {
    std::vector<KnownOption> known;
    for (const AdapterOption& option : adapter_options()) {
        known.push_back(option.known);
        known.back().short_name = short_name_left(option.known, own);
    }
    return known;
}

std::string adapter_options_help(const std::vector<KnownOption>& own) {
    std::string help;
    for (const AdapterOption& option : adapter_options()) {
        const char letter = short_name_left(option.known, own);
        char line[160];
        std::snprintf(line, sizeof line, "  %-4s%-17s%s\n",
                      letter != 0 ? (std::string("-") + letter + ",").c_str() : "", option.shown,
                      option.meaning);
        help += line;
    }
    return help;
}

std::optional<AdapterOptions> read_adapter_options(const Arguments& arguments, std::string& error) {
    AdapterOptions options;
    if (const std::string* serial = arguments.value("serial")) {
        options.serial = *serial;
    }
    if (const std::string* text = arguments.value("bitrate")) {
        const auto bitrate = parse_unsigned(*text, 1, 0xFFFFFFFF, "the bitrate", error);
        if (!bitrate) {
            return std::nullopt;
        }
        options.settings.bitrate = static_cast<std::uint32_t>(*bitrate);
    }
    options.settings.fd = arguments.has("fd");
    if (const std::string* text = arguments.value("dbitrate")) {
        const auto bitrate = parse_unsigned(*text, 1, 0xFFFFFFFF, "the data bitrate", error);
        if (!bitrate) {
            return std::nullopt;
        }
        options.settings.data_bitrate = static_cast<std::uint32_t>(*bitrate);
        options.settings.fd = true;
    }
    options.settings.loopback = arguments.has("loopback");
    options.settings.listen_only = arguments.has("listen-only");
    return options;
}

Adapter::Adapter() : handle_(ovel_canfd_init()) {}

Adapter::~Adapter() {
    shut_down();
    ovel_canfd_deinit(handle_);
}

bool Adapter::check(std::int32_t result) {
    if (result == OVEL_CANFD_OK) {
        return true;
    }
    std::fprintf(stderr, "%s: %s\n", program_name(),
                 handle_ == nullptr ? "out of memory" : ovel_canfd_get_last_error(handle_));
    return false;
}

bool Adapter::open(const std::optional<std::string>& serial) {
    if (handle_ == nullptr) {
        return check(OVEL_CANFD_NO_DEVICE);
    }
    return check(serial ? ovel_canfd_open_with_device_serial_number(handle_, serial->c_str())
                        : ovel_canfd_open(handle_));
}

bool Adapter::configure(std::uint8_t channel, const ChannelSettings& settings) {
    // The library would only say "InvalidChannel" from the first setter it reaches.
    if (const int count = channel_count(); count >= 0 && channel >= count) {
        std::fprintf(stderr, "%s: channel can%u does not exist: the adapter has %d channel%s%s\n",
                     program_name(), channel, count, count == 1 ? "" : "s",
                     count == 0   ? ""
                     : count == 1 ? " (can0)"
                                  : (" (can0-can" + std::to_string(count - 1) + ")").c_str());
        return false;
    }
    if (!check(ovel_canfd_set_bitrate(handle_, channel, settings.bitrate))) {
        return false;
    }
    if (settings.fd) {
        if (!check(ovel_canfd_set_fd(handle_, channel, true)) ||
            !check(ovel_canfd_set_data_bitrate(handle_, channel,
                                               settings.data_bitrate.value_or(2'000'000)))) {
            return false;
        }
    }
    if (settings.loopback && !check(ovel_canfd_set_hw_loopback(handle_, channel, true))) {
        return false;
    }
    return !settings.listen_only || check(ovel_canfd_set_monitor(handle_, channel, true));
}

bool Adapter::start(std::uint8_t channel) {
    if (!check(ovel_canfd_start(handle_, channel))) {
        return false;
    }
    if (std::find(started_.begin(), started_.end(), channel) == started_.end()) {
        started_.push_back(channel);
    }
    return true;
}

bool Adapter::transmit(const ovel_canfd_frame& frame, std::string& failure) {
    if (ovel_canfd_transmit(handle_, &frame) == OVEL_CANFD_OK) {
        return true;
    }
    failure = ovel_canfd_get_last_error(handle_);
    return false;
}

void Adapter::set_rx_callback(ovel_canfd_rx_callback_ex callback, void* user) {
    ovel_canfd_set_rx_callback_ex(handle_, callback, user);
}

void Adapter::set_rx_handler(ovel_canfd_rx_handler handler, void* user) {
    ovel_canfd_set_rx_handler(handle_, handler, user);
}

int Adapter::channel_count() {
    return ovel_canfd_get_channel_count(handle_);
}

bool Adapter::shut_down() {
    const bool stopped = stop_all();
    ovel_canfd_close(handle_);
    return stopped;
}

bool Adapter::stop_all() {
    bool stopped = true;
    for (const std::uint8_t channel : started_) {
        stopped = check(ovel_canfd_stop(handle_, channel)) && stopped;
    }
    started_.clear();
    return stopped;
}

bool Adapter::stats(ovel_canfd_stats& out) {
    out = ovel_canfd_stats{};
    out.size = sizeof out;
    return handle_ != nullptr && ovel_canfd_get_stats(handle_, &out) == OVEL_CANFD_OK;
}

}  // namespace ovel::tool
