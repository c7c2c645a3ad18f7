// Friction: the wall loss of a face by Darcy-Weisbach, with the larger of the
// laminar 64/Re and the Haaland factor (they meet continuously), and its slope
// with respect to the flow for the Newton linearisation of the momentum balance.

#include <algorithm>
#include <cmath>

#include "step.h"

namespace zefasim {

namespace step {

namespace {
// Haaland's -1.8 log10(t) as -1.8 / ln 10 ln(t): the same to rounding, and a
// natural logarithm costs about half a base-10 one (51 against 92
// instructions).
constexpr double kLn10 = 2.302585092994045684;
constexpr double kHaaland = -1.8 / kLn10;
}  // namespace

// Friction factor and Re * df/dRe (for the Newton linearisation of the loss);
// roughness_term is (relative roughness / 3.7)^1.11.
void FrictionAndSlope(double re, double roughness_term, double& f, double& re_dfdre) {
    double laminar = 64.0 / re;
    f = laminar;
    re_dfdre = -laminar;
    if (re < 500) return;
    double t = roughness_term + 6.9 / re;
    double sq = kHaaland * std::log(t);
    double haaland = 1.0 / (sq * sq);
    if (haaland <= laminar) return;
    f = haaland;
    // d(sq)/dRe = 1.8 * 6.9 / (ln10 * t * Re^2); df = -2 sq^-3 d(sq).
    re_dfdre = -2.0 / (sq * sq * sq) * 1.8 * 6.9 / (kLn10 * t * re);
}

double LayerFriction(double re, double roughness_term) {
    const double laminar = 64.0 / re;
    if (re < 500) return laminar;
    const double sq = kHaaland * std::log(roughness_term + 6.9 / re);
    return std::max(laminar, 1.0 / (sq * sq));
}

// Mixture friction of the drift-flux description: the wall shear of the
// mixture at its in-situ density rho_m moving at the mixture volumetric flux
// j = G / (rho_ns A) (rho_ns: no-slip density of what flows), F = f rho_m j|j|
// L / (2 D), Re = rho_m |j| D / mu_m. Without slip rho_m = rho_ns and this is
// f G|G| L / (2 D rho A^2).
void PipeLoss(const BranchStep& s, int j, double g0, double& loss, double& dloss) {
    const FaceGeometry& fg = s.br.face_geometry[j];
    const BranchScratch& w = s.w;
    const double rho_m = w.frho[j], rho_ns = w.fns[j] > 0 ? w.fns[j] : rho_m;
    double len = fg.length, area = fg.area, diam = fg.diameter;
    double ag = std::fabs(g0);
    double cf = len * rho_m / (2 * diam * rho_ns * rho_ns * area * area);
    if (s.model.fluid.holdup_model != kHoldupSlip) cf *= FrictionMultiplier(s, j);
    double re = ag * diam * rho_m / (area * rho_ns * w.fmu[j]);
    if (re > 1e-12) {
        double f, re_dfdre;
        FrictionAndSlope(re, fg.roughness_term, f, re_dfdre);
        loss = cf * f * ag * g0;
        dloss = cf * ag * (2 * f + re_dfdre);
    } else {
        double r = cf * 64 * area * rho_ns * w.fmu[j] / (diam * rho_m);
        loss = r * g0;
        dloss = r;
    }
}

void PipeLossDensitySlopes(const BranchStep& s, int j, double g0, double& loss, double& d_rho_m,
                           double& d_rho_ns) {
    const FaceGeometry& fg = s.br.face_geometry[j];
    const BranchScratch& w = s.w;
    const bool own_ns = w.fns[j] > 0;
    const double rho_m = w.frho[j], rho_ns = own_ns ? w.fns[j] : rho_m;
    const double area = fg.area, diam = fg.diameter, ag = std::fabs(g0);
    const double cf = fg.length * rho_m / (2 * diam * rho_ns * rho_ns * area * area);
    const double re = ag * diam * rho_m / (area * rho_ns * w.fmu[j]);
    // loss = cf f(Re) |G| G with cf ~ rho_m / rho_ns^2 and Re ~ rho_m / rho_ns;
    // laminar, loss ~ 1 / rho_ns.
    double f = 64, re_dfdre = -64;
    if (re > 1e-12) FrictionAndSlope(re, fg.roughness_term, f, re_dfdre);
    double gg = cf * ag * g0;
    if (re > 1e-12) {
        loss = gg * f;
    } else {
        loss = cf * 64 * area * rho_ns * w.fmu[j] / (diam * rho_m) * g0;
        gg = loss, f = 1, re_dfdre = -1;
    }
    // The multiplier of a flowing line's correlation (BEGGSBRILL, DRIFTLEVEL)
    // is taken from the sections' state and the last step's phase flows, not
    // from this face's densities: it scales the slopes as it scales the loss
    // (under DRIFTLEVEL its own response is taken apart, ClosureFrictionRows).
    const double mult = s.model.fluid.holdup_model != kHoldupSlip ? FrictionMultiplier(s, j) : 1.0;
    loss *= mult;
    d_rho_m = gg * mult * (f + re_dfdre) / rho_m;
    d_rho_ns = -gg * mult * (2 * f + re_dfdre) / rho_ns;
    if (!own_ns) d_rho_m += d_rho_ns, d_rho_ns = 0;
}

void ClosureFrictionRows(BranchStep& s) {
    BranchScratch& w = s.w;
    const Branch& br = s.br;
    const int n = s.n;
    w.d_closure.assign(n + 1, BranchScratch::ClosureRows{});
    if (w.sd.size() != static_cast<size_t>(n) || w.d_fric_m.size() != static_cast<size_t>(n))
        return;
    // A section's slopes serve both faces beside it: taken once.
    static thread_local std::vector<Phases> slopes_of;
    static thread_local std::vector<char> taken;
    slopes_of.resize(n);
    taken.assign(n, 0);
    for (int j = 0; j <= n; ++j) {
        if (w.closed[j] || (br.choke[j] >= 0 && w.crit[j] != 0)) continue;
        // The loss is the mixture loss times the mean of the two sections'
        // multipliers: each moves it by half its change over that mean; the
        // row takes -cface times the loss's change.
        double loss = 0, dloss = 0;
        PipeLoss(s, j, w.g_new[j], loss, dloss);
        const double mult = FrictionMultiplier(s, j);
        if (!(mult > 0) || loss == 0) continue;
        const double scale = -w.cface[j] * loss / (2 * mult);
        BranchScratch::ClosureRows& rows = w.d_closure[j];
        const int a = j > 0 ? j - 1 : 0, b = j < n ? j : n - 1;
        for (int i : {a, b}) {
            const SectionDrift& d = w.sd[i];
            if (!(d.level > 0)) continue;
            Phases& mass = i == j - 1 ? rows.mass_lo : rows.mass_hi;
            for (int k = 0; k < 3; ++k) mass[k] += scale * w.d_fric_m[i][k];
            const int row = d.friction_face - j + 1;
            if (!(d.friction_fixed > 0) || row < 0 || row > 2) continue;
            if (!taken[i]) slopes_of[i] = NearHorizontalFrictionSlopes(s, i), taken[i] = 1;
            for (int k = 0; k < 3; ++k) rows.flux[row][k] += scale * slopes_of[i][k];
        }
    }
}

}  // namespace step

}  // namespace zefasim
