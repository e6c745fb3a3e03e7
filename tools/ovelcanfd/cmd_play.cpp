// `play [CHANNEL=INTERFACE...] [FILE]`: a canplayer-like replay of a candump log. Frames go out
// at their logged offsets from the first frame of each pass (start + (t - t0)), so the replay
// does not drift with the time each send takes. Sends are queued, so that a dense log replays
// at the bus's pace rather than one frame per USB frame. A file is read once beforehand to
// refuse a bad line before anything is sent and to know which channels need CAN FD; standard
// input is replayed as it comes.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "adapter.h"
#include "commands.h"
#include "frame_syntax.h"
#include "log_format.h"
#include "stop_signal.h"

namespace ovel::tool {
namespace {

using Clock = std::chrono::steady_clock;

const std::vector<KnownOption>& own_options() {
    static const std::vector<KnownOption> options = {
        {"input", 'I', true},   {"loop", 'l', true},  {"ignore-timestamps", 't', false},
        {"gap", 'g', true},     {"count", 'n', true}, {"skip", 0, true},
        {"verbose", 'v', false}};
    return options;
}

void print_help() {
    std::printf(
        "Usage: %s play [options] [CHANNEL=INTERFACE...] [FILE]\n"
        "Replays a candump log (candump -L/-l, python-can .log, dump -L) with its timing.\n"
        "Frames logged on canN (or N) go to channel N. CHANNEL=INTERFACE assignments\n"
        "(canplayer's dst=src, e.g. can0=can1 or 0=vcan0) send the frames logged on\n"
        "INTERFACE to CHANNEL instead; with assignments, other interfaces are skipped.\n"
        "Error frames are skipped (they cannot be sent). Frames are queued, up to 10 in\n"
        "flight per channel, so a dense log plays at the bus's pace; at the end play waits\n"
        "for them to go out before it stops the channels, and reports any that did not\n"
        "(exit status 1).\n"
        "Options:\n%s"
        "  -I, --input FILE     the log (default: standard input; - for standard input)\n"
        "  -l, --loop N|i       play the log N times, or i: until Ctrl-C (default 1)\n"
        "  -t, --ignore-timestamps  send at a fixed gap instead of the logged times\n"
        "  -g, --gap MS         the gap with -t in ms (default 1)\n"
        "  -n, --count N        stop after N frames\n"
        "      --skip SECONDS   shorten pauses longer than SECONDS in the log to nothing\n"
        "  -v, --verbose        print each frame sent, in the log format\n",
        program_name(), adapter_options_help(own_options()).c_str());
}

struct Assignment {
    std::uint8_t channel;
    std::string interface;
};

struct PlaySettings {
    std::string input = "-";
    std::uint64_t loops = 1;  // 0: until stopped
    bool ignore_timestamps = false;
    double gap_ms = 1;
    std::uint64_t count = 0;  // 0: all
    std::optional<std::int64_t> skip_ns;
    bool verbose = false;
    std::vector<Assignment> assignments;
};

// "can0" and "0" name the same interface.
bool same_interface(const std::string& a, const std::string& b) {
    const auto channel_a = channel_of_interface(a);
    return a == b || (channel_a && channel_a == channel_of_interface(b));
}

std::optional<PlaySettings> read_settings(const Arguments& arguments, std::string& error) {
    PlaySettings play;
    std::optional<std::string> file;
    for (const std::string& word : arguments.positionals) {
        const std::size_t equals = word.find('=');
        if (equals == std::string::npos) {
            if (file) {
                error = "takes one log file, not \"" + *file + "\" and \"" + word + "\"";
                return std::nullopt;
            }
            file = word;
            continue;
        }
        const auto channel = parse_channel(word.substr(0, equals), error);
        if (!channel) {
            return std::nullopt;
        }
        const std::string interface = word.substr(equals + 1);
        if (interface.empty()) {
            error = "assignment \"" + word + "\" names no logged interface";
            return std::nullopt;
        }
        for (const Assignment& known : play.assignments) {
            if (same_interface(known.interface, interface)) {
                error = "interface " + interface + " is assigned twice";
                return std::nullopt;
            }
        }
        play.assignments.push_back({*channel, interface});
    }
    if (const std::string* input = arguments.value("input")) {
        if (file) {
            error = "give the log as -I FILE or as FILE, not both";
            return std::nullopt;
        }
        file = *input;
    }
    play.input = file.value_or("-");
    if (const std::string* text = arguments.value("loop")) {
        if (*text == "i") {
            play.loops = 0;
        } else {
            const auto loops = parse_unsigned(*text, 1, UINT64_MAX, "the loop count", error);
            if (!loops) {
                error += " (or i)";
                return std::nullopt;
            }
            play.loops = *loops;
        }
    }
    if (play.input == "-" && play.loops != 1) {
        error = "standard input can be played only once: give -l with a file";
        return std::nullopt;
    }
    play.ignore_timestamps = arguments.has("ignore-timestamps");
    if (const std::string* text = arguments.value("gap")) {
        const auto gap = parse_non_negative(*text, 3.6e6, "the gap", error);
        if (!gap) {
            return std::nullopt;
        }
        play.gap_ms = *gap;
    }
    if (const std::string* text = arguments.value("count")) {
        const auto count = parse_unsigned(*text, 1, UINT64_MAX, "the count", error);
        if (!count) {
            return std::nullopt;
        }
        play.count = *count;
    }
    if (const std::string* text = arguments.value("skip")) {
        const auto seconds = parse_non_negative(*text, 1e7, "the skip limit", error);
        if (!seconds) {
            return std::nullopt;
        }
        play.skip_ns = static_cast<std::int64_t>(*seconds * 1e9);
    }
    play.verbose = arguments.has("verbose");
    return play;
}

// The channel a logged interface goes to; nullopt: skipped (another interface is assigned).
// Sets `error` when the interface cannot be placed at all.
std::optional<std::uint8_t> destination(const PlaySettings& play, const std::string& interface,
                                        std::string& error) {
    if (play.assignments.empty()) {
        const auto channel = channel_of_interface(interface);
        if (!channel) {
            error = "interface \"" + excerpt(interface) +
                    "\" is not a channel name (canN): assign it, e.g. can0=" + excerpt(interface);
        }
        return channel;
    }
    for (const Assignment& assignment : play.assignments) {
        if (same_interface(assignment.interface, interface)) {
            return assignment.channel;
        }
    }
    return std::nullopt;
}

std::int64_t nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

// Channels started lazily, each with CAN FD when the options or the log ask for it.
class Player {
  public:
    Player(const PlaySettings& play, const AdapterOptions& options, Adapter& adapter)
        : play_(play), options_(options), adapter_(adapter) {}

