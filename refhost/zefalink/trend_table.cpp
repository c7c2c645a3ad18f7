// The columns of trends.csv and trends.svg in one unit per quantity, and the
// trends file written as the run goes.
#include "trend_table.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "pipeline_columns.h"
#include "platform/safe_file.h"
#include "unit_values.h"

namespace zefalink {

namespace {

struct KnownUnit {
    const char* text;       // as the host or the catalogue writes it
    const char* quantity;   // the host's quantity
    const char* canonical;  // the host's name of the unit
};

constexpr KnownUnit kKnownUnits[] = {
    {"Pa", "pressure", "Pa"},     {"N/m2", "pressure", "N/m2"}, {"N/m²", "pressure", "N/m2"},
    {"kPa", "pressure", "kPa"},   {"bar", "pressure", "bar"},   {"MPa", "pressure", "MPa"},
    {"atm", "pressure", "atm"},   {"psi", "pressure", "psi"},   {"C", "temperature", "C"},
    {"°C", "temperature", "C"},   {"oC", "temperature", "C"},   {"K", "temperature", "K"},
    {"kg/s", "massflow", "kg/s"}, {"kg/h", "massflow", "kg/h"}, {"s", "time", "s"},
    {"seconds", "time", "s"},
};

const KnownUnit* FindKnown(const std::string& unit) {
    for (const auto& k : kKnownUnits)
        if (unit == k.text) return &k;
    return nullptr;
}

// Entry (row, col) of a number array of the unit as it is now; NaN when the
// array has no such entry or it holds the empty marker.
std::function<double()> ArrayEntry(refhost::PipelineUnit& unit, const char* tag, std::size_t row,
                                   std::optional<std::size_t> col = std::nullopt) {
    auto array = UnitVariable<host::NumberArrayVariable>(unit, tag);
    return [array, row, col] {
        if (!array) return std::nan("");
        const host::NumberArray a = array->GetValues();
        try {
            return col ? a.At(row, *col) : a.At(row);
        } catch (const std::exception&) {
            return std::nan("");
        }
    };
}

constexpr const char* kNewTrend = "New Trend";  // a trend row not yet placed

}  // namespace

std::string QuantityOfUnit(const std::string& unit) {
    const KnownUnit* k = FindKnown(unit);
    return k ? k->quantity : "";
}

std::string CasePressureUnit(const nlohmann::json& record) {
    if (record.is_object() && record.contains("variables") && record["variables"].is_array())
        for (const auto& v : record["variables"]) {
            if (!v.is_object() || !v.contains("unit_of_measure") ||
                !v["unit_of_measure"].is_string())
                continue;
            const std::string unit = v["unit_of_measure"].get<std::string>();
            if (QuantityOfUnit(unit) == "pressure") return FindKnown(unit)->canonical;
        }
    return "bar";
}

ShownUnit ShowUnit(const std::string& unit, const std::string& pressure_unit) {
    const KnownUnit* known = FindKnown(unit);
    const std::string quantity = known ? known->quantity : "";
    std::string shown = unit.empty() ? "-" : unit;
    if (quantity == "pressure") shown = pressure_unit;
    if (quantity == "temperature") shown = "C";
    if (quantity == "massflow") shown = "kg/s";
    if (quantity == "time") shown = "s";
    const std::string from = known ? known->canonical : "";
    auto convert = [quantity, from, shown](double v) {
        if (v == host::kEmptyNumber || !std::isfinite(v)) return std::nan("");
        if (!quantity.empty() && from != shown)
            v = refhost::FromInternal(quantity, shown, refhost::ToInternal(quantity, from, v));
        return v;
    };
    return {shown, quantity, convert};
}

void TrendTable::Add(std::string label, const std::string& unit, std::function<double()> value) {
    ShownUnit shown = ShowUnit(unit, pressure_unit_);
    TrendColumn column;
    column.label = std::move(label);
    column.unit = shown.unit;
    column.quantity = shown.quantity;
    column.value = [value = std::move(value), convert = shown.convert] { return convert(value()); };
    columns_.push_back(std::move(column));
}

void TrendTable::AddRecorded(const std::string& header, std::function<double()> value) {
    std::string label = header, unit;
    const auto open = header.rfind(" [");
    if (open != std::string::npos && header.back() == ']') {
        label = header.substr(0, open);
        unit = header.substr(open + 2, header.size() - open - 3);
    }
    Add(label, unit == "-" ? "" : unit, std::move(value));
}

void TrendTable::AddPipeline(const std::shared_ptr<refhost::PipelineUnit>& unit) {
    pipelines_.push_back(unit);
    for (const auto& c : ConnectionResultRows(*unit)) {
        Add(c.label + " pressure", "kPa", ArrayEntry(*unit, c.pressure, c.row));
        const char* phases[] = {"gas", "oil", "water"};
        for (std::size_t p = 0; p < 3; ++p)
            Add(c.label + " " + phases[p] + " flow", "kg/s", ArrayEntry(*unit, c.flows, c.row, p));
        Add(c.label + " temperature", "C", ArrayEntry(*unit, c.temperature, c.row));
    }
    const auto positions = UnitTexts(*unit, "TrendPositions");
    for (std::size_t r = 0; r < positions.size(); ++r)
        if (positions[r] != kNewTrend) AddTrendRow(unit, r, "");
}

void TrendTable::AddTrendRow(const std::shared_ptr<refhost::PipelineUnit>& unit, std::size_t row,
                             const std::string& suffix) {
    const auto positions = UnitTexts(*unit, "TrendPositions");
    const auto keys = UnitTexts(*unit, "TrendVarTags");
    const auto units = UnitTexts(*unit, "TrendUnits");
    const std::string key = row < keys.size() ? keys[row] : "?";
    const std::string position = row < positions.size() ? positions[row] : "";
    std::string label = unit->Name() + " " + key;
    if (!position.empty()) label += " " + position;
    Add(label + suffix, row < units.size() ? units[row] : "",
        ArrayEntry(*unit, "TrendValues", row));
    TrendColumn& column = columns_.back();
    column.trend_unit = unit;
    column.trend_row = row;
    column.trend_key = key;
    column.trend_position = position;
}

bool TrendTable::FollowTrends(double time) {
    bool added = false;
    for (const auto& unit : pipelines_) {
        const auto positions = UnitTexts(*unit, "TrendPositions");
        const auto keys = UnitTexts(*unit, "TrendVarTags");
        std::vector<bool> shown(positions.size(), false);
        for (auto& c : columns_) {
            if (c.trend_unit != unit || c.closed) continue;
            const std::size_t r = c.trend_row;
            const bool same = r < positions.size() && positions[r] == c.trend_position &&
                              r < keys.size() && keys[r] == c.trend_key;
            if (same)
                shown[r] = true;
            else
                c.closed = true;
        }
        for (std::size_t r = 0; r < positions.size(); ++r) {
            if (shown[r] || positions[r] == kNewTrend) continue;
            AddTrendRow(unit, r, " from " + CsvNumber(time) + " s");
            added = true;
        }
    }
    return added;
}

std::vector<double> TrendTable::Values() const {
    std::vector<double> values;
    values.reserve(columns_.size());
    for (const auto& c : columns_) values.push_back(c.closed ? std::nan("") : c.value());
    return values;
}

std::string TrendTable::HeaderLine() const {
    std::string header = "Time [s],Step";
    for (const auto& c : columns_) header += ',' + CsvCell(c.Header());
    return header;
}

TrendsCsv::TrendsCsv() : rows_(std::tmpfile()) {
    if (rows_ == nullptr) throw std::runtime_error("cannot create a temporary file");
}

TrendsCsv::~TrendsCsv() {
    std::fclose(rows_);
}

void TrendsCsv::AddRow(double time, long step, const std::vector<double>& values) {
    std::string line = CsvNumber(time) + ',' + std::to_string(step);
    for (double v : values) line += ',' + CsvNumber(v);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), rows_);
}

void TrendsCsv::Commit(const std::string& path, const std::string& header_line,
                       std::size_t columns) {
    if (std::fflush(rows_) != 0 || std::ferror(rows_))
        throw std::runtime_error("the rows could not be kept");
    zefa::ReplacingFile out(path);
    out.Write(header_line + '\n');
    std::rewind(rows_);
    std::string line;
    std::size_t fields = 1;
    const std::size_t wanted = columns + 2;  // the time and the step first
    for (int ch; (ch = std::fgetc(rows_)) != EOF;) {
        if (ch == ',') ++fields;
        if (ch != '\n') {
            line += static_cast<char>(ch);
            continue;
        }
        if (fields < wanted) line.append(wanted - fields, ',');
        out.Write(line + '\n');
        line.clear();
        fields = 1;
    }
    out.Commit();
}

std::string CsvNumber(double v) {
    if (!std::isfinite(v)) return "";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.10g", v);
    return buf;
}

std::string CsvCell(const std::string& text) {
    if (text.find_first_of(",\"\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace zefalink
