// Phase transport: the phase flows of each face (upwind by the new flow, plus
// the drift), what passes a low point, the limit on what a section may give
// away in one step, the new phase masses, and plugs travelling with the
// mixture. Every flux leaves one section and enters its neighbour, so mass is
// conserved to rounding.

#include <algorithm>
#include <cmath>

#include "step.h"

namespace zefasim::step {

namespace {

// What section i gives away of phase k (kg/s).
double OutflowRate(const BranchStep& s, int i, int k) {
    const BranchScratch& w = s.w;
    return std::max(0.0, -w.flux[i][k]) + std::max(0.0, w.flux[i + 1][k]) +
           std::max(0.0, -w.src[i][k]);
}

// Holdup at which the liquid of a section sloping down to a low point seals
// it: the liquid pools there under a level surface, and the gas passes only
// while that surface lies below the pipe's top at the low point. A section of
// drop |dz| and diameter D pools over D / |dz| of its length where that is
// less than all of it; a level section seals only when full.
double SealHoldup(const Section& sec) {
    double x = std::fabs(sec.dz) > 0 ? sec.diameter / std::fabs(sec.dz) : 1e30;
    return x >= 1 ? 1 - 1 / (2 * x) : x / 2;
}

// The share of section i's gas that reaches the low point beside it: the gas
// fraction there, 1 - H / H_seal, over the section's own.
double OpenShare(const BranchStep& s, int i) {
    const double alpha = s.w.sd[i].alpha, seal = SealHoldup(s.br.sections[i]);
    if (seal >= 1 || !(alpha > 0)) return 1;
    return std::clamp((1 - (1 - alpha) / seal) / alpha, 0.0, 1.0);
}

}  // namespace

bool LowPoint(const Branch& br, int j) {
    const int n = static_cast<int>(br.sections.size());
    if (j <= 0 || j >= n) return false;
    double dl = br.sections[j - 1].dz, dr = br.sections[j].dz;
    return dl <= 0 && dr >= 0 && (dl < 0 || dr > 0);
}

Phases PooledShares(const BranchStep& s, int i, const Phases& phi) {
    const SectionDrift& d = s.w.sd[i];
    const double open = OpenShare(s, i);
    if (open >= 1 || !(phi[kGas] > 0) || !(d.rho_gas > 0)) return phi;
    // The gas's share of the flow's volume falls with the gas fraction at the low point.
    const double vg = phi[kGas] / d.rho_gas, vl = (1 - phi[kGas]) / d.rho_liquid;
    const double v = vg / (vg + vl) * open;
    const double xg = v * d.rho_gas / (v * d.rho_gas + (1 - v) * d.rho_liquid);
    const double liquid = 1 - phi[kGas], scale = liquid > 0 ? (1 - xg) / liquid : 0;
    return Phases{xg, phi[kOil] * scale, phi[kWater] * scale};
}

Phases PooledDrift(const BranchStep& s, int j, const Phases& drift) {
    if (drift[kGas] == 0) return drift;
    const double open = OpenShare(s, drift[kGas] > 0 ? j - 1 : j);
    return Phases{drift[kGas] * open, drift[kOil] * open, drift[kWater] * open};
}

void PoolAtLowPoints(BranchStep& s) {
    // A shut-in line settles by the drift alone; the seal's steep response to
    // the holdup there drives the explicit transport to its smallest steps.
    if (!s.drift_model || s.shut) return;
    BranchScratch& w = s.w;
    for (int j = 1; j < s.n; ++j) {
        if (!LowPoint(s.br, j) || w.closed[j]) continue;
        w.drift[j] = PooledDrift(s, j, w.drift[j]);
        for (FaceSide* side : {&w.left[j], &w.right[j]}) {
            side->phi = PooledShares(s, side == &w.left[j] ? j - 1 : j, side->phi);
            side->v_ns = NoSlipVolume(side->phi, side->rho_phase);
        }
    }
}

void PhaseFluxes(BranchStep& s, int first) {
    BranchScratch& w = s.w;
    w.flux.resize(s.n + 1);
    for (int j = first; j <= s.n; ++j) {
        double g = w.g_new[j];
        const Phases& phi = g > 0 ? w.left[j].phi : w.right[j].phi;
        for (int k = 0; k < 3; ++k) w.flux[j][k] = (g == 0 ? 0.0 : g * phi[k]) + w.drift[j][k];
    }
}

// The largest share of a phase any section gives away in the step (1e30 where
// a section would give away a phase it does not hold), or the first share
// found above `stop_above`. The step multiplies the rate relative to the
// mass, not the rate itself: a trace of a phase worn down to the smallest
// double (4.9e-324 kg) gives away 2.7e-324 kg in a step of 2.6 ms, which
// rounds to all of it, and the step was refused as overdrawing it at every
// length above 2.4 ms.
double OutflowRatio(const BranchStep& s, double stop_above) {
    double max_ratio = 0;
    for (int i = 0; i < s.n; ++i) {
        double worst = 0;
        for (int k = 0; k < 3; ++k) {
            double out = OutflowRate(s, i, k);
            if (out <= 0) continue;
            double m = s.br.mass[i][k];
            if (!(m > 0)) {
                worst = 1e30;
                break;
            }
            worst = std::max(worst, s.dt * (out / m));
        }
        max_ratio = std::max(max_ratio, worst);
        if (max_ratio > stop_above) break;
    }
    return max_ratio;
}

// At the smallest step: scale back what leaves an overdrawn section.
void ScaleOverdrawn(BranchStep& s, std::vector<Phases>& applied) {
    const Model& model = s.model;
    BranchScratch& w = s.w;
    for (int i = 0; i < s.n; ++i) {
        for (int k = 0; k < 3; ++k) {
            double out = s.dt * OutflowRate(s, i, k);
            double m = std::max(0.0, s.br.mass[i][k]);
            if (out <= 0.9 * m) continue;
            double f = out > 0 ? 0.9 * m / out : 0;
            if (w.flux[i][k] < 0) w.flux[i][k] *= f;
            if (w.flux[i + 1][k] > 0) w.flux[i + 1][k] *= f;
            if (w.src[i][k] < 0) {
                double removed = w.src[i][k] * (1 - f);
                w.src[i][k] -= removed;
                for (size_t si = 0; si < model.sources.size(); ++si) {
                    const Source& src = model.sources[si];
                    if (src.branch == s.b && src.section == i && src.mass_flow < 0) {
                        applied[si][k] -= removed;
                        break;
                    }
                }
            }
        }
    }
    for (int j = 0; j <= s.n; ++j) w.g_new[j] = Sum(w.flux[j]) - Sum(w.drift[j]);
}

void UpdateMasses(BranchStep& s) {
    BranchScratch& w = s.w;
    w.mass_new.resize(s.n);
    for (int i = 0; i < s.n; ++i) {
        for (int k = 0; k < 3; ++k) {
            w.mass_new[i][k] = s.br.mass[i][k] + s.dt * (w.flux[i][k] - w.flux[i + 1][k] +
                                                         w.src[i][k] + w.well_flow[i][k]);
        }
    }
}

void MovePlugs(Model& model, double dt) {
    for (Plug& pg : model.plugs) {
        if (!pg.launched || pg.arrived) {
            pg.speed = 0;
            continue;
        }
        const Branch& br = model.branches[pg.branch];
        int n = static_cast<int>(br.sections.size());
        int i = 0;
        while (i < n - 1 && pg.z >= br.sections[i].z_start + br.sections[i].length) ++i;
        // It moves with the mixture's volumetric flux (what it displaces),
        // the mean of the section's two faces.
        SectionState s = model.StateOf(pg.branch, i);
        const Phases rho{s.rho_gas, s.rho_oil, s.rho_water};
        double q = 0;
        for (int j : {i, i + 1})
            for (int k = 0; k < 3; ++k)
                if (rho[k] > 1e-9) q += br.flux[j][k] / rho[k];
        double u = q / (2 * br.sections[i].area);
        pg.speed = u;
        pg.z += u * dt;
        // It arrives at the branch end; pushed back to the start (by a
        // momentary backflow at its launch point) it waits there.
        double len = model.BranchLength(pg.branch);
        if (pg.z >= len) {
            pg.z = len;
            pg.arrived = true;
            pg.speed = 0;
        } else if (pg.z <= 0) {
            pg.z = 0;
            pg.speed = 0;
        }
    }
}

}  // namespace zefasim::step
