// Random call sequences on the C API while the simulated adapter misbehaves, with the invariants
// checked after every step. OVEL_STORM_SECONDS sets how long it runs (default 3);
// OVEL_STORM_SEED=N replays the choices of a run: every failure prints the seed and the last steps.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim_fixture.h"

namespace ovel::test {
namespace {

// Identifiers of the frames the storm sends or feeds; the stream uses 0x100 + channel.
constexpr std::uint32_t STREAM_ID = 0x100;
constexpr std::uint32_t PROBE_ID = 0x7F0;
constexpr std::uint32_t MAIN_TX_ID = 0x7A0, BACKGROUND_TX_ID = 0x7A1, CALLBACK_TX_ID = 0x7A2;
// Queued sends, one identifier per channel: their echoes come back in order per channel.
constexpr std::uint32_t SEND_TX_ID = 0x7B0;
constexpr std::uint8_t CHANNELS = 2;  // the adapter's; channel 2 is one it lacks

std::uint64_t env_number(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 0) : fallback;
}

std::uint64_t read_le(const std::uint8_t* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

ovel_canfd_frame numbered_frame(std::uint32_t id, std::uint8_t channel, std::uint32_t sequence) {
    ovel_canfd_frame frame{};
    frame.channel = channel;
    frame.id = id;
    frame.dlc = 4;
    for (int i = 0; i < 4; ++i) {
        frame.data[i] = static_cast<std::uint8_t>(sequence >> (8 * i));
    }
    return frame;
}

std::uint64_t dropped(const ovel_canfd_stats& s) {
    return s.rx_dropped_short + s.rx_dropped_header + s.rx_dropped_overflow;
}

// The texts a failed call leaves: the function's own, then the error's description.
const char* description_of(int code) {
    switch (code) {
        case OVEL_CANFD_ERR_DEVICE:
            return "DeviceError(";
        case OVEL_CANFD_ERR_TIMEOUT:
            return "Timeout";
        case OVEL_CANFD_ERR_RUNNING:
            return "Running";
        case OVEL_CANFD_ERR_NOT_RUNNING:
            return "NotRunning";
        case OVEL_CANFD_ERR_INVALID_CHANNEL:
            return "InvalidChannel";
        case OVEL_CANFD_ERR_INVALID_BITRATE:
            return "InvalidBitrate(";
        case OVEL_CANFD_ERR_UNSUPPORTED_FEATURE:
            return "UnsupportedFeature(";
        case OVEL_CANFD_ERR_INVALID_FRAME:
            return "InvalidFrame(";
        case OVEL_CANFD_ERR_INVALID_ARGUMENT:
            return "InvalidArgument(";
        case OVEL_CANFD_ERR_BUSY:
            return "Busy(";
        default:
            return "no open device";
    }
}

// Returns what is wrong with a call's result, or "" when it is as documented.
std::string check_result(const char* function, int code, const std::vector<int>& documented,
                         const std::string& text, std::vector<std::string> prefixes) {
    std::ostringstream problem;
    if (std::find(documented.begin(), documented.end(), code) == documented.end()) {
        problem << function << " returned undocumented " << code << " (\"" << text << "\")";
    } else if (code == OVEL_CANFD_OK && !text.empty()) {
        problem << function << " succeeded with failure text \"" << text << "\"";
    } else if (code != OVEL_CANFD_OK) {
        // An open that failed says why in its own words.
        const bool any_cause = code == OVEL_CANFD_NO_DEVICE && std::string(function) == "open";
        bool matches = false;
        for (const std::string& prefix : prefixes) {
            matches = matches ||
                      text.rfind(any_cause ? prefix : prefix + ": " + description_of(code), 0) == 0;
        }
        if (!matches) {
            problem << function << " returned " << code << " with text \"" << text << "\"";
        }
    }
    return problem.str();
}

// What the callbacks saw; they run on the dispatch thread and report through here.
struct Observer {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> violations;
    std::optional<std::uint64_t> last_stream;
    std::map<std::uint32_t, std::uint32_t> last_numbered;  // per identifier: probes and echoes
    std::atomic<ovel_canfd_driver*> handle{nullptr};
    std::atomic<bool> quiet{true};  // set once close, deinit or the last stop has returned
    std::atomic<int> inside{0};
    std::atomic<int> reentry{0};  // what a callback calls on the handle, see call_back_in
    std::atomic<std::uint32_t> callback_tx_sequence{0};
    std::atomic<std::uint32_t> background_tx_sequence{0};  // across the handles of a run
    std::atomic<std::uint64_t> frames{0};

    void violation(std::string what) {
        std::lock_guard lock(mutex);
        violations.push_back(std::move(what));
    }

    void on_frame(const ovel_canfd_frame& frame) {
        if (inside.fetch_add(1) != 0) {
            violation("two callbacks ran at once");
        }
        if (quiet.load()) {
            violation("callback after close, deinit or the last stop returned");
        }
        check_record(frame);
        if (frames.fetch_add(1) % 37 == 0) {
            call_back_in();
        }
        inside.fetch_sub(1);
    }

    void check_record(const ovel_canfd_frame& frame) {
        const auto* raw = reinterpret_cast<const std::uint8_t*>(&frame);
        for (std::size_t offset = offsetof(ovel_canfd_frame, extended); offset < 80; ++offset) {
            if (raw[offset] > 1) {
                violation("a bool of a received record is neither 0 nor 1");
            }
        }
        if (frame.dlc > 15 || frame.channel >= CHANNELS) {
            violation("a record with DLC " + std::to_string(frame.dlc) + " on channel " +
                      std::to_string(frame.channel));
        }
        std::lock_guard lock(mutex);
        const bool numbered =
            frame.echo ? frame.id == MAIN_TX_ID || frame.id == BACKGROUND_TX_ID ||
                             frame.id == CALLBACK_TX_ID || frame.id == SEND_TX_ID ||
                             frame.id == SEND_TX_ID + 1
                       : frame.id == PROBE_ID;
        if (!frame.echo && (frame.id == STREAM_ID || frame.id == STREAM_ID + 1)) {
            const std::uint64_t sequence = read_le(frame.data, 8);
            if (last_stream && sequence <= *last_stream) {
                violations.push_back("stream frame " + std::to_string(sequence) + " after " +
                                     std::to_string(*last_stream));
            }
            last_stream = sequence;
        } else if (numbered) {
            const auto sequence = static_cast<std::uint32_t>(read_le(frame.data, 4));
            const auto last = last_numbered.find(frame.id);
            if (last != last_numbered.end() && sequence <= last->second) {
                violations.push_back("frame " + std::to_string(sequence) + " of id " +
                                     std::to_string(frame.id) + " after " +
                                     std::to_string(last->second));
            }
            last_numbered[frame.id] = sequence;
            changed.notify_all();
        } else {
            violations.push_back("a frame nobody sent: id " + std::to_string(frame.id) +
                                 (frame.echo ? " (echo)" : ""));
        }
    }

    // Calls that leave the handle's state as it is, made from inside the callback.
    void call_back_in();

    bool wait_probe(std::uint32_t sequence, std::chrono::seconds bound) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, bound, [&] {
            const auto last = last_numbered.find(PROBE_ID);
            return last != last_numbered.end() && last->second >= sequence;
        });
    }
};

