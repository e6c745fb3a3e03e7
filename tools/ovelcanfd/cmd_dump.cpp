// `dump [CHANNEL...]`: prints every received frame until a count, a time limit or Ctrl-C.
// The receive callback only queues frames with their host time; the main thread prints them, so
// a count stops at exactly that many lines and a stop request is seen within a poll period.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>

#include "adapter.h"
#include "commands.h"
#include "frame_syntax.h"
#include "stats_report.h"
#include "stop_signal.h"

namespace ovel::tool {
namespace {

constexpr auto POLL_PERIOD = std::chrono::milliseconds(50);

struct Received {
    ovel_canfd_frame frame;
    timespec host_time;
};

// What the callback fills, on the library's thread, and the main thread prints.
struct FrameQueue {
    std::mutex mutex;
    std::condition_variable filled;
    std::deque<Received> frames;
};

void on_frame(const ovel_canfd_frame* frame, void* user) {
    auto& queue = *static_cast<FrameQueue*>(user);
    Received received{*frame, {}};
    clock_gettime(CLOCK_REALTIME, &received.host_time);
    std::lock_guard lock(queue.mutex);
    queue.frames.push_back(received);
    queue.filled.notify_one();
}

void print_help() {
    std::printf(
        "Usage: %s dump [options] [CHANNEL...]\n"
        "Starts the channels (default: all) and prints every frame received:\n"
        "  (host time)  canN  RX|TX F B E  ID  [length]  data\n"
        "TX marks the echo of a frame sent from this host, F a CAN FD frame, B bit-rate\n"
        "switch, E error state indicator; remote frames say \"remote request\" and error\n"
        "frames end with ERRORFRAME. Ctrl-C stops it.\n"
        "Options:\n%s"
        "  -n, --count N        stop after N frames\n"
        "  -T, --time SECONDS   stop after SECONDS\n",
        program_name(), adapter_options_help());
}

// Prints queued frames until `limit` lines in total; false when stdout cannot take more.
bool print_queued(std::deque<Received>& batch, std::uint64_t& printed, std::uint64_t limit) {
    for (const Received& received : batch) {
        if (limit != 0 && printed == limit) {
            break;
        }
        const std::string line = format_log_line(received.frame, received.host_time);
        if (std::printf("%s\n", line.c_str()) < 0) {
            return false;
        }
        ++printed;
    }
    batch.clear();
    return std::fflush(stdout) == 0;
}

}  // namespace

int run_dump(const std::vector<std::string>& words) {
    Arguments arguments;
    AdapterOptions options;
    if (const auto done =
            parse_adapter_command("dump", words, {{"count", 'n', true}, {"time", 'T', true}},
                                  &print_help, arguments, options)) {
        return *done;
    }
    std::string error;
    std::uint64_t limit = 0;
    if (const std::string* text = arguments.value("count")) {
        const auto count = parse_unsigned(*text, 1, UINT64_MAX, "the count", error);
        if (!count) {
            return bad_arguments("dump", error);
        }
        limit = *count;
    }
    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (const std::string* text = arguments.value("time")) {
        const auto seconds = parse_non_negative(*text, 1e7, "the time limit", error);
        if (!seconds) {
            return bad_arguments("dump", error);
        }
        deadline = std::chrono::steady_clock::now() +
                   std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                       std::chrono::duration<double>(*seconds));
    }
    std::vector<std::uint8_t> channels;
    for (const std::string& text : arguments.positionals) {
        const auto channel = parse_channel(text, error);
        if (!channel) {
            return bad_arguments("dump", error);
        }
        channels.push_back(*channel);
    }

    // Declared first, so that it outlives the adapter whose callback fills it.
    FrameQueue queue;
    Adapter adapter;
    if (!adapter.open(options.serial)) {
        return EXIT_ADAPTER_FAILURE;
    }
    if (channels.empty()) {
        for (int c = 0; c < adapter.channel_count(); ++c) {
            channels.push_back(static_cast<std::uint8_t>(c));
        }
    }
    adapter.set_rx_callback(on_frame, &queue);
    std::string listening;
    for (const std::uint8_t channel : channels) {
        if (!adapter.configure(channel, options.settings) || !adapter.start(channel)) {
            return EXIT_ADAPTER_FAILURE;
        }
        listening += " can" + std::to_string(channel);
    }
    std::fprintf(stderr, "%s: listening on%s\n", program_name(), listening.c_str());

    std::uint64_t printed = 0;
    bool output_open = true;
    std::deque<Received> batch;
    while (output_open && !stop_requested() && (limit == 0 || printed < limit) &&
           (!deadline || std::chrono::steady_clock::now() < *deadline) &&
           !reception_ended(adapter)) {
        {
            std::unique_lock lock(queue.mutex);
            auto wake = std::chrono::steady_clock::now() + POLL_PERIOD;
            if (deadline && *deadline < wake) {
                wake = *deadline;
            }
            queue.filled.wait_until(lock, wake, [&] { return !queue.frames.empty(); });
            batch.swap(queue.frames);
        }
        output_open = print_queued(batch, printed, limit);
    }
    // Stopping ends the receive thread: no callback runs after this, so the queue is ours.
    const bool stopped = adapter.stop_all();
    if (output_open) {
        std::lock_guard lock(queue.mutex);
        print_queued(queue.frames, printed, limit);
    }
    const bool ended = report_stats(adapter);
    return stopped && !ended ? 0 : EXIT_ADAPTER_FAILURE;
}

}  // namespace ovel::tool
