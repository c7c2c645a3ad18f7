#pragma once

// The pipeline model of zefa-server: one-dimensional, transient, three phases
// (gas, oil, water). Each branch is a chain of sections; the state of a section
// is its three phase masses and its temperature; between sections (and at the
// branch ends) sits a face carrying one mixture mass flow. Pressure follows from
// the masses (ideal gas filling the volume the liquids leave; liquids with a
// large bulk modulus so that a liquid-full section still has a pressure).
//
// One step is implicit in the face flows: they are solved from a tridiagonal
// system that couples the momentum balance (inertia, friction, gravity, chokes)
// to the linearised pressure response of the sections; the quadratic losses
// (friction, chokes) are linearised about the new flow and iterated (Newton),
// and a choke whose flow reaches the critical limit holds its flow at that
// limit. Then the phase masses are updated with upwind phase fluxes (the phase
// split from the fixed slip ratio or from the drift-flux law), implicitly in the
// phase masses where a section would give away much of what it holds, so that
// the sections' Courant number does not limit the step. Every flux leaves one
// section and enters its neighbour, so mass is conserved to rounding.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zefasim {

constexpr int kGas = 0;
constexpr int kOil = 1;
constexpr int kWater = 2;
using Phases = std::array<double, 3>;

constexpr double kGasConstant = 8314.462618;  // J/(kmol K)
constexpr double kGravity = 9.80665;          // m/s2
constexpr double kKelvin = 273.15;
constexpr double kReferencePressure = 101325.0;  // liquid densities are given here

struct Fluid {
    double gas_mw = 20.0;  // kg/kmol
    double oil_density = 800.0;
    double water_density = 1000.0;
    double gas_viscosity = 1.5e-5;  // Pa s
    double oil_viscosity = 5e-3;
    double water_viscosity = 1e-3;
    double bulk_modulus = 1.5e9;    // Pa, both liquids
    double heat_capacity = 2000.0;  // J/(kg K), liquids (the gas's follows from GASMW, GASKAPPA)
    double slip = 1.0;              // gas velocity / liquid velocity (HOLDUP = SLIP)
    int holdup_model = 3;  // kHoldupSlip, kHoldupDriftFlux, kHoldupBeggsBrill or kHoldupDriftLevel
    double surface_tension = 0.025;  // N/m, gas-liquid (drift-flux bubble rise velocity)
    double gas_kappa = 1.3;          // heat capacity ratio of the gas (critical flow)
    // Joule-Thomson coefficient of the gas (K/Pa): its temperature change on a
    // pressure change at constant enthalpy, 0.4 K/bar as for natural gas.
    double gas_jt = 4e-6;
};

constexpr int kHoldupSlip = 0;        // fixed slip ratio SLIP (1: no slip)
constexpr int kHoldupDriftFlux = 1;   // drift flux of Shi et al. (2005)
constexpr int kHoldupBeggsBrill = 2;  // drift flux, and Beggs and Brill where the line flows
constexpr int kHoldupDriftLevel = 3;  // drift flux, and Beggs and Brill solved near level

struct Section {
    double length = 0, diameter = 0, roughness = 0, dz = 0;  // dz: elevation gain over it
    double area = 0, volume = 0;
    double z_start = 0;                  // distance of its upstream end from the branch start
    double u_value = 0, t_ambient = 20;  // heat exchange with the surroundings
    int pipe = 0;
    // Elastic wall: relative volume change per Pa, D / (e E) for a thin wall of
    // thickness e and Young's modulus E (0: rigid). The volume above is that at
    // the reference pressure.
    double wall_compliance = 0;
};

struct Pipe {
    std::string label;
    int first_section = 0, sections = 0;
};

// Derived state of one section, recomputed from the masses whenever needed.
struct SectionState {
    double p = 0, temp_k = 0;
    double rho_gas = 0, rho_oil = 0, rho_water = 0, rho_mix = 0, mu_mix = 0;
    Phases alpha{};  // volume fractions
    // Response of the pressure to each phase mass added (or taken) at the
    // section's own state, with the heat of compression (expansion) it brings:
    // dpdm_t at fixed temperature plus dpdt times the temperature change.
    Phases dpdm{};
    Phases dpdm_t{};  // partial derivatives at fixed temperature
    double dpdt = 0;  // partial derivative with respect to temperature (K), at fixed masses
};

