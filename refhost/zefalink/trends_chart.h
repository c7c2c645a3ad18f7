#pragma once

// trends.svg: the columns of trends.csv drawn as one panel per quantity.

#include <string>
#include <vector>

#include "trend_table.h"

namespace zefalink {

// Panel title of a quantity shown in `unit`: "Pressure [bar]".
std::string PanelTitle(const std::string& quantity, const std::string& unit);

// Writes trends.svg to `path`: a heading with the case's name and the time
// span, then a panel per quantity with every column of that quantity as a
// line, headed "Quantity [unit]". `rows[k]` holds the values at `times[k]`;
// a row shorter than the table has no values for the columns added later.
// Throws when the file cannot be written.
void WriteTrendsSvg(const std::string& path, const std::string& case_path, const TrendTable& table,
                    const std::vector<double>& times, const std::vector<std::vector<double>>& rows);

}  // namespace zefalink
