// Phase transport implicit in the phase masses, and its tangent for the
// derivatives.
//
// The step's phase flows (mixture flow from the solve times the upwind
// section's phase shares, plus the drift) are taken apart into what each donor
// gives: a part leaving section i is written as c m_new, proportional to the
// phase mass the donor holds at the step's end, with c = part / (x_old M_new)
// (x the phase's mass fraction, M the section's mixture mass; M_new follows
// from the mixture flows alone, so that without slip the phases of a face add
// up to the solved mixture flow exactly). Parts from a boundary, or from a
// section that holds none of the phase, stay fixed, and so does the share a
// section may give away explicitly (SplitExplicitShare). Backward Euler in the
// masses then gives one tridiagonal system per phase whose matrix is an
// M-matrix (positive diagonal, non-positive neighbours, columns dominant):
// the new masses stay non-negative at any section Courant number, so the step
// is no longer held by how much a section may give away. The new masses are
// finally taken from the phase flows of the solution, so that every flux
// leaves one section and enters its neighbour and mass is conserved to rounding.

#include <algorithm>
#include <cmath>

#include "step.h"

namespace zefasim::step {

namespace {

constexpr double kMinMixture = 0.05, kRounding = 1e-13;

// The smallest mass fraction a donor's coefficients are taken at, so that
// they stay finite: a phase nearly gone from a section (gas of 1e-44 of a
// liquid-filled riser section's mass, through which the closure's shares
// still pass 1.3 kg/s of gas) has coefficients of 1e43 1/s, and its mass
// keeps shrinking by such factors step after step towards underflow.
constexpr double kTraceShare = 1e-100;
double DonorShare(double m_k, double total) {
    return std::max(m_k / total, kTraceShare);
}

// Donor of face j's part of sign `sign` (+: flows downstream): the section
// index, or -1 / n for the boundary beyond a branch end.
int Donor(int j, double sign) {
    return sign > 0 ? j - 1 : j;
}

// Adds part p of face j, phase k, to the coefficients of its donor (cl from
// the left, cr from the right), or to the fixed flow where no coefficient can
// carry it. w.t_xnew holds, while the coefficients are gathered, 1 / (x_old
// M_new) of each section and phase (0 where there is none).
struct FaceParts {
    double cl = 0, cr = 0, fixed = 0;
};
inline void AddPart(const BranchScratch& w, int n, int j, int k, double p, FaceParts& f) {
    if (p == 0) return;
    const int d = Donor(j, p);
    const double x = d >= 0 && d < n ? w.t_xnew[d][k] : 0.0;
    if (x == 0)
        f.fixed += p;
    else if (p > 0)
        f.cl += p * x;
    else
        f.cr -= p * x;
}

// Section i's share of the flows that stay fixed and leave it, and what its
// sources and wells take, relative to what it holds: above 1 the step would
// overdraw it.
double FixedOutflowRatio(const BranchStep& s, int i) {
    const BranchScratch& w = s.w;
    double worst = 0;
    for (int k = 0; k < 3; ++k) {
        double out = s.dt * (std::max(0.0, -w.t_fixed[i][k]) + std::max(0.0, w.t_fixed[i + 1][k]) +
                             std::max(0.0, -w.src[i][k]) + std::max(0.0, -w.well_flow[i][k]));
        if (out <= 0) continue;
        double m = s.br.mass[i][k];
        if (!(m > 0)) return 1e30;
        worst = std::max(worst, out / m);
    }
    return worst;
}

// The flow of face j, phase k, at new masses m.
double FaceFlow(const BranchScratch& w, int n, int j, int k, const std::vector<Phases>& m) {
    double f = w.t_fixed[j][k];
    if (j > 0) f += w.t_cl[j][k] * m[j - 1][k];
    if (j < n) f -= w.t_cr[j][k] * m[j][k];
    return f;
}

// The back substitution of each phase's rows D x_i - L x_(i-1) - U x_(i+1) =
// rhs, eliminated forward with the pivots of the step (the rows are the same
// for the masses and, lane by lane, for the seeds' responses).
template <class Value>
void BackSubstitute(const BranchScratch& w, int n, std::vector<std::array<Value, 3>>& x) {
    for (int i = n - 2; i >= 0; --i)
        for (int k = 0; k < 3; ++k) x[i][k] -= w.t_c[i][k] * x[i + 1][k];
}

// Each section gives away explicitly (as the flows at the step's start
// carried it) all it may without overdrawing a phase, kExplicitShare of it, and
// only the rest implicitly: theta = max(0, 1 - kExplicitShare / r), r the
// largest share of a phase the section's flows would take, or the Courant
// number of the void wave where that is larger. Where the step is short
// enough (r below kExplicitShare) the transport is the explicit upwind scheme,
// whose numerical diffusion is the smaller; a longer step stays non-negative
// with the implicit part. The explicit part is stable only while the void
// wave, which moves at the slope of the gas's flux in its fraction and not at
// the gas's velocity, crosses less than a section: in a liquid column of 1 m
// sections that slope was 1.35 to 1.42 times the velocity (the drift rising
// with the gas fraction), and steps of 1 s, explicit by the share alone, grew
// an odd-even mode of the gas fractions by 0.9 to 1.2 a step.
void SplitExplicitShare(BranchStep& s) {
    BranchScratch& w = s.w;
    const int n = s.n;
    for (int j = 0; j <= n; ++j) {
        for (int k = 0; k < 3; ++k) {
            if (j > 0 && w.t_cl[j][k] != 0) {
                const int d = j - 1;
                const double part = w.t_cl[j][k] / w.t_xnew[d][k];
                w.t_fixed[j][k] += (1 - w.t_theta[d]) * part;
                w.t_cl[j][k] *= w.t_theta[d];
            }
            if (j < n && w.t_cr[j][k] != 0) {
                const int d = j;
                const double part = w.t_cr[j][k] / w.t_xnew[d][k];
                w.t_fixed[j][k] -= (1 - w.t_theta[d]) * part;
                w.t_cr[j][k] *= w.t_theta[d];
            }
        }
    }
}

// Section i's implicit share (SplitExplicitShare), from the coefficients of
// its outflows before the split.
double ImplicitShare(const BranchStep& s, int i) {
    const BranchScratch& w = s.w;
    const double m_old = Sum(s.br.mass[i]);
    double r = w.t_wave[i];
    if (m_old > 0)
        for (int k = 0; k < 3; ++k) {
            // The share of what the phase holds, not of its trace share.
            const double m_k = s.br.mass[i][k];
            const double held = m_k > 0 ? DonorShare(m_k, m_old) / (m_k / m_old) : 1.0;
            r = std::max(r, s.dt * (w.t_cr[i][k] + w.t_cl[i + 1][k]) * w.t_mnew[i] / m_old * held);
        }
    return r > kExplicitShare ? 1 - kExplicitShare / r : 0.0;
}

}  // namespace

double TransportImplicit(BranchStep& s) {
    BranchScratch& w = s.w;
    const Branch& br = s.br;
    const int n = s.n;
    const double dt = s.dt;
    // Where no section gives away more than its explicit share the transport
    // is the explicit scheme throughout.
    const double explicit_ratio = OutflowRatio(s);
    double wave = 0;
    for (int i = 0; i < n; ++i) wave = std::max(wave, w.t_wave[i]);
    w.t_implicit = std::max(explicit_ratio, wave) > kExplicitShare;
    if (!w.t_implicit) {
        UpdateMasses(s);
        return explicit_ratio;
    }
    w.t_cl.resize(n + 1), w.t_cr.resize(n + 1), w.t_fixed.resize(n + 1);
    w.t_mnew.resize(n), w.t_xnew.resize(n), w.t_theta.resize(n);
    for (int i = 0; i < n; ++i) {
        double m = 0;
        for (int k = 0; k < 3; ++k)
            m += br.mass[i][k] +
                 dt * (w.flux[i][k] - w.flux[i + 1][k] + w.src[i][k] + w.well_flow[i][k]);
        // The mixture flows may take more than a section holds where the
        // linearised pressure response does not see it empty (liquid that
        // drifts and flows out of a section nearly full of gas): the section
        // then keeps kMinMixture of its mass, its outflows fall short of the
        // solved flows, and the pressure at the new masses tells the step.
        const double total = Sum(br.mass[i]);
        w.t_mnew[i] = std::max(m, kMinMixture * total);
        m = w.t_mnew[i];
        // 1 / (DonorShare M_new), written so that a share above the trace
        // one rounds as total / (m_k M_new).
        for (int k = 0; k < 3; ++k)
            w.t_xnew[i][k] = !(br.mass[i][k] > 0 && m > 0 && total > 0) ? 0.0
                             : br.mass[i][k] > kTraceShare * total ? total / (br.mass[i][k] * m)
                                                                   : 1 / (kTraceShare * m);
    }
    // Each face's parts by donor; a section's implicit share once both its
    // faces are in.
    for (int j = 0; j <= n; ++j) {
        const double g = w.g_new[j];
        const Phases& phi = g > 0 ? w.left[j].phi : w.right[j].phi;
        for (int k = 0; k < 3; ++k) {
            FaceParts f;
            if (j == 0 || j == n) {
                // The drift at an end only lessens what the outflow carries: the
                // net phase flow has one donor.
                AddPart(w, n, j, k, w.flux[j][k], f);
            } else {
                const double mix = g == 0 ? 0.0 : g * phi[k];
                AddPart(w, n, j, k, mix, f);
                AddPart(w, n, j, k, w.flux[j][k] - mix, f);
            }
            w.t_cl[j][k] = f.cl, w.t_cr[j][k] = f.cr, w.t_fixed[j][k] = f.fixed;
        }
        if (j > 0) w.t_theta[j - 1] = ImplicitShare(s, j - 1);
    }
    SplitExplicitShare(s);
    // Rows and their pivots, the right-hand side solved in place in mass_new
    // (forward here, back below).
    w.t_lo.resize(n), w.t_c.resize(n), w.t_inv.resize(n);
    w.mass_new.resize(n);
    double ratio = 0;
    Phases excess{};
    for (int i = 0; i < n; ++i) {
        ratio = std::max(ratio, FixedOutflowRatio(s, i));
        if (!(w.t_mnew[i] > 0)) ratio = 1e30;
        for (int k = 0; k < 3; ++k) {
            // The pivot as e_i + b_i, b_i = dt cl(i+1) what the section gives
            // downstream and e_i = 1 + a_i e_(i-1) / pivot_(i-1), a_i = dt cr(i)
            // what it gives upstream: a sum of positive terms (the columns add
            // up to 1), where d_i - l_i u_(i-1) / pivot_(i-1) cancels its unit
            // away once the coefficients reach 1e16.
            const double a = dt * w.t_cr[i][k], b = dt * w.t_cl[i + 1][k];
            excess[k] = 1 + (i > 0 ? a * excess[k] * w.t_inv[i - 1][k] : a);
            w.t_lo[i][k] = i > 0 ? dt * w.t_cl[i][k] : 0.0;
            double up = i < n - 1 ? dt * w.t_cr[i + 1][k] : 0.0;
            w.t_inv[i][k] = 1 / (excess[k] + b);
            w.t_c[i][k] = -up * w.t_inv[i][k];
            double r = br.mass[i][k] + dt * (w.t_fixed[i][k] - w.t_fixed[i + 1][k] + w.src[i][k] +
                                             w.well_flow[i][k]);
            if (i > 0) r += w.t_lo[i][k] * w.mass_new[i - 1][k];
            w.mass_new[i][k] = r * w.t_inv[i][k];
        }
    }
    BackSubstitute(w, n, w.mass_new);
    // The phase flows of the solution, and the new masses from them (each
    // section's once the flows of both its faces are in).
    for (int j = 0; j <= n; ++j) {
        for (int k = 0; k < 3; ++k) w.flux[j][k] = FaceFlow(w, n, j, k, w.mass_new);
        if (j == 0) continue;
        const int i = j - 1;
        for (int k = 0; k < 3; ++k) {
            double& m = w.mass_new[i][k];
            m = br.mass[i][k] +
                dt * (w.flux[i][k] - w.flux[i + 1][k] + w.src[i][k] + w.well_flow[i][k]);
            // A phase passing through a section that holds next to none of it
            // (its flows in and out alike) leaves the rounding of those flows,
            // of either sign (-1e-51 kg of gas beside 1.3 kg/s): none is held.
            const double through = std::fabs(w.flux[i][k]) + std::fabs(w.flux[i + 1][k]) +
                                   std::fabs(w.src[i][k]) + std::fabs(w.well_flow[i][k]);
            if (m < 0 && m > -kRounding * (std::fabs(br.mass[i][k]) + dt * through)) m = 0;
        }
    }
    return ratio;
}

void TransportTangent(BranchStep& s) {
    BranchScratch& w = s.w;
    const Branch& br = s.br;
    const int n = s.n;
    // x_new, M_new x_new / x_old, and the scale of what each phase's part
    // leaving the section carries: x_new / x_old for its implicit share.
    w.t_rho.resize(n), w.t_xnew.resize(n), w.t_mrho.resize(n);
    for (int i = 0; i < n; ++i) {
        const double m_old = Sum(br.mass[i]), m_new = w.t_mnew[i];
        for (int k = 0; k < 3; ++k) {
            const double x_old = m_old > 0 ? br.mass[i][k] / m_old : 0.0;
            const bool live = x_old > 0 && m_new > 0;
            w.t_xnew[i][k] = m_new > 0 ? w.mass_new[i][k] / m_new : 0.0;
            const double rho = live ? w.t_xnew[i][k] / DonorShare(br.mass[i][k], m_old) : 1.0;
            // Below the trace share the coefficients do not follow x_old.
            w.t_mrho[i][k] = live && x_old > kTraceShare ? m_new * rho : 0.0;
            w.t_rho[i][k] = 1 - w.t_theta[i] + w.t_theta[i] * rho;
        }
    }
    // Per face and phase the scale of the mixture's part and of the drift's
    // (at the ends, of the net flow): that of their donors.
    auto rho_of = [&](int d, int k) { return d >= 0 && d < n ? w.t_rho[d][k] : 1.0; };
    w.t_rmix.resize(n + 1), w.t_rdrift.resize(n + 1);
    for (int j : {0, n})
        for (int k = 0; k < 3; ++k)
            w.t_rmix[j][k] = w.t_rdrift[j][k] = rho_of(Donor(j, w.flux[j][k]), k);
    // An inner face's donors are the sections beside it.
    for (int j = 1; j < n; ++j) {
        const Phases &lo = w.t_rho[j - 1], &hi = w.t_rho[j];
        const Phases& up = w.g_new[j] >= 0 ? lo : hi;
        for (int k = 0; k < 3; ++k) {
            w.t_rmix[j][k] = up[k];
            const double d = w.drift[j][k];
            w.t_rdrift[j][k] = d == 0 ? up[k] : d > 0 ? lo[k] : hi[k];
        }
    }
}

void TransportResponse(const BranchStep& s, const std::vector<PhaseLanes>& dm_old,
                       const std::vector<Lanes>& dflow, const std::vector<PhaseLanes>& dshare,
                       const std::vector<PhaseLanes>& dq, std::vector<PhaseLanes>& dflux,
                       std::vector<PhaseLanes>& dm_new) {
    const BranchScratch& w = s.w;
    const Branch& br = s.br;
    const int n = s.n;
    const double dt = s.dt;
    dm_new.resize(n);
    auto masses_from_flows = [&] {
        for (int i = 0; i < n; ++i)
            for (int k = 0; k < 3; ++k)
                dm_new[i][k] = dm_old[i][k] + dt * (dflux[i][k] - dflux[i + 1][k] + dq[i][k]);
    };
    if (!s.model.integration.implicit_transport || !w.t_implicit) {
        masses_from_flows();
        return;
    }
    // What the moved masses take from each donor's coefficients: the responses
    // of its mixture mass at the step's end and of its phases' mass fractions
    // at the start.
    auto moved_of = [&](int i) {
        const double m_old = Sum(br.mass[i]);
        const double inv = m_old > 0 ? 1 / m_old : 0.0;
        const PhaseLanes &dm_i = dm_old[i], &f0 = dflux[i], &f1 = dflux[i + 1], &q = dq[i];
        const Lanes dm = dm_i[0] + dm_i[1] + dm_i[2];
        const Lanes dmix =
            dm + dt * ((f0[0] + f0[1] + f0[2]) - (f1[0] + f1[1] + f1[2]) + (q[0] + q[1] + q[2]));
        PhaseLanes moved;
        for (int k = 0; k < 3; ++k) {
            const Lanes dx_old = (dm_i[k] - br.mass[i][k] * inv * dm) * inv;
            moved[k] = w.t_xnew[i][k] * dmix + w.t_mrho[i][k] * dx_old;
        }
        return moved;
    };
    // What each face carries more or less at fixed new masses: the parts'
    // responses scaled as the parts were, less what the moved fractions take;
    // with both faces of a section in, its row of the new masses' responses,
    // eliminated forward at once (the transport's pivots).
    static thread_local std::vector<PhaseLanes> keep;
    keep.resize(n + 1);
    PhaseLanes moved_before{}, moved_after{};
    for (int j = 0; j <= n; ++j) {
        if (j < n) moved_after = moved_of(j);
        const Phases &rm = w.t_rmix[j], &rd = w.t_rdrift[j];
        PhaseLanes& f = keep[j];
        for (int k = 0; k < 3; ++k) f[k] = rd[k] * dflux[j][k];
        if (rm != rd) {
            // The mixture's part: the flow's response at its shares, and theirs.
            const Phases& phi = w.g_new[j] >= 0 ? w.left[j].phi : w.right[j].phi;
            for (int k = 0; k < 3; ++k)
                f[k] += (rm[k] - rd[k]) * (phi[k] * dflow[j] + dshare[j][k]);
        }
        for (int k = 0; k < 3; ++k) {
            if (j > 0) f[k] -= w.t_cl[j][k] * moved_before[k];
            if (j < n) f[k] += w.t_cr[j][k] * moved_after[k];
        }
        moved_before = moved_after;
        if (j == 0) continue;
        const int i = j - 1;
        for (int k = 0; k < 3; ++k) {
            Lanes r = dm_old[i][k] + dt * (keep[i][k] - keep[i + 1][k] + dq[i][k]);
            if (i > 0) r += w.t_lo[i][k] * dm_new[i - 1][k];
            dm_new[i][k] = r * w.t_inv[i][k];
        }
    }
    BackSubstitute(w, n, dm_new);
    // The phase flows at the new masses' responses, and those masses from them
    // (each section's once both its faces' flows are in).
    for (int j = 0; j <= n; ++j) {
        for (int k = 0; k < 3; ++k) {
            Lanes f = keep[j][k];
            if (j > 0) f += w.t_cl[j][k] * dm_new[j - 1][k];
            if (j < n) f -= w.t_cr[j][k] * dm_new[j][k];
            dflux[j][k] = f;
        }
        if (j == 0) continue;
        const int i = j - 1;
        for (int k = 0; k < 3; ++k)
            dm_new[i][k] = dm_old[i][k] + dt * (dflux[i][k] - dflux[i + 1][k] + dq[i][k]);
    }
}

}  // namespace zefasim::step
