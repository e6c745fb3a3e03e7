// The C control API over the C++ one, the adapters plugged in when the library loads, and the
// bus shared with other processes when OVSIM_BUS names a directory.
#include "ovsim/ovsim_c.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "ovsim/sim.h"
#include "platform/process_id.h"
#include "platform/shared_bus.h"

#define OVSIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Never destroyed: the shared bus's receiver thread may use them until the library unloads,
// after the process's static objects are gone.
std::mutex& adapters_mutex() {
    static std::mutex* const instance = new std::mutex;
    return *instance;
}

std::vector<ovsim::Adapter*>& adapters() {
    static std::vector<ovsim::Adapter*>* const instance = new std::vector<ovsim::Adapter*>;
    return *instance;
}

ovel::platform::SharedBus* shared_bus = nullptr;

ovsim::Adapter* adapter_at(int32_t index) {
    std::lock_guard lock(adapters_mutex());
    if (index < 0 || static_cast<std::size_t>(index) >= adapters().size()) {
        return nullptr;
    }
    return adapters()[static_cast<std::size_t>(index)];
}

int32_t add(const ovsim::AdapterSpec& config) {
    ovsim::Adapter& adapter = ovsim::add_adapter(config);
    std::lock_guard lock(adapters_mutex());
    adapters().push_back(&adapter);
    return static_cast<int32_t>(adapters().size() - 1);
}

// What travels on the shared bus: the host frame's bytes, then who sent it and how its channel
// is configured, so that receivers can tell frames they cannot understand.
constexpr std::size_t CHANNEL_OFFSET = 9;
constexpr std::size_t FLAGS_OFFSET = 10;
constexpr std::size_t MIN_HOST_FRAME = 12;
constexpr std::size_t MAX_HOST_FRAME = 80;
struct Trailer {
    std::uint32_t nominal_bitrate;
    std::uint32_t data_bitrate;
    std::uint32_t mode_flags;
    std::int64_t sender_pid;
    std::uintptr_t sender_adapter;  // compared within its own process only
};

std::vector<std::uint8_t> bus_datagram(const std::vector<std::uint8_t>& frame,
                                       const ovsim::BusSender& sender) {
    const Trailer trailer{sender.channel.nominal_bitrate, sender.channel.data_bitrate,
                          sender.channel.mode_flags, ovel::platform::process_id(),
                          reinterpret_cast<std::uintptr_t>(sender.adapter)};
    std::vector<std::uint8_t> datagram(frame);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&trailer);
    datagram.insert(datagram.end(), bytes, bytes + sizeof trailer);
    return datagram;
}

// A frame on the bus reaches every other adapter of this process, and every adapter of the other
// processes, whose channel of that index is started and configured to understand it, as a
// received frame.
void deliver_from_bus(std::vector<std::uint8_t> datagram) {
    if (datagram.size() < MIN_HOST_FRAME + sizeof(Trailer) ||
        datagram.size() > MAX_HOST_FRAME + sizeof(Trailer)) {
        return;
    }
    Trailer trailer;
    std::memcpy(&trailer, datagram.data() + datagram.size() - sizeof trailer, sizeof trailer);
    datagram.resize(datagram.size() - sizeof trailer);
    const ovsim::ChannelBus sender{trailer.nominal_bitrate, trailer.data_bitrate, trailer.mode_flags};
    const bool own_process = trailer.sender_pid == ovel::platform::process_id();
    std::fill_n(datagram.begin(), 4, std::uint8_t{0xFF});  // echo id: received, not an echo
    const std::uint8_t channel = datagram[CHANNEL_OFFSET];
    const std::uint8_t flags = datagram[FLAGS_OFFSET];
    std::lock_guard lock(adapters_mutex());
    for (ovsim::Adapter* adapter : adapters()) {
        if (own_process && reinterpret_cast<std::uintptr_t>(adapter) == trailer.sender_adapter) {
            continue;  // its own frame came back as the echo already
        }
        if (adapter->channel_started(channel) && adapter->channel_bus(channel).hears(sender, flags)) {
            adapter->feed(datagram);
        }
    }
}

void join_shared_bus() {
    const char* directory = std::getenv("OVSIM_BUS");
    if (directory == nullptr || *directory == '\0') {
        return;
    }
    shared_bus = ovel::platform::SharedBus::join(directory, deliver_from_bus).release();
    if (shared_bus != nullptr) {
        ovsim::set_bus_observer(
            [](const std::vector<std::uint8_t>& frame, const ovsim::BusSender& sender) {
                shared_bus->publish(bus_datagram(frame, sender));
            });
    }
}

