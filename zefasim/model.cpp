#include "model.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "ranges.h"

namespace zefasim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTiny = 1e-300;

double Sum(const Phases& p) {
    return p[0] + p[1] + p[2];
}

// Mass fractions of a section's content; zero for an empty section.
Phases Fractions(const Phases& m) {
    double total = Sum(m);
    if (!(total > 0)) return {0, 0, 0};
    return {m[0] / total, m[1] / total, m[2] / total};
}

// Shares of the phases in what flows out of a section: the gas moves `slip`
// times as fast as the liquids, so its share exceeds its share of the mass.
Phases FlowShares(const Phases& m, double slip) {
    Phases x = Fractions(m);
    double d = slip * x[kGas] + x[kOil] + x[kWater];
    if (!(d > 0)) return {0, 0, 0};
    return {slip * x[kGas] / d, x[kOil] / d, x[kWater] / d};
}

struct FaceSide {
    double p = 0, rho = 0, mu = 0, temp_k = 0;
    Phases phi{};  // mass fractions of what flows from this side
};

}  // namespace

double FrictionFactor(double reynolds, double relative_roughness) {
    if (!(reynolds > 0)) return 0;
    double laminar = 64.0 / reynolds;
    if (reynolds < 500) return laminar;
    double term = std::pow(relative_roughness / 3.7, 1.11) + 6.9 / reynolds;
    double inv_sqrt = -1.8 * std::log10(term);
    double haaland = 1.0 / (inv_sqrt * inv_sqrt);
    return std::max(laminar, haaland);
}

SectionState ComputeSectionState(const Fluid& fluid, double volume, const Phases& mass,
                                 double temp_c) {
    SectionState s;
    double mg = std::max(0.0, mass[kGas]);
    double mo = std::max(0.0, mass[kOil]);
    double mw = std::max(0.0, mass[kWater]);
    s.temp_k = std::max(1.0, temp_c + kKelvin);
    double gas_term = mg * kGasConstant * s.temp_k / fluid.gas_mw;       // p * gas volume
    double liquid0 = mo / fluid.oil_density + mw / fluid.water_density;  // at reference pressure
    double k = fluid.bulk_modulus;
    // Gas volume = V - liquid0 * (1 - (p - pref)/K); p * gas volume = gas_term.
    double a = liquid0 / k;
    double b = volume - liquid0 * (1.0 + kReferencePressure / k);
    double p;
    if (a <= 0) {
        p = gas_term / volume;
    } else {
        double disc = std::sqrt(b * b + 4 * a * gas_term);
        p = b > 0 ? 2 * gas_term / (b + disc) : (disc - b) / (2 * a);
    }
    s.p = std::max(0.0, p);
    double scale = 1.0 - (s.p - kReferencePressure) / k;  // liquid volume factor
    s.rho_oil = fluid.oil_density / scale;
    s.rho_water = fluid.water_density / scale;
    s.rho_gas = s.p * fluid.gas_mw / (kGasConstant * s.temp_k);
    double v_oil = mo / fluid.oil_density * scale;
    double v_water = mw / fluid.water_density * scale;
    double v_gas = std::max(0.0, volume - v_oil - v_water);
    s.alpha = {v_gas / volume, v_oil / volume, v_water / volume};
    s.rho_mix = (mg + mo + mw) / volume;
    s.mu_mix = s.alpha[kGas] * fluid.gas_viscosity + s.alpha[kOil] * fluid.oil_viscosity +
               s.alpha[kWater] * fluid.water_viscosity;
    if (!(s.mu_mix > 0)) s.mu_mix = fluid.gas_viscosity;
    double dfdp = v_gas + s.p * liquid0 / k;
    if (!(dfdp > kTiny)) dfdp = kTiny;
    s.dpdm = {kGasConstant * s.temp_k / fluid.gas_mw / dfdp, s.p * scale / fluid.oil_density / dfdp,
              s.p * scale / fluid.water_density / dfdp};
    return s;
}

Phases Model::Composition(double gas_fraction, double water_fraction) {
    double g = std::clamp(gas_fraction, 0.0, 1.0);
    double w = std::clamp(water_fraction, 0.0, 1.0);
    return {g, (1 - g) * (1 - w), (1 - g) * w};
}

namespace {

// Density and viscosity of a fluid of given mass composition at p and T.
void FluidAt(const Fluid& f, const Phases& phi, double p, double temp_c, double& rho, double& mu) {
    double tk = std::max(1.0, temp_c + kKelvin);
    double rho_g = std::max(p, 1.0) * f.gas_mw / (kGasConstant * tk);
    double scale = 1.0 - (p - kReferencePressure) / f.bulk_modulus;
    double vg = phi[kGas] / rho_g;
    double vo = phi[kOil] / f.oil_density * scale;
    double vw = phi[kWater] / f.water_density * scale;
    double v = vg + vo + vw;
    rho = v > 0 ? 1.0 / v : rho_g;
    mu = v > 0 ? (vg * f.gas_viscosity + vo * f.oil_viscosity + vw * f.water_viscosity) / v
               : f.gas_viscosity;
}

}  // namespace

SectionState Model::StateOf(int b, int i) const {
    const Branch& br = branches[b];
    return ComputeSectionState(fluid, br.sections[i].volume, br.mass[i], br.temp[i]);
}

double Model::MixtureVelocity(int b, int face) const {
    const Branch& br = branches[b];
    int n = static_cast<int>(br.sections.size());
    double g = br.flow[face];
    int i = g >= 0 ? face - 1 : face;
    if (i < 0) i = 0;
    if (i >= n) i = n - 1;
    SectionState s = StateOf(b, i);
    double rho = s.rho_mix;
    if (!(rho > 1e-9)) return 0;
    return g / (rho * br.sections[i].area);
}

double Model::BranchLength(int b) const {
    const Branch& br = branches[b];
    const Section& last = br.sections.back();
    return last.z_start + last.length;
}

double Model::TotalMass() const {
    return Sum(PhaseMass());
}

double Model::MassBalanceError() const {
    double now = TotalMass(), expected = 0;
    for (int k = 0; k < 3; ++k)
        expected +=
            account.initial[k] + account.sources[k] + account.boundaries[k] + account.wells[k];
    return now > 0 ? (now - expected) / now : now - expected;
}

Phases Model::PhaseMass() const {
    Phases total{0, 0, 0};
    for (const Branch& br : branches)
        for (const Phases& m : br.mass)
            for (int k = 0; k < 3; ++k) total[k] += m[k];
    return total;
}

