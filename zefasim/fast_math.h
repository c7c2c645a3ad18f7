// Small math kernels that the closures take thousands of times a step, where
// the library's general routine does more than the closure needs.

#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace zefasim::step {

// The cube root of x, within about one unit in the last place: a first guess
// from the bits (the exponent divided by three, good to about 5 %), two
// Halley steps (cubic: to about 1e-14) and one Newton step in the form whose
// rounding stays below an ulp. Zero, subnormal, infinite and NaN arguments
// (none in a closure's holdup) go to the library's routine. The library's
// took 140 instructions a call, half of them in splitting and rebuilding
// the number's exponent; this about 30.
inline double CubeRoot(double x) {
    const double a = std::fabs(x);
    if (!(a >= std::numeric_limits<double>::min() && a <= std::numeric_limits<double>::max()))
        return std::cbrt(x);
    constexpr std::uint64_t kBias = 0x2A9F789300000000;  // (1023 - 1023 / 3) << 52, tuned
    double t = std::bit_cast<double>(std::bit_cast<std::uint64_t>(a) / 3 + kBias);
    for (int k = 0; k < 2; ++k) {
        const double t3 = t * t * t;
        t *= (t3 + 2 * a) / (2 * t3 + a);
    }
    t += (a / (t * t) - t) / 3;
    return std::copysign(t, x);
}

}  // namespace zefasim::step
