#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "helpers.h"
#include "input.h"
#include "outputs.h"
#include "snapshot.h"

namespace zefasim {
namespace {

using testing::Example;

const char* kTwoBoundaryLine = R"(
FLUID GASMW = 20, GASVISCOSITY = 1.2e-5 Pa.s, OILDENSITY = 850 kg/m3, OILVISCOSITY = 4 cP
INTEGRATION MAXDT = 1 s, MINDT = 1e-4 s
NODE LABEL = A, TYPE = PRESSURE
NODE LABEL = B, TYPE = PRESSURE
BRANCH LABEL = L, FROM = A, TO = B
PIPE LABEL = P, BRANCH = L, LENGTH = 2000 m, DIAMETER = 0.1 m, ROUGHNESS = 0.02 mm,
     NSECTIONS = 50
BOUNDARY LABEL = IN, NODE = A, PRESSURE = 50 bar, TEMPERATURE = 20 C, GASFRACTION = GF
BOUNDARY LABEL = OUT, NODE = B, PRESSURE = 49 bar, TEMPERATURE = 20 C, GASFRACTION = GF
INITIAL PRESSURE = 49.5 bar, TEMPERATURE = 20 C, HOLDUP = HU, STEADY = YES
)";

// Friction factor written out independently of the model's code.
double HaalandOrLaminar(double re, double rel) {
    double lam = 64 / re;
    double inv = -1.8 * std::log10(std::pow(rel / 3.7, 1.11) + 6.9 / re);
    return re < 500 ? lam : std::max(lam, 1 / (inv * inv));
}

// A gas line and an oil line, 50 to 49 bar: the flow gives the 1 bar drop by
// Darcy-Weisbach (for the gas, isothermal: p1^2 - p2^2 = f L G^2 R T / (M D A^2)).
TEST(ZefasimModel, SteadySinglePhaseLinesMatchDarcyWeisbach) {
    const double p1 = 50e5, p2 = 49e5, d = 0.1, len = 2000, area = M_PI * d * d / 4;
    for (bool gas : {true, false}) {
        SCOPED_TRACE(gas ? "gas" : "oil");
        std::string text = testing::Replace(kTwoBoundaryLine, "GF", gas ? "1" : "0");
        Model m = BuildModel(testing::Replace(text, "HU", gas ? "0" : "1"), "line.inp");
        ASSERT_TRUE(m.SolveSteady());
        const Branch& br = m.branches[0];
        double g = br.flow[25];
        ASSERT_GT(g, 1.0);
        for (double gf : br.flow) EXPECT_NEAR(gf, g, 1e-6 * g);  // steady: one flow everywhere
        EXPECT_LT(m.PhaseMass()[gas ? kOil : kGas], 1e-12);
        double f = HaalandOrLaminar(g * d / (area * (gas ? 1.2e-5 : 4e-3)), 0.02e-3 / d);
        double rho = 850 / (1 - (49.5e5 - 101325) / 1.5e9);
        double dp = gas ? p1 - std::sqrt(p1 * p1 - f * len * g * g * 8314.462618 * 293.15 /
                                                       (20 * d * area * area))
                        : f * len / d * g * g / (2 * rho * area * area);
        EXPECT_NEAR(p1 - p2, dp, 0.02 * (p1 - p2));
    }
}

// Two-phase wall friction takes the mixture form of the holdup model: the
// in-situ mixture density rho_m moving at the volumetric flux j = u_sg + u_sl,
// f(Re_m) rho_m j^2 / (2 D), Re_m = rho_m j D / mu_m (mu_m by volume). Steady
// horizontal lines with slip ratios 1 to 4: the pressure gradient between two
// sections against that form, from the holdup and phase densities there.
TEST(ZefasimModel, TwoPhaseFrictionIsTheMixtureFormOfTheHoldup) {
    struct Row {
        const char* slip;
        double gas, liquid;  // kg/s
    };
    for (Row row : {Row{"1", 0.5, 2}, Row{"2", 0.5, 2}, Row{"4", 0.5, 2}, Row{"1", 2, 8},
                    Row{"2", 2, 8}, Row{"4", 0.3, 10}}) {
        char text[1200];
        std::snprintf(text, sizeof text, R"(
FLUID GASMW = 20 kg/kmol, OILDENSITY = 800 kg/m3, OILVISCOSITY = 2 cP,
      GASVISCOSITY = 1.5e-5 Pa.s, HOLDUP = SLIP, SLIP = %s
INTEGRATION MAXDT = 1 s, MINDT = 1e-4 s
NODE LABEL = A, TYPE = CLOSED
NODE LABEL = B, TYPE = PRESSURE
BRANCH LABEL = L, FROM = A, TO = B
PIPE LABEL = P, BRANCH = L, LENGTH = 400 m, DIAMETER = 0.1 m, ROUGHNESS = 0.02 mm,
     NSECTIONS = 40
BOUNDARY LABEL = OUT, NODE = B, PRESSURE = 30 bar, TEMPERATURE = 30 C, GASFRACTION = 1
SOURCE LABEL = IN, BRANCH = L, PIPE = P, SECTION = 1, MASSFLOW = %g kg/s,
       GASFRACTION = %g, TEMPERATURE = 30 C
INITIAL PRESSURE = 30 bar, TEMPERATURE = 30 C, HOLDUP = 0.3
)",
                      row.slip, row.gas + row.liquid, row.gas / (row.gas + row.liquid));
        Model m = BuildModel(text, "mixture.inp");
        ASSERT_TRUE(m.SolveSteady(200000)) << row.slip;
        const SectionState a = m.StateOf(0, 15), b = m.StateOf(0, 25), s = m.StateOf(0, 20);
        const double d = 0.1, area = M_PI * d * d / 4, dx = 100;
        double rho_m = s.alpha[kGas] * s.rho_gas + s.alpha[kOil] * s.rho_oil;
        double mu_m = s.alpha[kGas] * 1.5e-5 + s.alpha[kOil] * 2e-3;
        double j = (row.gas / s.rho_gas + row.liquid / s.rho_oil) / area;
        double f = HaalandOrLaminar(rho_m * j * d / mu_m, 0.02e-3 / d);
        double hand = f * rho_m * j * j / (2 * d);
        double model = (a.p - b.p) / dx;
        EXPECT_NEAR(model, hand, 0.03 * hand) << "slip " << row.slip << ", " << row.gas;
    }
}

