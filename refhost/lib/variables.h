#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/objects.h"

// In-memory extension variables of the six kinds.
namespace refhost {

class MemTextVariable final : public host::TextVariable {
  public:
    explicit MemTextVariable(std::string tag) : tag_(std::move(tag)) {}
    std::string Tag() const override { return tag_; }
    std::string GetValue() const override { return value_; }
    void SetValue(const std::string& value) override { value_ = value; }

  private:
    std::string tag_;
    std::string value_;
};

class MemNumberVariable final : public host::NumberVariable {
  public:
    explicit MemNumberVariable(std::string tag, std::string quantity = "")
        : tag_(std::move(tag)), quantity_(std::move(quantity)) {}
    std::string Tag() const override { return tag_; }
    double GetValue() const override { return value_; }
    void SetValue(double value) override { value_ = value; }
    std::string Quantity() const override { return quantity_; }

  private:
    std::string tag_;
    std::string quantity_;
    double value_ = host::kEmptyNumber;
};

class MemTextArrayVariable final : public host::TextArrayVariable {
  public:
    explicit MemTextArrayVariable(std::string tag) : tag_(std::move(tag)) {}
    std::string Tag() const override { return tag_; }
    std::vector<std::string> GetValues() const override { return values_; }
    void SetValues(const std::vector<std::string>& values) override { values_ = values; }
    void SetCount(std::size_t count) override { values_.resize(count); }

  private:
    std::string tag_;
    std::vector<std::string> values_;
};

class MemNumberArrayVariable final : public host::NumberArrayVariable,
                                     public std::enable_shared_from_this<MemNumberArrayVariable> {
  public:
    explicit MemNumberArrayVariable(std::string tag, std::string quantity = "")
        : tag_(std::move(tag)), quantity_(std::move(quantity)) {}
    std::string Tag() const override { return tag_; }
    // Quantity of every element's value, for unit conversion by table operations.
    const std::string& Quantity() const { return quantity_; }
    host::NumberArray GetValues() const override { return values_; }
    void SetValues(const host::NumberArray& values) override;
    void SetBounds(std::size_t count) override;
    void SetBounds(std::size_t rows, std::size_t columns) override;
    std::shared_ptr<host::RealValue> Element(std::size_t i) override;
    std::shared_ptr<host::RealValue> Element(std::size_t i, std::size_t j) override;

  private:
    std::string tag_;
    std::string quantity_;
    host::NumberArray values_;
};

class MemStreamListVariable final : public host::StreamListVariable {
  public:
    explicit MemStreamListVariable(std::string tag) : tag_(std::move(tag)) {}
    std::string Tag() const override { return tag_; }
    std::vector<std::shared_ptr<host::MaterialStream>> GetStreams() const override {
        return streams_;
    }
    void SetStreams(const std::vector<std::shared_ptr<host::MaterialStream>>& streams) override {
        streams_ = streams;
    }
    void SetLength(std::size_t length) override { streams_.resize(length); }

  private:
    std::string tag_;
    std::vector<std::shared_ptr<host::MaterialStream>> streams_;
};

class MemObjectVariable final : public host::ObjectVariable {
  public:
    explicit MemObjectVariable(std::string tag) : tag_(std::move(tag)) {}
    std::string Tag() const override { return tag_; }
    std::shared_ptr<host::MaterialStream> Object() const override { return object_; }
    void SetObject(std::shared_ptr<host::MaterialStream> stream) { object_ = std::move(stream); }

  private:
    std::string tag_;
    std::shared_ptr<host::MaterialStream> object_;
};

// Creates an empty variable of the given kind; a number or number array of a
// physical quantity ("pressure", "time"...) converts units in table operations.
std::shared_ptr<host::Variable> MakeVariable(const std::string& tag, host::VariableKind kind,
                                             const std::string& quantity = "");

}  // namespace refhost
