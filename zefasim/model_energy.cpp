// Energy: the temperature of each section from its energy balance. The flows
// carry enthalpy and potential energy, h_k + g z, from the section (or
// boundary) they leave; sources and wells bring theirs; the section holds
// internal and potential energy, u_k + g z; heat passes to the surroundings
// (TAMBIENT) through UVALUE, implicitly. Per kg of each phase:
// - gas: h = cp (T - mu_JT p), u = h - R T / M = cv T - cp mu_JT p, with cp and
//   cv from GASMW and GASKAPPA and mu_JT the Joule-Thomson coefficient, so a gas
//   throttled or flowing down a pressure gradient cools by mu_JT per Pa, gas
//   that stays in a section that empties expands and cools (isentropically
//   when mu_JT = 0), and gas pushed into a closed section heats it;
// - liquids (incompressible here): h = c T + p / rho, u = c T (HEATCAPACITY),
//   so a liquid flowing through friction warms by its pressure loss / (rho c).
// Kinetic energy is left out (below 0.01 K for pipeline velocities).

#include <algorithm>
#include <cmath>

#include "step.h"

namespace zefasim::step {

PhaseEnergy PhaseEnergyOf(const Fluid& f) {
    PhaseEnergy e;
    double r = kGasConstant / f.gas_mw;
    double cv_gas = r / (f.gas_kappa - 1), cp_gas = cv_gas + r;
    e.cp = {cp_gas, f.heat_capacity, f.heat_capacity};
    e.cv = {cv_gas, f.heat_capacity, f.heat_capacity};
    e.hp = {-cp_gas * f.gas_jt, 1.0 / f.oil_density, 1.0 / f.water_density};
    e.up = {-cp_gas * f.gas_jt, 0.0, 0.0};
    return e;
}

double EnthalpyFlow(const PhaseEnergy& e, const Phases& q, double temp_k, double p) {
    double h = 0;
    for (int k = 0; k < 3; ++k) h += q[k] * (e.cp[k] * temp_k + e.hp[k] * p);
    return h;
}

namespace {

// Height of each section's centre, and of the branch ends, along the branch.
void SectionElevations(const Branch& br, std::vector<double>& z, int n) {
    z.resize(n);
    double top = 0;
    for (int i = 0; i < n; ++i) {
        z[i] = top + br.sections[i].dz / 2;
        top += br.sections[i].dz;
    }
}

}  // namespace

void HeldEnergiesAtStart(BranchStep& s) {
    const Branch& br = s.br;
    BranchScratch& w = s.w;
    const int n = s.n;
    const PhaseEnergy pe = PhaseEnergyOf(s.model.fluid);
    SectionElevations(br, w.elevation, n);
    w.e_start.resize(n);
    for (int i = 0; i < n; ++i) {
        const double tk = w.st[i].temp_k, p = w.st[i].p, gz = kGravity * w.elevation[i];
        double e = 0;
        for (int k = 0; k < 3; ++k) e += br.mass[i][k] * (pe.cv[k] * tk + pe.up[k] * p + gz);
        w.e_start[i] = e;
    }
}

void UpdateTemperatures(BranchStep& s) {
    const Branch& br = s.br;
    BranchScratch& w = s.w;
    const double dt = s.dt;
    const int n = s.n;
    const PhaseEnergy pe = PhaseEnergyOf(s.model.fluid);
    // Per section: D T_i - A T_(i-1) - B T_(i+1) = N. What flows takes the new
    // temperature of the section it leaves (implicit upwind: stable at any
    // step, and every face gives its neighbour the heat it takes from its
    // donor); a boundary's inflow has the boundary's temperature. The loops
    // read and write through plain pointers, so that a store does not make
    // them load the vectors again.
    w.e_lo.resize(n), w.e_di.resize(n), w.e_up.resize(n), w.e_rhs.resize(n);
    w.e_c.resize(n), w.e_inv.resize(n), w.temp_new.resize(n);
    const double* z = w.elevation.data();
    const Phases *flux = w.flux.data(), *mass_new = w.mass_new.data();
    const Phases *src = w.src.data(), *well = w.well_flow.data();
    const FaceSide *left = w.left.data(), *right = w.right.data();
    const SectionState* st = w.st.data();
    const Section* sections = br.sections.data();
    double *e_lo = w.e_lo.data(), *e_di = w.e_di.data(), *e_up = w.e_up.data();
    double* e_rhs = w.e_rhs.data();
    const double z_in = 0.0;  // the inlet end, where the elevations start
    const double z_out = n > 0 ? z[n - 1] + sections[n - 1].dz / 2 : 0.0;
    // Per face and phase, what the flow carries over the step: dt times the
    // phase flow (positive downstream), the energy that takes from its donor
    // at the donor's pressure and height, and the heat capacity of the flow
    // and of what crosses in the step. Each face is taken once: the section
    // after it reads what the section before it took.
    struct FaceEnergy {
        Phases carried{}, cp_flow{}, cp_step{};
    };
    auto face_energy = [&](int j, FaceEnergy& f) {
        for (int k = 0; k < 3; ++k) {
            const double q = flux[j][k];
            if (q == 0) {
                f.carried[k] = f.cp_flow[k] = f.cp_step[k] = 0;
                continue;
            }
            // The donor's side (a section's presents its own pressure).
            const FaceSide& side = q > 0 ? left[j] : right[j];
            const double zz = q > 0 ? (j > 0 ? z[j - 1] : z_in) : (j < n ? z[j] : z_out);
            const double step_flow = dt * q;
            f.carried[k] = step_flow * (pe.hp[k] * side.p + kGravity * zz);
            f.cp_flow[k] = q * pe.cp[k];
            f.cp_step[k] = step_flow * pe.cp[k];
        }
    };
    // The faces before and after section i, alternating between two slots. A
    // later pass within its window (BranchScratch::window, from face a) takes
    // the rows from section a - 2 on, whose second face's phase flows moved;
    // those before are the last pass's.
    const int first = w.window > 0 ? w.window - 2 : 0;
    FaceEnergy faces[2];
    face_energy(first, faces[first & 1]);
    for (int i = first; i < n; ++i) {
        const FaceEnergy& in = faces[i & 1];
        FaceEnergy& out = faces[(i + 1) & 1];
        const double p = st[i].p, gz = kGravity * z[i];
        double e = w.e_start[i], out_cp = 0, lo = 0, up = 0;
        face_energy(i + 1, out);
        // In or out through the section's first face, then through its second
        // (what leaves takes the section's new temperature, what enters its
        // donor's, or a boundary's).
        for (int k = 0; k < 3; ++k) {
            const double q = flux[i][k];
            if (q < 0) {
                e += in.carried[k];
                out_cp -= in.cp_flow[k];
            } else if (q > 0) {
                e += in.carried[k];
                if (i > 0)
                    lo += in.cp_step[k];
                else
                    e += in.cp_step[k] * left[i].temp_k;
            }
        }
        for (int k = 0; k < 3; ++k) {
            const double q = flux[i + 1][k];
            if (q > 0) {
                e -= out.carried[k];
                out_cp += out.cp_flow[k];
            } else if (q < 0) {
                e -= out.carried[k];
                if (i < n - 1)
                    up -= out.cp_step[k];
                else
                    e -= out.cp_step[k] * right[i + 1].temp_k;
            }
        }
        // Sources and wells (a section without either adds only zeros: e, a
        // sum from the held energy, is never -0, so they leave it as it is).
        const double brought = w.src_energy[i] + w.well_energy[i];
        const Phases &q_src = src[i], &q_well = well[i];
        if (brought != 0 || q_src != Phases{} || q_well != Phases{}) {
            e += dt * brought;
            for (int k = 0; k < 3; ++k) {
                double q = q_src[k];  // withdrawn at the section's state, added at its height
                e += dt * (q < 0 ? q * (pe.hp[k] * p + gz) : q * gz);
                if (q < 0) out_cp -= q * pe.cp[k];
                e += dt * q_well[k] * gz;
            }
        }
        const Section& sec = sections[i];
        double ua = sec.u_value * kPi * sec.diameter * sec.length;  // W/K
        double p_new = PredictedPressure(w, dt, i, w.g_new);
        if (!std::isfinite(p_new) || !(p_new > 0)) p_new = p;
        double held = 0, c = 0;
        for (int k = 0; k < 3; ++k) {
            held += mass_new[i][k] * (pe.up[k] * p_new + gz);
            c += mass_new[i][k] * pe.cv[k];
        }
        const double di = c + dt * (ua + out_cp);
        if (!(di > 1e-9)) {  // an empty section keeps its temperature
            e_di[i] = 1, e_lo[i] = 0, e_up[i] = 0;
            e_rhs[i] = br.temp[i] + kKelvin;
        } else {
            e_di[i] = di, e_lo[i] = lo, e_up[i] = up;
            e_rhs[i] = e - held + dt * ua * (sec.t_ambient + kKelvin);
        }
    }
    // Thomas algorithm (diagonally dominant); the pivots are kept for the derivatives.
    // With e_c = -B / pivot, the pivot is D_i - A_i B_(i-1) / pivot_(i-1).
    double *e_c = w.e_c.data(), *e_inv = w.e_inv.data();
    for (int i = first; i < n; ++i) {
        double denom = e_di[i] + (i > 0 ? e_lo[i] * e_c[i - 1] : 0.0);
        e_inv[i] = 1.0 / denom;
        e_c[i] = -e_up[i] * e_inv[i];
    }
    std::vector<double>& tk_new = w.e_sol;
    SolveEnergyRows(w, n, w.e_rhs, tk_new);
    // (In a window the sections before keep the last pass's temperatures.)
    for (int i = first; i < n; ++i) {
        double t_new = tk_new[i] - kKelvin;
        w.temp_new[i] = std::isfinite(t_new) ? std::clamp(t_new, -250.0, 5000.0) : br.temp[i];
    }
}

void SolveEnergyRows(const BranchScratch& w, int n, const std::vector<double>& rhs,
                     std::vector<double>& x) {
    x.resize(n);
    double prev = 0;
    for (int i = 0; i < n; ++i) {
        prev = (rhs[i] + (i > 0 ? w.e_lo[i] * prev : 0.0)) * w.e_inv[i];
        x[i] = prev;
    }
    for (int i = n - 2; i >= 0; --i) x[i] -= w.e_c[i] * x[i + 1];
}

}  // namespace zefasim::step
