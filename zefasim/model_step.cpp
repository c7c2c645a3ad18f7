// One step of the model as the sequence of its stages, and the stepping around
// it: Advance (adaptive steps to an end time) and SolveSteady.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "ranges.h"
#include "step.h"

namespace zefasim {

namespace {

using namespace step;
// The largest share of a phase a section gives away, the largest relative
// pressure change of the step so far, of the gas fraction, and the largest
// pressure change the step's prediction did not foresee.
struct StepLimits {
    double max_ratio = 0, max_dp = 0, max_holdup = 0, max_unforeseen = 0;
};

// The largest relative pressure change of a section whose new pressure lies
// more than kForeseen of itself from the step's linearised prediction. A
// change the prediction foresaw is the implicit solve's own answer (a section
// left compressed by the last step relaxes at once, whatever the step), so a
// shorter step would not change it; one it did not foresee is refused.
double UnforeseenChange(const BranchStep& s) {
    constexpr double kForeseen = 0.1;
    const BranchScratch& w = s.w;
    double worst = 0;
    for (int i = 0; i < s.n; ++i) {
        const double p0 = std::max(w.st[i].p, 1e4), p = w.st_after[i].p;
        if (std::fabs(p - PredictedPressure(w, s.dt, i, w.g_new)) > kForeseen * p0)
            worst = std::max(worst, std::fabs(p - w.st[i].p) / p0);
    }
    return worst;
}

// The first section of a step's new state outside what the fluid model holds,
// with its pressure and the bound; empty when none is. The liquids' volume falls
// linearly with pressure, by (p - p_ref) / K of itself: it vanishes at the bulk
// modulus K, and well before that the linear law describes no liquid (a volume
// halved at K / 2, where a real liquid stiffens as it is squeezed), so sections
// are held to the bound of every pressure from outside, `p_max`.
std::string OutsideFluidModel(const std::vector<SectionState>& st, double p_max) {
    for (size_t i = 0; i < st.size(); ++i) {
        if (st[i].p <= p_max) continue;
        char why[224];
        std::snprintf(why, sizeof why,
                      "section %zu of %zu at %.6g N/m2, above the %.6g N/m2 up to which the "
                      "liquids' equation of state holds,",
                      i + 1, st.size(), st[i].p, p_max);
        return why;
    }
    return "";
}

// Passes of a step that take the sections' pressure response again about the
// transported masses.
constexpr int kCouplingPasses = 3;

// A later pass moves the flows by more than 1e-3 of the branch's flow scale
// out to 60-100 sections before the first section whose response it took
// again (and on to the outlet), the pressures within 20-50 sections, the
// masses within 1-20. It solves the transport, energy and states anew only
// from kWindowReach sections before that section on (the flow everywhere):
// the flows before keep the last pass's, and with them the rows, masses,
// temperatures and states there. (On a 1,000-section drift-flux flowline
// whose liquid front takes three passes a step, its results moved less than
// with a coupling tolerance 2 % wider.)
constexpr int kWindowReach = 100;

// The window of the pass after this one (BranchScratch::window), or 0 for the
// whole branch: only the implicit transport that its void wave made implicit
// keeps its rows from one pass to the next.
int NextWindow(const BranchStep& s) {
    const BranchScratch& w = s.w;
    const int a = w.coupled_first - kWindowReach;
    const bool rows_kept = s.model.integration.implicit_transport && w.t_implicit && w.t_by_wave;
    return rows_kept && a >= 3 ? a : 0;
}

// The largest change of a section's gas volume fraction over the step.
double HoldupChange(const BranchScratch& w, int n) {
    double change = 0;
    for (int i = 0; i < n; ++i)
        change = std::max(change, std::fabs(w.st_after[i].alpha[kGas] - w.st[i].alpha[kGas]));
    return change;
}

// One branch's share of a step; false (with `shrink`) when the step must be
// retried shorter. `again` (true on return) asks for the branch's step to be
// solved again with the closure's shares at flows moved towards the first
// pass's (TakeSharesAtNewFlows, which bounds how often).
bool StepBranch(BranchStep& s, StepWork& work, bool force, StepLimits& lim, double& shrink,
                bool& again) {
    const bool may_resolve = s.drift_model;
    again = false;
    s.w.derivative_rows = false;
    DeriveSectionStates(s);
    ApplySources(s, work.applied);
    LineariseWells(s);
    EnsureGeometry(s.br);
    if (s.drift_model) DescribeDrift(s);
    SetFaceSides(s);
    ComputeDrift(s);
    PoolAtLowPoints(s);
    LinearisePressures(s);
    const bool implicit = s.model.integration.implicit_transport;
    // The drift at the ends before the cap on the outflow (each pass caps it anew).
    const Phases end_drift[2] = {s.w.drift[0], s.w.drift[s.n]};
    double ratio = 0, dp = 0;
    s.w.window = 0;
    for (int pass = 0;; ++pass) {
        SolveFaceFlows(s, pass > 0);
        // Before its window a later pass keeps the last pass's flows.
        std::copy_n(s.w.g_pass.begin(), s.w.window, s.w.g_new.begin());
        // The closure near horizontal takes its shares at the flow: where the
        // first pass's flows moved from those the shares were taken at, the rest
        // of this solve would be thrown away, so the step is solved again at once.
        if (pass == 0 && may_resolve && TakeSharesAtNewFlows(s)) {
            again = true;
            return true;
        }
        if (pass == 0) HeldEnergiesAtStart(s);
        SolveTurnedSides(s);
        CapEndDrift(s);
        PhaseFluxes(s, std::max(0, s.w.window - 1));
        ratio = implicit ? 0.0 : OutflowRatio(s);
        if (std::max(lim.max_ratio, ratio) > 0.9 && !force) {
            shrink = std::clamp(0.7 / std::max(lim.max_ratio, ratio), 0.05, 0.9);
            return false;
        }
        if (force) ScaleOverdrawn(s, work.applied);
        WellInflow(s, work.well_applied);
        if (implicit) {
            // Only what stays fixed (sources, and flows from a section without the
            // phase) can overdraw a section.
            ratio = TransportImplicit(s);
            if (std::max(lim.max_ratio, ratio) > 0.9 && !force) {
                shrink = std::clamp(0.7 / std::max(lim.max_ratio, ratio), 0.05, 0.9);
                return false;
            }
        } else {
            UpdateMasses(s);
        }
        UpdateTemperatures(s);
        dp = DeriveNewStates(s);
        // The pressure solve and the transport agree, or the step is solved
        // again with the sections' response taken at the transported masses.
        if (force || pass >= kCouplingPasses || !RelinearisePressures(s)) break;
        s.w.drift[0] = end_drift[0];
        s.w.drift[s.n] = end_drift[1];
        // Only the sections of the branch's wells took an inflow (WellInflow).
        for (const Well& wl : s.model.wells) {
            if (wl.branch != s.b) continue;
            s.w.well_flow[wl.section] = Phases{0, 0, 0};
            s.w.well_energy[wl.section] = 0;
        }
        s.w.window = NextWindow(s);
        s.w.g_pass.assign(s.w.g_new.begin(), s.w.g_new.end());
    }
    lim.max_ratio = std::max(lim.max_ratio, ratio);
    lim.max_dp = std::max(lim.max_dp, dp);
    lim.max_unforeseen = std::max(lim.max_unforeseen, UnforeseenChange(s));
    if (lim.max_unforeseen > 0.3 && !force) {
        shrink = 0.5;
        return false;
    }
    if (implicit) lim.max_holdup = std::max(lim.max_holdup, HoldupChange(s.w, s.n));
    return true;
}

// Takes the step's new state into the branch, and what crossed its ends and
// came from sources and wells into the mass account.
void CommitBranch(Branch& br, BranchScratch& w, const Fluid& fluid, double dt,
                  MassAccount& account) {
    const int n = static_cast<int>(br.sections.size());
    for (int i = 0; i < n; ++i) {
        br.mass[i] = w.mass_new[i];
        br.temp[i] = w.temp_new[i];
    }
    br.state_after.swap(w.st_after);
    br.state_mass.assign(br.mass.begin(), br.mass.end());
    br.state_temp.assign(br.temp.begin(), br.temp.end());
    br.state_fluid = fluid;
    for (int j = 0; j <= n; ++j) {
        br.flow[j] = w.g_new[j];
        br.flux[j] = w.flux[j];
    }
    for (int k = 0; k < 3; ++k) {
        account.boundaries[k] += dt * (w.flux[0][k] - w.flux[n][k]);
        double s = 0, wl = 0;
        for (int i = 0; i < n; ++i) {
            s += w.src[i][k];
            wl += w.well_flow[i][k];
        }
        account.sources[k] += dt * s;
        account.wells[k] += dt * wl;
    }
}

}  // namespace

StepScratch::StepScratch() : work_(std::make_unique<step::StepWork>()) {}
StepScratch::~StepScratch() = default;
StepScratch::StepScratch(const StepScratch&) : StepScratch() {}
StepScratch& StepScratch::operator=(const StepScratch&) {
    work_ = std::make_unique<step::StepWork>();
    return *this;
}

bool Model::TryStep(double dt, double& shrink, double& next_dt, bool force) {
    StepWork& work = scratch_.Get();
    work.br.resize(branches.size());
    work.applied.assign(sources.size(), Phases{0, 0, 0});
    work.well_applied.assign(wells.size(), Phases{0, 0, 0});
    const bool shut = ShutIn();
    const bool drift_model = fluid.holdup_model != kHoldupSlip;
    StepLimits lim;
    for (size_t b = 0; b < branches.size(); ++b) {
        BranchStep s{*this,
                     branches[b],
                     work.br[b],
                     static_cast<int>(b),
                     static_cast<int>(branches[b].sections.size()),
                     dt,
                     shut,
                     drift_model};
        // The closure near horizontal takes its shares at the flow: at the last
        // step's they swing a slow line between two flows from step to step, so
        // a branch whose flows moved from them is solved again towards its own.
        bool again = false;
        do {
            if (!StepBranch(s, work, force, lim, shrink, again)) return false;
        } while (again);
    }
    // A step that leaves a value that is not a number, or a section outside
    // what the fluid model holds, is retried shorter; at the shortest step the
    // run fails rather than go on from it.
    const double p_max = PressureRange(fluid).hi;
    for (size_t b = 0; b < branches.size(); ++b) {
        const BranchScratch& w = work.br[b];
        const char* bad = NonFiniteState(w.mass_new, w.temp_new, w.g_new);
        const std::string outside = bad ? "" : OutsideFluidModel(w.st_after, p_max);
        if (!bad && outside.empty()) continue;
        if (!force) {
            shrink = 0.5;
            return false;
        }
        char at[96];
        std::snprintf(at, sizeof at, "step of %g s (the shortest) from %.10g s left ", dt, time);
        throw std::runtime_error(at + (bad ? "non-finite " + std::string(bad) : outside) +
                                 " in branch " + branches[b].label);
    }
    PropagateSensitivities(*this, work, dt);
    for (size_t b = 0; b < branches.size(); ++b)
        CommitBranch(branches[b], work.br[b], fluid, dt, account);
    for (size_t si = 0; si < sources.size(); ++si) sources[si].applied = work.applied[si];
    for (size_t wi = 0; wi < wells.size(); ++wi) wells[wi].applied = work.well_applied[wi];
    MovePlugs(*this, dt);

    // The next step is sized for accuracy: with implicit transport so that no
    // section's gas fraction moves by more than kHoldupTarget; with explicit
    // transport so that no section gives away more than kTransportTarget of
    // a phase it holds (explicit upwind transport stays positive up to all of
    // it; a step above 0.9 is refused and retried shorter); and so that no
    // section's pressure changes by more than kPressureTarget of itself. The
    // pressures are implicit in the step, so that bound is on accuracy, not
    // stability: short gas-filled sections at the top of a slug swing against
    // their neighbours, and a tighter bound held the steps there to
    // hundredths of a second without changing the slugs.
    constexpr double kTransportTarget = 0.8, kHoldupTarget = 0.2, kPressureTarget = 0.2;
    double limit = integration.max_step;
    if (lim.max_holdup > 0) limit = std::min(limit, dt * kHoldupTarget / lim.max_holdup);
    if (!integration.implicit_transport && lim.max_ratio > 0)
        limit = std::min(limit, dt * kTransportTarget / lim.max_ratio);
    if (lim.max_dp > kPressureTarget) limit = std::min(limit, dt * kPressureTarget / lim.max_dp);
    next_dt = limit;
    return true;
}

bool Model::Advance(double end_time, const std::vector<double>* forced, std::vector<double>* used,
                    const std::function<bool()>* interrupt) {
    size_t fi = 0;
    while (time < end_time) {
        double remaining = end_time - time;
        double dt = planned_step;
        if (forced && fi < forced->size()) dt = (*forced)[fi];
        ++fi;
        bool clipped = false;
        // A planned step that reaches within a quarter of the end takes the
        // rest whole: the step is bounded for accuracy, and a 1,000-section
        // flowline of one-second intervals took 110 steps over 100 intervals
        // instead of 132, its pressures 0.014 to 0.016 % from runs at a
        // quarter of the gas-fraction bound (0.010 to 0.013 % when the rest
        // was taken whole only within a tenth).
        if (dt >= remaining * (1 - 1e-12) || (!forced && 0.75 * remaining <= dt)) {
            dt = remaining;
            clipped = true;
        } else if (!forced && remaining < 2 * dt) {
            dt = remaining / 2;
            clipped = true;
        }
        double target = dt == remaining ? end_time : time + dt;
        // Shut-in switches happen exactly at their times.
        for (double t_switch : {shut_from, shut_until}) {
            if (t_switch > time && t_switch < time + dt * (1 + 1e-12) && t_switch < end_time) {
                target = t_switch;
                dt = t_switch - time;
                clipped = true;
            }
        }
        for (;;) {
            if (!(target > time)) {  // a step below the clock's resolution
                target = std::nextafter(time, end_time);
                dt = target - time;
            }
            double shrink = 1, limit = dt;
            bool force = dt <= integration.min_step * 1.0000001;
            if (TryStep(dt, shrink, limit, force)) {
                time = target;
                last_step = dt;
                ++steps;
                if (used) used->push_back(dt);
                double base = clipped ? std::max(planned_step, dt) : dt;
                planned_step = std::clamp(std::min(limit, 1.5 * base), integration.min_step,
                                          integration.max_step);
                break;
            }
            dt = std::max(integration.min_step, dt * shrink);
            target = dt >= end_time - time ? end_time : time + dt;
            clipped = false;
        }
        if (interrupt && *interrupt && (*interrupt)() && time < end_time) return false;
    }
    return true;
}

bool Model::SettleSteps(int max_steps, double tolerance) {
    std::vector<std::vector<double>> old_flow(branches.size());
    for (int it = 0; it < max_steps; ++it) {
        for (size_t b = 0; b < branches.size(); ++b) old_flow[b] = branches[b].flow;
        std::vector<double> p_old;
        for (size_t b = 0; b < branches.size(); ++b)
            for (size_t i = 0; i < branches[b].sections.size(); ++i)
                p_old.push_back(StateOf(static_cast<int>(b), static_cast<int>(i)).p);
        double dt = planned_step;
        double shrink = 1, next = dt;
        bool force = dt <= integration.min_step * 1.0000001;
        if (!TryStep(dt, shrink, next, force)) {
            planned_step = std::max(integration.min_step, dt * shrink);
            continue;
        }
        planned_step =
            std::clamp(std::min(next, 1.5 * dt), integration.min_step, integration.max_step);
        double scale = 1e-3, change = 0;  // kg/s: below this a flow counts as none
        for (size_t b = 0; b < branches.size(); ++b)
            for (double g : branches[b].flow) scale = std::max(scale, std::fabs(g));
        for (size_t b = 0; b < branches.size(); ++b)
            for (size_t j = 0; j < branches[b].flow.size(); ++j)
                change = std::max(change, std::fabs(branches[b].flow[j] - old_flow[b][j]) / scale);
        size_t idx = 0;
        for (size_t b = 0; b < branches.size(); ++b)
            for (size_t i = 0; i < branches[b].sections.size(); ++i, ++idx) {
                double p = StateOf(static_cast<int>(b), static_cast<int>(i)).p;
                change = std::max(change, std::fabs(p - p_old[idx]) / std::max(p_old[idx], 1e3));
            }
        if (change / dt < tolerance && it > 10) return true;
    }
    return false;
}

bool Model::SolveSteady(int max_steps, double tolerance) {
    double saved_max = integration.max_step;
    integration.max_step = saved_max * 10;
    // Towards steady state the explicit transport's bound on each section's
    // outflow keeps the steps where the flows settle (at the longest steps
    // the implicit transport allows, a choked gas line keeps ringing).
    const bool saved_implicit = integration.implicit_transport;
    integration.implicit_transport = false;
    planned_step = std::max(planned_step, integration.min_step);
    // Bound the work, so that a large model cannot keep the server busy for hours.
    size_t sections = 0;
    for (const Branch& br : branches) sections += br.sections.size();
    max_steps = static_cast<int>(
        std::min<double>(max_steps, 1e8 / static_cast<double>(std::max<size_t>(sections, 1))));
    bool converged = SettleSteps(max_steps, tolerance);
    if (!converged) {
        // Some lines keep swinging at ten times the model's longest step and
        // settle at its own (a line 10 degrees down whose closure follows its
        // flows: -142 Pa/m in 1 s steps, +400 after 200,000 steps of 10 s).
        integration.max_step = saved_max;
        planned_step = std::clamp(planned_step, integration.min_step, saved_max);
        converged = SettleSteps(max_steps / 2, tolerance);
    }
    integration.max_step = saved_max;
    integration.implicit_transport = saved_implicit;
    planned_step = std::clamp(planned_step, integration.min_step, integration.max_step);
    time = integration.start_time;
    steps = 0;
    last_step = 0;
    for (Plug& p : plugs) p.speed = 0;
    account = MassAccount{};
    account.initial = PhaseMass();
    return converged;
}

}  // namespace zefasim
