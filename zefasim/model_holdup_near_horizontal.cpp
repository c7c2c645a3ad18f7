// Holdup near horizontal under HOLDUP = DRIFTLEVEL (drift flux otherwise). The
// drift law's inclination factor vanishes at horizontal, where the phases would flow
// without slip; within kFullDeg of horizontal down the flow and up to kUpFullDeg
// up it (blended out by kNoneDeg and kUpNoneDeg) the gas's share of the volume a mixture flow
// carries is instead the one at which Beggs and Brill's correlation (with its patterns blended
// without jumps) gives the section's own holdup: solved from the section's gas fraction, phase
// densities, pipe and the flow's mass flux, so it is a smooth function of the state and the flow,
// and the derivatives, which evaluate the shares at perturbed masses, carry it.
// The closure replaces the drift law's shares and its drift between sections
// as far as it governs. Where the mixture moves slowly (a shut-in line, a
// gently falling line whose gas stalls behind a riser base sealed by liquid)
// the drift law holds, blended by the mixture flux: its drift then carries the
// liquid down the slope to the low point.

#include <algorithm>
#include <cmath>

#include "log_secant.h"
#include "step.h"

namespace zefasim::step {

namespace {

// Down the slope the closure governs within kFullDeg of horizontal and none
// beyond kNoneDeg: steeper down its holdup rises fast with the mixture flux, and
// the steady lines at 45 degrees down swung without settling under it. Up the
// slope it governs to kUpFullDeg, where the drift law held 26 to 79 % off Beggs
// and Brill at high gas rates, and none beyond kUpNoneDeg: governing the
// riser slugging example's riser (64 degrees), it held the riser's gas-lifted
// holdup at the correlation's, and the line no longer slugged.
constexpr double kFullDeg = 10, kNoneDeg = 20, kUpFullDeg = 45, kUpNoneDeg = 60;
// The closure governs half where the mixture flux is kRefVelocity times the
// drift law's characteristic velocity (about 0.8 m/s for oil and gas), 99 % at
// three times that: a line whose gas stalls (a riser base sealed by liquid)
// falls back to the drift law, whose drift carries the liquid down the slope.
constexpr double kRefVelocity = 6;

}  // namespace

double NearHorizontalWeight(double sin_incl) {
    const double deg = std::asin(std::clamp(std::fabs(sin_incl), 0.0, 1.0)) * 180 / kPi;
    if (sin_incl >= 0) return 1 - Smoothstep((deg - kUpFullDeg) / (kUpNoneDeg - kUpFullDeg));
    return 1 - Smoothstep((deg - kFullDeg) / (kNoneDeg - kFullDeg));
}

double NearHorizontalRateWeight(double j, const DriftFluid& fl) {
    if (!fl.valid) return 0;
    const double v_ref = kRefVelocity * fl.vc, x = (j * j) / (v_ref * v_ref);
    // None (continuously) below kNegligible, where it would move a share by
    // less than that: a shut-in line, whose mixture barely moves, spent five
    // sixths of its step solving for the correlation's share it then left out.
    constexpr double kNegligible = 1e-6;
    return std::max(0.0, (x * x / (1 + x * x) - kNegligible) / (1 - kNegligible));
}

namespace {

// The drift law's inclination factor rises as the sine's kDriftRise power from
// horizontal.
constexpr double kDriftRise = 0.24;

// What brings a law rising as the sine's `rise` power to linear in the sine up
// to kFullDeg. A face's drift takes it several times at its own sine (the
// taper, and the layer's drainage beside either section), so the last one is
// kept: the same value to the bit, at a comparison instead of a power.
double TaperRamp(double sin_incl, double rise) {
    static const double full = std::sin(kFullDeg * kPi / 180);
    thread_local double last_sin = std::nan(""), last_rise = std::nan(""), last = 1;
    if (sin_incl == last_sin && rise == last_rise) return last;
    last_sin = sin_incl, last_rise = rise;
    last = std::pow(std::min(1.0, std::fabs(sin_incl) / full), 1 - rise);
    return last;
}

}  // namespace

double NearHorizontalDriftTaper(const BranchStep& s, int i, double level, double g, double area,
                                double sin_incl) {
    // The drift law's inclination factor rises as the sine's 0.24th power from
    // horizontal: at 0.1 degree a third of its value at 10, which the slowest
    // steady line, whose flux leaves the drift law a third of the weight, took
    // as a jump of 40 % in holdup (18 % in 0.1 degree down the slope). Where
    // the mixture runs under the closure (in full from half its weight, at the
    // flux of what entered section i in the last step), up or down the slope,
    // its drift instead rises linearly with the sine up to kFullDeg. Where the
    // mixture stalls it is left whole: it carries the liquid to the low point
    // of a line whose gas stalls behind a riser base.
    Phases q;
    double sign = 1;
    const double up = std::fabs(g);
    if (!(up > 0) || !LastInflow(s, i, q, sign)) return 1;
    const SectionState& st = s.w.st[i];
    const double mass = std::fabs(q[kGas]) + std::fabs(q[kOil]) + std::fabs(q[kWater]);
    const double volume = std::fabs(q[kGas]) / st.rho_gas + std::fabs(q[kOil]) / st.rho_oil +
                          std::fabs(q[kWater]) / st.rho_water;
    if (!(mass > 0) || !std::isfinite(volume)) return 1;
    const double governs = Smoothstep(
        2 * level * NearHorizontalRateWeight(up * volume / (mass * area), s.w.sd[i].fluid));
    if (governs == 0) return 1;  // the drift law's own drift, without the power below
    return 1 - governs * (1 - TaperRamp(sin_incl, kDriftRise));
}

double NearHorizontalGoverns(double drift_taper, double sin_incl) {
    if (!(drift_taper < 1)) return 0;
    const double ramp = TaperRamp(sin_incl, kDriftRise);
    return ramp < 1 ? (1 - drift_taper) / (1 - ramp) : 0;
}

double NearHorizontalGasShare(const SectionDrift& d, double g, const Section& sec, double sigma,
                              GasShareStart* start) {
    const double alpha = std::clamp(d.alpha, 0.0, 1.0);
    if (!(alpha > 0) || !(alpha < 1) || !(d.rho_liquid > d.rho_gas) || g == 0) return alpha;
    const double mass_flux = std::fabs(g) / sec.area;
    const double sin_flow = (g > 0 ? 1 : -1) * sec.dz / sec.length;
    const double sin18 = std::sin(1.8 * std::asin(std::clamp(sin_flow, -1.0, 1.0)));
    const BeggsBrillPipe pipe = BeggsBrillPipeOf(d.rho_liquid, sigma, sec.diameter, sin18);
    // Solved in t = ln(lam), the logarithm of the liquid's share lam = 1 - ac of
    // the flow's volume: the correlation's holdup is close to a power of that
    // share (times a weaker power of the Froude number), so the logarithm of its
    // ratio to the section's holdup is nearly linear in t and rises with it.
    const double ln_holdup = std::log1p(-alpha);
    auto excess = [&](double t, double lam) {
        const double j = mass_flux / (d.rho_gas * (1 - lam) + d.rho_liquid * lam);
        const double h = BeggsBrillHoldup(pipe, lam, t, j, std::log(j));
        return std::log(std::max(h, 1e-300)) - ln_holdup;
    };
    // Between all liquid and nearly all gas flowing (gas shares 1e-9 and 1 - 1e-9).
    constexpr double kLeast = 1e-9;
    const double t_lo = std::log(kLeast), t_hi = std::log1p(-kLeast);
    // Secant steps from the start (a neighbouring face's share and slope, or no
    // slip) to a step of kTolerance in the share (the derivatives difference
    // shares perturbed by 1e-7 of the masses and flows).
    constexpr double kTolerance = 1e-10;
    const bool warm = start && start->share > kLeast && start->share < 1 - kLeast;
    double slope = warm && start->slope > 0 ? start->slope : 0.5;
    // In ln(lam) throughout (its holdup is close to a power of lam); a start
    // from a solve before at the logarithm it ended at.
    const double t = std::clamp(warm ? start->share_t : ln_holdup, t_lo, t_hi);
    const LogRoot root =
        RisingRootInLog(excess, t, slope, t_lo, t_hi, kTolerance, t_lo, false, false);
    if (root.end < 0) return 1 - kLeast;  // the correlation holds more even then
    if (root.end > 0) return kLeast;      // less even with all liquid flowing
    const double lam = root.lam;
    if (start) start->share = 1 - lam, start->slope = slope, start->share_t = root.v;
    return 1 - lam;
}

namespace {

// The closure's friction multiplier 1 - w + fixed of a section of holdup h for
// the phase flows q through it (kg/s), and `fixed`, the correlation's part.
double LevelFriction(const SectionDrift& d, const SectionState& st, double area, const Phases& q,
                     double& fixed) {
    fixed = 0;
    const double qg = std::fabs(q[kGas]) / st.rho_gas;
    const double ql = std::fabs(q[kOil]) / st.rho_oil + std::fabs(q[kWater]) / st.rho_water;
    const double h = 1 - d.alpha;
    if (!(qg > 0) || !(ql > 0) || !(h > 0) || !(h < 1)) return 1;
    const double lam = ql / (qg + ql), j = (qg + ql) / area;
    const double w = d.level * NearHorizontalRateWeight(j, d.fluid);
    const double rho_ns = d.rho_liquid * lam + d.rho_gas * (1 - lam);
    const double rho_m = d.rho_liquid * h + d.rho_gas * (1 - h);
    fixed = w * BeggsBrillFrictionRatio(lam, h) * rho_ns / rho_m;
    return 1 - w + fixed;
}

}  // namespace

void NearHorizontalFriction(const BranchStep& s, int i, SectionDrift& d) {
    d.friction = 1, d.friction_fixed = 0;
    const Branch& br = s.br;
    if (!(d.level > 0) || br.flux.size() != br.sections.size() + 1) return;
    // The rates of the last step through the section's downstream face.
    d.friction_face = Sum(br.flux[i]) + Sum(br.flux[i + 1]) >= 0 ? i + 1 : i;
    d.friction = LevelFriction(d, s.w.st[i], br.sections[i].area, br.flux[d.friction_face],
                               d.friction_fixed);
}

Phases NearHorizontalFrictionSlopes(const BranchStep& s, int i) {
    Phases slopes{0, 0, 0};
    const SectionDrift& d = s.w.sd[i];
    if (!(d.friction_fixed > 0)) return slopes;
    const Phases& q = s.br.flux[d.friction_face];
    const double size = std::fabs(q[kGas]) + std::fabs(q[kOil]) + std::fabs(q[kWater]);
    for (int k = 0; k < 3; ++k) {
        const double step = 1e-6 * (std::fabs(q[k]) + 1e-9 * size);
        if (!(step > 0)) continue;
        Phases up = q, down = q;
        up[k] += step, down[k] -= step;
        double unused;
        const double area = s.br.sections[i].area;
        const double slope = (LevelFriction(d, s.w.st[i], area, up, unused) -
                              LevelFriction(d, s.w.st[i], area, down, unused)) /
                             (2 * step);
        slopes[k] = std::isfinite(slope) ? slope : 0;
    }
    return slopes;
}

}  // namespace zefasim::step
