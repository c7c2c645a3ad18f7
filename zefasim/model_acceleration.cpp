// Momentum flux: the pressure a flow spends on accelerating the mixture as it
// expands, G^2 / A^2 (v_down - v_up) with v the no-slip specific volume of what
// flows, and at an open end the exit at no more than the mixture's sound speed,
// so that a line open to a low pressure chokes at its end; a face between
// sections chokes alike.

#include <algorithm>
#include <cmath>

#include "step.h"

namespace zefasim::step {

namespace {

// R T / M of the gas a face side passes (m2/s2), and the pressure at which its
// homogeneous frozen mixture, of gas mass fraction x, flows at the sonic mass
// flux gm = p sqrt(M / (x R T)).
double GasRtm(const Fluid& fluid, const FaceSide& side) {
    return kGasConstant * std::max(side.temp_k, 1.0) / fluid.gas_mw;
}
double SonicPressure(const FaceSide& side, double rt_m, double gm) {
    return gm * std::sqrt(std::max(0.0, side.phi[kGas]) * rt_m);
}

// Pressure spent between the last section (upstream side `in`) and the exit
// plane into the boundary at pressure p_b, for a mass flux of magnitude gm
// (kg/(s m2)): the acceleration to the exit plane's state, and where the
// mixture's isothermal sound speed limits the exit (the end chokes) the
// exit plane's pressure above the boundary's. The homogeneous frozen mixture
// of gas mass fraction x chokes at the flux gm = p sqrt(M / (x R T)).
double ExitLoss(const Fluid& fluid, const FaceSide& in, double p_b, double gm) {
    const Phases& phi = in.phi;
    const double x = phi[kGas];
    const double rt_m = GasRtm(fluid, in);
    const double p_sonic = SonicPressure(in, rt_m, gm);
    const double p_e = std::max({p_b, p_sonic, 1.0});
    double v_liquid = 0;
    for (int k : {kOil, kWater})
        if (phi[k] > 0 && in.rho_phase[k] > 0) v_liquid += phi[k] / in.rho_phase[k];
    const double v_e = x * rt_m / p_e + v_liquid;
    return gm * gm * std::max(0.0, v_e - in.v_ns) + std::max(0.0, p_sonic - p_b);
}

}  // namespace

void AddAcceleration(const BranchStep& s, int j, double g0, double& loss, double& dloss) {
    const BranchScratch& w = s.w;
    const double area = s.br.face_geometry[j].area;
    const bool out_at_end = (j == s.n && g0 > 0) || (j == 0 && g0 < 0);
    if (out_at_end) {
        const FaceSide& in = g0 > 0 ? w.left[j] : w.right[j];
        const double p_b = g0 > 0 ? w.right[j].p : w.left[j].p;
        const double gm = std::fabs(g0) / area, h = std::max(1e-6 * gm, 1e-9);
        const double e = ExitLoss(s.model.fluid, in, p_b, gm);
        const double slope = (ExitLoss(s.model.fluid, in, p_b, gm + h) - e) / h / area;
        loss += g0 > 0 ? e : -e;
        dloss += slope;
        return;
    }
    // Between two sections (or from an inlet boundary): the flow accelerates
    // where the mixture expands; where it slows down the pressure it would
    // recover is taken as lost, as at an abrupt expansion.
    const double a = (w.right[j].v_ns - w.left[j].v_ns) / (area * area);
    if (a * g0 > 0) {
        loss += a * g0 * g0;
        dloss += 2 * a * g0;
    }
    // A flux that would carry the upstream mixture past its sound speed chokes
    // the face as at an open end: the pressure above the downstream section's
    // that the sonic flux p sqrt(M / (x R T)) needs is lost. (Tested first in
    // products, p / rho_gas standing for R T / M: most faces are far from it.)
    const FaceSide& up = g0 > 0 ? w.left[j] : w.right[j];
    const double p_down = g0 > 0 ? w.right[j].p : w.left[j].p, x = up.phi[kGas];
    const double pa = p_down * area;
    if (!(g0 * g0 * x * up.p > pa * pa * up.rho_phase[kGas])) return;
    const double c = SonicPressure(up, GasRtm(s.model.fluid, up), 1.0);
    const double choked = std::fabs(g0) / area * c - p_down;
    if (choked > 0) {
        loss += g0 > 0 ? choked : -choked;
        dloss += c / area;
    }
}

}  // namespace zefasim::step
