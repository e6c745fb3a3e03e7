#include "server.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "frame_syntax.h"
#include "stats_report.h"
#include "stop_signal.h"

namespace ovel::tool::serve {
namespace {

// More clients than a test bench plausibly runs is a sign of a leak or an attack.
constexpr std::size_t MAX_CLIENTS = 64;
// A client being dropped gets this long to read its last answer.
constexpr auto CLOSE_GRACE = std::chrono::seconds(1);
constexpr auto BEACON_PERIOD = std::chrono::seconds(3);
constexpr auto RECEPTION_CHECK_PERIOD = std::chrono::milliseconds(500);
// Outstanding transmissions remembered to find the sender of an echo.
constexpr std::size_t PENDING_ECHO_LIMIT = 1024;
// How long a client's frame may wait for room in its channel's window. The server's one thread
// waits meanwhile, as long as a transmit the adapter does not take would keep it.
constexpr std::uint32_t SEND_ROOM_WAIT_MS = 1000;
constexpr std::size_t READ_CHUNK = 4096;

std::int64_t receive_time_ns(const ovel_canfd_rx_info& info) {
    return (info.flags & OVEL_CANFD_RX_HW_TIMESTAMP) != 0 ? info.hw_time_ns : info.host_time_ns;
}

bool same_frame(const ovel_canfd_frame& a, const ovel_canfd_frame& b) {
    return a.channel == b.channel && a.id == b.id && a.extended == b.extended && a.fd == b.fd &&
           a.dlc == b.dlc && std::memcmp(a.data, b.data, payload_length(a)) == 0;
}

std::string channel_list(const std::vector<std::uint8_t>& channels) {
    std::string text;
    for (const std::uint8_t channel : channels) {
        text += (text.empty() ? "can" : " can") + std::to_string(channel);
    }
    return text;
}

}  // namespace

void FrameInbox::on_frame(const ovel_canfd_frame* frame, const ovel_canfd_rx_info* info,
                          void* user) {
    auto& inbox = *static_cast<FrameInbox*>(user);
    bool was_empty = false;
    {
        std::lock_guard lock(inbox.mutex_);
        if (inbox.frames_.size() >= LIMIT) {
            ++inbox.dropped_;
            return;
        }
        was_empty = inbox.frames_.empty();
        inbox.frames_.push_back({*frame, receive_time_ns(*info)});
    }
    // One wake-up per batch: the server takes everything queued when it wakes.
    if (was_empty) {
        inbox.waker_.wake();
    }
}

void FrameInbox::take(std::vector<Received>& into, std::uint64_t& dropped) {
    into.clear();
    std::lock_guard lock(mutex_);
    into.swap(frames_);
    dropped = dropped_;
}

Server::Server(Adapter& adapter, FrameInbox& inbox, ServerOptions options, std::string description)
    : adapter_(adapter), inbox_(inbox), options_(std::move(options)),
      description_(std::move(description)) {}

Server::~Server() = default;

bool Server::start() {
    std::string error;
    if (!inbox_.waker().valid() || !platform::net_start(error)) {
        std::fprintf(stderr, "%s serve: cannot set up sockets: %s\n", program_name(),
                     error.c_str());
        return false;
    }
    auto listener = platform::listen_tcp(options_.listen_address, options_.port, error);
    if (!listener) {
        std::fprintf(stderr, "%s serve: cannot listen on %s:%u: %s\n", program_name(),
                     options_.listen_address.c_str(), options_.port, error.c_str());
        return false;
    }
    listener_ = std::move(*listener);
    port_ = platform::local_port(listener_);
    if (options_.beacon_address) {
        beacon_socket_ = platform::open_udp(error);
        if (!beacon_socket_) {
            std::fprintf(stderr, "%s serve: cannot open the beacon's socket: %s\n",
                         program_name(), error.c_str());
            return false;
        }
    }
    std::fprintf(stderr, "%s serve: serving %s on %s:%u\n", program_name(),
                 channel_list(options_.channels).c_str(), options_.listen_address.c_str(), port_);
    return true;
}

bool Server::run() {
    Clock::time_point next_beacon = Clock::now();
    Clock::time_point next_reception_check = Clock::now() + RECEPTION_CHECK_PERIOD;
    platform::PollSet set;
    std::vector<std::uint64_t> order;
    while (!stop_requested()) {
        Clock::time_point now = Clock::now();
        if (now >= next_reception_check) {
            if (reception_ended(adapter_)) {
                return true;
            }
            next_reception_check = now + RECEPTION_CHECK_PERIOD;
        }
        set.entries.clear();
        order.clear();
        set.entries.push_back({&listener_, true, false});
        auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(STOP_POLL_PERIOD);
        for (auto& [id, client] : clients_) {
            const bool read = !client->closing && client->session.reading_allowed();
            const bool write = !client->session.writable(now).empty();
            set.entries.push_back({&client->socket, read, write});
            order.push_back(id);
            const Clock::time_point hold = client->session.hold_until();
            if (hold > now && !client->session.output_empty()) {
                timeout = std::min(timeout, std::chrono::ceil<std::chrono::milliseconds>(hold - now));
            }
        }
        if (!platform::wait(set, inbox_.waker(), timeout)) {
            std::fprintf(stderr, "%s serve: waiting for sockets failed\n", program_name());
            return false;
        }
        now = Clock::now();
        if (set.entries[0].readable) {
            accept_clients(now);
        }
        for (std::size_t i = 0; i < order.size(); ++i) {
            const auto found = clients_.find(order[i]);
            if (found != clients_.end() && set.entries[i + 1].readable) {
                read_client(*found->second, now);
            }
        }
        dispatch();
        std::vector<std::uint64_t> gone;
        for (auto& [id, client] : clients_) {
            Session& session = client->session;
            if (!client->closing && session.handshake_overdue(now, options_.handshake_timeout)) {
                session.queue_answer("< error timeout: no open command >");
                close_later(*client, now);
            }
            session.tick(*this, now);
            write_client(*client, now);
            if (!client->socket.valid() ||
                (client->closing && (session.output_empty() || now >= client->close_by))) {
                gone.push_back(id);
            }
        }
        for (const std::uint64_t id : gone) {
            drop(id, nullptr);
        }
        if (beacon_socket_ && now >= next_beacon) {
            send_beacon();
            next_beacon = now + BEACON_PERIOD;
        }
    }
    return false;
}

void Server::accept_clients(Clock::time_point now) {
    for (;;) {
        std::string error;
        auto accepted = platform::accept_client(listener_, error);
        if (!accepted) {
            if (!error.empty()) {
                std::fprintf(stderr, "%s serve: accept failed: %s\n", program_name(),
                             error.c_str());
            }
            return;
        }
        std::uint32_t address = 0;
        platform::parse_ipv4(accepted->peer, address);
        if (!options_.allowed.empty() &&
            std::find(options_.allowed.begin(), options_.allowed.end(), address) ==
                options_.allowed.end()) {
            ++refused_connections_;
            std::fprintf(stderr, "%s serve: refused %s: not in --allow\n", program_name(),
                         accepted->peer.c_str());
            continue;  // closing the socket is the answer
        }
        if (clients_.size() >= MAX_CLIENTS) {
            ++refused_connections_;
            const char busy[] = "< error too many clients >";
            platform::write_some(accepted->socket, busy, sizeof busy - 1);
            std::fprintf(stderr, "%s serve: refused %s: %zu clients already\n", program_name(),
                         accepted->peer.c_str(), clients_.size());
            continue;
        }
        ++connections_;
        const std::uint64_t id = next_id_++;
        auto client = std::make_unique<Client>(
            Client{std::move(accepted->socket),
                   Session(id, accepted->peer, options_.queue_frames, now), false, {}});
        client->session.greet();
        std::fprintf(stderr, "%s serve: client %" PRIu64 " connected from %s\n", program_name(),
                     id, accepted->peer.c_str());
        clients_.emplace(id, std::move(client));
    }
}

void Server::read_client(Client& client, Clock::time_point now) {
    char buffer[READ_CHUNK];
    const platform::IoResult result = platform::read_some(client.socket, buffer, sizeof buffer);
    switch (result.status) {
        case platform::IoStatus::WouldBlock:
            return;
        case platform::IoStatus::Closed:
        case platform::IoStatus::Failed:
            // Gone, perhaps in the middle of a command: what it sent of that is dropped with it.
            client.socket = platform::Socket();
            return;
        case platform::IoStatus::Done:
            break;
    }
    if (!client.session.receive(std::string_view(buffer, result.bytes), *this, now)) {
        close_later(client, now);
    }
}

void Server::write_client(Client& client, Clock::time_point now) {
    while (client.socket.valid()) {
        const std::string_view pending = client.session.writable(now);
        if (pending.empty()) {
            return;
        }
        const platform::IoResult result =
            platform::write_some(client.socket, pending.data(), pending.size());
        if (result.status == platform::IoStatus::WouldBlock) {
            return;
        }
        if (result.status != platform::IoStatus::Done) {
            client.socket = platform::Socket();
            return;
        }
        client.session.wrote(result.bytes);
    }
}

void Server::dispatch() {
    std::uint64_t dropped = 0;
    inbox_.take(batch_, dropped);
    inbox_dropped_ = dropped;
    for (const FrameInbox::Received& received : batch_) {
        const ovel_canfd_frame& frame = received.frame;
        ++received_;
        std::optional<std::uint64_t> sender;
        if (frame.echo) {
            sender = echo_sender(frame);
        } else {
            ChannelCounters& counters = channel_counters_[frame.channel];
            ++counters.rx_frames;
            counters.rx_bytes += payload_length(frame);
        }
        if (frame_kind(frame) == FrameKind::Remote) {
            ++remote_not_forwarded_;
            continue;
        }
        std::string message;
        for (auto& [id, client] : clients_) {
            // As a SocketCAN raw socket, a client does not hear its own frames.
            if (client->closing || id == sender || !client->session.wants(frame)) {
                continue;
            }
            if (message.empty()) {
                message = format_frame_message(frame, received.time_ns);
            }
            const std::uint64_t before = client->session.counters().frames_dropped;
            client->session.offer(message);
            client_drops_ += client->session.counters().frames_dropped - before;
        }
    }
}

std::optional<std::uint64_t> Server::echo_sender(const ovel_canfd_frame& frame) {
    for (auto entry = pending_echoes_.begin(); entry != pending_echoes_.end(); ++entry) {
        if (same_frame(entry->frame, frame)) {
            const std::uint64_t session = entry->session;
            pending_echoes_.erase(entry);
            return session;
        }
    }
    return std::nullopt;
}

bool Server::channel_served(std::uint8_t channel) {
    return std::find(options_.channels.begin(), options_.channels.end(), channel) !=
           options_.channels.end();
}

bool Server::transmit(const ovel_canfd_frame& frame, const Session& from, std::string& failure) {
    // Remembered before sending: the echo may come back before transmit returns.
    pending_echoes_.push_back({from.id(), frame});
    if (pending_echoes_.size() > PENDING_ECHO_LIMIT) {
        pending_echoes_.pop_front();
    }
    // Queued: clients together may keep the bus busy, where a transmit each would go out at
    // one frame per USB frame.
    if (!adapter_.send_within(frame, SEND_ROOM_WAIT_MS, failure)) {
        if (!pending_echoes_.empty() && pending_echoes_.back().session == from.id()) {
            pending_echoes_.pop_back();
        }
        return false;
    }
    ChannelCounters& counters = channel_counters_[frame.channel];
    ++counters.tx_frames;
    counters.tx_bytes += payload_length(frame);
    return true;
}

std::string Server::statistics_message(std::uint8_t channel) {
    const ChannelCounters& c = channel_counters_[channel];
    return "< stat " + std::to_string(c.rx_bytes) + " " + std::to_string(c.rx_frames) + " " +
           std::to_string(c.tx_bytes) + " " + std::to_string(c.tx_frames) + " >";
}

void Server::close_later(Client& client, Clock::time_point now) {
    client.closing = true;
    client.close_by = now + CLOSE_GRACE;
}

void Server::drop(std::uint64_t id, const char* why) {
    const auto found = clients_.find(id);
    if (found == clients_.end()) {
        return;
    }
    const Session& session = found->second->session;
    const SessionCounters& c = session.counters();
    std::fprintf(stderr,
                 "%s serve: client %" PRIu64 " (%s) left%s%s: %" PRIu64 " frames queued, %" PRIu64
                 " dropped (queue full), %" PRIu64 " sent, %" PRIu64 " commands refused\n",
                 program_name(), id, session.peer().c_str(), why != nullptr ? ": " : "",
                 why != nullptr ? why : "", c.frames_queued, c.frames_dropped, c.frames_sent,
                 c.commands_refused);
    clients_.erase(found);
}

void Server::send_beacon() {
    const std::string host = options_.listen_address == "0.0.0.0" ? platform::host_name()
                                                                  : options_.listen_address;
    std::string beacon = "<CANBeacon name=\"" + platform::host_name() +
                         "\" type=\"adapter\" description=\"" + description_ + "\">\n<URL>can://" +
                         host + ":" + std::to_string(port_) + "</URL>";
    for (const std::uint8_t channel : options_.channels) {
        beacon += "<Bus name=\"can" + std::to_string(channel) + "\"/>";
    }
    beacon += "</CANBeacon>";
    std::string error;
    if (!platform::send_udp(*beacon_socket_, *options_.beacon_address, options_.beacon_port,
                            beacon, error)) {
        std::fprintf(stderr, "%s serve: beacon not sent: %s\n", program_name(), error.c_str());
    }
}

void Server::report() {
    while (!clients_.empty()) {
        drop(clients_.begin()->first, "server stopping");
    }
    std::fprintf(stderr,
                 "%s serve: %" PRIu64 " frames received, %" PRIu64
                 " lost to a full server inbox, %" PRIu64 " remote frames not forwarded; %" PRIu64
                 " clients served, %" PRIu64 " connections refused; frames dropped for slow "
                 "clients: %" PRIu64 "\n",
                 program_name(), received_, inbox_dropped_, remote_not_forwarded_, connections_,
                 refused_connections_, client_drops_);
}

}  // namespace ovel::tool::serve