TEST(ZefasimModel, LiquidColumnStandsHydrostaticAndPartsUnderAClosedTop) {
    Model m = BuildModel(R"(
FLUID OILDENSITY = 900 kg/m3
NODE LABEL = BOTTOM, TYPE = CLOSED
NODE LABEL = TOP, TYPE = PRESSURE
BRANCH LABEL = WELLBORE, FROM = BOTTOM, TO = TOP
PIPE LABEL = P, BRANCH = WELLBORE, LENGTH = 100 m, ELEVATION = 100 m, DIAMETER = 0.1 m,
     NSECTIONS = 20
BOUNDARY LABEL = TOP, NODE = TOP, PRESSURE = 10 bar, GASFRACTION = 0
INITIAL PRESSURE = 10 bar, HOLDUP = 1, STEADY = YES
)",
                         "column.inp");
    ASSERT_TRUE(m.SolveSteady());
    for (double g : m.branches[0].flow) EXPECT_NEAR(g, 0, 1e-6);
    SectionState bottom = m.StateOf(0, 0);
    double rho = bottom.rho_oil;  // at the column's pressure
    EXPECT_NEAR(bottom.p - 10e5, rho * kGravity * 97.5, 0.005 * rho * kGravity * 97.5);

    // Fed at the closed top of a 250 m fall that rises again to its outlet and
    // started at one pressure, the column parts: it falls away from the top,
    // under a cavity at no pressure, and the sections that fill their cavities
    // again swing between nought and bars. Judged against their own pressure,
    // those swings held the steps near their shortest (528 in the first minute,
    // 124 judged against the line's pressure).
    Model parted = BuildModel(R"(
FLUID OILDENSITY = 900 kg/m3
INTEGRATION MAXDT = 1 s, MINDT = 0.001 s
NODE LABEL = TOP, TYPE = CLOSED
NODE LABEL = OUT, TYPE = PRESSURE
BRANCH LABEL = L, FROM = TOP, TO = OUT
PIPE LABEL = FALL, BRANCH = L, LENGTH = 300 m, ELEVATION = -250 m, DIAMETER = 0.1 m,
     NSECTIONS = 20
PIPE LABEL = RISE, BRANCH = L, LENGTH = 100 m, ELEVATION = 80 m, DIAMETER = 0.1 m,
     NSECTIONS = 8
BOUNDARY LABEL = OUT, NODE = OUT, PRESSURE = 3 bar, GASFRACTION = 0
SOURCE LABEL = S, BRANCH = L, PIPE = FALL, SECTION = 1, MASSFLOW = 20 kg/s, GASFRACTION = 0
INITIAL PRESSURE = 3.3 bar, HOLDUP = 1
)",
                              "parted.inp");
    parted.Advance(60);
    EXPECT_EQ(parted.StateOf(0, 0).p, 0);
    EXPECT_GT(parted.StateOf(0, 0).alpha[kGas], 0.1);
    EXPECT_LT(parted.steps, 200);
    EXPECT_LT(std::fabs(parted.MassBalanceError()), 1e-12);
}