__attribute__((destructor)) void leave_shared_bus() {
    if (shared_bus != nullptr) {
        ovsim::set_bus_observer({});  // waits for an observer call in progress (simulator lock)
        shared_bus->leave();
        delete shared_bus;
        shared_bus = nullptr;
    }
}

ovsim::AdapterSpec spec_for(const char* serial, std::uint8_t icount, std::uint32_t features,
                            std::uint32_t fclk_can) {
    ovsim::AdapterSpec config;
    if (serial == nullptr) {
        config.serial.reset();
    } else {
        config.serial = serial;
    }
    config.icount = icount;
    config.features = features;
    config.fclk_can = fclk_can;
    return config;
}

// OVSIM_TIMING=immediate|hs|fs; a value it does not know is reported and ignored.
ovsim::LinkTiming timing_from_environment() {
    const char* named = std::getenv("OVSIM_TIMING");
    if (named == nullptr || *named == '\0') {
        return ovsim::LinkTiming::Immediate;
    }
    const std::string text = named;
    if (text == "hs") {
        return ovsim::LinkTiming::HighSpeed;
    }
    if (text == "fs") {
        return ovsim::LinkTiming::FullSpeed;
    }
    if (text != "immediate") {
        std::fprintf(stderr, "ovsim: OVSIM_TIMING=%s is not immediate, hs or fs; using immediate\n",
                     named);
    }
    return ovsim::LinkTiming::Immediate;
}

bool all_digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// OVSIM_ADAPTERS=SERIAL[:CHANNELS[:FD]],...; nullopt (after saying why) for a list it cannot use.
std::optional<std::vector<ovsim::AdapterSpec>> adapters_from_environment(ovsim::LinkTiming timing) {
    const char* listed = std::getenv("OVSIM_ADAPTERS");
    const std::string list = listed != nullptr ? listed : "OVSIM0001:2:1";
    std::vector<ovsim::AdapterSpec> configs;
    if (list.empty()) {
        return configs;  // set and empty: no adapter
    }
    std::stringstream entries(list);
    std::string entry;
    const auto refuse = [&](const std::string& why) {
        std::fprintf(stderr,
                     "ovsim: OVSIM_ADAPTERS=%s: \"%s\" %s (expected SERIAL[:CHANNELS[:FD]],... "
                     "with CHANNELS 1 to 256 and FD 0 or 1); no adapter plugged in\n",
                     list.c_str(), entry.c_str(), why.c_str());
        return std::nullopt;
    };
    while (std::getline(entries, entry, ',')) {
        std::vector<std::string> fields;
        std::stringstream parts(entry);
        for (std::string field; std::getline(parts, field, ':');) {
            fields.push_back(field);
        }
        if (fields.empty() || fields[0].empty()) {
            return refuse("has no serial number");
        }
        if (fields.size() > 3) {
            return refuse("has more than three fields");
        }
        const std::string channels = fields.size() > 1 ? fields[1] : "2";
        const std::string fd = fields.size() > 2 ? fields[2] : "1";
        const long count = all_digits(channels) && channels.size() <= 3
                               ? std::strtol(channels.c_str(), nullptr, 10)
                               : 0;
        if (count < 1 || count > 256) {
            return refuse("has a channel count that is not 1 to 256");
        }
        if (fd != "0" && fd != "1") {
            return refuse("has an FD field that is not 0 or 1");
        }
        ovsim::AdapterSpec config = spec_for(fields[0].c_str(), static_cast<std::uint8_t>(count - 1),
                                             fd == "0" ? 0x3u : 0x103u, 80'000'000);
        config.link_timing = timing;
        configs.push_back(config);
    }
    if (configs.empty() || list.back() == ',') {
        entry = list;
        return refuse("lists an empty entry");
    }
    return configs;
}

// OVSIM_TRAFFIC=RATE[:fd] with RATE frames per second (0: unpaced); nullopt when unset or unusable
// (then after saying why).
std::optional<ovsim::StreamSpec> traffic_from_environment() {
    const char* traffic = std::getenv("OVSIM_TRAFFIC");
    if (traffic == nullptr) {
        return std::nullopt;
    }
    std::string text = traffic;
    ovsim::StreamSpec stream;
    if (text.ends_with(":fd")) {
        stream.fd = true;
        text.resize(text.size() - 3);
    }
    char* end = nullptr;
    stream.rate_hz = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(stream.rate_hz) ||
        stream.rate_hz < 0) {
        std::fprintf(stderr,
                     "ovsim: OVSIM_TRAFFIC=%s is not RATE[:fd] with RATE frames per second (0: as "
                     "fast as possible); no generated traffic\n",
                     traffic);
        return std::nullopt;
    }
    return stream;
}

