// gs_usb adapter emulator for QEMU's usb-redir device.
//
// Usage: ovel-gsusb-redir --redir SOCKET --control SOCKET --serial TEXT --log FILE
//                         [--timeout SECONDS] [--timing immediate|hs|fs]
//                         [--firmware original|standard] [--features BITS] [--unplugged yes]
// Listens on both Unix sockets; QEMU connects its usb-redir chardev to the first and a serial
// port to the second, on which the guest sends one command per line and reads one reply line.
// --timing: bulk answers at once (immediate, the default, a high-speed device), or released on
// the frame boundaries of a high-speed (hs, 125 us) or full-speed (fs, 1 ms) bus, with that bus's
// packets per frame and the device reported to QEMU at that speed.
// --firmware: the request numbering of the emulated firmware: original (the default; the
// data-phase timing is request 8) or standard (the Linux kernel's numbering: it is 10, and 8
// stalls).
// --features: the feature bits BT_CONST reports, as the "features" command takes them.
// --unplugged yes: the adapter is plugged in by the "connect" command, not when QEMU says hello.
// Exits 0 when QEMU closes the usb-redir connection with no protocol fault seen, 1 on a fault,
// 2 when the time-out ran out, 3 on a setup error.
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "redir_adapter.h"
#include "usb_timing.h"

namespace {

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "gs_usb emulator: %s: %s\n", what, std::strerror(errno));
    std::exit(3);
}

int listen_on(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        die("socket");
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        die(path.c_str());
    }
    std::strcpy(address.sun_path, path.c_str());
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 1) != 0) {
        die(path.c_str());
    }
    return fd;
}

void set_nonblocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

}  // namespace

