// Derivatives: the rows of a step's tangent, derived once per step for every
// seed (model_seeds.cpp carries the seeds through them). The flows' response
// comes from the same factorised tridiagonal system as the step (Newton loss
// slopes and critical-flow rows included), with the mixture density's part in
// gravity and losses on the right-hand side; the phase shares a face carries
// respond to the masses of its upwind section, the drift to those of the
// sections beside it; the temperatures' from the step's energy rows.

#include <algorithm>
#include <cmath>

#include "step.h"

namespace zefasim {

namespace step {

namespace {

// The phase shares a face carries respond to the upwind section's masses: with
// a fixed slip ratio phi_k = w_k m_k / sum(w_l m_l), w_k = phi_k / m_k.
Jacobian ShareJacobian(const Phases& phi, const Phases& m) {
    Jacobian jac{};
    Phases wt{};
    for (int k = 0; k < 3; ++k) wt[k] = m[k] > 0 ? phi[k] / m[k] : 0.0;
    for (int k = 0; k < 3; ++k)
        for (int l = 0; l < 3; ++l) jac[k][l] = (k == l ? wt[k] : 0.0) - phi[k] * wt[l];
    return jac;
}

// Where the drift at an open end takes back all the outflow carries of the
// phase drifting in (CapEndDrift), the flow carries only the other phase: a
// change of the flow changes that phase alone, and the composition nothing.
bool EndDriftCapped(const BranchScratch& w, int j) {
    double d = std::fabs(w.drift[j][kGas]);
    if (d == 0 || w.closed[j]) return false;
    double g = w.g_new[j];
    const Phases& phi = g > 0 ? w.left[j].phi : w.right[j].phi;
    double gas_out = std::fabs(g) * phi[kGas], liquid_out = std::fabs(g) - gas_out;
    bool gas_drifts_out = (j == 0) == (w.drift[j][kGas] < 0);
    return d >= (gas_drifts_out ? liquid_out : gas_out) * (1 - 1e-9);
}

// The face's losses other than friction (the nozzle, or the momentum flux and
// an open end's exit) at the step's new flow.
double OtherLoss(const BranchStep& s, int j) {
    double g = s.w.g_new[j], loss = 0, dloss = 0;
    if (s.br.choke[j] >= 0)
        AddChokeLoss(s, j, g, loss, dloss);
    else
        AddAcceleration(s, j, g, loss, dloss);
    return loss;
}

// The face's loss (friction, choke or momentum flux) at the step's new flow.
double FaceLoss(const BranchStep& s, int j) {
    double loss = 0, dloss = 0;
    PipeLoss(s, j, s.w.g_new[j], loss, dloss);
    return loss + OtherLoss(s, j);
}

// The face's friction at the new flow with its slopes in the mixture density
// (which also sets its Reynolds number) and the no-slip density of what flows;
// only friction sees those two.
struct FrictionSlopes {
    double loss = 0, d_rho = 0, d_ns = 0;
};
FrictionSlopes FrictionSlopesOf(const BranchStep& s, int j) {
    FrictionSlopes f;
    PipeLossDensitySlopes(s, j, s.w.g_new[j], f.loss, f.d_rho, f.d_ns);
    return f;
}

// d(gravity + loss)/d(boundary pressure) of end face j at the new flow: the
// boundary's fluid at the face follows its pressure (density, the no-slip
// density of what flows), and the exit of an open end expands to it or
// chokes above it.
double LossBoundarySlope(BranchStep& s, int j) {
    BranchScratch& w = s.w;
    const Branch& br = s.br;
    const int bi = j == 0 ? br.inlet_boundary : br.outlet_boundary;
    FaceSide& side = j == 0 ? w.left[j] : w.right[j];
    if (bi < 0 || s.shut || !s.model.boundaries[bi].open) return 0;
    const FaceSide saved = side;
    const double rho0 = w.frho[j], mu0 = w.fmu[j], ns0 = w.fns[j];
    const double dz = br.face_geometry[j].dz;
    const double base = w.frho[j] * kGravity * dz + FaceLoss(s, j);
    const double h = 1e-6 * std::max(saved.p, 1e3);
    side = BoundarySide(s.model, bi, saved.p + h);
    FaceFluid(s, j);
    const double up = w.frho[j] * kGravity * dz + FaceLoss(s, j);
    side = saved;
    w.frho[j] = rho0, w.fmu[j] = mu0, w.fns[j] = ns0;
    return (up - base) / h;
}

// d(loss)/d(pressure of the section on one side of face j) at the new flow:
// at the section's masses its gas density follows its pressure, and with it
// the no-slip density of what flows (friction, momentum flux). `base` is
// OtherLoss(s, j) at the present state (the same for both sides).
double LossSectionSlope(BranchStep& s, int j, bool left_side, const FrictionSlopes& fr,
                        double base) {
    BranchScratch& w = s.w;
    FaceSide& side = left_side ? w.left[j] : w.right[j];
    if (!(side.p > 0) || !(side.rho_phase[kGas] > 0)) return 0;
    // The side's pressure, gas density and no-slip volume move; they are put back.
    const double p0 = side.p, rho_gas0 = side.rho_phase[kGas], v_ns0 = side.v_ns;
    const double rho0 = w.frho[j], mu0 = w.fmu[j], ns0 = w.fns[j];
    const double h = 1e-6 * p0;
    side.p = p0 + h;
    side.rho_phase[kGas] = rho_gas0 * (1 + h / p0);
    side.v_ns = NoSlipVolume(side.phi, side.rho_phase);
    FaceFluid(s, j);
    w.frho[j] = rho0, w.fmu[j] = mu0;  // the in-situ mixture keeps its masses and volume
    const double up = OtherLoss(s, j) + fr.d_ns * (w.fns[j] - ns0);
    side.p = p0, side.rho_phase[kGas] = rho_gas0, side.v_ns = v_ns0;
    w.fns[j] = ns0;
    return (up - base) / h;
}

// The same slope for both sides of an inner face without a choke, in closed
// form: there the face's other loss is the momentum flux a g^2, a = (v_right -
// v_left) / A^2 (where a g > 0), and a side's no-slip volume v = sum(phi_k /
// rho_k) moves with its gas density; friction moves with the no-slip density
// of what crosses the face, 1 / (sum over the phases of q_k / rho_k, at the
// face's mean phase densities, per kg), as FaceFluid takes it.
void InnerLossSectionSlopes(const BranchStep& s, int j, const FrictionSlopes& fr, double& d_left,
                            double& d_right) {
    const BranchScratch& w = s.w;
    const double g = w.g_new[j], area = s.br.face_geometry[j].area;
    const double a = (w.right[j].v_ns - w.left[j].v_ns) / (area * area);
    // The gas's mass per kg of what crosses, and the face's mean gas density.
    const double f0 = w.fns[j];
    const double rho_mean = (w.left[j].rho_phase[kGas] + w.right[j].rho_phase[kGas]) / 2;
    double share = 0;
    if (f0 > 0 && rho_mean > 0) {
        const Phases& q = s.br.flux[j];
        const double mass = Sum(q);
        const double size = std::fabs(q[kGas]) + std::fabs(q[kOil]) + std::fabs(q[kWater]);
        if (std::fabs(mass) > 1e-6 * size && mass != 0) {
            if (q[kGas] * mass > 0) share = q[kGas] / mass;
        } else {
            const double gf = s.br.flow[j];
            const bool from_left = gf > 0 || (gf == 0 && w.left[j].p >= w.right[j].p);
            share = std::max(0.0, (from_left ? w.left[j] : w.right[j]).phi[kGas]);
        }
    }
    for (const bool left_side : {true, false}) {
        const FaceSide& side = left_side ? w.left[j] : w.right[j];
        double& out = left_side ? d_left : d_right;
        const double p0 = side.p, rho_gas = side.rho_phase[kGas];
        out = 0;
        if (!(p0 > 0) || !(rho_gas > 0)) continue;
        if (a * g > 0 && side.phi[kGas] > 0) {
            const double dv = -side.phi[kGas] / (rho_gas * p0);
            out += (left_side ? -dv : dv) / (area * area) * g * g;
        }
        if (!(f0 > 0) || !(rho_mean > 0)) continue;
        const double d_mean = rho_gas / (2 * p0);  // of the mean gas density, per Pa
        // d(volume per kg)/dp = -share d_mean / rho_mean^2; fns = 1 / volume.
        out = out + fr.d_ns * f0 * f0 * share * d_mean / (rho_mean * rho_mean);
    }
}

// The row's response to the last step's phase flows through the face: they
// set the no-slip density of what flows (PrepareMomentum), which the mixture
// friction takes its velocity from.
Phases LossFlowRow(BranchStep& s, int j, const FrictionSlopes& fr) {
    BranchScratch& w = s.w;
    const Phases& q = s.br.flux[j];
    const double mass = Sum(q);
    const double size = std::fabs(q[kGas]) + std::fabs(q[kOil]) + std::fabs(q[kWater]);
    Phases row{0, 0, 0};
    if (!(w.fns[j] > 0) || !(std::fabs(mass) > 1e-6 * size) || mass == 0) return row;
    Phases rho_phase;
    for (int k = 0; k < 3; ++k)
        rho_phase[k] = (w.left[j].rho_phase[k] + w.right[j].rho_phase[k]) / 2;
    const double f0 = w.fns[j], dl = fr.d_ns;
    // fns = mass / sum(q_k / rho_k): d fns / d q_k = fns / mass - fns^2 / rho_k.
    for (int k = 0; k < 3; ++k) {
        double dv = q[k] * mass > 0 && rho_phase[k] > 0 ? 1 / rho_phase[k] : 0.0;
        row[k] = -w.cface[j] * dl * (f0 / mass - f0 * f0 * dv / mass);
    }
    return row;
}

// The energy balance of the step (model_energy.cpp) linearised: its rows
// D T_i - A T_(i-1) - B T_(i+1) = N are the step's; the right-hand side of the
// temperature responses, dN - dD T_i + dA T_(i-1) + dB T_(i+1), comes from the
// responses of the masses, of the old temperature, of the phase flows through
// the faces, of the seed's inflow and of wells and withdrawals. Its
// coefficients depend on the step alone and are derived once per step here.
// The pressures' small part in the phases' energy is held. Where the seeds
// carry nothing yet (`carried`), the parts acting on their sections' pressures
// at the step's start are left out, but at the branch ends (the boundaries').
void EnergyTangentCoefficients(BranchStep& s, bool carried) {
    const Branch& br = s.br;
    BranchScratch& w = s.w;
    const int n = s.n;
    const PhaseEnergy pe = PhaseEnergyOf(s.model.fluid);
    const std::vector<double>& z = w.elevation;
    const std::vector<double>& tn = w.e_sol;  // new temperatures, K
    w.e_carried.resize(n + 1);
    for (int j = 0; j <= n; ++j) {
        for (int k = 0; k < 3; ++k) {
            double f = w.flux[j][k] != 0 ? w.flux[j][k] : w.g_new[j];
            int donor = f > 0 ? j - 1 : j;
            double e;
            if (donor >= 0 && donor < n) {
                e = pe.cp[k] * tn[donor] + pe.hp[k] * w.st[donor].p + kGravity * z[donor];
            } else {
                const FaceSide& side = f > 0 ? w.left[j] : w.right[j];
                double zz = j == 0 ? 0.0 : z[n - 1] + br.sections[n - 1].dz / 2;
                e = pe.cp[k] * side.temp_k + pe.hp[k] * side.p + kGravity * zz;
            }
            w.e_carried[j][k] = w.closed[j] ? 0.0 : e;
        }
    }
    w.e_held0.resize(n);
    w.e_held1.resize(n);
    w.e_heat0.resize(n);
    w.e_pres.resize(n);
    for (int i = 0; i < n; ++i) {
        const double tk = w.st[i].temp_k, p = w.st[i].p, gz = kGravity * z[i];
        double p_new = PredictedPressure(w, s.dt, i, w.g_new);
        if (!std::isfinite(p_new) || !(p_new > 0)) p_new = p;
        bool live = Sum(w.mass_new[i]) > 0 && w.e_di[i] > 1e-9 && w.e_di[i] != 1.0;
        double heat = 0;
        for (int k = 0; k < 3; ++k) {
            w.e_held0[i][k] = live ? pe.cv[k] * tk + pe.up[k] * p + gz : 0.0;
            w.e_held1[i][k] = live ? pe.cv[k] * tn[i] + pe.up[k] * p_new + gz : 0.0;
            heat += br.mass[i][k] * pe.cv[k];
        }
        w.e_heat0[i] = live ? heat : 0.0;
        // The pressures' part: what it holds and gives away at its own pressure,
        // what flows in at its donor's, what it holds at the end at the new one.
        std::array<double, 4>& ep = w.e_pres[i];
        ep = {0, 0, 0, 0};
        if (!live) continue;
        if (!carried && i > 0 && i < n - 1) {
            for (int k = 0; k < 3; ++k) ep[3] -= w.mass_new[i][k] * pe.up[k];
            continue;
        }
        for (int k = 0; k < 3; ++k) {
            ep[0] += br.mass[i][k] * pe.up[k];
            ep[3] -= w.mass_new[i][k] * pe.up[k];
            if (w.src[i][k] < 0) ep[0] += s.dt * w.src[i][k] * pe.hp[k];
            for (const int j : {i, i + 1}) {
                const double f = (j == i ? 1.0 : -1.0) * w.flux[j][k];  // into section i
                if (f < 0) ep[0] += s.dt * f * pe.hp[k];
                if (f > 0) ep[j == i ? 1 : 2] += s.dt * f * pe.hp[k];
            }
        }
    }
}

}  // namespace

// Per face, the right-hand side of the linearised momentum balance is
// keep * (previous flow response) + left * (response of the predicted pressure
// upstream) + right * (of the predicted pressure downstream) + start_left,
// start_right * (of the two sections' pressures at the step's start, which the
// losses see) + rho * (response of the two sections' mixture densities) + fns .
// (response of the last step's phase flows); at the branch ends the boundary
// pressure takes the place of the missing section. The loss parts are the
// slopes of the face's own loss (friction, momentum flux and open-end choking,
// or the nozzle) at the new flow. Where the seeds carry nothing yet
// (`carried` false: their first step), only what acts on their own inputs is
// derived: the pressure rows, the ends' and the energy's and transport's.
void DeriveDerivativeRows(BranchStep& s, bool refresh, bool masses_moved, bool carried) {
    const Branch& br = s.br;
    BranchScratch& w = s.w;
    const int n = s.n;
    // Every face's entries are set in the loop over the faces below.
    for (std::vector<double>* v : {&w.d_keep, &w.d_left, &w.d_right, &w.d_start_left,
                                   &w.d_start_right, &w.d_mu, &w.d_rho, &w.inv_denom})
        v->resize(n + 1);
    w.d_fns.resize(n + 1);
    // A section's mixture viscosity is its phases' by volume fraction: a liquid
    // mass added displaces gas.
    w.d_mu_mass.resize(n);
    const Fluid& fluid = s.model.fluid;
    for (int i = 0; i < n && carried; ++i) {
        const SectionState& st = w.st[i];
        const double v = br.sections[i].volume;
        const bool by_volume = st.mu_mix > 0 && v > 0 && st.rho_oil > 0 && st.rho_water > 0;
        w.d_mu_mass[i] =
            by_volume ? Phases{0, (fluid.oil_viscosity - fluid.gas_viscosity) / (st.rho_oil * v),
                               (fluid.water_viscosity - fluid.gas_viscosity) / (st.rho_water * v)}
                      : Phases{0, 0, 0};
    }
    if (!s.drift_model) {
        w.d_share.assign(n + 1, Jacobian{});
        w.d_drift_lo.assign(n + 1, Jacobian{});
        w.d_drift_hi.assign(n + 1, Jacobian{});
        w.d_jac_mass.clear();
        w.d_share_g.clear();
    }
    const std::vector<FaceGeometry>& fgeo = br.face_geometry;
    for (int j = 0; j <= n; ++j) {
        w.inv_denom[j] = 1.0 / w.denom[j];
        w.d_keep[j] = w.d_left[j] = w.d_right[j] = 0;
        w.d_start_left[j] = w.d_start_right[j] = w.d_mu[j] = w.d_rho[j] = 0;
        w.d_fns[j] = Phases{0, 0, 0};
        double fl = j > 0 ? w.dfac[j - 1] : 1.0, fr = j < n ? w.dfac[j] : 1.0;
        if (w.closed[j]) continue;
        if (br.choke[j] >= 0 && w.crit[j] > 0) {
            w.d_left[j] = w.gcp[j] * fl;
        } else if (br.choke[j] >= 0 && w.crit[j] < 0) {
            w.d_right[j] = -w.gcp[j] * fr;
        } else {
            double c = w.cface[j];
            w.d_keep[j] = 1;
            w.d_left[j] = c * fl;
            w.d_right[j] = -(c * fr);
            // At an end the losses see the boundary's pressure too (the exit of
            // an open end expands to it, or chokes above it).
            if (j == 0) w.d_left[j] -= c * LossBoundarySlope(s, j);
            if (j == n) w.d_right[j] -= c * LossBoundarySlope(s, j);
            if (!carried) continue;
            // Gravity rho g dz and the response of the face's losses to the
            // mixture density at the new flow, as the loss model computes them.
            const FrictionSlopes slopes = FrictionSlopesOf(s, j);
            w.d_rho[j] = -c * (kGravity * fgeo[j].dz + slopes.d_rho) / 2;
            // Friction's slope in the viscosity, from its Reynolds number's part
            // in the two density slopes (Re ~ rho_m / (rho_ns mu)).
            if (w.fns[j] > 0 && w.fmu[j] > 0)
                w.d_mu[j] =
                    c * (2 * slopes.d_rho * w.frho[j] + slopes.d_ns * w.fns[j]) / (2 * w.fmu[j]);
            w.d_fns[j] = LossFlowRow(s, j, slopes);
            // A section's own pressure enters the losses as the step's start
            // left it, not as the step predicts it.
            if (j > 0 && j < n && br.choke[j] < 0) {
                double dl = 0, dr = 0;
                InnerLossSectionSlopes(s, j, slopes, dl, dr);
                w.d_start_left[j] = -(c * dl);
                w.d_start_right[j] = -(c * dr);
            } else {
                const double other = OtherLoss(s, j);
                if (j > 0) w.d_start_left[j] = -(c * LossSectionSlope(s, j, true, slopes, other));
                if (j < n) w.d_start_right[j] = -(c * LossSectionSlope(s, j, false, slopes, other));
            }
        }
        int u = UpwindSection(j, w.g_new[j], n);
        if (u < 0 || s.drift_model || !carried) continue;
        w.d_share[j] = ShareJacobian(w.g_new[j] > 0 ? w.left[j].phi : w.right[j].phi, br.mass[u]);
    }
    // The drift-flux Jacobians act only on masses that responded: at the
    // first step of a run interval every seed's masses are still zero, so
    // they are left until a step needs them, and then taken afresh.
    w.d_closure.clear();
    if (s.drift_model && masses_moved) {
        DriftJacobians(s, refresh || w.d_jac_refresh_pending);
        w.d_jac_refresh_pending = false;
        if (s.model.fluid.holdup_model == kHoldupDriftLevel) ClosureFrictionRows(s);
    } else if (s.drift_model) {
        // Zero and of the branch's size, for the transport's tangent to read.
        if (w.d_share.size() != static_cast<size_t>(n + 1)) {
            w.d_share.assign(n + 1, Jacobian{});
            w.d_drift_lo.assign(n + 1, Jacobian{});
            w.d_drift_hi.assign(n + 1, Jacobian{});
            w.d_jac_mass.clear();
        }
        w.d_jac_refresh_pending = w.d_jac_refresh_pending || refresh;
    }
    EnergyTangentCoefficients(s, carried);
    if (s.model.integration.implicit_transport && w.t_implicit) TransportTangent(s);
    for (int e = 0; e < 2; ++e) {
        int j = e == 0 ? 0 : n;
        w.d_capped[e] = EndDriftCapped(w, j);
    }
    w.derivative_rows = true;
}

}  // namespace step

}  // namespace zefasim