// What the step needs of a face (between two sections, or at a branch end) that
// depends only on the geometry: derived from the sections once, kept with the branch.
struct FaceGeometry {
    double length = 0, area = 0, diameter = 0, dz = 0;
    double roughness_term = 0;  // (relative roughness / 3.7)^1.11 of the friction factor
    double sin_incl = 0;        // sine of the inclination between the two sections
    double drift_incl = 0;      // inclination factor of the drift velocity there
};

struct Branch {
    std::string label;
    std::vector<Pipe> pipes;
    std::vector<Section> sections;
    int inlet_boundary = -1, outlet_boundary = -1;  // index into Model::boundaries, -1 closed
    // State.
    std::vector<Phases> mass;  // per section, kg
    std::vector<double> temp;  // per section, C
    std::vector<double> flow;  // per face (sections + 1), mixture kg/s, positive downstream
    std::vector<Phases> flux;  // per face, phase mass flows of the last step
    std::vector<int> choke;    // per face: controller index or -1
    // Derived from `sections` when first needed (not part of the state).
    std::vector<FaceGeometry> face_geometry;  // per face
    std::vector<double> section_drift_incl;   // per section: inclination factor of the drift
    // The derived state of each section as the last step left it, with the masses
    // and temperature it was derived from: the next step starts from it when they
    // (and the fluid) are unchanged, instead of deriving it again.
    std::vector<SectionState> state_after;
    std::vector<Phases> state_mass;
    std::vector<double> state_temp;
    Fluid state_fluid;
};

struct Boundary {
    std::string label, node;
    int branch = -1;
    bool at_inlet = true;
    bool open = true;
    double pressure = 1e5, temperature = 20, gas_fraction = 1, water_fraction = 0;
    Phases deriv{};  // d(phase flow)/d(pressure) over the last step interval
};

struct Source {
    std::string label;
    int branch = -1, section = 0;
    double mass_flow = 0, gas_fraction = 0, water_fraction = 0, temperature = 20;
    Phases extra{};    // additional phase inflow, used to probe sensitivities
    Phases applied{};  // phase flows actually applied in the last step
    Phases deriv{};    // d(section pressure)/d(phase flow) over the last interval
    // The flow comes from a coupled host through the input data. A shut-in
    // closes the model's own sources, wells and boundaries, but a host-fed
    // source's flow is the host's: it keeps entering and packs the closed
    // line, so the host sees the pressure build up and its flow fall.
    bool host_fed = false;
};

struct Well {
    std::string label;
    int branch = -1, section = 0;
    double res_pressure = 1e5, productivity = 0;  // kg/s per Pa
    double gas_fraction = 0, water_fraction = 0, temperature = 20;
    Phases applied{};
};

struct Controller {
    std::string label;
    int branch = -1, face = 0;
    double choke_diameter = 0.1, discharge_coefficient = 0.84, opening = 1.0;
};

struct Position {
    std::string label;
    int branch = -1, section = 0;
};

struct Plug {
    std::string label;
    int branch = -1;
    double launch_z = 0;
    bool launched = false, arrived = false;
    double z = 0, speed = 0;
};

struct InitialState {
    double pressure = 1e5, temperature = 20, holdup = 0, water_cut = 0, flow = 0;
};

struct Integration {
    double start_time = 0, max_step = 1.0, min_step = 1e-4;
    // Phase transport implicit in the phase masses (steps not held by the
    // sections' Courant number), or explicit upwind.
    bool implicit_transport = true;
};

// A derivative the step computes alongside the flows: the response to a unit
// change of one boundary pressure or of one phase of one source's inflow,
// carried through every step of the run interval by the step's linearisation.
struct Sensitivity {
    enum class Seed { BoundaryPressure, SourcePhase } seed = Seed::BoundaryPressure;
    int object = 0, phase = 0;
    std::vector<double> dflow;             // per face of the object's branch, kg/s per unit
    std::vector<double> dpressure;         // per section of the object's branch, Pa per unit
    std::vector<Phases> dmass;             // per section: phase masses, kg per unit
    std::vector<double> dtemp;             // per section: temperature, K per unit
    Phases dflux_inlet{}, dflux_outlet{};  // phase flows through the branch ends
    std::vector<Phases> dflux;             // per face: phase flows of the last step
    std::int64_t steps = 0;                // steps propagated since the seed began
    // False while the responses are known to be all zero (as BeginSensitivities
    // leaves them), so that a step need not look through them.
    bool may_carry = true;
};

