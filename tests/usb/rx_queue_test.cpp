#include "usb/rx_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>

#include "platform/cpu_number.h"

namespace ovel::usb {
namespace {

using PopResult = RxQueue::PopResult;
using gsusb::HostFrame;

using Clock = std::chrono::steady_clock;

constexpr auto BOUND = std::chrono::seconds(60);
// The race tests stop after this long even if not every round ran: on a loaded machine a
// round can cost a whole time slice, and the rounds that did run still probe the race.
constexpr auto RACE_BUDGET = std::chrono::seconds(3);
// ThreadSanitizer slows the close polling of the wake-up race a hundredfold: fewer rounds there.
#if defined(__SANITIZE_THREAD__)
constexpr std::uint32_t WAKE_RACE_ROUNDS = 2'000, DISCONNECT_RACE_ROUNDS = 500;
#else
constexpr std::uint32_t WAKE_RACE_ROUNDS = 60'000, DISCONNECT_RACE_ROUNDS = 10'000;
#endif

// Every byte of the frame depends on the sequence number, so a torn or misplaced copy shows.
HostFrame numbered_frame(std::uint32_t sequence) {
    HostFrame frame;
    frame.echo_id = sequence;
    frame.can_id = ~sequence;
    frame.dlc = static_cast<std::uint8_t>(sequence % 16);
    frame.channel = static_cast<std::uint8_t>(sequence % 3);
    frame.flags = static_cast<std::uint8_t>(sequence >> 8);
    frame.reserved = static_cast<std::uint8_t>(sequence >> 16);
    for (std::size_t i = 0; i < frame.data.size(); ++i) {
        frame.data[i] = static_cast<std::uint8_t>(std::size_t{sequence} * 31 + i);
    }
    frame.timestamp = sequence * 7 + 1;
    return frame;
}

bool is_numbered_frame(const HostFrame& frame, std::uint32_t sequence) {
    const HostFrame expected = numbered_frame(sequence);
    return std::memcmp(&frame, &expected, sizeof frame) == 0;
}

// Polls closely, so that a test can act within a few nanoseconds of a change.
template <typename Condition>
bool eventually(Condition condition) {
    const auto deadline = Clock::now() + BOUND;
    for (unsigned polls = 1; !condition(); ++polls) {
        if (polls % 1024 == 0) {
            if (Clock::now() > deadline) {
                return false;
            }
            std::this_thread::yield();
        }
    }
    return true;
}

// When an idle consumer falls asleep, measured from the start of its pop; races aim there.
class SleepMoment {
  public:
    void measure(Clock::duration asleep_after) {
        earliest_ = std::min(earliest_, asleep_after);
        latest_ = std::max(latest_, asleep_after);
    }
    // Mostly close to the moment, sometimes anywhere from the start of the pop to well after.
    Clock::duration pick(std::mt19937_64& random) const {
        const Clock::rep from = random() % 4 == 0 ? 0 : earliest_.count() / 2;
        const Clock::rep to = latest_.count() + earliest_.count() / 8;
        return Clock::duration(std::uniform_int_distribution<Clock::rep>(from, to)(random));
    }

  private:
    Clock::duration earliest_ = Clock::duration::max(), latest_{};
};

void wait_until(Clock::time_point moment) {
    while (Clock::now() < moment) {
    }
}

// One pop on a thread of its own; a pop that never returns fails the test instead of hanging it.
class PopThread {
  public:
    explicit PopThread(RxQueue& queue)
        : queue_(queue), thread_([this] {
              started_at_.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
              result_ = queue_.pop(frame_);
              done_.store(true, std::memory_order_release);
          }) {}
    ~PopThread() {
        while (!done_.load(std::memory_order_acquire)) {
            queue_.wake();
            std::this_thread::yield();
        }
        thread_.join();
    }
    bool returned() {
        return eventually([this] { return done_.load(std::memory_order_acquire); });
    }
    // When pop was entered; waits for it.
    Clock::time_point started_at() {
        eventually([this] { return started_at_.load(std::memory_order_acquire) != 0; });
        return Clock::time_point(Clock::duration(started_at_.load(std::memory_order_acquire)));
    }
    PopResult result() const { return result_; }

