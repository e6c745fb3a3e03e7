// `gen CHANNEL`: a cangen-like generator. Frames are sent on a fixed schedule (start + k * gap)
// so the achieved rate does not drift with the time each send takes. Sends are queued, so
// that -g 0 runs at the bus's pace rather than one frame per USB frame.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

#include "adapter.h"
#include "commands.h"
#include "frame_syntax.h"
#include "stop_signal.h"

namespace ovel::tool {
namespace {

using Clock = std::chrono::steady_clock;

enum class Mode { Fixed, Random, Increment };

struct GenSettings {
    std::uint8_t channel = 0;
    double gap_ms = 200;
    std::uint64_t count = 0;  // 0: until stopped
    std::optional<double> seconds;
    bool extended = false, fd = false, brs = false, esi = false, remote = false;
    bool mix = false;  // each frame of a random type, as cangen -m
    Mode id_mode = Mode::Random;
    std::uint32_t id = 0;
    Mode length_mode = Mode::Random;
    std::size_t length = 0;
    Mode data_mode = Mode::Random;
    std::vector<std::uint8_t> data;
    std::uint64_t seed = std::random_device{}();
};

// cangen's letters too: -b bit-rate switch, -E error state indicator, -R remote requests,
// -m mixed frame types (listen-only keeps only its long option here).
const std::vector<KnownOption>& own_options() {
    static const std::vector<KnownOption> options = {{"gap", 'g', true},
                                                    {"rate", 'r', true},
                                                    {"count", 'n', true},
                                                    {"time", 'T', true},
                                                    {"id", 'I', true},
                                                    {"length", 'L', true},
                                                    {"data", 'D', true},
                                                    {"extended", 'e', false},
                                                    {"brs", 'B', false},
                                                    {"seed", 0, true},
                                                    {"bit-rate-switch", 'b', false},
                                                    {"esi", 'E', false},
                                                    {"remote", 'R', false},
                                                    {"mix", 'm', false}};
    return options;
}

void print_help() {
    std::printf(
        "Usage: %s gen [options] CHANNEL\n"
        "Sends generated frames on CHANNEL and reports frames sent, failures and the\n"
        "achieved rate. Runs until -n, -T or Ctrl-C, then waits for the frames still\n"
        "queued to go out before it stops the channel; frames that did not go out are\n"
        "reported and make the exit status 1.\n"
        "Options:\n%s"
        "  -g, --gap MS         time between frames in ms (default 200; 0: as fast as possible)\n"
        "  -r, --rate HZ        frames per second, above 0 and at most 10000000 (instead of\n"
        "                       --gap). Frames are queued, up to 10 in flight: a frame\n"
        "                       leaves the queue once it was on the bus, and a full queue is\n"
        "                       waited for, so the bus bounds the rate reached (-g 0: the\n"
        "                       bus's pace); the report at the end says what it was\n"
        "  -n, --count N        stop after N frames\n"
        "  -T, --time SECONDS   stop after SECONDS\n"
        "  -I, --id ID|r|i      fixed identifier (hex), random (default) or incrementing\n"
        "  -L, --length N|r     data length (FD: 0-8, 12, 16, 20, 24, 32, 48, 64) or random\n"
        "  -D, --data HEX|r|i   fixed payload (hex, sets the length), random or the frame\n"
        "                       counter (little endian)\n"
        "  -e, --extended       29-bit identifiers\n"
        "  -b, -B, --brs        CAN FD with bit-rate switch (implies --fd)\n"
        "  -E, --esi            CAN FD with the error state indicator (implies --fd)\n"
        "  -R, --remote         remote requests (classic CAN; the length is the DLC)\n"
        "  -m, --mix            mixed frame types, as cangen -m: standard and extended\n"
        "                       identifiers, remote requests and, with --fd, CAN FD frames\n"
        "                       with and without BRS and ESI\n"
        "      --seed N         seed of the random generator\n",
        program_name(), adapter_options_help(own_options()).c_str());
}

std::optional<GenSettings> read_settings(const Arguments& arguments, AdapterOptions& adapter,
                                         std::string& error) {
    GenSettings gen;
    if (arguments.positionals.size() != 1) {
        error = arguments.positionals.empty() ? "needs a channel" : "takes one channel";
        return std::nullopt;
    }
    const auto channel = parse_channel(arguments.positionals[0], error);
    if (!channel) {
        return std::nullopt;
    }
    gen.channel = *channel;
    if (arguments.has("gap") && arguments.has("rate")) {
        error = "give --gap or --rate, not both";
        return std::nullopt;
    }
    if (const std::string* text = arguments.value("gap")) {
        const auto gap = parse_non_negative(*text, 3.6e6, "the gap", error);
        if (!gap) {
            return std::nullopt;
        }
        gen.gap_ms = *gap;
    }
    if (const std::string* text = arguments.value("rate")) {
        const auto rate = parse_non_negative(*text, 1e7, "the rate", error);
        if (!rate || *rate == 0) {
            error = "the rate must be a number above 0 and at most 10000000, not \"" + *text + "\"";
            return std::nullopt;
        }
        gen.gap_ms = 1000.0 / *rate;
    }
    if (const std::string* text = arguments.value("count")) {
        const auto count = parse_unsigned(*text, 1, UINT64_MAX, "the count", error);
        if (!count) {
            return std::nullopt;
        }
        gen.count = *count;
    }
    if (const std::string* text = arguments.value("time")) {
        gen.seconds = parse_non_negative(*text, 1e7, "the time limit", error);
        if (!gen.seconds) {
            return std::nullopt;
        }
    }
    if (const std::string* text = arguments.value("seed")) {
        const auto seed = parse_unsigned(*text, 0, UINT64_MAX, "the seed", error);
        if (!seed) {
            return std::nullopt;
        }
        gen.seed = *seed;
    }
    gen.extended = arguments.has("extended");
    gen.brs = arguments.has("brs") || arguments.has("bit-rate-switch");
    gen.esi = arguments.has("esi");
    gen.remote = arguments.has("remote");
    gen.mix = arguments.has("mix");
    gen.fd = adapter.settings.fd || gen.brs || gen.esi;
    if (gen.mix && (gen.remote || gen.brs || gen.esi || gen.extended)) {
        error = "--mix picks each frame's type: drop --extended, --remote, --brs and --esi";
        return std::nullopt;
    }
    if (gen.remote && gen.fd) {
        error = "CAN FD has no remote requests: drop --remote or the CAN FD options";
        return std::nullopt;
    }
    if (gen.remote && arguments.has("data")) {
        error = "remote requests carry no data: drop --data";
        return std::nullopt;
    }
    adapter.settings.fd = gen.fd;
    // A mix has extended identifiers too: a fixed one may be up to 29 bits.
    const std::uint64_t id_max = gen.extended || gen.mix ? 0x1FFFFFFF : 0x7FF;
    if (const std::string* text = arguments.value("id")) {
        if (*text == "r" || *text == "i") {
            gen.id_mode = *text == "r" ? Mode::Random : Mode::Increment;
        } else {
            const auto id = parse_unsigned("0x" + *text, 0, id_max, "the identifier (hex)", error);
            if (!id) {
                std::string unused;
                if (!gen.extended &&
                    parse_unsigned("0x" + *text, 0, 0x1FFFFFFF, "", unused).has_value()) {
                    error = "the identifier " + *text +
                            " is above 7FF, the largest standard identifier: add -e for "
                            "extended identifiers (up to 1FFFFFFF)";
                } else {
                    error = "the identifier must be hex from 0 to " +
                            std::string(gen.extended ? "1FFFFFFF" : "7FF") + ", r or i, not \"" +
                            *text + "\"";
                }
                return std::nullopt;
            }
            gen.id_mode = Mode::Fixed;
            gen.id = static_cast<std::uint32_t>(*id);
        }
    }
    const std::size_t max_length = gen.fd ? 64 : 8;
    if (const std::string* text = arguments.value("data")) {
        if (*text == "r" || *text == "i") {
            gen.data_mode = *text == "r" ? Mode::Random : Mode::Increment;
        } else {
            // The payload syntax is the frame syntax's: reuse its parser for the bytes.
            const ParsedFrame parsed = parse_frame((gen.fd ? "000##0" : "000#") + *text, 0);
            if (!parsed.frame) {
                error = "bad payload \"" + *text + "\": " + parsed.error;
                return std::nullopt;
            }
            gen.data_mode = Mode::Fixed;
            gen.length_mode = Mode::Fixed;
            gen.length = payload_length(*parsed.frame);
            gen.data.assign(parsed.frame->data, parsed.frame->data + gen.length);
        }
    }
    if (const std::string* text = arguments.value("length")) {
        if (*text == "r") {
            if (gen.data_mode == Mode::Fixed) {
                error = "a fixed payload sets the length: drop --length";
                return std::nullopt;
            }
        } else {
            const auto length = parse_unsigned(*text, 0, max_length, "the length", error);
            if (!length) {
                return std::nullopt;
            }
            if (gen.fd && fd_dlc_to_length(fd_length_to_dlc(*length)) != *length) {
                error = "CAN FD lengths are 0-8, 12, 16, 20, 24, 32, 48 or 64, not " + *text;
                return std::nullopt;
            }
            if (gen.data_mode == Mode::Fixed && *length != gen.length) {
                error = "the payload has " + std::to_string(gen.length) + " bytes, not " + *text;
                return std::nullopt;
            }
            gen.length_mode = Mode::Fixed;
            gen.length = *length;
        }
    }
    return gen;
}

class FrameMaker {
  public:
    explicit FrameMaker(const GenSettings& gen) : gen_(gen), random_(gen.seed) {}

