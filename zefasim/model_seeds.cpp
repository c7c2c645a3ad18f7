// Derivatives: the response to a unit change of a boundary pressure or of one
// phase of a source's inflow, carried through every step of the run interval
// by the tangent of the step (its rows: model_derivatives.cpp). Each seed
// carries the phase masses and the temperature of every section: a step's
// pressures follow from them, its flows from the step's factorised system,
// and the new masses from what the flows carry, at the phase shares of the
// perturbed upwind section. So the response of a long run interval includes
// the liquid a source adds to the line and what it does to the head and the
// losses, not only the first compression.
//
// The seeds of a branch go through a step together, one lane of each quantity
// per seed: the step's coefficients are read once for all of them, and each
// lane does the arithmetic a seed carried alone would, in the same order.

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

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
        s.may_carry = false;
    }
}

namespace step {

namespace {

// The seeds carried together through a branch's step, and their scratch.
struct SeedBatch {
    std::array<Sensitivity*, kLanes> seed{};
    int count = 0;
    std::array<char, kLanes> moved{};  // the seed's masses have responded
    // What a seed carries from step to step, gathered from the seeds and given back.
    std::vector<PhaseLanes> dmass, dflux;
    std::vector<Lanes> dtemp, dflow, dpressure;
    // Of the step.
    std::vector<PhaseLanes> dsrc, dmix, dcomp, dq, dm_new;
    std::vector<Lanes> dpt, dpred, de, dtemp_new;
    Lanes dp_in{}, dp_out{};
    std::array<int, kLanes> inflow_at{};  // the section of the seed's own inflow, or -1
};

// A source with a negative flow withdraws mixture at its section's composition.
bool SourceWithdraws(const Source& src) {
    return src.mass_flow < 0;
}

// (Lanes are passed by reference: by value their layout would depend on the
// target's vector registers.)

// Whether a seed carries any response yet (any bit set: a negative zero counts).
bool Carries(const Sensitivity& sv) {
    if (!sv.may_carry) return false;
    auto any = [](const double* x, size_t count) {
        std::array<std::uint64_t, 8> bits{};  // eight at a time
        size_t i = 0;
        for (; i + 8 <= count; i += 8)
            for (int l = 0; l < 8; ++l) bits[l] |= std::bit_cast<std::uint64_t>(x[i + l]);
        for (; i < count; ++i) bits[0] |= std::bit_cast<std::uint64_t>(x[i]);
        std::uint64_t all = 0;
        for (const std::uint64_t b : bits) all |= b;
        return all != 0;
    };
    return any(sv.dpressure.data(), sv.dpressure.size()) || any(sv.dflow.data(), sv.dflow.size()) ||
           any(sv.dtemp.data(), sv.dtemp.size()) ||
           any(sv.dmass.data()->data(), 3 * sv.dmass.size()) ||
           any(sv.dflux.data()->data(), 3 * sv.dflux.size());
}

// The seeds' responses in lanes; where none carries any yet (not `carried`),
// left unfilled (Propagate zeroes the few pressures the step reads before
// writing them).
void Gather(SeedBatch& b, int n, bool carried) {
    if (!carried) {
        b.dmass.resize(n), b.dtemp.resize(n), b.dpressure.resize(n);
        b.dflux.resize(n + 1), b.dflow.resize(n + 1);
        b.moved.fill(0);
        return;
    }
    b.dmass.resize(n), b.dtemp.resize(n), b.dpressure.resize(n);
    b.dflux.resize(n + 1), b.dflow.resize(n + 1);
    for (int l = 0; l < kLanes; ++l) {
        const Sensitivity* sv = l < b.count ? b.seed[l] : nullptr;
        bool moved = false;
        for (int i = 0; i < n; ++i) {
            const Phases dm = sv ? sv->dmass[i] : Phases{0, 0, 0};
            for (int k = 0; k < 3; ++k) b.dmass[i][k][l] = dm[k];
            moved |= (dm[0] != 0) | (dm[1] != 0) | (dm[2] != 0);
            b.dtemp[i][l] = sv ? sv->dtemp[i] : 0.0;
            b.dpressure[i][l] = sv ? sv->dpressure[i] : 0.0;
        }
        for (int j = 0; j <= n; ++j) {
            for (int k = 0; k < 3; ++k) b.dflux[j][k][l] = sv ? sv->dflux[j][k] : 0.0;
            b.dflow[j][l] = sv ? sv->dflow[j] : 0.0;
        }
        b.moved[l] = moved;
    }
}

void GiveBack(SeedBatch& b, int n) {
    for (int l = 0; l < b.count; ++l) {
        Sensitivity& sv = *b.seed[l];
        for (int i = 0; i < n; ++i) {
            for (int k = 0; k < 3; ++k) sv.dmass[i][k] = b.dmass[i][k][l];
            sv.dtemp[i] = b.dtemp[i][l];
            sv.dpressure[i] = b.dpressure[i][l];
        }
        for (int j = 0; j <= n; ++j) {
            for (int k = 0; k < 3; ++k) sv.dflux[j][k] = b.dflux[j][k][l];
            sv.dflow[j] = b.dflow[j][l];
        }
        sv.dflux_inlet = sv.dflux[0];
        sv.dflux_outlet = sv.dflux[n];
        sv.may_carry = true;
        ++sv.steps;
    }
}

// Each seed's own inflow, and what withdrawing sources take more or less of a
// phase when the section's composition moved (not before the seeds carry any).
void SeedInflows(const Model& model, const Branch& br, const BranchScratch& w, int n, bool carried,
                 SeedBatch& b) {
    b.dsrc.assign(n, PhaseLanes{});
    for (int i = 0; i < n && carried; ++i) {
        if (!(w.withdraw[i] > 0)) continue;
        if (w.sink_per_kg[i] > 0) {
            // Sinks held to a share of what the section holds take that share
            // of each phase's change.
            for (int k = 0; k < 3; ++k) b.dsrc[i][k] -= w.sink_per_kg[i] * b.dmass[i][k];
            continue;
        }
        double m = Sum(br.mass[i]);
        if (!(m > 0)) continue;
        const Lanes dm = b.dmass[i][0] + b.dmass[i][1] + b.dmass[i][2];
        for (int k = 0; k < 3; ++k)
            b.dsrc[i][k] -= w.withdraw[i] * (b.dmass[i][k] - br.mass[i][k] / m * dm) / m;
    }
    b.inflow_at.fill(-1);
    for (int l = 0; l < b.count; ++l) {
        const Sensitivity& sv = *b.seed[l];
        if (sv.seed != Sensitivity::Seed::SourcePhase) continue;
        const Source& src = model.sources[sv.object];
        if (model.ShutIn() && !src.host_fed) continue;
        b.inflow_at[l] = src.section;
        if (!SourceWithdraws(src)) {
            b.dsrc[src.section][sv.phase][l] += 1;
            continue;
        }
        // A withdrawing source takes the section's mixture whatever phase its
        // flow is given in: one more unit of any phase is one unit less taken,
        // unless the section's sinks are held to what it can give.
        if (w.sink_per_kg[src.section] > 0) continue;
        const Phases& m = br.mass[src.section];
        const double total = Sum(m);
        if (total > 0)
            for (int k = 0; k < 3; ++k) b.dsrc[src.section][k][l] += m[k] / total;
    }
}

// What the faces carry more or less at the step's flows because the masses
// of the sections beside them moved: the shares of the upwind section, and the
// drift between the two (dmix: the mixture's part alone). Under DRIFTLEVEL
// both also follow the flow they were taken at: the last step's (b.dflow
// before this step's flows are solved). Where the step was solved again, that
// flow was stepped from the last step's towards the step's own, and is taken
// as the step's own, whose response (that of solves whose systems are not
// kept) is held: carried through the last step's flow, the response grew
// along a line in transit by orders of magnitude over a minute (the flowline
// at 30 % gas, source derivatives over 60 s from 60 s off by 37,000 %; held,
// by 26 %). Masses that have not responded yet (the first step of a run
// interval) shift no composition.
void CompositionFluxes(const BranchScratch& w, int n, SeedBatch& b) {
    b.dmix.assign(n + 1, PhaseLanes{});
    b.dcomp.assign(n + 1, PhaseLanes{});
    if (std::none_of(b.moved.begin(), b.moved.end(), [](char m) { return m != 0; })) return;
    auto apply = [](const Jacobian& jac, const PhaseLanes& dm, double f, PhaseLanes& out) {
        for (int k = 0; k < 3; ++k)
            out[k] += f * (jac[k][0] * dm[0] + jac[k][1] * dm[1] + jac[k][2] * dm[2]);
    };
    const bool by_flow = w.d_share_g.size() == static_cast<size_t>(n + 1) &&
                         w.share_tried.size() == static_cast<size_t>(n + 1);
    for (int j = 0; j <= n; ++j) {
        if (w.closed[j] || (j == 0 && w.d_capped[0]) || (j == n && w.d_capped[1])) continue;
        double g = w.g_new[j];
        int u = UpwindSection(j, g, n);
        PhaseLanes& mix = b.dmix[j];
        PhaseLanes& out = b.dcomp[j];
        if (u >= 0) apply(w.d_share[j], b.dmass[u], g, mix);
        if (by_flow && std::isnan(w.share_tried[j])) {
            const Lanes& dg = b.dflow[j];
            for (int k = 0; k < 3; ++k) {
                if (u >= 0) mix[k] += g * w.d_share_g[j][k] * dg;
                out[k] += w.d_drift_g[j][k] * dg;
            }
        }
        for (int k = 0; k < 3; ++k) out[k] += mix[k];
        if (j > 0) apply(w.d_drift_lo[j], b.dmass[j - 1], 1.0, out);
        if (j < n) apply(w.d_drift_hi[j], b.dmass[j], 1.0, out);
    }
    for (int l = 0; l < kLanes; ++l) {
        if (b.moved[l]) continue;
        for (int j = 0; j <= n; ++j)
            for (int k = 0; k < 3; ++k) b.dmix[j][k][l] = b.dcomp[j][k][l] = 0;
    }
}

// Under DRIFTLEVEL, a face's row response through the closure's friction
// multipliers, to the last step's phase flows and the masses either side,
// added to r.
void AddClosureRowResponse(const SeedBatch& b, const BranchScratch::ClosureRows& rows, int j, int n,
                           Lanes& r) {
    for (int f = std::max(0, j - 1); f <= std::min(n, j + 1); ++f)
        for (int k = 0; k < 3; ++k) r += rows.flux[f - j + 1][k] * b.dflux[f][k];
    for (int k = 0; k < 3; ++k) {
        if (j > 0) r += rows.mass_lo[k] * b.dmass[j - 1][k];
        if (j < n) r += rows.mass_hi[k] * b.dmass[j][k];
    }
}

// The new flows' response: right-hand side and forward elimination in one
// sweep, then the back-substitution with the step's pivots. b.dflux holds the
// last step's phase flows. Before the seeds carry any response (not `carried`)
// only the pressures the flows see act.
void SolveFlowResponse(const Branch& br, const BranchScratch& w, int n, bool carried,
                       SeedBatch& b) {
    const double* keep = w.d_keep.data();
    const double* left = w.d_left.data();
    const double* right = w.d_right.data();
    const double* drho = w.d_rho.data();
    const double* start_left = w.d_start_left.data();
    const double* start_right = w.d_start_right.data();
    const double* inv = w.inv_denom.data();
    const double* lo = w.lo.data();
    std::vector<Lanes>& dr = b.dpred;  // free until the flows are solved
    dr.resize(n + 1);
    const double* dmu = w.d_mu.data();
    // Mixture density and viscosity response of each side of the face (none at a boundary).
    Lanes rho_left{}, mu_left{}, prev{};
    for (int j = 0; j <= n; ++j) {
        const Lanes& pl = j > 0 ? b.dpt[j - 1] : b.dp_in;
        const Lanes& pr = j < n ? b.dpt[j] : b.dp_out;
        if (!carried) {
            const Lanes r = left[j] * pl + right[j] * pr;
            prev = j == 0 ? r * inv[0] : (r - lo[j] * prev) * inv[j];
            dr[j] = prev;
            continue;
        }
        const Phases& fr = w.d_fns[j];
        const PhaseLanes& dq = b.dflux[j];
        const Lanes rho_right =
            j < n ? (b.dmass[j][0] + b.dmass[j][1] + b.dmass[j][2]) / br.sections[j].volume
                  : Lanes{};
        Lanes r = keep[j] * b.dflow[j] + left[j] * pl + right[j] * pr +
                  drho[j] * (rho_left + rho_right) + fr[0] * dq[0] + fr[1] * dq[1] + fr[2] * dq[2];
        if (j > 0) r += start_left[j] * b.dpressure[j - 1];
        if (j < n) r += start_right[j] * b.dpressure[j];
        Lanes mu_right{};
        if (j < n) {
            const Phases& dm = w.d_mu_mass[j];
            mu_right = dm[1] * b.dmass[j][1] + dm[2] * b.dmass[j][2];
        }
        r += dmu[j] * (mu_left + mu_right);
        if (!w.d_closure.empty()) AddClosureRowResponse(b, w.d_closure[j], j, n, r);
        prev = j == 0 ? r * inv[0] : (r - lo[j] * prev) * inv[j];
        dr[j] = prev;
        rho_left = rho_right;
        mu_left = mu_right;
    }
    for (int j = n - 1; j >= 0; --j) dr[j] -= w.c[j] * dr[j + 1];
    for (int j = 0; j <= n; ++j) {
        Lanes d = dr[j];
        for (int l = 0; l < kLanes; ++l)
            if (w.closed[j] || !std::isfinite(d[l])) d[l] = 0;
        b.dflow[j] = d;
    }
}

// Where the drift at an open end takes back all the outflow carries of the
// phase drifting in, a change of the flow changes the other phase alone.
void EndDriftResponse(const BranchScratch& w, int j, const Lanes& dg, PhaseLanes& dflux) {
    double g = w.g_new[j];
    const Phases& phi = g > 0 ? w.left[j].phi : w.right[j].phi;
    bool gas_drifts_out = (j == 0) == (w.drift[j][kGas] < 0);
    double liquid = phi[kOil] + phi[kWater];
    double oil = liquid > 0 ? phi[kOil] / liquid : 1.0;
    if (gas_drifts_out)
        dflux = PhaseLanes{dg, Lanes{}, Lanes{}};
    else
        dflux = PhaseLanes{Lanes{}, dg * oil, dg * (1 - oil)};
}

// The energy balance of the step linearised (coefficients from
// EnergyTangentCoefficients): the right-hand side of the temperature
// responses, from the responses of the masses before (b.dmass) and after
// (b.dm_new), of the old temperature, of the phase flows through the faces
// (the transport's, in `dflux`), of the seed's inflow and of wells and
// withdrawals. The pressures' small part in the phases' energy is held. Before
// the seeds carry any response (not `carried`) only the new masses, the flows
// and the pressures at the ends and at the step's end act.
void TemperatureRhs(const BranchStep& s, const std::vector<PhaseLanes>& dflux, bool carried,
                    SeedBatch& b) {
    const BranchScratch& w = s.w;
    const Model& model = s.model;
    const double dt = s.dt;
    const int n = s.n;
    const PhaseEnergy pe = PhaseEnergyOf(model.fluid);
    // A source seed's own inflow brings its enthalpy into its section.
    std::array<int, kLanes> seed_section{};
    Lanes seed_energy{};
    for (int l = 0; l < kLanes; ++l) {
        seed_section[l] = -1;
        if (l >= b.count) continue;
        const Sensitivity& sv = *b.seed[l];
        if (sv.seed != Sensitivity::Seed::SourcePhase) continue;
        const Source& src = model.sources[sv.object];
        if ((model.ShutIn() && !src.host_fed) || SourceWithdraws(src)) continue;
        seed_section[l] = src.section;
        const int k = sv.phase, i = src.section;
        const double ts = src.temperature + kKelvin;
        seed_energy[l] = dt * (pe.cp[k] * ts + pe.hp[k] * w.st[i].p + kGravity * w.elevation[i]);
    }
    b.de.resize(n);
    for (int i = 0; i < n; ++i) {
        Lanes& de = b.de[i];
        if (w.e_heat0[i] == 0 && Sum(w.e_held0[i]) == 0) {
            de = Lanes{};
            continue;
        }
        const Phases &c0 = w.e_carried[i], &c1 = w.e_carried[i + 1];
        const Phases &h0 = w.e_held0[i], &h1 = w.e_held1[i];
        const PhaseLanes &f0 = dflux[i], &f1 = dflux[i + 1];
        const PhaseLanes &dm0 = b.dmass[i], &dm1 = b.dm_new[i];
        if (carried) {
            de = w.e_heat0[i] * b.dtemp[i];
            for (int k = 0; k < 3; ++k)
                de += dm0[k] * h0[k] - dm1[k] * h1[k] + dt * (f0[k] * c0[k] - f1[k] * c1[k]);
        } else {
            de = Lanes{};
            for (int k = 0; k < 3; ++k) de += dt * (f0[k] * c0[k] - f1[k] * c1[k]) - dm1[k] * h1[k];
        }
        if (w.withdraw[i] > 0) {
            // Withdrawals take the section's new state: its outflow energy.
            for (int k = 0; k < 3; ++k) {
                if (!(w.src[i][k] < 0)) continue;
                double e = pe.cp[k] * w.e_sol[i] + pe.hp[k] * w.st[i].p + kGravity * w.elevation[i];
                de += dt * b.dsrc[i][k] * e;
            }
        }
        for (int l = 0; l < kLanes; ++l)
            if (seed_section[l] == i) de[l] += seed_energy[l];
        const std::array<double, 4>& ep = w.e_pres[i];
        if (carried || i == 0 || i == n - 1)
            de += ep[0] * b.dpressure[i] + ep[1] * (i > 0 ? b.dpressure[i - 1] : b.dp_in) +
                  ep[2] * (i < n - 1 ? b.dpressure[i + 1] : b.dp_out) + ep[3] * b.dpred[i];
        else
            de += ep[3] * b.dpred[i];
        double wf = Sum(w.well_flow[i]);
        if (wf > 0)
            de += dt * (w.well_energy[i] / wf + kGravity * w.elevation[i]) * Sum(w.well_dq[i]) *
                  b.dpred[i];
    }
}

// The step's energy rows D T_i - A T_(i-1) - B T_(i+1) (UpdateTemperatures)
// solved for the lanes of b.de.
void SolveEnergyLanes(const BranchScratch& w, int n, SeedBatch& b) {
    b.dtemp_new.resize(n);
    Lanes prev{};
    for (int i = 0; i < n; ++i) {
        prev = (b.de[i] + (i > 0 ? w.e_lo[i] * prev : Lanes{})) * w.e_inv[i];
        b.dtemp_new[i] = prev;
    }
    for (int i = n - 2; i >= 0; --i) b.dtemp_new[i] -= w.e_c[i] * b.dtemp_new[i + 1];
}

// Each lane with its non-finite values set to zero.
void FiniteOrZero(Lanes& x) {
    for (int l = 0; l < kLanes; ++l)
        if (!std::isfinite(x[l])) x[l] = 0;
}

void Propagate(const Model& model, BranchStep& s, bool carried, SeedBatch& b) {
    const Branch& br = s.br;
    const BranchScratch& w = s.w;
    const int n = s.n;
    const double dt = s.dt;
    SeedInflows(model, br, w, n, carried, b);
    // Before the seeds carry any response no composition has shifted (and the
    // transport's tangent reads no dmix).
    static const PhaseLanes kNoShift{};
    if (carried) CompositionFluxes(w, n, b);
    auto comp = [&](int j) -> const PhaseLanes& { return carried ? b.dcomp[j] : kNoShift; };
    // The pressures the flows see: the previous responses, plus what the
    // inflow and the shifted composition of the flows add over the step
    // (before the seeds carry any response, only their own inflows).
    auto pressure_seen = [&](int i) {
        Lanes q{};
        for (int k = 0; k < 3; ++k)
            q += w.st[i].dpdm[k] * (b.dsrc[i][k] + comp(i)[k] - comp(i + 1)[k]);
        b.dpt[i] = b.dpressure[i] + dt * q;
    };
    if (carried) {
        b.dpt.resize(n);
        for (int i = 0; i < n; ++i) pressure_seen(i);
    } else {
        // Of the old pressures' responses (all zero) the step reads those of
        // the seeds' own inflows and of the sections at and next to the ends.
        for (const int i : {0, 1, n - 2, n - 1})
            if (i >= 0 && i < n) b.dpressure[i] = Lanes{};
        for (const int i : b.inflow_at)
            if (i >= 0) b.dpressure[i] = Lanes{};
        b.dpt.assign(n, Lanes{});
        for (const int i : b.inflow_at)
            if (i >= 0) pressure_seen(i);
    }
    for (int l = 0; l < kLanes; ++l) {
        const Sensitivity* sv = l < b.count ? b.seed[l] : nullptr;
        bool is_boundary = sv && sv->seed == Sensitivity::Seed::BoundaryPressure;
        b.dp_in[l] = is_boundary && model.boundaries[sv->object].at_inlet ? 1.0 : 0.0;
        b.dp_out[l] = is_boundary && !model.boundaries[sv->object].at_inlet ? 1.0 : 0.0;
    }
    SolveFlowResponse(br, w, n, carried, b);
    // What each face carries (over the last step's, no longer needed), the
    // wells' response to the predicted pressure.
    std::vector<PhaseLanes>& dflux = b.dflux;
    for (int j = 0; j <= n; ++j) {
        const Phases& phi = w.g_new[j] >= 0 ? w.left[j].phi : w.right[j].phi;
        for (int k = 0; k < 3; ++k)
            dflux[j][k] = w.closed[j] ? Lanes{} : phi[k] * b.dflow[j] + comp(j)[k];
    }
    if (w.d_capped[0]) EndDriftResponse(w, 0, b.dflow[0], dflux[0]);
    if (w.d_capped[1]) EndDriftResponse(w, n, b.dflow[n], dflux[n]);
    b.dpred.resize(n);
    for (int i = 0; i < n; ++i)
        b.dpred[i] =
            w.dfac[i] * (b.dpt[i] + dt * w.gin[i] * b.dflow[i] - dt * w.gout[i] * b.dflow[i + 1]);
    // New masses and temperatures; the temperatures need the old masses' responses.
    b.dq.resize(n);
    for (int i = 0; i < n; ++i)
        for (int k = 0; k < 3; ++k) b.dq[i][k] = b.dsrc[i][k] + w.well_dq[i][k] * b.dpred[i];
    TransportResponse(s, carried, b.dmass, b.dflow, b.dmix, b.dq, dflux, b.dm_new);
    TemperatureRhs(s, dflux, carried, b);
    SolveEnergyLanes(w, n, b);
    // The pressures at the new masses and temperatures.
    b.dmass.swap(b.dm_new);
    for (int i = 0; i < n; ++i) {
        const SectionState& st = w.st_after[i];
        b.dtemp[i] = b.dtemp_new[i];
        FiniteOrZero(b.dtemp[i]);
        Lanes dp{};
        for (int k = 0; k < 3; ++k) dp += st.dpdm_t[k] * b.dmass[i][k];
        dp += st.dpdt * b.dtemp[i];
        FiniteOrZero(dp);
        b.dpressure[i] = dp;
    }
}

}  // namespace

void PropagateSensitivities(Model& model, StepWork& work, double dt) {
    static thread_local SeedBatch batch;
    std::vector<Sensitivity>& seeds = model.sensitivities;
    for (size_t b = 0; b < model.branches.size(); ++b) {
        Branch& br = model.branches[b];
        BranchScratch& w = work.br[b];
        BranchStep s{model,
                     br,
                     w,
                     static_cast<int>(b),
                     static_cast<int>(br.sections.size()),
                     dt,
                     model.ShutIn(),
                     model.fluid.holdup_model != kHoldupSlip};
        // Whether any of the branch's seeds carries a response yet (at the first
        // step of a run interval none does, and the step's work on them is less).
        const bool carried = std::any_of(seeds.begin(), seeds.end(), [&](const Sensitivity& sv) {
            return BranchOf(model, sv) == s.b && Carries(sv);
        });
        // The branch's seeds in batches of kLanes.
        size_t next = 0;
        for (;;) {
            batch.count = 0;
            for (; next < seeds.size() && batch.count < kLanes; ++next)
                if (BranchOf(model, seeds[next]) == s.b) batch.seed[batch.count++] = &seeds[next];
            if (batch.count == 0) break;
            Gather(batch, s.n, carried);
            if (!w.derivative_rows) {
                // The first batch of the branch: whether its seeds' masses (known
                // from Gather) or those of the branch's later seeds have responded.
                const bool moved =
                    carried &&
                    (std::any_of(batch.moved.begin(), batch.moved.end(),
                                 [](char m) { return m != 0; }) ||
                     std::any_of(seeds.begin() + static_cast<std::ptrdiff_t>(next), seeds.end(),
                                 [&](const Sensitivity& other) {
                                     return BranchOf(model, other) == s.b &&
                                            std::any_of(other.dmass.begin(), other.dmass.end(),
                                                        [](const Phases& dm) {
                                                            return dm[0] != 0 || dm[1] != 0 ||
                                                                   dm[2] != 0;
                                                        });
                                 }));
                DeriveDerivativeRows(s, batch.seed[0]->steps == 0, moved, carried);
            }
            Propagate(model, s, carried, batch);
            GiveBack(batch, s.n);
        }
    }
}

}  // namespace step

}  // namespace zefasim