Observer* observer = nullptr;

void plain_callback(const ovel_canfd_frame* frame) {
    observer->on_frame(*frame);
}

void user_callback(const ovel_canfd_frame* frame, void* user) {
    static_cast<Observer*>(user)->on_frame(*frame);
}

const std::vector<int> TRANSMIT_CODES = {OVEL_CANFD_OK,
                                         OVEL_CANFD_NO_DEVICE,
                                         OVEL_CANFD_ERR_NOT_RUNNING,
                                         OVEL_CANFD_ERR_INVALID_CHANNEL,
                                         OVEL_CANFD_ERR_INVALID_FRAME,
                                         OVEL_CANFD_ERR_TIMEOUT,
                                         OVEL_CANFD_ERR_DEVICE};

void Observer::call_back_in() {
    ovel_canfd_driver* h = handle.load();
    switch (reentry.load()) {
        case 1:
            // -1 once a close on another thread has taken the adapter away.
            if (const int count = ovel_canfd_get_channel_count(h);
                count != CHANNELS && count != OVEL_CANFD_NO_DEVICE) {
                violation("channel count " + std::to_string(count) + " inside the callback");
            }
            break;
        case 2: {
            const ovel_canfd_frame frame =
                numbered_frame(CALLBACK_TX_ID, 1, callback_tx_sequence.fetch_add(1));
            const int code = ovel_canfd_transmit(h, &frame);
            if (auto problem = check_result("transmit in the callback", code, TRANSMIT_CODES,
                                            ovel_canfd_get_last_error(h),
                                            {"failed to transmit frame"});
                !problem.empty()) {
                violation(problem);
            }
            break;
        }
        case 3:
            if (ovel_canfd_set_rx_callback_ex(h, user_callback, this) != OVEL_CANFD_OK) {
                violation("re-registering from inside the callback failed");
            }
            break;
        default:
            break;
    }
}

// Transmits numbered frames from its own thread for as long as the handle lives.
class BackgroundSender {
  public:
    BackgroundSender(ovel_canfd_driver* h, Observer& seen) : handle_(h), observer_(seen) {
        thread_ = std::thread([this] { run(); });
    }
    ~BackgroundSender() {
        running_ = false;
        thread_.join();
    }

