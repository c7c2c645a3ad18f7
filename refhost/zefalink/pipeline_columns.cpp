// The pipeline unit's results as trend columns: one walk of a unit's
// connections for the run's and the standalone's result columns.
#include "pipeline_columns.h"

#include <optional>

namespace zefalink {
namespace {

// Entry (row, col) of a number array of the unit as it is now; the host's
// empty marker when the array has no such entry.
std::function<double()> ArrayEntry(refhost::PipelineUnit& unit, const char* tag, std::size_t row,
                                   std::optional<std::size_t> col = std::nullopt) {
    auto array = UnitVariable<host::NumberArrayVariable>(unit, tag);
    return [array, row, col] {
        if (!array) return host::kEmptyNumber;
        const host::NumberArray a = array->GetValues();
        try {
            return col ? a.At(row, *col) : a.At(row);
        } catch (const std::exception&) {
            return host::kEmptyNumber;
        }
    };
}

std::vector<std::string> TextArray(refhost::PipelineUnit& unit, const char* tag) {
    auto array = UnitVariable<host::TextArrayVariable>(unit, tag);
    return array ? array->GetValues() : std::vector<std::string>{};
}

}  // namespace

std::vector<ConnectionResults> ConnectionResultRows(refhost::PipelineUnit& unit) {
    std::vector<ConnectionResults> rows;
    const std::string name = unit.Name();
    const auto inlets = UnitVariable<host::StreamListVariable>(unit, "Inlets");
    const auto outlets = UnitVariable<host::StreamListVariable>(unit, "Outlets");
    const std::size_t n_in = inlets ? inlets->GetStreams().size() : 0;
    const std::size_t n_out = outlets ? outlets->GetStreams().size() : 0;
    const auto source_tags = TextArray(unit, "SourceTags");
    const auto boundary_tags = TextArray(unit, "BoundaryTags");
    std::size_t sources = 0, boundaries = 0;
    for (std::size_t k = 0; k < n_in + n_out; ++k) {
        const bool inlet = k < n_in;
        const std::size_t index = inlet ? k : k - n_in;
        // An inlet is a boundary when its entry is 1, an outlet a source.
        const double flag = ArrayEntry(unit, inlet ? "InletBoundaryCB" : "OutletSourceCB", index)();
        const bool boundary = inlet ? flag == 1.0 : flag != 1.0;
        const auto& tags = inlet ? source_tags : boundary_tags;
        rows.push_back(
            {name + " " + (index < tags.size() ? tags[index] : "connection " + std::to_string(k)),
             boundary ? "BoundaryPressures" : "SourcePressures",
             boundary ? "OutletMassFlows" : "SourceMassFlows",
             boundary ? "BoundaryTemperatures" : "SourceTemperatures",
             boundary ? boundaries++ : sources++});
    }
    return rows;
}

std::vector<Column> PipelineColumns(refhost::PipelineUnit& unit) {
    std::vector<Column> columns;
    const std::string name = unit.Name();
    for (const auto& c : ConnectionResultRows(unit)) {
        columns.push_back(
            {c.label + " pressure [kPa]", ArrayEntry(unit, c.pressure, c.row), "kPa"});
        const char* phases[] = {"gas", "oil", "water"};
        for (std::size_t p = 0; p < 3; ++p)
            columns.push_back({c.label + " " + phases[p] + " flow [kg/s]",
                               ArrayEntry(unit, c.flows, c.row, p), "kg/s"});
        columns.push_back(
            {c.label + " temperature [C]", ArrayEntry(unit, c.temperature, c.row), "C"});
    }
    const auto positions = TextArray(unit, "TrendPositions");
    const auto keys = TextArray(unit, "TrendVarTags");
    const auto units = TextArray(unit, "TrendUnits");
    for (std::size_t r = 0; r < positions.size(); ++r) {
        if (positions[r] == "New Trend") continue;
        const std::string key = r < keys.size() ? keys[r] : "?";
        const std::string measure = r < units.size() ? units[r] : "";
        std::string header = name + " " + key;
        if (!positions[r].empty()) header += " " + positions[r];
        header += " [" + measure + "]";
        columns.push_back({header, ArrayEntry(unit, "TrendValues", r), measure});
    }
    return columns;
}

}  // namespace zefalink