// With slip the gas overtakes the liquid: more liquid stays in the line at the
// same delivered flows, and the reported velocities differ by the slip ratio.
TEST(ZefasimModel, SlipHoldsMoreLiquidBackAndKeepsTheBalance) {
    Model slip = BuildModel(testing::ExampleWithFluid("flowline.inp", "SLIP = 1.5, "), "slip.inp");
    Model plain =
        BuildModel(testing::ExampleWithFluid("flowline.inp", "HOLDUP = NOSLIP, "), "f.inp");
    ASSERT_EQ(slip.fluid.slip, 1.5);
    for (Model* m : {&slip, &plain}) ASSERT_TRUE(m->SolveSteady());
    EXPECT_GT(testing::Holdup(slip, 20), 1.15 * testing::Holdup(plain, 20));
    EXPECT_NEAR(slip.branches[0].flow[30], 8, 1e-5);  // the same delivered flow
    const Branch& br = slip.branches[0];
    EXPECT_NEAR(br.flux[30][kGas], 8 * 0.15, 1e-5);
    std::string why;
    slip.positions.push_back({"P20", 0, 19});
    auto ug = ResolveProbe(slip, "P20", "UG", why), ul = ResolveProbe(slip, "P20", "UL", why);
    ASSERT_TRUE(ug && ul);
    EXPECT_NEAR(Evaluate(slip, *ug) / Evaluate(slip, *ul), 1.5, 1e-3);
    slip.Advance(600);
    EXPECT_LT(std::fabs(slip.MassBalanceError()), 1e-13);
}

double BalanceError(const Model& m) {
    Phases now = m.PhaseMass();
    double err = 0, scale = 0;
    for (int k = 0; k < 3; ++k) {
        double expected = m.account.initial[k] + m.account.sources[k] + m.account.boundaries[k] +
                          m.account.wells[k];
        err += std::fabs(now[k] - expected);
        scale += now[k];
    }
    return err / scale;
}

