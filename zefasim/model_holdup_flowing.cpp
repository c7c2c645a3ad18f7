// Holdup of a flowing line: where the mixture moves well above the drift
// velocity, the phases share each section as the empirical correlation of Beggs
// and Brill (1973) has it for the section's rates, pipe and inclination: the
// gas moves S times as fast as the liquid, S = lambda_g H / (lambda_l (1 - H))
// with lambda the phases' shares of the mixture volumetric flux and H the
// correlation's holdup. The rates are those that entered the section in the
// last step (a section's own outflow would feed its holdup back into its rates).
// A slip ratio rather than a distribution coefficient on the gas: with C0 =
// lambda_g / (1 - H) near 1 in a wet-gas line the liquid's share, 1 - alpha C0,
// is a small difference that a change in the inflow amplifies from section to
// section; under a slip ratio it passes on damped, a section full of liquid
// passes no gas, and a holdup wave travels at no more than the gas velocity,
// which the step control bounds. Its two-phase friction becomes a multiplier of
// the mixture friction. Where the mixture is slow (a shut-in line, liquid
// falling back against the gas) the drift law of Shi et al. takes over, blended
// by the mixture velocity; evaluated once per section and step.

#include <algorithm>
#include <cmath>

#include "step.h"

namespace zefasim::step {

namespace {

// ln of the Froude number at which Beggs and Brill's patterns change (the
// limits L1 to L4 of their map), for ln(lambda_l).
double LnL1(double lnl) {
    return std::log(316.0) + 0.302 * lnl;
}
double LnL2(double lnl) {
    return std::log(0.0009252) - 2.4684 * lnl;
}
double LnL3(double lnl) {
    return std::log(0.1) - 1.4516 * lnl;
}
double LnL4(double lnl) {
    return std::log(0.5) - 6.738 * lnl;
}

enum Pattern { kSegregated = 0, kIntermittent = 1, kDistributed = 2 };

// Each pattern's horizontal holdup a lambda^b / Fr^c, as ln a, b, c, and its
// inclination coefficient ln(d lambda^e Nlv^f Fr^g) uphill, as ln d, e, f, g
// (the logarithms taken once, not per evaluation).
struct PatternTerms {
    double ln_a, b, c;
    double ln_d, e, f, g;
};
PatternTerms Terms(double a, double b, double c, double d, double e, double f, double g) {
    return {std::log(a), b, c, std::log(d), e, f, g};
}
const PatternTerms kTerms[3] = {Terms(0.98, 0.4846, 0.0868, 0.011, -3.768, 3.539, -1.614),
                                Terms(0.845, 0.5351, 0.0173, 2.96, 0.305, -0.4473, 0.0978),
                                Terms(1.065, 0.5824, 0.0609, 1, 0, 0, 0)};
const PatternTerms kDownhill = Terms(1, 0, 0, 4.70, -0.3692, 0.1244, -0.5056);

}  // namespace

BeggsBrillPipe BeggsBrillPipeOf(double rho_liquid, double sigma, double diameter, double sin18) {
    BeggsBrillPipe p;
    p.gd = kGravity * diameter;
    p.ln_gd = std::log(p.gd);
    p.ln_nlv_fluid = 0.25 * std::log(rho_liquid / (kGravity * sigma));
    p.sin18 = sin18;
    p.incline = sin18 - 0.333 * sin18 * sin18 * sin18;
    return p;
}

// The map's patterns blended without jumps: its limits meet where the map's
// own regions meet (L1 = L2 = L3 near lambda = 0.01, L1 = L4 at 0.4), so the
// segregated region ends at min(L1, L2), the intermittent one at min(L1, L4),
// the transition between them stays linear in Fr, and the steps that remain
// (to distributed flow, and from segregated to distributed below lambda = 0.01)
// are spread over Froude numbers within kBand (in ln Fr) of their limit, with a
// smoothstep; where L3 lies less than kBand above the segregated limit, the
// transition starts kBand below L3. A closure solved from a section's state needs the holdup to be
// a continuous function of the rates.
double BeggsBrillHoldup(const BeggsBrillPipe& p, double lam, double ln_lam, double vm,
                        double ln_vm) {
    constexpr double kBand = 0.15;
    const double lnl = ln_lam, lnfr = 2 * ln_vm - p.ln_gd;
    const double ln_nlv = ln_lam + ln_vm + p.ln_nlv_fluid;  // ln(vsl) + the fluid's part
    auto holdup = [&](int pattern) {
        const PatternTerms& t = kTerms[pattern];
        double h0 = std::max(lam, std::exp(t.ln_a + t.b * lnl - t.c * lnfr));
        if (p.sin18 == 0 || (p.sin18 > 0 && pattern == kDistributed)) return h0;
        const PatternTerms& k = p.sin18 > 0 ? t : kDownhill;
        double c = std::max(0.0, (1 - lam) * (k.ln_d + k.e * lnl + k.f * ln_nlv + k.g * lnfr));
        return h0 * (1 + c * p.incline);
    };
    auto smooth_step = [](double x) { return Smoothstep((x + 1) / 2); };  // 0 below -1, 1 above 1
    const double ln_seg = std::min(LnL1(lnl), LnL2(lnl)), ln_up = std::min(LnL1(lnl), LnL4(lnl));
    const double ln_int = std::clamp(LnL3(lnl), ln_seg, ln_up);
    const double to_dist = smooth_step((lnfr - ln_up) / kBand);
    double below = 0;  // segregated, transition or intermittent
    if (to_dist < 1) {
        // The transition, linear in Fr, spans at least kBand: all segregated
        // at or below its lower end, all intermittent at or above ln_int.
        const double ln_lo = std::min(ln_seg, ln_int - kBand);
        double a = lnfr <= ln_lo ? 1.0 : 0.0;
        if (lnfr > ln_lo && lnfr < ln_int) {
            const double lo = std::exp(ln_lo), hi = std::exp(ln_int);
            a = std::clamp((hi - vm * vm / p.gd) / (hi - lo), 0.0, 1.0);
        }
        below = a > 0 ? a * holdup(kSegregated) : 0;
        if (a < 1) below += (1 - a) * holdup(kIntermittent);
    }
    const double h = to_dist > 0 ? below + to_dist * (holdup(kDistributed) - below) : below;
    return std::clamp(h, 0.0, 1.0);
}

double BeggsBrillHoldup(const FlowingRates& r, double sin18) {
    const double vm = r.vsg + r.vsl, lam = r.vsl / vm;
    return BeggsBrillHoldup(BeggsBrillPipeOf(r.rho_liquid, r.sigma, r.diameter, sin18), lam,
                            std::log(lam), vm, std::log(vm));
}

double BeggsBrillFrictionRatio(double lambda_l, double holdup) {
    const double y = lambda_l / (holdup * holdup);
    if (!(y > 0)) return 1;
    const double ly = std::log(y);
    const double s =
        y > 1 && y < 1.2
            ? std::log(2.2 * y - 1.2)
            : ly / (-0.0523 + 3.182 * ly - 0.8725 * ly * ly + 0.01853 * ly * ly * ly * ly);
    return std::exp(s);
}

bool LastInflow(const BranchStep& s, int i, Phases& q, double& sign) {
    const Branch& br = s.br;
    if (br.flux.size() != br.sections.size() + 1) return false;
    sign = Sum(br.flux[i]) + Sum(br.flux[i + 1]) >= 0 ? 1.0 : -1.0;
    const Phases& face = sign > 0 ? br.flux[i] : br.flux[i + 1];
    for (int k = 0; k < 3; ++k) q[k] = sign * face[k] + std::max(0.0, s.w.src[i][k]);
    return true;
}

namespace {

// How far the correlation governs at the sine of the inclination along the
// flow: fully down to 14.5 degrees downhill, not at all below 30 degrees
// downhill (smoothly between). Steeper down, its holdup grows so fast with the
// mixture velocity (as the 2.6th power at 45 degrees) that the flow and the
// liquid it holds back feed each other and the line oscillates; the drift law
// holds there.
double SlopeWeight(double sin_flow) {
    return Smoothstep((sin_flow + 0.5) / 0.25);
}

// Ishii's annular parameters govern as the gas's superficial velocity rises from
// kAnnularFrom to kAnnularFrom + kAnnularSpan times the flooding velocity.
constexpr double kAnnularFrom = 1.5, kAnnularSpan = 1.5;
// By the sine of the slope along the flow: down from 20 degrees, fully from 30;
// up from 70 degrees, fully from 80 (below, in the flowline example's riser at
// 64 degrees, the film's drift made the derivatives' tangents run away from
// central differences, by up to 1e9 %).
constexpr double kDownFrom = 0.34202014332566873, kDownFull = 0.5;
constexpr double kUpFrom = 0.93969262078590838, kUpFull = 0.98480775301220806;

}  // namespace

namespace {

// Beggs and Brill at what entered section i in the last step: the inflow's
// direction, its volume per mass, and where both phases entered, the no-slip
// liquid share, how far the mixture outruns the drift (0..1: the correlation
// governs once it does by far) and the rates the correlation takes.
struct InflowTerms {
    double sign = 1, v_flow = 0, lam = 0, outruns = 0;
    FlowingRates r;
};
bool InflowOf(BranchStep& s, int i, InflowTerms& t) {
    const Section& sec = s.br.sections[i];
    const SectionState& st = s.w.st[i];
    SectionDrift& d = s.w.sd[i];
    if (d.geometry_sin != sec.dz / sec.length || d.sin18 == -2) {
        d.geometry_sin = sec.dz / sec.length;
        d.sin18 = std::sin(1.8 * std::asin(std::clamp(d.geometry_sin, -1.0, 1.0)));
    }
    Phases q;
    if (!d.fluid.valid || !LastInflow(s, i, q, t.sign)) return false;
    const double qg = q[kGas] / st.rho_gas;
    const double ql = q[kOil] / st.rho_oil + q[kWater] / st.rho_water;
    const double mass = Sum(q);
    if (!(mass > 0) || qg < 0 || ql < 0) return false;
    t.v_flow = (qg + ql) / mass;
    if (!(qg > 0) || !(ql > 0)) return false;
    t.r.vsg = qg / sec.area, t.r.vsl = ql / sec.area;
    t.r.rho_liquid = d.rho_liquid, t.r.sigma = s.model.fluid.surface_tension;
    t.r.diameter = sec.diameter;
    const double vm = t.r.vsg + t.r.vsl;
    t.lam = t.r.vsl / vm;
    const double v_ref = 2 * d.fluid.vc, x = (vm * vm) / (v_ref * v_ref);
    t.outruns = x * x / (1 + x * x);
    return true;
}

// Beggs and Brill's friction, f_ns e^S rho_ns vm^2 / (2 D), as a multiple of
// the mixture form f rho_m vm^2 / (2 D) at the correlation's holdup h (rho_ns:
// the no-slip density of what flows).
double CorrelationFrictionRatio(const SectionDrift& d, double lam, double h, double rho_ns) {
    const double rho_m = d.rho_liquid * h + d.rho_gas * (1 - h);
    return BeggsBrillFrictionRatio(lam, h) * rho_ns / rho_m;
}

}  // namespace

void DescribeFlowingHoldup(BranchStep& s, int i) {
    SectionDrift& d = s.w.sd[i];
    d.weight = 0, d.slip = 1, d.v_flow = 0, d.friction = 1;
    InflowTerms t;
    const bool both = InflowOf(s, i, t);
    d.v_flow = t.v_flow;  // volume per mass of what flows
    if (!both) return;
    d.weight = t.outruns * SlopeWeight(t.sign * d.geometry_sin);
    const double h = d.weight > 0 ? BeggsBrillHoldup(t.r, t.sign * d.sin18) : 0;
    if (!(h < 1) || !(h > 0)) {
        d.weight = 0;
        return;
    }
    d.slip = (1 - t.lam) * h / (t.lam * (1 - h));
    d.friction = 1 + d.weight * (CorrelationFrictionRatio(d, t.lam, h, 1 / t.v_flow) - 1);
}

// Steeply down the flow (from 20 degrees, in full from 30) the default law
// keeps the drift law's holdup, but its mixture friction f rho_m j|j| / (2 D)
// falls short of Beggs and Brill's two-phase friction where the liquid runs
// ahead of the gas (45 degrees down at 2.75 / 0.32 m/s of gas / liquid, a
// fifth of it: the holdup under half the no-slip share, e^S = 3.2). Their
// multiplier is taken at the correlation's holdup for the last step's rates,
// as the flowing law takes it: so it follows the rates alone and the mixture
// form's rho_m carries the section's own holdup. At the section's holdup the
// factor rises as that holdup falls (y = lambda_l / H^2 grows, rho_m falls),
// and a section holding too little liquid would lose weight and gain friction
// at once (90 degrees down at 15.5 / 0.08 m/s, holdup 34 % low: +149 %).
double SteepDownFriction(BranchStep& s, int i) {
    const Section& sec = s.br.sections[i];
    InflowTerms t;
    if (std::fabs(sec.dz) < kDownFrom * sec.length || !InflowOf(s, i, t)) return 1;
    const double down = -t.sign * sec.dz / sec.length;
    const double w = t.outruns * Smoothstep((down - kDownFrom) / (kDownFull - kDownFrom));
    if (!(w > 0)) return 1;
    const SectionDrift& d = s.w.sd[i];
    // Where the correlation's downhill correction leaves it no liquid (45
    // degrees down at low rates) its friction is taken at the limit of a
    // vanishing holdup, e^S -> 1 and rho_m -> rho_g, so the multiplier does
    // not jump there.
    const double h = BeggsBrillHoldup(t.r, t.sign * d.sin18);
    if (!(h < 1)) return 1;
    const double rho_ns = 1 / t.v_flow;
    const double ratio = h > 0 ? CorrelationFrictionRatio(d, t.lam, h, rho_ns) : rho_ns / d.rho_gas;
    return 1 + w * (ratio - 1);
}

double AnnularWeight(const BranchStep& s, int i) {
    const DriftFluid& fl = s.w.sd[i].fluid;
    const Section& sec = s.br.sections[i];
    Phases q;
    double sign = 1;
    // (Shallower than either slope's start, neither direction of flow gives any.)
    if (!(fl.film > 0) || !(fl.flooding > 0) || std::fabs(sec.dz) < kDownFrom * sec.length ||
        !LastInflow(s, i, q, sign))
        return 0;
    const double vsg = q[kGas] / (s.w.st[i].rho_gas * sec.area);
    const double sin_flow = sign * sec.dz / sec.length;
    const double slope = sin_flow < 0 ? (-sin_flow - kDownFrom) / (kDownFull - kDownFrom)
                                      : (sin_flow - kUpFrom) / (kUpFull - kUpFrom);
    return Smoothstep((vsg / fl.flooding - kAnnularFrom) / kAnnularSpan) * Smoothstep(slope);
}

double FrictionMultiplier(const BranchStep& s, int j) {
    if (s.w.sd.size() != static_cast<size_t>(s.n)) return 1;
    const int a = j > 0 ? j - 1 : 0, b = j < s.n ? j : s.n - 1;
    return (s.w.sd[a].friction + s.w.sd[b].friction) / 2;
}

}  // namespace zefasim::step

