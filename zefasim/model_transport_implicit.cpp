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
// section may give away explicitly (Rows::Split). Backward Euler in the
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

// Adds part p of a face's phase to the coefficients of its donor (cl from the
// left, cr from the right), or to the fixed flow where no coefficient can
// carry it. xl and xr hold 1 / (x_old M_new) of the phase in the sections left
// and right of the face (0 where there is none, or beyond a branch end).
struct FaceParts {
    double cl = 0, cr = 0, fixed = 0;
};
inline void AddPart(double xl, double xr, double p, FaceParts& f) {
    if (p == 0) return;
    const double x = p > 0 ? xl : xr;
    if (x == 0)
        f.fixed += p;
    else if (p > 0)
        f.cl += p * x;
    else
        f.cr -= p * x;
}

// The back substitution of each phase's rows D x_i - L x_(i-1) - U x_(i+1) =
// rhs of the seeds' responses, lane by lane, eliminated forward with the
// pivots of the step (the masses' own runs with their phase flows in
// TransportImplicit).
void BackSubstitute(const BranchScratch& w, int n, std::vector<PhaseLanes>& x) {
    for (int i = n - 2; i >= 0; --i)
        for (int k = 0; k < 3; ++k) x[i][k] -= w.t_c[i][k] * x[i + 1][k];
}

// The step's rows, read and written through plain pointers to the scratch's
// vectors (sized by the caller), so that the loops need not load the vectors
// again after every store.
struct Rows {
    int n;
    double dt;
    const Phases *mass, *src, *well;
    const double *wave, *mnew;
    Phases *flux, *cl, *cr, *fixed, *xnew, *lo, *c, *inv, *m;
    double* explicit_share;

    explicit Rows(BranchStep& s)
        : n(s.n),
          dt(s.dt),
          mass(s.br.mass.data()),
          src(s.w.src.data()),
          well(s.w.well_flow.data()),
          wave(s.w.t_wave.data()),
          mnew(s.w.t_mnew.data()),
          flux(s.w.flux.data()),
          cl(s.w.t_cl.data()),
          cr(s.w.t_cr.data()),
          fixed(s.w.t_fixed.data()),
          xnew(s.w.t_xnew.data()),
          lo(s.w.t_lo.data()),
          c(s.w.t_c.data()),
          inv(s.w.t_inv.data()),
          m(s.w.mass_new.data()),
          explicit_share(s.w.t_explicit.data()) {}

    // Section i's share of the flows that stay fixed and leave it, and what
    // its sources and wells take, relative to what it holds: above 1 the step
    // would overdraw it (the step times the rate relative to the mass, as in
    // OutflowRatio, so that a trace's outflow does not round to all of it).
    double FixedOutflowRatio(int i) const {
        double worst = 0;
        for (int k = 0; k < 3; ++k) {
            double out = std::max(0.0, -fixed[i][k]) + std::max(0.0, fixed[i + 1][k]) +
                         std::max(0.0, -src[i][k]) + std::max(0.0, -well[i][k]);
            if (out <= 0) continue;
            double mk = mass[i][k];
            if (!(mk > 0)) return 1e30;
            worst = std::max(worst, dt * (out / mk));
        }
        return worst;
    }

    // Section i's explicit share 1 - theta (see Split), from the coefficients
    // of its outflows before the split: at most kExplicitShare / r, which keeps
    // each phase's explicit outflow within kExplicitShare of what the section
    // holds. Next to a trace of a phase r reaches 1e17, and theta = 1 -
    // kExplicitShare / r rounded to nearest left a share of 1.1e-16 or 2.2e-16,
    // ten times what the trace holds (1.4e-17 kg of gas beside 1.7 kg of water
    // in a vertical fall drawn to a vacuum): the step was refused as overdrawing
    // it however short. Below 1e-8 theta is rounded up instead, so that the
    // share stays within its bound (none where theta rounds to 1) and theta and
    // the share still add up to exactly one, as the elimination's pivots need.
    double ExplicitShare(int i) const {
        const double m_old = Sum(mass[i]);
        double r = wave[i];
        if (m_old > 0)
            for (int k = 0; k < 3; ++k) {
                // The share of what the phase holds, not of its trace share.
                const double m_k = mass[i][k];
                const double held = m_k > 0 ? DonorShare(m_k, m_old) / (m_k / m_old) : 1.0;
                r = std::max(r, dt * (cr[i][k] + cl[i + 1][k]) * mnew[i] / m_old * held);
            }
        if (!(r > kExplicitShare)) return 1.0;
        const double e = kExplicitShare / r;
        double theta = 1 - e;
        constexpr double kRoundedShare = 1e-8;
        if (e < kRoundedShare && 1 - theta > e) theta = std::nextafter(theta, 2.0);
        return 1 - theta;
    }

