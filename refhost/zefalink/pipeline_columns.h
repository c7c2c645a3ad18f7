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

// One connection's results as the extension keeps them: the columns' label
// ("UNIT TAG"), the number arrays holding its pressure, three phase flows
// and temperature, and its row in them (sources and boundaries are numbered
// apart, walking the inlets, then the outlets).
struct ConnectionResults {
    std::string label;
    const char* pressure;
    const char* flows;
    const char* temperature;
    std::size_t row;
};
std::vector<ConnectionResults> ConnectionResultRows(refhost::PipelineUnit& unit);

// The columns a coupled pipeline unit adds: per connection (inlets, then
// outlets) the boundary results that the extension keeps (pressure, three
// phase flows, temperature), then its trends, headed by key, position and unit.
std::vector<Column> PipelineColumns(refhost::PipelineUnit& unit);

}  // namespace zefalink
