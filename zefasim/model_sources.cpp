// Sources and wells: what enters or leaves a branch's sections from outside the
// pipe. A source adds its phase flows (a negative flow withdraws mixture at the
// section's composition); a well gives PI (p_res - p), treated implicitly.

#include <algorithm>

#include "step.h"

namespace zefasim::step {

namespace {

// A section drained below kDrainedPressure has nothing left to push into its
// sinks: they take at most kSinkShare of what it holds in a step, as a pump
// running dry does, instead of asking for their flow and having every step
// refused for overdrawing the section down to the smallest one. At that share
// the step stays inside the transport's bound on what a section gives away
// (the next step is sized so that it gives at most 0.8, so at 0.5 the steps
// may still grow by half). Above it the sinks take their flow, and the steps
// are shortened until the section can give it.
constexpr double kDrainedPressure = 1e4, kSinkShare = 0.5;

bool Withdraws(const BranchStep& s, const Source& src) {
    return src.branch == s.b && src.mass_flow < 0 && (!s.shut || src.host_fed);
}

// Per section, the factor its sinks' flows are held to (1 where they take
// what they ask), and their flow per kg held where it is below 1.
void CapSinks(BranchStep& s, std::vector<double>& scale) {
    BranchScratch& w = s.w;
    scale.assign(s.n, 1.0);
    w.sink_per_kg.assign(s.n, 0);
    for (const Source& src : s.model.sources)
        if (Withdraws(s, src)) w.sink_per_kg[src.section] -= src.mass_flow;
    for (int i = 0; i < s.n; ++i) {
        const double asked = w.sink_per_kg[i], held = Sum(s.br.mass[i]);
        w.sink_per_kg[i] = 0;
        if (!(asked * s.dt > kSinkShare * held) || !(held > 0) || !(w.st[i].p < kDrainedPressure))
            continue;
        scale[i] = kSinkShare * held / (asked * s.dt);
        w.sink_per_kg[i] = kSinkShare / s.dt;
    }
}

}  // namespace

void ApplySources(BranchStep& s, std::vector<Phases>& applied) {
    const Model& m = s.model;
    BranchScratch& w = s.w;
    const int n = s.n;
    w.src.assign(n, Phases{0, 0, 0});
    w.src_energy.assign(n, 0);
    w.withdraw.assign(n, 0);
    CapSinks(s, w.sink_scale);
    const PhaseEnergy pe = PhaseEnergyOf(m.fluid);
    for (size_t si = 0; si < m.sources.size(); ++si) {
        const Source& src = m.sources[si];
        if (src.branch != s.b) continue;
        Phases q{0, 0, 0};
        if (!s.shut || src.host_fed) {
            if (src.mass_flow >= 0) {
                Phases phi = Model::Composition(src.gas_fraction, src.water_fraction);
                for (int k = 0; k < 3; ++k) q[k] = src.mass_flow * phi[k];
            } else {
                Phases phi = Fractions(s.br.mass[src.section]);
                double flow = src.mass_flow;
                if (w.sink_scale[src.section] < 1) flow *= w.sink_scale[src.section];
                for (int k = 0; k < 3; ++k) q[k] = flow * phi[k];
                w.withdraw[src.section] -= flow * (Sum(phi) > 0 ? 1.0 : 0.0);
            }
            Phases in{0, 0, 0};  // what enters, at the source's temperature
            for (int k = 0; k < 3; ++k) {
                q[k] += src.extra[k];
                in[k] = std::max(0.0, q[k]);
            }
            w.src_energy[src.section] +=
                EnthalpyFlow(pe, in, src.temperature + kKelvin, w.st[src.section].p);
        }
        for (int k = 0; k < 3; ++k) w.src[src.section][k] += q[k];
        applied[si] = q;
    }
}

void LineariseWells(BranchStep& s) {
    BranchScratch& w = s.w;
    w.omega.assign(s.n, 0);
    w.omega_p.assign(s.n, 0);
    w.well_flow.assign(s.n, Phases{0, 0, 0});
    w.well_energy.assign(s.n, 0);
    w.well_dq.assign(s.n, Phases{0, 0, 0});
    for (const Well& wl : s.model.wells) {
        if (wl.branch != s.b || s.shut || !(wl.productivity > 0)) continue;
        const SectionState& st = w.st[wl.section];
        if (!(wl.res_pressure > st.p)) continue;
        Phases phi = Model::Composition(wl.gas_fraction, wl.water_fraction);
        double beta = 0;
        for (int k = 0; k < 3; ++k) beta += st.dpdm[k] * phi[k];
        w.omega[wl.section] += wl.productivity * beta;
        w.omega_p[wl.section] += wl.productivity * beta * wl.res_pressure;
        for (int k = 0; k < 3; ++k) w.well_dq[wl.section][k] -= wl.productivity * phi[k];
    }
}

// Well inflow at the predicted pressure.
void WellInflow(BranchStep& s, std::vector<Phases>& well_applied) {
    const Model& m = s.model;
    BranchScratch& w = s.w;
    for (size_t wi = 0; wi < m.wells.size(); ++wi) {
        const Well& wl = m.wells[wi];
        if (wl.branch != s.b || s.shut || !(wl.productivity > 0)) continue;
        int i = wl.section;
        if (!(wl.res_pressure > w.st[i].p)) continue;
        double pp = PredictedPressure(w, s.dt, i, w.g_new);
        double q = std::max(0.0, wl.productivity * (wl.res_pressure - pp));
        Phases phi = Model::Composition(wl.gas_fraction, wl.water_fraction);
        for (int k = 0; k < 3; ++k) {
            well_applied[wi][k] = q * phi[k];
            w.well_flow[i][k] += q * phi[k];
        }
        w.well_energy[i] +=
            q * EnthalpyFlow(PhaseEnergyOf(m.fluid), phi, wl.temperature + kKelvin, w.st[i].p);
    }
}

}  // namespace zefasim::step