// Mass that entered the model from outside since the last initialisation, per phase.
struct MassAccount {
    Phases initial{}, sources{}, boundaries{}, wells{};
};

namespace step {
struct StepWork;
}

// The scratch a model's steps work in (sized arrays, the memos a step keeps for
// the next). Each model owns its own, so nothing one model's steps leave there
// reaches another's; a copied model starts with an empty one.
class StepScratch {
  public:
    StepScratch();
    ~StepScratch();
    StepScratch(const StepScratch&);
    StepScratch& operator=(const StepScratch&);
    step::StepWork& Get() { return *work_; }

  private:
    std::unique_ptr<step::StepWork> work_;
};

class Model {
  public:
    Fluid fluid;
    Integration integration;
    InitialState initial;
    std::vector<InitialState> branch_initial;  // per branch (copied from `initial` unless given)
    bool steady_start = false;
    std::vector<Branch> branches;
    std::vector<Boundary> boundaries;
    std::vector<Source> sources;
    std::vector<Well> wells;
    std::vector<Controller> controllers;
    std::vector<Position> positions;
    std::vector<Plug> plugs;
    double shut_from = 1e35, shut_until = 2e35;

    // Clock and stepping.
    double time = 0;
    double planned_step = 0.1;
    double last_step = 0;
    std::int64_t steps = 0;
    MassAccount account;

    // Sets every section to the given initial state, time to the start time.
    void SetInitialState();
    // Integrates from `time` to exactly `end_time`. With `forced` the step sizes
    // are taken from that list (as far as it goes); `used` receives the steps taken.
    // `interrupt`, when given, is asked after every internal step; when it
    // answers true the run stops there and Advance returns false.
    bool Advance(double end_time, const std::vector<double>* forced = nullptr,
                 std::vector<double>* used = nullptr,
                 const std::function<bool()>* interrupt = nullptr);

    // Derivatives over the next Advance: clears `sensitivities` to these seeds
    // with zero response; every step then carries them along.
    void BeginSensitivities(std::vector<Sensitivity> seeds);
    void EndSensitivities() { sensitivities.clear(); }
    std::vector<Sensitivity> sensitivities;
    // Runs towards steady state without advancing the clock; false if it did not
    // settle within the step budget.
    bool SolveSteady(int max_steps = 50000, double tolerance = 1e-9);

    bool ShutIn() const { return time >= shut_from && time < shut_until; }
    double TotalMass() const;
    // Mass in the model less what it held at initialisation and what came in
    // since, relative to the mass in the model (zero but for rounding).
    double MassBalanceError() const;
    Phases PhaseMass() const;
    SectionState StateOf(int branch, int section) const;
    double MixtureVelocity(int branch, int face) const;
    double BranchLength(int branch) const;
    // Phase fractions by mass of a fluid given by gas fraction and water cut (by mass).
    static Phases Composition(double gas_fraction, double water_fraction);
    // Throws std::runtime_error describing the first inconsistency found.
    // `after_step`: the branches' masses, temperatures and flows are those a
    // step committed, which it refuses to commit when not finite (TryStep),
    // and the sections' geometry is the one a load checked (only loading a
    // model writes it); neither is checked again.
    void Validate(bool after_step = false) const;

    int FindBranch(const std::string& label) const;
    int FindBoundary(const std::string& label) const;
    int FindSource(const std::string& label) const;
    int FindWell(const std::string& label) const;
    int FindController(const std::string& label) const;
    int FindPosition(const std::string& label) const;
    int FindPlug(const std::string& label) const;

  private:
    // One step of the given size; false (state untouched) when the step must be
    // shortened, with `shrink` telling by how much.
    bool TryStep(double dt, double& shrink, double& next_dt, bool force);
    // Steps (explicit transport) until flows and pressures change by less than
    // `tolerance` per second, at most `max_steps`; true when they did.
    bool SettleSteps(int max_steps, double tolerance);
    StepScratch scratch_;
};

