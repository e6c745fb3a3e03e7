#include "figures.h"

#include <cstdio>

namespace ovel::bench {

const char* column_name(Column column) {
    static constexpr std::array<const char*, COLUMN_COUNT> names = {
        "achieved_per_s",
        "process_cpu_pct",
        "event_cpu_pct",
        "dispatch_cpu_pct",
        "app_cpu_pct",
        "event_wakeups_per_s",
        "dispatch_wakeups_per_s",
        "app_wakeups_per_s",
        "release_p50_us",
        "release_p99_us",
        "release_max_us",
        "bus_p50_us",
        "bus_p99_us",
        "bus_max_us",
        "call_p50_us",
        "call_p99_us",
        "cpu_per_million_s",
        "ns_per_frame",
        "value",
        "floor_cpu_ratio",
        "lost",
        "duplicated",
        "reordered",
        "wrong",
        "unmatched",
        "matched",
        "cpu_us_per_frame",
        "target_per_s",
    };
    return names[static_cast<std::size_t>(column)];
}

bool is_fault_count(Column column) {
    return column == Column::Lost || column == Column::Duplicated || column == Column::Reordered ||
           column == Column::Wrong || column == Column::Unmatched;
}

void put_usage(Figures& f, const Usage& usage) {
    f[Column::ProcessCpu] = usage.process_percent();
    f[Column::EventCpu] = usage.percent(ThreadRole::Event);
    f[Column::DispatchCpu] = usage.percent(ThreadRole::Dispatch);
    f[Column::AppCpu] = usage.percent(ThreadRole::App);
    f[Column::EventWakeups] = usage.wakeups_per_second(ThreadRole::Event);
    f[Column::DispatchWakeups] = usage.wakeups_per_second(ThreadRole::Dispatch);
    f[Column::AppWakeups] = usage.wakeups_per_second(ThreadRole::App);
}

void put_delivery(Figures& f, const Delivery& d, std::uint64_t expected) {
    f[Column::Lost] = static_cast<double>(d.lost);
    f[Column::Duplicated] = static_cast<double>(d.duplicated);
    f[Column::Reordered] = static_cast<double>(d.reordered);
    f[Column::Wrong] = static_cast<double>(d.wrong);
    if (!d.ok() || d.delivered != expected) {
        char text[200];
        std::snprintf(
            text, sizeof text,
            "%llu of %llu frames delivered: %llu lost, %llu duplicated, %llu reordered, "
            "%llu wrong",
            static_cast<unsigned long long>(d.delivered), static_cast<unsigned long long>(expected),
            static_cast<unsigned long long>(d.lost), static_cast<unsigned long long>(d.duplicated),
            static_cast<unsigned long long>(d.reordered), static_cast<unsigned long long>(d.wrong));
        f.fail(text);
    }
}

void put_percentiles(Figures& f, Column p50, const Percentiles& p) {
    if (!p.present) {
        return;
    }
    const int first = static_cast<int>(p50);
    f[static_cast<Column>(first)] = p.p50_us;
    f[static_cast<Column>(first + 1)] = p.p99_us;
    f[static_cast<Column>(first + 2)] = p.max_us;
}

void put_latencies(Figures& f, const Latencies& l) {
    put_percentiles(f, Column::ReleaseP50, l.release);
    put_percentiles(f, Column::BusP50, l.bus);
}

}  // namespace ovel::bench
