// Receive callbacks that stop, restart, close, reopen, swap or free their own handle, and calls
// from other threads meanwhile: at most one callback of a handle runs at a time, and once a
// stop of the last channel, a close, a deinit or a swap has returned, the old callback is not
// running and is not called again.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>

#include "sim_fixture.h"

namespace ovel::test {
namespace {

using std::chrono::milliseconds;

// Runs `body` on another thread and waits for it within a bound; a deadlock fails the run
// instead of hanging it.
void run_or_abort(const char* what, const std::function<void()>& body,
                  std::chrono::seconds bound = std::chrono::seconds(60)) {
    auto done = std::async(std::launch::async, body);
    if (done.wait_for(bound) != std::future_status::ready) {
        std::fprintf(stderr, "deadlock: %s did not finish within %lld s\n", what,
                     static_cast<long long>(bound.count()));
        std::abort();
    }
    done.get();
}

// Lingers inside a callback until `flag` is set by another thread, at most `bound`: whether it
// was set. The bound is what passes when the library rightly waits for the callback instead.
bool seen_within(const std::atomic<bool>& flag, milliseconds bound) {
    return eventually([&] { return flag.load(); }, bound);
}

ovsim::FrameSpec frame(std::uint32_t id) {
    ovsim::FrameSpec f;
    f.can_id = id;
    f.dlc = 1;
    f.data = {static_cast<std::uint8_t>(id)};
    return f;
}

// A callback that counts its calls and notices two of them at once; `action` runs inside each
// call with its number (from 1).
struct Probe {
    std::atomic<int> calls{0};
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::function<void(int)> action;

