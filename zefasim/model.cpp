// The model's state as a whole: its initial state, what it holds, the mass
// account, lookup by label and the consistency check. A step's stages live in
// the model_*.cpp files of what they compute (see step.h).

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "ranges.h"
#include "step.h"

namespace zefasim {

using step::FlowShares;
using step::Sum;

SectionState Model::StateOf(int b, int i) const {
    const Branch& br = branches[b];
    return ComputeSectionState(fluid, br.sections[i].volume, br.mass[i], br.temp[i],
                               br.sections[i].wall_compliance);
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
            const Section& sec = br.sections[i];
            double v = sec.volume * (1 + sec.wall_compliance * (ini.pressure - kReferencePressure));
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

const char* NonFiniteState(const std::vector<Phases>& mass, const std::vector<double>& temp,
                           const std::vector<double>& flow) {
    for (const Phases& m : mass)
        for (double v : m)
            if (!std::isfinite(v)) return "mass";
    for (double t : temp)
        if (!std::isfinite(t)) return "temperature";
    for (double g : flow)
        if (!std::isfinite(g)) return "flow";
    return nullptr;
}

void Model::Validate(bool after_step) const {
    auto fail = [](const std::string& what) { throw std::runtime_error(what); };
    auto finite_pos = [](double v) { return std::isfinite(v) && v > 0; };
    if (!finite_pos(fluid.gas_mw) || !finite_pos(fluid.oil_density) ||
        !finite_pos(fluid.water_density) || !finite_pos(fluid.gas_viscosity) ||
        !finite_pos(fluid.oil_viscosity) || !finite_pos(fluid.water_viscosity) ||
        !finite_pos(fluid.bulk_modulus) || !finite_pos(fluid.heat_capacity) ||
        !(fluid.slip >= 1 && fluid.slip <= 10) || fluid.holdup_model < kHoldupSlip ||
        fluid.holdup_model > kHoldupDriftLevel ||
        !(fluid.surface_tension >= 1e-4 && fluid.surface_tension <= 1) ||
        !(fluid.gas_kappa > 1 && fluid.gas_kappa <= 2) || !(std::fabs(fluid.gas_jt) <= 5e-5))
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
        for (size_t i = 0; i < (after_step ? 0 : n); ++i) {
            const Section& s = br.sections[i];
            if (!finite_pos(s.length) || !finite_pos(s.diameter) || !finite_pos(s.area) ||
                !finite_pos(s.volume) || !std::isfinite(s.dz) || !std::isfinite(s.roughness) ||
                s.roughness < 0 || !std::isfinite(s.u_value) || s.u_value < 0 ||
                !std::isfinite(s.t_ambient) || s.pipe < 0 ||
                !(s.wall_compliance >= 0 && s.wall_compliance <= 1e-6) ||
                s.pipe >= static_cast<int>(br.pipes.size()))
                fail("branch " + br.label + " has an invalid section");
        }
        for (const Pipe& p : br.pipes)
            if (p.first_section < 0 || p.sections < 1 ||
                static_cast<size_t>(p.first_section + p.sections) > n)
                fail("pipe " + p.label + " has an invalid section range");
        const char* bad = after_step ? nullptr : NonFiniteState(br.mass, br.temp, br.flow);
        if (bad) fail(std::string("non-finite ") + bad + " in " + br.label);
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
