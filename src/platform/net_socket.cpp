// The socket calls: POSIX (Linux, macOS) and Winsock (MinGW) behind net_socket.h.
#include "platform/net_socket.h"

#include <cstring>

#ifdef _WIN32
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // WSAPoll, inet_pton and inet_ntop
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace ovel::platform {
namespace {

#ifdef _WIN32
using NativeSocket = SOCKET;
constexpr NativeSocket NATIVE_INVALID = INVALID_SOCKET;
int last_error() {
    return WSAGetLastError();
}
bool would_block(int error) {
    return error == WSAEWOULDBLOCK;
}
bool peer_gone(int error) {
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAESHUTDOWN;
}
std::string error_text(int error) {
    return "socket error " + std::to_string(error);
}
void close_native(NativeSocket socket) {
    closesocket(socket);
}
bool set_non_blocking(NativeSocket socket) {
    u_long on = 1;
    return ioctlsocket(socket, FIONBIO, &on) == 0;
}
#else
using NativeSocket = int;
constexpr NativeSocket NATIVE_INVALID = -1;
int last_error() {
    return errno;
}
bool would_block(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}
bool peer_gone(int error) {
    return error == ECONNRESET || error == EPIPE || error == ENOTCONN;
}
std::string error_text(int error) {
    return std::strerror(error);
}
void close_native(NativeSocket socket) {
    ::close(socket);
}
bool set_non_blocking(NativeSocket socket) {
    const int flags = fcntl(socket, F_GETFL, 0);
    return flags >= 0 && fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0 &&
           fcntl(socket, F_SETFD, FD_CLOEXEC) == 0;
}
#endif

NativeSocket native(const Socket& socket) {
    return static_cast<NativeSocket>(socket.handle());
}
NativeSocket native(std::intptr_t handle) {
    return static_cast<NativeSocket>(handle);
}

sockaddr_in ipv4_address(std::uint32_t address_host_order, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(address_host_order);
    return address;
}

}  // namespace

Socket::~Socket() {
    if (valid()) {
        close_native(native(handle_));
    }
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        if (valid()) {
            close_native(native(handle_));
        }
        handle_ = other.release();
    }
    return *this;
}

bool net_start(std::string& error) {
#ifdef _WIN32
    WSADATA data;
    const int result = WSAStartup(MAKEWORD(2, 2), &data);
    if (result != 0) {
        error = error_text(result);
        return false;
    }
#else
    (void)error;
#endif
    return true;
}

bool parse_ipv4(const std::string& text, std::uint32_t& address_host_order) {
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
        return false;
    }
    address_host_order = ntohl(address.s_addr);
    return true;
}

