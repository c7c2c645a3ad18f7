// Stratified flow near horizontal under HOLDUP = DRIFTLEVEL. Where the gas
// flows over a smooth liquid layer, the closure's gas share of the volume a
// mixture flow carries is the one at which Taitel and Dukler's (1976)
// equilibrium momentum balance of the two layers holds at the section's own
// holdup: wall shear of either layer, interfacial shear (the gas's wall
// friction factor at the velocity of the gas relative to the liquid) and
// gravity along the slope. At a given holdup the layers' geometry is explicit
// (Biberg's wetted angle), so the balance is one equation in the share, at
// the same mass flux as Beggs and Brill's share is solved for. Where the gas
// runs fast enough to raise waves on the layer (Taitel and Dukler's
// Kelvin-Helmholtz criterion, smoothed) the share blends into Beggs and
// Brill's. Like Taitel and Dukler's map, the criterion is taken at the
// equilibrium level of the rates that flow (the last step's through the
// section), not at the level the section happens to hold: taken there, a
// fuller section's faster gas over a lower wave limit put it under Beggs and
// Brill and a leaner one under the balance, each consistent with its own
// holdup, and sections of one line settled at either.

#include <algorithm>
#include <cmath>

#include "fast_math.h"
#include "log_secant.h"
#include "step.h"

