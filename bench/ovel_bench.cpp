// Measures the library through its C API against the simulated adapter, as users feel it: CPU
// and wake-ups of each of its threads and latency to the callback at receive rates from 100
// frames/s to saturation, on an immediate, high-speed or full-speed USB link, on a quiet machine
// and with CPU-bound competitors; beside the floor of any design that sleeps between frames;
// transmit rates, throughput, idle CPU and memory. Two versions of the library (each a
// libovelcanfd-sim.so-like library, loaded with dlopen) are measured in turn, run after run, so
// that a noisy machine treats them alike. Every receive run checks every frame: a run that
// loses, duplicates or reorders one is FAILED and the program exits with 1.
//
//   ovel_bench [--current LIB] [--previous LIB] [--runs N] [--only PARTS] [--rates LIST]
//              [--timings LIST] [--competitors LIST] [--csv FILE] [--smoke] [--callgrind]
//   ovel_bench --soak MINUTES [--current LIB]
//
//     --current LIB      the library under test (default: this build's libovelcanfd-sim.so)
//     --previous LIB     an earlier version to measure beside it (bench/CMakeLists.txt builds
//                        libovelcanfd-prev.so; scripts/bench.sh --previous REV does it all)
//     --runs N           runs per figure, the median is shown (default 3)
//     --only PARTS       comma-separated: rx (throughput), load (receive at rates), floor,
//                        budget (receive latency budget 0 and 1000 us at 20,000 frames/s on a
//                        high-speed link), tx, idle, memory (default: all)
//     --rates LIST       receive rates in frames/s for load and floor, 0 for saturation
//                        (default 100,500,1000,5000,10000,20000,50000,0)
//     --timings LIST     link timings: immediate, high-speed, full-speed (default: all three)
//     --competitors LIST CPU-bound processes beside the load part: 0, 2 or both (default 0,2)
//     --csv FILE         every figure, one row per version, part, timing, load, rate and
//                        competitors (scripts/bench-plot.py draws from it)
//     --smoke            a short pass of every part, for the tests; figures not to be quoted
//     --callgrind        only one receive run, for valgrind (scripts/bench-callgrind.sh)
//     --soak MINUTES     only the soak (fractions allowed): 2,000 frames/s on a full-speed link
//                        with stop/start and unplug/replug cycles; exits with 1 when the resident
//                        size, descriptors or threads grew after the warm-up (bench/soak.h)
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "floor.h"
#include "library.h"
#include "memory.h"
#include "receive.h"
#include "report.h"
#include "results.h"
#include "session.h"
#include "soak.h"
#include "transmit.h"

