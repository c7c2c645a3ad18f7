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
// Brill's, so the shares stay a smooth function of the state and the flow.

#include <algorithm>
#include <cmath>

#include "log_secant.h"
#include "step.h"

namespace zefasim::step {

namespace {

// The layers at a section's holdup: everything of the balance but the velocities.
struct Layers {
    double mass_flux = 0, holdup = 0;
    double rho_l = 0, rho_g = 0, nu_l = 0, nu_g = 0;
    double d_l = 0, d_g = 0, rough_l = 0, rough_g = 0;  // hydraulic diameters, roughness terms
    double wall_l = 0, wall_g = 0, interface = 0;       // S_l / A_l, S_g / A_g, S_i (1/A_l + 1/A_g)
    double gravity = 0;  // (rho_l - rho_g) g sin of the slope along the flow
};

// The balance's residual, normalised by the sum of its terms' magnitudes, for
// the liquid's share lam of the flowing volume: positive where the gas drives
// the liquid faster than it flows at lam (the root lies at more liquid).
// `u_gas` receives the gas's velocity.
double Balance(const Layers& b, double lam, double& u_gas) {
    const double j = b.mass_flux / (b.rho_g * (1 - lam) + b.rho_l * lam);
    const double u_l = lam * j / b.holdup, u_g = (1 - lam) * j / (1 - b.holdup);
    u_gas = u_g;
    double f_l = 0, f_g = 0, unused;
    if (const double re = u_l * b.d_l / b.nu_l; re > 0)
        FrictionAndSlope(re, b.rough_l, f_l, unused);
    if (const double re = u_g * b.d_g / b.nu_g; re > 0)
        FrictionAndSlope(re, b.rough_g, f_g, unused);
    const double du = u_g - u_l;
    const double wall_l = f_l * b.rho_l * u_l * u_l / 8 * b.wall_l;
    const double wall_g = f_g * b.rho_g * u_g * u_g / 8 * b.wall_g;
    const double shear = f_g * b.rho_g * du * std::fabs(du) / 8 * b.interface;
    const double scale = wall_l + wall_g + std::fabs(shear) + std::fabs(b.gravity);
    return scale > 0 ? (wall_g + shear - wall_l - b.gravity) / scale : 0;
}

// The liquid's share is solved between kLeast and 1 - kLeast, to a secant step of kTolerance.
constexpr double kLeast = 1e-9, kTolerance = 1e-10;

double Smooth(double t) {
    t = std::clamp(t, 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

// Taitel and Dukler's balance governs within kFullDeg of horizontal, blended
// into Beggs and Brill's by kNoneDeg: at 10 degrees, where the closure still
// governs, Beggs and Brill hold the steady lines to their data (downhill the
// balance's fast thin layer gave half their holdup and lines that did not settle).
constexpr double kFullDeg = 1, kNoneDeg = 3;

// The layer's balance governs while the gas runs below kStable times Taitel
// and Dukler's Kelvin-Helmholtz velocity and Beggs and Brill's above kWavy
// times it (smoothstep between). Ending at the criterion itself (0.8 to 1.2)
// the riser slugging example's line choked to 0.05 kept oscillating (2.9 kg/s
// of its 6.8) and its peak outflow moved 19 % between its coarsest and finest
// grid; ending at 0.8, 0.4 kg/s and 5 %; at 0.6, settled and 12 %.
constexpr double kStable = 0.3, kWavy = 0.6;

}  // namespace

double StratifiedGasShare(const BranchStep& s, int i, double g, GasShareStart* start) {
    const SectionDrift& d = s.w.sd[i];
    const Section& sec = s.br.sections[i];
    const Fluid& fl = s.model.fluid;
    const double alpha = std::clamp(d.alpha, 0.0, 1.0);
    auto correlation = [&] { return NearHorizontalGasShare(d, g, sec, fl.surface_tension, start); };
    static const double full = std::sin(kFullDeg * kPi / 180),
                        none = std::sin(kNoneDeg * kPi / 180);
    const double sin_flow = (g > 0 ? 1 : -1) * sec.dz / sec.length;
    const double by_slope = 1 - Smooth((std::fabs(sin_flow) - full) / (none - full));
    if (!(by_slope > 0) || !(alpha > 0) || !(alpha < 1) || !(d.rho_liquid > d.rho_gas) ||
        !(d.rho_gas > 0) || g == 0 || !(sec.diameter > 0))
        return correlation();
    const SectionState& st = s.w.st[i];
    const double liquid = st.alpha[kOil] + st.alpha[kWater];
    const double mu_l =
        liquid > 0
            ? (st.alpha[kOil] * fl.oil_viscosity + st.alpha[kWater] * fl.water_viscosity) / liquid
            : fl.oil_viscosity;
    if (!(mu_l > 0) || !(fl.gas_viscosity > 0)) return correlation();
    const double h = 1 - alpha, delta = StratifiedHalfAngle(h), dia = sec.diameter;
    const double a_l = sec.area * h, a_g = sec.area * alpha;
    const double s_l = dia * delta, s_g = dia * (kPi - delta), s_i = dia * std::sin(delta);
    Layers b;
    b.mass_flux = std::fabs(g) / sec.area, b.holdup = h;
    b.rho_l = d.rho_liquid, b.rho_g = d.rho_gas;
    b.nu_l = mu_l / d.rho_liquid, b.nu_g = fl.gas_viscosity / d.rho_gas;
    b.d_l = 4 * a_l / s_l, b.d_g = 4 * a_g / (s_g + s_i);
    b.rough_l = std::pow(sec.roughness / b.d_l / 3.7, 1.11);
    b.rough_g = std::pow(sec.roughness / b.d_g / 3.7, 1.11);
    b.wall_l = s_l / a_l, b.wall_g = s_g / a_g, b.interface = s_i * (1 / a_l + 1 / a_g);
    b.gravity = (b.rho_l - b.rho_g) * kGravity * sin_flow;
    if (!std::isfinite(b.d_l) || !std::isfinite(b.d_g) || !std::isfinite(b.interface))
        return correlation();
    // Waves grow (Kelvin-Helmholtz) where u_g exceeds (1 - h_l / D) sqrt((rho_l -
    // rho_g) g cos A_g / (rho_g dA_l/dh_l)), dA_l/dh_l the interface's width S_i.
    const double cos_incl = std::sqrt(std::max(0.0, 1 - sin_flow * sin_flow));
    const double level = (1 - std::cos(delta)) / 2;  // h_l / D
    const double u_kh =
        (1 - level) * std::sqrt((b.rho_l - b.rho_g) * kGravity * cos_incl * a_g / (b.rho_g * s_i));
    // The gas share at which the gas runs at kWavy u_kh (explicit at this mass
    // flux): where the balance puts the root at or beyond it, the layer is
    // wavy and Beggs and Brill govern alone.
    const double u_wavy = kWavy * u_kh * sec.area * alpha;
    const double wavy_share =
        u_wavy * b.rho_l / (b.mass_flux * sec.area + u_wavy * (b.rho_l - b.rho_g));
    double u_g = 0;
    const double t_lo = std::log(kLeast), t_hi = std::log1p(-kLeast);
    // Where the gas runs at the wavy bound the balance must drive the liquid
    // faster than it flows there, so that the root lies at more liquid (a
    // known lower end of its bracket); else the layer is wavy.
    double t_wavy = t_lo;
    if (wavy_share < 1) {
        if (!(Balance(b, 1 - wavy_share, u_g) > 0)) return correlation();
        t_wavy = std::clamp(std::log1p(-wavy_share), t_lo, t_hi);
    }
    // Secant steps in ln(lam) from the share and slope solved before in the
    // sweep (a neighbouring face), else from the section's holdup; the
    // balance falls as the liquid's share grows.
    const bool warm = start && start->layers > kLeast && start->layers < 1 - kLeast;
    double slope = warm && start->layers_slope > 0 ? start->layers_slope : 1;
    const double t0 = std::clamp(std::log(warm ? start->layers : h), t_lo, t_hi);
    auto rising = [&](double, double lam) { return -Balance(b, lam, u_g); };
    const LogRoot root =
        RisingRootInLog(rising, t0, slope, t_lo, t_hi, kTolerance, t_wavy, wavy_share < 1);
    const double lam = root.end < 0 ? kLeast : root.end > 0 ? 1 - kLeast : root.lam;
    if (start && root.end == 0) start->layers = lam, start->layers_slope = slope;
    const double j = b.mass_flux / (b.rho_g * (1 - lam) + b.rho_l * lam);
    u_g = (1 - lam) * j / (1 - h);
    const double smooth = by_slope * (1 - Smooth((u_g / u_kh - kStable) / (kWavy - kStable)));
    if (smooth == 1) return 1 - lam;
    const double bb = correlation();
    return bb + smooth * (1 - lam - bb);
}

}  // namespace zefasim::step