TEST(ZefasimModel, MassIsConservedOverLongRunWithShutInWithdrawalAndChoke) {
    Model m = BuildModel(Example("choke_well_plug.inp"), "choke_well_plug.inp");
    m.shut_from = 1200;
    m.shut_until = 1500;
    m.plugs[0].launched = true;
    double source_oil_at_600 = 0;
    for (double t = 60; t <= 3600; t += 60) {
        if (t == 660) m.sources[0].mass_flow = -3;  // withdrawal at the section's composition
        if (t == 900) m.controllers[0].opening = 0.05;
        if (t == 1800) m.boundaries[0].pressure = 25e5;
        m.Advance(t);
        ASSERT_EQ(m.time, t);
        EXPECT_LT(BalanceError(m), 1e-13) << "at " << t;
        EXPECT_LT(std::fabs(m.MassBalanceError()), 1e-13);
        if (t == 600) source_oil_at_600 = m.account.sources[kOil];
        if (t > 1200 && t <= 1500) {  // shut in: nothing crosses the model's edge
            const Branch& br = m.branches[0];
            EXPECT_EQ(br.flux.back()[kGas], 0);
            EXPECT_EQ(m.sources[0].applied[kOil], 0);
            EXPECT_EQ(m.wells[0].applied[kWater], 0);
        }
    }
    // Every kind of exchange happened, in both directions where possible.
    EXPECT_GT(m.account.wells[kWater], 0);
    EXPECT_GT(source_oil_at_600, 0);
    EXPECT_LT(m.account.sources[kOil], source_oil_at_600);  // the withdrawal took oil out
    EXPECT_LT(m.account.boundaries[kGas], 0);               // gas left through the outlet
    EXPECT_TRUE(m.plugs[0].arrived);
    EXPECT_DOUBLE_EQ(m.plugs[0].z, m.BranchLength(0));
}

// The 40 km export line at its 1,000 sections of realistic length, with the
// drift-flux law: after the start-up the step is set by the coupling interval,
// not by a transport limit, the delivered flow settles towards the source's,
// and the balance holds to rounding.
TEST(ZefasimModel, ExportLineStepsAtTheCouplingIntervalAndKeepsTheBalance) {
    Model m = BuildModel(testing::ExampleWithFluid("export_line.inp", "HOLDUP = DRIFTFLUX, "),
                         "export_line.inp");
    ASSERT_EQ(m.branches[0].sections.size(), 1000u);
    EXPECT_NEAR(m.branches[0].sections[0].length, 40000.0 / 980, 1e-9);
    m.Advance(120);
    std::int64_t before = m.steps;
    for (int t = 121; t <= 180; ++t) m.Advance(t);
    EXPECT_LE(m.steps - before, 90);  // at most 1.5 steps per one-second interval
    EXPECT_LT(BalanceError(m), 1e-13);
    const Branch& br = m.branches[0];
    EXPECT_GT(br.flow.back(), 0);
    // End faces span half a section (their rise is checked by the standing column).
    ASSERT_EQ(br.face_geometry.size(), 1001u);
    EXPECT_DOUBLE_EQ(br.face_geometry[0].length, br.sections[0].length / 2);
    EXPECT_GT(br.face_geometry[990].sin_incl, 0.8);  // in the riser
    EXPECT_LT(br.face_geometry[500].sin_incl, 0);    // the seabed falls towards it
}

// A step starts from the section states the previous step derived only while
// they still describe the model: after masses, a temperature or the fluid were
// changed from outside, it must give what a model without them gives.
TEST(ZefasimModel, StepIgnoresSectionStatesThatNoLongerFit) {
    Model kept =
        BuildModel(testing::ExampleWithFluid("flowline.inp", "HOLDUP = DRIFTFLUX, "), "f.inp");
    kept.Advance(30);
    ASSERT_EQ(kept.branches[0].state_after.size(), kept.branches[0].sections.size());
    auto changes = std::vector<std::function<void(Model&)>>{
        [](Model& m) { m.branches[0].mass[45][kOil] *= 1.5; },
        [](Model& m) { m.branches[0].temp[10] += 20; },
        [](Model& m) { m.fluid.gas_mw = 23; },
    };
    for (auto& change : changes) {
        Model fresh = kept;
        change(kept);
        change(fresh);
        fresh.branches[0].state_after.clear();
        kept.Advance(kept.time + 5);
        fresh.Advance(fresh.time + 5);
        const Branch &a = kept.branches[0], &b = fresh.branches[0];
        for (size_t i = 0; i < a.mass.size(); ++i) {
            ASSERT_EQ(a.mass[i], b.mass[i]) << "section " << i;
            ASSERT_EQ(a.temp[i], b.temp[i]) << "section " << i;
        }
        ASSERT_EQ(a.flow, b.flow);
    }
}