namespace ovel::bench {
namespace {

// What one invocation measures, and how much.
struct Plan {
    int runs = 3;
    std::vector<std::string> parts = {"rx", "load", "floor", "budget", "tx", "idle", "memory"};
    std::vector<double> rates = {100, 500, 1'000, 5'000, 10'000, 20'000, 50'000, 0};
    std::vector<LinkTiming> timings = {std::begin(ALL_TIMINGS), std::end(ALL_TIMINGS)};
    std::vector<int> competitors = {0, 2};
    // A rated stream lasts this long, with at least this many frames.
    double load_seconds = 2;
    std::uint64_t load_min_frames = 300;
    std::uint64_t saturation_frames = 1'000'000;  // immediate link; others: load_seconds' worth
    std::vector<double> transmit_rates = {1'000, 5'000};
    double transmit_seconds = 2;
    std::uint64_t transmit_min_calls = 200;
    std::uint64_t throughput_frames = 4'000'000;
    std::uint64_t transmit_calls = 200'000;
    // Queued sends at 1 Mbit/s: a back-to-back run lasts about this long on the bus, a rated
    // one this long at its rate; on the immediate link, transmit_calls frames.
    double queued_seconds = 1;
    std::uint32_t handover_round_trips = 100'000;
    double idle_seconds = 10;
    MemorySizes memory = {100'000, 10'000'000, 1'000'000};
};

Plan smoke_plan() {
    Plan plan;
    plan.runs = 1;
    plan.rates = {1'000, 0};
    plan.load_seconds = 0.1;
    plan.saturation_frames = 20'000;
    plan.transmit_rates = {1'000};
    plan.transmit_seconds = 0.1;
    plan.throughput_frames = 50'000;
    plan.transmit_calls = 5'000;
    plan.queued_seconds = 0.1;
    plan.handover_round_trips = 1'000;
    plan.idle_seconds = 0.5;
    plan.memory = {10'000, 100'000, 20'000};
    return plan;
}

std::uint64_t at_least(std::uint64_t minimum, double wanted) {
    return std::max(minimum, static_cast<std::uint64_t>(wanted));
}

struct ThroughputCase {
    const char* load;
    std::vector<std::uint8_t> channels;
    bool fd;
};

const std::vector<ThroughputCase> THROUGHPUT_CASES = {
    {"1 channel, classic (20-byte)", {0}, false},
    {"2 channels interleaved, classic (20-byte)", {0, 1}, false},
    {"1 channel, FD (76-byte)", {0}, true},
    {"2 channels interleaved, FD (76-byte)", {0, 1}, true},
};

class Bench {
  public:
    Bench(const Plan& plan, std::vector<const Library*> libraries)
        : plan_(plan), libraries_(std::move(libraries)) {}

    void run() {
        if (wanted("rx")) {
            throughput();
        }
        if (wanted("load") || wanted("floor")) {
            load_and_floor();
        }
        if (wanted("budget")) {
            latency_budget();
        }
        if (wanted("tx")) {
            transmit();
        }
        if (wanted("idle")) {
            silent_bus();
        }
        if (wanted("memory")) {
            memory();
        }
        results_.compute_floor_ratios();
    }

    const Results& results() const { return results_; }

  private:
    bool wanted(const char* part) const {
        return std::find(plan_.parts.begin(), plan_.parts.end(), part) != plan_.parts.end();
    }

    static void progress(const char* pattern, ...) __attribute__((format(printf, 1, 2))) {
        std::va_list arguments;
        va_start(arguments, pattern);
        std::fputs("ovel_bench: ", stderr);
        std::vfprintf(stderr, pattern, arguments);
        std::fputc('\n', stderr);
        va_end(arguments);
    }

    // Measures each contender once per run, in turn: run 1 of every contender, then run 2...
    template <class Measure>
    std::vector<std::vector<Figures>> alternate(std::size_t contenders, Measure measure) const {
        std::vector<std::vector<Figures>> runs(contenders);
        for (int run = 0; run < plan_.runs; ++run) {
            for (std::size_t c = 0; c < contenders; ++c) {
                runs[c].push_back(measure(c));
            }
        }
        return runs;
    }

    void add(Key key, const std::string& version, std::uint64_t frames,
             const std::vector<Figures>& runs, const std::string& unit = "") {
        key.version = version;
        for (std::size_t r = 0; r < runs.size(); ++r) {
            if (runs[r].failed()) {
                std::fprintf(stderr,
                             "ovel_bench: FAILED %s %s %s %s rate %g, %d competitors, run %zu: "
                             "%s\n",
                             key.version.c_str(), key.part.c_str(), key.timing.c_str(),
                             key.load.c_str(), key.rate, key.competitors, r + 1,
                             runs[r].error.c_str());
            }
        }
        results_.add(key, frames, runs, unit);
    }

    void throughput() {
        for (const ThroughputCase& c : THROUGHPUT_CASES) {
            progress("receive throughput, %s", c.load);
            // The simulator alone is measured in the same turns as the libraries.
            const std::size_t simulator = libraries_.size();
            const auto runs = alternate(libraries_.size() + 1, [&](std::size_t i) {
                return i == simulator ? simulator_alone(plan_.throughput_frames, c.channels, c.fd)
                                      : receive_throughput(*libraries_[i], plan_.throughput_frames,
                                                           c.channels, c.fd);
            });
            const Key key{"", "rx-throughput", "immediate", c.load, 0, 0};
            for (std::size_t i = 0; i < libraries_.size(); ++i) {
                add(key, libraries_[i]->label, plan_.throughput_frames, runs[i]);
            }
            add(key, "simulator", plan_.throughput_frames, runs[simulator]);
        }
    }

    std::uint64_t load_frames(LinkTiming timing, double rate) const {
        if (rate > 0) {
            return at_least(plan_.load_min_frames, rate * plan_.load_seconds);
        }
        const double limit = fd_frames_per_second_limit(timing);
        return limit > 0 ? at_least(plan_.load_min_frames, limit * plan_.load_seconds)
                         : plan_.saturation_frames;
    }

    // Each library at each rate, link timing and competition; the floor at each rate, measured
    // in the same turns as the libraries on a quiet machine with an immediate link.
    void load_and_floor() {
        std::vector<double> floors_done;
        for (LinkTiming timing : plan_.timings) {
            for (int competitors : plan_.competitors) {
                for (double rate : plan_.rates) {
                    const bool with_floor = wanted("floor") && timing == LinkTiming::Immediate &&
                                            competitors == 0 && rate > 0;
                    if (!wanted("load") && !with_floor) {
                        continue;
                    }
                    load_point(timing, competitors, rate, with_floor);
                    if (with_floor) {
                        floors_done.push_back(rate);
                    }
                }
            }
        }
        if (!wanted("floor")) {
            return;
        }
        for (double rate : plan_.rates) {
            if (rate > 0 &&
                std::find(floors_done.begin(), floors_done.end(), rate) == floors_done.end()) {
                floors_done.push_back(rate);
                load_point(LinkTiming::Immediate, 0, rate, true, false);
            }
        }
    }

    void load_point(LinkTiming timing, int competitors, double rate, bool with_floor,
                    bool with_libraries = true) {
        const LoadPoint point{timing, rate, load_frames(timing, rate), competitors};
        const Key key{"",   "rx-load",  timing_name(timing), rate > 0 ? "rated" : "saturation",
                      rate, competitors};
        const double limit = fd_frames_per_second_limit(timing);
        std::vector<const Library*> measured;
        for (const Library* library : libraries_) {
            if (!with_libraries || !wanted("load")) {
                break;
            }
            Key skipped = key;
            skipped.version = library->label;
            if (limit > 0 && rate > limit) {
                results_.add_skipped(skipped, Status::BeyondLink);
            } else if (!timing_available(*library, timing)) {
                results_.add_skipped(skipped, Status::Unavailable);
            } else {
                measured.push_back(library);
            }
        }
        if (measured.empty() && !with_floor) {
            return;
        }
        const std::string load =
            rate > 0 ? std::to_string(static_cast<long>(rate)) + " frames/s" : "saturation";
        progress("receive at load: %s link, %d competitors, %s: %llu frames%s", timing_name(timing),
                 competitors, load.c_str(), static_cast<unsigned long long>(point.frames),
                 with_floor ? ", with the floor" : "");
        const std::size_t floor = measured.size();
        const auto runs = alternate(measured.size() + (with_floor ? 1 : 0), [&](std::size_t i) {
            return i == floor ? measure_floor(rate, point.frames)
                              : receive_at_load(*measured[i], point);
        });
        for (std::size_t i = 0; i < measured.size(); ++i) {
            add(key, measured[i]->label, point.frames, runs[i]);
        }
        if (with_floor) {
            add(Key{"", "floor", "none", "rated", rate, 0}, "floor", point.frames, runs[floor]);
        }
    }

    // Receive with and without a latency budget, at a rate where batching pays: every library
    // without one, those that have the call with one, in the same turns.
    void latency_budget() {
        constexpr LinkTiming timing = LinkTiming::HighSpeed;
        constexpr double rate = 20'000;
        struct Contender {
            const Library* library;
            std::uint32_t budget_us;
        };
        std::vector<Contender> measured;
        for (const std::uint32_t budget_us : {0u, 1000u}) {
            for (const Library* library : libraries_) {
                // A version without the call has no row for a budget: its cell shows "-".
                if (budget_us > 0 && library->set_rx_latency == nullptr) {
                    continue;
                }
                if (!timing_available(*library, timing)) {
                    results_.add_skipped(Key{library->label, "rx-budget", timing_name(timing),
                                             "max_us " + std::to_string(budget_us), rate, 0},
                                         Status::Unavailable);
                } else {
                    measured.push_back({library, budget_us});
                }
            }
        }
        if (measured.empty()) {
            return;
        }
        const LoadPoint point{timing, rate, load_frames(timing, rate), 0};
        progress("receive latency budget 0 and 1000 us: %s link, %.0f frames/s: %llu frames",
                 timing_name(timing), rate, static_cast<unsigned long long>(point.frames));
        const auto runs = alternate(measured.size(), [&](std::size_t i) {
            LoadPoint budgeted = point;
            budgeted.rx_latency_us = measured[i].budget_us;
            return receive_at_load(*measured[i].library, budgeted);
        });
        for (std::size_t i = 0; i < measured.size(); ++i) {
            add(Key{"", "rx-budget", timing_name(timing),
                    "max_us " + std::to_string(measured[i].budget_us), rate, 0},
                measured[i].library->label, point.frames, runs[i]);
        }
    }

    void transmit() {
        progress("transmit back to back: %llu calls",
                 static_cast<unsigned long long>(plan_.transmit_calls));
        const auto back_to_back = alternate(libraries_.size(), [&](std::size_t i) {
            return transmit_back_to_back(*libraries_[i], plan_.transmit_calls);
        });
        for (std::size_t i = 0; i < libraries_.size(); ++i) {
            add(Key{"", "tx-back-to-back", "immediate", "back-to-back", 0, 0}, libraries_[i]->label,
                plan_.transmit_calls, back_to_back[i]);
        }
        // At the bus's pace (echoes after each frame's time on a 500 kbit/s bus, full-speed
        // link): queued sends beside synchronous transmits, for the libraries that have them.
        for (const bool queued : {true, false}) {
            const Key key{"", queued ? "tx-queued" : "tx-bus-paced",
                          timing_name(LinkTiming::FullSpeed), "back-to-back", 0, 0};
            const std::uint64_t calls = std::max<std::uint64_t>(plan_.transmit_calls / 100, 50);
            std::vector<const Library*> measured;
            for (const Library* library : libraries_) {
                if (library->sim_set_bus_timing != nullptr &&
                    timing_available(*library, LinkTiming::FullSpeed) &&
                    (!queued || library->send != nullptr)) {
                    measured.push_back(library);
                } else {
                    results_.add_skipped(Key{library->label, key.part, key.timing, key.load, 0, 0},
                                         Status::Unavailable);
                }
            }
            if (measured.empty()) {
                continue;
            }
            progress("%s at the bus's pace, fs link: %llu calls",
                     queued ? "queued sends" : "transmits", static_cast<unsigned long long>(calls));
            const auto runs = alternate(measured.size(), [&](std::size_t i) {
                return transmit_bus_paced(*measured[i], LinkTiming::FullSpeed, queued, calls);
            });
            for (std::size_t i = 0; i < measured.size(); ++i) {
                add(key, measured[i]->label, calls, runs[i]);
            }
        }
        queued_sends();
        for (LinkTiming timing : plan_.timings) {
            for (double rate : plan_.transmit_rates) {
                const Key key{"", "tx-rate", timing_name(timing), "rated", rate, 0};
                const std::uint64_t calls =
                    at_least(plan_.transmit_min_calls, rate * plan_.transmit_seconds);
                std::vector<const Library*> measured;
                for (const Library* library : libraries_) {
                    if (timing_available(*library, timing)) {
                        measured.push_back(library);
                    } else {
                        results_.add_skipped(
                            Key{library->label, key.part, key.timing, key.load, rate, 0},
                            Status::Unavailable);
                    }
                }
                if (measured.empty()) {
                    continue;
                }
                progress("transmit at %.0f/s, %s link: %llu calls", rate, timing_name(timing),
                         static_cast<unsigned long long>(calls));
                const auto runs = alternate(measured.size(), [&](std::size_t i) {
                    return transmit_at_rate(*measured[i], timing, rate, calls);
                });
                for (std::size_t i = 0; i < measured.size(); ++i) {
                    add(key, measured[i]->label, calls, runs[i]);
                }
            }
        }
    }

    bool timing_wanted(LinkTiming timing) const {
        return std::find(plan_.timings.begin(), plan_.timings.end(), timing) !=
               plan_.timings.end();
    }

    // ovel_canfd_send at the pace of a 1 Mbit/s bus (5 Mbit/s data phase for FD) on full- and
    // high-speed links, back to back and at the transmit rates; back to back on the immediate
    // link without bus timing. Only the libraries that have queued sends are measured.
    void queued_sends() {
        std::vector<const Library*> measured;
        for (const Library* library : libraries_) {
            if (library->send != nullptr && library->set_rx_handler != nullptr &&
                library->sim_set_bus_timing != nullptr &&
                timing_available(*library, LinkTiming::FullSpeed)) {
                measured.push_back(library);
            }
        }
        if (measured.empty()) {
            return;
        }
        struct Case {
            const char* part;
            QueuedLoad load;
            double target;  // frames/s to reach
        };
        std::vector<Case> cases;
        const double classic_bus = bus_frames_per_second(false, 1'000'000, 5'000'000);
        const double fd_bus = bus_frames_per_second(true, 1'000'000, 5'000'000);
        auto add_case = [&](LinkTiming timing, bool fd, double rate, std::uint32_t window = 0,
                            bool bus_timing = true) {
            if (!timing_wanted(timing)) {
                return;
            }
            QueuedLoad load;
            load.timing = timing;
            load.bus_timing = bus_timing;
            load.fd = fd;
            load.rate_hz = rate;
            load.window = window;
            const double bus = fd ? fd_bus : classic_bus;
            load.calls = at_least(50, (rate > 0 ? rate : bus) * plan_.queued_seconds);
            cases.push_back({"tx-queued-load", load,
                             rate > 0 ? 0.99 * rate : (fd ? 0.90 : 0.95) * bus});
        };
        for (LinkTiming timing : {LinkTiming::FullSpeed, LinkTiming::HighSpeed}) {
            add_case(timing, false, 0);
        }
        add_case(LinkTiming::HighSpeed, true, 0);
        // The same with the largest window: what the default one leaves of the bus when the
        // sender is not woken in time (a loaded machine) rather than what the link allows.
        add_case(LinkTiming::HighSpeed, true, 0, 32);
        for (LinkTiming timing : {LinkTiming::FullSpeed, LinkTiming::HighSpeed}) {
            for (double rate : plan_.transmit_rates) {
                add_case(timing, false, rate);
            }
        }
        // CPU per frame beside ovel_canfd_transmit's: as its rows run, without bus timing, since
        // the simulated bus costs the event thread a wake-up of its own at each frame's end.
        for (double rate : plan_.transmit_rates) {
            add_case(LinkTiming::FullSpeed, false, rate, 0, false);
        }
        if (timing_wanted(LinkTiming::Immediate)) {
            // With the largest window too: how much of the default one's figure is its senders'
            // wake-ups (one per window's worth of echoes) rather than the cost per frame.
            for (const std::uint32_t window : {0u, 32u}) {
                QueuedLoad load;
                load.timing = LinkTiming::Immediate;
                load.bus_timing = false;
                load.window = window;
                load.calls = plan_.transmit_calls;
                cases.push_back({"tx-queued-immediate", load, 1e6});
            }
        }
        for (const Case& c : cases) {
            std::string load = c.load.fd ? "FD 64-byte BRS, 1 / 5 Mbit/s"
                               : !c.load.bus_timing
                                   ? (c.load.timing == LinkTiming::Immediate
                                          ? "classic 8-byte, echoed at once"
                                          : "classic 8-byte, no bus timing (as the transmit rows)")
                                   : "classic 8-byte, 1 Mbit/s";
            if (c.load.window != 0) {
                load += ", window " + std::to_string(c.load.window);
            }
            const Key key{"", c.part, timing_name(c.load.timing), load, c.load.rate_hz, 0};
            progress("queued sends, %s link, %s, %s: %llu calls", key.timing.c_str(),
                     key.load.c_str(),
                     c.load.rate_hz > 0 ? (std::to_string(static_cast<long>(c.load.rate_hz)) +
                                           " frames/s")
                                              .c_str()
                                        : "back to back",
                     static_cast<unsigned long long>(c.load.calls));
            auto runs = alternate(measured.size(), [&](std::size_t i) {
                Figures f = transmit_queued(*measured[i], c.load);
                f[Column::Target] = c.target;
                return f;
            });
            for (std::size_t i = 0; i < measured.size(); ++i) {
                add(key, measured[i]->label, c.load.calls, runs[i]);
            }
        }
        if (timing_wanted(LinkTiming::Immediate)) {
            // What bounds the immediate link's rows: the sender and the event thread each sleep
            // once per window of echoes, and each wake-up takes this long.
            const std::uint32_t round_trips = plan_.handover_round_trips;
            progress("wake-up hand-over between two threads: %u round trips", round_trips);
            std::vector<Figures> runs;
            for (int run = 0; run < plan_.runs; ++run) {
                runs.push_back(measure_wake_handover(round_trips));
            }
            add(Key{"", "wake-handover", "none", "futex ping-pong", 0, 0}, "floor", round_trips,
                runs, "us");
        }
    }

    // Once per library: a silent bus uses next to nothing, and repeating it would only add time.
    void silent_bus() {
        for (const Library* library : libraries_) {
            progress("%s: silent bus for %.1f s", library->label.c_str(), plan_.idle_seconds);
            add(Key{"", "idle", "immediate", "silent-bus", 0, 0}, library->label, 0,
                {idle(*library, plan_.idle_seconds)}, "s");
        }
    }

    void memory() {
        for (const Library* library : libraries_) {
            progress("%s: memory", library->label.c_str());
            const MemoryFigures m = measure_memory(*library, plan_.memory);
            auto load = [](const char* what, std::uint64_t frames) {
                return std::string(what) + " " + std::to_string(frames) + " frames";
            };
            add(Key{"", "memory", "immediate",
                    load("peak RSS after", plan_.memory.small) + " (callback keeps up)", 0, 0},
                library->label, plan_.memory.small, {m.peak_small}, "MiB");
            add(Key{"", "memory", "immediate",
                    load("peak RSS after", plan_.memory.large) + " (callback keeps up)", 0, 0},
                library->label, plan_.memory.large, {m.peak_large}, "MiB");
            add(Key{"", "memory", "immediate",
                    load("growth per queued frame, stalled callback,", plan_.memory.stalled), 0, 0},
                library->label, plan_.memory.stalled, {m.stalled_growth}, "bytes");
        }
    }

    const Plan& plan_;
    std::vector<const Library*> libraries_;
    Results results_;
};

// ---- command line --------------------------------------------------------------------------

std::vector<std::string> split(const std::string& list) {
    std::vector<std::string> items;
    std::size_t from = 0;
    while (from <= list.size()) {
        const std::size_t comma = std::min(list.find(',', from), list.size());
        if (comma > from) {
            items.push_back(list.substr(from, comma - from));
        }
        from = comma + 1;
    }
    return items;
}

bool parse_number(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end != nullptr && *end == '\0' && value >= 0;
}

bool parse_timing(const std::string& text, LinkTiming& timing) {
    for (LinkTiming t : ALL_TIMINGS) {
        if (text == timing_name(t) || text == std::to_string(static_cast<int>(t))) {
            timing = t;
            return true;
        }
    }
    return false;
}

struct Options {
    std::string current = OVEL_BENCH_CURRENT_LIBRARY;
    std::string previous;
    std::string csv;
    bool smoke = false;
    bool callgrind = false;
    double soak_minutes = 0;
    Plan plan;
};

const char* const USAGE =
    "usage: ovel_bench [--current LIB] [--previous LIB] [--runs N] [--only PARTS]\n"
    "                  [--rates LIST] [--timings LIST] [--competitors LIST] [--csv FILE]\n"
    "                  [--smoke] [--callgrind]\n"
    "       ovel_bench --soak MINUTES [--current LIB]\n"
    "  PARTS: rx,load,floor,budget,tx,idle,memory  rates: frames/s, 0 = saturation\n"
    "  timings: immediate,high-speed,full-speed  competitors: 0,2\n";

// False with `error` set for an argument it does not understand.
bool parse_options(int argc, char** argv, Options& options, std::string& error) {
    std::vector<std::pair<std::string, std::string>> given;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--smoke" || arg == "--callgrind") {
            given.emplace_back(arg, "");
        } else if (arg.rfind("--", 0) == 0 && i + 1 < argc) {
            given.emplace_back(arg, argv[++i]);
        } else {
            error = "unknown or incomplete argument: " + arg;
            return false;
        }
    }
    for (const auto& [name, value] : given) {
        options.smoke = options.smoke || name == "--smoke";
        options.callgrind = options.callgrind || name == "--callgrind";
    }
    Plan& plan = options.plan;
    plan = options.smoke ? smoke_plan() : Plan{};
    for (const auto& [name, value] : given) {
        if (name == "--smoke" || name == "--callgrind") {
            continue;
        } else if (name == "--current") {
            options.current = value;
        } else if (name == "--previous") {
            options.previous = value;
        } else if (name == "--soak") {
            if (!parse_number(value, options.soak_minutes) || options.soak_minutes <= 0) {
                error = "--soak needs a number of minutes above 0";
                return false;
            }
        } else if (name == "--csv") {
            options.csv = value;
        } else if (name == "--runs") {
            double runs = 0;
            if (!parse_number(value, runs) || runs < 1) {
                error = "--runs needs a count of at least 1";
                return false;
            }
            plan.runs = static_cast<int>(runs);
        } else if (name == "--only") {
            plan.parts = split(value);
            for (const std::string& part : plan.parts) {
                if (part != "rx" && part != "load" && part != "floor" && part != "budget" &&
                    part != "tx" && part != "idle" && part != "memory") {
                    error = "unknown part: " + part;
                    return false;
                }
            }
        } else if (name == "--rates") {
            plan.rates.clear();
            for (const std::string& item : split(value)) {
                double rate = 0;
                if (!parse_number(item, rate)) {
                    error = "not a rate: " + item;
                    return false;
                }
                plan.rates.push_back(rate);
            }
        } else if (name == "--timings") {
            plan.timings.clear();
            for (const std::string& item : split(value)) {
                LinkTiming timing{};
                if (!parse_timing(item, timing)) {
                    error = "unknown timing: " + item;
                    return false;
                }
                plan.timings.push_back(timing);
            }
        } else if (name == "--competitors") {
            plan.competitors.clear();
            for (const std::string& item : split(value)) {
                double count = 0;
                if (!parse_number(item, count) || count > 16) {
                    error = "not a number of competitors (0 to 16): " + item;
                    return false;
                }
                plan.competitors.push_back(static_cast<int>(count));
            }
        } else {
            error = "unknown argument: " + name;
            return false;
        }
    }
    return true;
}

}  // namespace
}  // namespace ovel::bench

int main(int argc, char** argv) {
    using namespace ovel::bench;
    Options options;
    std::string error;
    if (!parse_options(argc, argv, options, error)) {
        std::fprintf(stderr, "ovel_bench: %s\n%s", error.c_str(), USAGE);
        return 2;
    }
    // The libraries plug in adapters, start traffic or join a shared bus from these when they
    // load; the benchmark plugs in its own adapters and wants no traffic but its own.
    unsetenv("OVSIM_ADAPTERS");
    unsetenv("OVSIM_TRAFFIC");
    unsetenv("OVSIM_TIMING");
    unsetenv("OVSIM_BUS");

    std::vector<std::pair<std::string, std::string>> wanted = {{"current", options.current}};
    if (!options.previous.empty() && !options.callgrind) {
        wanted.emplace_back("previous", options.previous);
    }
    std::vector<std::unique_ptr<Library>> loaded;
    for (const auto& [label, path] : wanted) {
        loaded.push_back(load_library(label, path, error));
        if (loaded.back() == nullptr) {
            std::fprintf(stderr, "ovel_bench: %s\n", error.c_str());
            return 1;
        }
    }
    ReportHeading heading;
    std::vector<const Library*> libraries;
    for (const auto& library : loaded) {
        libraries.push_back(library.get());
        heading.versions.push_back(library->label);
        heading.paths.push_back(library->path);
        if (library->sim_set_link_timing == nullptr) {
            heading.notes.push_back(library->label +
                                    ": its simulator has no USB timing models; only the "
                                    "immediate link is measured");
        }
    }

    if (options.soak_minutes > 0) {
        return run_soak(*libraries.front(), options.soak_minutes);
    }

    if (options.callgrind) {
        // Classic frames on one channel: the library's per-frame work with the least copying.
        const std::uint64_t frames = 200'000;
        const Figures f = receive_throughput(*libraries.front(), frames, {0}, false);
        if (f.failed()) {
            std::fprintf(stderr, "ovel_bench: FAILED callgrind run: %s\n", f.error.c_str());
            return 1;
        }
        std::printf("callgrind run: %llu frames received, %.2f M frames/s under valgrind\n",
                    static_cast<unsigned long long>(frames), f[Column::Achieved] / 1e6);
        return 0;
    }

    Bench bench(options.plan, libraries);
    bench.run();
    heading.runs = options.plan.runs;
    heading.smoke = options.smoke;
    print_markdown(bench.results(), heading);
    if (!options.csv.empty() && !bench.results().write_csv(options.csv, error)) {
        std::fprintf(stderr, "ovel_bench: %s\n", error.c_str());
        return 1;
    }
    if (bench.results().any_failed()) {
        std::fprintf(stderr,
                     "ovel_bench: FAILED: a run lost, duplicated or reordered frames, or "
                     "could not run\n");
        return 1;
    }
    return 0;
}