void Model::SetInitialState() {
    for (size_t b = 0; b < branches.size(); ++b) {
        Branch& br = branches[b];
        const InitialState& ini = b < branch_initial.size() ? branch_initial[b] : initial;
        size_t n = br.sections.size();
        br.mass.assign(n, Phases{0, 0, 0});
        br.temp.assign(n, ini.temperature);
        br.flow.assign(n + 1, ini.flow);
        br.flux.assign(n + 1, Phases{0, 0, 0});
        if (br.inlet_boundary < 0) br.flow[0] = 0;
        if (br.outlet_boundary < 0) br.flow[n] = 0;
        double scale = 1.0 - (ini.pressure - kReferencePressure) / fluid.bulk_modulus;
        double tk = ini.temperature + kKelvin;
        for (size_t i = 0; i < n; ++i) {
            double v = br.sections[i].volume;
            double liquid0 = ini.holdup * v / scale;
            br.mass[i][kOil] = fluid.oil_density * liquid0 * (1 - ini.water_cut);
            br.mass[i][kWater] = fluid.water_density * liquid0 * ini.water_cut;
            br.mass[i][kGas] =
                ini.pressure * (1 - ini.holdup) * v * fluid.gas_mw / (kGasConstant * tk);
        }
        for (size_t f = 0; f <= n; ++f) {
            if (br.choke[f] >= 0 && controllers[br.choke[f]].opening <= 1e-6) br.flow[f] = 0;
            double g = br.flow[f];
            Phases phi{0, 0, 0};
            if (g > 0) {
                phi = f == 0 ? Composition(boundaries[br.inlet_boundary].gas_fraction,
                                           boundaries[br.inlet_boundary].water_fraction)
                             : FlowShares(br.mass[f - 1], fluid.slip);
            } else if (g < 0) {
                phi = f == n ? Composition(boundaries[br.outlet_boundary].gas_fraction,
                                           boundaries[br.outlet_boundary].water_fraction)
                             : FlowShares(br.mass[f], fluid.slip);
            }
            for (int k = 0; k < 3; ++k) br.flux[f][k] = g * phi[k];
        }
    }
    for (Plug& p : plugs) {
        p.launched = p.arrived = false;
        p.z = p.launch_z;
        p.speed = 0;
    }
    for (Boundary& bd : boundaries) bd.deriv = {0, 0, 0};
    for (Source& s : sources) s.applied = s.deriv = {0, 0, 0};
    for (Well& w : wells) w.applied = {0, 0, 0};
    time = integration.start_time;
    planned_step =
        std::clamp(0.1 * integration.max_step, integration.min_step, integration.max_step);
    last_step = 0;
    steps = 0;
    account = MassAccount{};
    account.initial = PhaseMass();
}

double CriticalMassFlux(double p0, double t0, double x, double rho_liquid, double gas_mw,
                        double kappa, double* ratio) {
    x = std::clamp(x, 0.0, 1.0);
    if (!(p0 > 0) || !(t0 > 0) || !(kappa > 1)) {
        if (ratio) *ratio = 1;
        return 0;
    }
    const double vg0 = kGasConstant * t0 / (gas_mw * p0);  // gas specific volume upstream
    const double vl = x < 1 && rho_liquid > 0 ? 1.0 / rho_liquid : 0.0;
    const double e = (kappa - 1) / kappa;
    // Square of the mass flux that expanding to the throat pressure ratio eta gives:
    // G^2 = 2 (integral of v dp from the throat to p0) / v_throat^2.
    auto flux2 = [&](double eta) {
        double v = (1 - x) * vl + x * vg0 * std::pow(eta, -1 / kappa);
        double work = (1 - x) * vl * p0 * (1 - eta) + x * vg0 * p0 / e * (1 - std::pow(eta, e));
        return v > 0 ? 2 * work / (v * v) : 0.0;
    };
    // G^2 has one maximum in eta (the choking point): golden-section search.
    const double r = 0.6180339887498949;
    double a = 1e-6, b = 1;
    double c = b - r * (b - a), d = a + r * (b - a);
    double fc = flux2(c), fd = flux2(d);
    for (int i = 0; i < 48; ++i) {
        if (fc > fd) {
            b = d, d = c, fd = fc;
            c = b - r * (b - a);
            fc = flux2(c);
        } else {
            a = c, c = d, fc = fd;
            d = a + r * (b - a);
            fd = flux2(d);
        }
    }
    double eta = (a + b) / 2;
    if (ratio) *ratio = eta;
    return std::sqrt(std::max(0.0, flux2(eta)));
}

// Shi, Holmes, Durlofsky, Aziz, Diaz, Alkaya and Oddie, "Drift-flux modeling of
// two-phase flow in wellbores", SPE Journal 10(1), 2005, pp. 24-33.
namespace shi {
constexpr double kA = 1.2, kB = 0.3, kFv = 1.0, kA1 = 0.06, kA2 = 0.21;
constexpr double kM0 = 1.27, kN1 = 0.24, kN2 = 1.08;
constexpr double kKu = 3.2;  // critical Kutateladze number, large-diameter limit
}  // namespace shi

double ShiInclinationFactor(double sin_incl) {
    double cos_theta = std::min(1.0, std::fabs(sin_incl));  // theta: angle from vertical
    double sin_theta = std::sqrt(std::max(0.0, 1 - cos_theta * cos_theta));
    return cos_theta > 0
               ? shi::kM0 * std::pow(cos_theta, shi::kN1) * std::pow(1 + sin_theta, shi::kN2)
               : 0;
}

DriftFluid ShiDriftFluid(double rho_gas, double rho_liquid, double surface_tension) {
    DriftFluid f;
    if (!(rho_gas > 0) || !(rho_liquid > rho_gas) || !(surface_tension > 0)) return f;
    f.valid = true;
    f.vc = std::sqrt(
        std::sqrt(surface_tension * kGravity * (rho_liquid - rho_gas) / (rho_liquid * rho_liquid)));
    f.root_ratio = std::sqrt(rho_gas / rho_liquid);
    f.flooding = shi::kKu / f.root_ratio * f.vc;
    return f;
}

DriftFlux ShiDriftFlux(double alpha, double j, const DriftFluid& fl, double incl_factor,
                       double sin_incl) {
    using namespace shi;
    DriftFlux d;
    alpha = std::clamp(alpha, 0.0, 1.0);
    if (!fl.valid) return d;
    double beta = std::max(alpha, kFv * alpha * std::fabs(j) / fl.flooding);
    double gamma = std::clamp((beta - kB) / (1 - kB), 0.0, 1.0);
    d.c0 = kA / (1 + (kA - 1) * gamma * gamma);
    double k_low = 1.53 / d.c0;
    double k = alpha <= kA1   ? k_low
               : alpha >= kA2 ? kKu
                              : k_low + (kKu - k_low) * (alpha - kA1) / (kA2 - kA1);
    double ac = std::min(1.0, alpha * d.c0);
    double ud = (1 - ac) * d.c0 * k * fl.vc / (ac * fl.root_ratio + 1 - ac) * incl_factor;
    d.drift = sin_incl >= 0 ? ud : -ud;
    return d;
}

DriftFlux ShiDriftFlux(double alpha, double j, double rho_gas, double rho_liquid,
                       double surface_tension, double sin_incl) {
    return ShiDriftFlux(alpha, j, ShiDriftFluid(rho_gas, rho_liquid, surface_tension),
                        ShiInclinationFactor(sin_incl), sin_incl);
}

