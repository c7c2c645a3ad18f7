// In-memory extension variables: number arrays with their bounds and
// elements, and the factory that makes a variable of a kind.
#include "lib/variables.h"

#include <stdexcept>

namespace refhost {

namespace {

// One element of a number array, reading and writing the array's storage so
// that it always sees the current bounds.
class ArrayElement final : public host::RealValue {
  public:
    ArrayElement(std::shared_ptr<host::NumberArrayVariable> array, std::string quantity,
                 std::size_t i, std::optional<std::size_t> j)
        : array_(std::move(array)), quantity_(std::move(quantity)), i_(i), j_(j) {}
    std::string Quantity() const override { return quantity_; }
    double GetValue() const override {
        const auto values = array_->GetValues();
        return j_ ? values.At(i_, *j_) : values.At(i_);
    }
    void SetValue(double value) override {
        auto values = array_->GetValues();
        (j_ ? values.At(i_, *j_) : values.At(i_)) = value;
        array_->SetValues(values);
    }

  private:
    std::shared_ptr<host::NumberArrayVariable> array_;
    std::string quantity_;
    std::size_t i_;
    std::optional<std::size_t> j_;
};

}  // namespace

void MemNumberArrayVariable::SetValues(const host::NumberArray& values) {
    const std::size_t expected = values.IsTwoD() ? values.rows * values.columns : values.rows;
    if (values.data.size() != expected) throw std::invalid_argument("Array bounds do not match");
    values_ = values;
}

void MemNumberArrayVariable::SetBounds(std::size_t count) {
    values_.data.resize(values_.IsTwoD() ? 0 : values_.data.size());
    values_.columns = 0;
    values_.data.resize(count, host::kEmptyNumber);
    values_.rows = count;
}

void MemNumberArrayVariable::SetBounds(std::size_t rows, std::size_t columns) {
    if (columns == 0) {
        SetBounds(rows);
        return;
    }
    host::NumberArray resized = host::NumberArray::TwoD(rows, columns, host::kEmptyNumber);
    if (values_.IsTwoD()) {
        for (std::size_t i = 0; i < std::min(rows, values_.rows); ++i) {
            for (std::size_t j = 0; j < std::min(columns, values_.columns); ++j) {
                resized.At(i, j) = values_.At(i, j);
            }
        }
    }
    values_ = std::move(resized);
}

std::shared_ptr<host::RealValue> MemNumberArrayVariable::Element(std::size_t i) {
    return std::make_shared<ArrayElement>(shared_from_this(), quantity_, i, std::nullopt);
}

std::shared_ptr<host::RealValue> MemNumberArrayVariable::Element(std::size_t i, std::size_t j) {
    return std::make_shared<ArrayElement>(shared_from_this(), quantity_, i, j);
}

std::shared_ptr<host::Variable> MakeVariable(const std::string& tag, host::VariableKind kind,
                                             const std::string& quantity) {
    switch (kind) {
        case host::VariableKind::Text:
            return std::make_shared<MemTextVariable>(tag);
        case host::VariableKind::Number:
            return std::make_shared<MemNumberVariable>(tag, quantity);
        case host::VariableKind::TextArray:
            return std::make_shared<MemTextArrayVariable>(tag);
        case host::VariableKind::NumberArray:
            return std::make_shared<MemNumberArrayVariable>(tag, quantity);
        case host::VariableKind::StreamList:
            return std::make_shared<MemStreamListVariable>(tag);
        case host::VariableKind::Object:
            return std::make_shared<MemObjectVariable>(tag);
    }
    throw std::invalid_argument("Unknown variable kind");
}

}  // namespace refhost
