// Derivatives: the response to a unit change of a boundary pressure or of one
// phase of a source's inflow, carried through every step of the run interval by
// the step's own linearisation (the same factorised tridiagonal system, Newton
// loss slopes and critical-flow rows included) with one right-hand side per seed.

#include <cmath>

#include "step.h"

namespace zefasim {

void Model::BeginSensitivities(std::vector<Sensitivity> seeds) {
    sensitivities = std::move(seeds);
    for (Sensitivity& s : sensitivities) {
        int b = s.seed == Sensitivity::Seed::BoundaryPressure ? boundaries[s.object].branch
                                                              : sources[s.object].branch;
        size_t n = branches[b].sections.size();
        s.dflow.assign(n + 1, 0);
        s.dpressure.assign(n, 0);
    }
}

namespace step {

namespace {

// Per face, the right-hand side of the linearised momentum balance is
// keep * (previous flow response) + left * (response of the pressure
// upstream) + right * (of the pressure downstream); at the branch ends the
// boundary pressure takes the place of the missing section.
void DeriveDerivativeRows(const Branch& br, BranchScratch& w, int n) {
    w.d_keep.assign(n + 1, 0);
    w.d_left.assign(n + 1, 0);
    w.d_right.assign(n + 1, 0);
    w.inv_denom.resize(n + 1);
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
        }
    }
    w.derivative_rows = true;
}

// Pressure responses of the sections before the step's flows act: the
// previous ones, plus what a source seed's inflow brings over the step.
void SeedPressures(const Model& model, const Sensitivity& sv, const BranchScratch& w,
                   const Branch& br, double dt, std::vector<double>& dpt) {
    const int n = static_cast<int>(br.sections.size());
    dpt.resize(n);
    for (int i = 0; i < n; ++i) dpt[i] = sv.dpressure[i];
    if (sv.seed == Sensitivity::Seed::BoundaryPressure || model.ShutIn()) return;
    // The inflow adds its mass, and its heat: at fixed masses the gas
    // pressure rises with temperature as dp/dT = dp/dm_gas * m_gas / T.
    const Source& src = model.sources[sv.object];
    int i = src.section;
    const SectionState& s = w.st[i];
    double m = Sum(br.mass[i]);
    dpt[i] += dt * s.dpdm[sv.phase];
    if (m > 0 && s.temp_k > 0)
        dpt[i] += s.dpdm[kGas] * br.mass[i][kGas] / s.temp_k * dt *
                  (src.temperature + kKelvin - s.temp_k) / m;
}

void Propagate(const Model& model, Sensitivity& sv, BranchScratch& w, double dt) {
    bool is_boundary = sv.seed == Sensitivity::Seed::BoundaryPressure;
    int b = is_boundary ? model.boundaries[sv.object].branch : model.sources[sv.object].branch;
    const Branch& br = model.branches[b];
    const int n = static_cast<int>(br.sections.size());
    static thread_local std::vector<double> dpt, dr;
    SeedPressures(model, sv, w, br, dt, dpt);
    dr.resize(n + 1);
    if (!w.derivative_rows) DeriveDerivativeRows(br, w, n);
    double dp_in = is_boundary && model.boundaries[sv.object].at_inlet ? 1.0 : 0.0;
    double dp_out = is_boundary && !model.boundaries[sv.object].at_inlet ? 1.0 : 0.0;
    // Right-hand side and forward elimination in one sweep.
    const double* keep = w.d_keep.data();
    const double* left = w.d_left.data();
    const double* right = w.d_right.data();
    const double* inv = w.inv_denom.data();
    const double* lo = w.lo.data();
    const double* dfl = sv.dflow.data();
    double prev =
        (keep[0] * dfl[0] + left[0] * dp_in + right[0] * (n > 0 ? dpt[0] : dp_out)) * inv[0];
    dr[0] = prev;
    for (int j = 1; j < n; ++j) {
        double r = keep[j] * dfl[j] + left[j] * dpt[j - 1] + right[j] * dpt[j];
        prev = (r - lo[j] * prev) * inv[j];
        dr[j] = prev;
    }
    if (n > 0) {
        double r = keep[n] * dfl[n] + left[n] * dpt[n - 1] + right[n] * dp_out;
        dr[n] = (r - lo[n] * prev) * inv[n];
    }
    for (int j = n - 1; j >= 0; --j) dr[j] -= w.c[j] * dr[j + 1];
    for (int j = 0; j <= n; ++j) sv.dflow[j] = w.closed[j] || !std::isfinite(dr[j]) ? 0 : dr[j];
    for (int i = 0; i < n; ++i)
        sv.dpressure[i] =
            w.dfac[i] * (dpt[i] + dt * w.gin[i] * sv.dflow[i] - dt * w.gout[i] * sv.dflow[i + 1]);
}

}  // namespace

void PropagateSensitivities(Model& model, StepWork& work, double dt) {
    for (Sensitivity& sv : model.sensitivities) {
        int b = sv.seed == Sensitivity::Seed::BoundaryPressure ? model.boundaries[sv.object].branch
                                                               : model.sources[sv.object].branch;
        Propagate(model, sv, work.br[b], dt);
    }
}

}  // namespace step

}  // namespace zefasim