    // A pass over the file to refuse bad lines before anything is sent and to learn which
    // channels need CAN FD. Returns the exit status on failure.
    std::optional<int> survey(std::istream& in) {
        return for_each_record(in, [&](const LogRecord& record, std::uint8_t channel,
                                       std::uint64_t, const std::string&) {
            if (!record.frame.err) {
                fd_[channel] = fd_[channel] || record.frame.fd;
            }
            return std::optional<int>{};
        });
    }

    // Starts the channels the survey found, so that the first frame is not delayed.
    bool start_surveyed() {
        for (const auto& [channel, fd] : fd_) {
            if (!start(channel, fd)) {
                return false;
            }
        }
        return true;
    }

    // One pass over the log. Returns the exit status when the replay must end, else nullopt.
    std::optional<int> pass(std::istream& in) {
        const auto gap = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double, std::milli>(play_.gap_ms));
        const Clock::time_point start = Clock::now();
        std::optional<std::int64_t> first_ns, previous_ns;
        std::int64_t skipped_ns = 0;
        std::uint64_t in_pass = 0;
        return for_each_record(in, [&](const LogRecord& record, std::uint8_t channel,
                                       std::uint64_t number,
                                       const std::string& line) -> std::optional<int> {
            if (record.frame.err) {
                ++error_frames_;
                return std::nullopt;
            }
            const std::int64_t logged_ns = nanoseconds(record.time);
            if (!first_ns) {
                first_ns = previous_ns = logged_ns;
            }
            if (play_.skip_ns && logged_ns - *previous_ns > *play_.skip_ns) {
                skipped_ns += logged_ns - *previous_ns;
            }
            previous_ns = logged_ns;
            const Clock::time_point due =
                play_.ignore_timestamps
                    ? start + gap * static_cast<Clock::rep>(in_pass)
                    : start + std::chrono::nanoseconds(logged_ns - *first_ns - skipped_ns);
            if (!sleep_until_unless_stopped(due)) {
                return 0;
            }
            ovel_canfd_frame frame = record.frame;
            frame.channel = channel;
            if (const auto status = send(frame, number, line)) {
                return status;
            }
            if (play_.verbose) {
                std::printf("%s\n", format_candump_log_line(frame, record.time).c_str());
                // A closed pipe (play -v | head) or a full disk ends the replay; main says why.
                if (!flush_output()) {
                    return EXIT_ADAPTER_FAILURE;
                }
            }
            ++in_pass;
            if (++sent_ == play_.count) {
                return 0;
            }
            return std::nullopt;
        });
    }

