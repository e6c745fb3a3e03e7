#include "report.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

namespace ovel::bench {
namespace {

std::string format(const char* pattern, double value) {
    if (std::isnan(value)) {
        return "n/a";
    }
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// 20000 -> "20,000".
std::string grouped(double value) {
    const std::string digits = format("%.0f", value);
    if (std::isnan(value) || value < 0) {
        return digits;
    }
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            text += ',';
        }
        text += digits[i];
    }
    return text;
}

// Latencies from the microsecond: one decimal below 100 us.
std::string micros(double value) {
    return format(value < 100 ? "%.1f" : "%.0f", value);
}

std::string triple(const Figures& f, Column p50) {
    const int first = static_cast<int>(p50);
    return micros(f[p50]) + " / " + micros(f[static_cast<Column>(first + 1)]) + " / " +
           micros(f[static_cast<Column>(first + 2)]);
}

std::string percent(double value) {
    return format(value < 10 ? "%.2f" : "%.1f", value);
}

// What a cell shows when the row has no figures to show.
const char* unmeasured(const Row* row) {
    if (row == nullptr) {
        return "-";
    }
    switch (row->status) {
        case Status::Ok:
            return nullptr;
        case Status::Failed:
            return "FAILED";
        case Status::BeyondLink:
            return "beyond the link";
        case Status::Unavailable:
            return "no timing model";
    }
    return "?";
}

// The points of a part (its keys without the version), in the order they were measured.
std::vector<Key> points_of(const Results& results, const std::string& part) {
    std::vector<Key> points;
    for (const Row& row : results.rows()) {
        if (row.key.part != part) {
            continue;
        }
        Key point = row.key;
        point.version.clear();
        bool known = false;
        for (const Key& p : points) {
            known = known || p == point;
        }
        if (!known) {
            points.push_back(point);
        }
    }
    return points;
}

const Row* row_for(const Results& results, Key point, const std::string& version) {
    point.version = version;
    return results.find(point);
}

std::string rate_label(double rate) {
    return rate > 0 ? grouped(rate) : "saturation";
}

// "| a | b |" for the given cells, one version's cells after another.
void print_line(const std::vector<std::string>& cells) {
    std::string line = "|";
    for (const std::string& cell : cells) {
        line += " " + cell + " |";
    }
    std::printf("%s\n", line.c_str());
}

void print_header(const std::vector<std::string>& leading, const std::vector<std::string>& each,
                  const std::vector<std::string>& versions) {
    std::vector<std::string> cells = leading;
    for (const std::string& version : versions) {
        for (const std::string& name : each) {
            cells.push_back(name.empty() ? version : version + ": " + name);
        }
    }
    print_line(cells);
    std::string rule = "|";
    for (std::size_t i = 0; i < cells.size(); ++i) {
        rule += "---|";
    }
    std::printf("%s\n", rule.c_str());
}

// For each version, `count` cells from `fill`, or the reason the row has no figures.
template <class Fill>
void append_cells(std::vector<std::string>& cells, const Row* row, std::size_t count, Fill fill) {
    if (const char* why = unmeasured(row)) {
        cells.insert(cells.end(), count, why);
        return;
    }
    const std::vector<std::string> filled = fill(row->figures);
    cells.insert(cells.end(), filled.begin(), filled.end());
}

void print_load_tables(const Results& results, const ReportHeading& heading) {
    const std::vector<Key> points = points_of(results, "rx-load");
    if (points.empty()) {
        return;
    }
    std::printf(
        "\n### Receive at load: FD frames on 2 channels, CPU in %% of one core\n\n"
        "x floor: the process CPU over the floor's at the same rate (immediate link; the floor "
        "is measured on a quiet machine).\n\n");
    print_header({"link", "competitors", "frames/s"},
                 {"process", "x floor", "event / dispatch", "wake-ups/s event / dispatch"},
                 heading.versions);
    for (const Key& point : points) {
        std::vector<std::string> cells = {point.timing, std::to_string(point.competitors),
                                          rate_label(point.rate)};
        for (const std::string& version : heading.versions) {
            append_cells(cells, row_for(results, point, version), 4, [&](const Figures& f) {
                std::string process = percent(f[Column::ProcessCpu]);
                if (point.rate <= 0) {
                    process += " (" + format("%.0f", f[Column::Achieved]) + " frames/s)";
                }
                return std::vector<std::string>{
                    process, format("%.1f", f[Column::FloorRatio]),
                    percent(f[Column::EventCpu]) + " / " + percent(f[Column::DispatchCpu]),
                    grouped(f[Column::EventWakeups]) + " / " + grouped(f[Column::DispatchWakeups])};
            });
        }
        print_line(cells);
    }

    std::printf(
        "\n### Receive at load: latency to the callback's entry in us, p50 / p99 / max\n\n"
        "From the completion's release to the host, and from the frame's time on the bus.\n\n");
    print_header({"link", "competitors", "frames/s"}, {"release", "bus"}, heading.versions);
    for (const Key& point : points) {
        std::vector<std::string> cells = {point.timing, std::to_string(point.competitors),
                                          rate_label(point.rate)};
        for (const std::string& version : heading.versions) {
            append_cells(cells, row_for(results, point, version), 2, [](const Figures& f) {
                return std::vector<std::string>{triple(f, Column::ReleaseP50),
                                                triple(f, Column::BusP50)};
            });
        }
        print_line(cells);
    }
}

// The same stream with and without a receive latency budget.
void print_budget_table(const Results& results, const ReportHeading& heading) {
    const std::vector<Key> points = points_of(results, "rx-budget");
    if (points.empty()) {
        return;
    }
    std::printf(
        "\n### Receive latency budget (ovel_canfd_set_rx_latency): FD frames on 2 channels, CPU "
        "in %% of one core, latency from the frame's time on the bus in us\n\n");
    print_header({"link", "frames/s", "budget"},
                 {"process", "event / dispatch", "wake-ups/s event / dispatch",
                  "bus p50 / p99 / max"},
                 heading.versions);
    for (const Key& point : points) {
        std::vector<std::string> cells = {point.timing, rate_label(point.rate), point.load};
        for (const std::string& version : heading.versions) {
            append_cells(cells, row_for(results, point, version), 4, [](const Figures& f) {
                return std::vector<std::string>{
                    percent(f[Column::ProcessCpu]),
                    percent(f[Column::EventCpu]) + " / " + percent(f[Column::DispatchCpu]),
                    grouped(f[Column::EventWakeups]) + " / " + grouped(f[Column::DispatchWakeups]),
                    triple(f, Column::BusP50)};
            });
        }
        print_line(cells);
    }
}

void print_floor_table(const Results& results) {
    const std::vector<Key> points = points_of(results, "floor");
    if (points.empty()) {
        return;
    }
    std::printf(
        "\n### Floor: a producer sleeping until each frame is due, a consumer woken by futex, "
        "no library\n\n");
    print_header({"frames/s", "CPU % of one core", "wake-ups/s", "due -> wake p50 / p99 / max us",
                  "handover -> wake p50 / p99 / max us"},
                 {}, {});
    for (const Key& point : points) {
        std::vector<std::string> cells = {rate_label(point.rate)};
        append_cells(cells, row_for(results, point, "floor"), 4, [](const Figures& f) {
            return std::vector<std::string>{
                percent(f[Column::ProcessCpu]), grouped(f[Column::AppWakeups]),
                triple(f, Column::BusP50), triple(f, Column::ReleaseP50)};
        });
        print_line(cells);
    }
}

void print_transmit_table(const Results& results, const ReportHeading& heading) {
    std::vector<Key> points = points_of(results, "tx-back-to-back");
    const std::vector<Key> rated = points_of(results, "tx-rate");
    points.insert(points.end(), rated.begin(), rated.end());
    if (points.empty()) {
        return;
    }
    std::printf(
        "\n### Transmit: ovel_canfd_transmit back to back, and a sender sleeping until each is "
        "due\n\n");
    print_header({"link", "calls/s asked"},
                 {"calls/s", "CPU % caller / event / dispatch", "wake-ups/s event / dispatch",
                  "call p50 / p99 us"},
                 heading.versions);
    for (const Key& point : points) {
        std::vector<std::string> cells = {point.timing,
                                          point.rate > 0 ? grouped(point.rate) : "back to back"};
        for (const std::string& version : heading.versions) {
            append_cells(cells, row_for(results, point, version), 4, [](const Figures& f) {
                return std::vector<std::string>{
                    grouped(f[Column::Achieved]),
                    percent(f[Column::AppCpu]) + " / " + percent(f[Column::EventCpu]) + " / " +
                        percent(f[Column::DispatchCpu]),
                    grouped(f[Column::EventWakeups]) + " / " + grouped(f[Column::DispatchWakeups]),
                    micros(f[Column::CallP50]) + " / " + micros(f[Column::CallP99])};
            });
        }
        print_line(cells);
    }
}

// Queued sends beside transmits, both at the pace of a 500 kbit/s bus (the simulator's echo
// timing) on a full-speed link.
void print_queued_table(const Results& results, const ReportHeading& heading) {
    std::vector<Key> points = points_of(results, "tx-queued");
    const std::vector<Key> paced = points_of(results, "tx-bus-paced");
    points.insert(points.end(), paced.begin(), paced.end());
    if (points.empty()) {
        return;
    }
    std::printf(
        "\n### Sending at the bus's pace: ovel_canfd_send (window 10) and ovel_canfd_transmit "
        "back to back, echoes after each frame's time on a 500 kbit/s bus\n\n");
    print_header({"path", "link"},
                 {"frames/s", "CPU % caller / event / dispatch", "lost / reordered"},
                 heading.versions);
    for (const Key& point : points) {
        std::vector<std::string> cells = {
            point.part == "tx-queued" ? "ovel_canfd_send" : "ovel_canfd_transmit", point.timing};
        for (const std::string& version : heading.versions) {
            append_cells(cells, row_for(results, point, version), 3, [](const Figures& f) {
                return std::vector<std::string>{
                    grouped(f[Column::Achieved]),
                    percent(f[Column::AppCpu]) + " / " + percent(f[Column::EventCpu]) + " / " +
                        percent(f[Column::DispatchCpu]),
                    grouped(f[Column::Lost]) + " / " + grouped(f[Column::Reordered])};
            });
        }
        print_line(cells);
    }
}

// The versions with a row in any of these parts.
std::vector<std::string> versions_in(const Results& results, const std::vector<Key>& points,
                                     const ReportHeading& heading) {
    std::vector<std::string> versions;
    for (const std::string& version : heading.versions) {
        for (const Key& point : points) {
            if (row_for(results, point, version) != nullptr) {
                versions.push_back(version);
                break;
            }
        }
    }
    return versions;
}

// Queued sends at 1 Mbit/s with their targets: the bus's frame rate (or the rate asked for),
// CPU per frame no more than the synchronous sender's at the same rate on a full-speed link,
// and on the immediate link a million frames per second with every echo matched.
void print_queued_load_table(const Results& results, const ReportHeading& heading) {
    std::vector<Key> points = points_of(results, "tx-queued-load");
    const std::vector<Key> immediate = points_of(results, "tx-queued-immediate");
    points.insert(points.end(), immediate.begin(), immediate.end());
    if (points.empty()) {
        return;
    }
    const std::vector<std::string> versions = versions_in(results, points, heading);
    std::printf(
        "\n### Queued sends: ovel_canfd_send (window 10 unless named) back to back or at a rate, echoes "
        "after each frame's time on the bus; on the immediate link echoed at once\n\n"
        "Frames/s from the first call to the last echo; target: 95 %% of the bus's frame rate "
        "for classic frames, 90 %% for FD, 99 %% of the rate asked for; CPU per frame (process: "
        "caller, event and dispatch threads) at most ovel_canfd_transmit's at the same rate on a "
        "full-speed link (tx-rate rows, same version, no bus timing either); immediate: "
        "1,000,000 frames/s, every echo carrying its send's id.\n\n");
    print_header({"link", "frames", "frames/s asked"},
                 {"frames/s (calls/s)", "target", "CPU % caller / event / dispatch",
                  "CPU us/frame (transmit's)", "matched / lost / reordered"},
                 versions);
    for (const Key& point : points) {
        std::vector<std::string> cells = {point.timing, point.load,
                                          point.rate > 0 ? grouped(point.rate) : "back to back"};
        for (const std::string& version : versions) {
            const Row* row = row_for(results, point, version);
            append_cells(cells, row, 5, [&](const Figures& f) {
                const bool rate_met = f[Column::Achieved] >= f[Column::Target];
                std::string cpu = format("%.1f", f[Column::CpuUsPerFrame]);
                const Row* transmit =
                    row_for(results, Key{"", "tx-rate", point.timing, "rated", point.rate, 0},
                            version);
                if (point.rate > 0 && transmit != nullptr && transmit->status == Status::Ok) {
                    const double limit = transmit->figures[Column::CpuUsPerFrame];
                    cpu += " (" + format("%.1f", limit) + ")";
                    if (point.timing == "full-speed" &&
                        point.load.find("no bus timing") != std::string::npos) {
                        cpu += f[Column::CpuUsPerFrame] <= limit ? " met" : " MISSED";
                    }
                }
                return std::vector<std::string>{
                    grouped(f[Column::Achieved]) + " (" + grouped(f[Column::Value]) + ")",
                    ">= " + grouped(f[Column::Target]) + (rate_met ? " met" : " MISSED"),
                    percent(f[Column::AppCpu]) + " / " + percent(f[Column::EventCpu]) + " / " +
                        percent(f[Column::DispatchCpu]),
                    cpu,
                    grouped(f[Column::Matched]) + " / " + grouped(f[Column::Lost]) + " / " +
                        grouped(f[Column::Reordered])};
            });
        }
        print_line(cells);
    }
    for (const Key& point : points_of(results, "wake-handover")) {
        const Row* row = row_for(results, point, "floor");
        if (row == nullptr || row->status != Status::Ok) {
            continue;
        }
        const double one_way = row->figures[Column::Value];
        std::printf(
            "\nWaking a sleeping thread took %.1f us one way here (two threads, futex ping-pong). "
            "The sender and the event thread each sleep once per window of echoes, so the "
            "immediate link allows at most window / (2 x %.1f us): %s frames/s with window 10, "
            "%s with 32.\n",
            one_way, one_way, grouped(10 / (2 * one_way) * 1e6).c_str(),
            grouped(32 / (2 * one_way) * 1e6).c_str());
    }
}

void print_other_table(const Results& results, const ReportHeading& heading) {
    std::vector<std::pair<std::string, std::vector<std::string>>> lines;
    auto line = [&](const std::string& name, const Key& point, auto fill) {
        std::vector<std::string> cells;
        bool any = false;
        for (const std::string& version : heading.versions) {
            const Row* row = row_for(results, point, version);
            any = any || row != nullptr;
            append_cells(cells, row, 1,
                         [&](const Figures& f) { return std::vector<std::string>{fill(f)}; });
        }
        if (any) {
            lines.emplace_back(name, cells);
        }
    };
    for (const Key& point : points_of(results, "rx-throughput")) {
        if (row_for(results, point, heading.versions.front()) == nullptr) {
            continue;
        }
        line("receive, " + point.load, point, [](const Figures& f) {
            return format("%.2f", f[Column::Achieved] / 1e6) + " M frames/s";
        });
        std::string name = "CPU per million received frames, " + point.load;
        if (const Row* sim = row_for(results, point, "simulator");
            sim != nullptr && sim->status == Status::Ok) {
            name += " (simulator alone: " + format("%.3f", sim->figures[Column::CpuPerMillion]) +
                    " s, " + format("%.0f", sim->figures[Column::NsPerFrame]) + " ns/frame)";
        }
        line(name, point,
             [](const Figures& f) { return format("%.3f", f[Column::CpuPerMillion]) + " s"; });
    }
    for (const Key& point : points_of(results, "idle")) {
        line(
            "CPU on a silent bus, two channels started: % of one core (wake-ups/s event / "
            "dispatch)",
            point, [](const Figures& f) {
                return percent(f[Column::ProcessCpu]) + " % (" +
                       format("%.1f", f[Column::EventWakeups]) + " / " +
                       format("%.1f", f[Column::DispatchWakeups]) + ")";
            });
    }
    for (const Key& point : points_of(results, "memory")) {
        const Row* any_row = nullptr;
        for (const std::string& version : heading.versions) {
            any_row = any_row != nullptr ? any_row : row_for(results, point, version);
        }
        const std::string unit = any_row != nullptr ? any_row->unit : "";
        line(point.load, point,
             [&](const Figures& f) { return format("%.1f", f[Column::Value]) + " " + unit; });
    }
    if (lines.empty()) {
        return;
    }
    std::printf("\n### Throughput, silent bus, memory\n\n");
    print_header({"measurement"}, {""}, heading.versions);
    for (auto& [name, cells] : lines) {
        cells.insert(cells.begin(), name);
        print_line(cells);
    }
}

}  // namespace

void print_markdown(const Results& results, const ReportHeading& heading) {
    std::printf(
        "ovel_bench: %u cores, %d run(s) per figure (median), versions measured in turn%s\n",
        std::thread::hardware_concurrency(), heading.runs, heading.smoke ? ", smoke pass" : "");
    for (std::size_t i = 0; i < heading.versions.size(); ++i) {
        std::printf("  %s: %s\n", heading.versions[i].c_str(), heading.paths[i].c_str());
    }
    for (const std::string& note : heading.notes) {
        std::printf("  note: %s\n", note.c_str());
    }
    print_load_tables(results, heading);
    print_floor_table(results);
    print_budget_table(results, heading);
    print_transmit_table(results, heading);
    print_queued_table(results, heading);
    print_queued_load_table(results, heading);
    print_other_table(results, heading);
}

}  // namespace ovel::bench
