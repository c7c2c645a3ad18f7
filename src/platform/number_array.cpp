// Element access of the host's number arrays, one- and two-dimensional, with
// the subscript error out of range.
#include <stdexcept>

#include "host/variables.h"

namespace host {

namespace {
[[noreturn]] void OutOfRange() {
    throw std::out_of_range("Subscript out of range");
}
}  // namespace

double& NumberArray::At(std::size_t i) {
    if (IsTwoD() || i >= rows) OutOfRange();
    return data[i];
}
double NumberArray::At(std::size_t i) const {
    return const_cast<NumberArray*>(this)->At(i);
}
double& NumberArray::At(std::size_t i, std::size_t j) {
    if (!IsTwoD() || i >= rows || j >= columns) OutOfRange();
    return data[i * columns + j];
}
double NumberArray::At(std::size_t i, std::size_t j) const {
    return const_cast<NumberArray*>(this)->At(i, j);
}

}  // namespace host