    // Each section gives away explicitly (as the flows at the step's start
    // carried it) all it may without overdrawing a phase, kExplicitShare of it,
    // and only the rest implicitly: theta = max(0, 1 - kExplicitShare / r), r
    // the largest share of a phase the section's flows would take, or the
    // Courant number of the void wave where that is larger. Where the step is
    // short enough (r below kExplicitShare) the transport is the explicit
    // upwind scheme, whose numerical diffusion is the smaller; a longer step
    // stays non-negative with the implicit part. The explicit part is stable
    // only while the void wave, which moves at the slope of the gas's flux in
    // its fraction and not at the gas's velocity, crosses less than a section:
    // in a liquid column of 1 m sections that slope was 1.35 to 1.42 times the
    // velocity (the drift rising with the gas fraction), and steps of 1 s,
    // explicit by the share alone, grew an odd-even mode of the gas fractions
    // by 0.9 to 1.2 a step.
    //
    // Section d's split, once its share is known: of the parts it gives its
    // left face (cr of face d; unless `left` is false) and its right face (cl
    // of face d + 1).
    void Split(int d, bool left = true) {
        const double e = explicit_share[d], t = 1 - e;
        for (int k = 0; k < 3; ++k) {
            if (cl[d + 1][k] != 0) {
                fixed[d + 1][k] += e * (cl[d + 1][k] / xnew[d][k]);
                cl[d + 1][k] *= t;
            }
            if (left && cr[d][k] != 0) {
                fixed[d][k] -= e * (cr[d][k] / xnew[d][k]);
                cr[d][k] *= t;
            }
        }
    }

    // Row i and its pivots, and its right-hand side eliminated forward into
    // m[i] (`excess` carries e_(i-1) from the row before).
    void Eliminate(int i, Phases& excess) {
        for (int k = 0; k < 3; ++k) {
            // The pivot as e_i + b_i, b_i = dt cl(i+1) what the section gives
            // downstream and e_i = 1 + a_i e_(i-1) / pivot_(i-1), a_i = dt cr(i)
            // what it gives upstream: a sum of positive terms (the columns add
            // up to 1), where d_i - l_i u_(i-1) / pivot_(i-1) cancels its unit
            // away once the coefficients reach 1e16.
            const double a = dt * cr[i][k], b = dt * cl[i + 1][k];
            excess[k] = 1 + (i > 0 ? a * excess[k] * inv[i - 1][k] : a);
            lo[i][k] = i > 0 ? dt * cl[i][k] : 0.0;
            double up = i < n - 1 ? dt * cr[i + 1][k] : 0.0;
            inv[i][k] = 1 / (excess[k] + b);
            c[i][k] = -up * inv[i][k];
            double r = mass[i][k] + dt * (fixed[i][k] - fixed[i + 1][k] + src[i][k] + well[i][k]);
            if (i > 0) r += lo[i][k] * m[i - 1][k];
            m[i][k] = r * inv[i][k];
        }
    }

    // The phase flows of face j at the solved masses m.
    void FaceFlows(int j) {
        for (int k = 0; k < 3; ++k) {
            double f = fixed[j][k];
            if (j > 0) f += cl[j][k] * m[j - 1][k];
            if (j < n) f -= cr[j][k] * m[j][k];
            flux[j][k] = f;
        }
    }

    // Section i's new masses from the phase flows of its faces.
    void MassesFromFlows(int i) {
        for (int k = 0; k < 3; ++k) {
            double& mk = m[i][k];
            mk = mass[i][k] + dt * (flux[i][k] - flux[i + 1][k] + src[i][k] + well[i][k]);
            // A phase passing through a section that holds next to none of it
            // (its flows in and out alike) leaves the rounding of those flows,
            // of either sign (-1e-51 kg of gas beside 1.3 kg/s): none is held.
            const double through = std::fabs(flux[i][k]) + std::fabs(flux[i + 1][k]) +
                                   std::fabs(src[i][k]) + std::fabs(well[i][k]);
            if (mk < 0 && mk > -kRounding * (std::fabs(mass[i][k]) + dt * through)) mk = 0;
        }
    }
};

}  // namespace

