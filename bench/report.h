// The results as Markdown tables on stdout, the versions side by side.
#pragma once

#include <string>
#include <vector>

#include "results.h"

namespace ovel::bench {

struct ReportHeading {
    std::vector<std::string> versions;  // labels in column order, e.g. {"current", "previous"}
    std::vector<std::string> paths;     // their libraries
    int runs = 0;
    bool smoke = false;
    std::vector<std::string> notes;  // printed under the heading
};

void print_markdown(const Results& results, const ReportHeading& heading);

}  // namespace ovel::bench
