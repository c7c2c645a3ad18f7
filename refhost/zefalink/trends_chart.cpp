// trends.svg: the recorded variables and trends drawn as one panel per
// quantity.
#include "trends_chart.h"

#include <cmath>
#include <filesystem>
#include <map>

#include "lib/svg_chart.h"

namespace zefalink {

std::string PanelTitle(const std::string& quantity, const std::string& unit) {
    static const std::map<std::string, std::string> by_quantity = {{"pressure", "Pressure"},
                                                                   {"temperature", "Temperature"},
                                                                   {"massflow", "Mass flow"},
                                                                   {"time", "Time"}};
    static const std::map<std::string, std::string> by_unit = {{"%", "Position or output"},
                                                               {"kg", "Mass"},
                                                               {"m", "Length"},
                                                               {"m/s", "Velocity"},
                                                               {"kg/m3", "Density"},
                                                               {"m3/s", "Volume flow"},
                                                               {"m3", "Volume"},
                                                               {"-", "Dimensionless"},
                                                               {"W", "Heat flow"}};
    std::string name;
    if (auto it = by_quantity.find(quantity); it != by_quantity.end())
        name = it->second;
    else if (auto u = by_unit.find(unit); u != by_unit.end())
        name = u->second;
    else
        name = "Value";
    return name + " [" + unit + "]";
}

void WriteTrendsSvg(const std::string& path, const std::string& case_path, const TrendTable& table,
                    const std::vector<double>& times,
                    const std::vector<std::vector<double>>& rows) {
    std::vector<refhost::LineChart> panels;
    std::map<std::string, std::size_t> panel_of;
    const auto& columns = table.Columns();
    for (std::size_t k = 0; k < columns.size(); ++k) {
        const std::string title = PanelTitle(columns[k].quantity, columns[k].unit);
        auto [it, added] = panel_of.emplace(title, panels.size());
        if (added) {
            refhost::LineChart chart;
            chart.title = title;
            chart.x_label = "Time [s]";
            chart.y_label = title;
            panels.push_back(std::move(chart));
        }
        refhost::ChartSeries series;
        series.name = columns[k].label;
        series.x = times;
        for (const auto& row : rows) series.y.push_back(k < row.size() ? row[k] : std::nan(""));
        panels[it->second].series.push_back(std::move(series));
    }
    std::string heading = std::filesystem::path(case_path).filename().string();
    if (!times.empty()) {
        char span[96];
        std::snprintf(span, sizeof span, ": t = %g to %g s", times.front(), times.back());
        heading += span;
    }
    refhost::WriteSvg(path, panels, heading);
}

}  // namespace zefalink