  private:
    void run() {
        while (running_.load()) {
            const std::uint32_t sequence = observer_.background_tx_sequence.fetch_add(1);
            const ovel_canfd_frame frame = numbered_frame(
                BACKGROUND_TX_ID, static_cast<std::uint8_t>(sequence % CHANNELS), sequence);
            const int code = ovel_canfd_transmit(handle_, &frame);
            if (auto problem = check_result("background transmit", code, TRANSMIT_CODES,
                                            ovel_canfd_get_last_error(handle_),
                                            {"failed to transmit frame"});
                !problem.empty()) {
                observer_.violation(problem);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));  // a paced sender
        }
    }

    ovel_canfd_driver* handle_;
    Observer& observer_;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

// Aborts with the replay information when one step hangs: a deadlock must not stall CI.
class Watchdog {
  public:
    explicit Watchdog(std::string replay) : replay_(std::move(replay)) {
        thread_ = std::thread([this] {
            std::unique_lock lock(mutex_);
            while (!done_) {
                const std::uint64_t seen = steps_;
                if (!wake_.wait_for(lock, std::chrono::seconds(60), [&] {
                        return done_ || steps_ != seen;
                    })) {
                    std::fprintf(stderr, "fault storm: a step hung for 60 s; %s\n%s\n",
                                 replay_.c_str(), last_step_.c_str());
                    std::abort();
                }
            }
        });
    }
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void step(const std::string& what) {
        std::lock_guard lock(mutex_);
        ++steps_;
        last_step_ = what;
        wake_.notify_all();
    }

  private:
    std::string replay_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::uint64_t steps_ = 0;
    std::string last_step_;
    bool done_ = false;
    std::thread thread_;
};

class FaultStorm : public SimTest {
  protected:
    void TearDown() override {
        sender_.reset();
        if (handle_ != nullptr) {
            ovel_canfd_deinit(handle_);
            handle_ = nullptr;
        }
        observer = nullptr;
        SimTest::TearDown();
    }

    // One step of the storm, chosen by the seeded generator.
    void step();

    void lifecycle();
    void configure();
    void start_or_stop();
    void transmit();
    void send();
    void register_callback();
    void inject_fault();
    void clear_faults();
    void expect_reception_alive(const std::string& after);
    std::optional<ovel_canfd_stats> stats();
    void expect_reception_ends_unplugged();

    std::uint32_t pick(std::uint32_t below) {
        return std::uniform_int_distribution<std::uint32_t>(0, below - 1)(random_);
    }
    bool chance(std::uint32_t in) { return pick(in) == 0; }
    void log(std::string what) {
        steps_.push_back(std::move(what));
        if (steps_.size() > 40) {
            steps_.pop_front();
        }
        watchdog_->step(steps_.back());
    }
    void expect(const char* function, int code, const std::vector<int>& documented,
                std::vector<std::string> prefixes) {
        const std::string text = ovel_canfd_get_last_error(handle_);
        if (auto problem = check_result(function, code, documented, text, std::move(prefixes));
            !problem.empty()) {
            ADD_FAILURE() << problem;
        }
    }
    // The code a call must return when nothing fails on the USB side.
    void expect_exactly(const char* function, int code, int expected) {
        if (code != expected) {
            ADD_FAILURE() << function << " returned " << code << ", expected " << expected << " ("
                          << ovel_canfd_get_last_error(handle_) << ")";
        }
    }
    bool any_started() const {
        return std::any_of(started_.begin(), started_.end(), [](auto s) { return s == 1; });
    }
    bool all_known() const {
        return std::none_of(started_.begin(), started_.end(), [](auto s) { return s < 0; });
    }
    // Nothing of the adapter may stay once its handle closed it.
    void expect_released() {
        expect_nothing_left();
        observer_.quiet = true;
    }
    // The handle's adapter is the one plugged in: requests reach it.
    bool reachable() const { return open_ && opened_ == adapter_ && plugged_; }
    void plug_new(ovsim::Adapter& adapter) {
        adapter_ = &adapter;
        plugged_ = true;
        ovsim::StreamSpec stream;
        stream.channels = {0, 1};
        stream.fd = chance(2);
        stream.rate_hz = 2'000;
        adapter.start_stream(stream);
    }

    std::mt19937_64 random_;
    std::deque<std::string> steps_;
    std::unique_ptr<Watchdog> watchdog_;
    Observer observer_;
    ovel_canfd_driver* handle_ = nullptr;
    std::unique_ptr<BackgroundSender> sender_;
    ovsim::Adapter* adapter_ = nullptr;
    bool plugged_ = false;
    ovsim::Adapter* opened_ = nullptr;  // the adapter the handle opened last
    bool open_ = false;
    // A fault that persists may have ended reception: it runs again from the next start that
    // finds no channel started, once the fault is gone.
    bool reception_doubtful_ = false;
    bool faults_ = false;    // injected and not cleared
    bool clean_ = true;      // no fault since the last open: every call must succeed
    bool init_fails_ = false;
    std::array<int, CHANNELS> started_{};  // 0 stopped, 1 started, -1 unknown
    std::uint32_t main_tx_sequence_ = 0, probe_sequence_ = 0;
    std::array<std::uint32_t, CHANNELS> send_sequence_{};
    std::string last_fault_ = "none";
    std::uint64_t probes_ = 0;
    std::uint64_t device_generation_ = 0;  // bumped whenever the handle's adapter changes
    // Malformed frames fed while the handle had its adapter open: all of them counted as dropped.
    struct Garbage {
        std::uint64_t generation, count, dropped_before;
    };
    std::optional<Garbage> garbage_;
};

