#pragma once

// Beggs and Brill (1973) for a steady two-phase line, written out on its own as
// the reference the model's holdup and pressure gradient are checked against
// (bench/zefasim/physics_study and the physics tests): flow pattern from the
// mixture Froude number and the no-slip liquid fraction, horizontal holdup per
// pattern, inclination correction, and the two-phase friction factor from the
// no-slip one (smooth pipe).

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "input.h"

namespace zefasim::reference {

struct Correlation {
    double holdup = 0, gradient = 0;  // liquid volume fraction; Pa/m along the flow
    // False where the correlation gives no liquid (holdup <= 0, then as
    // computed, unclamped): nothing to compare with.
    bool valid = true;
};

// theta: inclination along the flow (rad), uphill positive.
inline Correlation BeggsBrill(double vsg, double vsl, double rho_g, double rho_l, double mu_g,
                              double mu_l, double sigma, double d, double theta) {
    const double vm = vsg + vsl, lam = vsl / vm, fr = vm * vm / (kGravity * d);
    const double l1 = 316 * std::pow(lam, 0.302), l2 = 0.0009252 * std::pow(lam, -2.4684);
    const double l3 = 0.1 * std::pow(lam, -1.4516), l4 = 0.5 * std::pow(lam, -6.738);
    const double nlv = vsl * std::pow(rho_l / (kGravity * sigma), 0.25);
    auto horizontal = [&](double a, double b, double c) {
        return std::max(lam, a * std::pow(lam, b) / std::pow(fr, c));
    };
    // pattern 0 segregated, 1 intermittent, 2 distributed
    auto inclined = [&](int pattern, double h0) {
        double dd, e, f, g;
        if (theta < 0) {
            dd = 4.70, e = -0.3692, f = 0.1244, g = -0.5056;
        } else if (pattern == 0) {
            dd = 0.011, e = -3.768, f = 3.539, g = -1.614;
        } else if (pattern == 1) {
            dd = 2.96, e = 0.305, f = -0.4473, g = 0.0978;
        } else {
            return h0;
        }
        double c = std::max(
            0.0, (1 - lam) * std::log(dd * std::pow(lam, e) * std::pow(nlv, f) * std::pow(fr, g)));
        double s = std::sin(1.8 * theta);
        return h0 * (1 + c * (s - 0.333 * s * s * s));
    };
    const double seg = inclined(0, horizontal(0.98, 0.4846, 0.0868));
    const double inter = inclined(1, horizontal(0.845, 0.5351, 0.0173));
    double hl;
    if ((lam < 0.01 && fr < l1) || (lam >= 0.01 && fr < l2)) {
        hl = seg;
    } else if (lam >= 0.01 && fr <= l3) {
        double a = (l3 - fr) / (l3 - l2);
        hl = a * seg + (1 - a) * inter;
    } else if ((lam < 0.4 && fr <= l1) || (lam >= 0.4 && fr <= l4)) {
        hl = inter;
    } else {
        hl = inclined(2, horizontal(1.065, 0.5824, 0.0609));
    }
    // Downhill the inclination factor 1 + C (sin 1.8 theta - sin^3 1.8 theta / 3)
    // falls below zero where C exceeds 1.5 at 45 degrees: the correlation then
    // holds no liquid and has no two-phase friction (y = lambda / H^2), outside
    // the range it was fitted to.
    if (!(hl > 0)) return {hl, 0, false};
    hl = std::min(hl, 1.0);
    const double rho_n = rho_l * lam + rho_g * (1 - lam), mu_n = mu_l * lam + mu_g * (1 - lam);
    const double re = rho_n * vm * d / mu_n;
    const double fn = 1 / std::pow(2 * std::log10(re / (4.5223 * std::log10(re) - 3.8215)), 2);
    const double y = lam / (hl * hl), ly = std::log(y);
    const double s =
        y > 1 && y < 1.2
            ? std::log(2.2 * y - 1.2)
            : ly / (-0.0523 + 3.182 * ly - 0.8725 * ly * ly + 0.01853 * std::pow(ly, 4));
    const double rho_s = rho_l * hl + rho_g * (1 - hl);
    return {hl, fn * std::exp(s) * rho_n * vm * vm / (2 * d) + rho_s * kGravity * std::sin(theta)};
}

// Rate pairs (gas, oil kg/s) of the steady lines below: at 30 bar in 0.1 m,
// intermittent, slug, bubble (liquid-rich), wet gas, and stratified.
constexpr double kRates[][2] = {{0.5, 2}, {2, 8}, {0.3, 10}, {3, 0.5}, {0.15, 1}};

struct LineCase {
    const char* law;       // HOLDUP of the model
    double deg, gas, oil;  // inclination (degrees), mass flows (kg/s) at 0.1 m and 30 bar
    int sections = 40;
    // Another diameter (m) and outlet pressure (bar): the line's length and
    // the rates scale so that its length in diameters and the superficial
    // velocities stay about those at 0.1 m and 30 bar.
    double diameter = 0.1, bar = 30;
};
struct LineResult {
    double holdup = 0, gradient = 0, vsg = 0, vsl = 0;  // mean over the middle quarter
    Correlation ref;                                    // at the middle section's densities
    bool settled = false;
    Model model;
};

// A 400 m oil-gas line of 0.1 m at the case's inclination, fed at its closed
// inlet and held at 30 bar at its outlet, solved to steady state.
inline LineResult SteadyLine(const LineCase& c) {
    const double d = c.diameter, len = 4000 * d, area = M_PI * d * d / 4;
    const double theta = c.deg * M_PI / 180, oil = c.oil * (d / 0.1) * (d / 0.1),
                 gas = c.gas * (d / 0.1) * (d / 0.1) * c.bar / 30;
    char text[1200];
    std::snprintf(text, sizeof text, R"(
FLUID HOLDUP = %s, GASMW = 20 kg/kmol, OILDENSITY = 800 kg/m3, OILVISCOSITY = 2 cP,
      GASVISCOSITY = 1.5e-5 Pa.s
INTEGRATION MAXDT = 1 s, MINDT = 1e-4 s
NODE LABEL = A, TYPE = CLOSED
NODE LABEL = B, TYPE = PRESSURE
BRANCH LABEL = L, FROM = A, TO = B
PIPE LABEL = P, BRANCH = L, LENGTH = %g m, DIAMETER = %g m, ELEVATION = %g m, NSECTIONS = %d
BOUNDARY LABEL = OUT, NODE = B, PRESSURE = %g bar, TEMPERATURE = 30 C, GASFRACTION = 1
SOURCE LABEL = IN, BRANCH = L, SECTION = 1, MASSFLOW = %g kg/s, GASFRACTION = %g,
       TEMPERATURE = 30 C
INITIAL PRESSURE = %g bar, TEMPERATURE = 30 C, HOLDUP = 0.3
)",
                  c.law, len, d, len * std::sin(theta), c.sections, c.bar, gas + oil,
                  gas / (gas + oil), c.bar);
    LineResult r;
    r.model = BuildModel(text, "line.inp");
    Model& m = r.model;
    r.settled = m.SolveSteady(200000);
    const int from = c.sections * 3 / 8, to = c.sections * 5 / 8;
    for (int i = from; i < to; ++i) r.holdup += (1 - m.StateOf(0, i).alpha[kGas]) / (to - from);
    const SectionState s = m.StateOf(0, c.sections / 2);
    r.gradient = (m.StateOf(0, from).p - m.StateOf(0, to).p) / (len * (to - from) / c.sections);
    r.vsg = gas / (s.rho_gas * area), r.vsl = oil / (s.rho_oil * area);
    r.ref = BeggsBrill(r.vsg, r.vsl, s.rho_gas, s.rho_oil, 1.5e-5, 2e-3, 0.025, d, theta);
    return r;
}

}  // namespace zefasim::reference