    ovel_canfd_frame next(std::uint64_t sequence) {
        ovel_canfd_frame frame{};
        frame.channel = gen_.channel;
        frame.extended = gen_.extended;
        frame.fd = gen_.fd;
        frame.brs = gen_.brs;
        frame.esi = gen_.esi;
        frame.rtr = gen_.remote;
        if (gen_.mix) {
            mix(frame);
        }
        const std::uint32_t id_max = frame.extended ? 0x1FFFFFFF : 0x7FF;
        switch (gen_.id_mode) {
            case Mode::Fixed:
                frame.id = gen_.id;
                break;
            case Mode::Random:
                frame.id = static_cast<std::uint32_t>(random_() % (id_max + 1ull));
                break;
            case Mode::Increment:
                frame.id = static_cast<std::uint32_t>(sequence % (id_max + 1ull));
                break;
        }
        if (gen_.length_mode == Mode::Fixed) {
            frame.dlc =
                frame.fd ? fd_length_to_dlc(gen_.length) : static_cast<std::uint8_t>(gen_.length);
        } else {
            frame.dlc = static_cast<std::uint8_t>(random_() % (frame.fd ? 16 : 9));
        }
        const std::size_t length = payload_length(frame);
        for (std::size_t i = 0; i < length; ++i) {
            switch (gen_.data_mode) {
                case Mode::Fixed:
                    frame.data[i] = gen_.data[i];
                    break;
                case Mode::Random:
                    frame.data[i] = static_cast<std::uint8_t>(random_());
                    break;
                case Mode::Increment:
                    frame.data[i] =
                        i < 8 ? static_cast<std::uint8_t>(sequence >> (8 * i)) : std::uint8_t{0};
                    break;
            }
        }
        return frame;
    }

