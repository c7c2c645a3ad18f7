// Fluid properties: the state of a section (pressure, densities, volume
// fractions, the pressure's response to each phase mass) from its masses and
// temperature, and the fluid of a given composition at a given pressure.

#include <algorithm>
#include <cmath>

#include "step.h"

namespace zefasim {

using step::kTiny;

namespace {

// The state of a section; with `response` also the pressure's response to its
// masses and temperature, which the drift-flux Jacobians do not read.
template <bool response>
SectionState SectionStateOf(const Fluid& fluid, double volume, const Phases& mass, double temp_c,
                            double wall_compliance) {
    SectionState s;
    double mg = std::max(0.0, mass[kGas]);
    double mo = std::max(0.0, mass[kOil]);
    double mw = std::max(0.0, mass[kWater]);
    s.temp_k = std::max(1.0, temp_c + kKelvin);
    double gas_term = mg * kGasConstant * s.temp_k / fluid.gas_mw;       // p * gas volume
    double liquid0 = mo / fluid.oil_density + mw / fluid.water_density;  // at reference pressure
    double k = fluid.bulk_modulus;
    // Gas volume = V0 (1 + cw (p - pref)) - liquid0 * (1 - (p - pref)/K) = b + a p;
    // p * gas volume = gas_term.
    const double v0 = volume, cw = wall_compliance;
    double a = liquid0 / k + v0 * cw;
    double b = v0 * (1.0 - cw * kReferencePressure) - liquid0 * (1.0 + kReferencePressure / k);
    double p;
    if (a <= 0) {
        p = gas_term / volume;
    } else {
        double disc = std::sqrt(b * b + 4 * a * gas_term);
        p = b > 0 ? 2 * gas_term / (b + disc) : (disc - b) / (2 * a);
    }
    s.p = std::max(0.0, p);
    volume = v0 * (1.0 + cw * (s.p - kReferencePressure));
    double scale = 1.0 - (s.p - kReferencePressure) / k;  // liquid volume factor
    s.rho_oil = fluid.oil_density / scale;
    s.rho_water = fluid.water_density / scale;
    s.rho_gas = s.p * fluid.gas_mw / (kGasConstant * s.temp_k);
    double v_oil = mo / fluid.oil_density * scale;
    double v_water = mw / fluid.water_density * scale;
    double v_gas = volume - v_oil - v_water;
    if (!(v_gas > 0) || (mg <= 0 && s.p > 0)) {
        // A section the liquids fill (as any without gas at a pressure does):
        // they fill it exactly. The pressure solved for it leaves their
        // volumes an ulp either side of the volume: above, the oil fraction
        // read 1 + 2e-16; below, a gas fraction of 1e-16 without gas drifted
        // 1e-17 kg/s of gas out of the section, which overdraws it at any step.
        const double liquid = v_oil + v_water;
        v_gas = 0;
        s.alpha = {0.0, v_oil / liquid, v_water / liquid};
    } else {
        s.alpha = {v_gas / volume, v_oil / volume, v_water / volume};
    }
    s.rho_mix = (mg + mo + mw) / volume;
    s.mu_mix = s.alpha[kGas] * fluid.gas_viscosity + s.alpha[kOil] * fluid.oil_viscosity +
               s.alpha[kWater] * fluid.water_viscosity;
    if (!(s.mu_mix > 0)) s.mu_mix = fluid.gas_viscosity;
    if constexpr (!response) return s;
    double dfdp = v_gas + s.p * a;
    if (!(dfdp > kTiny)) dfdp = kTiny;
    s.dpdm_t = {kGasConstant * s.temp_k / fluid.gas_mw / dfdp,
                s.p * scale / fluid.oil_density / dfdp, s.p * scale / fluid.water_density / dfdp};
    s.dpdt = s.dpdm_t[kGas] * mg / s.temp_k;
    // Mass added at the section's own state brings its enthalpy h_k, the
    // section holds it as internal energy u_k: the difference (the flow work
    // p v_k) warms the section by (h_k - u_k) dm / sum(m cv).
    step::PhaseEnergy pe = step::PhaseEnergyOf(fluid);
    double heat = mg * pe.cv[kGas] + mo * pe.cv[kOil] + mw * pe.cv[kWater];
    s.dpdm = s.dpdm_t;
    if (heat > 0) {
        double dtdm[3] = {kGasConstant * s.temp_k / fluid.gas_mw / heat, s.p / s.rho_oil / heat,
                          s.p / s.rho_water / heat};
        for (int ph = 0; ph < 3; ++ph) s.dpdm[ph] += s.dpdt * dtdm[ph];
    }
    return s;
}

}  // namespace

SectionState ComputeSectionState(const Fluid& fluid, double volume, const Phases& mass,
                                 double temp_c, double wall_compliance) {
    return SectionStateOf<true>(fluid, volume, mass, temp_c, wall_compliance);
}

Phases Model::Composition(double gas_fraction, double water_fraction) {
    double g = std::clamp(gas_fraction, 0.0, 1.0);
    double w = std::clamp(water_fraction, 0.0, 1.0);
    return {g, (1 - g) * (1 - w), (1 - g) * w};
}

namespace step {

SectionState SectionDensities(const Fluid& fluid, const Section& sec, const Phases& mass,
                              double temp_c) {
    return SectionStateOf<false>(fluid, sec.volume, mass, temp_c, sec.wall_compliance);
}

Phases Fractions(const Phases& m) {
    double total = Sum(m);
    if (!(total > 0)) return {0, 0, 0};
    return {m[0] / total, m[1] / total, m[2] / total};
}

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

bool SameEquationOfState(const Fluid& a, const Fluid& b) {
    return a.gas_mw == b.gas_mw && a.oil_density == b.oil_density &&
           a.water_density == b.water_density && a.bulk_modulus == b.bulk_modulus &&
           a.gas_viscosity == b.gas_viscosity && a.oil_viscosity == b.oil_viscosity &&
           a.water_viscosity == b.water_viscosity && a.gas_kappa == b.gas_kappa &&
           a.heat_capacity == b.heat_capacity && a.gas_jt == b.gas_jt;
}

void DeriveSectionStates(BranchStep& s) {
    const Branch& br = s.br;
    BranchScratch& w = s.w;
    const int n = s.n;
    w.st.resize(n);
    const bool reuse = br.state_after.size() == static_cast<size_t>(n) &&
                       br.state_mass.size() == static_cast<size_t>(n) &&
                       br.state_temp.size() == static_cast<size_t>(n) &&
                       SameEquationOfState(br.state_fluid, s.model.fluid);
    for (int i = 0; i < n; ++i) {
        if (reuse && br.state_mass[i] == br.mass[i] && br.state_temp[i] == br.temp[i])
            w.st[i] = br.state_after[i];
        else
            w.st[i] = ComputeSectionState(s.model.fluid, br.sections[i].volume, br.mass[i],
                                          br.temp[i], br.sections[i].wall_compliance);
    }
}

double DeriveNewStates(BranchStep& s) {
    BranchScratch& w = s.w;
    w.st_after.resize(s.n);
    w.dp_upto.resize(s.n);
    // A later pass within its window (BranchScratch::window, from face a)
    // keeps the last pass's states of the sections before a - 2, and with them
    // their largest pressure change.
    const int first = w.window > 0 ? w.window - 2 : 0;
    double max_dp = first > 0 ? w.dp_upto[first - 1] : 0.0;
    // A section without gas (less than a millionth of its mass) holds its
    // liquid, and where the column parted a cavity at no pressure: its pressure
    // is what the hydraulics set, not a measure of what it holds, and it swings
    // between nought and bars as a cavity fills. Its change is judged against
    // the branch's largest pressure (taken only where that could lower the
    // largest change so far).
    constexpr double kGasTrace = 1e-6;
    auto trace = [](const Phases& m) { return !(m[kGas] > kGasTrace * Sum(m)); };
    double p_branch = 0;
    for (int i = first; i < s.n; ++i) {
        w.st_after[i] = ComputeSectionState(s.model.fluid, s.br.sections[i].volume, w.mass_new[i],
                                            w.temp_new[i], s.br.sections[i].wall_compliance);
        const double change = std::fabs(w.st_after[i].p - w.st[i].p);
        double rel = change / std::max(w.st[i].p, 1e4);
        if (rel > max_dp && trace(s.br.mass[i]) && trace(w.mass_new[i])) {
            if (p_branch == 0) {
                p_branch = 1e4;
                for (int k = 0; k < s.n; ++k) p_branch = std::max(p_branch, w.st[k].p);
            }
            rel = change / std::max(w.st[i].p, p_branch);
        }
        max_dp = std::max(max_dp, rel);
        w.dp_upto[i] = max_dp;
    }
    return max_dp;
}

}  // namespace step

}  // namespace zefasim
