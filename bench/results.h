// Every figure of a benchmark run, one row per version, part, link timing, load, rate and
// competition: the medians of its runs (fault counts summed), written as CSV and printed as
// Markdown tables.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "figures.h"

namespace ovel::bench {

struct Key {
    std::string version;  // "current", "previous", "floor" (no library) or "simulator" (alone)
    std::string part;     // rx-throughput, rx-load, floor, tx-back-to-back, tx-rate, idle, memory
    std::string timing;   // immediate, high-speed, full-speed (none: no USB involved)
    std::string load;     // rated or saturation, or what the part measured (e.g. 2ch-fd)
    double rate = 0;      // frames or transmits per second asked for (0: as fast as possible)
    int competitors = 0;  // CPU-bound processes running meanwhile

    bool operator==(const Key&) const = default;
};

enum class Status {
    Ok,
    Failed,       // a run lost, duplicated, reordered or corrupted frames, or could not run
    BeyondLink,   // the rate exceeds what the link timing carries: not measured
    Unavailable,  // the library's simulator lacks the link timing: not measured
};
const char* status_name(Status status);

struct Row {
    Key key;
    Status status = Status::Ok;
    int runs = 0;
    std::uint64_t frames = 0;  // per run
    Figures figures;
    std::string unit;  // of Column::Value
};

class Results {
  public:
    // The medians of the runs that did not fail; Failed when any did.
    void add(const Key& key, std::uint64_t frames, const std::vector<Figures>& runs,
             const std::string& unit = "");
    void add_skipped(const Key& key, Status status);
    // Each immediate-timing rated receive figure's process CPU over the floor's at its rate.
    void compute_floor_ratios();

    const Row* find(const Key& key) const;
    const std::vector<Row>& rows() const { return rows_; }
    bool any_failed() const;
    // False with `error` set when the file cannot be written.
    bool write_csv(const std::string& path, std::string& error) const;

  private:
    std::vector<Row> rows_;
};

}  // namespace ovel::bench