// OVSIM_BUS_TIMING=1 / OVSIM_ACKNOWLEDGED=0; anything else than 0 or 1 is reported and ignored.
std::optional<bool> switch_from_environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    if (std::strcmp(value, "0") != 0 && std::strcmp(value, "1") != 0) {
        std::fprintf(stderr, "ovsim: %s=%s is not 0 or 1; ignored\n", name, value);
        return std::nullopt;
    }
    return *value == '1';
}

// OVSIM_ADAPTERS, OVSIM_TIMING, OVSIM_BUS_TIMING, OVSIM_ACKNOWLEDGED, OVSIM_TRAFFIC and
// OVSIM_BUS.
__attribute__((constructor)) void plug_in_from_environment() {
    const ovsim::LinkTiming timing = timing_from_environment();
    const auto configs = adapters_from_environment(timing);
    const std::optional<bool> bus_timing = switch_from_environment("OVSIM_BUS_TIMING");
    const std::optional<bool> acknowledged = switch_from_environment("OVSIM_ACKNOWLEDGED");
    if (configs) {
        for (const ovsim::AdapterSpec& config : *configs) {
            ovsim::Adapter* adapter = adapter_at(add(config));
            adapter->set_bus_timing(bus_timing.value_or(false));
            adapter->set_acknowledged(acknowledged.value_or(true));
        }
    }
    if (auto stream = traffic_from_environment(); stream && configs && !configs->empty()) {
        // On every channel of the first adapter; the adapter hands over those of started ones.
        stream->channels.clear();
        for (int c = 0; c <= configs->front().icount; ++c) {
            stream->channels.push_back(static_cast<std::uint8_t>(c));
        }
        adapters()[0]->start_stream(*stream);
    }
    join_shared_bus();
}

}  // namespace

OVSIM_EXPORT int32_t ovsim_reset(void) {
    if (ovsim::counters().contexts != 0) {
        return -1;
    }
    // Held across the reset: the shared bus's receiver must not feed an adapter being removed.
    std::lock_guard lock(adapters_mutex());
    ovsim::reset();
    adapters().clear();
    return 0;
}

OVSIM_EXPORT int32_t ovsim_add_adapter(const char* serial, uint8_t icount, uint32_t features,
                                       uint32_t fclk_can) {
    return add(spec_for(serial, icount, features, fclk_can));
}

OVSIM_EXPORT int32_t ovsim_adapter_count(void) {
    std::lock_guard lock(adapters_mutex());
    return static_cast<int32_t>(adapters().size());
}

OVSIM_EXPORT int32_t ovsim_feed_frame(int32_t adapter, uint8_t channel, uint32_t echo_id,
                                      uint32_t can_id, uint8_t dlc, uint8_t flags,
                                      const uint8_t* data, uint32_t data_length,
                                      int32_t wire_length) {
    ovsim::Adapter* a = adapter_at(adapter);
    if (a == nullptr || (data == nullptr && data_length != 0)) {
        return -1;
    }
    ovsim::FrameSpec frame;
    frame.echo_id = echo_id;
    frame.can_id = can_id;
    frame.dlc = dlc;
    frame.channel = channel;
    frame.flags = flags;
    frame.data.assign(data, data + (data_length > 64 ? 64 : data_length));
    frame.wire_length = wire_length;
    a->feed_frame(frame);
    return 0;
}

OVSIM_EXPORT int32_t ovsim_out_frame_count(int32_t adapter) {
    ovsim::Adapter* a = adapter_at(adapter);
    return a == nullptr ? -1 : static_cast<int32_t>(a->out_frames().size());
}

OVSIM_EXPORT int32_t ovsim_out_frame(int32_t adapter, int32_t index, uint8_t* buffer,
                                     int32_t capacity) {
    ovsim::Adapter* a = adapter_at(adapter);
    if (a == nullptr || buffer == nullptr || index < 0) {
        return -1;
    }
    const auto frames = a->out_frames();
    if (static_cast<std::size_t>(index) >= frames.size()) {
        return -1;
    }
    const auto& bytes = frames[static_cast<std::size_t>(index)];
    const auto length = std::min<std::size_t>(bytes.size(), static_cast<std::size_t>(capacity));
    std::copy_n(bytes.begin(), length, buffer);
    return static_cast<int32_t>(bytes.size());
}

