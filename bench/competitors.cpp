#include "competitors.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace ovel::bench {
namespace {

// The child only spins: after fork in a process that may have other threads it calls nothing
// but async-signal-safe functions, and it ends only by the parent's SIGKILL (or the parent's
// death).
[[noreturn]] void spin() {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    prctl(PR_SET_NAME, "bench-spinner");
    for (;;) {
        asm volatile("");  // keeps the loop, which has no other effect
    }
}

}  // namespace

Competitors::Competitors(int count) {
    std::fflush(nullptr);  // nothing buffered is copied into the children
    for (int i = 0; i < count; ++i) {
        const pid_t child = fork();
        if (child == 0) {
            spin();
        }
        if (child < 0) {
            error_ = std::string("fork: ") + std::strerror(errno);
            return;
        }
        children_.push_back(child);
    }
}

Competitors::~Competitors() {
    stop();
}

void Competitors::stop() {
    for (pid_t child : children_) {
        kill(child, SIGKILL);
    }
    for (pid_t child : children_) {
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    children_.clear();
}

}  // namespace ovel::bench