// The first of a branch's section masses, temperatures and face flows that is
// not a finite number ("mass", "temperature", "flow"); nullptr when all are.
const char* NonFiniteState(const std::vector<Phases>& mass, const std::vector<double>& temp,
                           const std::vector<double>& flow);

// Critical (choked) mass flux through a nozzle, kg/(s m2), for a homogeneous
// frozen gas-liquid mixture of gas mass fraction x at upstream pressure p0 (Pa)
// and temperature t0 (K): isentropic gas (heat capacity ratio kappa), an
// incompressible liquid of density rho_liquid, no slip and no mass transfer
// between the phases; the maximum over the throat pressure of the flux the
// energy balance allows. For x = 1 it is the ideal-gas nozzle formula. The
// critical throat pressure ratio is returned in `ratio`.
double CriticalMassFlux(double p0, double t0, double x, double rho_liquid, double gas_mw,
                        double kappa, double* ratio = nullptr);

// Mass flux, kg/(s m2), of the same nozzle expanding to the throat pressure
// ratio eta (subcritical flow when eta is the downstream ratio above the critical one).
double NozzleMassFlux(double p0, double t0, double x, double rho_liquid, double gas_mw,
                      double kappa, double eta);

// Drift-flux parameters of Shi et al. (2005): distribution coefficient C0 and
// drift velocity (m/s, along the pipe, positive up the slope) for gas volume
// fraction alpha, mixture volumetric flux j (m/s), densities, surface tension
// and the sine of the pipe's inclination from the horizontal.
struct DriftFlux {
    double c0 = 1, drift = 0;
};
DriftFlux ShiDriftFlux(double alpha, double j, double rho_gas, double rho_liquid,
                       double surface_tension, double sin_incl);
// The same law split into what depends only on the inclination and what only on the
// fluid, so that a step evaluates each once: the inclination factor m(theta) of the
// drift velocity, and the fluid terms below.
double ShiInclinationFactor(double sin_incl);
struct DriftFluid {
    bool valid = false;
    double vc = 0;          // characteristic velocity (sigma g drho / rho_l^2)^(1/4), m/s
    double flooding = 0;    // flooding velocity Ku sqrt(rho_l / rho_g) vc, m/s
    double root_ratio = 0;  // sqrt(rho_g / rho_l)
    // Film scale of annular flow, sqrt(g D drho / rho_l) (Ishii 1977), m/s; 0
    // where no pipe is given.
    double film = 0;
    // The Laplace number sqrt(sigma / (g drho)) / D; 0 where no pipe is given.
    double laplace = 0;
    // Drift scale of steep downward flow, sqrt(g D drho / rho_l) C3 (Bhagwat and
    // Ghajar 2014), m/s; 0 where no pipe is given (Shi et al. alone). Taken
    // where steep downflow blends it in (a power: a sixtieth of the export
    // line example's step when taken for every section and face).
    double Fall() const { return film * std::min(1.0, std::pow(laplace / 0.025, 0.9)); }
    // How far Ishii's annular parameters govern (0..1), set per section from
    // the last step's gas flux; 0 unless set.
    double annular = 0;
};
// diameter (m) > 0 adds the pipe's terms for steep downward flow.
DriftFluid ShiDriftFluid(double rho_gas, double rho_liquid, double surface_tension,
                         double diameter = 0);
// incl_factor from ShiInclinationFactor; the drift's sign follows sin_incl.
DriftFlux ShiDriftFlux(double alpha, double j, const DriftFluid& fluid, double incl_factor,
                       double sin_incl);
// Blends c0 and the drift ud (m/s, up the slope) into Ishii's annular-flow
// parameters by fluid.annular.
void BlendAnnular(double alpha, const DriftFluid& fluid, double sin_incl, double& c0, double& ud);

// `volume` at the reference pressure; an elastic wall (wall_compliance, 1/Pa)
// widens it with the pressure.
SectionState ComputeSectionState(const Fluid& fluid, double volume, const Phases& mass,
                                 double temp_c, double wall_compliance = 0);

}  // namespace zefasim