    static void on_frame(const ovel_canfd_frame*, void* user) {
        auto& self = *static_cast<Probe*>(user);
        if (self.inside.fetch_add(1) != 0) {
            self.overlapped = true;
        }
        const int call = self.calls.fetch_add(1) + 1;
        if (self.action) {
            self.action(call);
        }
        self.inside.fetch_sub(1);
    }
};

class NestedCalls : public SimTest {};

// stop, start, stop from inside the callback: the second period's thread, waiting for the
// calling one, is asked to stop and ends; nothing hangs, and deinit later frees everything.
TEST_F(NestedCalls, StopStartStopFromInsideTheCallbackNeitherHangsNorLeavesAThread) {
    ovsim::Adapter& adapter = ovsim::add_adapter();
    ovel_canfd_driver* h = open_handle();
    Probe probe;
    probe.action = [&](int call) {
        if (call == 1) {
            EXPECT_EQ(ovel_canfd_stop(h, 0), 0);
            EXPECT_EQ(ovel_canfd_start(h, 0), 0);
            EXPECT_EQ(ovel_canfd_stop(h, 0), 0);
        }
    };
    ASSERT_EQ(ovel_canfd_set_rx_callback_ex(h, &Probe::on_frame, &probe), 0);
    for (std::uint32_t i = 0; i < 3; ++i) {
        adapter.feed_frame(frame(i));
    }
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    run_or_abort("the callback that stopped, started and stopped", [&] {
        ASSERT_TRUE(eventually([&] { return probe.calls.load() == 1 && probe.inside.load() == 0; },
                               std::chrono::seconds(30)));
    });
    forget_handle(h);
    run_or_abort("deinit after it", [&] { EXPECT_EQ(ovel_canfd_deinit(h), 0); });
    EXPECT_EQ(probe.calls.load(), 1) << "a callback after the stop from inside";
    EXPECT_FALSE(probe.overlapped.load());
}

// A close from inside the callback leaves its thread with the handle: a deinit from another
// thread returns only once that callback has. A close, open and start from inside it: the new
// adapter's frames wait until the calling callback has returned.
TEST_F(NestedCalls, ACallbackThatClosedIsWaitedForAndItsReopenDoesNotOverlapIt) {
    {
        ovsim::Adapter& adapter = ovsim::add_adapter();
        ovel_canfd_driver* h = open_handle();
        Probe probe;
        std::atomic<bool> closed{false}, deinit_returned{false}, ran_after_deinit{false};
        probe.action = [&](int call) {
            if (call == 1) {
                EXPECT_EQ(ovel_canfd_close(h), 0);
                closed = true;
                ran_after_deinit = seen_within(deinit_returned, milliseconds(500));
            }
        };
        ASSERT_EQ(ovel_canfd_set_rx_callback_ex(h, &Probe::on_frame, &probe), 0);
        adapter.feed_frame(frame(1));
        ASSERT_EQ(ovel_canfd_start(h, 0), 0);
        ASSERT_TRUE(eventually([&] { return closed.load(); }));
        forget_handle(h);
        EXPECT_EQ(ovel_canfd_deinit(h), 0);
        deinit_returned = true;
        ASSERT_TRUE(eventually([&] { return probe.inside.load() == 0; }));
        EXPECT_FALSE(ran_after_deinit.load()) << "deinit returned while the callback still ran";
        expect_nothing_left();
        ovsim::reset();
    }
    ovsim::Adapter& adapter = ovsim::add_adapter();
    ovel_canfd_driver* h = open_handle();
    Probe probe;
    probe.action = [&](int call) {
        if (call == 1) {
            EXPECT_EQ(ovel_canfd_close(h), 0);
            EXPECT_EQ(ovel_canfd_open(h), 0) << last_error(h);
            EXPECT_EQ(ovel_canfd_start(h, 0), 0);
            adapter.feed_frame(frame(2));
            // Time for a second dispatcher to misbehave; nothing waits on this.
            (void)eventually([&] { return probe.calls.load() > 1; }, milliseconds(300));
        }
    };
    ASSERT_EQ(ovel_canfd_set_rx_callback_ex(h, &Probe::on_frame, &probe), 0);
    adapter.feed_frame(frame(1));
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_TRUE(eventually([&] { return probe.calls.load() == 2 && probe.inside.load() == 0; }));
    EXPECT_FALSE(probe.overlapped.load()) << "two callbacks ran at once";
    EXPECT_EQ(ovel_canfd_stop(h, 0), 0);
}

// After a restart from inside the callback, a swap from another thread waits for that call:
// once it has returned, the old callback (and its user pointer) is done with.
TEST_F(NestedCalls, ASwapAfterARestartFromInsideWaitsForTheOldCallback) {
    ovsim::Adapter& adapter = ovsim::add_adapter();
    ovel_canfd_driver* h = open_handle();
    Probe first, second;
    std::atomic<bool> restarted{false}, swapped{false}, ran_after_swap{false};
    first.action = [&](int call) {
        if (call == 1) {
            EXPECT_EQ(ovel_canfd_stop(h, 0), 0);
            EXPECT_EQ(ovel_canfd_start(h, 0), 0);
            restarted = true;
            ran_after_swap = seen_within(swapped, milliseconds(500));
        }
    };
    ASSERT_EQ(ovel_canfd_set_rx_callback_ex(h, &Probe::on_frame, &first), 0);
    for (std::uint32_t i = 0; i < 3; ++i) {
        adapter.feed_frame(frame(i));
    }
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_TRUE(eventually([&] { return restarted.load(); }));
    ASSERT_EQ(ovel_canfd_set_rx_callback_ex(h, &Probe::on_frame, &second), 0);
    swapped = true;
    EXPECT_TRUE(eventually([&] { return second.calls.load() == 2; }));
    ASSERT_TRUE(eventually([&] { return first.inside.load() == 0; }));
    EXPECT_FALSE(ran_after_swap.load()) << "the replaced callback still ran after the swap";
    EXPECT_EQ(first.calls.load(), 1);
    EXPECT_EQ(ovel_canfd_stop(h, 0), 0);
}

// A start that fails once its dispatch thread runs returns only once that thread has ended:
// no callback runs after the failure has been reported. Here the start first waits for the
// receive transfers of a stop whose cancellation failed (they come back by their 3 s time-out)
// while the new thread delivers the frames that stop left queued, then its submission fails.
TEST_F(NestedCalls, AFailedStartReturnsOnlyOnceItsCallbackHasReturned) {
    ovsim::set_time_scale(0.6);
    ovsim::Adapter& adapter = ovsim::add_adapter();
    ovel_canfd_driver* h = open_handle();
    Probe probe;
    std::atomic<bool> start_returned{false}, ran_after_failure{false};
    probe.action = [&](int call) {
        if (call == 1) {
            // Frames 2 to 4 are queued; the stop keeps them for the next start.
            EXPECT_TRUE(eventually([&] {
                ovel_canfd_stats stats{};
                stats.size = sizeof stats;
                return ovel_canfd_get_stats(h, &stats) == 0 && stats.rx_frames >= 4;
            }));
            adapter.refuse_cancellations(LIBUSB_ERROR_OTHER);
            EXPECT_EQ(ovel_canfd_stop(h, 0), OVEL_CANFD_ERR_DEVICE);
        } else if (call == 2) {
            ran_after_failure = seen_within(start_returned, milliseconds(3000));
        } else if (start_returned.load()) {
            ran_after_failure = true;  // the queued frames may follow, but only before it returns
        }
    };
    ASSERT_EQ(ovel_canfd_set_rx_callback_ex(h, &Probe::on_frame, &probe), 0);
    for (std::uint32_t i = 1; i <= 4; ++i) {
        adapter.feed_frame(frame(i));
    }
    ASSERT_EQ(ovel_canfd_start(h, 0), 0);
    ASSERT_TRUE(eventually([&] { return probe.calls.load() == 1 && probe.inside.load() == 0; }));
    adapter.refuse_submissions(0x81, LIBUSB_ERROR_IO);
    EXPECT_EQ(ovel_canfd_start(h, 0), OVEL_CANFD_ERR_DEVICE);
    start_returned = true;
    ASSERT_TRUE(eventually([&] { return probe.inside.load() == 0; }));
    EXPECT_FALSE(ran_after_failure.load()) << "a callback ran after the failed start returned";
    EXPECT_GE(probe.calls.load(), 2);
    adapter.clear_faults();
}

// ---------------------------------------------------------------------------------------------
// The storm: random nestings of stop, start, close, open, swap and deinit, from inside the
// callback and from another thread, checked against the rule above.

class Storm;

// One registration: its callback is called with this as the user pointer.
struct Token {
    struct Round* round;
    std::uint64_t id;
};

// One handle's life, from init to deinit. Kept until the end of the test, so that a callback
// the library wrongly calls late still finds it.
struct Round {
    Storm* storm = nullptr;
    ovel_canfd_driver* handle = nullptr;
    std::uint64_t number = 0;

