// The figures one measurement run yields, by column; a column a part does not measure stays NaN
// (written as an empty field, shown as "n/a").
#pragma once

#include <array>
#include <cmath>
#include <string>

#include "collector.h"
#include "process_stats.h"

namespace ovel::bench {

enum class Column : int {
    Achieved,      // frames or calls per second reached
    ProcessCpu,    // % of one core, whole process
    EventCpu,      // % of one core, the library's USB event thread
    DispatchCpu,   // % of one core, the library's other threads (receive dispatch)
    AppCpu,        // % of one core, main thread and the benchmark's own threads
    EventWakeups,  // voluntary context switches per second
    DispatchWakeups,
    AppWakeups,
    ReleaseP50,  // us, completion released to the host -> callback entry
    ReleaseP99,
    ReleaseMax,
    BusP50,  // us, frame's time on the bus (due time) -> callback entry
    BusP99,
    BusMax,
    CallP50,  // us, one ovel_canfd_transmit call
    CallP99,
    CpuPerMillion,  // process CPU seconds per million frames
    NsPerFrame,     // wall time per frame
    Value,          // the figure of a part with one figure; its unit is the row's
    FloorRatio,     // process CPU over the floor's at the same rate
    Lost,
    Duplicated,
    Reordered,
    Wrong,  // unexpected sequence number, channel or echo flag
    Unmatched,       // echoes of queued sends whose send id was not the one the send returned
    Matched,         // echoes of queued sends carrying the send id the send returned
    CpuUsPerFrame,   // process CPU microseconds per frame sent
    Target,          // the frames or calls per second the row's target asks for
    Count
};

inline constexpr int COLUMN_COUNT = static_cast<int>(Column::Count);

const char* column_name(Column column);  // the CSV header's name
bool is_fault_count(Column column);      // summed over runs rather than taken as the median

struct Figures {
    std::array<double, COLUMN_COUNT> values;
    std::string error;  // why the run failed; empty when it did not

    Figures() { values.fill(NAN); }
    double& operator[](Column c) { return values[static_cast<std::size_t>(c)]; }
    double operator[](Column c) const { return values[static_cast<std::size_t>(c)]; }
    bool failed() const { return !error.empty(); }
    Figures& fail(const std::string& why) {
        error = error.empty() ? why : error + "; " + why;
        return *this;
    }
};

// Process and per-thread CPU in % of a core, and wake-ups per second.
void put_usage(Figures& figures, const Usage& usage);
// Lost, duplicated, reordered and wrong frames; any of them fails the run.
void put_delivery(Figures& figures, const Delivery& delivery, std::uint64_t expected);
void put_latencies(Figures& figures, const Latencies& latencies);
void put_percentiles(Figures& figures, Column p50, const Percentiles& percentiles);

}  // namespace ovel::bench
