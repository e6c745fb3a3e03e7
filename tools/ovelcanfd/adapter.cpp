// Opening, configuring, starting and closing through the C API, with failures reported as the
// library words them.
#include "adapter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "commands.h"
#include "stop_signal.h"

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
        {{"bitrate", 'b', true},
         "--bitrate N",
         "nominal bitrate in bit/s, at most 1000000 (default 500000)"},
        {{"dbitrate", 'd', true},
         "--dbitrate N",
         "CAN FD data bitrate in bit/s, at most 10000000 (implies --fd;\n"
         "                       default 2000000)"},
        {{"sample-point", 0, true},
         "--sample-point SP",
         "nominal sample point as in ip link, 0.001-0.999 (default 0.875)"},
        {{"dsample-point", 0, true},
         "--dsample-point SP",
         "data phase sample point (default 0.75)"},
        {{"fd", 'f', false}, "--fd", "CAN FD mode"},
        {{"loopback", 'l', false}, "--loopback", "the adapter's hardware loopback"},
        {{"listen-only", 'm', false}, "--listen-only", "listen-only (monitor) mode"},
        {{"rx-latency", 0, true},
         "--rx-latency US",
         "let received frames wait up to US microseconds to be handed\n"
         "                       over in batches: less CPU on a busy bus (default 0)"},
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
        // An option too long for its column has its meaning on the next line.
        const bool long_name = std::string_view(option.shown).size() >= 17;
        char line[200];
        std::snprintf(line, sizeof line, "  %-4s%-17s%s%s\n",
                      letter != 0 ? (std::string("-") + letter + ",").c_str() : "", option.shown,
                      long_name ? "\n                       " : "", option.meaning);
        help += line;
    }
    return help;
}

namespace {

// A sample point as ip link takes it (0.875), in permille.
std::optional<std::uint32_t> parse_sample_point(const std::string& text, const std::string& what,
                                                std::string& error) {
    const auto value = parse_non_negative(text, 1, what, error);
    const long permille = value ? std::lround(*value * 1000) : 0;
    if (permille < 1 || permille > 999) {
        error = what + " must be a fraction of the bit from 0.001 to 0.999 (0.875 for 87.5 %), "
                       "not \"" + text + "\"";
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(permille);
}

std::optional<std::uint32_t> parse_bitrate(const std::string& text, std::uint32_t max,
                                           const std::string& what, const char* phase,
                                           std::string& error) {
    const auto bitrate = parse_unsigned(text, 1, 0xFFFFFFFF, what, error);
    if (bitrate && *bitrate > max) {
        error = what + " " + text + " is above " + std::to_string(max) + " bit/s, the most " +
                phase + " runs at";
        return std::nullopt;
    }
    return bitrate ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*bitrate))
                   : std::nullopt;
}

}  // namespace

