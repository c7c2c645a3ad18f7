#include "model.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

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

// Largest ratio of a phase's share in the outflow to its share of the mass.
double ShareBoost(const Phases& m, double slip) {
    Phases x = Fractions(m), s = FlowShares(m, slip);
    double boost = 1;
    for (int k = 0; k < 3; ++k)
        if (x[k] > 0) boost = std::max(boost, s[k] / x[k]);
    return boost;
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

namespace {

struct BranchScratch {
    std::vector<SectionState> st;
    std::vector<Phases> src;             // source phase flows per section
    std::vector<double> src_energy;      // inflow * T (K) of sources with positive flow
    std::vector<double> withdraw;        // total withdrawal per section (positive number)
    std::vector<double> omega, omega_p;  // well linearisation
    std::vector<double> ptilde, dfac, gin, gout;
    std::vector<double> lo, di, up, rhs, c;
    std::vector<double> g_new;
    std::vector<FaceSide> left, right;
    std::vector<char> closed;
    std::vector<Phases> flux;
    std::vector<Phases> mass_new;
    std::vector<double> temp_new;
    std::vector<Phases> well_flow;  // per section
    std::vector<double> well_energy;
};

}  // namespace

struct StepWork {
    std::vector<BranchScratch> br;
    std::vector<Phases> applied;       // per source
    std::vector<Phases> well_applied;  // per well
};

bool Model::TryStep(double dt, double& shrink, double& next_dt, bool force) {
    static thread_local StepWork work;
    work.br.resize(branches.size());
    work.applied.assign(sources.size(), Phases{0, 0, 0});
    work.well_applied.assign(wells.size(), Phases{0, 0, 0});
    const bool shut = ShutIn();
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
        for (int i = 0; i < n; ++i)
            w.st[i] = ComputeSectionState(fluid, br.sections[i].volume, br.mass[i], br.temp[i]);

        // Sources: inflow at their own composition, withdrawal at the section's.
        for (size_t si = 0; si < sources.size(); ++si) {
            const Source& s = sources[si];
            if (s.branch != static_cast<int>(b)) continue;
            Phases q{0, 0, 0};
            if (!shut) {
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

        // Face sides and closure.
        w.left.resize(n + 1);
        w.right.resize(n + 1);
        w.closed.assign(n + 1, 0);
        auto section_side = [&](int i) {
            FaceSide f;
            f.p = w.st[i].p;
            f.rho = w.st[i].rho_mix;
            f.mu = w.st[i].mu_mix;
            f.temp_k = w.st[i].temp_k;
            f.phi = FlowShares(br.mass[i], fluid.slip);
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
            if (j == 0) {
                if (br.inlet_boundary < 0 || shut || !boundaries[br.inlet_boundary].open) {
                    w.closed[j] = 1;
                } else {
                    w.left[j] = boundary_side(br.inlet_boundary);
                }
            } else {
                w.left[j] = section_side(j - 1);
            }
            if (j == n) {
                if (br.outlet_boundary < 0 || shut || !boundaries[br.outlet_boundary].open) {
                    w.closed[j] = 1;
                } else {
                    w.right[j] = boundary_side(br.outlet_boundary);
                }
            } else {
                w.right[j] = section_side(j);
            }
            if (br.choke[j] >= 0 && controllers[br.choke[j]].opening <= 1e-6) w.closed[j] = 1;
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
                sp += s.dpdm[k] * w.src[i][k];
            }
            w.gin[i] = gi;
            w.gout[i] = go;
            w.dfac[i] = 1.0 / (1.0 + dt * w.omega[i]);
            w.ptilde[i] = s.p + dt * sp + dt * w.omega_p[i];
        }

        // Momentum balance per face, assembled as a tridiagonal system in the flows.
        w.lo.assign(n + 1, 0);
        w.di.assign(n + 1, 1);
        w.up.assign(n + 1, 0);
        w.rhs.assign(n + 1, 0);
        for (int j = 0; j <= n; ++j) {
            if (w.closed[j]) continue;
            const Section& sl = br.sections[j > 0 ? j - 1 : 0];
            const Section& sr = br.sections[j < n ? j : n - 1];
            double len, area, diam, rough, dz;
            if (j == 0) {
                len = sr.length / 2, area = sr.area, diam = sr.diameter, rough = sr.roughness;
                dz = sr.dz / 2;
            } else if (j == n) {
                len = sl.length / 2, area = sl.area, diam = sl.diameter, rough = sl.roughness;
                dz = sl.dz / 2;
            } else {
                len = (sl.length + sr.length) / 2;
                area = (sl.area + sr.area) / 2;
                diam = (sl.diameter + sr.diameter) / 2;
                rough = (sl.roughness + sr.roughness) / 2;
                dz = (sl.dz + sr.dz) / 2;
            }
            double rho = std::max(1e-6, (w.left[j].rho + w.right[j].rho) / 2);
            double mu = (w.left[j].mu + w.right[j].mu) / 2;
            double g = br.flow[j];
            double ag = std::fabs(g);
            double re = ag * diam / (area * mu);
            double fg = re > 1e-12 ? FrictionFactor(re, rough / diam) * ag : 64 * area * mu / diam;
            double resist = len / (2 * diam * rho * area * area) * fg;
            if (br.choke[j] >= 0) {
                const Controller& ct = controllers[br.choke[j]];
                double av = ct.discharge_coefficient * ct.opening * kPi * ct.choke_diameter *
                            ct.choke_diameter / 4;
                resist += ag / (2 * rho * av * av);
            }
            double c = dt * area / len;
            double grav = rho * kGravity * dz;
            double diag = 1 + c * resist;
            double r = g - c * grav;
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
        // A closed face forces its flow to zero; drop its coupling from neighbours.
        for (int j = 0; j <= n; ++j) {
            if (!w.closed[j]) continue;
            if (j > 0) w.up[j - 1] = 0;
            if (j < n) w.lo[j + 1] = 0;
        }
        // Thomas algorithm.
        w.c.resize(n + 1);
        w.g_new.resize(n + 1);
        double denom = w.di[0];
        w.c[0] = w.up[0] / denom;
        w.g_new[0] = w.rhs[0] / denom;
        for (int j = 1; j <= n; ++j) {
            denom = w.di[j] - w.lo[j] * w.c[j - 1];
            w.c[j] = w.up[j] / denom;
            w.g_new[j] = (w.rhs[j] - w.lo[j] * w.g_new[j - 1]) / denom;
        }
        for (int j = n - 1; j >= 0; --j) w.g_new[j] -= w.c[j] * w.g_new[j + 1];
        for (int j = 0; j <= n; ++j) {
            if (w.closed[j] || !std::isfinite(w.g_new[j])) w.g_new[j] = 0;
        }

        // Outflow check: no section may give away more than it holds.
        // With slip a phase leaves faster than the mixture: weigh the face outflow
        // by the largest share boost (withdrawals take the mass composition).
        auto ratio_of = [&](int i) {
            double faces = dt * (std::max(0.0, -w.g_new[i]) + std::max(0.0, w.g_new[i + 1]));
            double out = faces + dt * w.withdraw[i];
            double m = Sum(br.mass[i]);
            if (out <= 0) return 0.0;
            if (!(m > 0)) return 1e30;
            double boost = fluid.slip == 1 ? 1.0 : ShareBoost(br.mass[i], fluid.slip);
            return (faces * boost + dt * w.withdraw[i]) / m;
        };
        for (int i = 0; i < n; ++i) max_ratio = std::max(max_ratio, ratio_of(i));
        if (max_ratio > 0.9 && !force) {
            shrink = std::clamp(0.7 / max_ratio, 0.05, 0.9);
            return false;
        }
        if (force) {
            for (int i = 0; i < n; ++i) {
                double r = ratio_of(i);
                if (r <= 0.9) continue;
                double f = 0.9 / r;
                if (w.g_new[i] < 0) w.g_new[i] *= f;
                if (w.g_new[i + 1] > 0) w.g_new[i + 1] *= f;
                w.withdraw[i] *= f;
                for (size_t si = 0; si < sources.size(); ++si) {
                    const Source& s = sources[si];
                    if (s.branch != static_cast<int>(b) || s.section != i || s.mass_flow >= 0)
                        continue;
                    for (int k = 0; k < 3; ++k) {
                        double removed = s.mass_flow * Fractions(br.mass[i])[k];
                        w.src[i][k] -= removed * (1 - f);
                        work.applied[si][k] -= removed * (1 - f);
                    }
                }
            }
        }

        // Phase fluxes, upwind by the new flow direction.
        w.flux.resize(n + 1);
        for (int j = 0; j <= n; ++j) {
            double g = w.g_new[j];
            const Phases& phi = g > 0 ? w.left[j].phi : w.right[j].phi;
            for (int k = 0; k < 3; ++k) w.flux[j][k] = g == 0 ? 0.0 : g * phi[k];
        }
        // Well inflow at the predicted pressure.
        for (size_t wi = 0; wi < wells.size(); ++wi) {
            const Well& wl = wells[wi];
            if (wl.branch != static_cast<int>(b) || shut || !(wl.productivity > 0)) continue;
            int i = wl.section;
            if (!(wl.res_pressure > w.st[i].p)) continue;
            double pp = w.dfac[i] * (w.ptilde[i] + dt * w.gin[i] * w.g_new[i] -
                                     dt * w.gout[i] * w.g_new[i + 1]);
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
        for (int i = 0; i < n; ++i) {
            double m_old = Sum(br.mass[i]);
            for (int k = 0; k < 3; ++k) {
                w.mass_new[i][k] = br.mass[i][k] + dt * (w.flux[i][k] - w.flux[i + 1][k] +
                                                         w.src[i][k] + w.well_flow[i][k]);
            }
            double tk = w.st[i].temp_k;
            double e = m_old * tk;
            double gl = w.g_new[i], gr = w.g_new[i + 1];
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
            SectionState after =
                ComputeSectionState(fluid, sec.volume, w.mass_new[i], w.temp_new[i]);
            double rel = std::fabs(after.p - w.st[i].p) / std::max(w.st[i].p, 1e4);
            max_dp = std::max(max_dp, rel);
        }
        if (max_dp > 0.3 && !force) {
            shrink = 0.5;
            return false;
        }
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

    double limit = integration.max_step;
    if (max_ratio > 0) limit = std::min(limit, dt * 0.5 / max_ratio);
    if (max_dp > 0.1) limit = std::min(limit, dt * 0.1 / max_dp);
    next_dt = limit;
    return true;
}

void Model::Advance(double end_time, const std::vector<double>* forced, std::vector<double>* used) {
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
    }
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
        !(fluid.slip >= 1 && fluid.slip <= 10))
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
    for (const Boundary& bd : boundaries)
        if (bd.branch < 0 || bd.branch >= nb || !finite_pos(bd.pressure))
            fail("boundary " + bd.label + " is invalid");
    for (const Source& s : sources)
        if (!section_ok(s.branch, s.section) || !std::isfinite(s.mass_flow))
            fail("source " + s.label + " is invalid");
    for (const Well& w : wells)
        if (!section_ok(w.branch, w.section) || !std::isfinite(w.res_pressure) ||
            !std::isfinite(w.productivity) || w.productivity < 0)
            fail("well " + w.label + " is invalid");
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