namespace zefasim::step {

namespace {

// What the balance takes of the fluids and the slope along the flow.
struct LayerFluid {
    double rho_l = 0, rho_g = 0, nu_l = 0, nu_g = 0, sin_flow = 0;
};

using Layers = StratifiedLayers;

// The layers' geometry of section `sec` at holdup h. The level solve of each
// section starts at the level solved for the one before, so the last geometry
// taken is kept: of the same pipe at the same holdup it is the same to the bit.
struct LayerGeometry {
    double holdup = -1, diameter = 0, area = 0, roughness = 0;
    double d_l = 0, d_g = 0, rough_l = 0, rough_g = 0, wall_l = 0, wall_g = 0, interface = 0;
    double a_g = 0, s_i = 0, level = 0, delta = 0;
};

const LayerGeometry& GeometryAt(const Section& sec, double h) {
    thread_local LayerGeometry g;
    if (g.holdup == h && g.diameter == sec.diameter && g.area == sec.area &&
        g.roughness == sec.roughness)
        return g;
    const double delta = StratifiedHalfAngle(h), dia = sec.diameter;
    double sin_delta = 0, cos_delta = 0;
    SinCosUpToPi(delta, sin_delta, cos_delta);
    const double a_l = sec.area * h, a_g = sec.area * (1 - h);
    const double s_l = dia * delta, s_g = dia * (kPi - delta), s_i = dia * sin_delta;
    g.holdup = h, g.diameter = dia, g.area = sec.area, g.roughness = sec.roughness;
    g.d_l = 4 * a_l / s_l, g.d_g = 4 * a_g / (s_g + s_i);
    g.rough_l = std::pow(sec.roughness / g.d_l / 3.7, 1.11);
    g.rough_g = std::pow(sec.roughness / g.d_g / 3.7, 1.11);
    g.wall_l = s_l / a_l, g.wall_g = s_g / a_g, g.interface = s_i * (1 / a_l + 1 / a_g);
    g.a_g = a_g, g.s_i = s_i, g.level = (1 - cos_delta) / 2;  // h_l / D
    g.delta = delta;
    return g;
}

// The layers of section `sec` at holdup h; false where they degenerate.
bool LayersAt(const Section& sec, const LayerFluid& f, double h, Layers& b) {
    const LayerGeometry& g = GeometryAt(sec, h);
    b.holdup = h;
    b.d_l = g.d_l, b.d_g = g.d_g, b.rough_l = g.rough_l, b.rough_g = g.rough_g;
    b.wall_l = g.wall_l, b.wall_g = g.wall_g, b.interface = g.interface;
    b.half_angle = g.delta;
    b.gravity = (f.rho_l - f.rho_g) * kGravity * f.sin_flow;
    const double cos_incl = std::sqrt(std::max(0.0, 1 - f.sin_flow * f.sin_flow));
    b.u_kh = (1 - g.level) *
             std::sqrt((f.rho_l - f.rho_g) * kGravity * cos_incl * g.a_g / (f.rho_g * g.s_i));
    return std::isfinite(b.d_l) && std::isfinite(b.d_g) && std::isfinite(b.interface);
}

// LayersAt, kept per section (w.balance_memo) along the slope upward: the
// shares are solved at the holdup the section holds at both its faces and
// again in a step solved again; along the slope downward only the gravity
// term turns (sin_flow = -sin exactly, so it is the same to the bit).
bool MemoLayersAt(const BranchStep& s, int i, const LayerFluid& f, double h, Layers& b) {
    using Memo = BranchScratch::BalanceMemo;
    BranchScratch& w = s.w;
    if (w.balance_memo.size() != static_cast<size_t>(s.n)) w.balance_memo.assign(s.n, Memo{});
    const Section& sec = s.br.sections[i];
    const double up = std::fabs(f.sin_flow);
    Memo& m = w.balance_memo[i];
    if (!(m.holdup == h && m.rho_l == f.rho_l && m.rho_g == f.rho_g && m.diameter == sec.diameter &&
          m.roughness == sec.roughness && m.sin_slope == up)) {
        LayerFluid upward = f;
        upward.sin_flow = up;
        m = {h, f.rho_l, f.rho_g, sec.diameter, sec.roughness, up, Layers{}};
        if (!LayersAt(sec, upward, h, m.layers)) {
            m.holdup = -1;
            return false;
        }
    }
    b = m.layers;
    if (f.sin_flow != up) b.gravity = -b.gravity;
    return true;
}

// The balance's residual, normalised by the sum of its terms' magnitudes, at
// the layers' velocities: positive where the gas drives the liquid faster
// than u_l.
double Residual(const Layers& b, const LayerFluid& f, double u_l, double u_g) {
    const double re_l = u_l * b.d_l / f.nu_l, re_g = u_g * b.d_g / f.nu_g;
    const double f_l = re_l > 0 ? LayerFriction(re_l, b.rough_l) : 0;
    const double f_g = re_g > 0 ? LayerFriction(re_g, b.rough_g) : 0;
    const double du = u_g - u_l;
    const double wall_l = f_l * f.rho_l * u_l * u_l / 8 * b.wall_l;
    const double wall_g = f_g * f.rho_g * u_g * u_g / 8 * b.wall_g;
    const double shear = f_g * f.rho_g * du * std::fabs(du) / 8 * b.interface;
    const double scale = wall_l + wall_g + std::fabs(shear) + std::fabs(b.gravity);
    return scale > 0 ? (wall_g + shear - wall_l - b.gravity) / scale : 0;
}

// The liquid's share is solved between kLeast and 1 - kLeast, to a secant step of kTolerance.
constexpr double kLeast = 1e-9, kTolerance = 1e-10;

// Taitel and Dukler's balance governs within kFullDeg of horizontal, blended
// into Beggs and Brill's by kNoneDeg: at 10 degrees, where the closure still
// governs, Beggs and Brill hold the steady lines to their data (downhill the
// balance's fast thin layer gave half their holdup and lines that did not settle).
constexpr double kFullDeg = 1, kNoneDeg = 3;

double SlopeWeight(double sin_flow) {
    static const double full = std::sin(kFullDeg * kPi / 180),
                        none = std::sin(kNoneDeg * kPi / 180);
    return 1 - Smoothstep((std::fabs(sin_flow) - full) / (none - full));
}

// The layer's balance governs while the gas at the rates' equilibrium level
// runs below kStable times Taitel and Dukler's Kelvin-Helmholtz velocity there
// and Beggs and Brill's above kWavy times it (smoothstep between), the band
// ending at their criterion. The level is taken as in a horizontal pipe: at
// low rates the slope moves it steeply within the degree where the balance
// governs (the slowest steady line: 0.24 at 0.5 degree down, 0.63 at 0.1 up),
// which switched that line between the balance and Beggs and Brill within
// 0.1 degree of tilt; the balance itself keeps the slope. With the band at
// 0.3 to 0.6 the riser slugging example's flowline stayed under Beggs and
// Brill and its riser base swung by 62 % of the riser's head, not 80 %.
constexpr double kStable = 0.7, kWavy = 1.0;

// The fluids of section i, the slope taken along `sign` (none at 0); false
// where the balance does not apply.
bool FluidOf(const BranchStep& s, int i, double sign, LayerFluid& f) {
    const SectionDrift& d = s.w.sd[i];
    const Section& sec = s.br.sections[i];
    const Fluid& fl = s.model.fluid;
    const SectionState& st = s.w.st[i];
    const double liquid = st.alpha[kOil] + st.alpha[kWater];
    const double mu_l =
        liquid > 0
            ? (st.alpha[kOil] * fl.oil_viscosity + st.alpha[kWater] * fl.water_viscosity) / liquid
            : fl.oil_viscosity;
    if (!(mu_l > 0) || !(fl.gas_viscosity > 0) || !(d.rho_liquid > d.rho_gas) || !(d.rho_gas > 0) ||
        !(sec.diameter > 0))
        return false;
    f.rho_l = d.rho_liquid, f.rho_g = d.rho_gas;
    f.nu_l = mu_l / d.rho_liquid, f.nu_g = fl.gas_viscosity / d.rho_gas;
    f.sin_flow = sign * sec.dz / sec.length;
    return true;
}

// The weight of the layers' balance by Taitel and Dukler's equilibrium
// level of the superficial velocities u_sg, u_sl, the level solved from
// `start` (else from the holdup `held`), which receives it.
double SolvedLayerWeight(const Section& sec, const LayerFluid& f, double u_sg, double u_sl,
                         double held, GasShareStart& start) {
    // Taitel and Dukler's equilibrium level, solved in ln(h): the balance
    // rises with the holdup (the liquid slows, the gas speeds up), and so
    // does the gas's velocity over its wave limit. Where an evaluation's sign
    // puts the root beyond a level that is already past an end of the band
    // (the root above a wavy level, or below a stable one), the weight is 0
    // or 1 whatever the root, and the solve stops there (`decided`: -1 or +1;
    // the flowline example: 45 % of the solves, the weight as the solved
    // root's in every one).
    Layers b;
    bool valid = true;
    int decided = 0;
    auto rising = [&](double h) {
        valid = LayersAt(sec, f, h, b) && valid;
        const double r = Residual(b, f, u_sl / h, u_sg / (1 - h));
        if (valid && b.u_kh > 0) {
            const double ratio = u_sg / (1 - h) / b.u_kh;
            decided = r <= 0 && ratio >= kWavy ? -1 : r >= 0 && ratio <= kStable ? 1 : 0;
            if (decided != 0) return 0.0;
        }
        return r;
    };
    constexpr double kLeastHoldup = 1e-6;
    const double t_lo = std::log(kLeastHoldup), t_hi = std::log1p(-kLeastHoldup);
    // Started from the level solved for the section before in this sweep, else
    // from the holdup the section holds: both follow from the state alone, so a
    // run restored from a snapshot repeats the run it was taken from. The
    // weight's smoothstep needs the level only to a few digits: a secant step
    // below 1e-4 ends the solve (on the flowline example the level then lies
    // within 1.4e-5 of the root and the weight within 1.3e-4 of the root's).
    const bool warm = start.layers > kLeastHoldup && start.layers < 1 - kLeastHoldup;
    double slope = warm && start.layers_slope > 0 ? start.layers_slope : 1;
    const double from = warm                  ? start.layers
                        : held > kLeastHoldup ? held
                                              : std::max(u_sl, 1e-300) / (u_sl + u_sg);
    // (One call of the solve, so that it is inlined with the balance.)
    const double v0 =
        warm ? start.layers_v : log_share::VOfT(std::clamp(std::log(from), t_lo, t_hi));
    const LogRoot root = RisingRootFrom(rising, v0, warm ? start.layers : -1.0, slope, t_lo, t_hi,
                                        1e-4, t_lo, false);
    const double h = root.end < 0 ? kLeastHoldup : root.end > 0 ? 1 - kLeastHoldup : root.lam;
    if (decided != 0) {                             // the solve's last secant is not the balance's
        start.layers = h, start.layers_v = root.v;  // (the solve ended inside: end 0)
        return decided > 0 ? 1 : 0;
    }
    if (root.end == 0) start.layers = h, start.layers_slope = slope, start.layers_v = root.v;
    if (!LayersAt(sec, f, h, b) || !valid || !(b.u_kh > 0)) return 0;
    const double ratio = u_sg / (1 - h) / b.u_kh;
    return 1 - Smoothstep((ratio - kStable) / (kWavy - kStable));
}

}  // namespace

double StratifiedLayerWeight(const BranchStep& s, int i, GasShareStart& start) {
    const Section& sec = s.br.sections[i];
    const double slope_weight = SlopeWeight(sec.dz / sec.length);
    if (!(slope_weight > 0)) return 0;
    // The rates that flowed through the section in the last step (through
    // either face, the larger: a source's section passes its flow through one
    // face); before any flowed, its own phases flowing without slip
    // at the flow its shares are taken at.
    const SectionState& st = s.w.st[i];
    const Branch& br = s.br;
    double u_sg = 0, u_sl = 0;
    if (br.flux.size() == br.sections.size() + 1) {
        const Phases &in = br.flux[i], &out = br.flux[i + 1];
        auto most = [&](int k) { return std::max(std::fabs(in[k]), std::fabs(out[k])); };
        u_sg = most(kGas) / st.rho_gas;
        u_sl = most(kOil) / st.rho_oil + most(kWater) / st.rho_water;
    }
    if (!(u_sg + u_sl > 0)) {
        const double g = std::max(std::fabs(s.w.g_share[i]), std::fabs(s.w.g_share[i + 1]));
        const double v = st.rho_mix > 0 ? g / st.rho_mix : 0;
        u_sg = st.alpha[kGas] * v, u_sl = (1 - st.alpha[kGas]) * v;
    }
    u_sg /= sec.area, u_sl /= sec.area;
    LayerFluid f;
    if (!(u_sg > 0) || !FluidOf(s, i, 0, f)) return slope_weight;  // no gas runs over the layer
    const double held = 1 - st.alpha[kGas];
    using Memo = BranchScratch::LevelMemo;
    BranchScratch& w = s.w;
    if (w.level_memo.size() != static_cast<size_t>(s.n)) w.level_memo.assign(s.n, Memo{});
    Memo& m = w.level_memo[i];
    const std::array<double, 14> from = {u_sg,           u_sl,         held,
                                         f.rho_l,        f.rho_g,      f.nu_l,
                                         f.nu_g,         start.layers, start.layers_slope,
                                         start.layers_v, slope_weight, sec.diameter,
                                         sec.roughness,  sec.area};
    if (m.from != from) {
        m.from = from;
        m.weight = SolvedLayerWeight(sec, f, u_sg, u_sl, held, start) * slope_weight;
        m.layers = start.layers, m.layers_slope = start.layers_slope, m.layers_v = start.layers_v;
    }
    start.layers = m.layers, start.layers_slope = m.layers_slope, start.layers_v = m.layers_v;
    return m.weight;
}

double StratifiedGasShare(const BranchStep& s, int i, double g, GasShareStart* start) {
    const SectionDrift& d = s.w.sd[i];
    const Section& sec = s.br.sections[i];
    const double alpha = std::clamp(d.alpha, 0.0, 1.0);
    auto correlation = [&] {
        return NearHorizontalGasShare(d, g, sec, s.model.fluid.surface_tension, start);
    };
    const double sign = g > 0 ? 1 : -1;
    const double weight = d.layered;  // the slope's weight included
    LayerFluid f;
    Layers b;
    if (!(weight > 0) || !(alpha > 0) || !(alpha < 1) || g == 0 || !FluidOf(s, i, sign, f) ||
        !MemoLayersAt(s, i, f, 1 - alpha, b))
        return correlation();
    const double mass_flux = std::fabs(g) / sec.area, h = 1 - alpha;
    // The liquid's share lam of the flowing volume at which the balance holds
    // at this holdup and mass flux, solved in ln(lam) by secant steps from the
    // share and slope solved before in the sweep (a neighbouring face), else
    // from the section's holdup: the balance falls as the liquid's share grows.
    auto rising = [&](double lam) {
        const double j = mass_flux / (f.rho_g * (1 - lam) + f.rho_l * lam);
        return -Residual(b, f, lam * j / h, (1 - lam) * j / alpha);
    };
    const double t_lo = std::log(kLeast), t_hi = std::log1p(-kLeast);
    const bool warm = start && start->layers > kLeast && start->layers < 1 - kLeast;
    double slope = warm && start->layers_slope > 0 ? start->layers_slope : 1;
    const double v0 = warm ? start->layers_v : log_share::VOfT(std::clamp(std::log(h), t_lo, t_hi));
    const LogRoot root = RisingRootFrom(rising, v0, warm ? start->layers : -1.0, slope, t_lo, t_hi,
                                        kTolerance, t_lo, false);
    const double lam = root.end < 0 ? kLeast : root.end > 0 ? 1 - kLeast : root.lam;
    if (start && root.end == 0)
        start->layers = lam, start->layers_slope = slope, start->layers_v = root.v;
    if (weight == 1) return 1 - lam;
    const double bb = correlation();
    return bb + weight * (1 - lam - bb);
}

}  // namespace zefasim::step
