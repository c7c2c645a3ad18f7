// Derivatives: the response to a unit change of a boundary pressure or of one
// phase of a source's inflow, carried through every step of the run interval
// by the tangent of the step. Each seed carries the phase masses and the
// temperature of every section: a step's pressures follow from them, its flows
// from the same factorised tridiagonal system as the step (Newton loss slopes
// and critical-flow rows included) with the mixture density's part in gravity
// and losses, and the new masses from what the flows carry, at the phase
// shares of the perturbed upwind section. So the response of a long run
// interval includes the liquid a source adds to the line and what it does to
// the head and the losses, not only the first compression.

#include <algorithm>
#include <array>
#include <cmath>

#include "step.h"

namespace zefasim {

namespace {

// The branch a seed's object lies on.
int BranchOf(const Model& model, const Sensitivity& sv) {
    return sv.seed == Sensitivity::Seed::BoundaryPressure ? model.boundaries[sv.object].branch
                                                          : model.sources[sv.object].branch;
}

}  // namespace

void Model::BeginSensitivities(std::vector<Sensitivity> seeds) {
    sensitivities = std::move(seeds);
    for (Sensitivity& s : sensitivities) {
        const int b = BranchOf(*this, s);
        size_t n = branches[b].sections.size();
        s.dflow.assign(n + 1, 0);
        s.dpressure.assign(n, 0);
        s.dmass.assign(n, Phases{0, 0, 0});
        s.dtemp.assign(n, 0);
        s.dflux.assign(n + 1, Phases{0, 0, 0});
        s.dflux_inlet = s.dflux_outlet = Phases{0, 0, 0};
    }
}

namespace step {

namespace {

// Index of the section upwind of face j at flow g, -1 where a boundary is.
int UpwindSection(int j, double g, int n) {
    int u = g > 0 ? j - 1 : j;
    return u >= 0 && u < n ? u : -1;
}

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

void EndDriftResponse(const BranchScratch& w, int j, double dg, Phases& dflux) {
    double g = w.g_new[j];
    const Phases& phi = g > 0 ? w.left[j].phi : w.right[j].phi;
    bool gas_drifts_out = (j == 0) == (w.drift[j][kGas] < 0);
    double liquid = phi[kOil] + phi[kWater];
    double oil = liquid > 0 ? phi[kOil] / liquid : 1.0;
    dflux = gas_drifts_out ? Phases{dg, 0, 0} : Phases{0, dg * oil, dg * (1 - oil)};
}

void EnergyTangentCoefficients(BranchStep& s);

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

// Per face, the right-hand side of the linearised momentum balance is
// keep * (previous flow response) + left * (response of the pressure
// upstream) + right * (of the pressure downstream) + rho * (response of the
// two sections' mixture densities) + fns . (response of the last step's phase
// flows); at the branch ends the boundary pressure takes the place of the
// missing section. The loss parts are the slopes of the face's own loss
// (friction, momentum flux and open-end choking, or the nozzle) at the new flow.
void DeriveDerivativeRows(BranchStep& s, bool refresh, bool masses_moved) {
    const Branch& br = s.br;
    BranchScratch& w = s.w;
    const int n = s.n;
    w.d_keep.assign(n + 1, 0);
    w.d_left.assign(n + 1, 0);
    w.d_right.assign(n + 1, 0);
    w.d_rho.assign(n + 1, 0);
    w.d_fns.assign(n + 1, Phases{0, 0, 0});
    if (!s.drift_model) {
        w.d_share.assign(n + 1, Jacobian{});
        w.d_drift_lo.assign(n + 1, Jacobian{});
        w.d_drift_hi.assign(n + 1, Jacobian{});
        w.d_jac_mass.clear();
        w.d_share_g.clear();
    }
    w.inv_denom.resize(n + 1);
    const std::vector<FaceGeometry>& fgeo = br.face_geometry;
    for (int j = 0; j <= n; ++j) {
        w.inv_denom[j] = 1.0 / w.denom[j];
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
            // Gravity rho g dz and the response of the face's losses to the
            // mixture density at the new flow, as the loss model computes them.
            const FrictionSlopes slopes = FrictionSlopesOf(s, j);
            w.d_rho[j] = -c * (kGravity * fgeo[j].dz + slopes.d_rho) / 2;
            w.d_fns[j] = LossFlowRow(s, j, slopes);
            // At an end the losses see the boundary's pressure too (the exit of
            // an open end expands to it, or chokes above it).
            if (j == 0) w.d_left[j] -= c * LossBoundarySlope(s, j);
            if (j == n) w.d_right[j] -= c * LossBoundarySlope(s, j);
            const double other = OtherLoss(s, j);
            if (j > 0) w.d_left[j] -= c * LossSectionSlope(s, j, true, slopes, other);
            if (j < n) w.d_right[j] -= c * LossSectionSlope(s, j, false, slopes, other);
        }
        int u = UpwindSection(j, w.g_new[j], n);
        if (u < 0 || s.drift_model) continue;
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
    EnergyTangentCoefficients(s);
    for (int e = 0; e < 2; ++e) {
        int j = e == 0 ? 0 : n;
        w.d_capped[e] = EndDriftCapped(w, j);
    }
    w.derivative_rows = true;
}

// Scratch of one seed's propagation through a branch's step.
struct SeedScratch {
    std::vector<double> dpt, dr, dpred;
    std::vector<Phases> dsrc, dmix, dcomp, dflux;
};

// A source with a negative flow withdraws mixture at its section's composition.
bool SourceWithdraws(const Source& src) {
    return src.mass_flow < 0;
}

// The seed's own inflow, and what withdrawing sources take more or less of a
// phase when the section's composition moved.
void SeedInflow(const Model& model, const Sensitivity& sv, const Branch& br, const BranchScratch& w,
                SeedScratch& t) {
    const int n = static_cast<int>(br.sections.size());
    t.dsrc.assign(n, Phases{0, 0, 0});
    for (int i = 0; i < n; ++i) {
        if (!(w.withdraw[i] > 0)) continue;
        double m = Sum(br.mass[i]);
        if (!(m > 0)) continue;
        double dm = Sum(sv.dmass[i]);
        for (int k = 0; k < 3; ++k)
            t.dsrc[i][k] -= w.withdraw[i] * (sv.dmass[i][k] - br.mass[i][k] / m * dm) / m;
    }
    if (sv.seed != Sensitivity::Seed::SourcePhase) return;
    const Source& src = model.sources[sv.object];
    if (model.ShutIn() && !src.host_fed) return;
    if (!SourceWithdraws(src)) {
        t.dsrc[src.section][sv.phase] += 1;
        return;
    }
    // A withdrawing source takes the section's mixture whatever phase its
    // flow is given in: one more unit of any phase is one unit less taken.
    const Phases& m = br.mass[src.section];
    const double total = Sum(m);
    if (total > 0)
        for (int k = 0; k < 3; ++k) t.dsrc[src.section][k] += m[k] / total;
}

// Whether a seed's section masses have responded (they are zero from the
// start of a run interval until its first step is done).
bool MassesMoved(const Sensitivity& sv) {
    return std::any_of(sv.dmass.begin(), sv.dmass.end(),
                       [](const Phases& dm) { return dm[0] != 0 || dm[1] != 0 || dm[2] != 0; });
}

// What the faces carry more or less at the step's flows because the masses
// of the sections beside them moved: the shares of the upwind section, and the
// drift between the two (dmix: the mixture's part alone). Under DRIFTLEVEL
// both also follow the flow they were taken at, the last step's (sv.dflow
// before this step's flows are solved).
void CompositionFluxes(const Sensitivity& sv, const BranchScratch& w, int n, SeedScratch& t) {
    t.dmix.assign(n + 1, Phases{0, 0, 0});
    t.dcomp.assign(n + 1, Phases{0, 0, 0});
    // Masses that have not responded yet (the first step of a run interval)
    // shift no composition.
    if (!MassesMoved(sv)) return;
    auto apply = [](const Jacobian& jac, const Phases& dm, double f, Phases& out) {
        for (int k = 0; k < 3; ++k)
            out[k] += f * (jac[k][0] * dm[0] + jac[k][1] * dm[1] + jac[k][2] * dm[2]);
    };
    const bool by_flow = w.d_share_g.size() == static_cast<size_t>(n + 1);
    for (int j = 0; j <= n; ++j) {
        if (w.closed[j] || (j == 0 && w.d_capped[0]) || (j == n && w.d_capped[1])) continue;
        double g = w.g_new[j];
        int u = UpwindSection(j, g, n);
        if (u >= 0) apply(w.d_share[j], sv.dmass[u], g, t.dmix[j]);
        Phases& out = t.dcomp[j];
        if (by_flow) {
            for (int k = 0; k < 3; ++k) {
                if (u >= 0) t.dmix[j][k] += g * w.d_share_g[j][k] * sv.dflow[j];
                out[k] += w.d_drift_g[j][k] * sv.dflow[j];
            }
        }
        for (int k = 0; k < 3; ++k) out[k] += t.dmix[j][k];
        if (j > 0) apply(w.d_drift_lo[j], sv.dmass[j - 1], 1.0, out);
        if (j < n) apply(w.d_drift_hi[j], sv.dmass[j], 1.0, out);
    }
}

// Under DRIFTLEVEL, a face's row response through the closure's friction
// multipliers, to the last step's phase flows and the masses either side.
double ClosureRowResponse(const Sensitivity& sv, const BranchScratch::ClosureRows& rows, int j,
                          int n) {
    double r = 0;
    for (int f = std::max(0, j - 1); f <= std::min(n, j + 1); ++f)
        for (int k = 0; k < 3; ++k) r += rows.flux[f - j + 1][k] * sv.dflux[f][k];
    for (int k = 0; k < 3; ++k) {
        if (j > 0) r += rows.mass_lo[k] * sv.dmass[j - 1][k];
        if (j < n) r += rows.mass_hi[k] * sv.dmass[j][k];
    }
    return r;
}

// The new flows' response: right-hand side and forward elimination in one
// sweep, then the back-substitution with the step's pivots.
void SolveFlowResponse(Sensitivity& sv, const Branch& br, const BranchScratch& w, int n,
                       double dp_in, double dp_out, SeedScratch& t) {
    const double* keep = w.d_keep.data();
    const double* left = w.d_left.data();
    const double* right = w.d_right.data();
    const double* drho = w.d_rho.data();
    const double* inv = w.inv_denom.data();
    const double* lo = w.lo.data();
    const double* dfl = sv.dflow.data();
    const std::vector<double>& dpt = t.dpt;
    std::vector<double>& dr = t.dr;
    dr.resize(n + 1);
    // Mixture density response of each side of the face (none at a boundary).
    double rho_left = 0, prev = 0;
    for (int j = 0; j <= n; ++j) {
        double pl = j > 0 ? dpt[j - 1] : dp_in, pr = j < n ? dpt[j] : dp_out;
        double rho_right = j < n ? Sum(sv.dmass[j]) / br.sections[j].volume : 0.0;
        const Phases& fr = w.d_fns[j];
        const Phases& dq = sv.dflux[j];
        double r = keep[j] * dfl[j] + left[j] * pl + right[j] * pr +
                   drho[j] * (rho_left + rho_right) + fr[0] * dq[0] + fr[1] * dq[1] + fr[2] * dq[2];
        if (!w.d_closure.empty()) r += ClosureRowResponse(sv, w.d_closure[j], j, n);
        prev = j == 0 ? r * inv[0] : (r - lo[j] * prev) * inv[j];
        dr[j] = prev;
        rho_left = rho_right;
    }
    for (int j = n - 1; j >= 0; --j) dr[j] -= w.c[j] * dr[j + 1];
    for (int j = 0; j <= n; ++j) sv.dflow[j] = w.closed[j] || !std::isfinite(dr[j]) ? 0 : dr[j];
}

// The energy balance of the step (model_energy.cpp) linearised: its rows
// D T_i - A T_(i-1) - B T_(i+1) = N are the step's; the right-hand side of the
// temperature responses, dN - dD T_i + dA T_(i-1) + dB T_(i+1), comes from the
// responses of the masses, of the old temperature, of the phase flows through
// the faces, of the seed's inflow and of wells and withdrawals. Its
// coefficients depend on the step alone and are derived once per step here.
// The pressures' small part in the phases' energy is held.
void EnergyTangentCoefficients(BranchStep& s) {
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
    }
}

double TemperatureRhs(const BranchStep& s, const Sensitivity& sv, const SeedScratch& t,
                      const Phases& dm0, const Phases& dm1, int i) {
    const BranchScratch& w = s.w;
    if (w.e_heat0[i] == 0 && Sum(w.e_held0[i]) == 0) return 0;
    const Model& model = s.model;
    const double dt = s.dt;
    const Phases &c0 = w.e_carried[i], &c1 = w.e_carried[i + 1];
    const Phases &h0 = w.e_held0[i], &h1 = w.e_held1[i];
    const Phases &f0 = t.dflux[i], &f1 = t.dflux[i + 1];
    double de = w.e_heat0[i] * sv.dtemp[i];
    for (int k = 0; k < 3; ++k)
        de += dm0[k] * h0[k] - dm1[k] * h1[k] + dt * (f0[k] * c0[k] - f1[k] * c1[k]);
    if (w.withdraw[i] > 0) {
        // Withdrawals take the section's new state: its outflow energy.
        const PhaseEnergy pe = PhaseEnergyOf(model.fluid);
        for (int k = 0; k < 3; ++k) {
            if (!(w.src[i][k] < 0)) continue;
            double e = pe.cp[k] * w.e_sol[i] + pe.hp[k] * w.st[i].p + kGravity * w.elevation[i];
            de += dt * t.dsrc[i][k] * e;
        }
    }
    if (sv.seed == Sensitivity::Seed::SourcePhase && model.sources[sv.object].section == i &&
        (!model.ShutIn() || model.sources[sv.object].host_fed) &&
        !SourceWithdraws(model.sources[sv.object])) {
        const PhaseEnergy pe = PhaseEnergyOf(model.fluid);
        int k = sv.phase;
        double ts = model.sources[sv.object].temperature + kKelvin;
        de += dt * (pe.cp[k] * ts + pe.hp[k] * w.st[i].p + kGravity * w.elevation[i]);
    }
    double wf = Sum(w.well_flow[i]);
    if (wf > 0)
        de += dt * (w.well_energy[i] / wf + kGravity * w.elevation[i]) * Sum(w.well_dq[i]) *
              t.dpred[i];
    return de;
}

void Propagate(const Model& model, Sensitivity& sv, BranchStep& s, SeedScratch& t) {
    const Branch& br = s.br;
    const BranchScratch& w = s.w;
    const int n = s.n;
    const double dt = s.dt;
    bool is_boundary = sv.seed == Sensitivity::Seed::BoundaryPressure;
    SeedInflow(model, sv, br, w, t);
    CompositionFluxes(sv, w, n, t);
    // The pressures the flows see: the previous responses, plus what the
    // inflow and the shifted composition of the flows add over the step.
    t.dpt.resize(n);
    for (int i = 0; i < n; ++i) {
        double q = 0;
        for (int k = 0; k < 3; ++k)
            q += w.st[i].dpdm[k] * (t.dsrc[i][k] + t.dcomp[i][k] - t.dcomp[i + 1][k]);
        t.dpt[i] = sv.dpressure[i] + dt * q;
    }
    double dp_in = is_boundary && model.boundaries[sv.object].at_inlet ? 1.0 : 0.0;
    double dp_out = is_boundary && !model.boundaries[sv.object].at_inlet ? 1.0 : 0.0;
    SolveFlowResponse(sv, br, w, n, dp_in, dp_out, t);
    // What each face carries, the wells' response to the predicted pressure.
    t.dflux.resize(n + 1);
    for (int j = 0; j <= n; ++j) {
        const Phases& phi = w.g_new[j] >= 0 ? w.left[j].phi : w.right[j].phi;
        for (int k = 0; k < 3; ++k)
            t.dflux[j][k] = w.closed[j] ? 0.0 : phi[k] * sv.dflow[j] + t.dcomp[j][k];
    }
    if (w.d_capped[0]) EndDriftResponse(w, 0, sv.dflow[0], t.dflux[0]);
    if (w.d_capped[1]) EndDriftResponse(w, n, sv.dflow[n], t.dflux[n]);
    t.dpred.resize(n);
    for (int i = 0; i < n; ++i)
        t.dpred[i] =
            w.dfac[i] * (t.dpt[i] + dt * w.gin[i] * sv.dflow[i] - dt * w.gout[i] * sv.dflow[i + 1]);
    // New masses and temperatures; the temperatures need the old masses' responses.
    static thread_local std::vector<Phases> dm_new, dq;
    dq.resize(n);
    for (int i = 0; i < n; ++i)
        for (int k = 0; k < 3; ++k) dq[i][k] = t.dsrc[i][k] + w.well_dq[i][k] * t.dpred[i];
    TransportResponse(s, sv.dmass, sv.dflow, t.dmix, dq, t.dflux, dm_new);
    static thread_local std::vector<double> dtemp_rhs, dtemp_new;
    dtemp_rhs.resize(n);
    for (int i = 0; i < n; ++i) dtemp_rhs[i] = TemperatureRhs(s, sv, t, sv.dmass[i], dm_new[i], i);
    SolveEnergyRows(w, n, dtemp_rhs, dtemp_new);
    // The pressures at the new masses and temperatures.
    for (int i = 0; i < n; ++i) {
        sv.dmass[i] = dm_new[i];
        sv.dtemp[i] = std::isfinite(dtemp_new[i]) ? dtemp_new[i] : 0.0;
        const SectionState& st = w.st_after[i];
        double dp = 0;
        for (int k = 0; k < 3; ++k) dp += st.dpdm_t[k] * sv.dmass[i][k];
        dp += st.dpdt * sv.dtemp[i];
        sv.dpressure[i] = std::isfinite(dp) ? dp : 0.0;
    }
    sv.dflux_inlet = t.dflux[0];
    sv.dflux_outlet = t.dflux[n];
    sv.dflux.swap(t.dflux);  // t.dflux is written anew by the next seed
}

}  // namespace

void PropagateSensitivities(Model& model, StepWork& work, double dt) {
    static thread_local SeedScratch t;
    for (Sensitivity& sv : model.sensitivities) {
        const int b = BranchOf(model, sv);
        Branch& br = model.branches[b];
        BranchScratch& w = work.br[b];
        BranchStep s{model,
                     br,
                     w,
                     b,
                     static_cast<int>(br.sections.size()),
                     dt,
                     model.ShutIn(),
                     model.fluid.holdup_model != kHoldupSlip};
        if (!w.derivative_rows) {
            const bool moved =
                std::any_of(model.sensitivities.begin(), model.sensitivities.end(),
                            [&](const Sensitivity& other) {
                                return BranchOf(model, other) == b && MassesMoved(other);
                            });
            DeriveDerivativeRows(s, sv.steps == 0, moved);
        }
        Propagate(model, sv, s, t);
        ++sv.steps;
    }
}

}  // namespace step

}  // namespace zefasim
