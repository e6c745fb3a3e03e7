// An emulated CAN bus shared between processes: every process that joins the same directory
// hears the frames put on the bus, its own included (its other adapters hear them). Each process owns one Unix datagram socket in the
// directory; a sender thread fans published frames out to the other sockets and a receiver
// thread hands the frames heard to the process's adapters.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ovel::platform {

class SharedBus {
  public:
    using Deliver = std::function<void(std::vector<std::uint8_t> frame)>;

    // Joins the bus in `directory` (created if missing). Returns null and writes why on stderr
    // when the socket cannot be set up. `deliver` runs on the receiver thread for every datagram
    // published on the bus, by this process too.
    static std::unique_ptr<SharedBus> join(const std::string& directory, Deliver deliver);

    SharedBus(const SharedBus&) = delete;
    SharedBus& operator=(const SharedBus&) = delete;
    ~SharedBus();

    // Queues a datagram (at most 255 bytes) for every process on the bus; never blocks on them.
    void publish(const std::vector<std::uint8_t>& frame);
    // Sends what is still queued, ends both threads and removes this process's socket.
    void leave();

  private:
    SharedBus(std::string directory, std::string own_name, int socket_fd, int wake_fd,
              Deliver deliver);
    void send_loop();
    void receive_loop();
    std::vector<std::string> peer_paths() const;
    void send_to_peers(const std::vector<std::vector<std::uint8_t>>& frames);

    const std::string directory_;
    const std::string own_name_;
    const int socket_fd_;
    const int wake_fd_;  // eventfd that wakes the receiver thread for leaving
    const Deliver deliver_;

    std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<std::vector<std::uint8_t>> outgoing_;
    bool leaving_ = false;
    bool left_ = false;
    bool reported_drop_ = false;  // touched by the sender thread only

    std::thread sender_;
    std::thread receiver_;
};

}  // namespace ovel::platform
