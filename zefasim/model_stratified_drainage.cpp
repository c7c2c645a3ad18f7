// Drainage of a stratified liquid layer down a near-horizontal line whose gas
// stalls (HOLDUP = DRIFTLEVEL). Where the gas stands still the drift law, made
// for bubbles and slugs, lets the liquid run down the slope at u_d / C0; a
// layer driven by gravity against wall friction carries about as much at low
// holdup but rises much faster with its depth (0.2 m line falling 0.29
// degrees: 4.3 against 3.6 kg/s of oil and water at holdup 0.19, 5.6 against
// 6.8 at 0.3, 7.1 against 13.7 at 0.5). Where the layer runs faster, the
// drift between two sections is raised to carry the layer's flow.

#include <algorithm>
#include <cmath>

#include "fast_math.h"
#include "step.h"

namespace zefasim::step {

double StratifiedHalfAngle(double holdup) {
    // Biberg's (1999) explicit approximation.
    const double h = std::clamp(holdup, 0.0, 1.0);
    return kPi * h + std::cbrt(1.5 * kPi) * (1 - 2 * h + CubeRoot(h) - CubeRoot(1 - h));
}

double StratifiedLayerVelocity(double holdup, double diameter, double roughness, double sin_slope,
                               double rho_liquid, double mu_liquid, double half_angle,
                               double roughness_term) {
    const double h = std::clamp(holdup, 0.0, 1.0);
    if (!(h > 0) || !(sin_slope > 0) || !(diameter > 0) || !(rho_liquid > 0) || !(mu_liquid > 0))
        return 0;
    const double delta = half_angle >= 0 ? half_angle : StratifiedHalfAngle(h);
    // Hydraulic diameter of the layer, 4 A_l / S_l with S_l = D delta.
    const double dh = kPi * h * diameter / std::max(delta, 1e-9);
    // Gravity against wall friction, f u^2 / 8 = g sin(slope) dh / 4, f at the
    // layer's Reynolds number: laminar (64 / Re, which the friction factor
    // takes below Re = 500) in closed form; otherwise from Blasius's smooth
    // turbulent factor 0.316 Re^-0.25 in closed form, taken on to the friction
    // factor below.
    const double a = 2 * kGravity * sin_slope * dh, nu = mu_liquid / rho_liquid;
    double u = a * dh / (64 * nu);
    if (u * dh / nu < 500) return u;
    u = std::pow(a / 0.316 * std::sqrt(std::sqrt(dh / nu)), 1 / 1.75);
    // The wall's friction factor at that velocity: u moves as f^-1/2 and f as
    // about Re^-0.2, so one pass takes u to within 1e-3 of the fixed point.
    const double rough =
        roughness_term >= 0 ? roughness_term : std::pow(roughness / dh / 3.7, 1.11);
    return std::sqrt(a / LayerFriction(u * dh / nu, rough));
}

namespace {

// The layer drains within kLayerFullDeg of horizontal, blended out by
// kLayerNoneDeg. Steeper, where a line that flows is intermittent, the layer's
// fast drainage (about 4 m/s at 10 degrees) left under the closure's weight by
// the mixture flux kept an intermittent line 10 degrees uphill from settling.
constexpr double kLayerFullDeg = 1, kLayerNoneDeg = 3;

double LayerWeight(double sin_incl) {
    static const double full = std::sin(kLayerFullDeg * kPi / 180),
                        none = std::sin(kLayerNoneDeg * kPi / 180);
    return 1 - Smoothstep((std::fabs(sin_incl) - full) / (none - full));
}

// Where the mixture runs under the closure the drift law's drift is cut to
// linear in the sine ("taper", model_holdup_near_horizontal.cpp); a turbulent
// layer drains as the sine's square root (laminar: linear), and is cut by as
// much of the closure's share to linear in the sine up to kLayerFullDeg, where
// it drains in full. Cut by the drift's taper instead (linear up to 10
// degrees), the flowline of the riser slugging example (falling 0.29 degrees)
// drained at 7 % of its layer's flow while its gas slowed behind the sealed
// riser base, and gas passed the seal as the riser filled; left whole, the
// slowest steady line 0.1 degree down held 11 % less than level.
double LayerTaper(double drift_taper, double sin_incl) {
    static const double full = std::sin(kLayerFullDeg * kPi / 180);
    const double governs = NearHorizontalGoverns(drift_taper, sin_incl);
    if (!(governs > 0)) return 1;
    return 1 - governs * (1 - std::sqrt(std::min(1.0, std::fabs(sin_incl) / full)));
}

// StratifiedLayerVelocity, kept per section (w.layer_memo): a section's layer
// is taken again only where what it is taken from changed, and then with the
// wetted angle and the liquid's roughness term the layers' balance took at
// the same holdup (w.balance_memo: two cube roots and a power; its hydraulic
// diameter 4 A_l / S_l is the layer's pi h D / delta to rounding).
double MemoLayerVelocity(const BranchStep& s, int i, double h, const Section& sec, double sin_slope,
                         double rho, double mu) {
    using Memo = BranchScratch::LayerMemo;
    constexpr int kSlots = BranchScratch::kLayerMemo;
    BranchScratch& w = s.w;
    if (w.layer_memo.size() != static_cast<size_t>(kSlots * s.n)) {
        w.layer_memo.assign(kSlots * s.n, Memo{});
        w.layer_next.assign(s.n, 0);
    }
    Memo* slots = &w.layer_memo[static_cast<size_t>(kSlots) * i];
    for (int k = 0; k < kSlots; ++k) {
        const Memo& m = slots[k];
        if (m.holdup == h && m.diameter == sec.diameter && m.roughness == sec.roughness &&
            m.sin_slope == sin_slope && m.rho == rho && m.mu == mu)
            return m.u;
    }
    Memo& m = slots[w.layer_next[i]];
    w.layer_next[i] = static_cast<unsigned char>((w.layer_next[i] + 1) % kSlots);
    m = {h, sec.diameter, sec.roughness, sin_slope, rho, mu, 0};
    const bool balanced =
        w.balance_memo.size() == static_cast<size_t>(s.n) && w.balance_memo[i].holdup == h;
    const StratifiedLayers* b = balanced ? &w.balance_memo[i].layers : nullptr;
    m.u = StratifiedLayerVelocity(h, sec.diameter, sec.roughness, sin_slope, rho, mu,
                                  b ? b->half_angle : -1, b ? b->rough_l : -1);
    return m.u;
}

}  // namespace

double LayerDrift(const BranchStep& s, int i, const SectionDrift& sd, double sin_incl, double j,
                  const DriftFlux& df, double taper) {
    const double drift = df.drift;
    // A mixture that runs up the slope carries the layer with it (its holdup
    // is the closure's or the drift law's): the layer drains where the mixture
    // stands still or runs down the slope, faded out over a hundredth of the
    // drift law's characteristic velocity (about 1 mm/s for oil and gas) so
    // that the drift stays continuous in the flow. Draining against the flow,
    // a line rising 0.4 degrees with well and choke ran back against its
    // mixture and did not reach its steady state.
    if (!sd.fluid.valid || !(sd.fluid.vc > 0)) return drift;
    const double up = std::max(0.0, sin_incl >= 0 ? j : -j) / (0.01 * sd.fluid.vc);
    const double weight = LayerWeight(sin_incl) / (1 + up * up);
    if (!(weight > 1e-4) || !(sd.alpha > 0) || !(sd.alpha < 1)) return drift;
    const Section& sec = s.br.sections[i];
    const SectionState& st = s.w.st[i];
    const Fluid& f = s.model.fluid;
    const double liquid = st.alpha[kOil] + st.alpha[kWater];
    const double mu =
        liquid > 0
            ? (st.alpha[kOil] * f.oil_viscosity + st.alpha[kWater] * f.water_viscosity) / liquid
            : f.oil_viscosity;
    const double h = 1 - sd.alpha;
    const double u = MemoLayerVelocity(s, i, h, sec, std::fabs(sin_incl), sd.rho_liquid, mu);
    // Where the gas stalls (u_g = C0 j + u_d = 0) the liquid runs at the
    // mixture flux j = -u_d / C0: the layer's flow h u takes u_d = C0 h u.
    const double layer = df.c0 * h * u * LayerTaper(taper, sin_incl);
    const double own = std::fabs(drift);
    const double ud = own + weight * std::max(0.0, layer - own);
    return sin_incl >= 0 ? ud : -ud;
}

}  // namespace zefasim::step
