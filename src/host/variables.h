#pragma once

// The host's variable kinds, the variable wrapper of an edit, and the empty
// marker of an unset number.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace host {

// The host reports an unset number as exactly this value.
inline constexpr double kEmptyNumber = -32767.0;
inline bool IsEmptyNumber(double v) {
    return v == kEmptyNumber;
}

// Any single real value the host holds: a number variable, one element of a
// number array, a stream's pressure... Values are in the host's internal units
// (pressure kPa, temperature C, mass flow kg/s, molar flow kgmole/s, fractions
// as fractions, percentages as percent, times in seconds).
class RealValue {
  public:
    virtual ~RealValue() = default;
    virtual double GetValue() const = 0;
    virtual void SetValue(double value) = 0;
    // Name of the internal unit's quantity, for unit conversion by table
    // operations: "pressure", "temperature", "massflow", "molarflow", "time",
    // "percent" or "" (dimensionless).
    virtual std::string Quantity() const { return ""; }
    // Whether the value is a spec the host must keep (1) or a
    // calculated one (0): the "State" of a host variable.
    virtual int State() const { return 0; }
};

enum class VariableKind { Text, Number, TextArray, NumberArray, StreamList, Object };

// A unit operation's extension variable, found by tag.
class Variable {
  public:
    virtual ~Variable() = default;
    virtual VariableKind Kind() const = 0;
    virtual std::string Tag() const = 0;
};

class TextVariable : public Variable {
  public:
    VariableKind Kind() const override { return VariableKind::Text; }
    virtual std::string GetValue() const = 0;
    virtual void SetValue(const std::string& value) = 0;
};

class NumberVariable : public Variable, public RealValue {
  public:
    VariableKind Kind() const override { return VariableKind::Number; }
};

class TextArrayVariable : public Variable {
  public:
    VariableKind Kind() const override { return VariableKind::TextArray; }
    virtual std::vector<std::string> GetValues() const = 0;
    // Sets the number of entries to values.size() and stores them.
    virtual void SetValues(const std::vector<std::string>& values) = 0;
    // Sets the number of entries, keeping the leading ones and filling new
    // ones with empty texts.
    virtual void SetCount(std::size_t count) = 0;
};

// A number array: one-dimensional (`Columns() == 0`) or two-dimensional
// (rows x columns, stored row-major). Entries may hold the empty marker.
struct NumberArray {
    std::vector<double> data;
    std::size_t rows = 0;
    std::size_t columns = 0;  // 0: one-dimensional with `rows` entries

    static NumberArray OneD(std::vector<double> values) {
        NumberArray a;
        a.rows = values.size();
        a.data = std::move(values);
        return a;
    }
    static NumberArray TwoD(std::size_t r, std::size_t c, double fill = 0.0) {
        NumberArray a;
        a.rows = r;
        a.columns = c;
        a.data.assign(r * c, fill);
        return a;
    }
    // Number of entries of the first dimension.
    std::size_t Count() const { return rows; }
    bool IsTwoD() const { return columns != 0; }
    // Bounds-checked access; throws std::out_of_range ("Subscript out of range").
    double& At(std::size_t i);
    double At(std::size_t i) const;
    double& At(std::size_t i, std::size_t j);
    double At(std::size_t i, std::size_t j) const;
};

class NumberArrayVariable : public Variable {
  public:
    VariableKind Kind() const override { return VariableKind::NumberArray; }
    virtual NumberArray GetValues() const = 0;
    virtual void SetValues(const NumberArray& values) = 0;
    // One-dimensional bounds: `count` entries, keeping the leading ones, new
    // ones empty (the empty marker).
    virtual void SetBounds(std::size_t count) = 0;
    // Two-dimensional bounds: rows x columns, new entries empty.
    virtual void SetBounds(std::size_t rows, std::size_t columns) = 0;
    // The host's per-element variable objects, which read and write the
    // array's stored entries directly.
    virtual std::shared_ptr<RealValue> Element(std::size_t i) = 0;
    virtual std::shared_ptr<RealValue> Element(std::size_t i, std::size_t j) = 0;
};

class MaterialStream;

// The attachment list of material streams (inlets or outlets).
class StreamListVariable : public Variable {
  public:
    VariableKind Kind() const override { return VariableKind::StreamList; }
    // An entry may be null: a row without a connected stream.
    virtual std::vector<std::shared_ptr<MaterialStream>> GetStreams() const = 0;
    virtual void SetStreams(const std::vector<std::shared_ptr<MaterialStream>>& streams) = 0;
    virtual void SetLength(std::size_t length) = 0;
};

// A variable holding one host object (the reference stream).
class ObjectVariable : public Variable {
  public:
    VariableKind Kind() const override { return VariableKind::Object; }
    // The variable's "object" member: the stream, or null when unset.
    virtual std::shared_ptr<MaterialStream> Object() const = 0;
};

// What the host passes to VariableChanging and VariableChanged.
class VariableWrapper {
  public:
    virtual ~VariableWrapper() = default;
    virtual std::string Tag() const = 0;
    // Changed row of an array variable (-1 when not an array change).
    virtual int Row() const = 0;
    virtual double NewNumber() const = 0;
    virtual std::string NewText() const = 0;
    virtual std::shared_ptr<Variable> VariableObject() const = 0;
};

}  // namespace host
