// Chokes and critical flow: a choke's loss G|G| / (2 rho (Cd A_open)^2), and its
// limit at the homogeneous frozen nozzle's critical flow, held as a row of the
// face-flow system while the subcritical flow would exceed it.

#include <algorithm>
#include <cmath>

#include "step.h"

namespace zefasim {

namespace {

// The homogeneous frozen nozzle: gas of upstream specific volume vg0 expanding
// isentropically, incompressible liquid of specific volume vl, gas mass fraction x.
struct Nozzle {
    double x = 0, vg0 = 0, vl = 0, p0 = 0, kappa = 1.3;
    Nozzle(double p0_, double t0, double x_, double rho_liquid, double gas_mw, double kappa_)
        : x(std::clamp(x_, 0.0, 1.0)), p0(p0_), kappa(kappa_) {
        vg0 = kGasConstant * t0 / (gas_mw * p0);
        vl = x < 1 && rho_liquid > 0 ? 1.0 / rho_liquid : 0.0;
    }
    // Integral of v dp from the throat at eta p0 up to p0, per unit p0.
    double Work(double eta) const {
        const double e = (kappa - 1) / kappa;
        return (1 - x) * vl * (1 - eta) - x * vg0 / e * std::expm1(e * std::log(eta));
    }
    double VolumeAt(double eta) const { return (1 - x) * vl + x * vg0 * std::pow(eta, -1 / kappa); }
    // Square of the mass flux expanding to eta gives: G^2 = 2 (integral of v dp) / v_throat^2.
    double Flux2(double eta) const {
        double v = VolumeAt(eta);
        return v > 0 ? 2 * p0 * Work(eta) / (v * v) : 0.0;
    }
    bool Valid() const { return p0 > 0 && vg0 > 0 && kappa > 1; }
};

}  // namespace

double NozzleMassFlux(double p0, double t0, double x, double rho_liquid, double gas_mw,
                      double kappa, double eta) {
    if (!(p0 > 0) || !(t0 > 0) || !(kappa > 1) || !(eta > 0)) return 0;
    Nozzle nz(p0, t0, x, rho_liquid, gas_mw, kappa);
    return eta >= 1 ? 0 : std::sqrt(std::max(0.0, nz.Flux2(eta)));
}

double CriticalMassFlux(double p0, double t0, double x, double rho_liquid, double gas_mw,
                        double kappa, double* ratio) {
    if (!(p0 > 0) || !(t0 > 0) || !(kappa > 1)) {
        if (ratio) *ratio = 1;
        return 0;
    }
    Nozzle nz(p0, t0, x, rho_liquid, gas_mw, kappa);
    auto flux2 = [&](double eta) { return nz.Flux2(eta); };
    // G^2 has one maximum in eta (the choking point): golden-section search.
    const double r = 0.6180339887498949;
    double a = 1e-6, b = 1;
    double c = b - r * (b - a), d = a + r * (b - a);
    double fc = flux2(c), fd = flux2(d);
    for (int i = 0; i < 48; ++i) {
        if (fc > fd) {
            b = d, d = c, fd = fc;
            c = b - r * (b - a);
            fc = flux2(c);
        } else {
            a = c, c = d, fc = fd;
            d = a + r * (b - a);
            fd = flux2(d);
        }
    }
    double eta = (a + b) / 2;
    if (ratio) *ratio = eta;
    return std::sqrt(std::max(0.0, flux2(eta)));
}

namespace step {

namespace {

// Effective flow area Cd A_open of a choke (m2).
double ChokeArea(const Controller& ct) {
    return ct.discharge_coefficient * ct.opening * kPi * ct.choke_diameter * ct.choke_diameter / 4;
}

// Critical flow of choke face j for flow in direction `dir` at upstream
// pressure p; `slope` receives its derivative with respect to p.
double ChokeCriticalFlow(const BranchStep& s, int j, int dir, double p, double& slope) {
    const Fluid& fluid = s.model.fluid;
    const Controller& ct = s.model.controllers[s.br.choke[j]];
    const FaceSide& up_side = dir > 0 ? s.w.left[j] : s.w.right[j];
    double area = ChokeArea(ct);
    const Phases& phi = up_side.phi;
    double liquid = phi[kOil] + phi[kWater];
    double rho_l =
        liquid > 0 ? liquid / (phi[kOil] / fluid.oil_density + phi[kWater] / fluid.water_density)
                   : fluid.oil_density;
    double pp = std::max(p, 1.0);
    double g0 = area * CriticalMassFlux(pp, up_side.temp_k, phi[kGas], rho_l, fluid.gas_mw,
                                        fluid.gas_kappa);
    double g1 = area * CriticalMassFlux(pp * 1.001, up_side.temp_k, phi[kGas], rho_l, fluid.gas_mw,
                                        fluid.gas_kappa);
    slope = (g1 - g0) / (pp * 0.001);
    return g0;
}

}  // namespace

// The isentropic nozzle below its critical ratio, written as a loss of the
// incompressible form: p_up - p_down = G|G| / (2 (Cd A)^2 rho_up Y^2), where
// rho_up Y^2 = G_nozzle(r)^2 / (2 p_up (1 - r)) at the pressure ratio r of the
// predicted new pressures (taken no lower than the critical ratio, below which
// the choke holds its critical flow instead). rho_up Y^2 tends to the upstream
// no-slip density as r tends to 1 (the incompressible orifice).
void AddChokeLoss(const BranchStep& s, int j, double g0, double& loss, double& dloss) {
    const BranchScratch& w = s.w;
    const Fluid& fluid = s.model.fluid;
    const Controller& ct = s.model.controllers[s.br.choke[j]];
    double pl = j > 0 ? PredictedPressure(w, s.dt, j - 1, w.g_lin) : w.left[j].p;
    double pr = j < s.n ? PredictedPressure(w, s.dt, j, w.g_lin) : w.right[j].p;
    int dir = g0 > 0 ? 1 : g0 < 0 ? -1 : (pl >= pr ? 1 : -1);
    const FaceSide& up = dir > 0 ? w.left[j] : w.right[j];
    double p0 = std::max(dir > 0 ? pl : pr, 1.0), pd = dir > 0 ? pr : pl;
    const Phases& phi = up.phi;
    double liquid = phi[kOil] + phi[kWater];
    double rho_l =
        liquid > 0 ? liquid / (phi[kOil] / fluid.oil_density + phi[kWater] / fluid.water_density)
                   : fluid.oil_density;
    double temp_k = std::max(up.temp_k, 1.0);
    Nozzle nz(p0, temp_k, phi[kGas], rho_l, fluid.gas_mw, fluid.gas_kappa);
    double eta_c = 0;
    CriticalMassFlux(p0, temp_k, phi[kGas], rho_l, fluid.gas_mw, fluid.gas_kappa, &eta_c);
    double r = std::clamp(pd / p0, eta_c, 1.0);
    double rho_y2 = r < 1 - 1e-9 ? nz.Flux2(r) / (2 * p0 * (1 - r)) : 1 / nz.VolumeAt(1);
    double av = ChokeArea(ct);
    double ag = std::fabs(g0);
    double kc = 1 / (2 * rho_y2 * av * av);
    loss += kc * ag * g0;
    dloss += 2 * kc * ag;
}

// Chokes at their critical flow: the row becomes g = Gc(p_up, new). The rows as
// assembled (subcritical) are kept to tell when a choke leaves the critical flow.
void ApplyCriticalRows(BranchStep& s, bool& any_choke) {
    const Branch& br = s.br;
    BranchScratch& w = s.w;
    const int n = s.n;
    const double dt = s.dt;
    any_choke = false;
    for (int j = 0; j <= n; ++j) {
        if (br.choke[j] < 0 || w.closed[j]) continue;
        if (!any_choke) {
            w.sub_lo.resize(n + 1), w.sub_di.resize(n + 1), w.sub_up.resize(n + 1);
            w.sub_rhs.resize(n + 1);
            any_choke = true;
        }
        // The choke's subcritical row, for UpdateChokeRegimes.
        w.sub_lo[j] = w.lo[j], w.sub_di[j] = w.di[j], w.sub_up[j] = w.up[j];
        w.sub_rhs[j] = w.rhs[j];
        int dir = w.crit[j];
        if (dir == 0) continue;
        double slope = 0;
        if (dir > 0) {
            double p0 = j > 0 ? w.st[j - 1].p : w.left[j].p;
            double gc = ChokeCriticalFlow(s, j, 1, p0, slope);
            w.gcp[j] = slope;
            if (j > 0) {
                int l = j - 1;
                w.lo[j] = -slope * w.dfac[l] * dt * w.gin[l];
                w.di[j] = 1 + slope * w.dfac[l] * dt * w.gout[l];
                w.up[j] = 0;
                w.rhs[j] = gc - slope * p0 + slope * w.dfac[l] * w.ptilde[l];
            } else {
                w.lo[j] = 0, w.up[j] = 0, w.di[j] = 1, w.rhs[j] = gc;
            }
        } else {
            double p0 = j < n ? w.st[j].p : w.right[j].p;
            double gc = ChokeCriticalFlow(s, j, -1, p0, slope);
            w.gcp[j] = slope;
            if (j < n) {
                w.lo[j] = 0;
                w.di[j] = 1 + slope * w.dfac[j] * dt * w.gin[j];
                w.up[j] = -slope * w.dfac[j] * dt * w.gout[j];
                w.rhs[j] = -gc + slope * p0 - slope * w.dfac[j] * w.ptilde[j];
            } else {
                w.lo[j] = 0, w.up[j] = 0, w.di[j] = 1, w.rhs[j] = -gc;
            }
        }
    }
}

// Choke regime: critical when the subcritical flow would exceed the critical
// flow; back to subcritical when that flow falls below it. True if any changed.
bool UpdateChokeRegimes(BranchStep& s) {
    const Branch& br = s.br;
    BranchScratch& w = s.w;
    const int n = s.n;
    bool changed = false;
    for (int j = 0; j <= n; ++j) {
        if (br.choke[j] < 0 || w.closed[j] || w.switches[j] >= 4) continue;
        double g = w.g_new[j];
        if (w.crit[j] == 0) {
            int dir = g >= 0 ? 1 : -1;
            double pu = dir > 0 ? (j > 0 ? PredictedPressure(w, s.dt, j - 1, w.g_new) : w.left[j].p)
                                : (j < n ? PredictedPressure(w, s.dt, j, w.g_new) : w.right[j].p);
            double slope;
            double gc = ChokeCriticalFlow(s, j, dir, pu, slope);
            if (std::fabs(g) > gc * (1 + 1e-9)) {
                w.crit[j] = static_cast<signed char>(dir);
                ++w.switches[j];
                changed = true;
            }
        } else {
            double gl = j > 0 ? w.g_new[j - 1] : 0, gr = j < n ? w.g_new[j + 1] : 0;
            double gsub = (w.sub_rhs[j] - w.sub_lo[j] * gl - w.sub_up[j] * gr) / w.sub_di[j];
            if (gsub * w.crit[j] < std::fabs(g) * (1 - 1e-9)) {
                w.crit[j] = 0;
                ++w.switches[j];
                changed = true;
            }
        }
    }
    return changed;
}

}  // namespace step

}  // namespace zefasim