    std::atomic<int> inside{0};
    std::atomic<std::uint64_t> calls{0};
    // Set once a stop, close or deinit from outside returned with no start made from inside
    // meanwhile (or once a deinit from inside returned): no callback may begin while it is set.
    std::atomic<bool> quiet{false};
    std::atomic<std::uint64_t> inside_starts{0};
    std::atomic<bool> calm{false};        // callbacks make no calls
    std::atomic<bool> deinit_token{false};  // taken by the one that frees the handle
    std::atomic<bool> freed_inside{false};

    // Swaps get increasing ids when they begin; one that began once every swap up to id n had
    // returned retires the tokens up to n when it returns.
    std::mutex swaps_mutex;
    std::uint64_t next_id = 1;
    std::set<std::uint64_t> swaps_running;
    std::deque<Token> tokens;
    std::atomic<std::uint64_t> retired_up_to{0};

    std::atomic<int> overlaps{0}, retired_calls{0}, quiet_calls{0}, failed_calls{0};
};

class Storm {
  public:
    explicit Storm(std::uint32_t seed) : seed_(seed) {}

    static void on_frame(const ovel_canfd_frame*, void* user) {
        const Token& token = *static_cast<const Token*>(user);
        Round& round = *token.round;
        if (round.inside.fetch_add(1) != 0) {
            ++round.overlaps;
        }
        if (token.id <= round.retired_up_to.load()) {
            ++round.retired_calls;
        }
        if (round.quiet.load()) {
            ++round.quiet_calls;
        }
        const std::uint64_t call = round.calls.fetch_add(1);
        round.storm->act_inside(round, call);
        round.inside.fetch_sub(1);
    }

