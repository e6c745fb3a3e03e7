// Medians and percentiles of figures taken over several runs or many frames.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ovel::bench {

// The value at `fraction` (0 to 1) of the sorted values, nearest rank below; 0 for none.
inline double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index),
                     values.end());
    return values[index];
}

// The median of the values that are numbers; NaN (no figure) when none is.
inline double median(const std::vector<double>& values) {
    std::vector<double> numbers;
    for (double v : values) {
        if (!std::isnan(v)) {
            numbers.push_back(v);
        }
    }
    if (numbers.empty()) {
        return NAN;
    }
    std::sort(numbers.begin(), numbers.end());
    const std::size_t middle = numbers.size() / 2;
    return numbers.size() % 2 == 1 ? numbers[middle] : (numbers[middle - 1] + numbers[middle]) / 2;
}

// A latency distribution in microseconds.
struct Percentiles {
    bool present = false;  // false: no frame carried this time
    double p50_us = 0, p99_us = 0, max_us = 0;
};

inline constexpr std::uint32_t NO_TIME = UINT32_MAX;  // a latency slot no frame filled

// Latencies in ns by sequence number, leaving out the first 1 % of the frames (they also pay
// for the threads' first wake-ups and page faults) and the slots no frame filled.
inline Percentiles latency_percentiles(const std::vector<std::uint32_t>& ns_by_sequence) {
    std::vector<double> values;
    values.reserve(ns_by_sequence.size());
    for (std::size_t k = ns_by_sequence.size() / 100; k < ns_by_sequence.size(); ++k) {
        if (ns_by_sequence[k] != NO_TIME) {
            values.push_back(static_cast<double>(ns_by_sequence[k]) / 1000);
        }
    }
    Percentiles p;
    if (values.empty()) {
        return p;
    }
    p.present = true;
    p.p50_us = percentile(values, 0.50);
    p.p99_us = percentile(values, 0.99);
    p.max_us = percentile(values, 1.0);
    return p;
}

// Nanoseconds from `then` to `now` as a latency slot (then 0: no time carried).
inline std::uint32_t latency_ns(std::uint64_t now, std::uint64_t then) {
    if (then == 0) {
        return NO_TIME;
    }
    const std::uint64_t elapsed = now > then ? now - then : 0;
    return static_cast<std::uint32_t>(elapsed < NO_TIME ? elapsed : NO_TIME - 1);
}

}  // namespace ovel::bench