void FaultStorm::lifecycle() {
    if (handle_ == nullptr) {
        log("init");
        handle_ = ovel_canfd_init();
        ASSERT_NE(handle_, nullptr);
        observer_.handle = handle_;
        sender_ = std::make_unique<BackgroundSender>(handle_, observer_);
        return;
    }
    switch (pick(6)) {
        case 0:
            log("deinit");
            sender_.reset();
            EXPECT_EQ(ovel_canfd_deinit(handle_), 0);  // no failure text: the handle is gone
            handle_ = nullptr;
            open_ = false;
            expect_released();
            return;
        case 1:
        case 2: {
            log("close");
            expect("close", ovel_canfd_close(handle_), {0}, {});
            open_ = false;
            ++device_generation_;
            expect_released();
            return;
        }
        default: {
            const bool by_serial = chance(2);
            const bool wrong_serial = by_serial && chance(4);
            log(by_serial ? (wrong_serial ? "open another serial" : "open by serial") : "open");
            const bool open_before = open_;
            ovsim::Adapter* const opened_before = opened_;
            const int code = by_serial ? ovel_canfd_open_with_device_serial_number(
                                             handle_, wrong_serial ? "OVSIM9999" : "OVSIM0001")
                                       : ovel_canfd_open(handle_);
            expect("open", code, {0, -1},
                   {by_serial ? "failed to open device with serial number" : "failed to open device",
                    "could not initialize libusb context"});
            if (code == 0) {
                open_ = true;
                ++device_generation_;
                // The adapter it replaced has let go of every queued frame: each was echoed
                // or reported failed.
                if (const auto counts = stats()) {
                    EXPECT_EQ(counts->send_queued, counts->send_echoed + counts->send_failed)
                        << "queued frames neither echoed nor reported failed";
                }
                started_.fill(0);
                observer_.quiet = true;
                clean_ = !faults_;
                if (opened_ != adapter_) {
                    std::lock_guard lock(observer_.mutex);
                    observer_.last_stream.reset();  // a new adapter numbers its stream anew
                }
                opened_ = adapter_;
            } else if (!plugged_ || wrong_serial) {
                const std::string text = ovel_canfd_get_last_error(handle_);
                if (!init_fails_ && text.find("DeviceNotFound") == std::string::npos) {
                    ADD_FAILURE() << "open with no such adapter: \"" << text << "\"";
                }
            } else if (open_before && opened_before == adapter_ &&
                       std::string(ovel_canfd_get_last_error(handle_)) !=
                           "could not initialize libusb context") {
                // The handle's own adapter is not busy to it: it was closed to be opened again,
                // and that failed.
                open_ = false;
                ++device_generation_;
            }
            if (!faults_ && plugged_ && !wrong_serial) {
                expect_exactly("open", code, 0);
            }
            if (wrong_serial || !plugged_) {
                expect_exactly("open", code, -1);
            }
        }
    }
}