    // Registers a new token's callback; from any thread.
    static void swap(Round& round) {
        Token* token = nullptr;
        std::uint64_t id = 0, retires = 0;
        {
            std::lock_guard lock(round.swaps_mutex);
            id = round.next_id++;
            retires = (round.swaps_running.empty() ? id : *round.swaps_running.begin()) - 1;
            round.swaps_running.insert(id);
            token = &round.tokens.emplace_back(Token{&round, id});
        }
        if (ovel_canfd_set_rx_callback_ex(round.handle, &Storm::on_frame, token) != 0) {
            ++round.failed_calls;
        }
        {
            std::lock_guard lock(round.swaps_mutex);
            round.swaps_running.erase(id);
        }
        std::uint64_t seen = round.retired_up_to.load();
        while (seen < retires && !round.retired_up_to.compare_exchange_weak(seen, retires)) {
        }
    }

    // What a callback does: mostly nothing, now and then one of the nestings.
    void act_inside(Round& round, std::uint64_t call) {
        ovel_canfd_driver* h = round.handle;
        if (round.deinit_token.exchange(false)) {
            EXPECT_EQ(ovel_canfd_deinit(h), 0);
            round.quiet = true;
            round.freed_inside = true;
            return;
        }
        if (round.calm.load()) {
            return;
        }
        std::mt19937 random(seed_ ^ static_cast<std::uint32_t>(round.number * 7919 + call));
        const auto choice = random() % 40;
        // Counted once it has taken effect: an outside call that may have missed it sees it.
        auto start = [&] {
            (void)ovel_canfd_start(h, 0);
            ++round.inside_starts;
        };
        switch (choice) {
            case 0:
                (void)ovel_canfd_stop(h, 0);
                break;
            case 1:
                start();
                break;
            case 2:
                (void)ovel_canfd_stop(h, 0);
                start();
                break;
            case 3:
                (void)ovel_canfd_stop(h, 0);
                start();
                (void)ovel_canfd_stop(h, 0);
                break;
            case 4:
                (void)ovel_canfd_close(h);
                break;
            case 5:
                (void)ovel_canfd_close(h);
                (void)ovel_canfd_open(h);
                start();
                break;
            case 6:
                (void)ovel_canfd_open(h);
                start();
                break;
            case 7:
            case 8:
                swap(round);
                break;
            default:
                break;
        }
    }

    // The other thread's side of one round.
    void run_round(Round& round, std::mt19937& random) {
        ovel_canfd_driver* h = round.handle;
        ASSERT_EQ(ovel_canfd_open(h), 0) << ovel_canfd_get_last_error(h);
        swap(round);
        round.quiet = false;
        ASSERT_EQ(ovel_canfd_start(h, 0), 0);
        const int operations = 10 + static_cast<int>(random() % 30);
        for (int op = 0; op < operations; ++op) {
            switch (random() % 8) {
                case 0:
                    ending_call(round, [&] { (void)ovel_canfd_stop(h, 0); });
                    break;
                case 1:
                case 2:
                    round.quiet = false;
                    (void)ovel_canfd_start(h, 0);
                    break;
                case 3:
                    ending_call(round, [&] { (void)ovel_canfd_close(h); });
                    break;
                case 4:
                    (void)ovel_canfd_open(h);
                    break;
                case 5:
                    swap(round);
                    break;
                default: {
                    // Lets some callbacks (and their nestings) happen.
                    const std::uint64_t before = round.calls.load();
                    (void)eventually([&] { return round.calls.load() > before + 3; },
                                     milliseconds(20));
                }
            }
        }
        if (random() % 2 == 0 && free_from_inside(round)) {
            return;
        }
        // Calm the callbacks, and stop until no callback can begin, before the free: no other
        // thread may be calling on the handle then.
        round.calm = true;
        for (int attempt = 0; attempt < 100 && !round.quiet.load(); ++attempt) {
            ending_call(round, [&] { (void)ovel_canfd_stop(h, 0); });
        }
        EXPECT_TRUE(round.quiet.load());
        ending_call(round, [&] { EXPECT_EQ(ovel_canfd_deinit(h), 0); });
        round.quiet = true;
    }