namespace {

// Friction factor and Re * df/dRe (for the Newton linearisation of the loss);
// roughness_term is (relative roughness / 3.7)^1.11.
void FrictionAndSlope(double re, double roughness_term, double& f, double& re_dfdre) {
    double laminar = 64.0 / re;
    f = laminar;
    re_dfdre = -laminar;
    if (re < 500) return;
    double t = roughness_term + 6.9 / re;
    double sq = -1.8 * std::log10(t);
    double haaland = 1.0 / (sq * sq);
    if (haaland <= laminar) return;
    f = haaland;
    // d(sq)/dRe = 1.8 * 6.9 / (ln10 * t * Re^2); df = -2 sq^-3 d(sq).
    constexpr double kLn10 = 2.302585092994045684;
    re_dfdre = -2.0 / (sq * sq * sq) * 1.8 * 6.9 / (kLn10 * t * re);
}

// What the drift-flux law needs of a section.
struct SectionDrift {
    double alpha = 0, rho_gas = 0, rho_liquid = 0, oil_share = 1;  // oil share of liquid mass
    DriftFluid fluid;  // the fluid terms of the drift law
};

// Whether two fluids give the same section state for the same masses.
bool SameEquationOfState(const Fluid& a, const Fluid& b) {
    return a.gas_mw == b.gas_mw && a.oil_density == b.oil_density &&
           a.water_density == b.water_density && a.bulk_modulus == b.bulk_modulus &&
           a.gas_viscosity == b.gas_viscosity && a.oil_viscosity == b.oil_viscosity &&
           a.water_viscosity == b.water_viscosity;
}

// The geometry terms of each face and section of a branch (see FaceGeometry).
void DeriveGeometry(Branch& br) {
    const int n = static_cast<int>(br.sections.size());
    br.face_geometry.assign(n + 1, FaceGeometry{});
    br.section_drift_incl.assign(n, 0);
    for (int i = 0; i < n; ++i) {
        const Section& sec = br.sections[i];
        br.section_drift_incl[i] = ShiInclinationFactor(sec.dz / sec.length);
    }
    for (int j = 0; j <= n; ++j) {
        FaceGeometry& fg = br.face_geometry[j];
        const Section& sl = br.sections[j > 0 ? j - 1 : 0];
        const Section& sr = br.sections[j < n ? j : n - 1];
        double rough;
        if (j == 0) {  // half sections at the branch ends
            fg.length = sr.length / 2, fg.area = sr.area, fg.diameter = sr.diameter;
            rough = sr.roughness, fg.dz = sr.dz / 2;
        } else if (j == n) {
            fg.length = sl.length / 2, fg.area = sl.area, fg.diameter = sl.diameter;
            rough = sl.roughness, fg.dz = sl.dz / 2;
        } else {
            fg.length = (sl.length + sr.length) / 2, fg.area = (sl.area + sr.area) / 2;
            fg.diameter = (sl.diameter + sr.diameter) / 2;
            rough = (sl.roughness + sr.roughness) / 2, fg.dz = (sl.dz + sr.dz) / 2;
            fg.sin_incl = (sl.dz + sr.dz) / (sl.length + sr.length);
            fg.drift_incl = ShiInclinationFactor(fg.sin_incl);
        }
        fg.roughness_term = std::pow(rough / fg.diameter / 3.7, 1.11);
    }
}

// Gas mass flow (magnitude, kg/s) of the drift relative to the mixture.
double DriftMassFlow(const SectionDrift& s, double area, const DriftFlux& d) {
    double denom = s.rho_liquid * (1 - s.alpha * d.c0) + s.rho_gas * s.alpha * d.c0;
    if (!(denom > 0)) return 0;
    return s.rho_gas * s.rho_liquid * s.alpha * std::fabs(d.drift) * area / denom;
}

struct BranchScratch {
    std::vector<SectionState> st;
    std::vector<Phases> src;             // source phase flows per section
    std::vector<double> src_energy;      // inflow * T (K) of sources with positive flow
    std::vector<double> withdraw;        // total withdrawal per section (positive number)
    std::vector<double> omega, omega_p;  // well linearisation
    std::vector<double> ptilde, dfac, gin, gout;
    std::vector<double> lo, di, up, rhs, c, denom;
    std::vector<double> g_new, g_lin;
    std::vector<FaceSide> left, right;
    std::vector<char> closed;
    std::vector<Phases> flux;
    std::vector<Phases> drift;  // per face: drift-flux phase flows (explicit)
    std::vector<SectionDrift> sd;
    std::vector<Phases> mass_new;
    std::vector<double> temp_new;
    std::vector<SectionState> st_after;  // derived state at the new masses
    // The derivative rows of the last solve (see the derivatives below).
    bool derivative_rows = false;
    std::vector<double> d_keep, d_left, d_right, inv_denom;
    std::vector<Phases> well_flow;  // per section
    std::vector<double> well_energy;
    // Per face: fluid of the momentum balance.
    std::vector<double> frho, fmu, cface;
    // Per face: the loss (Pa) and its slope at the flow g_lin it was linearised
    // about, and whether to linearise it again in this Newton iteration.
    std::vector<double> loss, dloss;
    std::vector<char> relin;
    // Per face: choke state (0 subcritical, +1/-1 critical forward/backward),
    // d(critical flow)/d(upstream pressure), mode switches in this step.
    std::vector<signed char> crit;
    std::vector<double> gcp;
    std::vector<int> switches;
};

}  // namespace

struct StepWork {
    std::vector<BranchScratch> br;
    std::vector<Phases> applied;       // per source
    std::vector<Phases> well_applied;  // per well
};

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