double TransportImplicit(BranchStep& s) {
    BranchScratch& w = s.w;
    const int n = s.n;
    const double dt = s.dt;
    // Where no section gives away more than its explicit share, nor has a void
    // wave crossing more than that, the transport is the explicit scheme
    // throughout (the outflows need not be looked at where a wave decides).
    double wave = 0;
    for (int i = 0; i < n; ++i) wave = std::max(wave, w.t_wave[i]);
    w.t_implicit = w.t_by_wave = wave > kExplicitShare;
    if (!w.t_implicit) {
        const double explicit_ratio = OutflowRatio(s, kExplicitShare);
        w.t_implicit = explicit_ratio > kExplicitShare;
        if (!w.t_implicit) {
            UpdateMasses(s);
            return explicit_ratio;
        }
    }
    w.t_cl.resize(n + 1), w.t_cr.resize(n + 1), w.t_fixed.resize(n + 1);
    w.t_mnew.resize(n), w.t_xnew.resize(n), w.t_explicit.resize(n);
    w.t_lo.resize(n), w.t_c.resize(n), w.t_inv.resize(n);
    w.t_excess.resize(n), w.t_fwd.resize(n), w.t_ratio.resize(n);
    w.mass_new.resize(n);
    Rows r(s);
    // A later pass within its window (BranchScratch::window, from face a)
    // takes the sections from a - 1 on, whose mixture mass moves with the
    // flow of face a; the rows before a - 2 are the last pass's.
    const int a = w.window;
    for (int i = a > 0 ? a - 1 : 0; i < n; ++i) {
        double m = 0;
        for (int k = 0; k < 3; ++k)
            m += r.mass[i][k] + dt * (r.flux[i][k] - r.flux[i + 1][k] + r.src[i][k] + r.well[i][k]);
        // The mixture flows may take more than a section holds where the
        // linearised pressure response does not see it empty (liquid that
        // drifts and flows out of a section nearly full of gas): the section
        // then keeps kMinMixture of its mass, its outflows fall short of the
        // solved flows, and the pressure at the new masses tells the step.
        const double total = Sum(r.mass[i]);
        m = w.t_mnew[i] = std::max(m, kMinMixture * total);
        // 1 / (DonorShare M_new), written so that a share above the trace
        // one rounds as total / (m_k M_new).
        for (int k = 0; k < 3; ++k) {
            const double mk = r.mass[i][k];
            r.xnew[i][k] = !(mk > 0 && m > 0 && total > 0) ? 0.0
                           : mk > kTraceShare * total      ? total / (mk * m)
                                                           : 1 / (kTraceShare * m);
        }
    }
    // Each face's parts by donor; a section's implicit share and its split
    // once both its faces are in; a section's row once its faces'
    // coefficients are split (the face after it by the next section's share).
    static const Phases kNone{0, 0, 0};
    const FaceSide *left = w.left.data(), *right = w.right.data();
    auto face_parts = [&](int j) {
        const double g = w.g_new[j];
        const Phases& phi = g > 0 ? left[j].phi : right[j].phi;
        const Phases &xl = j > 0 ? r.xnew[j - 1] : kNone, &xr = j < n ? r.xnew[j] : kNone;
        for (int k = 0; k < 3; ++k) {
            FaceParts f;
            if (j == 0 || j == n) {
                // The drift at an end only lessens what the outflow
                // carries: the net phase flow has one donor.
                AddPart(xl[k], xr[k], r.flux[j][k], f);
            } else {
                const double mix = g == 0 ? 0.0 : g * phi[k];
                AddPart(xl[k], xr[k], mix, f);
                AddPart(xl[k], xr[k], r.flux[j][k] - mix, f);
            }
            r.cl[j][k] = f.cl, r.cr[j][k] = f.cr, r.fixed[j][k] = f.fixed;
        }
    };
    double ratio = 0;
    Phases excess{}, held{};
    int j_first = 0;
    if (a > 0) {
        // Face a - 1 takes its right donor's new share, and section a - 2's
        // split of it; row a - 2 is eliminated anew from row a - 3's pivots
        // and forward masses (the section's final masses put back below).
        face_parts(a - 1);
        r.Split(a - 2, false);
        excess = w.t_excess[a - 3];
        ratio = w.t_ratio[a - 3];
        held = r.m[a - 3];
        r.m[a - 3] = w.t_fwd[a - 3];
        j_first = a;
    }
    for (int j = j_first; j <= n + 1; ++j) {
        if (j <= n) {
            face_parts(j);
            if (j > 0) {
                r.explicit_share[j - 1] = r.ExplicitShare(j - 1);
                r.Split(j - 1);
            }
        }
        const int i = j <= n ? j - 2 : n - 1;
        if (i < 0) continue;
        ratio = std::max(ratio, r.FixedOutflowRatio(i));
        // An empty section (none of its parts can carry anything: they are
        // fixed, and checked above) that gives nothing away stays empty; a
        // shut-in riser's top drained to a vacuum was refused at every step.
        if (std::isnan(r.mnew[i])) ratio = 1e30;
        r.Eliminate(i, excess);
        w.t_excess[i] = excess, w.t_fwd[i] = r.m[i], w.t_ratio[i] = ratio;
    }
    // The back substitution, and the phase flows of the solution with the new
    // masses from them (each section's once both its faces' flows are in),
    // from the far end; in a window, down to face a - 1 and section a - 2.
    for (int j = n; j >= (a > 0 ? a - 1 : 0); --j) {
        if (j > 0 && j < n)
            for (int k = 0; k < 3; ++k) r.m[j - 1][k] -= r.c[j - 1][k] * r.m[j][k];
        r.FaceFlows(j);
        if (j < n) r.MassesFromFlows(j);
    }
    if (a > 0) {
        r.MassesFromFlows(a - 2);
        r.m[a - 3] = held;
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
            w.t_rho[i][k] = w.t_explicit[i] + (1 - w.t_explicit[i]) * rho;
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

namespace {

// TransportResponse; without `kHeld` the old masses' and the shares' responses
// are zero (the seeds' first step) and are not read: the terms they enter are
// left out.
template <bool kHeld>
void TransportResponseOf(const BranchStep& s, const std::vector<PhaseLanes>& dm_old,
                         const std::vector<Lanes>& dflow, const std::vector<PhaseLanes>& dshare,
                         const std::vector<PhaseLanes>& dq, std::vector<PhaseLanes>& dflux,
                         std::vector<PhaseLanes>& dm_new) {
    const BranchScratch& w = s.w;
    const Branch& br = s.br;
    const int n = s.n;
    const double dt = s.dt;
    dm_new.resize(n);
    // A section's mass response from the flows through its faces: dm_old + dt
    // (in - out + dq).
    auto from_flows = [&](Lanes& dm, int i, int k, const Lanes& in, const Lanes& out) {
        if constexpr (kHeld)
            dm = dm_old[i][k] + dt * (in - out + dq[i][k]);
        else
            dm = dt * (in - out + dq[i][k]);
    };
    if (!s.model.integration.implicit_transport || !w.t_implicit) {
        for (int i = 0; i < n; ++i)
            for (int k = 0; k < 3; ++k)
                from_flows(dm_new[i][k], i, k, dflux[i][k], dflux[i + 1][k]);
        return;
    }
    // What the moved masses take from each donor's coefficients: the responses
    // of its mixture mass at the step's end and of its phases' mass fractions
    // at the start.
    auto moved_of = [&](int i) {
        const PhaseLanes &f0 = dflux[i], &f1 = dflux[i + 1], &q = dq[i];
        const Lanes flows =
            dt * ((f0[0] + f0[1] + f0[2]) - (f1[0] + f1[1] + f1[2]) + (q[0] + q[1] + q[2]));
        PhaseLanes moved;
        if constexpr (kHeld) {
            const double m_old = Sum(br.mass[i]);
            const double inv = m_old > 0 ? 1 / m_old : 0.0;
            const PhaseLanes& dm_i = dm_old[i];
            const Lanes dm = dm_i[0] + dm_i[1] + dm_i[2];
            const Lanes dmix = dm + flows;
            for (int k = 0; k < 3; ++k) {
                const Lanes dx_old = (dm_i[k] - br.mass[i][k] * inv * dm) * inv;
                moved[k] = w.t_xnew[i][k] * dmix + w.t_mrho[i][k] * dx_old;
            }
        } else {
            for (int k = 0; k < 3; ++k) moved[k] = w.t_xnew[i][k] * flows;
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
            for (int k = 0; k < 3; ++k) {
                if constexpr (kHeld)
                    f[k] += (rm[k] - rd[k]) * (phi[k] * dflow[j] + dshare[j][k]);
                else
                    f[k] += (rm[k] - rd[k]) * (phi[k] * dflow[j]);
            }
        }
        for (int k = 0; k < 3; ++k) {
            if (j > 0) f[k] -= w.t_cl[j][k] * moved_before[k];
            if (j < n) f[k] += w.t_cr[j][k] * moved_after[k];
        }
        moved_before = moved_after;
        if (j == 0) continue;
        const int i = j - 1;
        for (int k = 0; k < 3; ++k) {
            Lanes r;
            from_flows(r, i, k, keep[i][k], keep[i + 1][k]);
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
        for (int k = 0; k < 3; ++k) from_flows(dm_new[i][k], i, k, dflux[i][k], dflux[i + 1][k]);
    }
}

}  // namespace

void TransportResponse(const BranchStep& s, bool held, const std::vector<PhaseLanes>& dm_old,
                       const std::vector<Lanes>& dflow, const std::vector<PhaseLanes>& dshare,
                       const std::vector<PhaseLanes>& dq, std::vector<PhaseLanes>& dflux,
                       std::vector<PhaseLanes>& dm_new) {
    if (held)
        TransportResponseOf<true>(s, dm_old, dflow, dshare, dq, dflux, dm_new);
    else
        TransportResponseOf<false>(s, dm_old, dflow, dshare, dq, dflux, dm_new);
}

}  // namespace zefasim::step