    std::uint64_t error_frames() const { return error_frames_; }
    std::uint64_t sent() const { return sent_; }

  private:
    // Calls visit(record, channel, line number, line) for each frame of the log that goes to a
    // channel, until it returns a status; a line that does not parse or names no known
    // interface ends the walk with EXIT_BAD_ARGUMENTS.
    template <typename Visit>
    std::optional<int> for_each_record(std::istream& in, Visit visit) {
        std::string line;
        for (std::uint64_t number = 1; std::getline(in, line); ++number) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();  // a log that a Windows program wrote in text mode
            }
            const ParsedLogLine parsed = parse_log_line(line);
            if (parsed.kind == ParsedLogLine::Kind::Skip) {
                continue;
            }
            if (parsed.kind == ParsedLogLine::Kind::Invalid) {
                return bad_line(number, parsed.error);
            }
            std::string error;
            const auto channel = destination(play_, parsed.record.interface, error);
            if (!error.empty()) {
                return bad_line(number, error);
            }
            if (!channel) {
                continue;
            }
            if (const auto status = visit(parsed.record, *channel, number, line)) {
                return status;
            }
        }
        if (in.bad()) {
            // A directory opens, but reading it fails: not an empty log.
            std::fprintf(stderr, "%s play: cannot read %s: %s\n", program_name(), input_name(),
                         std::strerror(errno != 0 ? errno : EIO));
            return EXIT_BAD_ARGUMENTS;
        }
        return std::nullopt;
    }

    const char* input_name() const {
        return play_.input == "-" ? "standard input" : play_.input.c_str();
    }

    int bad_line(std::uint64_t number, const std::string& error) {
        std::fprintf(stderr, "%s play: %s line %llu: %s\n", program_name(), input_name(),
                     static_cast<unsigned long long>(number), excerpt(error, 300).c_str());
        return EXIT_BAD_ARGUMENTS;
    }

    bool start(std::uint8_t channel, bool fd) {
        ChannelSettings settings = options_.settings;
        settings.fd = settings.fd || fd;
        if (!adapter_.configure(channel, settings) || !adapter_.start(channel)) {
            return false;
        }
        fd_[channel] = settings.fd;
        started_[channel] = true;
        return true;
    }

    std::optional<int> send(const ovel_canfd_frame& frame, std::uint64_t number,
                            const std::string& line) {
        if (!started_[frame.channel] && !start(frame.channel, options_.settings.fd)) {
            return EXIT_ADAPTER_FAILURE;
        }
        if (frame.fd && !fd_[frame.channel]) {
            return bad_line(number, "a CAN FD frame for can" + std::to_string(frame.channel) +
                                        ", which was started for classic CAN: give --fd");
        }
        std::string failure;
        std::uint32_t send_id = 0;
        switch (adapter_.send(frame, send_id, failure)) {
            case Adapter::SendOutcome::Interrupted:
                return 0;
            case Adapter::SendOutcome::Failed:
                std::fprintf(stderr, "%s: line %llu (%s): %s\n", program_name(),
                             static_cast<unsigned long long>(number), excerpt(line).c_str(),
                             failure.c_str());
                return EXIT_ADAPTER_FAILURE;
            case Adapter::SendOutcome::Sent:
                break;
        }
        recent_sends_.push_back({send_id, number, excerpt(line)});
        if (recent_sends_.size() > REMEMBERED_SENDS) {
            recent_sends_.pop_front();
        }
        // A frame that failed after it was queued ends the replay as a refused one does.
        if (report_failures(adapter_.take_failed_sends())) {
            return EXIT_ADAPTER_FAILURE;
        }
        return std::nullopt;
    }

  public:
    // Reports queued frames that did not go out, the first with its log line; true if any.
    bool report_failures(const std::vector<ovel_canfd_failed_send>& failed) {
        if (failed.empty()) {
            return false;
        }
        const auto sent =
            std::find_if(recent_sends_.begin(), recent_sends_.end(),
                         [&](const Sent& s) { return s.send_id == failed.front().send_id; });
        if (sent != recent_sends_.end()) {
            std::fprintf(stderr, "%s: line %llu (%s): not sent: %s\n", program_name(),
                         static_cast<unsigned long long>(sent->number), sent->line.c_str(),
                         failed_send_reason(failed.front().reason));
        }
        report_failed_sends(failed);
        return true;
    }

  private:
    // The last sends with their log lines, to name the line of a frame that failed later: more
    // than the default windows of all 256 channels an adapter may have hold in flight.
    static constexpr std::size_t REMEMBERED_SENDS = 4096;
    struct Sent {
        std::uint32_t send_id;
        std::uint64_t number;
        std::string line;
    };
    std::deque<Sent> recent_sends_;

    const PlaySettings& play_;
    const AdapterOptions& options_;
    Adapter& adapter_;
    std::map<std::uint8_t, bool> fd_;
    std::map<std::uint8_t, bool> started_;
    std::uint64_t sent_ = 0;
    std::uint64_t error_frames_ = 0;
};

}  // namespace

