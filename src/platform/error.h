#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace zefa {

// A failure raised by the extension itself, with the error number and source
// that callers (and the user) see. Host call failures may be any std::exception.
class Error : public std::runtime_error {
  public:
    Error(std::int32_t number, std::string source, const std::string& description)
        : std::runtime_error(description), number_(number), source_(std::move(source)) {}
    explicit Error(const std::string& description) : Error(0, "ZEFAPipeline", description) {}

    std::int32_t Number() const { return number_; }
    const std::string& Source() const { return source_; }

  private:
    std::int32_t number_;
    std::string source_;
};

}  // namespace zefa
