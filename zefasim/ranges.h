#pragma once

// The physical ranges every value from outside must lie in, shared by the
// input file, keyword input, the protocol's input data and snapshots, so that
// each door accepts the same values.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "model.h"

namespace zefasim {

struct Range {
    double lo, hi;
    const char* unit;
};

// Pressures (boundaries, initial state, reservoirs): from 1 kPa up to where the
// liquid equation of state still holds (liquid volume shrunk by at most half).
inline Range PressureRange(const Fluid& f) {
    return {1e3, std::min(1e9, 0.5 * f.bulk_modulus), "N/m2"};
}
constexpr Range kTemperatureRange{-200, 1000, "C"};
constexpr Range kMassFlowRange{-1e5, 1e5, "kg/s"};
constexpr Range kFractionRange{0, 1, "-"};
// Fluid and geometry of a model file. Beyond these the state leaves the
// numbers a step can carry (a gas of molar mass 1e-300 or a liquid of density
// 1e-300 gives infinite pressures, sections of a millimetre or less give
// pressures of hundreds of bar at the top of a short riser, an oil of 1,000
// Pa s drives a section's pressure to nothing).
constexpr Range kGasMolarMassRange{1, 300, "kg/kmol"};
constexpr Range kLiquidDensityRange{100, 3000, "kg/m3"};
constexpr Range kViscosityRange{1e-7, 100, "Pa s"};
constexpr Range kPipeLengthRange{0.1, 1e7, "m"};
constexpr double kMinSectionLength = 0.1;  // m
constexpr Range kDiameterRange{1e-3, 10, "m"};
constexpr Range kProductivityRange{0, 1, "kg/s/Pa"};

inline std::string RangeNumber(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

// Empty when v lies in r; otherwise "WHAT V UNIT lies outside LO .. HI UNIT".
inline std::string OutOfRange(const std::string& what, double v, const Range& r) {
    if (std::isfinite(v) && v >= r.lo && v <= r.hi) return "";
    std::string u = std::string(" ") + r.unit;
    return what + " " + RangeNumber(v) + u + " lies outside " + RangeNumber(r.lo) + " .. " +
           RangeNumber(r.hi) + u;
}

}  // namespace zefasim
