// The implicit solve: the face flows of a step from one tridiagonal system that
// couples the momentum balance of each face, (L/A) dG/dt = p_up - p_down -
// rho g dz - F(G), to the linearised pressure response of the sections. The
// losses are linearised about the latest estimate of the new flow and the
// system solved again until the flows settle (Newton); a choke whose flow
// would exceed its critical flow is held at the critical flow instead.

#include <algorithm>
#include <cmath>
#include <utility>

#include "step.h"

namespace zefasim::step {

// The fluid of a face's momentum balance.
void FaceFluid(BranchStep& s, int j) {
    BranchScratch& w = s.w;
    const FaceSide &l = w.left[j], &r = w.right[j];
    w.frho[j] = std::max(1e-6, (l.rho + r.rho) / 2);
    w.fmu[j] = (l.mu + r.mu) / 2;
    // What flows, at the face's mean phase densities: the phase flows of the
    // last step (the mixture's share and the drift's), or where they add up
    // to no mass flow, the upwind side's mix.
    Phases rho_phase;
    for (int k = 0; k < 3; ++k) rho_phase[k] = (l.rho_phase[k] + r.rho_phase[k]) / 2;
    const Phases& q = s.br.flux[j];
    const double mass = q[kGas] + q[kOil] + q[kWater];
    const double size = std::fabs(q[kGas]) + std::fabs(q[kOil]) + std::fabs(q[kWater]);
    double volume = 0;  // per unit of mass
    if (std::fabs(mass) > 1e-6 * size && mass != 0) {
        for (int k = 0; k < 3; ++k)
            if (q[k] * mass > 0 && rho_phase[k] > 0) volume += q[k] / rho_phase[k];
        volume /= mass;
    } else {
        double g = s.br.flow[j];
        volume = NoSlipVolume(g > 0 || (g == 0 && l.p >= r.p) ? l.phi : r.phi, rho_phase);
    }
    w.fns[j] = volume > 0 ? 1 / volume : 0;
}

namespace {

// The loss of face j (friction, and the nozzle or the momentum flux) at flow
// g0, with its slope.
void LinearisedLoss(const BranchStep& s, int j, double g0, double& loss, double& dloss) {
    PipeLoss(s, j, g0, loss, dloss);
    if (s.br.choke[j] >= 0)
        AddChokeLoss(s, j, g0, loss, dloss);
    else
        AddAcceleration(s, j, g0, loss, dloss);
}

// Gives the Newton iteration its starting point: the fluid of each face's
// momentum balance, and every loss linearised about the last step's flow. The
// first pass of a step takes them; a later pass starts from the same fluid and
// the same losses (a choke's is taken again: its regime starts afresh).
void PrepareMomentum(BranchStep& s, bool later_pass) {
    BranchScratch& w = s.w;
    const Branch& br = s.br;
    const int n = s.n;
    const std::vector<FaceGeometry>& fgeo = br.face_geometry;
    if (!later_pass) {
        w.frho.resize(n + 1), w.fmu.resize(n + 1), w.fns.resize(n + 1), w.cface.resize(n + 1);
        w.loss0.resize(n + 1);
        w.dloss0.resize(n + 1);
        for (int j = 0; j <= n; ++j) {
            // A face whose sides a step solved again kept from its first solve
            // keeps what its first solve started from (the same sides, section
            // descriptions and last step's flow).
            if (SharesKept(w, j)) continue;
            FaceFluid(s, j);
            w.cface[j] = s.dt * fgeo[j].area / fgeo[j].length;
            w.loss0[j] = w.dloss0[j] = 0;
            if (!w.closed[j] && br.choke[j] < 0)
                LinearisedLoss(s, j, br.flow[j], w.loss0[j], w.dloss0[j]);
        }
    }
    if (!later_pass) {
        // (A later pass has the same closed faces and chokes.)
        w.any_closed = w.open_choke = w.any_choke = false;
        for (int j = 0; j <= n; ++j) {
            w.any_choke = w.any_choke || br.choke[j] >= 0;
            w.any_closed = w.any_closed || w.closed[j];
            w.open_choke = w.open_choke || (br.choke[j] >= 0 && !w.closed[j]);
        }
    }
    // A later pass in its window (BranchScratch::window) solves the faces from
    // it on; those before keep the last pass's flows, and their rows, pivots
    // and linearisation (so the rows are of one system with the flows kept).
    const int a = later_pass && !w.any_choke ? w.window : 0;
    w.relin.resize(n + 1);
    for (int j = a; j <= n; ++j) w.relin[j] = br.choke[j] >= 0;
    w.solve_from = a;
    w.scale_before = 1e-3;
    for (int j = 0; j < a; ++j) w.scale_before = std::max(w.scale_before, std::fabs(w.g_new[j]));
    w.g_lin.resize(n + 1), w.loss.resize(n + 1), w.dloss.resize(n + 1), w.rebuild.resize(n + 1);
    std::copy(br.flow.begin() + a, br.flow.end(), w.g_lin.begin() + a);
    std::copy(w.loss0.begin() + a, w.loss0.end(), w.loss.begin() + a);
    std::copy(w.dloss0.begin() + a, w.dloss0.end(), w.dloss.begin() + a);
    std::fill(w.rebuild.begin(), w.rebuild.begin() + a, 0);
    std::fill(w.rebuild.begin() + a, w.rebuild.end(), 1);
    w.rebuild_first = a, w.rebuild_last = n;
    if (!later_pass || w.any_choke) {  // (only a choke sets them)
        w.crit.assign(n + 1, 0);
        w.gcp.assign(n + 1, 0);
        w.switches.assign(n + 1, 0);
    }
    w.lo.resize(n + 1), w.di.resize(n + 1), w.up.resize(n + 1), w.rhs.resize(n + 1);
    w.c.resize(n + 1), w.denom.resize(n + 1), w.g_new.resize(n + 1), w.g_fwd.resize(n + 1);
}

// Marks face j's row to be assembled again.
void MarkRebuild(BranchScratch& w, int j) {
    w.rebuild[j] = 1;
    w.rebuild_first = std::min(w.rebuild_first, j);
    w.rebuild_last = std::max(w.rebuild_last, j);
}

// The momentum rows of the system, with the losses linearised about g_lin
// (again only where marked). A row whose loss and neighbouring sections'
// responses did not move since it was assembled is kept; a choke's, which the
// critical flow may have replaced, is assembled every time. Returns the first
// and last row that may have changed (with an open choke, all of them).
std::pair<int, int> AssembleMomentumRows(BranchStep& s) {
    const Branch& br = s.br;
    BranchScratch& w = s.w;
    const int n = s.n;
    const double dt = s.dt;
    const std::vector<FaceGeometry>& fgeo = br.face_geometry;
    // A closed choke's row is the same identity row every time: only an open
    // choke's may change unmarked.
    const std::pair<int, int> rows =
        w.open_choke ? std::pair{0, n} : std::pair{w.rebuild_first, w.rebuild_last};
    w.rebuild_first = n + 1, w.rebuild_last = -1;
    for (int j = rows.first; j <= rows.second; ++j) {
        if (!w.rebuild[j] && br.choke[j] < 0) continue;
        w.rebuild[j] = 0;
        w.lo[j] = 0, w.up[j] = 0, w.di[j] = 1, w.rhs[j] = 0;
        if (w.closed[j]) continue;
        double rho = w.frho[j];
        double g0 = w.g_lin[j];
        if (w.relin[j]) LinearisedLoss(s, j, g0, w.loss[j], w.dloss[j]);
        const double loss = w.loss[j], dloss = w.dloss[j];
        double c = w.cface[j];
        double grav = rho * kGravity * fgeo[j].dz;
        double diag = 1 + c * dloss;
        double r = br.flow[j] - c * grav - c * (loss - dloss * g0);
        if (j > 0) {
            int l = j - 1;
            w.lo[j] = -c * dt * w.dfac[l] * w.gin[l];
            diag += c * dt * w.dfac[l] * w.gout[l];
            r += c * w.dfac[l] * w.ptilde[l];
        } else {
            r += c * w.left[j].p;
        }
        if (j < n) {
            w.up[j] = -c * dt * w.dfac[j] * w.gout[j];
            diag += c * dt * w.dfac[j] * w.gin[j];
            r -= c * w.dfac[j] * w.ptilde[j];
        } else {
            r -= c * w.right[j].p;
        }
        w.di[j] = diag;
        w.rhs[j] = r;
    }
    return rows;
}

// A closed face forces its flow to zero; drop its coupling from neighbours
// (in rows first to last, the others kept theirs dropped).
void DecoupleClosedFaces(BranchScratch& w, int n, int first, int last) {
    for (int j = std::max(0, first - 1); j <= std::min(n, last + 1); ++j) {
        if (!w.closed[j]) continue;
        if (j > 0) w.up[j - 1] = 0;
        if (j < n) w.lo[j + 1] = 0;
    }
}

// Thomas algorithm (the pivots are kept for the derivatives), sweeping forward
// from row `first`: the rows before it are those of the last solve, and so are
// their pivots and forward flows; substituting back down to face `from` (the
// flows before it kept). Returns the branch's flow scale, the largest flow
// (kg/s, at least 1e-3; of the kept flows, as PrepareMomentum found it).
double SolveTridiagonal(BranchScratch& w, int n, int first, int from) {
    double* denom = w.denom.data();
    double* c = w.c.data();
    double* fwd = w.g_fwd.data();
    const double *lo = w.lo.data(), *di = w.di.data(), *up = w.up.data(), *rhs = w.rhs.data();
    if (first <= 0) {
        denom[0] = di[0];
        c[0] = up[0] / denom[0];
        fwd[0] = rhs[0] / denom[0];
        first = 1;
    }
    for (int j = first; j <= n; ++j) {
        denom[j] = di[j] - lo[j] * c[j - 1];
        c[j] = up[j] / denom[j];
        fwd[j] = (rhs[j] - lo[j] * fwd[j - 1]) / denom[j];
    }
    // Back substitution from the solved (not yet cleared) flow after each face;
    // a closed face's flow, or one not finite, is then cleared.
    double* g = w.g_new.data();
    const char* closed = w.closed.data();
    double scale = 1e-3, after = fwd[n];
    for (int j = n; j >= from; --j) {
        if (j < n) after = fwd[j] - c[j] * after;
        g[j] = closed[j] || !std::isfinite(after) ? 0.0 : after;
        scale = std::max(scale, std::fabs(g[j]));
    }
    return std::max(scale, w.scale_before);
}

// Faces whose flow moved away from where their loss was linearised are
// linearised again: a choke whenever its flow moved at all (its loss
// dominates, and its step response must not depend on the step size), a pipe
// face only when its flow moved by more than kRelin of the branch's flow
// scale; the loss of a pipe face linearised within that distance is off by
// less than kRelin^2 of the branch's typical friction loss, far below what
// the physics resolves. True if any face is to be linearised again.
bool MarkMovedFaces(BranchStep& s, double scale) {
    BranchScratch& w = s.w;
    const int n = s.n;
    constexpr double kRelin = 1e-3;
    const double pipe_moved = kRelin * scale, choke_moved = 1e-9 * scale;
    bool again = false;
    const double* g = w.g_new.data();
    double* g_lin = w.g_lin.data();
    const char* closed = w.closed.data();
    char* relin = w.relin.data();
    const int* choke = s.br.choke.data();
    auto mark = [&](auto moved_limit) {
        for (int j = w.solve_from; j <= n; ++j) {
            const bool moved = !closed[j] && std::fabs(g[j] - g_lin[j]) > moved_limit(j);
            relin[j] = moved;
            if (moved) {
                MarkRebuild(w, j);
                g_lin[j] = g[j];
                again = true;
            }
        }
    };
    if (w.any_choke)
        mark([&](int j) { return choke[j] >= 0 ? choke_moved : pipe_moved; });
    else
        mark([&](int) { return pipe_moved; });
    return again;
}

// The phase shares face j carries in the direction of flow g (at no flow, from
// the side of higher pressure).
const Phases& UpwindShares(const BranchScratch& w, int j, double g) {
    if (g > 0 || (g == 0 && w.left[j].p >= w.right[j].p)) return w.left[j].phi;
    return w.right[j].phi;
}

// Section i's pressure response to the mass its two faces carry, with each
// face's phase shares taken from its upwind side by the flows in w.g_dir.
void SectionResponse(BranchScratch& w, double dt, int i) {
    const Phases& dpdm = w.resp_dpdm[i];
    const Phases& pin = UpwindShares(w, i, w.g_dir[i]);
    const Phases& pout = UpwindShares(w, i + 1, w.g_dir[i + 1]);
    double gi = 0, go = 0;
    for (int k = 0; k < 3; ++k) {
        gi += dpdm[k] * pin[k];
        go += dpdm[k] * pout[k];
    }
    w.gin[i] = gi;
    w.gout[i] = go;
    w.ptilde[i] = w.p_base[i] - dt * (gi * w.g_base_in[i] - go * w.g_base_out[i]);
}

// A face whose solved flow runs against the direction its sections' pressure
// response assumed carries the other side's phases: a flow reversing into a
// liquid-filled section from a gas-filled one brings gas, whose pressure
// response per kg is some fifty times the liquid's. Where that changes a
// neighbour's predicted pressure by more than kUpwindTolerance of itself, the
// face takes the solved direction and the sections beside it their response
// again; true if any did. A face turned twice keeps its direction (the flow
// sits at the turn, where either side's shares give the same pressure).
bool ReviseUpwind(BranchStep& s) {
    BranchScratch& w = s.w;
    const int n = s.n;
    constexpr double kUpwindTolerance = 1e-3;
    bool revised = false;
    // (In a window from the face after its first, so that the rows it marks
    // are the window's.)
    for (int j = w.solve_from > 0 ? w.solve_from + 1 : 0; j <= n; ++j) {
        const double g = w.g_new[j];
        if ((g > 0) == (w.g_dir[j] > 0) || w.closed[j] || g == 0 || w.dir_turns[j] >= 2) continue;
        const Phases& was = UpwindShares(w, j, w.g_dir[j]);
        const Phases& now = UpwindShares(w, j, g);
        bool matters = false;
        for (int i : {j - 1, j}) {
            if (i < 0 || i >= n) continue;
            double d = 0;
            for (int k = 0; k < 3; ++k) d += w.resp_dpdm[i][k] * (now[k] - was[k]);
            matters = matters || std::fabs(s.dt * g * d) > kUpwindTolerance * w.st[i].p;
        }
        if (!matters) continue;
        w.g_dir[j] = g;
        ++w.dir_turns[j];
        if (j > 0) SectionResponse(w, s.dt, j - 1);
        if (j < n) SectionResponse(w, s.dt, j);
        // The rows beside those sections move with their responses.
        for (int r = std::max(0, j - 1); r <= std::min(n, j + 1); ++r) MarkRebuild(w, r);
        revised = true;
    }
    return revised;
}

}  // namespace

// Linearised pressure response of each section: p_new = dfac (ptilde + dt gin
// G_in - dt gout G_out), with sources, the explicit drift and wells (implicit)
// folded in.
void LinearisePressures(BranchStep& s) {
    BranchScratch& w = s.w;
    const int n = s.n;
    const double dt = s.dt;
    w.ptilde.resize(n);
    w.dfac.resize(n);
    w.gin.resize(n);
    w.gout.resize(n);
    w.g_dir.assign(s.br.flow.begin(), s.br.flow.end());
    w.dir_turns.assign(n + 1, 0);
    w.resp_dpdm.resize(n);
    w.p_base.resize(n);
    w.g_base_in.assign(n, 0);
    w.g_base_out.assign(n, 0);
    for (int i = 0; i < n; ++i) {
        const SectionState& st = w.st[i];
        w.resp_dpdm[i] = st.dpdm;
        double sp = 0;
        for (int k = 0; k < 3; ++k)
            sp += st.dpdm[k] * (w.src[i][k] + w.drift[i][k] - w.drift[i + 1][k]);
        w.dfac[i] = 1.0 / (1.0 + dt * w.omega[i]);
        w.p_base[i] = st.p + dt * sp + dt * w.omega_p[i];
        SectionResponse(w, dt, i);
    }
}

bool RelinearisePressures(BranchStep& s) {
    BranchScratch& w = s.w;
    const int n = s.n;
    const double dt = s.dt;
    // A section's pressure is convex in its liquid, and the phases its faces
    // carry move with the flows: a section filling with liquid (a third of it
    // gas to a tenth) came out at 37 bar where the response at the step's start
    // predicted 20. Where a section's pressure moves by more than kCoupledChange
    // of itself and lies more than kCouplingTolerance from the prediction, every
    // section that far off takes its response again about its new masses: at
    // the flows just solved the prediction is then its new pressure. (At 2 %
    // and 20 % the riser slugging grid study's peak outlet liquid moved 11.0 %
    // from 40+10 to 160+40 sections, against 8.6 % then. At 3 % and 10 % a
    // 1,000-section flowline's liquid front took 258 passes over 105 steps of
    // 1 s; at 5 % and 15 %, 226 over 104, the riser's peak 137.3/137.2/143.2
    // kg/s and period 1056/1072/1081 s on 1, 2 and 4 times the grid, against
    // 137.0/142.7/143.6 and 1060/1090/1086 at 3 % and 10 %.)
    constexpr double kCouplingTolerance = 0.05, kCoupledChange = 0.15;
    auto off = [&](int i, double& change) {
        const double p0 = std::max(w.st[i].p, 1e4), p = w.st_after[i].p;
        change = std::fabs(p - w.st[i].p) / p0;
        return std::fabs(p - PredictedPressure(w, dt, i, w.g_new)) / p0;
    };
    // Before its window (BranchScratch::window) a later pass left the sections
    // as the last pass did, and none of them was that far off then.
    const int from = std::max(0, w.window - 2);
    bool needed = false;
    for (int i = from; i < n && !needed; ++i) {
        double change = 0;
        needed = off(i, change) > kCouplingTolerance && change > kCoupledChange;
    }
    if (!needed) return false;
    int first = n, last = -1;  // the sections taken again
    for (int i = from; i < n; ++i) {
        double change = 0;
        if (!(off(i, change) > kCouplingTolerance)) continue;
        // p_new (1 + dt omega) = p + dt omega p_pred + dt (gin (G_in - g_in) -
        // gout (G_out - g_out)), the wells' response still that at the start.
        const double p_pred = PredictedPressure(w, dt, i, w.g_new);
        w.resp_dpdm[i] = w.st_after[i].dpdm;
        w.p_base[i] = w.st_after[i].p + dt * w.omega[i] * p_pred;
        w.g_base_in[i] = w.g_new[i];
        w.g_base_out[i] = w.g_new[i + 1];
        w.g_dir[i] = w.g_new[i];
        w.g_dir[i + 1] = w.g_new[i + 1];
        first = std::min(first, i);
        last = i;
    }
    // Those sections, and the sections beside a face that took the solved
    // direction, take their response anew (the rest keep theirs).
    for (int i = std::max(0, first - 1); i <= std::min(n - 1, last + 1); ++i)
        SectionResponse(w, dt, i);
    w.coupled_first = first;
    w.dir_turns.assign(n + 1, 0);
    return true;
}

void SolveFaceFlows(BranchStep& s, bool later_pass) {
    PrepareMomentum(s, later_pass);
    constexpr int kMaxNewton = 10, kMaxUpwindPasses = 4;
    for (int pass = 0;; ++pass) {
        for (int iter = 0;; ++iter) {
            const auto [first, last] = AssembleMomentumRows(s);
            bool any_choke = false;
            if (s.w.open_choke) ApplyCriticalRows(s, any_choke);
            if (s.w.any_closed) DecoupleClosedFaces(s.w, s.n, first, last);
            const double scale = SolveTridiagonal(s.w, s.n, first, s.w.solve_from);
            bool changed = any_choke && UpdateChokeRegimes(s);
            bool again = MarkMovedFaces(s, scale);
            if ((!changed && !again) || iter >= kMaxNewton) break;
        }
        if (pass >= kMaxUpwindPasses || !ReviseUpwind(s)) break;
    }
}

}  // namespace zefasim::step
