// The socketcand server over one open adapter: the listening socket, the clients' sessions, the
// frames the library hands over and the discovery beacon, all on one thread. The library's
// receive handler only appends to the inbox and wakes that thread, so no socket ever slows the
// adapter.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "adapter.h"
#include "platform/net_socket.h"
#include "session.h"

namespace ovel::tool::serve {

struct ServerOptions {
    std::string listen_address = "127.0.0.1";
    std::uint16_t port = 29536;
    std::vector<std::uint32_t> allowed;  // client addresses let in; empty: any
    std::size_t queue_frames = 4096;     // per client
    Clock::duration handshake_timeout = std::chrono::seconds(10);
    std::optional<std::string> beacon_address;  // destination of the beacon, if any
    std::uint16_t beacon_port = 42000;
    std::vector<std::uint8_t> channels;
};

// Filled by the library's thread, emptied by the server's.
class FrameInbox {
  public:
    static constexpr std::size_t LIMIT = 65536;
    struct Received {
        ovel_canfd_frame frame;
        std::int64_t time_ns;
    };

    static void on_frame(const ovel_canfd_frame* frame, const ovel_canfd_rx_info* info,
                         void* user);
    // Takes what arrived; `dropped` gets the count of frames lost to a full inbox so far.
    void take(std::vector<Received>& into, std::uint64_t& dropped);
    platform::Waker& waker() { return waker_; }

  private:
    std::mutex mutex_;
    std::vector<Received> frames_;
    std::uint64_t dropped_ = 0;
    platform::Waker waker_;
};

class Server final : public SessionHost {
  public:
    Server(Adapter& adapter, FrameInbox& inbox, ServerOptions options, std::string description);
    ~Server() override;

    // Opens the listening socket (and the beacon's); false after printing why.
    bool start();
    // Serves until a stop request or the end of reception; returns whether reception ended.
    bool run();
    // Lets the remaining clients go and prints the server's counters on stderr.
    void report();

    bool channel_served(std::uint8_t channel) override;
    bool transmit(const ovel_canfd_frame& frame, const Session& from,
                  std::string& failure) override;
    std::string statistics_message(std::uint8_t channel) override;

  private:
    struct Client {
        platform::Socket socket;
        Session session;
        bool closing = false;
        Clock::time_point close_by{};
    };
    struct PendingEcho {
        std::uint64_t session;
        ovel_canfd_frame frame;
    };
    struct ChannelCounters {
        std::uint64_t rx_frames = 0, rx_bytes = 0, tx_frames = 0, tx_bytes = 0;
    };

    void accept_clients(Clock::time_point now);
    void read_client(Client& client, Clock::time_point now);
    void write_client(Client& client, Clock::time_point now);
    void dispatch();
    std::optional<std::uint64_t> echo_sender(const ovel_canfd_frame& frame);
    void close_later(Client& client, Clock::time_point now);
    void drop(std::uint64_t id, const char* why);
    void send_beacon();

    Adapter& adapter_;
    FrameInbox& inbox_;
    ServerOptions options_;
    std::string description_;
    platform::Socket listener_;
    std::optional<platform::Socket> beacon_socket_;
    std::uint16_t port_ = 0;
    std::map<std::uint64_t, std::unique_ptr<Client>> clients_;
    std::uint64_t next_id_ = 1;
    std::deque<PendingEcho> pending_echoes_;
    std::map<std::uint8_t, ChannelCounters> channel_counters_;
    std::vector<FrameInbox::Received> batch_;

    // Totals for the report.
    std::uint64_t received_ = 0;
    std::uint64_t inbox_dropped_ = 0;
    std::uint64_t remote_not_forwarded_ = 0;
    std::uint64_t connections_ = 0;
    std::uint64_t refused_connections_ = 0;
    std::uint64_t client_drops_ = 0;  // frames dropped by full client queues, departed clients included
};

}  // namespace ovel::tool::serve