int run_play(const std::vector<std::string>& words) {
    Arguments arguments;
    AdapterOptions options;
    if (const auto done =
            parse_adapter_command("play", words, own_options(), &print_help, arguments, options)) {
        return *done;
    }
    std::string error;
    const auto play = read_settings(arguments, error);
    if (!play) {
        return bad_arguments("play", error);
    }
    std::ifstream file;
    const bool from_file = play->input != "-";
    if (from_file) {
        std::error_code ignored;
        if (std::filesystem::is_directory(play->input, ignored)) {
            return bad_arguments("play", "cannot read \"" + play->input + "\": it is a directory");
        }
        errno = 0;
        file.open(play->input, std::ios::binary);
        if (!file) {
            return bad_arguments("play", "cannot read \"" + play->input + "\"" +
                                             (errno != 0 ? std::string(": ") + std::strerror(errno)
                                                         : std::string()));
        }
    }
    std::istream& in = from_file ? static_cast<std::istream&>(file) : std::cin;

    Adapter adapter;
    if (!adapter.open(options)) {
        return EXIT_ADAPTER_FAILURE;
    }
    Player player(*play, options, adapter);
    std::optional<int> status;
    if (from_file) {
        status = player.survey(in);
        if (!status && !player.start_surveyed()) {
            status = EXIT_ADAPTER_FAILURE;
        }
    }
    for (std::uint64_t round = 0; !status && (play->loops == 0 || round < play->loops); ++round) {
        if (stop_requested()) {
            break;
        }
        if (from_file) {
            file.clear();
            file.seekg(0);
        }
        const std::uint64_t sent_before = player.sent();
        status = player.pass(in);
        if (player.sent() == sent_before) {
            break;  // nothing to play: looping would only spin
        }
    }
    if (player.error_frames() > 0) {
        std::fprintf(stderr, "%s: skipped %llu error frames (they cannot be sent)\n",
                     program_name(), static_cast<unsigned long long>(player.error_frames()));
    }
    // Stopping the channels would drop what is still queued: let it reach the bus first, within
    // a bound; what cannot go out is reported.
    adapter.flush(flush_bound_ms(options.settings));
    const bool stopped = adapter.shut_down();
    if (player.report_failures(adapter.take_failed_sends()) && status.value_or(0) == 0) {
        status = EXIT_ADAPTER_FAILURE;
    }
    return status.value_or(0) != 0 ? *status : (stopped ? 0 : EXIT_ADAPTER_FAILURE);
}

}  // namespace ovel::tool
