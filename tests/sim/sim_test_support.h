// Helpers for the simulator's own tests: a context with an open handle, an event thread,
// and a log of completions that the tests wait on with a generous bound.
#pragma once

#include "ovsim/sim.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ovsim::test {

inline constexpr std::chrono::seconds WAIT_BOUND{10};

// Polls a condition that another thread makes true; false if it never does within the bound.
template <typename Predicate>
bool eventually(Predicate predicate) {
    const auto give_up = std::chrono::steady_clock::now() + WAIT_BOUND;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > give_up) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct Completion {
    libusb_transfer* transfer;
    libusb_transfer_status status;
    int actual_length;
    std::thread::id thread;
    std::vector<std::uint8_t> data;  // the first actual_length bytes (after the setup if control)
    std::chrono::steady_clock::time_point called_at;  // when the callback started
};

// Records every completion; `on_complete` runs inside the callback after recording.
class CompletionLog {
  public:
    static void LIBUSB_CALL callback(libusb_transfer* transfer) {
        static_cast<CompletionLog*>(transfer->user_data)->record(transfer);
    }

    bool wait_for(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, WAIT_BOUND, [&] { return entries_.size() >= count; });
    }

    std::vector<Completion> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }

    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return entries_.size();
    }

    std::function<void(libusb_transfer*)> on_complete;

  private:
    void record(libusb_transfer* transfer) {
        const auto called_at = std::chrono::steady_clock::now();
        const std::size_t offset =
            transfer->type == LIBUSB_TRANSFER_TYPE_CONTROL ? LIBUSB_CONTROL_SETUP_SIZE : 0;
        const std::uint8_t* data = transfer->buffer + offset;
        {
            std::lock_guard lock(mutex_);
            entries_.push_back(
                {transfer, transfer->status, transfer->actual_length, std::this_thread::get_id(),
                 std::vector<std::uint8_t>(data, data + transfer->actual_length), called_at});
        }
        changed_.notify_all();
        if (on_complete) {
            on_complete(transfer);
        }
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Completion> entries_;
};

// Runs libusb_handle_events in a loop, as the driver's USB event thread does.
class EventThread {
  public:
    explicit EventThread(libusb_context* context)
        : context_(context), thread_([this] {
              while (running_.load()) {
                  libusb_handle_events(context_);
              }
          }) {}
    ~EventThread() { stop(); }

    void stop() {
        if (thread_.joinable()) {
            running_.store(false);
            libusb_interrupt_event_handler(context_);
            thread_.join();
        }
    }

    std::thread::id id() const { return thread_.get_id(); }

  private:
    libusb_context* context_;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

class Context {
  public:
    Context() { EXPECT_EQ(libusb_init(&context_), 0); }
    ~Context() { libusb_exit(context_); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    libusb_context* get() const { return context_; }

  private:
    libusb_context* context_ = nullptr;
};

// A context with the first adapter opened and claimed. Transfers made with alloc() are freed
// after the handle is closed, so a test may end with transfers in flight.
class Session {
  public:
    Session() {
        EXPECT_EQ(libusb_init(&context), 0);
        libusb_device** list = nullptr;
        if (libusb_get_device_list(context, &list) > 0) {
            EXPECT_EQ(libusb_open(list[0], &handle), 0);
            EXPECT_EQ(libusb_claim_interface(handle, 0), 0);
        }
        libusb_free_device_list(list, 1);
    }

    ~Session() {
        events.reset();
        close();
        for (libusb_transfer* transfer : transfers_) {
            libusb_free_transfer(transfer);
        }
        libusb_exit(context);
    }

    void close() {
        if (handle != nullptr) {
            libusb_close(handle);
            handle = nullptr;
        }
    }

    void start_events() { events = std::make_unique<EventThread>(context); }

    libusb_transfer* alloc() {
        transfers_.push_back(libusb_alloc_transfer(0));
        return transfers_.back();
    }

    libusb_transfer* bulk_in(CompletionLog& log, unsigned timeout_ms = 5000, int length = 80) {
        libusb_transfer* transfer = alloc();
        buffers_.push_back(std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(length)));
        libusb_fill_bulk_transfer(transfer, handle, ENDPOINT_BULK_IN, buffers_.back().get(), length,
                                  &CompletionLog::callback, &log, timeout_ms);
        return transfer;
    }

    libusb_transfer* bulk_out(CompletionLog& log, std::vector<std::uint8_t> bytes,
                              unsigned timeout_ms = 1000) {
        libusb_transfer* transfer = alloc();
        buffers_.push_back(std::make_unique<std::uint8_t[]>(bytes.size()));
        std::copy(bytes.begin(), bytes.end(), buffers_.back().get());
        libusb_fill_bulk_transfer(transfer, handle, ENDPOINT_BULK_OUT, buffers_.back().get(),
                                  static_cast<int>(bytes.size()), &CompletionLog::callback, &log,
                                  timeout_ms);
        return transfer;
    }

    // A vendor control transfer over a 64-byte buffer, as the driver builds it.
    libusb_transfer* control(CompletionLog& log, std::uint8_t request_type, std::uint8_t request,
                             std::uint16_t value, std::vector<std::uint8_t> payload,
                             std::uint16_t length, unsigned timeout_ms = 1000) {
        libusb_transfer* transfer = alloc();
        buffers_.push_back(std::make_unique<std::uint8_t[]>(64));
        std::uint8_t* buffer = buffers_.back().get();
        std::fill_n(buffer, 64, 0);
        libusb_fill_control_setup(buffer, request_type, request, value, 0, length);
        std::copy(payload.begin(), payload.end(), buffer + LIBUSB_CONTROL_SETUP_SIZE);
        libusb_fill_control_transfer(transfer, handle, buffer, &CompletionLog::callback, &log,
                                     timeout_ms);
        transfer->length = 64;
        return transfer;
    }

    // Starts channels as the host does (MODE start), so that they hear the stream; needs the
    // event thread.
    void start_channels(std::initializer_list<std::uint8_t> channels) {
        const std::size_t answered = mode_log_.entries().size();
        for (const std::uint8_t channel : channels) {
            EXPECT_EQ(libusb_submit_transfer(
                          control(mode_log_, 0x41, REQUEST_MODE, channel, {1, 0, 0, 0, 0, 0, 0, 0}, 8)),
                      0);
        }
        EXPECT_TRUE(mode_log_.wait_for(answered + channels.size()));
    }

    libusb_context* context = nullptr;
    libusb_device_handle* handle = nullptr;
    std::unique_ptr<EventThread> events;

  private:
    CompletionLog mode_log_;
    std::vector<libusb_transfer*> transfers_;
    std::vector<std::unique_ptr<std::uint8_t[]>> buffers_;
};

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
};

inline std::vector<std::uint8_t> u32le(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

inline std::uint64_t read_u64le(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = value << 8 | bytes.at(offset + static_cast<std::size_t>(i));
    }
    return value;
}

}  // namespace ovsim::test
