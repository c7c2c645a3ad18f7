#pragma once

// The extension's own failures: numbered errors that end an operation as the
// host's language would raise them.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace zefa {

// A failure raised by the extension itself, with the error number and source
// that callers (and the user) see. Host call failures may be any std::exception.
//
// The numbered failures that a dynamic language would raise by itself (an
// index past the end, a value too large for its integer, an unset object...)
// have named constructors, so the numbers and texts live here only.
class Error : public std::runtime_error {
  public:
    Error(std::int32_t number, std::string source, const std::string& description)
        : std::runtime_error(description), number_(number), source_(std::move(source)) {}
    explicit Error(const std::string& description) : Error(0, kSource, description) {}

    static Error InvalidCall() { return {5, kSource, "Invalid procedure call or argument"}; }
    static Error Overflow() { return {6, kSource, "Overflow"}; }
    static Error SubscriptOutOfRange() { return {9, kSource, "Subscript out of range"}; }
    static Error DivisionByZero() { return {11, kSource, "Division by zero"}; }
    static Error TypeMismatch() { return {13, kSource, "Type mismatch"}; }
    static Error CannotWrite(const std::string& what) { return {57, kSource, what}; }
    static Error CannotCreate(const std::string& what) { return {75, kSource, what}; }
    static Error FileAccess(const std::string& path) {
        return {75, kSource, "Path/File access error: " + path};
    }
    static Error ObjectNotSet() {
        return {91, kSource, "Object variable or With block variable not set"};
    }
    static Error UnknownVariable(const std::string& tag) {
        return {438, kSource, "Unknown variable " + tag};
    }

    std::int32_t Number() const { return number_; }
    const std::string& Source() const { return source_; }

  private:
    static constexpr const char* kSource = "ZEFAPipeline";
    std::int32_t number_;
    std::string source_;
};

}  // namespace zefa
