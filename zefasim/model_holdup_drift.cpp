// The drift-flux law (Shi et al. 2005): the gas moves at C0 j + u_d, carried
// with the mixture by C0 and drifting up the slope between sections by u_d;
// in steep downflow and in annular flow its parameters blend into those of
// Bhagwat and Ghajar and of Ishii (model_holdup_flowing.cpp).

#include <algorithm>
#include <bit>
#include <cmath>

#include "step.h"

namespace zefasim {
// Shi, Holmes, Durlofsky, Aziz, Diaz, Alkaya and Oddie, "Drift-flux modeling of
// two-phase flow in wellbores", SPE Journal 10(1), 2005, pp. 24-33.
namespace shi {
constexpr double kA = 1.2, kB = 0.3, kFv = 1.0, kA1 = 0.06, kA2 = 0.21;
constexpr double kM0 = 1.27, kN1 = 0.24, kN2 = 1.08;
constexpr double kKu = 3.2;  // critical Kutateladze number, large-diameter limit
}  // namespace shi

double ShiInclinationFactor(double sin_incl) {
    double cos_theta = std::min(1.0, std::fabs(sin_incl));  // theta: angle from vertical
    double sin_theta = std::sqrt(std::max(0.0, 1 - cos_theta * cos_theta));
    return cos_theta > 0
               ? shi::kM0 * std::pow(cos_theta, shi::kN1) * std::pow(1 + sin_theta, shi::kN2)
               : 0;
}

DriftFluid ShiDriftFluid(double rho_gas, double rho_liquid, double surface_tension,
                         double diameter) {
    DriftFluid f;
    if (!(rho_gas > 0) || !(rho_liquid > rho_gas) || !(surface_tension > 0)) return f;
    f.valid = true;
    f.vc = std::sqrt(
        std::sqrt(surface_tension * kGravity * (rho_liquid - rho_gas) / (rho_liquid * rho_liquid)));
    f.root_ratio = std::sqrt(rho_gas / rho_liquid);
    f.flooding = shi::kKu / f.root_ratio * f.vc;
    if (diameter > 0) {
        // C3 of Bhagwat and Ghajar: a pipe wide against the capillary length
        // (Laplace number below 0.025) drifts slower.
        const double drho = rho_liquid - rho_gas;
        f.laplace = std::sqrt(surface_tension / (kGravity * drho)) / diameter;
        f.film = std::sqrt(kGravity * diameter * drho / rho_liquid);
    }
    return f;
}

namespace {

// Bhagwat and Ghajar's C0 and drift at gas fraction alpha, sine s: they do not
// depend on the mixture flux, so a section's, taken at each of its faces, for
// its shares and its void wave in a step and again where the step is solved
// again, are kept (kFixedPoints of them, each in the slot its gas fraction and
// sine hash to: the same to the bit; four kept in turn were replaced before the
// step solved again came back to them).
struct FixedPoint {
    double alpha = -1, root_ratio = 0, s = 0, film = 0, laplace = 0;
    double c0 = 0, drift = 0;
};
// (Not inlined: its solve's frame, taken into ShiDriftFlux, cost every call of
// the law 15 instructions in saving and restoring registers.)
[[gnu::noinline]] const FixedPoint& DownflowFixedPoint(double alpha, const DriftFluid& fl,
                                                       double s) {
    constexpr double kRootFanning = 0.063245553203367587;  // sqrt(0.004)
    constexpr unsigned kFixedPoints = 512;
    thread_local FixedPoint kept[kFixedPoints];
    const auto bits = std::bit_cast<unsigned long long>(alpha) ^
                      (std::bit_cast<unsigned long long>(s) >> 7) ^
                      (std::bit_cast<unsigned long long>(fl.root_ratio) >> 3);
    FixedPoint& m = kept[(bits ^ (bits >> 17) ^ (bits >> 31)) % kFixedPoints];
    if (m.alpha == alpha && m.root_ratio == fl.root_ratio && m.s == s && m.film == fl.film &&
        m.laplace == fl.laplace)
        return m;
    m = {alpha, fl.root_ratio, s, fl.film, fl.laplace, 0, 0};
    const double cos_incl = std::sqrt(1 - s * s), r = fl.root_ratio * fl.root_ratio;
    const double profile =
        std::pow((1 + r * r * cos_incl) / (1 + cos_incl), std::pow(1 - alpha, 0.4));
    // C0 = F(alpha C0), F falling in its argument: the root of F(alpha c) - c,
    // bracketed by the profile term and that plus the largest second term, by
    // the Illinois variant of regula falsi to 1e-13.
    const double k = 0.2 * (1 - fl.root_ratio);
    auto gap = [&](double c) {
        // 1 - x written so that rounding cannot take it below zero. None flows
        // where the gas takes all the volume (where the gas is lighter than a
        // rounding of the liquid, as in a section drained to a vacuum, the
        // divisor rounds to zero there too).
        const double beta = std::min(1.0, alpha * c);
        const double liquid = beta < 1 ? (1 - beta) / (r * beta + 1 - beta) : 0.0;
        return profile - c +
               k * (std::exp(0.15 * std::log(2.6 - beta)) - kRootFanning) * liquid *
                   std::sqrt(liquid);
    };
    double lo = profile, hi = profile + 0.25, g_lo = gap(lo), g_hi = gap(hi), c = lo;
    int side = 0;
    for (int it = 0; it < 60 && hi - lo > 1e-13; ++it) {
        c = (lo * g_hi - hi * g_lo) / (g_hi - g_lo);
        const double g = gap(c);
        if (g == 0) break;
        if (g > 0) {
            lo = c, g_lo = g;
            if (side == 1) g_hi /= 2;
            side = 1;
        } else {
            hi = c, g_hi = g;
            if (side == -1) g_lo /= 2;
            side = -1;
        }
    }
    m.drift = std::max(0.0, 0.35 * s - 0.45 * cos_incl) * fl.Fall() * std::sqrt(1 - alpha);
    m.c0 = c;
    return m;
}

// Co-current flow down steep slopes: Shi et al.'s profile coefficient tends to
// 1 and their drift points up the slope, so the gas moves slower than the
// mixture and a falling line holds less liquid than without slip (90 degrees
// down, 2.8 / 0.32 m/s of gas / liquid: 0.058 against the no-slip 0.103 and
// Beggs and Brill's 0.153). Bhagwat and Ghajar's (2014) parameters, fitted to
// downward flow too, take over there: C0 = ((1 + r^2 cos) / (1 + cos))^((1 -
// alpha)^0.4) + 0.2 (1 - sqrt(r)) ((2.6 - beta)^0.15 - sqrt(f)) (1 - x)^1.5
// (r = rho_g / rho_l, beta the gas's share of the volume flowing, here alpha
// C0, x its mass share, so C0 is a fixed point; turbulent, the Fanning factor f
// at 0.004) and a drift up the slope (0.35 sin - 0.45 cos) sqrt(g D drho /
// rho_l) C3 sqrt(1 - alpha) (C2 = 1: liquids below 10 cP; never down the
// slope). Blended in by a smoothstep in the sine from 50 to 80 degrees and by
// the mixture flux, x^2 / (1 + x^2) with x = (j / (2 vc))^2, so a stalled or
// shut-in line keeps Shi et al.'s drift.
void BlendDownflow(double alpha, double j, const DriftFluid& fl, double sin_incl, double& c0,
                   double& ud) {
    constexpr double kSin50 = 0.76604444311897804, kSin80 = 0.98480775301220806;
    const double s = std::min(1.0, std::fabs(sin_incl));
    if (!(s > kSin50)) return;  // (the weight below is 0 there: its terms are not taken)
    const double t = std::clamp((s - kSin50) / (kSin80 - kSin50), 0.0, 1.0);
    const double x = j * j / (4 * fl.vc * fl.vc);
    const double w = step::Smoothstep(t) * x * x / (1 + x * x);
    if (!(w > 0)) return;
    const FixedPoint& p = DownflowFixedPoint(alpha, fl, s);
    const double c = p.c0, u = p.drift;
    c0 += w * (c - c0);
    ud += w * (u - ud);
}

}  // namespace

DriftFlux ShiDriftFlux(double alpha, double j, const DriftFluid& fl, double incl_factor,
                       double sin_incl) {
    using namespace shi;
    DriftFlux d;
    alpha = std::clamp(alpha, 0.0, 1.0);
    if (!fl.valid) return d;
    double beta = std::max(alpha, kFv * alpha * std::fabs(j) / fl.flooding);
    double gamma = std::clamp((beta - kB) / (1 - kB), 0.0, 1.0);
    d.c0 = kA / (1 + (kA - 1) * gamma * gamma);
    double k_low = 1.53 / d.c0;
    double k = alpha <= kA1   ? k_low
               : alpha >= kA2 ? kKu
                              : k_low + (kKu - k_low) * (alpha - kA1) / (kA2 - kA1);
    double ac = std::min(1.0, alpha * d.c0);
    // None drifts where the gas flows through all the volume (where the gas is
    // lighter than a rounding of the liquid the divisor rounds to zero there).
    double ud =
        ac < 1 ? (1 - ac) * d.c0 * k * fl.vc / (ac * fl.root_ratio + 1 - ac) * incl_factor : 0.0;
    if (fl.laplace > 0 && j * sin_incl < 0) BlendDownflow(alpha, j, fl, sin_incl, d.c0, ud);
    if (fl.annular > 0) BlendAnnular(alpha, fl, sin_incl, d.c0, ud);
    d.drift = sin_incl >= 0 ? ud : -ud;
    return d;
}

DriftFlux ShiDriftFlux(double alpha, double j, double rho_gas, double rho_liquid,
                       double surface_tension, double sin_incl) {
    return ShiDriftFlux(alpha, j, ShiDriftFluid(rho_gas, rho_liquid, surface_tension),
                        ShiInclinationFactor(sin_incl), sin_incl);
}

}  // namespace zefasim