std::optional<AdapterOptions> read_adapter_options(const Arguments& arguments, std::string& error) {
    AdapterOptions options;
    if (const std::string* serial = arguments.value("serial")) {
        options.serial = *serial;
    }
    if (const std::string* text = arguments.value("bitrate")) {
        const auto bitrate =
            parse_bitrate(*text, MAX_BITRATE, "the bitrate", "a CAN bus's nominal phase", error);
        if (!bitrate) {
            return std::nullopt;
        }
        options.settings.bitrate = *bitrate;
    }
    if (const std::string* text = arguments.value("sample-point")) {
        const auto point = parse_sample_point(*text, "the sample point", error);
        if (!point) {
            return std::nullopt;
        }
        options.settings.sample_point = *point;
    }
    if (const std::string* text = arguments.value("dsample-point")) {
        const auto point = parse_sample_point(*text, "the data sample point", error);
        if (!point) {
            return std::nullopt;
        }
        options.settings.data_sample_point = *point;
    }
    options.settings.fd = arguments.has("fd");
    if (const std::string* text = arguments.value("dbitrate")) {
        const auto bitrate = parse_bitrate(*text, MAX_DATA_BITRATE, "the data bitrate",
                                           "a CAN FD data phase", error);
        if (!bitrate) {
            return std::nullopt;
        }
        options.settings.data_bitrate = *bitrate;
        options.settings.fd = true;
    }
    options.settings.loopback = arguments.has("loopback");
    options.settings.listen_only = arguments.has("listen-only");
    if (const std::string* text = arguments.value("rx-latency")) {
        const auto budget =
            parse_unsigned(*text, 0, MAX_RX_LATENCY_US, "the receive latency", error);
        if (!budget) {
            return std::nullopt;
        }
        options.rx_latency_us = static_cast<std::uint32_t>(*budget);
    }
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

bool Adapter::open(const AdapterOptions& options) {
    if (handle_ == nullptr) {
        return check(OVEL_CANFD_NO_DEVICE);
    }
    if (!check(options.serial
                   ? ovel_canfd_open_with_device_serial_number(handle_, options.serial->c_str())
                   : ovel_canfd_open(handle_))) {
        return false;
    }
    return options.rx_latency_us == 0 ||
           check(ovel_canfd_set_rx_latency(handle_, options.rx_latency_us));
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
    // The plain setters' fixed search puts the sample point far from CiA's recommendation
    // (60 % at 500 kbit/s): the sample-point setters find the timing within the adapter's
    // limits.
    if (!check(ovel_canfd_set_bitrate_sample_point(handle_, channel, settings.bitrate,
                                                   settings.sample_point))) {
        return false;
    }
    if (settings.fd) {
        if (!check(ovel_canfd_set_fd(handle_, channel, true)) ||
            !check(ovel_canfd_set_data_bitrate_sample_point(
                handle_, channel, settings.data_bitrate.value_or(DEFAULT_DATA_BITRATE),
                settings.data_sample_point))) {
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

Adapter::SendOutcome Adapter::send(const ovel_canfd_frame& frame, std::uint32_t& send_id,
                                   std::string& failure) {
    const auto step_ms = static_cast<std::uint32_t>(STOP_POLL_PERIOD.count());
    for (;;) {
        const std::int32_t result = ovel_canfd_send(handle_, &frame, step_ms, &send_id);
        if (result == OVEL_CANFD_OK) {
            return SendOutcome::Sent;
        }
        // A queued send times out only while its window stays full: keep waiting for room.
        if (result != OVEL_CANFD_ERR_TIMEOUT) {
            failure = ovel_canfd_get_last_error(handle_);
            return SendOutcome::Failed;
        }
        if (stop_requested()) {
            return SendOutcome::Interrupted;
        }
    }
}

bool Adapter::send_within(const ovel_canfd_frame& frame, std::uint32_t timeout_ms,
                          std::string& failure) {
    if (ovel_canfd_send(handle_, &frame, timeout_ms, nullptr) == OVEL_CANFD_OK) {
        return true;
    }
    failure = ovel_canfd_get_last_error(handle_);
    return false;
}

bool Adapter::flush(std::uint32_t timeout_ms) {
    return handle_ != nullptr &&
           ovel_canfd_flush(handle_, OVEL_CANFD_ALL_CHANNELS, timeout_ms) == OVEL_CANFD_OK;
}

std::vector<ovel_canfd_failed_send> Adapter::take_failed_sends() {
    std::vector<ovel_canfd_failed_send> failed;
    if (handle_ == nullptr) {
        return failed;
    }
    for (;;) {
        ovel_canfd_failed_send batch[64];
        std::uint32_t count = 0;
        if (ovel_canfd_get_failed_sends(handle_, batch, 64, &count) != OVEL_CANFD_OK ||
            count == 0) {
            return failed;
        }
        failed.insert(failed.end(), batch, batch + count);
    }
}

std::uint32_t flush_bound_ms(const ChannelSettings& settings) {
    constexpr std::uint64_t MOST_BITS = 700, WINDOW = 10;
    const std::uint64_t bus_ms = (WINDOW * MOST_BITS * 1000 + settings.bitrate - 1) /
                                 std::max<std::uint32_t>(settings.bitrate, 1);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(1000 + bus_ms, 600'000));
}

const char* failed_send_reason(std::uint8_t reason) {
    switch (reason) {
        case OVEL_CANFD_SEND_FAILED_TRANSFER:
            return "the USB transfer failed";
        case OVEL_CANFD_SEND_FAILED_TIMEOUT:
            return "not taken by the adapter within 1 s (no other node acknowledges?)";
        case OVEL_CANFD_SEND_FAILED_STOPPED:
            return "still not on the bus when the channel was stopped (no other node "
                   "acknowledges?)";
        case OVEL_CANFD_SEND_FAILED_UNPLUGGED:
            return "the adapter went away";
        case OVEL_CANFD_SEND_FAILED_CLOSED:
            return "the adapter was closed first";
        default:
            return "unknown reason";
    }
}

void report_failed_sends(const std::vector<ovel_canfd_failed_send>& failed) {
    std::vector<std::pair<std::uint8_t, std::uint64_t>> by_reason;
    for (const ovel_canfd_failed_send& send : failed) {
        auto found = std::find_if(by_reason.begin(), by_reason.end(),
                                  [&](const auto& entry) { return entry.first == send.reason; });
        if (found == by_reason.end()) {
            by_reason.emplace_back(send.reason, 1);
        } else {
            ++found->second;
        }
    }
    for (const auto& [reason, count] : by_reason) {
        std::fprintf(stderr, "%s: %llu frame%s not sent: %s\n", program_name(),
                     static_cast<unsigned long long>(count), count == 1 ? "" : "s",
                     failed_send_reason(reason));
    }
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