bool Model::TryStep(double dt, double& shrink, double& next_dt, bool force) {
    static thread_local StepWork work;
    work.br.resize(branches.size());
    work.applied.assign(sources.size(), Phases{0, 0, 0});
    work.well_applied.assign(wells.size(), Phases{0, 0, 0});
    const bool shut = ShutIn();
    const bool drift_model = fluid.holdup_model == kHoldupDriftFlux;
    double max_ratio = 0;
    double max_dp = 0;

    for (size_t b = 0; b < branches.size(); ++b) {
        Branch& br = branches[b];
        BranchScratch& w = work.br[b];
        const int n = static_cast<int>(br.sections.size());
        w.st.resize(n);
        w.src.assign(n, Phases{0, 0, 0});
        w.src_energy.assign(n, 0);
        w.withdraw.assign(n, 0);
        w.omega.assign(n, 0);
        w.omega_p.assign(n, 0);
        w.well_flow.assign(n, Phases{0, 0, 0});
        w.well_energy.assign(n, 0);
        const bool reuse = br.state_after.size() == static_cast<size_t>(n) &&
                           br.state_mass.size() == static_cast<size_t>(n) &&
                           br.state_temp.size() == static_cast<size_t>(n) &&
                           SameEquationOfState(br.state_fluid, fluid);
        for (int i = 0; i < n; ++i) {
            if (reuse && br.state_mass[i] == br.mass[i] && br.state_temp[i] == br.temp[i])
                w.st[i] = br.state_after[i];
            else
                w.st[i] = ComputeSectionState(fluid, br.sections[i].volume, br.mass[i], br.temp[i]);
        }
        w.derivative_rows = false;

        // Sources: inflow at their own composition, withdrawal at the section's.
        for (size_t si = 0; si < sources.size(); ++si) {
            const Source& s = sources[si];
            if (s.branch != static_cast<int>(b)) continue;
            Phases q{0, 0, 0};
            if (!shut || s.host_fed) {
                if (s.mass_flow >= 0) {
                    Phases phi = Composition(s.gas_fraction, s.water_fraction);
                    for (int k = 0; k < 3; ++k) q[k] = s.mass_flow * phi[k];
                    w.src_energy[s.section] += s.mass_flow * (s.temperature + kKelvin);
                } else {
                    Phases phi = Fractions(br.mass[s.section]);
                    for (int k = 0; k < 3; ++k) q[k] = s.mass_flow * phi[k];
                    w.withdraw[s.section] -= s.mass_flow * (Sum(phi) > 0 ? 1.0 : 0.0);
                }
                for (int k = 0; k < 3; ++k) {
                    q[k] += s.extra[k];
                    w.src_energy[s.section] += s.extra[k] * (s.temperature + kKelvin);
                }
            }
            for (int k = 0; k < 3; ++k) w.src[s.section][k] += q[k];
            work.applied[si] = q;
        }
        // Wells: inflow proportional to the drawdown, treated implicitly.
        for (const Well& wl : wells) {
            if (wl.branch != static_cast<int>(b) || shut || !(wl.productivity > 0)) continue;
            const SectionState& s = w.st[wl.section];
            if (!(wl.res_pressure > s.p)) continue;
            Phases phi = Composition(wl.gas_fraction, wl.water_fraction);
            double beta = 0;
            for (int k = 0; k < 3; ++k) beta += s.dpdm[k] * phi[k];
            w.omega[wl.section] += wl.productivity * beta;
            w.omega_p[wl.section] += wl.productivity * beta * wl.res_pressure;
        }

        if (br.face_geometry.size() != static_cast<size_t>(n + 1) ||
            br.section_drift_incl.size() != static_cast<size_t>(n))
            DeriveGeometry(br);
        const std::vector<FaceGeometry>& fgeo = br.face_geometry;

        // Drift flux: what each section holds, and the shares of the phases in
        // what the mixture flow carries out of it (the gas faster by C0).
        if (drift_model) {
            w.sd.resize(n);
            for (int i = 0; i < n; ++i) {
                const SectionState& s = w.st[i];
                SectionDrift& d = w.sd[i];
                double liquid = s.alpha[kOil] + s.alpha[kWater];
                d.alpha = s.alpha[kGas];
                d.rho_gas = s.rho_gas;
                d.rho_liquid =
                    liquid > 0
                        ? (s.alpha[kOil] * s.rho_oil + s.alpha[kWater] * s.rho_water) / liquid
                        : s.rho_oil;
                double ml = br.mass[i][kOil] + br.mass[i][kWater];
                d.oil_share = ml > 0 ? br.mass[i][kOil] / ml : 1.0;
                d.fluid = ShiDriftFluid(d.rho_gas, d.rho_liquid, fluid.surface_tension);
            }
        }
        auto drift_shares = [&](int i, double g) {
            const SectionDrift& d = w.sd[i];
            const Section& sec = br.sections[i];
            double jm = w.st[i].rho_mix > 1e-9 ? g / (w.st[i].rho_mix * sec.area) : 0;
            DriftFlux df =
                ShiDriftFlux(d.alpha, jm, d.fluid, br.section_drift_incl[i], sec.dz / sec.length);
            double ac = d.alpha * df.c0;
            double denom = d.rho_liquid * (1 - ac) + d.rho_gas * ac;
            double xg = denom > 0 ? std::clamp(d.rho_gas * ac / denom, 0.0, 1.0) : 1.0;
            if (br.mass[i][kOil] + br.mass[i][kWater] <= 0) xg = 1;
            if (br.mass[i][kGas] <= 0) xg = 0;
            return Phases{xg, (1 - xg) * d.oil_share, (1 - xg) * (1 - d.oil_share)};
        };

        // Face sides and closure.
        w.left.resize(n + 1);
        w.right.resize(n + 1);
        w.closed.assign(n + 1, 0);
        auto section_side = [&](int i, double g) {
            FaceSide f;
            f.p = w.st[i].p;
            f.rho = w.st[i].rho_mix;
            f.mu = w.st[i].mu_mix;
            f.temp_k = w.st[i].temp_k;
            f.phi = drift_model ? drift_shares(i, g) : FlowShares(br.mass[i], fluid.slip);
            return f;
        };
        auto boundary_side = [&](int bi) {
            const Boundary& bd = boundaries[bi];
            FaceSide f;
            f.p = bd.pressure;
            f.phi = Composition(bd.gas_fraction, bd.water_fraction);
            FluidAt(fluid, f.phi, bd.pressure, bd.temperature, f.rho, f.mu);
            f.temp_k = bd.temperature + kKelvin;
            return f;
        };
        for (int j = 0; j <= n; ++j) {
            double g = br.flow[j];
            if (j == 0) {
                if (br.inlet_boundary < 0 || shut || !boundaries[br.inlet_boundary].open) {
                    w.closed[j] = 1;
                } else {
                    w.left[j] = boundary_side(br.inlet_boundary);
                }
            } else {
                w.left[j] = section_side(j - 1, g);
            }
            if (j == n) {
                if (br.outlet_boundary < 0 || shut || !boundaries[br.outlet_boundary].open) {
                    w.closed[j] = 1;
                } else {
                    w.right[j] = boundary_side(br.outlet_boundary);
                }
            } else {
                w.right[j] = section_side(j, g);
            }
            if (br.choke[j] >= 0 && controllers[br.choke[j]].opening <= 1e-6) w.closed[j] = 1;
        }

        // Drift of the gas up the slope and of the liquid down it, between
        // neighbouring sections (explicit; zero at the branch ends). Godunov's
        // flux of the drift law: gas from the lower section, liquid from the upper.
        w.drift.assign(n + 1, Phases{0, 0, 0});
        if (drift_model) {
            for (int j = 1; j < n; ++j) {
                if (w.closed[j]) continue;
                double sin_incl = fgeo[j].sin_incl, incl = fgeo[j].drift_incl;
                if (sin_incl == 0) continue;
                int lower = sin_incl > 0 ? j - 1 : j, upper = sin_incl > 0 ? j : j - 1;
                double area = fgeo[j].area;
                int donor = br.flow[j] >= 0 ? j - 1 : j;
                double jm =
                    w.st[donor].rho_mix > 1e-9 ? br.flow[j] / (w.st[donor].rho_mix * area) : 0;
                auto flow_of = [&](const SectionDrift& s) {
                    DriftFlux df = ShiDriftFlux(s.alpha, jm, s.fluid, incl, sin_incl);
                    return DriftMassFlow(s, area, df);
                };
                const SectionDrift& lo_s = w.sd[lower];
                const SectionDrift& up_s = w.sd[upper];
                double f_lo = flow_of(lo_s), f_up = flow_of(up_s), d;
                if (lo_s.alpha <= up_s.alpha) {
                    d = std::min(f_lo, f_up);
                } else {
                    SectionDrift mid;
                    mid.alpha = (lo_s.alpha + up_s.alpha) / 2;
                    mid.rho_gas = (lo_s.rho_gas + up_s.rho_gas) / 2;
                    mid.rho_liquid = (lo_s.rho_liquid + up_s.rho_liquid) / 2;
                    mid.fluid = ShiDriftFluid(mid.rho_gas, mid.rho_liquid, fluid.surface_tension);
                    d = std::max({f_lo, f_up, flow_of(mid)});
                }
                if (!(d > 0) || br.mass[lower][kGas] <= 0 ||
                    br.mass[upper][kOil] + br.mass[upper][kWater] <= 0)
                    continue;
                double sign = sin_incl > 0 ? 1.0 : -1.0;  // gas moves from lower to upper
                double oil = w.sd[upper].oil_share;
                w.drift[j] = {sign * d, -sign * d * oil, -sign * d * (1 - oil)};
            }
            // Where the mixture leaves the branch the drift still separates the
            // phases: of what the outflow carries, the phase drifting back in
            // is reduced by the drift (never below none).
            for (int j : {0, n}) {
                if (w.closed[j]) continue;
                int i = j == 0 ? 0 : n - 1;
                double g = br.flow[j];
                if ((j == 0 && g >= 0) || (j == n && g <= 0)) continue;  // not outflow
                const Section& sec = br.sections[i];
                double sin_incl = sec.dz / sec.length;
                if (sin_incl == 0) continue;
                double jm = w.st[i].rho_mix > 1e-9 ? g / (w.st[i].rho_mix * sec.area) : 0;
                DriftFlux df = ShiDriftFlux(w.sd[i].alpha, jm, w.sd[i].fluid,
                                            br.section_drift_incl[i], sin_incl);
                double d = DriftMassFlow(w.sd[i], sec.area, df);
                Phases phi = drift_shares(i, g);
                double gas_out = std::fabs(g) * phi[kGas], liquid_out = std::fabs(g) - gas_out;
                double sign = sin_incl > 0 ? 1.0 : -1.0;  // gas drift along +x
                bool gas_drifts_out = (j == n) == (sign > 0);
                d = std::min(d, gas_drifts_out ? liquid_out : gas_out);
                if (!(d > 0)) continue;
                double oil = w.sd[i].oil_share;
                w.drift[j] = {sign * d, -sign * d * oil, -sign * d * (1 - oil)};
            }
        }

        // Linearised pressure response of each section.
        w.ptilde.resize(n);
        w.dfac.resize(n);
        w.gin.resize(n);
        w.gout.resize(n);
        auto upwind_phi = [&](int j, double g) -> const Phases& {
            if (g > 0 || (g == 0 && w.left[j].p >= w.right[j].p)) return w.left[j].phi;
            return w.right[j].phi;
        };
        for (int i = 0; i < n; ++i) {
            const SectionState& s = w.st[i];
            const Phases& pin = upwind_phi(i, br.flow[i]);
            const Phases& pout = upwind_phi(i + 1, br.flow[i + 1]);
            double gi = 0, go = 0, sp = 0;
            for (int k = 0; k < 3; ++k) {
                gi += s.dpdm[k] * pin[k];
                go += s.dpdm[k] * pout[k];
                sp += s.dpdm[k] * (w.src[i][k] + w.drift[i][k] - w.drift[i + 1][k]);
            }
            w.gin[i] = gi;
            w.gout[i] = go;
            w.dfac[i] = 1.0 / (1.0 + dt * w.omega[i]);
            w.ptilde[i] = s.p + dt * sp + dt * w.omega_p[i];
        }

        // Momentum balance per face, a tridiagonal system in the new flows. The
        // losses (friction, chokes) are linearised about the latest estimate of
        // the new flow and the system solved again until the flows settle
        // (Newton); a choke whose flow would exceed its critical flow is held at
        // the critical flow of its upstream pressure instead.
        w.frho.resize(n + 1), w.fmu.resize(n + 1), w.cface.resize(n + 1);
        for (int j = 0; j <= n; ++j) {
            w.frho[j] = std::max(1e-6, (w.left[j].rho + w.right[j].rho) / 2);
            w.fmu[j] = (w.left[j].mu + w.right[j].mu) / 2;
            w.cface[j] = dt * fgeo[j].area / fgeo[j].length;
        }
        w.g_lin.assign(br.flow.begin(), br.flow.end());
        w.relin.assign(n + 1, 1);
        w.loss.assign(n + 1, 0);
        w.dloss.assign(n + 1, 0);
        w.crit.assign(n + 1, 0);
        w.gcp.assign(n + 1, 0);
        w.switches.assign(n + 1, 0);
        w.lo.resize(n + 1), w.di.resize(n + 1), w.up.resize(n + 1), w.rhs.resize(n + 1);
        w.c.resize(n + 1), w.denom.resize(n + 1), w.g_new.resize(n + 1);
        // Predicted new pressure of a section from the new flows.
        auto p_new = [&](int i, const std::vector<double>& g) {
            return w.dfac[i] * (w.ptilde[i] + dt * w.gin[i] * g[i] - dt * w.gout[i] * g[i + 1]);
        };
        // Critical flow of a choke face for flow in direction `dir` at upstream
        // pressure p; `slope` receives its derivative with respect to p.
        auto critical_flow = [&](int j, int dir, double p, double& slope) {
            const Controller& ct = controllers[br.choke[j]];
            const FaceSide& up_side = dir > 0 ? w.left[j] : w.right[j];
            double area = ct.discharge_coefficient * ct.opening * kPi * ct.choke_diameter *
                          ct.choke_diameter / 4;
            const Phases& phi = up_side.phi;
            double liquid = phi[kOil] + phi[kWater];
            double rho_l =
                liquid > 0
                    ? liquid / (phi[kOil] / fluid.oil_density + phi[kWater] / fluid.water_density)
                    : fluid.oil_density;
            double pp = std::max(p, 1.0);
            double g0 = area * CriticalMassFlux(pp, up_side.temp_k, phi[kGas], rho_l, fluid.gas_mw,
                                                fluid.gas_kappa);
            double g1 = area * CriticalMassFlux(pp * 1.001, up_side.temp_k, phi[kGas], rho_l,
                                                fluid.gas_mw, fluid.gas_kappa);
            slope = (g1 - g0) / (pp * 0.001);
            return g0;
        };
        std::vector<double> sub_lo(0), sub_di(0), sub_up(0), sub_rhs(0);
        constexpr int kMaxNewton = 10;
        for (int iter = 0;; ++iter) {
            for (int j = 0; j <= n; ++j) {
                w.lo[j] = 0, w.up[j] = 0, w.di[j] = 1, w.rhs[j] = 0;
                if (w.closed[j]) continue;
                double rho = w.frho[j];
                double g0 = w.g_lin[j];
                if (w.relin[j]) {
                    double len = fgeo[j].length, area = fgeo[j].area, diam = fgeo[j].diameter;
                    double mu = w.fmu[j], ag = std::fabs(g0);
                    double cf = len / (2 * diam * rho * area * area);
                    double re = ag * diam / (area * mu);
                    double loss, dloss;  // friction and choke loss (Pa) and its slope
                    if (re > 1e-12) {
                        double f, re_dfdre;
                        FrictionAndSlope(re, fgeo[j].roughness_term, f, re_dfdre);
                        loss = cf * f * ag * g0;
                        dloss = cf * ag * (2 * f + re_dfdre);
                    } else {
                        double r = cf * 64 * area * mu / diam;
                        loss = r * g0;
                        dloss = r;
                    }
                    if (br.choke[j] >= 0) {
                        const Controller& ct = controllers[br.choke[j]];
                        double av = ct.discharge_coefficient * ct.opening * kPi *
                                    ct.choke_diameter * ct.choke_diameter / 4;
                        double kc = 1 / (2 * rho * av * av);
                        loss += kc * ag * g0;
                        dloss += 2 * kc * ag;
                    }
                    w.loss[j] = loss;
                    w.dloss[j] = dloss;
                }
                const double loss = w.loss[j], dloss = w.dloss[j];
                double c = w.cface[j];
                double grav = rho * kGravity * fgeo[j].dz;
                double diag = 1 + c * dloss;
                double r = br.flow[j] - c * grav - c * (loss - dloss * g0);
                if (j > 0) {
                    int l = j - 1;
                    w.lo[j] = -c * dt * w.dfac[l] * w.gin[l];
                    diag += c * dt * w.dfac[l] * w.gout[l];
                    r += c * w.dfac[l] * w.ptilde[l];
                } else {
                    r += c * w.left[j].p;
                }
                if (j < n) {
                    w.up[j] = -c * dt * w.dfac[j] * w.gout[j];
                    diag += c * dt * w.dfac[j] * w.gin[j];
                    r -= c * w.dfac[j] * w.ptilde[j];
                } else {
                    r -= c * w.right[j].p;
                }
                w.di[j] = diag;
                w.rhs[j] = r;
            }
            // Chokes at their critical flow: the row becomes g = Gc(p_up, new).
            bool any_choke = false;
            for (int j = 0; j <= n; ++j) {
                if (br.choke[j] < 0 || w.closed[j]) continue;
                if (!any_choke) {
                    sub_lo = w.lo, sub_di = w.di, sub_up = w.up, sub_rhs = w.rhs;
                    any_choke = true;
                }
                int dir = w.crit[j];
                if (dir == 0) continue;
                double slope = 0;
                if (dir > 0) {
                    double p0 = j > 0 ? w.st[j - 1].p : w.left[j].p;
                    double gc = critical_flow(j, 1, p0, slope);
                    w.gcp[j] = slope;
                    if (j > 0) {
                        int l = j - 1;
                        w.lo[j] = -slope * w.dfac[l] * dt * w.gin[l];
                        w.di[j] = 1 + slope * w.dfac[l] * dt * w.gout[l];
                        w.up[j] = 0;
                        w.rhs[j] = gc - slope * p0 + slope * w.dfac[l] * w.ptilde[l];
                    } else {
                        w.lo[j] = 0, w.up[j] = 0, w.di[j] = 1, w.rhs[j] = gc;
                    }
                } else {
                    double p0 = j < n ? w.st[j].p : w.right[j].p;
                    double gc = critical_flow(j, -1, p0, slope);
                    w.gcp[j] = slope;
                    if (j < n) {
                        w.lo[j] = 0;
                        w.di[j] = 1 + slope * w.dfac[j] * dt * w.gin[j];
                        w.up[j] = -slope * w.dfac[j] * dt * w.gout[j];
                        w.rhs[j] = -gc + slope * p0 - slope * w.dfac[j] * w.ptilde[j];
                    } else {
                        w.lo[j] = 0, w.up[j] = 0, w.di[j] = 1, w.rhs[j] = -gc;
                    }
                }
            }
            // A closed face forces its flow to zero; drop its coupling from neighbours.
            for (int j = 0; j <= n; ++j) {
                if (!w.closed[j]) continue;
                if (j > 0) w.up[j - 1] = 0;
                if (j < n) w.lo[j + 1] = 0;
            }
            // Thomas algorithm (the pivots are kept for the derivatives).
            w.denom[0] = w.di[0];
            w.c[0] = w.up[0] / w.denom[0];
            w.g_new[0] = w.rhs[0] / w.denom[0];
            for (int j = 1; j <= n; ++j) {
                w.denom[j] = w.di[j] - w.lo[j] * w.c[j - 1];
                w.c[j] = w.up[j] / w.denom[j];
                w.g_new[j] = (w.rhs[j] - w.lo[j] * w.g_new[j - 1]) / w.denom[j];
            }
            for (int j = n - 1; j >= 0; --j) w.g_new[j] -= w.c[j] * w.g_new[j + 1];
            for (int j = 0; j <= n; ++j) {
                if (w.closed[j] || !std::isfinite(w.g_new[j])) w.g_new[j] = 0;
            }
            // Choke regime: critical when the subcritical flow would exceed the
            // critical flow; back to subcritical when that flow falls below it.
            bool changed = false;
            for (int j = 0; j <= n && any_choke; ++j) {
                if (br.choke[j] < 0 || w.closed[j] || w.switches[j] >= 4) continue;
                double g = w.g_new[j];
                if (w.crit[j] == 0) {
                    int dir = g >= 0 ? 1 : -1;
                    double pu = dir > 0 ? (j > 0 ? p_new(j - 1, w.g_new) : w.left[j].p)
                                        : (j < n ? p_new(j, w.g_new) : w.right[j].p);
                    double slope;
                    double gc = critical_flow(j, dir, pu, slope);
                    if (std::fabs(g) > gc * (1 + 1e-9)) {
                        w.crit[j] = static_cast<signed char>(dir);
                        ++w.switches[j];
                        changed = true;
                    }
                } else {
                    double gl = j > 0 ? w.g_new[j - 1] : 0, gr = j < n ? w.g_new[j + 1] : 0;
                    double gsub = (sub_rhs[j] - sub_lo[j] * gl - sub_up[j] * gr) / sub_di[j];
                    if (gsub * w.crit[j] < std::fabs(g) * (1 - 1e-9)) {
                        w.crit[j] = 0;
                        ++w.switches[j];
                        changed = true;
                    }
                }
            }
            // Faces whose flow moved away from where their loss was linearised
            // are linearised again: a choke whenever its flow moved at all (its
            // loss dominates, and its step response must not depend on the step
            // size), a pipe face only when its flow moved by more than kRelin of
            // the branch's flow scale; the loss of a pipe face linearised within
            // that distance is off by less than kRelin^2 of the branch's typical
            // friction loss, far below what the physics resolves.
            constexpr double kRelin = 1e-3;
            double scale = 1e-3;
            for (int j = 0; j <= n; ++j) scale = std::max(scale, std::fabs(w.g_new[j]));
            bool again = false;
            for (int j = 0; j <= n; ++j) {
                double moved = std::fabs(w.g_new[j] - w.g_lin[j]);
                bool relin = !w.closed[j] && moved > (br.choke[j] >= 0 ? 1e-9 : kRelin) * scale;
                w.relin[j] = relin;
                if (relin) {
                    w.g_lin[j] = w.g_new[j];
                    again = true;
                }
            }
            if ((!changed && !again) || iter >= kMaxNewton) break;
        }

        // At the branch ends the drift may take back no more than the new
        // outflow carries of the phase drifting in (and nothing on inflow).
        for (int j : {0, n}) {
            if (w.drift[j][kGas] == 0) continue;
            double g = w.g_new[j];
            bool outflow = (j == 0 && g < 0) || (j == n && g > 0);
            const Phases& phi = g > 0 ? w.left[j].phi : w.right[j].phi;
            double gas_out = std::fabs(g) * phi[kGas], liquid_out = std::fabs(g) - gas_out;
            bool gas_drifts_out = (j == n) == (w.drift[j][kGas] > 0);
            double cap = outflow ? (gas_drifts_out ? liquid_out : gas_out) : 0.0;
            double d = std::fabs(w.drift[j][kGas]);
            if (d > cap) {
                double f = d > 0 ? cap / d : 0;
                for (int k = 0; k < 3; ++k) w.drift[j][k] *= f;
            }
        }
        // Phase flows, upwind by the new flow direction, plus the drift.
        w.flux.resize(n + 1);
        for (int j = 0; j <= n; ++j) {
            double g = w.g_new[j];
            const Phases& phi = g > 0 ? w.left[j].phi : w.right[j].phi;
            for (int k = 0; k < 3; ++k) w.flux[j][k] = (g == 0 ? 0.0 : g * phi[k]) + w.drift[j][k];
        }

        // Outflow check: no section may give away more of a phase than it holds.
        auto ratio_of = [&](int i) {
            double worst = 0;
            for (int k = 0; k < 3; ++k) {
                double out = dt * (std::max(0.0, -w.flux[i][k]) + std::max(0.0, w.flux[i + 1][k]) +
                                   std::max(0.0, -w.src[i][k]));
                if (out <= 0) continue;
                double m = br.mass[i][k];
                if (!(m > 0)) return 1e30;
                worst = std::max(worst, out / m);
            }
            return worst;
        };
        for (int i = 0; i < n; ++i) max_ratio = std::max(max_ratio, ratio_of(i));
        if (max_ratio > 0.9 && !force) {
            shrink = std::clamp(0.7 / max_ratio, 0.05, 0.9);
            return false;
        }
        if (force) {
            // At the smallest step: scale back what leaves an overdrawn section.
            for (int i = 0; i < n; ++i) {
                for (int k = 0; k < 3; ++k) {
                    double out =
                        dt * (std::max(0.0, -w.flux[i][k]) + std::max(0.0, w.flux[i + 1][k]) +
                              std::max(0.0, -w.src[i][k]));
                    double m = std::max(0.0, br.mass[i][k]);
                    if (out <= 0.9 * m) continue;
                    double f = out > 0 ? 0.9 * m / out : 0;
                    if (w.flux[i][k] < 0) w.flux[i][k] *= f;
                    if (w.flux[i + 1][k] > 0) w.flux[i + 1][k] *= f;
                    if (w.src[i][k] < 0) {
                        double removed = w.src[i][k] * (1 - f);
                        w.src[i][k] -= removed;
                        for (size_t si = 0; si < sources.size(); ++si) {
                            const Source& s = sources[si];
                            if (s.branch == static_cast<int>(b) && s.section == i &&
                                s.mass_flow < 0) {
                                work.applied[si][k] -= removed;
                                break;
                            }
                        }
                    }
                }
            }
            for (int j = 0; j <= n; ++j) w.g_new[j] = Sum(w.flux[j]) - Sum(w.drift[j]);
        }

        // Well inflow at the predicted pressure.
        for (size_t wi = 0; wi < wells.size(); ++wi) {
            const Well& wl = wells[wi];
            if (wl.branch != static_cast<int>(b) || shut || !(wl.productivity > 0)) continue;
            int i = wl.section;
            if (!(wl.res_pressure > w.st[i].p)) continue;
            double pp = p_new(i, w.g_new);
            double q = std::max(0.0, wl.productivity * (wl.res_pressure - pp));
            Phases phi = Composition(wl.gas_fraction, wl.water_fraction);
            for (int k = 0; k < 3; ++k) {
                work.well_applied[wi][k] = q * phi[k];
                w.well_flow[i][k] += q * phi[k];
            }
            w.well_energy[i] += q * (wl.temperature + kKelvin);
        }
        // New masses and temperatures.
        w.mass_new.resize(n);
        w.temp_new.resize(n);
        w.st_after.resize(n);
        for (int i = 0; i < n; ++i) {
            double m_old = Sum(br.mass[i]);
            for (int k = 0; k < 3; ++k) {
                w.mass_new[i][k] = br.mass[i][k] + dt * (w.flux[i][k] - w.flux[i + 1][k] +
                                                         w.src[i][k] + w.well_flow[i][k]);
            }
            double tk = w.st[i].temp_k;
            double e = m_old * tk;
            double gl = Sum(w.flux[i]), gr = Sum(w.flux[i + 1]);
            if (gl > 0) e += dt * gl * w.left[i].temp_k;
            if (gl < 0) e += dt * gl * tk;
            if (gr < 0) e -= dt * gr * w.right[i + 1].temp_k;
            if (gr > 0) e -= dt * gr * tk;
            e += dt * (w.src_energy[i] + w.well_energy[i]);
            double src_out = 0;
            for (int k = 0; k < 3; ++k) src_out += std::min(0.0, w.src[i][k]);
            e += dt * src_out * tk;
            const Section& sec = br.sections[i];
            double h = sec.u_value * kPi * sec.diameter * sec.length / fluid.heat_capacity;
            double m_new = Sum(w.mass_new[i]);
            double denom_t = m_new + dt * h;
            if (denom_t > 1e-12) {
                double t_new = (e + dt * h * (sec.t_ambient + kKelvin)) / denom_t - kKelvin;
                w.temp_new[i] =
                    std::isfinite(t_new) ? std::clamp(t_new, -250.0, 5000.0) : br.temp[i];
            } else {
                w.temp_new[i] = br.temp[i];
            }
            w.st_after[i] = ComputeSectionState(fluid, sec.volume, w.mass_new[i], w.temp_new[i]);
            double rel = std::fabs(w.st_after[i].p - w.st[i].p) / std::max(w.st[i].p, 1e4);
            max_dp = std::max(max_dp, rel);
        }
        if (max_dp > 0.3 && !force) {
            shrink = 0.5;
            return false;
        }
    }

    // Derivatives: the step's own linearisation applied to each seed (the same
    // tridiagonal system, factorised above, with the seed's right-hand side).
    for (Sensitivity& sv : sensitivities) {
        bool is_boundary = sv.seed == Sensitivity::Seed::BoundaryPressure;
        int b = is_boundary ? boundaries[sv.object].branch : sources[sv.object].branch;
        BranchScratch& w = work.br[b];
        const int n = static_cast<int>(branches[b].sections.size());
        const Branch& br = branches[b];
        static thread_local std::vector<double> dpt, dr;
        dpt.resize(n);
        dr.resize(n + 1);
        for (int i = 0; i < n; ++i) dpt[i] = sv.dpressure[i];
        if (!is_boundary && !ShutIn()) {
            // The inflow adds its mass, and its heat: at fixed masses the gas
            // pressure rises with temperature as dp/dT = dp/dm_gas * m_gas / T.
            int i = sources[sv.object].section;
            const SectionState& s = w.st[i];
            double m = Sum(br.mass[i]);
            dpt[i] += dt * s.dpdm[sv.phase];
            if (m > 0 && s.temp_k > 0)
                dpt[i] += s.dpdm[kGas] * br.mass[i][kGas] / s.temp_k * dt *
                          (sources[sv.object].temperature + kKelvin - s.temp_k) / m;
        }
        if (!w.derivative_rows) {
            // Per face, the right-hand side of the linearised momentum balance is
            // keep * (previous flow response) + left * (response of the pressure
            // upstream) + right * (of the pressure downstream); at the branch ends
            // the boundary pressure takes the place of the missing section.
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
        double dp_in = is_boundary && boundaries[sv.object].at_inlet ? 1.0 : 0.0;
        double dp_out = is_boundary && !boundaries[sv.object].at_inlet ? 1.0 : 0.0;
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
            sv.dpressure[i] = w.dfac[i] * (dpt[i] + dt * w.gin[i] * sv.dflow[i] -
                                           dt * w.gout[i] * sv.dflow[i + 1]);
    }

    // Commit.
    for (size_t b = 0; b < branches.size(); ++b) {
        Branch& br = branches[b];
        BranchScratch& w = work.br[b];
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
    for (size_t si = 0; si < sources.size(); ++si) sources[si].applied = work.applied[si];
    for (size_t wi = 0; wi < wells.size(); ++wi) wells[wi].applied = work.well_applied[wi];

    // Plugs travel with the mixture.
    for (Plug& pg : plugs) {
        if (!pg.launched || pg.arrived) {
            pg.speed = 0;
            continue;
        }
        const Branch& br = branches[pg.branch];
        int n = static_cast<int>(br.sections.size());
        int i = 0;
        while (i < n - 1 && pg.z >= br.sections[i].z_start + br.sections[i].length) ++i;
        SectionState s = StateOf(pg.branch, i);
        double u = 0;
        if (s.rho_mix > 1e-9)
            u = (br.flow[i] + br.flow[i + 1]) / (2 * s.rho_mix * br.sections[i].area);
        pg.speed = u;
        pg.z += u * dt;
        double len = BranchLength(pg.branch);
        if (pg.z >= len || pg.z <= 0) {
            pg.z = std::clamp(pg.z, 0.0, len);
            pg.arrived = true;
            pg.speed = 0;
        }
    }

    // The next step is sized so that no section gives away more than
    // kTransportTarget of a phase it holds (explicit upwind transport stays
    // positive up to all of it; a step above 0.9 is refused and retried shorter).
    constexpr double kTransportTarget = 0.8;
    double limit = integration.max_step;
    if (max_ratio > 0) limit = std::min(limit, dt * kTransportTarget / max_ratio);
    if (max_dp > 0.1) limit = std::min(limit, dt * 0.1 / max_dp);
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
        if (dt >= remaining * (1 - 1e-12) || (!forced && remaining <= 1.1 * dt)) {
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

bool Model::SolveSteady(int max_steps, double tolerance) {
    double saved_max = integration.max_step;
    integration.max_step = saved_max * 10;
    planned_step = std::max(planned_step, integration.min_step);
    bool converged = false;
    // Bound the work, so that a large model cannot keep the server busy for hours.
    size_t sections = 0;
    for (const Branch& br : branches) sections += br.sections.size();
    max_steps = static_cast<int>(
        std::min<double>(max_steps, 1e8 / static_cast<double>(std::max<size_t>(sections, 1))));
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
        if (change / dt < tolerance && it > 10) {
            converged = true;
            break;
        }
    }
    integration.max_step = saved_max;
    planned_step = std::clamp(planned_step, integration.min_step, integration.max_step);
    time = integration.start_time;
    steps = 0;
    last_step = 0;
    for (Plug& p : plugs) p.speed = 0;
    account = MassAccount{};
    account.initial = PhaseMass();
    return converged;
}

namespace {
template <class T>
int FindLabel(const std::vector<T>& items, const std::string& label) {
    for (size_t i = 0; i < items.size(); ++i)
        if (items[i].label == label) return static_cast<int>(i);
    return -1;
}
}  // namespace

int Model::FindBranch(const std::string& l) const {
    return FindLabel(branches, l);
}
int Model::FindBoundary(const std::string& l) const {
    return FindLabel(boundaries, l);
}
int Model::FindSource(const std::string& l) const {
    return FindLabel(sources, l);
}
int Model::FindWell(const std::string& l) const {
    return FindLabel(wells, l);
}
int Model::FindController(const std::string& l) const {
    return FindLabel(controllers, l);
}
int Model::FindPosition(const std::string& l) const {
    return FindLabel(positions, l);
}
int Model::FindPlug(const std::string& l) const {
    return FindLabel(plugs, l);
}

void Model::Validate() const {
    auto fail = [](const std::string& what) { throw std::runtime_error(what); };
    auto finite_pos = [](double v) { return std::isfinite(v) && v > 0; };
    if (!finite_pos(fluid.gas_mw) || !finite_pos(fluid.oil_density) ||
        !finite_pos(fluid.water_density) || !finite_pos(fluid.gas_viscosity) ||
        !finite_pos(fluid.oil_viscosity) || !finite_pos(fluid.water_viscosity) ||
        !finite_pos(fluid.bulk_modulus) || !finite_pos(fluid.heat_capacity) ||
        !(fluid.slip >= 1 && fluid.slip <= 10) ||
        (fluid.holdup_model != kHoldupSlip && fluid.holdup_model != kHoldupDriftFlux) ||
        !(fluid.surface_tension >= 1e-4 && fluid.surface_tension <= 1) ||
        !(fluid.gas_kappa > 1 && fluid.gas_kappa <= 2))
        fail("fluid properties must be positive numbers");
    if (!finite_pos(integration.min_step) || !finite_pos(integration.max_step) ||
        integration.min_step > integration.max_step || integration.min_step < 1e-9)
        fail("integration steps must satisfy 1e-9 <= MINDT <= MAXDT");
    if (!std::isfinite(time) || !std::isfinite(planned_step) || planned_step <= 0)
        fail("clock values out of range");
    if (branches.empty()) fail("the model has no branch");
    int nb = static_cast<int>(branches.size());
    for (const Branch& br : branches) {
        size_t n = br.sections.size();
        if (n == 0 || br.pipes.empty()) fail("branch " + br.label + " has no pipe");
        if (br.mass.size() != n || br.temp.size() != n || br.flow.size() != n + 1 ||
            br.flux.size() != n + 1 || br.choke.size() != n + 1)
            fail("branch " + br.label + " has inconsistent state sizes");
        for (const Section& s : br.sections) {
            if (!finite_pos(s.length) || !finite_pos(s.diameter) || !finite_pos(s.area) ||
                !finite_pos(s.volume) || !std::isfinite(s.dz) || !std::isfinite(s.roughness) ||
                s.roughness < 0 || !std::isfinite(s.u_value) || s.u_value < 0 ||
                !std::isfinite(s.t_ambient) || s.pipe < 0 ||
                s.pipe >= static_cast<int>(br.pipes.size()))
                fail("branch " + br.label + " has an invalid section");
        }
        for (const Pipe& p : br.pipes)
            if (p.first_section < 0 || p.sections < 1 ||
                static_cast<size_t>(p.first_section + p.sections) > n)
                fail("pipe " + p.label + " has an invalid section range");
        for (size_t i = 0; i < n; ++i)
            for (int k = 0; k < 3; ++k)
                if (!std::isfinite(br.mass[i][k])) fail("non-finite mass in " + br.label);
        for (double t : br.temp)
            if (!std::isfinite(t)) fail("non-finite temperature in " + br.label);
        for (double g : br.flow)
            if (!std::isfinite(g)) fail("non-finite flow in " + br.label);
        for (int c : br.choke)
            if (c < -1 || c >= static_cast<int>(controllers.size()))
                fail("invalid choke reference in " + br.label);
        for (int bi : {br.inlet_boundary, br.outlet_boundary})
            if (bi < -1 || bi >= static_cast<int>(boundaries.size()))
                fail("invalid boundary reference in " + br.label);
    }
    auto section_ok = [&](int b, int s) {
        return b >= 0 && b < nb && s >= 0 && s < static_cast<int>(branches[b].sections.size());
    };
    // The same physical ranges as the input file and the protocol accept.
    auto range = [&](const std::string& owner, const std::string& what, double v, const Range& r) {
        std::string why = OutOfRange(what, v, r);
        if (!why.empty()) fail(owner + ": " + why);
    };
    const Range pressure = PressureRange(fluid);
    for (const Boundary& bd : boundaries) {
        if (bd.branch < 0 || bd.branch >= nb || !std::isfinite(bd.gas_fraction) ||
            !std::isfinite(bd.water_fraction))
            fail("boundary " + bd.label + " is invalid");
        range("boundary " + bd.label, "pressure", bd.pressure, pressure);
        range("boundary " + bd.label, "temperature", bd.temperature, kTemperatureRange);
    }
    for (const Source& s : sources) {
        if (!section_ok(s.branch, s.section)) fail("source " + s.label + " is invalid");
        range("source " + s.label, "mass flow", s.mass_flow, kMassFlowRange);
        range("source " + s.label, "temperature", s.temperature, kTemperatureRange);
    }
    for (const Well& w : wells) {
        if (!section_ok(w.branch, w.section) || !std::isfinite(w.productivity) ||
            w.productivity < 0)
            fail("well " + w.label + " is invalid");
        range("well " + w.label, "reservoir pressure", w.res_pressure, pressure);
        range("well " + w.label, "temperature", w.temperature, kTemperatureRange);
    }
    for (const Controller& c : controllers)
        if (c.branch < 0 || c.branch >= nb || c.face < 0 ||
            c.face > static_cast<int>(branches[c.branch].sections.size()) ||
            !finite_pos(c.choke_diameter) || !finite_pos(c.discharge_coefficient) ||
            !std::isfinite(c.opening))
            fail("controller " + c.label + " is invalid");
    for (const Position& p : positions)
        if (!section_ok(p.branch, p.section)) fail("position " + p.label + " is invalid");
    for (const Plug& p : plugs)
        if (p.branch < 0 || p.branch >= nb || !std::isfinite(p.z) || !std::isfinite(p.launch_z))
            fail("plug " + p.label + " is invalid");
}

}  // namespace zefasim
