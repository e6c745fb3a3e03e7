// How the library's threads and callers wait: asleep, not spinning, while the adapter takes its
// time, and under names that tools such as top -H show.
#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <string>
#include <thread>

#include "platform/thread_name.h"
#include "sim_fixture.h"

namespace ovel::test {
namespace {

constexpr std::uint8_t BITTIMING = 1;

// The scheduler state of one thread of this process: 'R' running, 'S' asleep, ...
char thread_state(pid_t tid) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    char state = '?';
    if (FILE* file = std::fopen(path.c_str(), "r")) {
        // "tid (comm) state ...": the names here contain no ')'.
        if (std::fscanf(file, "%*d (%*[^)]) %c", &state) != 1) {
            state = '?';
        }
        std::fclose(file);
    }
    return state;
}

std::set<std::string> thread_names() {
    std::set<std::string> names;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            const std::string path = std::string("/proc/self/task/") + entry->d_name + "/comm";
            if (FILE* file = std::fopen(path.c_str(), "r")) {
                char name[32] = {};
                if (std::fgets(name, sizeof name, file) != nullptr) {
                    std::string text(name);
                    text.erase(text.find_last_not_of('\n') + 1);
                    names.insert(text);
                }
                std::fclose(file);
            }
        }
        closedir(dir);
    }
    return names;
}

// Runs a call on `handle` on a thread of its own; reports that thread's id and, once joined,
// the failure text the call left for its thread.
class CallThread {
  public:
    CallThread(ovel_canfd_driver* handle, std::function<int()> call)
        : thread_([this, handle, call = std::move(call)] {
              tid_.store(static_cast<pid_t>(syscall(SYS_gettid)));
              call();
              failure_ = ovel_canfd_get_last_error(handle);
              done_.store(true);
          }) {}
    ~CallThread() { join(); }
    pid_t tid() const { return tid_.load(); }
    bool done() const { return done_.load(); }
    const std::string& failure() {
        join();
        return failure_;
    }

  private:
    void join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    std::atomic<pid_t> tid_{0};
    std::atomic<bool> done_{false};
    std::string failure_;
    std::thread thread_;
};

class Waiting : public SimTest {};

// An adapter that does not answer keeps a transmit or a control request waiting for its whole
// time-out; the caller must sleep through it rather than hold a core.
TEST_F(Waiting, CallsWaitingForTheAdapterSleep) {
    ovsim::Adapter& adapter = ovsim::add_adapter();
    ovel_canfd_driver* h = open_handle();
    ovsim::set_time_scale(1.0);  // 1 s time-outs: far longer than it takes to fall asleep
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);

    adapter.set_out_behaviour(ovsim::OutBehaviour::Ignore);
    ovel_canfd_frame frame{};
    frame.id = 0x123;
    CallThread transmit(h, [&] { return ovel_canfd_transmit(h, &frame); });
    ASSERT_TRUE(eventually([&] { return transmit.tid() != 0; }));
    EXPECT_TRUE(eventually([&] { return transmit.done() || thread_state(transmit.tid()) == 'S'; }));
    EXPECT_FALSE(transmit.done()) << "the time-out came before the caller slept";
    EXPECT_EQ(transmit.failure(), "failed to transmit frame: Timeout");

    adapter.set_no_answer(BITTIMING);
    CallThread configure(h, [&] { return ovel_canfd_set_bitrate(h, 1, 500'000); });
    ASSERT_TRUE(eventually([&] { return configure.tid() != 0; }));
    EXPECT_TRUE(
        eventually([&] { return configure.done() || thread_state(configure.tid()) == 'S'; }));
    EXPECT_FALSE(configure.done()) << "the time-out came before the caller slept";
    EXPECT_EQ(configure.failure(),
              "failed to set bit timing: DeviceError(Libusb(\"control_out: transfer\", -7))");
    EXPECT_EQ(last_error(h), "") << "each thread reads its own call's text";
}

TEST_F(Waiting, LibraryThreadsCarryTheirNames) {
    std::thread([] {
        EXPECT_TRUE(platform::name_this_thread("ovel-usb-events"));
        EXPECT_TRUE(platform::name_this_thread("ovel-dispatch"));
        EXPECT_FALSE(platform::name_this_thread("a-name-over-15-chars"));
    }).join();

    ovsim::add_adapter();
    ovel_canfd_driver* h = open_handle();
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    // Each thread names itself as it begins.
    EXPECT_TRUE(eventually([] {
        const std::set<std::string> names = thread_names();
        return names.count("ovel-usb-events") == 1 && names.count("ovel-dispatch") == 1;
    }));
}

}  // namespace
}  // namespace ovel::test