int main(int argc, char** argv) {
    std::string redir_path, control_path, serial = "QEMU0001", log_path;
    long timeout_seconds = 240;
    ovel::qemu::UsbTiming timing = ovel::qemu::UsbTiming::immediate;
    ovel::qemu::Firmware firmware = ovel::qemu::Firmware::Original;
    std::string features;
    bool unplugged = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--redir") {
            redir_path = argv[i + 1];
        } else if (option == "--control") {
            control_path = argv[i + 1];
        } else if (option == "--serial") {
            serial = argv[i + 1];
        } else if (option == "--log") {
            log_path = argv[i + 1];
        } else if (option == "--timeout") {
            timeout_seconds = std::strtol(argv[i + 1], nullptr, 10);
        } else if (option == "--timing") {
            const auto parsed = ovel::qemu::parse_timing(argv[i + 1]);
            if (!parsed) {
                std::fprintf(stderr, "gs_usb emulator: --timing takes immediate, hs or fs\n");
                return 3;
            }
            timing = *parsed;
        } else if (option == "--firmware") {
            const std::string value = argv[i + 1];
            if (value == "original") {
                firmware = ovel::qemu::Firmware::Original;
            } else if (value == "standard") {
                firmware = ovel::qemu::Firmware::Standard;
            } else {
                std::fprintf(stderr, "gs_usb emulator: --firmware takes original or standard\n");
                return 3;
            }
        } else if (option == "--features") {
            features = argv[i + 1];
        } else if (option == "--unplugged") {
            unplugged = std::string(argv[i + 1]) == "yes";
        } else {
            std::fprintf(stderr, "gs_usb emulator: unknown option %s\n", argv[i]);
            return 3;
        }
    }
    if (redir_path.empty() || control_path.empty() || log_path.empty()) {
        std::fprintf(stderr,
                     "usage: %s --redir SOCKET --control SOCKET --log FILE "
                     "[--serial TEXT] [--timeout SECONDS] [--timing immediate|hs|fs] "
                     "[--firmware original|standard]\n",
                     argv[0]);
        return 3;
    }
    std::FILE* wire_log = std::fopen(log_path.c_str(), "w");
    if (wire_log == nullptr) {
        die(log_path.c_str());
    }
    std::setvbuf(wire_log, nullptr, _IOLBF, 0);
    // Wake-ups for 125 us microframes need better than the default 50 us of timer slack.
    ::prctl(PR_SET_TIMERSLACK, 1000UL);

    int redir_listener = listen_on(redir_path);
    int control_listener = listen_on(control_path);
    int redir_fd = -1, control_fd = -1;
    std::unique_ptr<ovel::qemu::RedirAdapter> adapter;
    std::string control_input;
    bool redir_seen = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);

    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            std::fprintf(stderr, "gs_usb emulator: no end of session within %ld s\n",
                         timeout_seconds);
            return 2;
        }
        pollfd fds[4];
        nfds_t count = 0;
        const auto watch = [&](int fd) {
            if (fd >= 0) {
                fds[count++] = pollfd{fd, POLLIN, 0};
            }
        };
        watch(redir_listener);
        watch(control_listener);
        watch(redir_fd);
        watch(control_fd);
        // Sleep until a socket is readable or the adapter's next timed answer or paced frame.
        std::int64_t wait_ns = std::min<std::int64_t>(left.count(), 1'000'000'000);
        if (adapter) {
            if (const auto due = adapter->next_due_ns()) {
                wait_ns = std::clamp<std::int64_t>(*due - ovel::qemu::monotonic_ns(), 0, wait_ns);
            }
        }
        const timespec wait{static_cast<time_t>(wait_ns / 1'000'000'000),
                            static_cast<long>(wait_ns % 1'000'000'000)};
        const int ready = ::ppoll(fds, count, &wait, nullptr);
        if (ready < 0 && errno != EINTR) {
            die("poll");
        }
        for (nfds_t i = 0; i < count && ready > 0; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            const int fd = fds[i].fd;
            if (fd == redir_listener) {
                redir_fd = ::accept4(redir_listener, nullptr, nullptr, SOCK_CLOEXEC);
                ::close(redir_listener);
                redir_listener = -1;
                set_nonblocking(redir_fd);
                adapter = std::make_unique<ovel::qemu::RedirAdapter>(redir_fd, serial, wire_log,
                                                                     timing, firmware);
                adapter->set_plugged_at_hello(!unplugged);
                if (!features.empty() && adapter->command("features " + features) != "ok") {
                    std::fprintf(stderr, "gs_usb emulator: bad --features %s\n", features.c_str());
                    return 3;
                }
                redir_seen = true;
            } else if (fd == control_listener) {
                control_fd = ::accept4(control_listener, nullptr, nullptr, SOCK_CLOEXEC);
                ::close(control_listener);
                control_listener = -1;
            } else if (fd == redir_fd) {
                if (!adapter->on_readable()) {
                    const bool clean = adapter->faults().empty();
                    for (const auto& text : adapter->faults()) {
                        std::fprintf(stderr, "gs_usb emulator: protocol fault: %s\n", text.c_str());
                    }
                    std::fprintf(wire_log, "usb-redir connection closed\n");
                    return clean ? 0 : 1;
                }
            } else if (fd == control_fd) {
                char buffer[512];
                const ssize_t got = ::read(control_fd, buffer, sizeof buffer);
                if (got <= 0) {
                    ::close(control_fd);
                    control_fd = -1;
                    continue;
                }
                control_input.append(buffer, static_cast<std::size_t>(got));
                std::size_t end;
                while ((end = control_input.find_first_of("\r\n")) != std::string::npos) {
                    const std::string line = control_input.substr(0, end);
                    control_input.erase(0, end + 1);
                    if (line.empty()) {
                        continue;
                    }
                    const std::string answer =
                        adapter ? adapter->command(line) : std::string("error no usb-redir peer");
                    const std::string reply_line = answer + "\n";
                    if (::write(control_fd, reply_line.data(), reply_line.size()) < 0) {
                        die("control write");
                    }
                }
            }
        }
        if (adapter) {
            adapter->on_due();
        }
        if (adapter && !adapter->flush()) {
            std::fprintf(stderr, "gs_usb emulator: usb-redir write failed\n");
            return redir_seen ? 1 : 3;
        }
    }
}
