// Effects of pressure change against hand calculations: a gas line cools by
// its Joule-Thomson coefficient times its pressure drop, gas left in a vessel
// that blows down expands isentropically, gas packed into a closed line takes
// its inflow's enthalpy as internal energy, and an elastic pipe wall slows the
// pressure waves of a liquid line (Korteweg) and so softens its surges.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "helpers.h"
#include "input.h"

namespace zefasim {
namespace {

using testing::Replace;

// A 20 km gas export line from 70 to 50 bar, insulated (no heat exchange).
const char* kGasLine = R"(
FLUID GASMW = 18 kg/kmol@JT@
INTEGRATION MAXDT = 2 s, MINDT = 1e-4 s
NODE LABEL = A, TYPE = PRESSURE
NODE LABEL = B, TYPE = PRESSURE
BRANCH LABEL = L, FROM = A, TO = B
PIPE LABEL = P, BRANCH = L, LENGTH = 20 km, DIAMETER = 0.3 m, ROUGHNESS = 0.05 mm,
     NSECTIONS = 20
BOUNDARY LABEL = IN, NODE = A, PRESSURE = 70 bar, TEMPERATURE = 40 C, GASFRACTION = 1
BOUNDARY LABEL = OUT, NODE = B, PRESSURE = 50 bar, TEMPERATURE = 40 C, GASFRACTION = 1
INITIAL PRESSURE = 60 bar, TEMPERATURE = 40 C, HOLDUP = 0, STEADY = YES
)";

// Steady adiabatic flow keeps the enthalpy h = cp (T - mu p) of the gas: the
// outlet is colder than the inlet by mu times the pressure drop. Rows: the
// rule of thumb for natural gas, 7 F per 100 psi (0.564 K/bar, SPE PetroWiki
// glossary "Joule-Thomson effect"), a lean gas at half that, and the default
// fluid, which must cool by the textbook 6 to 10 K from 70 to 50 bar.
TEST(ZefasimPressureEffects, GasLineCoolsByItsJouleThomsonCoefficient) {
    struct Row {
        const char* key;
        double mu_k_per_bar;  // the published coefficient, 0 for the default fluid
    };
    for (Row row : {Row{", JTCOEFFICIENT = 0.564 K/bar", 0.564},
                    Row{", JTCOEFFICIENT = 2.82e-6 K/Pa", 0.282}, Row{"", 0}}) {
        SCOPED_TRACE(row.key);
        Model m = BuildModel(Replace(kGasLine, "@JT@", row.key), "gas.inp");
        ASSERT_TRUE(m.SolveSteady());
        const int n = static_cast<int>(m.branches[0].sections.size());
        SectionState out = m.StateOf(0, n - 1);
        double cooling = 40 + kKelvin - out.temp_k;
        double drop_bar = (70e5 - out.p) / 1e5;
        if (row.mu_k_per_bar > 0) {
            EXPECT_NEAR(cooling, row.mu_k_per_bar * drop_bar, 0.03 * row.mu_k_per_bar * drop_bar);
        } else {
            EXPECT_GE(cooling, 6.0);
            EXPECT_LE(cooling, 10.0);
        }
        // Cooling grows along the line with the pressure drop.
        EXPECT_LT(m.StateOf(0, n - 1).temp_k, m.StateOf(0, n / 2).temp_k);
    }
}

// A vessel (a short wide pipe, closed at one end) blows down through a small
// choke; the gas at the closed end only ever expands, so with an ideal gas
// (no Joule-Thomson effect) it follows the isentrope T = T0 (p / p0)^((k-1)/k).
TEST(ZefasimPressureEffects, BlowdownCoolsTheVesselAlongTheIsentrope) {
    const char* kVessel = R"(
FLUID GASMW = 18 kg/kmol, GASKAPPA = @K@, JTCOEFFICIENT = 0 K/bar
INTEGRATION MAXDT = 1 s, MINDT = 1e-4 s
NODE LABEL = A, TYPE = CLOSED
NODE LABEL = B, TYPE = PRESSURE
BRANCH LABEL = L, FROM = A, TO = B
PIPE LABEL = P, BRANCH = L, LENGTH = 20 m, DIAMETER = 1 m, NSECTIONS = 4
BOUNDARY LABEL = OUT, NODE = B, PRESSURE = 1 bar, TEMPERATURE = 20 C, GASFRACTION = 1
CONTROLLER LABEL = CHOKE, BRANCH = L, SECTION = 4, DIAMETER = 0.02 m
INITIAL PRESSURE = 100 bar, TEMPERATURE = 40 C, HOLDUP = 0
)";
    for (double kappa : {1.15, 1.3, 1.4}) {
        for (double duration : {300.0, 900.0}) {
            Model m = BuildModel(Replace(kVessel, "@K@", std::to_string(kappa)), "vessel.inp");
            m.Advance(duration);
            SectionState s = m.StateOf(0, 0);
            double hand = (40 + kKelvin) * std::pow(s.p / 100e5, (kappa - 1) / kappa);
            EXPECT_LT(s.p, 90e5);
            EXPECT_NEAR(s.temp_k, hand, 0.01 * (40 + kKelvin - hand));
        }
    }
}

