// Holdup: how the phases share a face's mixture flow. With a fixed slip ratio
// the gas's share of what leaves a section is raised by SLIP; with drift flux
// (model_holdup_drift.cpp) the gas moves at C0 j + u_d, carried with the
// mixture by C0 and drifting up the slope between sections by u_d. In a
// flowing line C0 and the drift blend into those of the flowing-line
// correlation (model_holdup_flowing.cpp).

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "step.h"

namespace zefasim {

namespace step {

namespace {
// Under DRIFTLEVEL a step whose flows move by more than this share of the
// branch's largest is solved again with the shares taken midway between the
// flows they were taken at and the step's own. Taken at the step's own, the
// second solve's flows moved as far again where the gas stalls behind a sealed
// low point (a face's added flow is there nearly all gas): the flowline
// example's sections took an odd-even mode of held holdups 0.09 and 0.35
// side by side, and the riser slugging example's cycle peaks spread over 83
// to 137 kg/s. The shares answer the flow within the step, not over steps:
// down a gentle slope the stratified balance's gas flux at a fixed holdup falls
// as the mixture flow rises, until the liquid runs as fast as the gas, and
// rises steeply beyond (the export line example, a section of gas fraction
// 0.80: 0.41, 0.36, 0.78 and 1.55 kg/s of gas at 6.5, 7.25, 8 and 10 kg/s).
// Taken at the last step's flow, the face after a fuller section swings
// across that bend every step (8.1 and 11.2 kg/s, its first solves at 21 to
// 27), at steps of 0.5 s as of 2 s. Shares linear in the flow within the solve
// settled those faces only as chords over half the flow either side (a
// tangent's extrapolation drained sections of their gas), at two closure
// solves a face: more than solving again costs.
constexpr double kShareFlowMoved = 1e-2;
// Solves of a step at most: the first, then solved again with each moved
// face's share flow stepped towards the flow that gives itself, while a flow
// still moves by more than kShareFlowSettled of the largest. Solved only once
// more (halfway), a line in transit swung from step to step at 1 s steps (the
// flowline example's face flows 1.4 to 12 kg/s about a mean of 4.3, and smooth
// at 0.1 s steps): the face's flow falls more steeply with its share flow than
// a halfway step damps.
constexpr int kShareSolves = 5;
constexpr double kShareFlowSettled = 5e-2;
}  // namespace

Phases FlowShares(const Phases& m, double slip) {
    Phases x = Fractions(m);
    double d = slip * x[kGas] + x[kOil] + x[kWater];
    if (!(d > 0)) return {0, 0, 0};
    return {slip * x[kGas] / d, x[kOil] / d, x[kWater] / d};
}

bool SharesKept(const BranchScratch& w, int j) {
    return static_cast<size_t>(j) < w.share_kept.size() && w.share_kept[j];
}

namespace {

// Gas mass flow (magnitude, kg/s) of the drift relative to the mixture.
double DriftMassFlow(const SectionDrift& s, double area, const DriftFlux& d) {
    double denom = s.rho_liquid * (1 - s.alpha * d.c0) + s.rho_gas * s.alpha * d.c0;
    if (!(denom > 0)) return 0;
    return s.rho_gas * s.rho_liquid * s.alpha * std::fabs(d.drift) * area / denom;
}

// Mixture volumetric flux j = u_sg + u_sl (m/s) of flow g through section i, at
// the volume per mass of what flowed there in the last step (at the in-situ
// density before anything flowed).
double MixtureFlux(const BranchStep& s, int i, double g, double area) {
    if (s.w.sd[i].v_flow > 0) return g * s.w.sd[i].v_flow / area;
    return s.w.st[i].rho_mix > 1e-9 ? g / (s.w.st[i].rho_mix * area) : 0;
}

// Shares of the phases in what the mixture flow g carries out of section i
// (the gas faster by C0). `start`, where given, starts the near-horizontal
// closure's solve and receives its gas share.
Phases DriftShares(const BranchStep& s, int i, double g, GasShareStart* start = nullptr) {
    const Branch& br = s.br;
    const SectionDrift& d = s.w.sd[i];
    const Section& sec = br.sections[i];
    double jm = MixtureFlux(s, i, g, sec.area);
    DriftFlux df =
        ShiDriftFlux(d.alpha, jm, d.fluid, br.section_drift_incl[i], sec.dz / sec.length);
    double ac = d.alpha * df.c0;  // the gas's share of the volume flowing
    if (d.weight > 0) {
        double as = d.slip * d.alpha / (d.slip * d.alpha + 1 - d.alpha);
        ac = std::min(1.0, ac) + d.weight * (as - std::min(1.0, ac));
    }
    if (d.level > 0) {
        const double w = d.level * NearHorizontalRateWeight(jm, d.fluid);
        if (w > 0) {
            const double as = StratifiedGasShare(s, i, g, start);
            ac = std::min(1.0, ac) + w * (as - std::min(1.0, ac));
        }
    }
    double denom = d.rho_liquid * (1 - ac) + d.rho_gas * ac;
    double xg = denom > 0 ? std::clamp(d.rho_gas * ac / denom, 0.0, 1.0) : 1.0;
    const bool liquid = br.mass[i][kOil] + br.mass[i][kWater] > 0, gas = br.mass[i][kGas] > 0;
    // An empty section (drained to a vacuum) gives nothing, as without slip:
    // a share of a phase it does not hold would overdraw it at any step.
    if (!liquid && !gas) return Phases{0, 0, 0};
    if (!liquid) xg = 1;
    if (!gas) xg = 0;
    return Phases{xg, (1 - xg) * d.oil_share, (1 - xg) * (1 - d.oil_share)};
}

// A bound (m/s) of the slope in alpha of the gas's volumetric flux alpha (C0 j
// + u_d) of ShiDriftFlux at fixed j, over every alpha, without the downflow
// and annular parameters. alpha C0 rises by C0 + alpha dC0 at most 1.2 + 0.69
// (alpha dgamma <= 1 / 0.7); alpha C0 k h(alpha C0) u_c m (h = (1 - x) / (1 -
// x (1 - r)), r = sqrt(rho_g / rho_l), |h'| <= 1 / r) by 3.2 * 1.89 for C0
// rising, 1.2 (1.05 + 0.21 * 1.93 / 0.15) = 4.49 for k and 3.2 * 1.89 / r for
// h, each piece of the law's clamps within these.
double ShiGasFluxSlopeBound(double j, const DriftFluid& fl, double incl_factor) {
    return 1.9 * std::fabs(j) + fl.vc * incl_factor * (10.6 + 6.1 / fl.root_ratio);
}

// The speed (m/s) of the void wave in section i at mixture flow g: the slope
// of the gas's volumetric flux alpha (C0 j + u_d) in alpha at fixed mixture
// flux j; none where a correlation blends into the shares, and none where its
// bound keeps the wave's Courant number within kExplicitShare (there it cannot
// raise the section's implicit share).
double VoidWaveSpeed(const BranchStep& s, int i, double g) {
    const SectionDrift& d = s.w.sd[i];
    if (d.weight > 0 || d.level > 0 || !d.fluid.valid) return 0;
    const Section& sec = s.br.sections[i];
    const double jm = MixtureFlux(s, i, g, sec.area), sin_incl = sec.dz / sec.length;
    const double incl = s.br.section_drift_incl[i];
    const bool blended = d.fluid.annular > 0 || (d.fluid.laplace > 0 && jm * sin_incl < 0);
    // (1.01: room for the difference's rounding.)
    if (!blended &&
        1.01 * s.dt * ShiGasFluxSlopeBound(jm, d.fluid, incl) <= kExplicitShare * sec.length)
        return 0;
    auto gas_flux = [&](double alpha) {
        const DriftFlux df = ShiDriftFlux(alpha, jm, d.fluid, incl, sin_incl);
        return alpha * (df.c0 * jm + df.drift);
    };
    constexpr double kDelta = 1e-6;
    const double lo = std::max(0.0, d.alpha - kDelta), hi = std::min(1.0, d.alpha + kDelta);
    return std::fabs(gas_flux(hi) - gas_flux(lo)) / (hi - lo);
}

FaceSide SectionSide(const BranchStep& s, int i, double g, GasShareStart& start) {
    const SectionState& st = s.w.st[i];
    FaceSide f;
    f.p = st.p;
    f.rho = st.rho_mix;
    f.mu = st.mu_mix;
    f.temp_k = st.temp_k;
    f.rho_phase = {st.rho_gas, st.rho_oil, st.rho_water};
    f.phi =
        s.drift_model ? DriftShares(s, i, g, &start) : FlowShares(s.br.mass[i], s.model.fluid.slip);
    f.v_ns = NoSlipVolume(f.phi, f.rho_phase);
    return f;
}

// Drift of the gas up the slope and of the liquid down it across inner face j:
// Godunov's flux of the drift law, gas from the lower section, liquid from the upper.
void DriftAcrossFace(BranchStep& s, int j) {
    const Branch& br = s.br;
    BranchScratch& w = s.w;
    const FaceGeometry& fg = br.face_geometry[j];
    double sin_incl = fg.sin_incl, incl = fg.drift_incl;
    if (sin_incl == 0) return;
    int lower = sin_incl > 0 ? j - 1 : j, upper = sin_incl > 0 ? j : j - 1;
    double area = fg.area;
    const double g = w.g_share[j];
    int donor = g >= 0 ? j - 1 : j;
    double jm = MixtureFlux(s, donor, g, area);
    const SectionDrift& lo_s = w.sd[lower];
    const SectionDrift& up_s = w.sd[upper];
    // What the near-horizontal closure leaves of the drift where the mixture flows.
    const double level = lo_s.level > 0 && up_s.level > 0 ? std::min(lo_s.level, up_s.level) : 0;
    const double kept = 1 - level * NearHorizontalRateWeight(jm, lo_s.fluid);
    const double taper =
        level > 0 ? NearHorizontalDriftTaper(s, donor, level, g, area, sin_incl) : 1;
    // Near horizontal under DRIFTLEVEL a stalled stratified layer drains by
    // gravity (not evaluated where the closure leaves less than 1e-4 of it).
    const bool layer = s.model.fluid.holdup_model == kHoldupDriftLevel && kept > 1e-4;
    auto flow_of = [&](const SectionDrift& sd, int i) {
        DriftFlux df = ShiDriftFlux(sd.alpha, jm, sd.fluid, incl, sin_incl);
        df.drift *= taper;
        if (layer) df.drift = LayerDrift(s, i, sd, sin_incl, jm, df, taper);
        return DriftMassFlow(sd, area, df);
    };
    double f_lo = flow_of(lo_s, lower), f_up = flow_of(up_s, upper), d;
    if (lo_s.alpha <= up_s.alpha) {
        d = std::min(f_lo, f_up);
    } else {
        SectionDrift mid;
        mid.alpha = (lo_s.alpha + up_s.alpha) / 2;
        mid.rho_gas = (lo_s.rho_gas + up_s.rho_gas) / 2;
        mid.rho_liquid = (lo_s.rho_liquid + up_s.rho_liquid) / 2;
        mid.fluid = ShiDriftFluid(mid.rho_gas, mid.rho_liquid, s.model.fluid.surface_tension,
                                  lo_s.fluid.laplace > 0 ? fg.diameter : 0);
        mid.fluid.annular = (lo_s.fluid.annular + up_s.fluid.annular) / 2;
        d = std::max({f_lo, f_up, flow_of(mid, lower)});
    }
    if (lo_s.weight > 0 && up_s.weight > 0)
        d *= 1 - std::min(lo_s.weight, up_s.weight);  // a flowing line follows its correlation
    d *= kept;  // so does one near horizontal under drift flux
    if (!(d > 0) || br.mass[lower][kGas] <= 0 || br.mass[upper][kOil] + br.mass[upper][kWater] <= 0)
        return;
    double sign = sin_incl > 0 ? 1.0 : -1.0;  // gas moves from lower to upper
    double oil = w.sd[upper].oil_share;
    w.drift[j] = {sign * d, -sign * d * oil, -sign * d * (1 - oil)};
}

// Where the mixture leaves the branch at end face j the drift still separates
// the phases: of what the outflow carries, the phase drifting back in is
// reduced by the drift (never below none).
void DriftAtEnd(BranchStep& s, int j) {
    const Branch& br = s.br;
    BranchScratch& w = s.w;
    const int n = s.n;
    if (w.closed[j]) return;
    int i = j == 0 ? 0 : n - 1;
    double g = w.g_share[j];
    if ((j == 0 && g >= 0) || (j == n && g <= 0)) return;  // not outflow
    const Section& sec = br.sections[i];
    double sin_incl = sec.dz / sec.length;
    if (sin_incl == 0) return;
    double jm = MixtureFlux(s, i, g, sec.area);
    DriftFlux df =
        ShiDriftFlux(w.sd[i].alpha, jm, w.sd[i].fluid, br.section_drift_incl[i], sin_incl);
    double d = DriftMassFlow(w.sd[i], sec.area, df);
    if (w.sd[i].weight > 0) d *= 1 - w.sd[i].weight;
    if (w.sd[i].level > 0)
        d *= (1 - w.sd[i].level * NearHorizontalRateWeight(jm, w.sd[i].fluid)) *
             NearHorizontalDriftTaper(s, i, w.sd[i].level, g, sec.area, sin_incl);
    Phases phi = DriftShares(s, i, g);
    double gas_out = std::fabs(g) * phi[kGas], liquid_out = std::fabs(g) - gas_out;
    double sign = sin_incl > 0 ? 1.0 : -1.0;  // gas drift along +x
    bool gas_drifts_out = (j == n) == (sign > 0);
    d = std::min(d, gas_drifts_out ? liquid_out : gas_out);
    if (!(d > 0)) return;
    double oil = w.sd[i].oil_share;
    w.drift[j] = {sign * d, -sign * d * oil, -sign * d * (1 - oil)};
}

}  // namespace

FaceSide BoundarySide(const Model& m, int bi, double pressure) {
    const Boundary& bd = m.boundaries[bi];
    FaceSide f;
    f.p = pressure;
    f.phi = Model::Composition(bd.gas_fraction, bd.water_fraction);
    FluidAt(m.fluid, f.phi, pressure, bd.temperature, f.rho, f.mu);
    f.temp_k = bd.temperature + kKelvin;
    const Fluid& fl = m.fluid;
    double scale = 1.0 - (pressure - kReferencePressure) / fl.bulk_modulus;
    f.rho_phase = {std::max(pressure, 1.0) * fl.gas_mw / (kGasConstant * std::max(1.0, f.temp_k)),
                   fl.oil_density / scale, fl.water_density / scale};
    f.v_ns = NoSlipVolume(f.phi, f.rho_phase);
    return f;
}

void DescribeSectionDrift(BranchStep& s, int i) {
    const SectionState& st = s.w.st[i];
    SectionDrift& d = s.w.sd[i];
    double liquid = st.alpha[kOil] + st.alpha[kWater];
    d.alpha = st.alpha[kGas];
    d.rho_gas = st.rho_gas;
    d.rho_liquid = liquid > 0
                       ? (st.alpha[kOil] * st.rho_oil + st.alpha[kWater] * st.rho_water) / liquid
                       : st.rho_oil;
    double ml = s.br.mass[i][kOil] + s.br.mass[i][kWater];
    d.oil_share = ml > 0 ? s.br.mass[i][kOil] / ml : 1.0;
    // The default law takes steep downflow's parameters from the pipe's diameter;
    // DRIFTFLUX by name stays the published law as it stands.
    const bool default_law = s.model.fluid.holdup_model == kHoldupDriftLevel;
    d.fluid = ShiDriftFluid(d.rho_gas, d.rho_liquid, s.model.fluid.surface_tension,
                            default_law ? s.br.sections[i].diameter : 0);
    if (default_law) d.fluid.annular = AnnularWeight(s, i);
}

namespace {

// How far the near-horizontal closure governs section i: by its slope along
// the flow the shares are taken at; beside a low point, where the liquid pools
// under the seal (model_transport.cpp), not at all.
double SectionLevel(const BranchStep& s, int i) {
    if (s.model.fluid.holdup_model != kHoldupDriftLevel || LowPoint(s.br, i) ||
        LowPoint(s.br, i + 1))
        return 0;
    const Section& sec = s.br.sections[i];
    const double along = s.w.g_share[i] + s.w.g_share[i + 1] >= 0 ? 1 : -1;
    return NearHorizontalWeight(along * sec.dz / sec.length);
}

}  // namespace

void DescribeDrift(BranchStep& s) {
    BranchScratch& w = s.w;
    const bool resolve = w.share_resolve;
    w.share_resolve = false;
    if (resolve) {
        // Solved again, the sections hold what they held: where none of them
        // turned its slope along the flow, they are described as before (a
        // section between two faces that kept their flows cannot have turned).
        bool same = true;
        for (int i = 0; i < s.n && same; ++i)
            same =
                (SharesKept(w, i) && SharesKept(w, i + 1)) || SectionLevel(s, i) == w.sd[i].level;
        if (same) return;
    } else {
        w.g_share.assign(s.br.flow.begin(), s.br.flow.end());
        w.share_kept.clear();
        w.share_solves = 0;
        w.share_tried.assign(s.n + 1, std::numeric_limits<double>::quiet_NaN());
        w.share_gave.assign(s.n + 1, 0.0);
    }
    w.sd.resize(s.n);
    const bool flowing = s.model.fluid.holdup_model == kHoldupBeggsBrill;
    const bool default_law = s.model.fluid.holdup_model == kHoldupDriftLevel;
    GasShareStart level_start;
    for (int i = 0; i < s.n; ++i) {
        DescribeSectionDrift(s, i);
        SectionDrift& d = w.sd[i];
        if (flowing) {
            DescribeFlowingHoldup(s, i);
        } else {
            d.weight = 0, d.slip = 1, d.friction = 1, d.v_flow = 0;
        }
        const double level = d.level, layered = d.layered;
        d.level = SectionLevel(s, i);
        d.friction_fixed = 0;
        if (d.level > 0)
            NearHorizontalFriction(s, i, d);
        else if (default_law)
            d.friction = SteepDownFriction(s, i);
        d.layered = d.level > 0 ? StratifiedLayerWeight(s, i, level_start) : 0;
        // A section whose closure weights moved gives its faces new shares and drift.
        if (resolve && (d.level != level || d.layered != layered))
            w.share_kept[i] = w.share_kept[i + 1] = 0;
    }
}

namespace {

// The next flow at which face j's shares are taken, from the flow they were
// taken at and the one the solve's first pass gave: three tenths of the way at
// the first solve again; after that the secant through the face's last two
// solves towards the flow that gives itself (the face's own flow dominates the
// response of its flow to its shares), kept between a twentieth and all of the
// way to the one given.
double ShareFlowTowards(BranchScratch& w, int j) {
    const double tried = w.g_share[j], gave = w.g_new[j], miss = gave - tried;
    double step = 0.3;
    if (!std::isnan(w.share_tried[j])) {
        const double slope = miss - (w.share_gave[j] - w.share_tried[j]);
        if (slope != 0) step = std::clamp(-(tried - w.share_tried[j]) / slope, 0.05, 1.0);
    }
    w.share_tried[j] = tried;
    w.share_gave[j] = gave;
    return tried + step * miss;
}

}  // namespace

bool TakeSharesAtNewFlows(BranchStep& s) {
    BranchScratch& w = s.w;
    if (s.model.fluid.holdup_model != kHoldupDriftLevel) return false;
    bool level = false;
    for (int i = 0; i < s.n && !level; ++i) level = w.sd[i].level > 0;
    if (!level) return false;
    // Flows below 1e-3 kg/s (or of the branch's largest) count as none.
    double scale = 1e-3, moved = 0;
    for (int j = 0; j <= s.n; ++j) scale = std::max(scale, std::fabs(w.g_new[j]));
    for (int j = 0; j <= s.n; ++j) moved = std::max(moved, std::fabs(w.g_new[j] - w.g_share[j]));
    const double settled = w.share_solves > 0 ? kShareFlowSettled : kShareFlowMoved;
    if (!(moved > settled * scale) || ++w.share_solves >= kShareSolves) return false;
    // A face whose flow moved by less than that keeps its flow, and with it
    // (where the sections beside it keep their closure weights, DescribeDrift)
    // its sides' shares and its drift: the ends, whose drift is capped by the
    // outflow, and the low points, whose shares and drift are pooled, are
    // taken again.
    w.share_kept.assign(s.n + 1, 0);
    for (int j = 0; j <= s.n; ++j) {
        if (std::fabs(w.g_new[j] - w.g_share[j]) > kShareFlowMoved * scale)
            w.g_share[j] = ShareFlowTowards(w, j);
        else
            w.share_kept[j] = j > 0 && j < s.n && !w.closed[j] && !LowPoint(s.br, j);
    }
    w.share_resolve = true;
    return true;
}

Phases SectionShares(const BranchStep& s, int i, double g, GasShareStart* start) {
    return s.drift_model ? DriftShares(s, i, g, start)
                         : FlowShares(s.br.mass[i], s.model.fluid.slip);
}

Phases DriftAcross(BranchStep& s, int j) {
    Phases kept = s.w.drift[j];
    s.w.drift[j] = Phases{0, 0, 0};
    if (j == 0 || j == s.n) {
        DriftAtEnd(s, j);
    } else {
        DriftAcrossFace(s, j);
    }
    std::swap(kept, s.w.drift[j]);
    return kept;
}

namespace {

// Whether face j's right (else left) side, the downwind section's under the
// closure, is taken from that section's upwind side at its other face: where
// the section passes the flow on through an inner face that is open. Its
// shares are then those of the flow leaving it rather than entering it (the
// same in a steady line; the face's momentum takes the section's no-slip
// volume from them): the export line example solved half as many shares.
bool CopiesSide(const BranchStep& s, int j, bool right) {
    const BranchScratch& w = s.w;
    const int i = right ? j : j - 1, other = right ? j + 1 : j - 1;
    if (j <= 0 || j >= s.n || other <= 0 || other >= s.n || !(w.sd[i].level > 0)) return false;
    // (And where the last step's flow ran the same way: before anything flowed
    // a face's fluid takes the side of the higher pressure, not the upwind one.)
    const double g = w.g_share[j], g_other = w.g_share[other], last = s.br.flow[j];
    if (right ? !(g > 0 && g_other > 0 && last > 0) : !(g < 0 && g_other < 0 && last < 0))
        return false;
    const int choke = s.br.choke[other];
    return choke < 0 || s.model.controllers[choke].opening > 1e-6;
}

}  // namespace

void SetFaceSides(BranchStep& s) {
    const Model& m = s.model;
    const Branch& br = s.br;
    BranchScratch& w = s.w;
    const int n = s.n;
    w.left.resize(n + 1);
    w.right.resize(n + 1);
    w.closed.assign(n + 1, 0);
    w.left_start.resize(n + 1);
    w.right_start.resize(n + 1);
    // (A face kept from the first solve keeps what it took from its neighbour.)
    const bool copies = s.drift_model && s.model.fluid.holdup_model == kHoldupDriftLevel &&
                        w.sd.size() == static_cast<size_t>(n);
    if (!copies)
        w.side_copied.clear();
    else if (w.share_resolve)
        w.side_copied.resize(n + 1, 0);
    else
        w.side_copied.assign(n + 1, 0);
    // Each closure share solved starts from the one before (the same section at
    // its other face, or the neighbouring section at the same flow).
    GasShareStart start;
    for (int j = 0; j <= n; ++j) {
        // (A face kept from the first solve is open: so is it now.)
        if (SharesKept(w, j)) continue;
        double g = s.drift_model ? w.g_share[j] : br.flow[j];
        if (copies) w.side_copied[j] = CopiesSide(s, j, false) ? 1 : CopiesSide(s, j, true) ? 2 : 0;
        const char copied = copies ? w.side_copied[j] : 0;
        if (j == 0) {
            if (br.inlet_boundary < 0 || s.shut || !m.boundaries[br.inlet_boundary].open) {
                w.closed[j] = 1;
            } else {
                w.left[j] =
                    BoundarySide(m, br.inlet_boundary, m.boundaries[br.inlet_boundary].pressure);
            }
        } else if (copied != 1) {
            w.left[j] = SectionSide(s, j - 1, g, start);
            w.left_start[j] = start;
        }
        if (j == n) {
            if (br.outlet_boundary < 0 || s.shut || !m.boundaries[br.outlet_boundary].open) {
                w.closed[j] = 1;
            } else {
                w.right[j] =
                    BoundarySide(m, br.outlet_boundary, m.boundaries[br.outlet_boundary].pressure);
            }
        } else if (copied != 2) {
            w.right[j] = SectionSide(s, j, g, start);
            w.right_start[j] = start;
        }
        if (br.choke[j] >= 0 && m.controllers[br.choke[j]].opening <= 1e-6) w.closed[j] = 1;
    }
    for (int j = 1; j < n && copies; ++j) {
        if (SharesKept(w, j) || w.side_copied[j] == 0) continue;
        if (w.side_copied[j] == 1) {
            w.left[j] = w.right[j - 1], w.left_start[j] = w.right_start[j - 1];
        } else {
            w.right[j] = w.left[j + 1], w.right_start[j] = w.left_start[j + 1];
        }
    }
}

void SolveTurnedSides(BranchStep& s) {
    BranchScratch& w = s.w;
    if (w.side_copied.size() != static_cast<size_t>(s.n + 1)) return;
    for (int j = 1; j < s.n; ++j) {
        const char copied = w.side_copied[j];
        // The side the transport and the derivatives take: the left one where
        // the flow runs right, else the right one.
        if (copied == 0 || (copied == 1) != (w.g_new[j] > 0)) continue;
        w.side_copied[j] = 0;
        if (copied == 1)
            w.left[j] = SectionSide(s, j - 1, w.g_share[j], w.left_start[j]);
        else
            w.right[j] = SectionSide(s, j, w.g_share[j], w.right_start[j]);
    }
}

void ComputeDrift(BranchStep& s) {
    BranchScratch& w = s.w;
    w.drift.resize(s.n + 1);
    for (int j = 0; j <= s.n; ++j)
        if (!SharesKept(w, j)) w.drift[j] = Phases{0, 0, 0};
    w.t_wave.assign(s.n, 0);
    if (!s.drift_model) return;
    for (int i = 0; i < s.n; ++i)
        w.t_wave[i] = s.dt * VoidWaveSpeed(s, i, (w.g_share[i] + w.g_share[i + 1]) / 2) /
                      s.br.sections[i].length;
    for (int j = 1; j < s.n; ++j)
        if (!w.closed[j] && !SharesKept(w, j)) DriftAcrossFace(s, j);
    for (int j : {0, s.n}) DriftAtEnd(s, j);
}

// At the branch ends the drift may take back no more than the new outflow
// carries of the phase drifting in (and nothing on inflow).
void CapEndDrift(BranchStep& s) {
    BranchScratch& w = s.w;
    const int n = s.n;
    for (int j : {0, n}) {
        if (w.drift[j][kGas] == 0) continue;
        double g = w.g_new[j];
        bool outflow = (j == 0 && g < 0) || (j == n && g > 0);
        const Phases& phi = g > 0 ? w.left[j].phi : w.right[j].phi;
        double gas_out = std::fabs(g) * phi[kGas], liquid_out = std::fabs(g) - gas_out;
        bool gas_drifts_out = (j == n) == (w.drift[j][kGas] > 0);
        double cap = outflow ? (gas_drifts_out ? liquid_out : gas_out) : 0.0;
        double d = std::fabs(w.drift[j][kGas]);
        if (!(d > cap)) continue;
        if (!(cap > 0)) {
            w.drift[j] = Phases{0, 0, 0};
            continue;
        }
        // The phases drifting back take back exactly what the outflow carries
        // of each (the end then passes none of them, not a rounding's worth of
        // either sign), and the others drift out as much mass.
        const double out_sign = j == n ? 1.0 : -1.0;
        double back = 0, out = 0;
        bool drifts_back[3];
        for (int k = 0; k < 3; ++k) {
            drifts_back[k] = w.drift[j][k] * out_sign < 0;
            if (drifts_back[k]) {
                w.drift[j][k] = -g * phi[k];
                back += w.drift[j][k];
            } else {
                out += w.drift[j][k];
            }
        }
        for (int k = 0; k < 3; ++k)
            if (!drifts_back[k]) w.drift[j][k] = out != 0 ? w.drift[j][k] * (-back / out) : 0.0;
    }
}

}  // namespace step

}  // namespace zefasim
