// The pipeline unit's results as columns of a trends table, shared by the
// commands that record them over time (run, standalone).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lib/case.h"
#include "unit_values.h"

namespace zefalink {

// One column of trends.csv: its header and how to read its value now.
struct Column {
    std::string header;
    std::function<double()> value;
    std::string unit;  // the unit in the header's brackets
};

// The columns a coupled pipeline unit adds: per connection (inlets, then
// outlets) the boundary results that the extension keeps (pressure, three
// phase flows, temperature), then its trends, headed by key, position and unit.
std::vector<Column> PipelineColumns(refhost::PipelineUnit& unit);

}  // namespace zefalink
