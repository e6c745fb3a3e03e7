// `dump [CHANNEL[,FILTER]...]`: prints or logs every received frame until a count, a time limit
// or Ctrl-C. The receive handler only queues frames with their receive time; the main thread
// filters and writes them, so a count stops at exactly that many lines and a stop request is
// seen within a poll period.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>

#include "adapter.h"
#include "commands.h"
#include "error_frame_text.h"
#include "frame_syntax.h"
#include "stats_report.h"
#include "log_format.h"
#include "receive_filter.h"
#include "stop_signal.h"
#include "time_stamp.h"
#include "platform/local_time.h"

namespace ovel::tool {
namespace {

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

// The one place a frame's time comes from: the adapter's own timestamp when it has them, else
// the host clock when the USB transfer completed (not when this handler runs).
timespec receive_time(const ovel_canfd_rx_info& info) {
    const std::int64_t ns =
        (info.flags & OVEL_CANFD_RX_HW_TIMESTAMP) != 0 ? info.hw_time_ns : info.host_time_ns;
    return timespec{static_cast<std::time_t>(ns / 1'000'000'000),
                    static_cast<long>(ns % 1'000'000'000)};
}

void on_frame(const ovel_canfd_frame* frame, const ovel_canfd_rx_info* info, void* user) {
    auto& queue = *static_cast<FrameQueue*>(user);
    const Received received{*frame, receive_time(*info)};
    std::lock_guard lock(queue.mutex);
    queue.frames.push_back(received);
    queue.filled.notify_one();
}

const std::vector<KnownOption>& own_options() {
    static const std::vector<KnownOption> options = {
        {"count", 'n', true},       {"time", 'T', true},      {"timestamp", 't', true},
        {"log-format", 'L', false}, {"log-file", 'l', false}, {"log", 'f', true},
        {"error-details", 'e', false}};
    return options;
}

void print_help() {
    std::printf(
        "Usage: %s dump [options] [CHANNEL[,FILTER]...]\n"
        "Starts the channels (default: all) and prints every frame received:\n"
        "  (host time)  canN  RX|TX F B E  ID  [length]  data\n"
        "TX marks the echo of a frame sent from this host, F a CAN FD frame, B bit-rate\n"
        "switch, E error state indicator; remote frames say \"remote request\" and error\n"
        "frames end with ERRORFRAME. Ctrl-C stops it.\n"
        "CHANNEL is 0, can0 or any; candump's filters follow it, comma-separated:\n"
        "  ID:MASK  pass when received id & MASK == ID & MASK (hex; 8 digits: extended)\n"
        "  ID~MASK  pass when they differ        #MASK  error frames of these classes\n"
        "  j        a frame must pass all ID filters, not one of them\n"
        "With filters, error frames pass only through #MASK. Example: dump can0,123:7FF\n"
        "Options:\n%s"
        "  -n, --count N        stop after N frames\n"
        "  -T, --time SECONDS   stop after SECONDS\n"
        "  -t, --timestamp a|A|d|z  time as absolute (default), absolute with date, delta\n"
        "                       to the previous frame, or since the first frame\n"
        "  -L, --log-format     print in candump's log format: (1700000000.123456) can0 123#11\n"
        "  -l, --log-file       write that format to candump-YYYY-MM-DD_HHMMSS.log instead\n"
        "  -f, --log FILE       write that format to FILE instead (- for stdout)\n"
        "  -e, --error-details  explain error frames on a second line (candump -e): state\n"
        "                       changes, error counters, overflows, bus-off\n"
        "Times are the adapter's own timestamps when it has them, else the host's clock when\n"
        "the frame arrived over USB.\n",
        program_name(), adapter_options_help(own_options()).c_str());
}

// Where the frames go: stdout in the long format or the log format, or a log file.
class FrameWriter {
  public:
    FrameWriter(TimeMode time_mode, bool log_format, bool error_details, std::FILE* out)
        : stamper_(time_mode), log_format_(log_format), error_details_(error_details), out_(out) {}

    bool write(const Received& received) {
        std::string line =
            log_format_
                ? format_candump_log_line(received.frame, received.host_time)
                : stamper_.stamp(received.host_time) + "  " + format_frame_columns(received.frame);
        if (error_details_ && !log_format_ && received.frame.err) {
            line += "\n\t" + describe_error_frame(received.frame);
        }
        if (std::fprintf(out_, "%s\n", line.c_str()) >= 0) {
            return true;
        }
        if (out_ == stdout) {
            note_output_failure(errno);  // main says why, unless the reader closed a pipe
        }
        return false;
    }
    bool flush() { return out_ == stdout ? flush_output() : std::fflush(out_) == 0; }

  private:
    TimeStamper stamper_;
    bool log_format_;
    bool error_details_;
    std::FILE* out_;
};

// Writes queued frames that pass the filters until `limit` in total; false when the output
// cannot take more.
bool print_queued(std::deque<Received>& batch, const std::vector<ChannelFilter>& filters,
                  FrameWriter& writer, std::uint64_t& printed, std::uint64_t limit) {
    for (const Received& received : batch) {
        if (limit != 0 && printed == limit) {
            break;
        }
        bool wanted = false;
        for (const ChannelFilter& filter : filters) {
            wanted = wanted || passes(filter, received.frame);
        }
        if (!wanted) {
            continue;
        }
        if (!writer.write(received)) {
            return false;
        }
        ++printed;
    }
    batch.clear();
    return writer.flush();
}

std::string default_log_name() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    platform::local_time(now, local);
    char name[64];
    std::strftime(name, sizeof name, "candump-%Y-%m-%d_%H%M%S.log", &local);
    return name;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

int run_dump(const std::vector<std::string>& words) {
    Arguments arguments;
    AdapterOptions options;
    if (const auto done =
            parse_adapter_command("dump", words, own_options(), &print_help, arguments, options)) {
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
    TimeMode time_mode = TimeMode::Absolute;
    if (const std::string* text = arguments.value("timestamp")) {
        const auto mode = parse_time_mode(*text);
        if (!mode) {
            return bad_arguments("dump",
                                 "the timestamp mode must be a, A, d or z, not \"" + *text + "\"");
        }
        time_mode = *mode;
    }
    if (arguments.has("log-file") && arguments.has("log")) {
        return bad_arguments("dump", "give -l or -f FILE, not both");
    }
    std::vector<ChannelFilter> filters;
    std::vector<std::uint8_t> channels;
    bool all_channels = arguments.positionals.empty();
    for (const std::string& text : arguments.positionals) {
        const auto filter = parse_channel_filter(text, error);
        if (!filter) {
            return bad_arguments("dump", error);
        }
        filters.push_back(*filter);
        if (!filter->channel) {
            all_channels = true;
        } else if (std::find(channels.begin(), channels.end(), *filter->channel) ==
                   channels.end()) {
            channels.push_back(*filter->channel);
        }
    }
    if (filters.empty()) {
        filters.emplace_back();
    }
    std::unique_ptr<std::FILE, FileCloser> log_file;
    std::FILE* out = stdout;
    std::string log_name;
    if (arguments.has("log-file")) {
        log_name = default_log_name();
    } else if (const std::string* name = arguments.value("log"); name != nullptr && *name != "-") {
        log_name = *name;
    }
    if (!log_name.empty()) {
        log_file.reset(std::fopen(log_name.c_str(), "wb"));
        if (!log_file) {
            std::fprintf(stderr, "%s: cannot write %s: %s\n", program_name(), log_name.c_str(),
                         std::strerror(errno));
            return EXIT_ADAPTER_FAILURE;
        }
        out = log_file.get();
    }
    FrameWriter writer(time_mode, arguments.has("log-format") || arguments.has("log") || log_file,
                       arguments.has("error-details"), out);

    // Declared first, so that it outlives the adapter whose callback fills it.
    FrameQueue queue;
    Adapter adapter;
    if (!adapter.open(options)) {
        return EXIT_ADAPTER_FAILURE;
    }
    if (all_channels) {
        channels.clear();
        for (int c = 0; c < adapter.channel_count(); ++c) {
            channels.push_back(static_cast<std::uint8_t>(c));
        }
    }
    adapter.set_rx_handler(on_frame, &queue);
    std::string listening;
    for (const std::uint8_t channel : channels) {
        if (!adapter.configure(channel, options.settings) || !adapter.start(channel)) {
            return EXIT_ADAPTER_FAILURE;
        }
        listening += " can" + std::to_string(channel);
    }
    std::fprintf(stderr, "%s: listening on%s\n", program_name(), listening.c_str());
    if (log_file) {
        std::fprintf(stderr, "%s: logging to %s\n", program_name(), log_name.c_str());
    }

    std::uint64_t printed = 0;
    bool output_open = true;
    std::deque<Received> batch;
    while (output_open && !stop_requested() && (limit == 0 || printed < limit) &&
           (!deadline || std::chrono::steady_clock::now() < *deadline) &&
           !reception_ended(adapter)) {
        {
            std::unique_lock lock(queue.mutex);
            auto wake = std::chrono::steady_clock::now() + STOP_POLL_PERIOD;
            if (deadline && *deadline < wake) {
                wake = *deadline;
            }
            queue.filled.wait_until(lock, wake, [&] { return !queue.frames.empty(); });
            batch.swap(queue.frames);
        }
        output_open = print_queued(batch, filters, writer, printed, limit);
    }
    // Stopping ends the receive thread: no callback runs after this, so the queue is ours.
    const bool stopped = adapter.stop_all();
    if (output_open) {
        std::lock_guard lock(queue.mutex);
        output_open = print_queued(queue.frames, filters, writer, printed, limit);
    }
    if (log_file && (!output_open || std::fclose(log_file.release()) != 0)) {
        std::fprintf(stderr, "%s: writing %s failed\n", program_name(), log_name.c_str());
        return EXIT_ADAPTER_FAILURE;
    }
    const bool ended = report_stats(adapter);
    return stopped && !ended ? 0 : EXIT_ADAPTER_FAILURE;
}

}  // namespace ovel::tool