// Gas packed from a boundary into a closed, insulated line: what enters brings
// its enthalpy cp T1, the line holds internal energy cv T. At rest at the
// boundary's pressure p1 the energy and the gas law give the mass
// m = m0 + (p1 - p0) V M / (k R T1) and the mean temperature p1 V M / (R m):
// above the inflow's, where an isothermal model would stay at T1.
TEST(ZefasimPressureEffects, PackingAClosedLineHeatsIt) {
    const char* kClosedLine = R"(
FLUID GASMW = 18 kg/kmol, GASKAPPA = @K@, JTCOEFFICIENT = 0 K/bar
INTEGRATION MAXDT = 1 s, MINDT = 1e-4 s
NODE LABEL = A, TYPE = PRESSURE
NODE LABEL = B, TYPE = CLOSED
BRANCH LABEL = L, FROM = A, TO = B
PIPE LABEL = P, BRANCH = L, LENGTH = 2000 m, DIAMETER = 0.2 m, NSECTIONS = 10
BOUNDARY LABEL = IN, NODE = A, PRESSURE = @P1@ bar, TEMPERATURE = 20 C, GASFRACTION = 1
INITIAL PRESSURE = 40 bar, TEMPERATURE = 20 C, HOLDUP = 0
)";
    for (double kappa : {1.2, 1.4})
        for (double p1_bar : {50.0, 80.0}) {
            std::string text = Replace(kClosedLine, "@K@", std::to_string(kappa));
            Model m = BuildModel(Replace(text, "@P1@", std::to_string(p1_bar)), "closed.inp");
            m.Advance(3000);
            const Branch& br = m.branches[0];
            double volume = 0, mass = 0, mt = 0;
            for (size_t i = 0; i < br.sections.size(); ++i) {
                volume += br.sections[i].volume;
                mass += br.mass[i][kGas];
                mt += br.mass[i][kGas] * (br.temp[i] + kKelvin);
            }
            const double r = kGasConstant / 18, t1 = 20 + kKelvin, p0 = 40e5, p1 = p1_bar * 1e5;
            double m_hand = p0 * volume / (r * t1) + (p1 - p0) * volume / (kappa * r * t1);
            double t_hand = p1 * volume / (r * m_hand);
            EXPECT_NEAR(mass, m_hand, 0.002 * m_hand);
            EXPECT_NEAR(mt / mass, t_hand, 0.02 * (t_hand - t1));
            EXPECT_NEAR(std::fabs(br.flow[0]), 0, 1e-3 * mass);
        }
}

