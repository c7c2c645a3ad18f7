#pragma once

#include <string>

namespace zefa::test {

// A report as the message window of the test unit "PIPE-100" shows it.
inline std::string Reported(const std::string& text) {
    return text + ": PIPE-100: KAVRIS-ZEFA Link Error";
}

}  // namespace zefa::test