  private:
    // A stop, close or deinit from outside: once it has returned, no callback begins until the
    // next start (unless a callback started reception again while it ran).
    static void ending_call(Round& round, const std::function<void()>& call) {
        const std::uint64_t starts = round.inside_starts.load();
        call();
        if (round.inside_starts.load() == starts) {
            round.quiet = true;
        }
    }

    // Leaves the deinit to a callback; false (and nothing freed) if none came to take it.
    static bool free_from_inside(Round& round) {
        if (ovel_canfd_get_channel_count(round.handle) < 0) {
            (void)ovel_canfd_open(round.handle);
        }
        round.quiet = false;
        (void)ovel_canfd_start(round.handle, 0);
        round.calm = true;
        round.deinit_token = true;
        if (eventually([&] { return round.freed_inside.load(); }, milliseconds(500))) {
            return true;
        }
        if (round.deinit_token.exchange(false)) {
            return false;
        }
        // A callback took it just now.
        EXPECT_TRUE(eventually([&] { return round.freed_inside.load(); }));
        return true;
    }

    std::uint32_t seed_;
};

TEST_F(NestedCalls, StormOfNestedStopsStartsClosesOpensSwapsAndDeinitsKeepsTheRule) {
    std::uint32_t seed = std::random_device{}();
    if (const char* given = std::getenv("OVEL_STORM_SEED")) {
        seed = static_cast<std::uint32_t>(std::strtoul(given, nullptr, 10));
    }
    std::printf("storm seed %u (OVEL_STORM_SEED=%u repeats its choices)\n", seed, seed);
    SCOPED_TRACE("storm seed " + std::to_string(seed));

    ovsim::Adapter& adapter = ovsim::add_adapter();
    ovsim::StreamSpec stream;
    stream.rate_hz = 4000;
    adapter.start_stream(stream);
    Storm storm(seed);
    std::mt19937 random(seed);
    std::deque<Round> rounds;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    run_or_abort("the storm", [&] {
        while (std::chrono::steady_clock::now() < deadline) {
            Round& round = rounds.emplace_back();
            round.storm = &storm;
            round.number = rounds.size();
            round.handle = ovel_canfd_init();
            ASSERT_NE(round.handle, nullptr);
            storm.run_round(round, random);
            ASSERT_TRUE(eventually([&] { return round.inside.load() == 0; }));
            if (::testing::Test::HasFatalFailure()) {
                return;
            }
        }
    });
    adapter.stop_stream();
    std::uint64_t calls = 0;
    for (const Round& round : rounds) {
        calls += round.calls.load();
        EXPECT_EQ(round.overlaps.load(), 0) << "round " << round.number << ": callbacks at once";
        EXPECT_EQ(round.retired_calls.load(), 0)
            << "round " << round.number << ": a callback called after its swap returned";
        EXPECT_EQ(round.quiet_calls.load(), 0)
            << "round " << round.number << ": a callback after a stop, close or deinit returned";
        EXPECT_EQ(round.failed_calls.load(), 0) << "round " << round.number;
    }
    std::printf("storm: %zu rounds, %llu callbacks\n", rounds.size(),
                static_cast<unsigned long long>(calls));
    EXPECT_GT(calls, 0u);
}

}  // namespace
}  // namespace ovel::test