OVSIM_EXPORT int32_t ovsim_set_out_behaviour(int32_t adapter, int32_t behaviour) {
    ovsim::Adapter* a = adapter_at(adapter);
    if (a == nullptr || behaviour < 0 || behaviour > 3) {
        return -1;
    }
    a->set_out_behaviour(static_cast<ovsim::OutBehaviour>(behaviour));
    return 0;
}

OVSIM_EXPORT int32_t ovsim_start_stream(int32_t adapter, uint64_t count, const uint8_t* channels,
                                        uint32_t channel_count, bool fd, double rate_hz) {
    ovsim::Adapter* a = adapter_at(adapter);
    if (a == nullptr || channels == nullptr || channel_count == 0) {
        return -1;
    }
    ovsim::StreamSpec stream;
    stream.count = count;
    stream.channels.assign(channels, channels + channel_count);
    stream.fd = fd;
    stream.rate_hz = rate_hz;
    a->start_stream(stream);
    return 0;
}

OVSIM_EXPORT int32_t ovsim_stop_stream(int32_t adapter) {
    ovsim::Adapter* a = adapter_at(adapter);
    if (a == nullptr) {
        return -1;
    }
    a->stop_stream();
    return 0;
}

OVSIM_EXPORT uint64_t ovsim_streamed(int32_t adapter) {
    ovsim::Adapter* a = adapter_at(adapter);
    return a == nullptr ? 0 : a->streamed();
}

OVSIM_EXPORT int32_t ovsim_in_transfers_pending(int32_t adapter) {
    ovsim::Adapter* a = adapter_at(adapter);
    return a == nullptr ? -1 : a->in_transfers_pending();
}

OVSIM_EXPORT int32_t ovsim_set_link_timing(int32_t adapter, int32_t timing) {
    ovsim::Adapter* a = adapter_at(adapter);
    if (a == nullptr || timing < 0 || timing > 2) {
        return -1;
    }
    constexpr ovsim::LinkTiming by_value[] = {
        ovsim::LinkTiming::Immediate, ovsim::LinkTiming::HighSpeed, ovsim::LinkTiming::FullSpeed};
    a->set_link_timing(by_value[timing]);
    return 0;
}

OVSIM_EXPORT int32_t ovsim_set_bus_timing(int32_t adapter, int32_t on) {
    ovsim::Adapter* a = adapter_at(adapter);
    if (a == nullptr) {
        return -1;
    }
    a->set_bus_timing(on != 0);
    return 0;
}

OVSIM_EXPORT int32_t ovsim_set_acknowledged(int32_t adapter, int32_t on) {
    ovsim::Adapter* a = adapter_at(adapter);
    if (a == nullptr) {
        return -1;
    }
    a->set_acknowledged(on != 0);
    return 0;
}

OVSIM_EXPORT int32_t ovsim_set_tx_buffer_frames(int32_t adapter, uint32_t frames) {
    ovsim::Adapter* a = adapter_at(adapter);
    if (a == nullptr) {
        return -1;
    }
    a->set_tx_buffer_frames(frames);
    return 0;
}

OVSIM_EXPORT int32_t ovsim_out_waiting_high_water(int32_t adapter) {
    ovsim::Adapter* a = adapter_at(adapter);
    return a == nullptr ? -1 : a->out_transfers_waiting_high_water();
}

OVSIM_EXPORT int32_t ovsim_unplug(int32_t adapter) {
    ovsim::Adapter* a = adapter_at(adapter);
    if (a == nullptr) {
        return -1;
    }
    a->unplug();
    return 0;
}

OVSIM_EXPORT int32_t ovsim_channel_started(int32_t adapter, uint8_t channel) {
    ovsim::Adapter* a = adapter_at(adapter);
    return a == nullptr ? -1 : (a->channel_started(channel) ? 1 : 0);
}

OVSIM_EXPORT void ovsim_set_time_scale(double scale) {
    if (scale > 0) {
        ovsim::set_time_scale(scale);
    }
}

OVSIM_EXPORT int32_t ovsim_live_objects(void) {
    const ovsim::Counters c = ovsim::counters();
    return c.contexts + c.handles + c.claimed_interfaces + c.transfers_allocated;
}

// Halts the adapter's bulk IN endpoint (persists != 0: clearing does not cure it).
OVSIM_EXPORT int32_t ovsim_halt_in(int32_t adapter, int32_t persists) {
    ovsim::Adapter* a = adapter_at(adapter);
    if (a == nullptr) {
        return -1;
    }
    a->halt_in(persists != 0);
    return 0;
}