  private:
    RxQueue& queue_;
    PopResult result_{};
    HostFrame frame_;
    std::atomic<Clock::rep> started_at_{0};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

TEST(RxQueueTest, KeepsOrderAndEveryByteAcrossSegmentBoundaries) {
    RxQueue queue;
    std::uint32_t pushed = 0, popped = 0;
    HostFrame out;
    // Chunk sizes that start and end at many different offsets inside a segment.
    for (const std::size_t chunk :
         {std::size_t{1}, RX_SEGMENT_FRAMES - 1, RX_SEGMENT_FRAMES, RX_SEGMENT_FRAMES + 1,
          3 * RX_SEGMENT_FRAMES + 17, std::size_t{5}}) {
        for (std::size_t i = 0; i < chunk; ++i) {
            ASSERT_TRUE(queue.push(numbered_frame(pushed++)));
        }
        EXPECT_EQ(queue.size(), pushed - popped);
        // Leave some behind so that the next chunk is read partly from older segments.
        while (pushed - popped > chunk / 3) {
            ASSERT_EQ(queue.pop(out), PopResult::Frame);
            ASSERT_TRUE(is_numbered_frame(out, popped++)) << "frame " << popped - 1;
        }
    }
    while (popped < pushed) {
        ASSERT_EQ(queue.pop(out), PopResult::Frame);
        ASSERT_TRUE(is_numbered_frame(out, popped++)) << "frame " << popped - 1;
    }
    EXPECT_EQ(queue.size(), 0U);
}

TEST(RxQueueTest, GrowsWhileTheConsumerIsAwayAndReusesSegmentsAfterwards) {
    RxQueue queue;
    EXPECT_EQ(queue.segment_count(), 0U);
    const std::uint32_t backlog = 10 * RX_SEGMENT_FRAMES;
    for (std::uint32_t i = 0; i < backlog; ++i) {
        ASSERT_TRUE(queue.push(numbered_frame(i)));
    }
    EXPECT_EQ(queue.segment_count(), 10U);

    HostFrame out;
    for (std::uint32_t i = 0; i < backlog; ++i) {
        ASSERT_EQ(queue.pop(out), PopResult::Frame);
    }
    const std::size_t drained = queue.segment_count();
    EXPECT_LE(drained, RX_SPARE_SEGMENTS + 1);

    // A consumer that keeps up, with the producer up to most of a segment ahead.
    std::uint32_t next = backlog;
    for (int round = 0; round < 200; ++round) {
        for (int i = 0; i < 300; ++i) {
            ASSERT_TRUE(queue.push(numbered_frame(next + static_cast<std::uint32_t>(i))));
        }
        for (int i = 0; i < 300; ++i) {
            ASSERT_EQ(queue.pop(out), PopResult::Frame);
            ASSERT_TRUE(is_numbered_frame(out, next++));
        }
        ASSERT_EQ(queue.segment_count(), drained) << "round " << round;
    }
}

TEST(RxQueueTest, WakeIsRememberedTakesPriorityOnceAndEndsABlockedPop) {
    RxQueue queue;
    ASSERT_TRUE(queue.push(numbered_frame(1)));
    queue.wake();
    queue.wake();  // wakes do not add up
    HostFrame out;
    EXPECT_EQ(queue.pop(out), PopResult::Woken);
    EXPECT_EQ(queue.pop(out), PopResult::Frame);
    EXPECT_TRUE(is_numbered_frame(out, 1));

    PopThread sleeper(queue);
    ASSERT_TRUE(eventually([&] { return queue.consumer_sleeping(); }));
    queue.wake();
    ASSERT_TRUE(sleeper.returned());
    EXPECT_EQ(sleeper.result(), PopResult::Woken);
}

// A producer polling for a sending loop's echoes may leave the consumer asleep for a while, but
// never past its own next end_batch() nor past a batch's worth of frames.
TEST(RxQueueTest, DeferredWakeComesWithTheNextEndBatchOrABatchOfFrames) {
    RxQueue queue;
    {
        PopThread sleeper(queue);
        ASSERT_TRUE(eventually([&] { return queue.consumer_sleeping(); }));
        ASSERT_TRUE(queue.push(numbered_frame(0)));
        queue.end_batch_deferring_wake();
        EXPECT_TRUE(queue.consumer_sleeping()) << "one frame does not wake it yet";
        queue.end_batch();
        ASSERT_TRUE(sleeper.returned());
        EXPECT_EQ(sleeper.result(), PopResult::Frame);
    }
    PopThread sleeper(queue);
    ASSERT_TRUE(eventually([&] { return queue.consumer_sleeping(); }));
    for (std::uint32_t i = 1; i <= 64; ++i) {
        ASSERT_TRUE(queue.push(numbered_frame(i)));
        queue.end_batch_deferring_wake();
    }
    ASSERT_TRUE(sleeper.returned());
    EXPECT_EQ(sleeper.result(), PopResult::Frame);
}

TEST(RxQueueTest, DisconnectDeliversWhatIsLeftThenReportsAndEndsABlockedPop) {
    RxQueue queue;
    for (std::uint32_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(queue.push(numbered_frame(i)));
    }
    queue.disconnect();
    HostFrame out;
    for (std::uint32_t i = 0; i < 3; ++i) {
        ASSERT_EQ(queue.pop(out), PopResult::Frame);
        EXPECT_TRUE(is_numbered_frame(out, i));
    }
    EXPECT_EQ(queue.pop(out), PopResult::Disconnected);
    queue.wake();
    EXPECT_EQ(queue.pop(out), PopResult::Woken);
    EXPECT_EQ(queue.pop(out), PopResult::Disconnected);

    RxQueue idle;
    PopThread sleeper(idle);
    ASSERT_TRUE(eventually([&] { return idle.consumer_sleeping(); }));
    idle.disconnect();
    ASSERT_TRUE(sleeper.returned());
    EXPECT_EQ(sleeper.result(), PopResult::Disconnected);
}

// A frame or a wake() arriving while the consumer is falling asleep, or already asleep, must
// always wake it: each lands at a random point of the consumer's way from its last pop to sleep.
TEST(RxQueueTest, EveryPushAndWakeReachesAConsumerFallingAsleep) {
    RxQueue queue;
    std::atomic<std::uint32_t> returns{0}, frames{0};
    std::atomic<Clock::rep> returned_at{0};
    std::atomic<bool> wrong_frame{false};
    std::thread consumer([&] {
        HostFrame out;
        for (PopResult result; (result = queue.pop(out)) != PopResult::Disconnected;) {
            if (result == PopResult::Frame && !is_numbered_frame(out, frames++)) {
                wrong_frame.store(true);
            }
            returned_at.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
            returns.fetch_add(1, std::memory_order_release);
        }
    });
    const auto last_return = [&] { return Clock::time_point(Clock::duration(returned_at)); };
    std::uint32_t pushed = 0;
    const auto push_or_wake_and_wait = [&](std::uint32_t round, bool wake) {
        if (wake) {
            queue.wake();
        } else if (!queue.push(numbered_frame(pushed++))) {
            return false;
        } else {
            queue.end_batch();
        }
        return eventually([&] { return returns.load(std::memory_order_acquire) > round; });
    };

    SleepMoment sleep_moment;
    std::uint32_t round = 0;
    for (; round < 50; ++round) {
        ASSERT_TRUE(push_or_wake_and_wait(round, false));
        ASSERT_TRUE(eventually([&] { return queue.consumer_sleeping(); }));
        sleep_moment.measure(Clock::now() - last_return());
    }
    std::mt19937_64 random(7);
    const auto race_end = Clock::now() + RACE_BUDGET;
    for (; round < WAKE_RACE_ROUNDS && Clock::now() < race_end; ++round) {
        const bool wake = random() % 2 == 0;
        wait_until(last_return() + sleep_moment.pick(random));
        if (!push_or_wake_and_wait(round, wake)) {
            ADD_FAILURE() << "round " << round << ": " << (wake ? "wake" : "push") << " was lost";
            break;
        }
    }
    queue.disconnect();
    consumer.join();
    EXPECT_FALSE(wrong_frame.load());
    EXPECT_EQ(frames.load(), pushed);
}

TEST(RxQueueTest, DisconnectRacingWithAConsumerFallingAsleepIsNeverLost) {
    SleepMoment sleep_moment;
    std::mt19937_64 random(11);
    const auto race_end = Clock::now() + RACE_BUDGET;
    for (std::uint32_t round = 0; round < DISCONNECT_RACE_ROUNDS && Clock::now() < race_end;
         ++round) {
        RxQueue queue;
        PopThread consumer(queue);
        if (round < 20) {
            ASSERT_TRUE(eventually([&] { return queue.consumer_sleeping(); }));
            sleep_moment.measure(Clock::now() - consumer.started_at());
        } else {
            wait_until(consumer.started_at() + sleep_moment.pick(random));
        }
        queue.disconnect();
        ASSERT_TRUE(consumer.returned()) << "round " << round;
        EXPECT_EQ(consumer.result(), PopResult::Disconnected);
    }
}

// Under a budget far longer than the test, the consumer sleeps with frames waiting; whenever
// RX_BUDGET_WAKE_FRAMES are waiting it must be woken, however the pushes fall against its
// falling asleep: a lost wake-up leaves frames behind for the whole budget.
TEST(RxQueueTest, UnderABudgetEnoughWaitingFramesAlwaysWakeTheConsumer) {
    RxQueue queue;
    queue.set_latency_budget(std::chrono::hours(1));
    std::atomic<std::uint32_t> popped{0};
    std::atomic<bool> wrong_frame{false};
    std::thread consumer([&] {
        HostFrame out;
        for (PopResult result; (result = queue.pop(out)) != PopResult::Disconnected;) {
            if (result == PopResult::Frame &&
                !is_numbered_frame(out, popped.load(std::memory_order_relaxed))) {
                wrong_frame.store(true);
            }
            popped.fetch_add(result == PopResult::Frame ? 1 : 0, std::memory_order_release);
        }
    });
    std::mt19937_64 random(13);
    std::uint32_t pushed = 0;
    const auto race_end = Clock::now() + RACE_BUDGET;
    for (std::uint32_t round = 0; round < WAKE_RACE_ROUNDS / 10 && Clock::now() < race_end;
         ++round) {
        for (auto batch = 1 + random() % 300; batch > 0; --batch) {
            ASSERT_TRUE(queue.push(numbered_frame(pushed++)));
            if (random() % 8 == 0) {
                queue.end_batch();
            }
        }
        queue.end_batch();
        ASSERT_TRUE(eventually([&] {
            return pushed - popped.load(std::memory_order_acquire) < RX_BUDGET_WAKE_FRAMES;
        })) << "round " << round << ": " << pushed - popped.load() << " frames left waiting";
    }
    queue.disconnect();
    consumer.join();
    EXPECT_FALSE(wrong_frame.load());
    EXPECT_EQ(popped.load(), pushed) << "disconnect delivers what waited for the budget";
}

// Millions of frames with random stalls on both sides, so that the queue both grows and runs dry
// while the consumer sleeps; the consuming thread is replaced a few times on the way.
// Sharing one CPU, the consumer must not spin (it would keep the producer off that CPU for its
// whole polling window) and must still get every frame: it sleeps and is woken far more often.
TEST(RxQueueTest, ProducerAndConsumerOnOneCpuDeliverEveryFrameInOrder) {
    constexpr std::uint32_t FRAMES = 200'000;
    const int cpu = platform::current_cpu();
    if (cpu < 0) {
        GTEST_SKIP() << "this system does not tell the CPU a thread runs on";
    }
    const auto pin = [cpu] { return platform::pin_this_thread_to_cpu(cpu); };
    RxQueue queue;
    std::atomic<bool> pinned_producer{false};
    std::thread producer([&] {
        pinned_producer.store(pin());
        std::mt19937 random(7);
        for (std::uint32_t i = 0; i < FRAMES; ++i) {
            if (random() % 2'000 == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 200));
            }
            queue.push(numbered_frame(i));
            if (i % 16 == 0) {
                queue.end_batch();
            }
        }
        queue.disconnect();
    });
    std::uint32_t expected = 0;
    bool in_order = true;
    std::atomic<bool> done{false};
    std::thread consumer([&] {
        in_order = pin();
        HostFrame out;
        while (in_order && queue.pop(out) == PopResult::Frame) {
            in_order = is_numbered_frame(out, expected++);
        }
        done.store(true, std::memory_order_release);
    });
    const bool returned = eventually([&] { return done.load(std::memory_order_acquire); });
    if (!returned) {
        queue.wake();
    }
    consumer.join();
    producer.join();
    ASSERT_TRUE(returned) << "consumer stuck at frame " << expected;
    EXPECT_TRUE(pinned_producer.load());
    EXPECT_TRUE(in_order) << "wrong frame (or no pinning) at " << expected;
    EXPECT_EQ(expected, FRAMES);
}

TEST(RxQueueTest, TwoThreadStressDeliversEveryFrameOnceInOrder) {
    constexpr std::uint32_t FRAMES = 3'000'000, CONSUMERS = 4;
    RxQueue queue;
    std::atomic<bool> push_failed{false};
    std::thread producer([&] {
        std::mt19937 random(1);
        for (std::uint32_t i = 0; i < FRAMES; ++i) {
            if (random() % 20'000 == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
            }
            if (!queue.push(numbered_frame(i))) {
                push_failed.store(true);
            }
            if (random() % 4 == 0) {  // batches of a few frames, as the event thread makes them
                queue.end_batch();
            }
        }
        queue.disconnect();
    });

    std::uint32_t expected = 0;
    std::atomic<bool> failed{false};
    for (std::uint32_t c = 0; c < CONSUMERS; ++c) {
        const std::uint32_t end = c + 1 == CONSUMERS ? FRAMES : FRAMES / CONSUMERS * (c + 1);
        std::atomic<bool> done{false};
        std::thread consumer([&, c] {
            std::mt19937 random(100 + c);
            HostFrame out;
            while (expected < end && queue.pop(out) == PopResult::Frame) {
                if (!is_numbered_frame(out, expected++)) {
                    failed.store(true);
                    break;
                }
                if (random() % 100'000 == 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1 + random() % 3));
                }
            }
            done.store(true, std::memory_order_release);
        });
        const bool returned = eventually([&] { return done.load(std::memory_order_acquire); });
        if (!returned) {
            queue.wake();
        }
        consumer.join();
        ASSERT_TRUE(returned) << "consumer stuck at frame " << expected;
        ASSERT_FALSE(failed.load()) << "wrong frame at " << expected - 1;
        ASSERT_EQ(expected, end);
    }
    producer.join();
    EXPECT_FALSE(push_failed.load());
    HostFrame out;
    EXPECT_EQ(queue.pop(out), PopResult::Disconnected);
    EXPECT_EQ(queue.size(), 0U);
}

}  // namespace
}  // namespace ovel::usb
