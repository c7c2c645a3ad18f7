// Derivatives with drift flux: how the phase shares a face carries and the
// drift between two sections respond to each section's masses. The law has no
// closed-form slope worth keeping in step with it, so the response is taken by
// perturbing each mass and evaluating the same law; a section's Jacobians are
// taken again only where it or a neighbour moved, and all of them at the first
// step of a run interval that needs them, so that the derivatives of an
// interval follow from the model's state alone.

#include <algorithm>
#include <cmath>
#include <vector>

#include "step.h"

namespace zefasim::step {

namespace {

// The faces section i feeds and whether its faces are closed, as bits.
unsigned char FaceFlags(const BranchScratch& w, int i) {
    return static_cast<unsigned char>((w.g_new[i] < 0 ? 1 : 0) | (w.g_new[i + 1] > 0 ? 2 : 0) |
                                      (w.closed[i] ? 4 : 0) | (w.closed[i + 1] ? 8 : 0));
}

// Which Jacobians of drift flux are out of date: a section's when its masses
// moved by more than 1e-3 of its mass, its temperature by more than 0.1 K,
// the faces it feeds changed, or its neighbour's did (the drift between the
// two depends on both); all when the fluid or the branch changed, and at the
// first step of a run interval that needs them, so that the derivatives of an
// interval follow from the model's state alone (a run continued from a
// snapshot repeats them).
void StaleSections(BranchStep& s, bool refresh, std::vector<char>& stale) {
    const Branch& br = s.br;
    BranchScratch& w = s.w;
    const int n = s.n;
    const Fluid& f = s.model.fluid;
    bool all = refresh || w.d_jac_mass.size() != static_cast<size_t>(n) ||
               !SameEquationOfState(w.d_jac_fluid, f) ||
               w.d_jac_fluid.surface_tension != f.surface_tension ||
               w.d_jac_fluid.gas_kappa != f.gas_kappa ||
               w.d_share.size() != static_cast<size_t>(n + 1);
    if (all) {
        w.d_jac_mass.assign(n, Phases{-1, -1, -1});
        w.d_jac_temp.assign(n, -1e9);
        w.d_jac_flags.assign(n, 0);
        w.d_share.assign(n + 1, Jacobian{});
        w.d_drift_lo.assign(n + 1, Jacobian{});
        w.d_drift_hi.assign(n + 1, Jacobian{});
        w.d_fric_m.assign(n, Phases{0, 0, 0});
        w.d_jac_fluid = f;
    }
    static thread_local std::vector<char> moved;
    moved.assign(n + 2, 0);
    for (int i = 0; i < n; ++i) {
        double tol = 1e-3 * Sum(br.mass[i]);
        bool m = FaceFlags(w, i) != w.d_jac_flags[i] ||
                 !(std::fabs(br.temp[i] - w.d_jac_temp[i]) <= 0.1);
        for (int k = 0; k < 3 && !m; ++k)
            m = !(std::fabs(br.mass[i][k] - w.d_jac_mass[i][k]) <= tol);
        moved[i + 1] = m;
    }
    stale.resize(n);
    for (int i = 0; i < n; ++i) stale[i] = moved[i] || moved[i + 1] || moved[i + 2];
}

// The drift across face j (`low`: a low point).
Phases DriftAt(BranchStep& s, int j, bool low) {
    Phases d = DriftAcross(s, j);
    return low ? PooledDrift(s, j, d) : d;
}

// The same at the present state: across an inner face the step's own
// (pooled at a low point unless the line is shut in).
Phases BaseDrift(BranchStep& s, int j, bool low) {
    if (s.w.closed[j]) return Phases{};
    if (j > 0 && j < s.n && (!s.shut || !low)) return s.w.drift[j];
    return DriftAt(s, j, low);
}

// Under DRIFTLEVEL the closure's shares, its weight and the drift it cuts
// follow the flow they are taken at (the last step's, or the step's own where
// it is solved again): their response to it,
// by the same evaluation at a perturbed flow, where the closure governs on
// either side of a face. Taken again where a section beside the face is
// stale or the flow moved by more than 1e-3 of itself.
void FlowJacobians(BranchStep& s, const std::vector<char>& stale) {
    Branch& br = s.br;
    BranchScratch& w = s.w;
    const int n = s.n;
    bool any = false;
    for (int i = 0; i < n && !any; ++i) any = w.sd[i].level > 0;
    if (!any) {
        w.d_share_g.clear(), w.d_drift_g.clear(), w.d_jac_flow.clear();
        return;
    }
    if (w.d_share_g.size() != static_cast<size_t>(n + 1)) {
        w.d_share_g.assign(n + 1, Phases{0, 0, 0});
        w.d_drift_g.assign(n + 1, Phases{0, 0, 0});
        w.d_jac_flow.assign(n + 1, std::nan(""));
    }
    for (int j = 0; j <= n; ++j) {
        const bool level = (j > 0 && w.sd[j - 1].level > 0) || (j < n && w.sd[j].level > 0);
        const double g = w.g_share[j];
        const bool moved = !(std::fabs(g - w.d_jac_flow[j]) <= 1e-3 * std::fabs(g));
        if (!moved && !(j > 0 && stale[j - 1]) && !(j < n && stale[j])) continue;
        w.d_jac_flow[j] = g;
        w.d_share_g[j] = Phases{0, 0, 0}, w.d_drift_g[j] = Phases{0, 0, 0};
        if (!level || w.closed[j]) continue;
        const double h = 1e-7 * std::max(std::fabs(g), 1e-6);
        const bool low = LowPoint(br, j);
        const Phases d0 = BaseDrift(s, j, low);
        const int u = w.g_new[j] > 0 ? j - 1 : j;
        w.g_share[j] = g + h;
        if (u >= 0 && u < n) {
            const Phases& phi = w.g_new[j] > 0 ? w.left[j].phi : w.right[j].phi;
            GasShareStart from = u == j - 1 ? w.left_start[j] : w.right_start[j];
            Phases p = SectionShares(s, u, g + h, &from);
            if (low) p = PooledShares(s, u, p);
            for (int k = 0; k < 3; ++k) w.d_share_g[j][k] = (p[k] - phi[k]) / h;
        }
        const Phases d = DriftAt(s, j, low);
        for (int k = 0; k < 3; ++k) w.d_drift_g[j][k] = (d[k] - d0[k]) / h;
        w.g_share[j] = g;
    }
}

}  // namespace

// With drift flux the shares and the drift between sections depend on the
// volume fractions, densities and drift law: their response to each section's
// masses is taken by perturbing the masses and evaluating the same law.
void DriftJacobians(BranchStep& s, bool refresh) {
    Branch& br = s.br;
    BranchScratch& w = s.w;
    const int n = s.n;
    static thread_local std::vector<char> stale;
    StaleSections(s, refresh, stale);
    auto drift_across = [&](int j, bool low) { return DriftAt(s, j, low); };
    auto base_drift = [&](int j, bool low) { return BaseDrift(s, j, low); };
    for (int i = 0; i < n; ++i) {
        if (!stale[i]) continue;
        w.d_jac_mass[i] = br.mass[i];
        w.d_jac_temp[i] = br.temp[i];
        w.d_jac_flags[i] = FaceFlags(w, i);
        const Phases m0 = br.mass[i];
        const SectionState st0 = w.st[i];
        const SectionDrift sd0 = w.sd[i];
        const double h = 1e-7 * std::max(Sum(m0), 1e-9);
        // Faces whose upwind section is i (by the step's flow) and inner faces beside it.
        bool share_in = i < n && w.g_new[i] < 0 && !w.closed[i];
        bool share_out = w.g_new[i + 1] > 0 && !w.closed[i + 1];
        Phases phi_in = w.right[i].phi, phi_out = w.left[i + 1].phi;
        const bool low_in = LowPoint(br, i), low_out = LowPoint(br, i + 1);
        const Phases d_in = base_drift(i, low_in), d_out = base_drift(i + 1, low_out);
        for (int l = 0; l < 3; ++l) {
            br.mass[i][l] = m0[l] + h;
            w.st[i] = SectionDensities(s.model.fluid, br.sections[i], br.mass[i], br.temp[i]);
            DescribeSectionDrift(s, i);
            if (sd0.level > 0) {  // the closure's friction multiplier
                SectionDrift d = w.sd[i];
                NearHorizontalFriction(s, i, d);
                w.d_fric_m[i][l] = (d.friction - sd0.friction) / h;
            }
            if (share_in) {
                GasShareStart from = w.right_start[i];
                Phases p = SectionShares(s, i, w.g_share[i], &from);
                if (low_in) p = PooledShares(s, i, p);
                for (int k = 0; k < 3; ++k) w.d_share[i][k][l] = (p[k] - phi_in[k]) / h;
            }
            if (share_out) {
                GasShareStart from = w.left_start[i + 1];
                Phases p = SectionShares(s, i, w.g_share[i + 1], &from);
                if (low_out) p = PooledShares(s, i, p);
                for (int k = 0; k < 3; ++k) w.d_share[i + 1][k][l] = (p[k] - phi_out[k]) / h;
            }
            if (!w.closed[i]) {
                Phases d = drift_across(i, low_in);
                for (int k = 0; k < 3; ++k) w.d_drift_hi[i][k][l] = (d[k] - d_in[k]) / h;
            }
            if (!w.closed[i + 1]) {
                Phases d = drift_across(i + 1, low_out);
                for (int k = 0; k < 3; ++k) w.d_drift_lo[i + 1][k][l] = (d[k] - d_out[k]) / h;
            }
            br.mass[i] = m0;
        }
        w.st[i] = st0;
        w.sd[i] = sd0;
    }
    FlowJacobians(s, stale);
}

}  // namespace zefasim::step
