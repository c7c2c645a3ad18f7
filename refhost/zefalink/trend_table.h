#pragma once

// The columns of trends.csv and trends.svg: the case's recorded variables,
// then per coupled pipeline unit its boundary results and its trends. Every
// value is shown in one unit per quantity (pressures in the case's pressure
// unit, bar unless its record asks for another; temperatures in C; mass flows
// in kg/s), every column is headed "label [unit]", and a value not known yet
// is NaN, written as an empty field.

#include <cstdio>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "lib/case.h"

namespace zefalink {

// "pressure", "temperature", "massflow" or "time" for a unit text the host or
// the pipeline catalogue writes ("Pa", "N/m²", "°C", "kg/h"...); empty for any
// other unit.
std::string QuantityOfUnit(const std::string& unit);

// How a value in `unit` is shown: the unit of its quantity in the outputs
// (pressures in `pressure_unit`, temperatures in C, mass flows in kg/s,
// times in s; any other unit as it is, "-" for none) and the conversion.
struct ShownUnit {
    std::string unit;
    std::string quantity;
    std::function<double(double)> convert;
};
ShownUnit ShowUnit(const std::string& unit, const std::string& pressure_unit);

// The pressure unit of a case's "record" section: that of its first pressure
// recorded with a unit of measure, else "bar".
std::string CasePressureUnit(const nlohmann::json& record);

struct TrendColumn {
    std::string label;              // the header without its unit
    std::string unit;               // the unit shown, "-" for a dimensionless value
    std::string quantity;           // as QuantityOfUnit of `unit`
    std::function<double()> value;  // in `unit`; NaN when not known
    // A pipeline trend row that the column follows: the unit and row, and
    // the key and position it showed. `closed` once the row moved away.
    std::shared_ptr<refhost::PipelineUnit> trend_unit;
    std::size_t trend_row = 0;
    std::string trend_key, trend_position;
    bool closed = false;

    std::string Header() const { return label + " [" + unit + "]"; }
};

class TrendTable {
  public:
    explicit TrendTable(std::string pressure_unit) : pressure_unit_(std::move(pressure_unit)) {}

    // A recorded variable: `header` is "label [unit]", `value` reads it in
    // that unit.
    void AddRecorded(const std::string& header, std::function<double()> value);
    // The boundary results of a coupled pipeline unit (per connection: the
    // pressure, three phase flows and temperature) and its trends.
    void AddPipeline(const std::shared_ptr<refhost::PipelineUnit>& unit);
    // A trend row whose key or position changed since its column was made
    // closes that column (empty from now on) and gets a new one, labelled
    // with `time`; rows added meanwhile get columns too. True when columns
    // were added.
    bool FollowTrends(double time);

    const std::vector<TrendColumn>& Columns() const { return columns_; }
    std::vector<double> Values() const;
    // "Time [s],Step,..." for every column so far.
    std::string HeaderLine() const;

  private:
    void AddTrendRow(const std::shared_ptr<refhost::PipelineUnit>& unit, std::size_t row,
                     const std::string& suffix);
    void Add(std::string label, const std::string& unit, std::function<double()> value);

    std::string pressure_unit_;
    std::vector<TrendColumn> columns_;
    std::vector<std::shared_ptr<refhost::PipelineUnit>> pipelines_;
};

// trends.csv written as the run goes: the rows go to an anonymous temporary
// file, and Commit writes the header of every column the run ended with, then
// the rows, each padded with empty fields for the columns added after it.
class TrendsCsv {
  public:
    TrendsCsv();
    ~TrendsCsv();
    TrendsCsv(const TrendsCsv&) = delete;
    TrendsCsv& operator=(const TrendsCsv&) = delete;

    void AddRow(double time, long step, const std::vector<double>& values);
    // Throws when `path` cannot be written; it is then left as it was.
    void Commit(const std::string& path, const std::string& header_line, std::size_t columns);

  private:
    std::FILE* rows_ = nullptr;
};

// Text of a value in trends.csv: up to 10 significant digits, empty for NaN.
std::string CsvNumber(double v);
std::string CsvCell(const std::string& text);

}  // namespace zefalink