void FaultStorm::configure() {
    const auto channel = static_cast<std::uint8_t>(pick(CHANNELS + 1));
    const bool value = chance(2);
    const bool started = channel < CHANNELS && started_[channel] == 1;
    const bool unknown = channel < CHANNELS && started_[channel] < 0;
    // The code every call must return whatever the adapter does, -100 when that depends on it.
    int decided = -100;
    if (!open_) {
        decided = OVEL_CANFD_NO_DEVICE;
    } else if (channel >= CHANNELS) {
        decided = OVEL_CANFD_ERR_INVALID_CHANNEL;
    }
    const auto finish = [&](const char* function, int code, std::vector<int> documented,
                            std::vector<std::string> prefixes, bool sends) {
        expect(function, code, documented, prefixes);
        if (decided != -100) {
            expect_exactly(function, code, decided);
        } else if (!sends && !unknown) {
            expect_exactly(function, code, started ? OVEL_CANFD_ERR_RUNNING : 0);
        }
    };
    switch (pick(6)) {
        case 0:
        case 1: {
            static constexpr std::array<std::uint32_t, 6> bitrates = {125'000, 250'000,   500'000,
                                                                      1'000'000, 0, 1'000};
            const std::uint32_t bitrate = bitrates[pick(bitrates.size())];
            const bool data = chance(2);
            log(std::string(data ? "set_data_bitrate " : "set_bitrate ") +
                std::to_string(channel) + " " + std::to_string(bitrate));
            const int code = data ? ovel_canfd_set_data_bitrate(handle_, channel, bitrate)
                                  : ovel_canfd_set_bitrate(handle_, channel, bitrate);
            if (decided == -100 && bitrate < 10'000) {
                decided = OVEL_CANFD_ERR_INVALID_BITRATE;
            }
            if (decided == -100 && clean_ && reachable()) {
                decided = 0;
            }
            finish("set_bitrate", code, {0, -1, -2, -7, -8, -9},
                   {"failed to set bitrate", "failed to set bit timing"}, true);
            return;
        }
        case 2:
            log("set_enabled " + std::to_string(channel));
            finish("set_enabled", ovel_canfd_set_enabled(handle_, channel, value), {0, -1, -5, -7},
                   {"failed to enable channel"}, false);
            return;
        case 3:
            log("set_fd " + std::to_string(channel));
            finish("set_fd", ovel_canfd_set_fd(handle_, channel, value), {0, -1, -5, -7, -9},
                   {"failed to set fd mode"}, false);
            return;
        case 4:
            log("set_hw_loopback " + std::to_string(channel));
            finish("set_hw_loopback", ovel_canfd_set_hw_loopback(handle_, channel, value),
                   {0, -1, -5, -7, -9}, {"failed to set hardware loopback mode"}, false);
            return;
        default:
            log("set_monitor " + std::to_string(channel));
            finish("set_monitor", ovel_canfd_set_monitor(handle_, channel, value),
                   {0, -1, -5, -7, -9}, {"failed to set monitoring mode"}, false);
            return;
    }
}

void FaultStorm::start_or_stop() {
    const auto channel = static_cast<std::uint8_t>(pick(CHANNELS + 1));
    const bool valid = channel < CHANNELS;
    if (chance(3)) {
        log("stop " + std::to_string(channel));
        const int code = ovel_canfd_stop(handle_, channel);
        expect("stop", code, {0, -1, -2, -7}, {"failed to stop device"});
        if (!open_) {
            expect_exactly("stop", code, -1);
        } else if (!valid) {
            expect_exactly("stop", code, OVEL_CANFD_ERR_INVALID_CHANNEL);
        } else if (code == 0) {
            started_[channel] = 0;
            if (!any_started() && all_known()) {
                observer_.quiet = true;  // the dispatch thread has ended
            }
        } else if (code == OVEL_CANFD_ERR_DEVICE) {
            started_[channel] = -1;  // taken off the bus or not, depending on what failed
        }
        if (valid && clean_ && reachable()) {
            expect_exactly("stop", code, 0);
        }
        return;
    }
    observer_.reentry = static_cast<int>(pick(4));
    log("start " + std::to_string(channel) + " (callback reentry " +
        std::to_string(observer_.reentry.load()) + ")");
    observer_.quiet = false;
    const int code = ovel_canfd_start(handle_, channel);
    expect("start", code, {0, -1, -2, -7, -9}, {"failed to start device"});
    if (!open_) {
        expect_exactly("start", code, -1);
    } else if (!valid) {
        expect_exactly("start", code, OVEL_CANFD_ERR_INVALID_CHANNEL);
    } else if (clean_ && reachable()) {
        expect_exactly("start", code, 0);
    }
    if (code == 0) {
        if (!any_started() && all_known() && !faults_) {
            reception_doubtful_ = false;
        }
        started_[channel] = 1;
    }
    // A failed start may leave a dispatch thread to finish, so quiet is not claimed again.
}

void FaultStorm::transmit() {
    const auto channel = static_cast<std::uint8_t>(pick(CHANNELS + 1));
    ovel_canfd_frame frame = numbered_frame(MAIN_TX_ID, channel, main_tx_sequence_);
    const bool bad_id = chance(8);
    if (bad_id) {
        frame.id = 0x800;  // too long for a standard identifier
    } else {
        ++main_tx_sequence_;
    }
    log("transmit on " + std::to_string(channel) + (bad_id ? " with a bad id" : ""));
    const int code = ovel_canfd_transmit(handle_, &frame);
    expect("transmit", code, TRANSMIT_CODES, {"failed to transmit frame"});
    if (!open_) {
        expect_exactly("transmit", code, -1);
    } else if (all_known() && !any_started()) {
        expect_exactly("transmit", code, OVEL_CANFD_ERR_NOT_RUNNING);
    } else if (all_known() && channel >= CHANNELS) {
        expect_exactly("transmit", code, OVEL_CANFD_ERR_INVALID_CHANNEL);
    } else if (all_known() && bad_id) {
        expect_exactly("transmit", code, OVEL_CANFD_ERR_INVALID_FRAME);
    } else if (all_known() && clean_ && reachable()) {
        expect_exactly("transmit", code, 0);
    }
}

void FaultStorm::send() {
    const auto channel = static_cast<std::uint8_t>(pick(CHANNELS + 1));
    switch (pick(6)) {
        case 0: {
            const std::uint32_t frames = pick(34);
            log("set_send_window " + std::to_string(channel) + " " + std::to_string(frames));
            const int code = ovel_canfd_set_send_window(handle_, channel, frames);
            expect("set_send_window", code,
                   {0, -1, OVEL_CANFD_ERR_INVALID_CHANNEL, OVEL_CANFD_ERR_INVALID_ARGUMENT},
                   {"failed to set send window"});
            if (!open_) {
                expect_exactly("set_send_window", code, -1);
            } else if (channel >= CHANNELS) {
                expect_exactly("set_send_window", code, OVEL_CANFD_ERR_INVALID_CHANNEL);
            } else {
                expect_exactly("set_send_window", code,
                               frames >= 1 && frames <= 32 ? 0 : OVEL_CANFD_ERR_INVALID_ARGUMENT);
            }
            return;
        }
        case 1: {
            const std::int32_t which = chance(3) ? OVEL_CANFD_ALL_CHANNELS : channel;
            log("flush " + std::to_string(which));
            const int code = ovel_canfd_flush(handle_, which, pick(3));
            expect("flush", code, {0, -1, OVEL_CANFD_ERR_TIMEOUT, OVEL_CANFD_ERR_INVALID_CHANNEL},
                   {"failed to flush"});
            return;
        }
        case 2: {
            log("get_failed_sends");
            std::array<ovel_canfd_failed_send, 8> failed{};
            std::uint32_t count = 99;
            expect("get_failed_sends",
                   ovel_canfd_get_failed_sends(handle_, failed.data(), failed.size(), &count), {0},
                   {});
            EXPECT_LE(count, failed.size());
            for (std::uint32_t i = 0; i < count && i < failed.size(); ++i) {
                EXPECT_GE(failed[i].reason, OVEL_CANFD_SEND_FAILED_TRANSFER);
                EXPECT_LE(failed[i].reason, OVEL_CANFD_SEND_FAILED_CLOSED);
            }
            return;
        }
        default:
            break;
    }
    const bool valid_channel = channel < CHANNELS;
    ovel_canfd_frame frame = numbered_frame(SEND_TX_ID + (valid_channel ? channel : 0), channel,
                                            valid_channel ? send_sequence_[channel] : 0);
    const std::uint32_t timeout_ms = chance(2) ? 0 : pick(5);
    log("send on " + std::to_string(channel) + " waiting " + std::to_string(timeout_ms));
    std::uint32_t id = 0;
    const int code = ovel_canfd_send(handle_, &frame, timeout_ms, chance(4) ? nullptr : &id);
    std::vector<int> codes = TRANSMIT_CODES;
    codes.push_back(OVEL_CANFD_ERR_BUSY);
    expect("send", code, codes, {"failed to send frame"});
    if (code == 0 && valid_channel) {
        ++send_sequence_[channel];
    }
    if (!open_) {
        expect_exactly("send", code, -1);
    } else if (all_known() && !any_started()) {
        expect_exactly("send", code, OVEL_CANFD_ERR_NOT_RUNNING);
    } else if (all_known() && !valid_channel) {
        expect_exactly("send", code, OVEL_CANFD_ERR_INVALID_CHANNEL);
    } else if (all_known() && started_[channel] == 0) {
        expect_exactly("send", code, OVEL_CANFD_ERR_NOT_RUNNING);
    }
}

void FaultStorm::register_callback() {
    switch (pick(4)) {
        case 0:
            log("set_rx_callback");
            expect("set_rx_callback", ovel_canfd_set_rx_callback(handle_, plain_callback), {0}, {});
            return;
        case 1:
            log("set_rx_callback NULL");
            expect("set_rx_callback", ovel_canfd_set_rx_callback(handle_, nullptr), {0}, {});
            return;
        case 2:
            log("set_rx_callback_ex NULL");
            expect("set_rx_callback_ex", ovel_canfd_set_rx_callback_ex(handle_, nullptr, nullptr),
                   {0}, {});
            return;
        default:
            log("set_rx_callback_ex");
            expect("set_rx_callback_ex",
                   ovel_canfd_set_rx_callback_ex(handle_, user_callback, &observer_), {0}, {});
            return;
    }
}

void FaultStorm::inject_fault() {
    if (!plugged_) {
        log("replug");
        plug_new(adapter_->replug());
        return;
    }
    faults_ = true;
    clean_ = false;
    static constexpr std::array<std::uint8_t, 5> requests = {
        ovsim::REQUEST_BITTIMING, ovsim::REQUEST_MODE, ovsim::REQUEST_DATA_BITTIMING,
        ovsim::REQUEST_DEVICE_CONFIG, ovsim::REQUEST_BT_CONST};
    const std::uint8_t request = requests[pick(requests.size())];
    // Long enough to need retries with backoff, short of what ends reception for good.
    const int heavy = chance(4) ? 50 : 1;
    switch (pick(13)) {
        case 0:
            last_fault_ = "stalled control request " + std::to_string(request);
            adapter_->set_control_status(request, LIBUSB_TRANSFER_STALL);
            break;
        case 1:
            last_fault_ = "unanswered control request " + std::to_string(request);
            adapter_->set_no_answer(request);
            break;
        case 2:
            last_fault_ = "short reply to control request " + std::to_string(request);
            adapter_->set_reply_length(request, static_cast<int>(pick(4)));
            break;
        case 3: {
            static constexpr std::array<std::uint8_t, 3> endpoints = {
                ovsim::ENDPOINT_CONTROL, ovsim::ENDPOINT_BULK_IN, ovsim::ENDPOINT_BULK_OUT};
            const std::uint8_t endpoint = endpoints[pick(endpoints.size())];
            const int count = static_cast<int>(1 + pick(8)) * heavy;
            last_fault_ = "refused submissions on endpoint " + std::to_string(endpoint) + " x" +
                          std::to_string(count);
            adapter_->refuse_submissions(endpoint, LIBUSB_ERROR_IO, count);
            break;
        }
        case 4: {
            static constexpr std::array<libusb_transfer_status, 4> statuses = {
                LIBUSB_TRANSFER_ERROR, LIBUSB_TRANSFER_STALL, LIBUSB_TRANSFER_OVERFLOW,
                LIBUSB_TRANSFER_TIMED_OUT};
            const libusb_transfer_status status = statuses[pick(statuses.size())];
            // Each stall is a halt the driver clears; a few in a row are still transient.
            const int count = status == LIBUSB_TRANSFER_STALL ? static_cast<int>(1 + pick(4))
                                                              : static_cast<int>(1 + pick(8)) * heavy;
            last_fault_ = "failed receive completions " + std::to_string(status) + " x" +
                          std::to_string(count);
            adapter_->fail_in(status, count);
            break;
        }
        case 5: {
            const std::uint32_t count = 1 + pick(10);
            last_fault_ = "garbage x" + std::to_string(count);
            garbage_.reset();
            if (reachable()) {
                if (const auto before = stats()) {
                    garbage_ = Garbage{device_generation_, count, dropped(*before)};
                }
            }
            for (std::uint32_t i = 0; i < count; ++i) {
                adapter_->feed_garbage(static_cast<std::uint32_t>(random_()));
            }
            break;
        }
        case 6: {
            const auto behaviour = static_cast<ovsim::OutBehaviour>(1 + pick(3));
            last_fault_ = "bulk OUT behaviour " + std::to_string(static_cast<int>(behaviour));
            adapter_->set_out_behaviour(behaviour);
            break;
        }
        case 7:
            last_fault_ = "refused cancellations";
            adapter_->refuse_cancellations(LIBUSB_ERROR_IO, static_cast<int>(1 + pick(40)));
            break;
        case 8:
            last_fault_ = chance(2) ? "open refused" : "claim refused";
            if (last_fault_ == "open refused") {
                adapter_->set_open_result(LIBUSB_ERROR_ACCESS);
            } else {
                adapter_->set_claim_result(LIBUSB_ERROR_BUSY);
            }
            break;
        case 9:
            last_fault_ = "libusb_init fails";
            ovsim::set_init_result(LIBUSB_ERROR_NO_MEM);
            init_fails_ = true;
            break;
        case 10: {
            const bool persists = chance(3);
            last_fault_ = persists ? "bulk IN halted for good" : "bulk IN halted";
            adapter_->halt_in(persists);
            reception_doubtful_ = reception_doubtful_ || persists;
            break;
        }
        case 11: {
            last_fault_ = "unplugged";
            const bool receiving = reachable() && all_known() && any_started() &&
                                   !reception_doubtful_;
            adapter_->unplug();
            plugged_ = false;
            if (receiving) {
                expect_reception_ends_unplugged();
            }
            break;
        }
        default: {
            last_fault_ = "replugged";
            const bool receiving = reachable() && all_known() && any_started() &&
                                   !reception_doubtful_;
            plug_new(adapter_->replug());
            if (receiving) {
                expect_reception_ends_unplugged();
            }
            break;
        }
    }
    log("fault: " + last_fault_);
}

void FaultStorm::clear_faults() {
    log("clear faults");
    adapter_->clear_faults();
    adapter_->set_out_behaviour(ovsim::OutBehaviour::Take);
    ovsim::set_init_result(0);
    init_fails_ = false;
    faults_ = false;
}

// A frame fed once a fault is over reaches the callback: reception did not die of it.
void FaultStorm::expect_reception_alive(const std::string& after) {
    log("probe after " + after);
    expect("set_rx_callback_ex", ovel_canfd_set_rx_callback_ex(handle_, user_callback, &observer_),
           {0}, {});
    ovsim::FrameSpec probe;
    probe.can_id = PROBE_ID;
    probe.dlc = 4;
    const std::uint32_t sequence = ++probe_sequence_;
    ++probes_;
    for (int i = 0; i < 4; ++i) {
        probe.data.push_back(static_cast<std::uint8_t>(sequence >> (8 * i)));
    }
    adapter_->feed_frame(probe);
    if (!observer_.wait_probe(sequence, std::chrono::seconds(10))) {
        ADD_FAILURE() << "reception did not survive: " << after;
        return;
    }
    const auto now = stats();
    if (now && now->rx_state != OVEL_CANFD_RX_RUNNING) {
        ADD_FAILURE() << "reception state " << now->rx_state << " after " << after;
    }
    // Every malformed frame came before the probe, so each has been looked at and dropped.
    // At least: frames fed by earlier faults may be dropped in the same period.
    if (now && garbage_ && garbage_->generation == device_generation_ &&
        dropped(*now) - garbage_->dropped_before < garbage_->count) {
        ADD_FAILURE() << dropped(*now) - garbage_->dropped_before << " drops counted for "
                      << garbage_->count << " malformed frames";
    }
    garbage_.reset();
}

std::optional<ovel_canfd_stats> FaultStorm::stats() {
    ovel_canfd_stats out{};
    out.size = sizeof out;
    const int code = ovel_canfd_get_stats(handle_, &out);
    expect("get_stats", code, {0, -1}, {"failed to get stats"});
    expect_exactly("get_stats", code, open_ ? 0 : -1);
    if (code != 0) {
        return std::nullopt;
    }
    if (out.size != sizeof out) {
        ADD_FAILURE() << "get_stats filled " << out.size << " bytes";
    }
    return out;
}

// Reception that was running ends, and says why, once its adapter is gone.
void FaultStorm::expect_reception_ends_unplugged() {
    std::optional<ovel_canfd_stats> now;
    const bool ended = eventually([&] {
        now = stats();
        return !now || (now->rx_state == OVEL_CANFD_RX_ENDED &&
                        now->rx_end_reason == OVEL_CANFD_RX_END_UNPLUGGED);
    });
    if (!ended) {
        ADD_FAILURE() << "reception state " << now->rx_state << ", reason "
                      << now->rx_end_reason << " after its adapter was unplugged";
    }
}

void FaultStorm::step() {
    if (handle_ == nullptr) {
        lifecycle();
        return;
    }
    switch (pick(20)) {
        case 0:
        case 1:
            lifecycle();
            break;
        case 2:
        case 3:
        case 4:
            configure();
            break;
        case 5:
        case 6:
        case 7:
        case 8:
            start_or_stop();
            break;
        case 9:
        case 10:
            transmit();
            break;
        case 11:
            send();
            break;
        case 12:
            register_callback();
            break;
        case 13:
        case 14:
        case 15:
            if (faults_) {
                clear_faults();
                if (reachable() && all_known() && any_started() && !reception_doubtful_) {
                    expect_reception_alive(last_fault_);
                }
            } else {
                inject_fault();
            }
            break;
        default:
            std::this_thread::sleep_for(std::chrono::milliseconds(pick(5)));  // let traffic flow
            break;
    }
}

TEST_F(FaultStorm, RandomCallsUnderInjectedFaultsKeepEveryInvariant) {
    const std::uint64_t seed = env_number("OVEL_STORM_SEED", std::random_device{}());
    const std::uint64_t seconds = env_number("OVEL_STORM_SECONDS", 3);
    const std::string replay = "replay with OVEL_STORM_SEED=" + std::to_string(seed);
    SCOPED_TRACE(replay);
    random_.seed(seed);
    watchdog_ = std::make_unique<Watchdog>(replay);
    observer = &observer_;
    plug_new(ovsim::add_adapter());

    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::uint64_t steps = 0;
    while (std::chrono::steady_clock::now() < end && !HasFailure()) {
        step();
        ++steps;
        std::lock_guard lock(observer_.mutex);
        for (const std::string& violation : observer_.violations) {
            ADD_FAILURE() << violation;
        }
        observer_.violations.clear();
    }
    if (HasFailure()) {
        std::string last;
        for (const std::string& s : steps_) {
            last += "  " + s + "\n";
        }
        ADD_FAILURE() << "last steps:\n" << last;
    }
    std::printf("fault storm: %llu steps, %llu frames, %llu faults survived, seed %llu\n",
                static_cast<unsigned long long>(steps),
                static_cast<unsigned long long>(observer_.frames.load()),
                static_cast<unsigned long long>(probes_),
                static_cast<unsigned long long>(seed));
    sender_.reset();
    if (handle_ != nullptr) {
        EXPECT_EQ(ovel_canfd_deinit(handle_), 0);
        handle_ = nullptr;
    }
    watchdog_.reset();
}

}  // namespace
}  // namespace ovel::test