// A water line flowing at steady state; the valve at its outlet shuts at once.
// The surge at the valve is Joukowsky's rho a v, and its front reaches the
// middle of the line after L / (2 a), with the wave speed of Korteweg's
// formula a = sqrt((K / rho) / (1 + K D / (e E))) for a thin elastic wall of
// thickness e and Young's modulus E. Rows: a rigid pipe, steel, polyethylene.
TEST(ZefasimPressureEffects, ElasticWallSlowsWavesAndSoftensSurges) {
    const char* kWaterLine = R"(
FLUID WATERDENSITY = 1000 kg/m3, BULKMODULUS = 2.1e9 Pa
INTEGRATION MAXDT = 1 s, MINDT = 1e-5 s
NODE LABEL = A, TYPE = PRESSURE
NODE LABEL = B, TYPE = PRESSURE
BRANCH LABEL = L, FROM = A, TO = B
PIPE LABEL = P, BRANCH = L, LENGTH = 1000 m, DIAMETER = 0.5 m, ROUGHNESS = 0.05 mm,
     NSECTIONS = 50@WALL@
BOUNDARY LABEL = IN, NODE = A, PRESSURE = 10.2 bar, TEMPERATURE = 20 C, GASFRACTION = 0,
         WATERFRACTION = 1
BOUNDARY LABEL = OUT, NODE = B, PRESSURE = 10 bar, TEMPERATURE = 20 C, GASFRACTION = 0,
         WATERFRACTION = 1
CONTROLLER LABEL = VALVE, BRANCH = L, SECTION = 50, DIAMETER = 0.5 m, CD = 1
INITIAL PRESSURE = 10.1 bar, TEMPERATURE = 20 C, HOLDUP = 1, WATERCUT = 1, STEADY = YES
)";
    struct Row {
        const char* wall;
        double thickness, modulus;  // m, Pa; 0 for a rigid pipe
    };
    const double k = 2.1e9, d = 0.5, len = 1000;
    double last_surge = 1e30;
    for (Row row :
         {Row{"", 0, 0}, Row{", WALLTHICKNESS = 12 mm, YOUNGSMODULUS = 200e9 Pa", 0.012, 200e9},
          Row{", WALLTHICKNESS = 45 mm, YOUNGSMODULUS = 0.8e9 Pa", 0.045, 0.8e9}}) {
        SCOPED_TRACE(row.wall);
        Model m = BuildModel(Replace(kWaterLine, "@WALL@", row.wall), "water.inp");
        ASSERT_TRUE(m.SolveSteady());
        const int n = static_cast<int>(m.branches[0].sections.size());
        SectionState before = m.StateOf(0, n - 1);
        double rho = before.rho_water;
        double v = m.branches[0].flow[n] / (rho * M_PI * d * d / 4);
        double a_hand = std::sqrt(k / rho);
        if (row.thickness > 0) a_hand /= std::sqrt(1 + k * d / (row.thickness * row.modulus));
        double p_mid0 = m.StateOf(0, n / 2).p;
        m.controllers[0].opening = 0;
        // Surge at the valve: its mean from 0.1 to 0.4 of the front's round trip,
        // before the line packs behind it; arrival: when the middle section has
        // risen by half of it.
        double t0 = m.time, arrival = 0, surge_sum = 0;
        int surge_count = 0;
        const double round_trip = 2 * len / a_hand, dt = round_trip / 200;
        m.integration.max_step = m.planned_step = dt;  // steps that resolve the wave
        for (double t = dt; t < 0.4 * round_trip; t += dt) {
            m.Advance(t0 + t);
            if (t > 0.1 * round_trip && t < 0.4 * round_trip) {
                surge_sum += m.StateOf(0, n - 1).p - before.p;
                ++surge_count;
            }
            if (arrival == 0 && m.StateOf(0, n / 2).p - p_mid0 > 0.5 * rho * a_hand * v)
                arrival = t;
        }
        double surge = surge_sum / surge_count;
        double a_measured = (len / 2 - len / n / 2) / arrival;
        EXPECT_NEAR(a_measured, a_hand, 0.05 * a_hand);
        EXPECT_NEAR(surge, rho * a_hand * v, 0.05 * rho * a_hand * v);
        EXPECT_LT(surge, last_surge);
        last_surge = surge;
    }
}

}  // namespace
}  // namespace zefasim
