// The shared bus over Unix datagram sockets: one socket per process, named after its pid.
// The bus is for the simulator's tests and demos, between processes of one machine.
#include "platform/shared_bus.h"

#if defined(__linux__)

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#if defined(__linux__)

namespace ovel::platform {
namespace {

constexpr const char* SOCKET_PREFIX = "ovsim-";
constexpr const char* SOCKET_SUFFIX = ".sock";
constexpr std::size_t MAX_DATAGRAM = 256;  // what is published is passed on, up to this size

bool fill_address(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool is_bus_socket_name(const std::string& name) {
    const std::string prefix = SOCKET_PREFIX, suffix = SOCKET_SUFFIX;
    return name.size() > prefix.size() + suffix.size() && name.starts_with(prefix) &&
           name.ends_with(suffix);
}

void report(const std::string& what) {
    std::fprintf(stderr, "ovsim: shared bus: %s: %s\n", what.c_str(), std::strerror(errno));
}

}  // namespace

std::unique_ptr<SharedBus> SharedBus::join(const std::string& directory, Deliver deliver) {
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        report("cannot create " + directory);
        return nullptr;
    }
    const std::string own_name =
        SOCKET_PREFIX + std::to_string(static_cast<long>(::getpid())) + SOCKET_SUFFIX;
    const std::string path = directory + "/" + own_name;
    sockaddr_un address;
    if (!fill_address(path, address)) {
        errno = ENAMETOOLONG;
        report("cannot use " + path);
        return nullptr;
    }
    const int socket_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket_fd < 0) {
        report("socket");
        return nullptr;
    }
    // A socket left by an earlier process with the same pid that did not leave cleanly.
    ::unlink(path.c_str());
    if (::bind(socket_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        report("cannot bind " + path);
        ::close(socket_fd);
        return nullptr;
    }
    // A peer that stops reading must not stall this process for long: its frames are dropped.
    const timeval send_timeout{1, 0};
    ::setsockopt(socket_fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
    const int wake_fd = ::eventfd(0, EFD_CLOEXEC);
    if (wake_fd < 0) {
        report("eventfd");
        ::close(socket_fd);
        ::unlink(path.c_str());
        return nullptr;
    }
    std::unique_ptr<SharedBus> bus(
        new SharedBus(directory, own_name, socket_fd, wake_fd, std::move(deliver)));
    bus->sender_ = std::thread([raw = bus.get()] { raw->send_loop(); });
    bus->receiver_ = std::thread([raw = bus.get()] { raw->receive_loop(); });
    return bus;
}

SharedBus::SharedBus(std::string directory, std::string own_name, int socket_fd, int wake_fd,
                     Deliver deliver)
    : directory_(std::move(directory)),
      own_name_(std::move(own_name)),
      socket_fd_(socket_fd),
      wake_fd_(wake_fd),
      deliver_(std::move(deliver)) {}

SharedBus::~SharedBus() {
    leave();
}

void SharedBus::publish(const std::vector<std::uint8_t>& frame) {
    std::lock_guard lock(mutex_);
    if (leaving_) {
        return;
    }
    outgoing_.push_back(frame);
    queued_.notify_one();
}

void SharedBus::leave() {
    {
        std::lock_guard lock(mutex_);
        if (left_) {
            return;
        }
        leaving_ = true;
        left_ = true;
        queued_.notify_one();
    }
    const std::uint64_t one = 1;
    if (::write(wake_fd_, &one, sizeof one) < 0) {
        report("eventfd write");
    }
    sender_.join();
    receiver_.join();
    ::close(socket_fd_);
    ::close(wake_fd_);
    ::unlink((directory_ + "/" + own_name_).c_str());
}

void SharedBus::send_loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        queued_.wait(lock, [this] { return leaving_ || !outgoing_.empty(); });
        if (outgoing_.empty()) {
            return;  // leaving, and everything published has been sent
        }
        std::vector<std::vector<std::uint8_t>> batch(std::make_move_iterator(outgoing_.begin()),
                                                     std::make_move_iterator(outgoing_.end()));
        outgoing_.clear();
        lock.unlock();
        send_to_peers(batch);
        lock.lock();
    }
}

std::vector<std::string> SharedBus::peer_paths() const {
    std::vector<std::string> paths;
    DIR* dir = ::opendir(directory_.c_str());
    if (dir == nullptr) {
        return paths;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (is_bus_socket_name(name)) {  // this process's own too: its other adapters hear
            paths.push_back(directory_ + "/" + name);
        }
    }
    ::closedir(dir);
    return paths;
}

void SharedBus::send_to_peers(const std::vector<std::vector<std::uint8_t>>& frames) {
    for (const std::string& path : peer_paths()) {
        sockaddr_un address;
        if (!fill_address(path, address)) {
            continue;
        }
        for (const std::vector<std::uint8_t>& frame : frames) {
            const ssize_t sent =
                ::sendto(socket_fd_, frame.data(), frame.size(), MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(&address), sizeof address);
            if (sent >= 0) {
                continue;
            }
            if (errno == ECONNREFUSED) {
                ::unlink(path.c_str());  // nobody reads it any more: its process is gone
            } else if (errno != ENOENT && !reported_drop_) {
                reported_drop_ = true;
                report("frames to " + path + " dropped");
            }
            break;
        }
    }
}

void SharedBus::receive_loop() {
    pollfd fds[2] = {{socket_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    std::uint8_t buffer[MAX_DATAGRAM];
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            report("poll");
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        const ssize_t length = ::recv(socket_fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (length > 0 && length < static_cast<ssize_t>(MAX_DATAGRAM)) {
            deliver_(std::vector<std::uint8_t>(buffer, buffer + length));
        }
    }
}

}  // namespace ovel::platform

#else

// The bus rides on Unix datagram sockets and an eventfd, which Windows lacks (its AF_UNIX has
// stream sockets only) and macOS half lacks; there, OVSIM_BUS is refused.
namespace ovel::platform {

std::unique_ptr<SharedBus> SharedBus::join(const std::string& directory, Deliver) {
    std::fprintf(stderr, "ovsim: shared bus: cannot join %s: not available on this system\n",
                 directory.c_str());
    return nullptr;
}

SharedBus::~SharedBus() = default;
void SharedBus::publish(const std::vector<std::uint8_t>&) {}
void SharedBus::leave() {}

}  // namespace ovel::platform

#endif