  private:
    // One of the types cangen -m mixes; a type that cannot carry a fixed identifier, length or
    // payload is not picked.
    void mix(ovel_canfd_frame& frame) {
        enum Kind : unsigned { Classic, Remote, Fd, FdBrs, FdBrsEsi };
        const std::uint64_t pick = random_();
        frame.extended = (pick & 1) != 0 || (gen_.id_mode == Mode::Fixed && gen_.id > 0x7FF);
        const bool classic_fits = gen_.length_mode != Mode::Fixed || gen_.length <= 8;
        unsigned kind = static_cast<unsigned>((pick >> 1) % (gen_.fd ? 5 : 2));
        if (!classic_fits) {
            kind = Fd + kind % 3;  // only with --fd: without it no length above 8 is taken
        } else if (kind == Remote && gen_.data_mode == Mode::Fixed) {
            kind = Classic;
        }
        frame.rtr = kind == Remote;
        frame.fd = kind >= Fd;
        frame.brs = kind >= FdBrs;
        frame.esi = kind == FdBrsEsi;
    }

    const GenSettings& gen_;
    std::mt19937_64 random_;
};

}  // namespace

int run_gen(const std::vector<std::string>& words) {
    Arguments arguments;
    AdapterOptions options;
    if (const auto done =
            parse_adapter_command("gen", words, own_options(), &print_help, arguments, options)) {
        return *done;
    }
    std::string error;
    const auto gen = read_settings(arguments, options, error);
    if (!gen) {
        return bad_arguments("gen", error);
    }

    Adapter adapter;
    if (!adapter.open(options) || !adapter.configure(gen->channel, options.settings) ||
        !adapter.start(gen->channel)) {
        return EXIT_ADAPTER_FAILURE;
    }
    FrameMaker maker(*gen);
    const auto gap = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(gen->gap_ms));
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline =
        gen->seconds ? start + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(*gen->seconds))
                     : Clock::time_point::max();
    std::uint64_t sent = 0, failed = 0;
    std::string first_failure;
    for (std::uint64_t k = 0; gen->count == 0 || k < gen->count; ++k) {
        const Clock::time_point due = start + gap * static_cast<Clock::rep>(k);
        if (due >= deadline || !sleep_until_unless_stopped(due)) {
            break;
        }
        std::string failure;
        std::uint32_t send_id = 0;
        const Adapter::SendOutcome outcome = adapter.send(maker.next(k), send_id, failure);
        if (outcome == Adapter::SendOutcome::Interrupted) {
            break;
        }
        if (outcome == Adapter::SendOutcome::Sent) {
            ++sent;
        } else if (failed++ == 0) {
            first_failure = failure;
        }
    }
    // Stopping the channel would drop what is still queued: let it reach the bus first, within
    // a bound, so that only frames that cannot go out are lost, and those are reported.
    adapter.flush(flush_bound_ms(options.settings));
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const bool stopped = adapter.shut_down();
    const std::vector<ovel_canfd_failed_send> not_sent = adapter.take_failed_sends();
    sent -= std::min<std::uint64_t>(sent, not_sent.size());
    failed += not_sent.size();
    if (!first_failure.empty()) {
        std::fprintf(stderr, "%s: first failure: %s\n", program_name(), first_failure.c_str());
    }
    report_failed_sends(not_sent);
    std::printf("sent %llu frames, %llu failures in %.3f s: %.1f frames/s\n",
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(failed),
                elapsed, elapsed > 0 ? static_cast<double>(sent) / elapsed : 0.0);
    return failed == 0 && stopped ? 0 : EXIT_ADAPTER_FAILURE;
}

}  // namespace ovel::tool
