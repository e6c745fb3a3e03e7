#include "results.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "statistics.h"

namespace ovel::bench {
namespace {

// A CSV field: quoted when it holds a separator, a quote or a line break.
std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

std::string number(double value) {
    if (std::isnan(value)) {
        return "";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

}  // namespace

const char* status_name(Status status) {
    switch (status) {
        case Status::Ok:
            return "ok";
        case Status::Failed:
            return "FAILED";
        case Status::BeyondLink:
            return "beyond-link";
        case Status::Unavailable:
            return "unavailable";
    }
    return "?";
}

void Results::add(const Key& key, std::uint64_t frames, const std::vector<Figures>& runs,
                  const std::string& unit) {
    Row row;
    row.key = key;
    row.runs = static_cast<int>(runs.size());
    row.frames = frames;
    row.unit = unit;
    for (int c = 0; c < COLUMN_COUNT; ++c) {
        const auto column = static_cast<Column>(c);
        std::vector<double> values;
        double sum = 0;
        bool counted = false;
        for (const Figures& run : runs) {
            const double value = run[column];
            if (is_fault_count(column) && !std::isnan(value)) {
                sum += value;
                counted = true;
            } else if (!run.failed()) {
                values.push_back(value);
            }
        }
        row.figures[column] = is_fault_count(column) ? (counted ? sum : NAN) : median(values);
    }
    for (const Figures& run : runs) {
        if (run.failed()) {
            row.status = Status::Failed;
            row.figures.fail(run.error);
        }
    }
    rows_.push_back(row);
}

void Results::add_skipped(const Key& key, Status status) {
    Row row;
    row.key = key;
    row.status = status;
    rows_.push_back(row);
}

void Results::compute_floor_ratios() {
    for (Row& row : rows_) {
        if (row.key.part != "rx-load" || row.key.timing != "immediate" || row.key.rate <= 0) {
            continue;
        }
        const Row* floor = find(Key{"floor", "floor", "none", "rated", row.key.rate, 0});
        if (floor != nullptr && floor->figures[Column::ProcessCpu] > 0) {
            row.figures[Column::FloorRatio] =
                row.figures[Column::ProcessCpu] / floor->figures[Column::ProcessCpu];
        }
    }
}

const Row* Results::find(const Key& key) const {
    for (const Row& row : rows_) {
        if (row.key == key) {
            return &row;
        }
    }
    return nullptr;
}

bool Results::any_failed() const {
    for (const Row& row : rows_) {
        if (row.status == Status::Failed) {
            return true;
        }
    }
    return false;
}

bool Results::write_csv(const std::string& path, std::string& error) const {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    std::fputs("version,part,timing,load,rate,competitors,status,runs,frames", file);
    for (int c = 0; c < COLUMN_COUNT; ++c) {
        std::fprintf(file, ",%s", column_name(static_cast<Column>(c)));
    }
    std::fputs(",unit,error\n", file);
    for (const Row& row : rows_) {
        std::fprintf(file, "%s,%s,%s,%s,%s,%d,%s,%d,%llu", csv_field(row.key.version).c_str(),
                     csv_field(row.key.part).c_str(), csv_field(row.key.timing).c_str(),
                     csv_field(row.key.load).c_str(), number(row.key.rate).c_str(),
                     row.key.competitors, status_name(row.status), row.runs,
                     static_cast<unsigned long long>(row.frames));
        for (int c = 0; c < COLUMN_COUNT; ++c) {
            std::fprintf(file, ",%s", number(row.figures[static_cast<Column>(c)]).c_str());
        }
        std::fprintf(file, ",%s,%s\n", csv_field(row.unit).c_str(),
                     csv_field(row.figures.error).c_str());
    }
    const bool written = std::ferror(file) == 0;
    if (std::fclose(file) != 0 || !written) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace ovel::bench