std::optional<Socket> listen_tcp(const std::string& address, std::uint16_t port,
                                 std::string& error) {
    std::uint32_t host = 0;
    if (!parse_ipv4(address, host)) {
        error = "\"" + address + "\" is not an IPv4 address";
        return std::nullopt;
    }
    Socket socket(static_cast<std::intptr_t>(::socket(AF_INET, SOCK_STREAM, 0)));
    if (native(socket) == NATIVE_INVALID) {
        error = error_text(last_error());
        return std::nullopt;
    }
#ifndef _WIN32
    // A restarted server gets its port back while old connections linger in TIME_WAIT.
    const int on = 1;
    setsockopt(native(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
    const sockaddr_in bound = ipv4_address(host, port);
    if (bind(native(socket), reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0 ||
        listen(native(socket), 16) != 0 || !set_non_blocking(native(socket))) {
        error = error_text(last_error());
        return std::nullopt;
    }
    return socket;
}

std::uint16_t local_port(const Socket& socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(native(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

std::optional<Accepted> accept_client(const Socket& listener, std::string& error) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    const NativeSocket accepted =
        ::accept(native(listener), reinterpret_cast<sockaddr*>(&address), &length);
    if (accepted == NATIVE_INVALID) {
        const int code = last_error();
        if (!would_block(code)) {
            error = error_text(code);
        }
        return std::nullopt;
    }
    Accepted result{Socket(static_cast<std::intptr_t>(accepted)), {}};
    if (!set_non_blocking(accepted)) {
        error = error_text(last_error());
        return std::nullopt;
    }
    const int on = 1;
    setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    // A fixed send buffer instead of one the kernel grows to megabytes: what a slow reader has
    // not taken piles up in the server's own bounded queue, where it is counted.
    const int send_buffer = ACCEPTED_SEND_BUFFER;
    setsockopt(accepted, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&send_buffer),
               sizeof send_buffer);
#ifdef __APPLE__
    setsockopt(accepted, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    result.peer = text;
    return result;
}

IoResult read_some(const Socket& socket, char* buffer, std::size_t size) {
#ifdef _WIN32
    const int got = recv(native(socket), buffer, static_cast<int>(size), 0);
#else
    const ssize_t got = recv(native(socket), buffer, size, 0);
#endif
    if (got > 0) {
        return {IoStatus::Done, static_cast<std::size_t>(got)};
    }
    if (got == 0) {
        return {IoStatus::Closed, 0};
    }
    const int code = last_error();
    if (would_block(code)) {
        return {IoStatus::WouldBlock, 0};
    }
    return {peer_gone(code) ? IoStatus::Closed : IoStatus::Failed, 0};
}

IoResult write_some(const Socket& socket, const char* data, std::size_t size) {
#ifdef _WIN32
    const int sent = send(native(socket), data, static_cast<int>(size), 0);
#elif defined(MSG_NOSIGNAL)
    const ssize_t sent = send(native(socket), data, size, MSG_NOSIGNAL);
#else
    const ssize_t sent = send(native(socket), data, size, 0);
#endif
    if (sent >= 0) {
        return {IoStatus::Done, static_cast<std::size_t>(sent)};
    }
    const int code = last_error();
    if (would_block(code)) {
        return {IoStatus::WouldBlock, 0};
    }
    return {peer_gone(code) ? IoStatus::Closed : IoStatus::Failed, 0};
}

Waker::Waker() {
#ifdef _WIN32
    // Winsock polls sockets only: a UDP socket on the loopback address that sends to itself.
    NativeSocket socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = ipv4_address(INADDR_LOOPBACK, 0);
    int length = sizeof address;
    if (socket == NATIVE_INVALID ||
        bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        !set_non_blocking(socket)) {
        if (socket != NATIVE_INVALID) {
            closesocket(socket);
        }
        return;
    }
    read_end_ = static_cast<std::intptr_t>(socket);
    write_end_ = read_end_;
#else
    int ends[2];
    if (pipe(ends) != 0) {
        return;
    }
    if (!set_non_blocking(ends[0]) || !set_non_blocking(ends[1])) {
        ::close(ends[0]);
        ::close(ends[1]);
        return;
    }
    read_end_ = ends[0];
    write_end_ = ends[1];
#endif
}

Waker::~Waker() {
    if (read_end_ != Socket::INVALID) {
        close_native(native(read_end_));
    }
    if (write_end_ != Socket::INVALID && write_end_ != read_end_) {
        close_native(native(write_end_));
    }
}

void Waker::wake() {
    const char byte = 1;
    // A full pipe already holds a wake-up: a failed write loses nothing.
#ifdef _WIN32
    send(native(write_end_), &byte, 1, 0);
#else
    [[maybe_unused]] const ssize_t written = ::write(native(write_end_), &byte, 1);
#endif
}

void Waker::drain() {
    char bytes[256];
#ifdef _WIN32
    while (recv(native(read_end_), bytes, sizeof bytes, 0) > 0) {
    }
#else
    while (::read(native(read_end_), bytes, sizeof bytes) > 0) {
    }
#endif
}

bool wait(PollSet& set, Waker& waker, std::chrono::milliseconds timeout) {
#ifdef _WIN32
    std::vector<WSAPOLLFD> fds;
#else
    std::vector<pollfd> fds;
#endif
    fds.reserve(set.entries.size() + 1);
    fds.push_back({native(waker.read_end_), POLLIN, 0});
    for (PollEntry& entry : set.entries) {
        short events = 0;
        if (entry.want_read) {
            events = static_cast<short>(events | POLLIN);
        }
        if (entry.want_write) {
            events = static_cast<short>(events | POLLOUT);
        }
        fds.push_back({native(*entry.socket), events, 0});
        entry.readable = false;
        entry.writable = false;
    }
#ifdef _WIN32
    const int ready = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()),
                              static_cast<INT>(timeout.count()));
#else
    const int ready = poll(fds.data(), fds.size(), static_cast<int>(timeout.count()));
#endif
    if (ready < 0) {
#ifndef _WIN32
        return last_error() == EINTR;  // a signal: the caller looks at its stop flag
#else
        return false;
#endif
    }
    if ((fds[0].revents & POLLIN) != 0) {
        waker.drain();
    }
    for (std::size_t i = 0; i < set.entries.size(); ++i) {
        const short revents = fds[i + 1].revents;
        PollEntry& entry = set.entries[i];
        entry.readable = entry.want_read && (revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        entry.writable = entry.want_write && (revents & (POLLOUT | POLLHUP | POLLERR)) != 0;
    }
    return true;
}

std::optional<Socket> open_udp(std::string& error) {
    Socket socket(static_cast<std::intptr_t>(::socket(AF_INET, SOCK_DGRAM, 0)));
    if (native(socket) == NATIVE_INVALID) {
        error = error_text(last_error());
        return std::nullopt;
    }
    const int on = 1;
    if (setsockopt(native(socket), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0 ||
        !set_non_blocking(native(socket))) {
        error = error_text(last_error());
        return std::nullopt;
    }
    return socket;
}

bool send_udp(const Socket& socket, const std::string& address, std::uint16_t port,
              std::string_view datagram, std::string& error) {
    std::uint32_t host = 0;
    if (!parse_ipv4(address, host)) {
        error = "\"" + address + "\" is not an IPv4 address";
        return false;
    }
    const sockaddr_in to = ipv4_address(host, port);
#ifdef _WIN32
    const int sent = sendto(native(socket), datagram.data(), static_cast<int>(datagram.size()), 0,
                            reinterpret_cast<const sockaddr*>(&to), sizeof to);
#else
    const ssize_t sent = sendto(native(socket), datagram.data(), datagram.size(), 0,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to);
#endif
    if (sent < 0) {
        error = error_text(last_error());
        return false;
    }
    return true;
}

std::string host_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name;
}

}  // namespace ovel::platform