TEST(ZefasimModel, StepLandsExactlyOnEndTimeAndShutInSwitch) {
    Model m = BuildModel(Example("flowline.inp"), "flowline.inp");
    m.Advance(30);
    ASSERT_DOUBLE_EQ(m.planned_step, 2.0);
    m.shut_from = 31.3;
    std::vector<double> steps;
    const double end = static_cast<double>(37.37f);  // how an end time arrives
    m.Advance(end, nullptr, &steps);
    EXPECT_EQ(m.time, end);
    ASSERT_GE(steps.size(), 4u);
    double sum = 30;
    bool hit_switch = false;
    for (double dt : steps) {
        sum += dt;
        if (sum == 31.3) hit_switch = true;
    }
    EXPECT_TRUE(hit_switch);
    EXPECT_NEAR(sum, end, 1e-12);
    EXPECT_EQ(m.branches[0].flux.back()[kGas], 0);  // shut in since 31.3
}

TEST(ZefasimModel, SnapshotContinuesBitForBit) {
    Model a = BuildModel(Example("choke_well_plug.inp"), "c.inp");
    a.plugs[0].launched = true;
    a.Advance(123.4);
    Model b = DecodeSnapshot(EncodeSnapshot(a));
    for (Model* m : {&a, &b}) {
        m->controllers[0].opening = 0.3;
        m->Advance(400.25);
        m->shut_from = 500;
        m->Advance(700);
    }
    EXPECT_EQ(a.time, 700);
    std::string sa = EncodeSnapshot(a), sb = EncodeSnapshot(b);
    EXPECT_EQ(sa, sb);
    EXPECT_EQ(a.branches[0].mass[7][kWater], b.branches[0].mass[7][kWater]);
}

TEST(ZefasimModel, CorruptSnapshotsAreRefused) {
    Model a = BuildModel(Example("flowline.inp"), "f.inp");
    std::string good = EncodeSnapshot(a);
    std::string flipped = good;
    flipped[good.size() / 2] ^= 0x10;
    EXPECT_THROW(DecodeSnapshot(flipped), SnapshotError);
    EXPECT_THROW(DecodeSnapshot(good.substr(0, good.size() - 1)), SnapshotError);
    EXPECT_THROW(DecodeSnapshot("ZEFASNP1"), SnapshotError);
    EXPECT_THROW(DecodeSnapshot(std::string(100, '\0')), SnapshotError);
    EXPECT_NO_THROW(DecodeSnapshot(good));
    // Crafted with a valid checksum: every value must still lie in the ranges
    // the input file accepts, and the state must be a physical one.
    const Model b = BuildModel(Example("choke_well_plug.inp"), "c.inp");
    const std::vector<std::pair<const char*, std::function<void(Model&)>>> crafted = {
        {"section mass", [](Model& m) { m.branches[0].mass[2][kOil] = -1e300; }},
        {"section temperature", [](Model& m) { m.branches[0].temp[1] = -1e300; }},
        {"face flow", [](Model& m) { m.branches[0].flow[1] = 1e300; }},
        {"source gas fraction", [](Model& m) { m.sources[0].gas_fraction = -1e300; }},
        {"controller opening", [](Model& m) { m.controllers[0].opening = 5; }},
        {"fluid", [](Model& m) { m.fluid.bulk_modulus = -1e300; }},
        {"initial pressure", [](Model& m) { m.initial.pressure = -1e300; }},
        {"derivative", [](Model& m) { m.boundaries[0].deriv[kGas] = INFINITY; }},
    };
    for (const auto& [what, craft] : crafted) {
        Model m = b;
        craft(m);
        EXPECT_THROW(DecodeSnapshot(EncodeSnapshot(m)), SnapshotError) << what;
    }
}

}  // namespace
}  // namespace zefasim