namespace zefasim {

// Annular flow in steep lines: where the gas outruns the flooding velocity the
// liquid rides as a film on the wall, sheared along by the gas core and pulled
// down the slope by its weight; Shi et al.'s profile coefficient tends to 1
// there and their drift to none, close to no slip, where a film holds 2 to 6
// times more. Ishii's (1977, ANL-77-47) annular parameters, for up- and
// downflow: C0 = 1 + (1 - alpha) / (alpha + sqrt((1 + 75 (1 - alpha)) /
// sqrt(alpha) rho_g / rho_l)) and a drift (C0 - 1) sqrt(g D drho (1 - alpha) /
// (0.015 rho_l)) up the slope (the film's weight against the interfacial
// friction 0.015), here with the weight's component along the pipe, g |sin|.
// Blended in by fl.annular (AnnularWeight: by the gas's superficial velocity
// in the last step, fixed over a step).
void BlendAnnular(double alpha, const DriftFluid& fl, double sin_incl, double& c0, double& ud) {
    const double w = fl.annular;
    if (!(w > 0) || !(alpha > 0) || !(alpha < 1)) return;
    const double r = fl.root_ratio * fl.root_ratio, liquid = 1 - alpha;
    const double core = std::sqrt((1 + 75 * liquid) / std::sqrt(alpha) * r);
    const double excess = liquid / (alpha + core);  // C0 - 1
    const double s = std::min(1.0, std::fabs(sin_incl));
    const double u = excess * fl.film * std::sqrt(liquid * s / 0.015);
    c0 += w * (1 + excess - c0);
    ud += w * (u - ud);
}

}  // namespace zefasim
