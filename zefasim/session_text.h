#pragma once

// Text helpers that the Session's request handlers share.

#include <string>

namespace zefasim {

// The text with every byte outside printable ASCII written as \xHH.
std::string Printable(const std::string& s);
// Adds one problem to a list of problems (" what;" each).
void AddProblem(std::string& list, const std::string& what);

}  // namespace zefasim
