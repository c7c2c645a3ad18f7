#pragma once

// The stages of one model step and the scratch they share. Internal to the
// model: each stage lives in the file of what it computes (geometry, fluid
// state, holdup, friction, chokes, the implicit solve, phase transport,
// sources and wells, energy, derivatives), and Model::TryStep runs them in
// order for every branch (model_step.cpp).

#include <algorithm>
#include <array>
#include <vector>

#include "model.h"

namespace zefasim::step {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTiny = 1e-300;
// The share of a section's content its outflows, or the void wave, may carry
// off explicitly in a step (model_transport_implicit.cpp).
constexpr double kExplicitShare = 0.8;

// 0 below 0, 1 above 1, and the cubic 3t^2 - 2t^3 between: the weight every
// closure blends in by, smooth in its argument so the tangents follow it.
inline double Smoothstep(double t) {
    t = std::clamp(t, 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

inline double Sum(const Phases& p) {
    return p[0] + p[1] + p[2];
}

// Mass fractions of a section's content; zero for an empty section.
Phases Fractions(const Phases& m);
// Shares of the phases in what flows out of a section: the gas moves `slip`
// times as fast as the liquids, so its share exceeds its share of the mass.
Phases FlowShares(const Phases& m, double slip);
// The state of a section as ComputeSectionState gives it, less the pressure's
// response (dpdm, dpdm_t, dpdt stay zero): what the drift-flux law reads.
SectionState SectionDensities(const Fluid& fluid, const Section& sec, const Phases& mass,
                              double temp_c);
// Density and viscosity of a fluid of given mass composition at p and T.
void FluidAt(const Fluid& f, const Phases& phi, double p, double temp_c, double& rho, double& mu);
// Whether two fluids give the same section state (pressure response included)
// for the same masses.
bool SameEquationOfState(const Fluid& a, const Fluid& b);

// One side of a face: a section, or the boundary beyond a branch end.
struct FaceSide {
    double p = 0, rho = 0, mu = 0, temp_k = 0;
    Phases phi{};        // mass fractions of what flows from this side
    Phases rho_phase{};  // density of each phase there
    double v_ns = 0;     // no-slip specific volume of what flows from this side
};

// What the drift-flux law needs of a section.
struct SectionDrift {
    double alpha = 0, rho_gas = 0, rho_liquid = 0, oil_share = 1;  // oil share of liquid mass
    DriftFluid fluid;  // the fluid terms of the drift law
    // Of the flowing line (model_holdup_flowing.cpp), at the last step's rates:
    // how far the correlation governs (0..1), its slip ratio u_g / u_l, the
    // multiplier of the mixture friction, and the volume per mass of what flows
    // (m3/kg, 0 when nothing flowed).
    double weight = 0, slip = 1, friction = 1, v_flow = 0;
    double geometry_sin = 0, sin18 = -2;  // sin(1.8 theta) of the section's slope
    // Drift flux only: how far the near-horizontal closure governs by the slope,
    // the part of `friction` that is the correlation's, and the face whose last
    // phase flows `friction` is taken at.
    double level = 0, friction_fixed = 0;
    int friction_face = 0;
    // How far the stratified layers' balance governs by the last step's rates
    // and the section's slope.
    double layered = 0;
};

// The layers of Taitel and Dukler's stratified balance at a holdup
// (model_holdup_stratified.cpp): everything of it but the velocities.
struct StratifiedLayers {
    double holdup = 0;
    double d_l = 0, d_g = 0, rough_l = 0, rough_g = 0;  // hydraulic diameters, roughness terms
    double wall_l = 0, wall_g = 0, interface = 0;       // S_l / A_l, S_g / A_g, S_i (1/A_l + 1/A_g)
    double gravity = 0;  // (rho_l - rho_g) g sin of the slope along the flow
    // The gas velocity above which waves grow (Kelvin-Helmholtz): (1 - h_l /
    // D) sqrt((rho_l - rho_g) g cos A_g / (rho_g dA_l/dh_l)), dA_l/dh_l = S_i.
    double u_kh = 0;
    double half_angle = 0;  // StratifiedHalfAngle at the holdup
};

// Per-branch scratch of a step (kept between steps to avoid allocations).
// The response of three phase quantities to a section's three phase masses:
// [quantity's phase][mass's phase].
using Jacobian = std::array<Phases, 3>;

// The near-horizontal closure's shares solved before (a neighbouring face's, or
// the same face's) and their secants, to start a solve from.
struct GasShareStart {
    double share = -1, slope = 0, share_t = 0;  // share_t: its solve's ln(1 - share)
    double layers = -1, layers_slope = 0;       // StratifiedGasShare's liquid share and secant
    double layers_v = 0;                        // and the step variable at it (LogRoot::v)
};

struct BranchScratch {
    std::vector<SectionState> st;
    std::vector<Phases> src;             // source phase flows per section
    std::vector<double> src_energy;      // enthalpy flow (W) of sources with positive flow
    std::vector<double> withdraw;        // total withdrawal per section (positive number)
    std::vector<double> omega, omega_p;  // well linearisation
    std::vector<double> ptilde, dfac, gin, gout;
    // Per section: the factor its sinks are held to (1 where they take what
    // they ask), and where it is below 1 their flow per kg held (1/s).
    std::vector<double> sink_scale, sink_per_kg;
    // Per face: the flow whose direction gin and gout took the phase shares
    // by, and how often the solve turned it.
    std::vector<double> g_dir;
    std::vector<int> dir_turns;
    // Per section: the pressure's response to each phase mass at the state it
    // is taken at (the step's start, or the new masses of the last pass);
    // ptilde = p_base - dt (gin g_base_in - gout g_base_out), g_base the flows
    // it is taken about (none at the start).
    std::vector<Phases> resp_dpdm;
    std::vector<double> p_base, g_base_in, g_base_out;
    std::vector<double> lo, di, up, rhs, c, denom;
    // Per choke face: its row before the critical flow replaced it.
    std::vector<double> sub_lo, sub_di, sub_up, sub_rhs;
    std::vector<double> g_new, g_lin;
    std::vector<FaceSide> left, right;
    // Per face, the closure's shares solved for its left and right sides with
    // their secants: the derivatives, which solve them again at masses and
    // flows perturbed by 1e-7, start there (two evaluations, not nine).
    std::vector<GasShareStart> left_start, right_start;
    std::vector<char> closed;
    std::vector<Phases> flux;
    std::vector<Phases> drift;  // per face: drift-flux phase flows (explicit)
    // Per face: the flow the drift law's shares and drift are taken at (the last
    // step's; on a step solved again under DRIFTLEVEL, moved towards the step's
    // own, TakeSharesAtNewFlows), and whether the step is being solved again. On
    // a step solved again, per face: whether its sides' shares and its drift are
    // those of the solve before (its flow the same, and so what the sections
    // beside it hold).
    std::vector<double> g_share;
    bool share_resolve = false;
    std::vector<char> share_kept;
    // The step's solves so far, and per face the flow its shares were taken at
    // in the last solve that moved it and the flow that solve's first pass gave
    // (NaN before one did): the secant towards the flow that gives itself. (The
    // seeds hold the share flow of a face that moved: CompositionFluxes.)
    int share_solves = 0;
    std::vector<double> share_tried, share_gave;
    // Per face under the closure: which side (1 left, 2 right) is the
    // downwind section's share taken from its own upwind side at its other
    // face (SetFaceSides), to be solved at this face if the flow turns.
    std::vector<char> side_copied;
    std::vector<SectionDrift> sd;
    // Per section, the last kLayerMemo stratified layer velocities LayerDrift
    // took there and what each was taken from: the same section is evaluated
    // at both its faces, again in a step solved again, and beside each
    // perturbed neighbour for the derivatives, at the same state.
    struct LayerMemo {
        double holdup = -1, diameter = 0, roughness = 0, sin_slope = 0, rho = 0, mu = 0, u = 0;
    };
    static constexpr int kLayerMemo = 4;
    std::vector<LayerMemo> layer_memo;
    std::vector<unsigned char> layer_next;  // per section: the entry replaced next
    // Per section, the stratified balance's layers at the holdup the section
    // holds (StratifiedGasShare), along the slope upward, and what they were
    // taken from: its shares are solved at both faces and again in a step
    // solved again, at the same state.
    struct BalanceMemo {
        double holdup = -1, rho_l = 0, rho_g = 0, diameter = 0, roughness = 0, sin_slope = 0;
        StratifiedLayers layers;
    };
    std::vector<BalanceMemo> balance_memo;
    // Per section, StratifiedLayerWeight's last level solve: all it was taken
    // from (rates, fluids, holdup, the start handed on, the section) and what
    // it gave; a step solved again takes it again at the same rates.
    struct LevelMemo {
        std::array<double, 14> from{};
        double weight = 0, layers = -1, layers_slope = 0, layers_v = 0;
    };
    std::vector<LevelMemo> level_memo;
    std::vector<Phases> mass_new;
    // Implicit transport (model_transport_implicit.cpp): per face and phase the
    // coefficients of the left and right donors' new masses and the fixed
    // flow; per section the mixture mass at the step's end, x_new / x_old of
    // each phase, and the pivots of each phase's rows.
    // For the tangent, per section x_new, M_new x_new / x_old and the scale of
    // its outflows (t_rho), per face the scale of the mixture's part and the drift's.
    std::vector<Phases> t_cl, t_cr, t_fixed, t_rho, t_lo, t_c, t_inv;
    std::vector<Phases> t_xnew, t_mrho, t_rmix, t_rdrift;
    std::vector<double> t_mnew, t_explicit;  // t_explicit: per section, the explicit share
    // Per section, the Courant number of the void wave at the flows the drift
    // law's shares are taken at (ComputeDrift; none without drift flux).
    std::vector<double> t_wave;
    bool t_implicit = false;  // false: the step's transport was explicit
    // Whether the void wave alone made the transport implicit (so that a
    // later pass may take it again from its window); per section the running
    // elimination factor and forward-eliminated masses of its rows, and the
    // largest outflow ratio of its rows and those before.
    bool t_by_wave = false;
    std::vector<Phases> t_excess, t_fwd;
    std::vector<double> t_ratio;
    // A later pass of a step solves anew only from face `window` on (0: the
    // whole branch): the flows before it keep those of the pass before
    // (g_pass), and so do the masses, temperatures and states of the sections
    // before window - 2, whose rows are then those of the pass before.
    int window = 0;
    std::vector<double> g_pass;
    // The first section whose response the last RelinearisePressures took
    // again; the first face whose flow the pass's Newton iteration solves (the
    // window, or 0 in a branch with a choke).
    int coupled_first = 0, solve_from = 0;
    double scale_before = 0;  // the largest flow before solve_from (at least 1e-3)
    std::vector<double> temp_new;
    std::vector<SectionState> st_after;  // derived state at the new masses
    std::vector<double> dp_upto;  // per section: the largest relative pressure change up to it
    // The derivative rows of the last solve (see model_derivatives.cpp).
    bool derivative_rows = false;
    std::vector<double> d_keep, d_left, d_right, inv_denom;
    // Per face: the row's response to the pressure either side at the step's
    // start, which the losses are taken at (d_left, d_right: the predicted).
    std::vector<double> d_start_left, d_start_right;
    // Per face: the row's response to the mean of its sides' mixture
    // viscosities (friction's Reynolds number); per section: the viscosity's
    // response to its phase masses.
    std::vector<double> d_mu;
    std::vector<Phases> d_mu_mass;
    // Per face: d(phase share)/d(upwind masses) [share][mass], and of the drift
    // with respect to the masses of the sections before and after the face.
    std::vector<Jacobian> d_share, d_drift_lo, d_drift_hi;
    // Under DRIFTLEVEL, per face: d(upwind phase shares)/d(flow) and d(drift)/d(flow)
    // at the flow they are taken at (the last step's), and that flow; empty without the closure.
    std::vector<Phases> d_share_g, d_drift_g;
    std::vector<double> d_jac_flow;
    std::array<char, 2> d_capped{};  // the drift at the inlet, outlet takes all it may
    // What the drift-flux Jacobians of each section were taken at: they are
    // taken again only where a section or its neighbour moved.
    std::vector<Phases> d_jac_mass;
    std::vector<double> d_jac_temp;
    // A run interval began while no seed's masses had responded: the
    // Jacobians, unused until they do, are all taken again then.
    bool d_jac_refresh_pending = false;
    std::vector<unsigned char> d_jac_flags;
    Fluid d_jac_fluid;
    std::vector<double> d_rho;  // per face: row response to a side's density change
    std::vector<Phases> d_fns;  // per face: row response to the last step's phase flows
    // Under DRIFTLEVEL (empty otherwise), per face: the row's response to the
    // last step's phase flows through faces j - 1, j and j + 1 and to the
    // masses of the sections before and after it, by the closure's friction
    // multipliers; per section, a multiplier's response to the masses.
    struct ClosureRows {
        Jacobian flux{};
        Phases mass_lo{}, mass_hi{};
    };
    std::vector<ClosureRows> d_closure;
    std::vector<Phases> d_fric_m;
    std::vector<Phases> well_dq;      // per section: d(well phase inflow)/d(pressure)
    std::vector<Phases> well_flow;    // per section
    std::vector<double> well_energy;  // enthalpy flow (W) of wells
    std::vector<double> elevation;    // per section: height of its centre (m)
    std::vector<double> e_start;      // per section: energy held at the step's start (J)
    // Energy rows D T_i - A T_(i-1) - B T_(i+1) = rhs of the step, and the solution (K).
    std::vector<double> e_lo, e_di, e_up, e_rhs, e_sol, e_c, e_inv;
    // For the derivatives: per face and phase the energy (J/kg) what flows
    // carries at the step's end, h + g z of its donor; per section that held
    // per kg at the step's start and end, u + g z, and sum(m cv) at the start.
    std::vector<Phases> e_carried, e_held0, e_held1;
    std::vector<double> e_heat0;
    // Per section: the energy row's response to the pressures (the phases'
    // energy per kg moves with them): its own and its two neighbours' (or a
    // boundary's) at the step's start, its own predicted new one.
    std::vector<std::array<double, 4>> e_pres;
    // Per face: fluid of the momentum balance (in-situ mixture density and
    // viscosity; no-slip density of what flows).
    std::vector<double> frho, fmu, fns, cface;
    // Per face: the loss (Pa) and its slope at the flow g_lin it was linearised
    // about, and whether to linearise it again in this Newton iteration;
    // loss0, dloss0: of a face without a choke at the last step's flow, where
    // every pass of the step starts (taken in its first pass).
    std::vector<double> loss, dloss, loss0, dloss0;
    std::vector<char> relin;
    // Whether the branch has a closed face, an open choke, a choke at all (set
    // by each pass).
    bool any_closed = false, open_choke = false, any_choke = false;
    // Per face: whether its row is to be assembled again; the first and last
    // face so marked (an empty range when first > last).
    std::vector<char> rebuild;
    int rebuild_first = 0, rebuild_last = -1;
    // Per face: the flow of the forward sweep of the last solve (before back
    // substitution), kept so that the next Newton iteration sweeps forward only
    // from its first row assembled again.
    std::vector<double> g_fwd;
    // Per face: choke state (0 subcritical, +1/-1 critical forward/backward),
    // d(critical flow)/d(upstream pressure), mode switches in this step.
    std::vector<signed char> crit;
    std::vector<double> gcp;
    std::vector<int> switches;
};

struct StepWork {
    std::vector<BranchScratch> br;
    std::vector<Phases> applied;       // per source
    std::vector<Phases> well_applied;  // per well
};

// What every stage of one branch's step works on.
struct BranchStep {
    const Model& model;
    Branch& br;
    BranchScratch& w;
    int b = 0, n = 0;
    double dt = 0;
    bool shut = false, drift_model = false;
};

// Grid and geometry (model_geometry.cpp): the geometry terms of each face and
// section, derived once per branch.
void EnsureGeometry(Branch& br);

// Fluid state (model_fluid.cpp): the derived state of each section at the
// step's start (reused from the previous step where nothing changed), and at
// the new masses and temperatures; returns the largest relative pressure change.
void DeriveSectionStates(BranchStep& s);
double DeriveNewStates(BranchStep& s);

// Sources and wells (model_sources.cpp).
void ApplySources(BranchStep& s, std::vector<Phases>& applied);
void LineariseWells(BranchStep& s);
void WellInflow(BranchStep& s, std::vector<Phases>& well_applied);

// Holdup (model_holdup.cpp): the drift-flux description of each section, the
// phase shares of what each face carries, and the drift between sections.
void DescribeDrift(BranchStep& s);
void DescribeSectionDrift(BranchStep& s, int i);
// For the derivatives: the phase shares section i gives a flow g, and the drift
// across face j (before the cap on the new outflow), at the sections' present state.
Phases SectionShares(const BranchStep& s, int i, double g, GasShareStart* start = nullptr);
Phases DriftAcross(BranchStep& s, int j);
// Under DRIFTLEVEL, where the step's flows moved from those its shares were taken
// at: takes them at the step's flows and answers true (the step is solved again).
bool TakeSharesAtNewFlows(BranchStep& s);
// Whether face j of a step solved again keeps the first solve's sides and
// drift (and so the fluid and losses its momentum balance starts from).
bool SharesKept(const BranchScratch& w, int j);
void SetFaceSides(BranchStep& s);
// Solves, at the flow its shares are taken at, each side SetFaceSides took from
// the section's other face where the step's flow turned so that it carries it.
void SolveTurnedSides(BranchStep& s);
// The fluid a boundary presents to its end face at the given pressure.
FaceSide BoundarySide(const Model& m, int bi, double pressure);
void ComputeDrift(BranchStep& s);
void CapEndDrift(BranchStep& s);

// Holdup of a flowing line (model_holdup_flowing.cpp): Beggs and Brill's
// holdup for superficial velocities (m/s), liquid density, surface tension and
// diameter, at sin(1.8 theta) of the inclination along the flow; their
// two-phase friction multiplier e^S for no-slip liquid fraction and holdup.
struct FlowingRates {
    double vsg = 0, vsl = 0, rho_liquid = 0, sigma = 0, diameter = 0;
};
double BeggsBrillHoldup(const FlowingRates& r, double sin18);
// The same holdup with what is fixed per pipe, fluid and inclination taken
// once (a closure solving for the rates evaluates it many times): of the flow
// only the no-slip liquid share lam, the mixture velocity vm (m/s) and their
// logarithms.
struct BeggsBrillPipe {
    double gd = 0, ln_gd = 0;       // g D and its logarithm
    double ln_nlv_fluid = 0;        // ln (rho_l / (g sigma))^(1/4), the fluid's part of ln Nlv
    double sin18 = 0, incline = 0;  // sin(1.8 theta), and less a third of its cube
};
BeggsBrillPipe BeggsBrillPipeOf(double rho_liquid, double sigma, double diameter, double sin18);
double BeggsBrillHoldup(const BeggsBrillPipe& p, double lam, double ln_lam, double vm,
                        double ln_vm);
double BeggsBrillFrictionRatio(double lambda_l, double holdup);
// Fills section i's flowing-line terms of w.sd from the last step's rates.
void DescribeFlowingHoldup(BranchStep& s, int i);
// What flowed into section i in the last step, along the flow: the phase mass
// flows q of its upstream face and of the sources within it (sign: the flow's
// direction). Taken from upstream, so that a section's own holdup does not set
// its own rates. False where the branch has no face flows yet.
bool LastInflow(const BranchStep& s, int i, Phases& q, double& sign);
// How far Ishii's annular parameters govern section i under the default law,
// by the gas flux of its last step's inflow (model_holdup_flowing.cpp).
double AnnularWeight(const BranchStep& s, int i);
// Under the default law, the multiplier of section i's mixture friction where
// it falls steeply along its last step's flow (1 elsewhere).
double SteepDownFriction(BranchStep& s, int i);
// The multiplier of the mixture friction at face j, the mean of its two sections'.
double FrictionMultiplier(const BranchStep& s, int j);

// Holdup near horizontal under DRIFTLEVEL (model_holdup_near_horizontal.cpp):
// how far it governs by the sine along the flow (1 within 10 degrees down and 45 up,
// none beyond 20 down and 60 up) and by the mixture flux j (none where the mixture moves
// slowly), and the gas's share of the volume the mixture flow g (kg/s) carries
// out of a section, solved so that Beggs and Brill give the section's holdup.
double NearHorizontalWeight(double sin_incl);
double NearHorizontalRateWeight(double j, const DriftFluid& fl);
// `start`, where given, holds a share solved before (of a neighbouring face) and
// its slope to start from, and receives this one's (GasShareStart, above).
double NearHorizontalGasShare(const SectionDrift& d, double g, const Section& sec, double sigma,
                              GasShareStart* start = nullptr);
// The closure's gas share where the flow is stratified (model_holdup_stratified.cpp):
// from Taitel and Dukler's layer balance at section i's holdup, blended into
// NearHorizontalGasShare's (given `start`) where the layer turns wavy.
double StratifiedGasShare(const BranchStep& s, int i, double g, GasShareStart* start);
// How far that balance governs (0..1) by the rates that last flowed through
// section i and its slope: 1 within a degree of horizontal while the layer
// stays smooth at their equilibrium level.
// `start` carries the level and secant solved for the section before in the
// same sweep (levels of neighbours differ little; the holdups they hold may).
double StratifiedLayerWeight(const BranchStep& s, int i, GasShareStart& start);
// The factor on the drift law's drift at a face inclined by sin_incl, of area
// A, carrying the flow g out of donor section i, under the closure's slope
// weight `level` (before a stalled layer's drainage raises the drift).
double NearHorizontalDriftTaper(const BranchStep& s, int i, double level, double g, double area,
                                double sin_incl);
// How far the closure governs the mixture that NearHorizontalDriftTaper cut the
// drift by `drift_taper` for (0..1).
double NearHorizontalGoverns(double drift_taper, double sin_incl);
// Beggs and Brill's two-phase friction as a multiple of the mixture friction,
// at section i's holdup and the last step's rates, weighted as the closure:
// d.friction = 1 - w + d.friction_fixed (the correlation's part); and for the
// derivatives section i's multiplier's response to the phase flows it is
// taken at (those through face w.sd[i].friction_face).
void NearHorizontalFriction(const BranchStep& s, int i, SectionDrift& d);
Phases NearHorizontalFrictionSlopes(const BranchStep& s, int i);
// Under DRIFTLEVEL, w.d_closure: the momentum rows' response, at the step's
// new flows, to what the closure's friction multipliers are taken from (the
// last step's phase flows, the sections' masses in w.d_fric_m).
void ClosureFrictionRows(BranchStep& s);
// A stratified layer near horizontal (model_stratified_drainage.cpp): the
// velocity (m/s) at which gravity drives a liquid layer of the given holdup
// down a slope against wall friction, and the drift velocity of section i's
// state (df, the drift law's) raised, within a few degrees of horizontal, to the one
// that carries that layer's flow where the mixture (volumetric flux j,
// positive downstream) stands still or runs down the slope.
// The friction factor and Re df/dRe at Reynolds number re > 0 (model_friction.cpp),
// for roughness_term = (relative roughness / 3.7)^1.11.
void FrictionAndSlope(double re, double roughness_term, double& f, double& re_dfdre);
// FrictionAndSlope's factor alone, to rounding (Re > 0): for the stratified
// layers' balance, evaluated many times a step.
double LayerFriction(double re, double roughness_term);
// Half the wetted angle (rad) of a stratified layer of the given holdup.
double StratifiedHalfAngle(double holdup);
// (`half_angle`: StratifiedHalfAngle(holdup), `roughness_term`: the layer's
// (relative roughness / 3.7)^1.11, where already taken.)
double StratifiedLayerVelocity(double holdup, double diameter, double roughness, double sin_slope,
                               double rho_liquid, double mu_liquid, double half_angle = -1,
                               double roughness_term = -1);
double LayerDrift(const BranchStep& s, int i, const SectionDrift& sd, double sin_incl, double j,
                  const DriftFlux& df, double taper = 1);

// No-slip specific volume of a flow of mass fractions phi whose phases have
// densities rho (phases flowing the other way, or absent, left out).
inline double NoSlipVolume(const Phases& phi, const Phases& rho) {
    double v = 0;
    for (int k = 0; k < 3; ++k)
        if (phi[k] > 0 && rho[k] > 0) v += phi[k] / rho[k];
    return v;
}

// Friction (model_friction.cpp): the wall loss (Pa) of face j at flow g0 and
// its slope with respect to the flow, by the mixture form f rho_m j|j| / (2 D).
void PipeLoss(const BranchStep& s, int j, double g0, double& loss, double& dloss);
// The same loss and its slopes with respect to the face's mixture density
// (w.frho) and the no-slip density of what flows (w.fns), at fixed viscosity.
void PipeLossDensitySlopes(const BranchStep& s, int j, double g0, double& loss, double& d_rho_m,
                           double& d_rho_ns);
// The fluid of face j's momentum balance from its two sides: mixture density,
// viscosity and the no-slip density of what flows (w.frho, w.fmu, w.fns).
void FaceFluid(BranchStep& s, int j);

// Momentum flux (model_acceleration.cpp): the change of the mixture's momentum
// flux across face j, and at an open end the exit at no more than the sound
// speed (the end chokes), as a loss (Pa) at flow g0 with its slope.
void AddAcceleration(const BranchStep& s, int j, double g0, double& loss, double& dloss);

// Chokes and critical flow (model_choke.cpp): the loss of the isentropic nozzle
// below its critical pressure ratio.
void AddChokeLoss(const BranchStep& s, int j, double g0, double& loss, double& dloss);
void ApplyCriticalRows(BranchStep& s, bool& any_choke);
bool UpdateChokeRegimes(BranchStep& s);

// The implicit solve (model_solve.cpp): the sections' linearised pressure
// response, then the face flows from the momentum balance (Newton on the losses).
// A later pass of the same step (`later_pass`) reuses the faces' fluid and their
// losses at the last step's flow, which the pass cannot change.
void LinearisePressures(BranchStep& s);
void SolveFaceFlows(BranchStep& s, bool later_pass);
// After a pass of the step, where a section's pressure moved far and its
// prediction missed it: sections whose pressure at the transported masses lies
// more than a tolerance from the prediction take their response again about
// those masses (Newton on the coupling of the flows and the transport). True
// if any did, and the step is to be solved again.
bool RelinearisePressures(BranchStep& s);
// Predicted new pressure of section i from the face flows g.
inline double PredictedPressure(const BranchScratch& w, double dt, int i,
                                const std::vector<double>& g) {
    return w.dfac[i] * (w.ptilde[i] + dt * w.gin[i] * g[i] - dt * w.gout[i] * g[i + 1]);
}

// Phase transport (model_transport.cpp): phase flows of the faces, the outflow
// limit, the new masses; plugs.
void PhaseFluxes(BranchStep& s, int first = 0);
// Low points (inner faces where both sections fall towards the face): the
// liquid of the sections beside one pools there, and the gas their flow and
// the drift carry across is cut as that liquid seals the low point.
// PooledShares gives section i's shares phi there, PooledDrift the drift
// across low point j.
bool LowPoint(const Branch& br, int j);
Phases PooledShares(const BranchStep& s, int i, const Phases& phi);
Phases PooledDrift(const BranchStep& s, int j, const Phases& drift);
void PoolAtLowPoints(BranchStep& s);
double OutflowRatio(const BranchStep& s, double stop_above = 1e300);
void ScaleOverdrawn(BranchStep& s, std::vector<Phases>& applied);
void UpdateMasses(BranchStep& s);
// The new masses by backward Euler in the phase masses (model_transport_implicit.cpp),
// the phase flows w.flux replaced by those of the solution. Returns how much of
// a phase the flows that stay fixed (and sources) take from a section,
// relative to what it holds (above 1: the step overdraws it).
double TransportImplicit(BranchStep& s);
// What the tangent of the implicit transport needs of the step's last pass
// (taken once per step, by the derivatives).
void TransportTangent(BranchStep& s);
// Derivative seeds are carried through a step together, kLanes at a time: of
// each quantity one lane per seed (a lane without a seed carries zeros).
// Lanes is a GCC and Clang vector type: arithmetic on it is lane by lane (the
// same IEEE operations as on one double), in as few instructions as the
// target allows.
constexpr int kLanes = 4;
typedef double Lanes __attribute__((vector_size(kLanes * sizeof(double))));
using PhaseLanes = std::array<Lanes, 3>;  // [phase]
// The tangent of the transport for the derivatives: from the responses of the
// old masses, the face flows, the explicit phase flows dflux (replaced by the
// transport's) and the sources and wells dq, the responses of the new masses.
// dshare: per face, the response of the mixture's part at fixed flow (the
// flow times its shares' response). Not `held`: dm_old and dshare are zero.
void TransportResponse(const BranchStep& s, bool held, const std::vector<PhaseLanes>& dm_old,
                       const std::vector<Lanes>& dflow, const std::vector<PhaseLanes>& dshare,
                       const std::vector<PhaseLanes>& dq, std::vector<PhaseLanes>& dflux,
                       std::vector<PhaseLanes>& dm_new);
void MovePlugs(Model& model, double dt);

// Energy (model_energy.cpp): the new temperature of each section. The phases'
// enthalpy and internal energy per kg are linear in temperature (K) and
// pressure: h_k = cp_k T + hp_k p, u_k = cv_k T + up_k p.
struct PhaseEnergy {
    Phases cp{}, cv{}, hp{}, up{};
};
PhaseEnergy PhaseEnergyOf(const Fluid& f);
// Enthalpy flow (W) of phase flows q at temperature temp_k and pressure p.
double EnthalpyFlow(const PhaseEnergy& e, const Phases& q, double temp_k, double p);
// The sections' heights and the energy each holds at the step's start: the
// same in every pass of a step, taken once before them.
void HeldEnergiesAtStart(BranchStep& s);
void UpdateTemperatures(BranchStep& s);
// Solves the energy rows of the last UpdateTemperatures for another right-hand side.
void SolveEnergyRows(const BranchScratch& w, int n, const std::vector<double>& rhs,
                     std::vector<double>& x);

// Derivatives: the rows of the step's tangent (model_derivatives.cpp), taken
// once per step for all the branch's seeds, with the drift-flux Jacobians where
// `masses_moved` (`refresh` takes them all again), only those acting on the
// seeds' own inputs where they carry nothing yet (not `carried`); carrying each
// seed through the step (model_seeds.cpp).
void DeriveDerivativeRows(BranchStep& s, bool refresh, bool masses_moved, bool carried);
void PropagateSensitivities(Model& model, StepWork& work, double dt);
// Index of the section upwind of face j at flow g, -1 where a boundary is.
inline int UpwindSection(int j, double g, int n) {
    int u = g > 0 ? j - 1 : j;
    return u >= 0 && u < n ? u : -1;
}
// With drift flux, the shares' and the drift's response to the sections' masses
// (model_derivatives_drift.cpp); `refresh` takes every section's again.
void DriftJacobians(BranchStep& s, bool refresh);

}  // namespace zefasim::step
