// Sockets for the network server: every socket and poll call of the project is behind this small
// interface (TCP listen/accept, non-blocking read and write, a wait over several sockets that a
// wake-up from another thread ends, UDP datagrams). IPv4 only. Nothing here throws; failures come
// back as values with the system's text.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ovel::platform {

// One owned socket; closed by its destructor.
class Socket {
  public:
    Socket() = default;
    explicit Socket(std::intptr_t handle) : handle_(handle) {}
    ~Socket();
    Socket(Socket&& other) noexcept : handle_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool valid() const { return handle_ != INVALID; }
    std::intptr_t handle() const { return handle_; }
    std::intptr_t release() {
        const std::intptr_t handle = handle_;
        handle_ = INVALID;
        return handle;
    }

    static constexpr std::intptr_t INVALID = -1;

  private:
    std::intptr_t handle_ = INVALID;
};

// Readies the socket layer once per process (Winsock's start-up; nothing on POSIX).
bool net_start(std::string& error);

// "192.168.1.5" to its four bytes; false if it is not a dotted IPv4 address.
bool parse_ipv4(const std::string& text, std::uint32_t& address_host_order);

// A non-blocking TCP socket listening on ADDRESS:PORT (port 0: the system picks one).
std::optional<Socket> listen_tcp(const std::string& address, std::uint16_t port, std::string& error);
// The port a bound socket got.
std::uint16_t local_port(const Socket& socket);

// The send buffer of an accepted connection, in bytes.
inline constexpr int ACCEPTED_SEND_BUFFER = 64 * 1024;

struct Accepted {
    Socket socket;     // non-blocking, with TCP_NODELAY and a send buffer of ACCEPTED_SEND_BUFFER
    std::string peer;  // the client's address, dotted
};
// A waiting connection, if any; nullopt when there is none (or accept failed: `error` set).
std::optional<Accepted> accept_client(const Socket& listener, std::string& error);

enum class IoStatus { Done, WouldBlock, Closed, Failed };
struct IoResult {
    IoStatus status;
    std::size_t bytes;  // with Done
};
// One non-blocking read; Closed when the peer has closed or reset the connection.
IoResult read_some(const Socket& socket, char* buffer, std::size_t size);
// One non-blocking write, never raising SIGPIPE; Closed when the peer is gone.
IoResult write_some(const Socket& socket, const char* data, std::size_t size);

struct PollEntry {
    const Socket* socket;
    bool want_read;
    bool want_write;
    // Results:
    bool readable = false;  // also set on hang-up or error, so that the read sees it
    bool writable = false;
};
struct PollSet {
    std::vector<PollEntry> entries;
};
// Ends a wait() from another thread. wake() is cheap and may be called at any rate.
class Waker {
  public:
    Waker();
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    bool valid() const { return read_end_ != Socket::INVALID; }
    void wake();

  private:
    friend bool wait(PollSet& set, Waker& waker, std::chrono::milliseconds timeout);
    void drain();

    std::intptr_t read_end_ = Socket::INVALID;
    std::intptr_t write_end_ = Socket::INVALID;
};

// Waits until one of the entries is ready, the waker is woken or `timeout` passes; false if the
// wait itself failed.
bool wait(PollSet& set, Waker& waker, std::chrono::milliseconds timeout);

// A UDP socket allowed to send to broadcast addresses.
std::optional<Socket> open_udp(std::string& error);
bool send_udp(const Socket& socket, const std::string& address, std::uint16_t port,
              std::string_view datagram, std::string& error);

// This machine's host name ("localhost" if it has none).
std::string host_name();

}  // namespace ovel::platform
