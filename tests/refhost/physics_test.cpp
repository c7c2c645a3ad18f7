// Fluids, flashes and mixing of the reference host against hand-checked
// values, its pressure-flow solver on small networks against analytic flows,
// and the dynamic run with a test extension.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "lib/fluid.h"
#include "lib/integrator_run.h"
#include "lib/pf_solver.h"
#include "lib/stream.h"
#include "lib/unit_ops.h"
#include "null_extension.h"

using namespace refhost;

namespace zefa::test {
namespace {

ComponentSetPtr Set(std::vector<std::string> names) {
    return std::make_shared<ComponentSet>(names);
}

// Moles of each component carried by the phases of a fluid.
std::vector<double> PhaseComponentFlows(const Fluid& f) {
    std::vector<double> flows(f.Components()->Size(), 0.0);
    for (const auto& phase : {f.VapourPhase(), f.LightLiquidPhase(), f.AqueousPhase()}) {
        if (!phase) continue;
        const auto x = phase->Composition();
        for (std::size_t i = 0; i < x.size(); ++i) flows[i] += phase->MolarFlow() * x[i];
    }
    return flows;
}

}  // namespace

// Flashes checked by hand from the correlations. Water's vapour pressure at
// 30 C is 22064 * exp(5.373 * 1.345 * (1 - 647.1 / 303.15)) = 6.0642 kPa, so
// at 5000 kPa the vapour holds yw = 0.00121284 water and, with all methane in
// it, V = 0.9 / (1 - yw) = 0.901093 of the feed. Propane / n-pentane at 50 C
// and 500 kPa: K1 = 3.474585, K2 = 0.318968, x1 = (1 - K2) / (K1 - K2),
// y1 = K1 x1 = 0.74987, V = (0.5 - x1) / (y1 - x1) = 0.5321262. Water boils
// at 97.70 C at one atmosphere by the correlation.
TEST(Flash, SplitsIntoThePhasesTheCorrelationsGive) {
    struct Row {
        std::vector<std::string> names;
        std::vector<double> z;
        double t, p;
        const char* phases;  // V vapour, L light liquid, A aqueous
        double vapour_fraction;
        std::vector<double> y;   // vapour composition, when checked
        double vapour_mw = 0.0;  // when checked
    };
    const Row rows[] = {
        // 0.9*16.043 + 0.05*30.070 + 0.03*44.010 + 0.02*28.014 = 17.82278
        {{"methane", "ethane", "carbon-dioxide", "nitrogen"},
         {0.90, 0.05, 0.03, 0.02},
         30.0,
         5000.0,
         "V",
         1.0,
         {0.90, 0.05, 0.03, 0.02},
         17.82278},
        {{"methane", "water"}, {0.9, 0.1}, 30.0, 5000.0, "VA", 0.9010929, {0.99878716, 0.00121284}},
        {{"methane", "water"}, {0.9995, 0.0005}, 30.0, 5000.0, "V", 1.0, {0.9995, 0.0005}},
        {{"propane", "n-pentane"}, {0.5, 0.5}, 50.0, 500.0, "VL", 0.5321262, {0.74987, 0.25013}},
        {{"water"}, {1.0}, 97.0, 101.325, "A", 0.0, {}},
        {{"water"}, {1.0}, 98.5, 101.325, "V", 1.0, {1.0}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.names[0] + " " + std::to_string(r.t) + " C " + std::to_string(r.p) + " kPa");
        auto f = Fluid::Create(Set(r.names), r.z, 20.0, r.p, 2.0);
        ASSERT_EQ(f->TPFlash(r.t, r.p), 0);
        const std::string phases = std::string(f->VapourPhase() ? "V" : "") +
                                   (f->LightLiquidPhase() ? "L" : "") +
                                   (f->AqueousPhase() ? "A" : "");
        EXPECT_EQ(phases, r.phases);
        EXPECT_NEAR(f->VapourFraction(), r.vapour_fraction, 1e-6);
        for (std::size_t i = 0; i < r.y.size(); ++i)
            EXPECT_NEAR(f->VapourPhase()->Composition()[i], r.y[i], 1e-6) << i;
        if (r.vapour_mw > 0) {
            EXPECT_NEAR(f->VapourPhase()->MolecularWeight(), r.vapour_mw, 1e-9);
            EXPECT_NEAR(f->MassFlowValue(), 2.0 * r.vapour_mw, 1e-9);
        }
    }
}

TEST(Flash, FailedFlashLeavesTheFluidAsItWas) {
    auto set = Set({"methane", "n-hexane"});
    auto f = Fluid::Create(set, {0.7, 0.3}, 25.0, 2000.0, 1.0);
    ASSERT_EQ(f->TPFlash(25.0, 2000.0), 0);
    const double h = f->MolarEnthalpy();
    const double beta = f->VapourFraction();
    EXPECT_NE(f->TPFlash(-300.0, 2000.0), 0);
    EXPECT_NE(f->TPFlash(25.0, -5.0), 0);
    EXPECT_NE(f->TPFlash(std::nan(""), 2000.0), 0);
    EXPECT_NE(f->PHFlash(2000.0, 1e9), 0);  // hotter than any temperature in range
    EXPECT_NE(f->PHFlash(0.0, h), 0);
    EXPECT_DOUBLE_EQ(f->TemperatureC(), 25.0);
    EXPECT_DOUBLE_EQ(f->PressureKPa(), 2000.0);
    EXPECT_DOUBLE_EQ(f->VapourFraction(), beta);
    EXPECT_DOUBLE_EQ(f->MolarEnthalpy(), h);
}

TEST(Mixing, FlowsComponentsAndEnthalpyAddButABackwardFlowAddsNoMaterial) {
    auto set = Set({"methane", "n-pentane", "water"});
    auto a = Fluid::Create(set, {0.9, 0.1, 0.0}, 60.0, 3000.0, 2.0);
    auto b = Fluid::Create(set, {0.0, 0.3, 0.7}, 20.0, 2500.0, 1.0);
    const double h_total = 2.0 * a->MolarEnthalpy() + 1.0 * b->MolarEnthalpy();
    auto mix = a->Copy();
    mix->MixIn(*b);
    EXPECT_DOUBLE_EQ(mix->MolarFlowKmol(), 3.0);
    EXPECT_DOUBLE_EQ(mix->PressureKPa(), 2500.0);  // the lower of the two
    const auto z = mix->Composition();
    EXPECT_NEAR(z[0], 1.8 / 3.0, 1e-14);
    EXPECT_NEAR(z[1], 0.5 / 3.0, 1e-14);
    EXPECT_NEAR(z[2], 0.7 / 3.0, 1e-14);
    EXPECT_NEAR(3.0 * mix->MolarEnthalpy(), h_total, 1e-6 * std::abs(h_total));
    EXPECT_NEAR(mix->MassFlowValue(), a->MassFlowValue() + b->MassFlowValue(), 1e-12);
    EXPECT_GT(mix->TemperatureC(), 20.0);
    EXPECT_LT(mix->TemperatureC(), 60.0);
    // The parts are untouched.
    EXPECT_DOUBLE_EQ(a->MolarFlowKmol(), 2.0);
    EXPECT_DOUBLE_EQ(b->Composition()[2], 0.7);
    // A backward flow takes flow away but adds none of its material.
    mix->MixIn(*Fluid::Create(set, {0.0, 0.0, 1.0}, 20.0, 2500.0, -0.5));
    EXPECT_DOUBLE_EQ(mix->MolarFlowKmol(), 2.5);
    EXPECT_NEAR(mix->Composition()[2], 0.7 / 3.0, 1e-14);
    auto other = Fluid::Create(Set({"methane", "propane"}), {1.0, 0.0}, 20.0, 1000.0, 1.0);
    EXPECT_THROW(mix->MixIn(*other), std::invalid_argument);
}

TEST(FluidInput, BadCompositionsAndConditionsAreRefused) {
    auto set = Set({"methane", "ethane"});
    EXPECT_THROW(Fluid::Create(set, {1.0}, 20.0, 100.0, 1.0), std::invalid_argument);
    EXPECT_THROW(Fluid::Create(set, {1.0, -0.1}, 20.0, 100.0, 1.0), std::invalid_argument);
    EXPECT_THROW(Fluid::Create(set, {0.0, 0.0}, 20.0, 100.0, 1.0), std::invalid_argument);
    EXPECT_THROW(Fluid::Create(set, {0.5, 0.5}, -280.0, 100.0, 1.0), std::invalid_argument);
    EXPECT_THROW(Fluid::Create(set, {0.5, 0.5}, 20.0, 0.0, 1.0), std::invalid_argument);
    auto f = Fluid::Create(set, {2.0, 6.0}, 20.0, 100.0, 1.0);
    EXPECT_DOUBLE_EQ(f->Composition()[1], 0.75);  // normalised
    EXPECT_THROW(f->SetComposition({1.0, 2.0, 3.0}), std::invalid_argument);
    EXPECT_DOUBLE_EQ(f->Composition()[1], 0.75);
    EXPECT_THROW(ComponentSet({"methane", "unobtainium"}), std::invalid_argument);
    EXPECT_THROW(ComponentSet({"methane", "Methane"}), std::invalid_argument);
    EXPECT_EQ(NearestName("metane", ComponentSet({"methane", "ethane", "water"}).Names()),
              "methane");
    EXPECT_EQ(NearestName("xyzzyplugh", {"methane", "water"}), "");
}

TEST(StreamFlags, MonikersReadAndSetTheSpecifications) {
    auto set = Set({"methane"});
    auto s = Stream::Create("S1", Fluid::Create(set, {1.0}, 20.0, 1000.0, 0.5));
    EXPECT_EQ(s->MonikerValue(":Boolean.520"), 0.0);
    s->SpecifyPressure(true);
    s->SpecifyFlow(true, Stream::kMassBasis);
    EXPECT_EQ(s->MonikerValue(":Boolean.520"), 1.0);
    EXPECT_EQ(s->MonikerValue(":Boolean.521"), 1.0);
    EXPECT_EQ(s->MonikerValue(":Index.528"), 1.0);
    EXPECT_EQ(s->MassFlow()->State(), 1);
    EXPECT_EQ(s->MolarFlow()->State(), 0);
    s->SetMonikerValue(":Index.528", 0);
    EXPECT_EQ(s->MolarFlow()->State(), 1);
    EXPECT_THROW(s->MonikerValue(":Boolean.999"), std::invalid_argument);
    EXPECT_THROW(s->SetMonikerValue(":Index.528", 7), std::invalid_argument);
    // Stream values act on its fluid; a duplicate does not.
    s->MassFlow()->SetValue(16.043);
    EXPECT_NEAR(s->MolarFlowValue(), 1.0, 1e-12);
    auto copy = s->DuplicateFluid();
    copy->MolarFlow()->SetValue(5.0);
    EXPECT_NEAR(s->MolarFlowValue(), 1.0, 1e-12);
    EXPECT_THROW(s->Pressure()->SetValue(std::nan("")), std::invalid_argument);
}

TEST(Flash, RandomStatesBalanceAndInvert) {
    // Many compositions and conditions: every flash balances in moles and
    // mass, its phase fractions lie in [0, 1], the light liquid is free of
    // water, and a PH flash from another state finds the temperature again.
    auto set = Set({"methane", "ethane", "propane", "n-butane", "n-pentane", "n-hexane", "c7+",
                    "carbon-dioxide", "nitrogen", "water"});
    std::uint32_t seed = 12345;
    const auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) / 16777216.0;
    };
    int three_phase = 0;
    for (int k = 0; k < 300; ++k) {
        std::vector<double> z(set->Size());
        for (double& v : z) v = next() < 0.3 ? 0.0 : next();
        z[static_cast<std::size_t>(k) % z.size()] += 0.1;
        const double t = -60.0 + 300.0 * next();
        const double p = 50.0 + 15000.0 * next();
        auto f = Fluid::Create(set, z, t, p, 1.0 + next());
        ASSERT_EQ(f->TPFlash(t, p), 0) << k;
        const auto flows = PhaseComponentFlows(*f);
        const auto zn = f->Composition();
        double fractions = 0.0;
        for (const auto& phase : f->State().phases) {
            if (!phase) continue;
            EXPECT_GT(phase->fraction, 0.0) << k;
            EXPECT_LE(phase->fraction, 1.0 + 1e-12) << k;
            fractions += phase->fraction;
        }
        EXPECT_NEAR(fractions, 1.0, 1e-9) << k;
        double mass = 0.0;
        for (const auto& phase : {f->VapourPhase(), f->LightLiquidPhase(), f->AqueousPhase()})
            if (phase) mass += phase->MassFlow();
        EXPECT_NEAR(mass, f->MassFlowValue(), 1e-9 * f->MassFlowValue()) << k;
        const double vapour_mass = f->VapourPhase() ? f->VapourPhase()->MassFlow() : 0.0;
        EXPECT_NEAR(f->MassVapourFraction(), vapour_mass / f->MassFlowValue(), 1e-12) << k;
        if (f->LightLiquidPhase()) {
            EXPECT_EQ(f->LightLiquidPhase()->Composition()[9], 0.0) << k;
        }
        three_phase += f->VapourPhase() && f->LightLiquidPhase() && f->AqueousPhase();
        for (std::size_t i = 0; i < zn.size(); ++i) {
            EXPECT_NEAR(flows[i], f->MolarFlowKmol() * zn[i], 1e-9) << k << " " << i;
        }
        const double h = f->MolarEnthalpy();
        auto g = f->Copy();
        ASSERT_EQ(g->TPFlash(t + 40.0, 2.0 * p), 0);
        ASSERT_EQ(g->PHFlash(p, h), 0) << k << " t=" << t << " p=" << p;
        EXPECT_NEAR(g->MolarEnthalpy(), h, 1e-5 * std::max(1.0, std::abs(h))) << k;
        EXPECT_NEAR(g->TemperatureC(), t, 0.05) << k << " p=" << p;
    }
    EXPECT_GT(three_phase, 10);
}

// The pressure-flow solver on small networks against analytic flows.
namespace {

struct Line {
    ComponentSetPtr set;
    StreamPtr s1, s2, s3;
    std::shared_ptr<Feed> feed;
    std::shared_ptr<Valve> v1, v2;
    std::shared_ptr<Sink> sink;
};

// feed -> S1 -> V1 -> S2 [-> V2 -> S3] -> sink, liquid n-hexane at 20 C.
Line MakeLine(bool two_valves, double p_feed = 5000.0, double p_sink = 2000.0) {
    Line l;
    l.set = std::make_shared<ComponentSet>(std::vector<std::string>{"n-hexane", "methane"});
    const std::vector<double> z = {1.0, 0.0};
    l.s1 = Stream::Create("S1", Fluid::Create(l.set, z, 20.0, p_feed, 0.01));
    l.s2 = Stream::Create("S2", Fluid::Create(l.set, z, 20.0, p_sink, 0.01));
    l.s3 = Stream::Create("S3", Fluid::Create(l.set, z, 20.0, p_sink, 0.01));
    l.feed = std::make_shared<Feed>("Feed", l.s1, z, Schedule(20.0), Feed::Mode::Pressure,
                                    Schedule(p_feed));
    l.v1 = std::make_shared<Valve>("V1", l.s1, l.s2, 0.2, 50.0);
    if (two_valves) {
        l.v2 = std::make_shared<Valve>("V2", l.s2, l.s3, 0.1, 80.0);
        l.sink = std::make_shared<Sink>("Sink", l.s3, Schedule(p_sink));
    } else {
        l.sink = std::make_shared<Sink>("Sink", l.s2, Schedule(p_sink));
    }
    return l;
}

// With a line slope D (kPa per kg/s), S2 is a closed line instead of the sink:
// its pressure is the sink's plus D times the flow it takes in.
PFNetwork Network(const Line& l, bool two_valves, double line_slope = 0) {
    std::vector<StreamPtr> streams = {l.s1, l.s2};
    if (two_valves) streams.push_back(l.s3);
    l.feed->BeginStep(0.0);
    if (line_slope == 0) l.sink->BeginStep(0.0);
    PFNetwork net(streams);
    net.AddStreamSpecifications();
    if (line_slope != 0) {
        net.AddLinear("line",
                      {{net.PressureUnknown(*l.s2), 1.0},
                       {net.FlowUnknown(*l.s2), -line_slope * l.s2->GetFluid()->MolecularWeight()}},
                      l.s2->PressureValue());
    }
    l.v1->AddEquations(net);
    if (two_valves) l.v2->AddEquations(net);
    return net;
}

}  // namespace

// Liquid hexane (659 kg/m3, 86.177 kg/kmol) through a Cv 0.2 valve at 50 %
// passes m = 0.2 * 0.5 * sqrt(659 dp), either way: into a sink, and into a
// closed line whose pressure rises with what it takes in (P2 = P_line + D m),
// however near no flow that settles (there on the law to within the 1e-3 kPa
// where it turns linear).
TEST(PressureFlow, AValvePassesTheFlowOfItsDropEvenNearNoFlow) {
    struct Row {
        double p_feed, p_sink, line_slope;
    };
    for (const Row row : {Row{5000, 2000, 0}, Row{2000, 5000, 0}, Row{5000, 5000.1, 300},
                          Row{5000, 4999.9, 1000}}) {
        Line l = MakeLine(false, row.p_feed, row.p_sink);
        PFNetwork net = Network(l, false, row.line_slope);
        const PFResult r = SolvePressureFlow(net);
        ASSERT_TRUE(r.converged) << r.message << " " << row.p_sink;
        const double m = l.s1->MassFlowValue(), p2 = l.s2->PressureValue();
        EXPECT_NEAR(l.s2->MassFlowValue(), m, 1e-9);
        EXPECT_NEAR(l.s1->MolarFlowValue(), m / 86.177, 1e-5);
        EXPECT_DOUBLE_EQ(l.s1->PressureValue(), row.p_feed);
        if (row.line_slope == 0) {
            EXPECT_DOUBLE_EQ(p2, row.p_sink);
        }
        EXPECT_NEAR(l.s1->GetFluid()->MassDensity(), 659.0, 1e-9);
        EXPECT_NEAR(m * std::fabs(m) / (0.01 * 659.0), row.p_feed - p2, 1e-3) << row.p_sink;
        EXPECT_GT(m * (row.p_feed - row.p_sink), 0.0);
    }
}

// Two valves in series, open (a = 0.2*0.5, b = 0.1*0.8) or shut (-5 % clamps to
// 0; each leaks a millionth of its open flow): a^2 (P1 - P2) = b^2 (P2 - P3)
// gives P2 = (a^2 P1 + b^2 P3) / (a^2 + b^2) and m = a sqrt(659 (P1 - P2)).
TEST(PressureFlow, TwoValvesInSeriesShareThePressureDropAnalytically) {
    struct Row {
        double position1, position2, a, b;
    };
    for (const Row row : {Row{50, 80, 0.1, 0.08}, Row{0, -5, 0.2e-6, 0.1e-6}}) {
        Line l = MakeLine(true);
        l.v1->SetPosition(row.position1);
        l.v2->SetPosition(row.position2);
        EXPECT_DOUBLE_EQ(l.v2->Position(), std::max(row.position2, 0.0));
        PFNetwork net = Network(l, true);
        const PFResult r = SolvePressureFlow(net);
        ASSERT_TRUE(r.converged) << r.message;
        EXPECT_LE(r.iterations, 20);
        const double a2 = row.a * row.a, b2 = row.b * row.b;
        const double p2 = (a2 * 5000.0 + b2 * 2000.0) / (a2 + b2);
        EXPECT_NEAR(l.s2->PressureValue(), p2, 1e-6);
        const double m = row.a * std::sqrt(659.0 * (5000.0 - p2));
        EXPECT_NEAR(l.s1->MassFlowValue(), m, 1e-8 * m);
        EXPECT_NEAR(l.s3->MassFlowValue(), m, 1e-8 * m);
    }
}

TEST(PressureFlow, MissingSpecificationIsNamedAndNothingChanges) {
    Line l = MakeLine(false);
    l.feed->BeginStep(0.0);
    PFNetwork net({l.s1, l.s2});
    net.AddStreamSpecifications();  // the sink never set its pressure spec
    l.v1->AddEquations(net);
    const PFResult r = SolvePressureFlow(net);
    EXPECT_FALSE(r.converged);
    EXPECT_EQ(r.message, "pressure-flow network has 3 equations for 4 unknowns");

    // An unknown that no equation mentions is named.
    PFNetwork lone({l.s1, l.s2});
    lone.AddLinear("p1", {{0, 1.0}}, 5000.0);
    lone.AddLinear("n1", {{1, 1.0}}, 1.0);
    lone.AddLinear("p2", {{2, 1.0}}, 1000.0);
    const PFResult r2 = SolvePressureFlow(lone);
    EXPECT_EQ(r2.message,
              "pressure-flow network has 3 equations for 4 unknowns; nothing determines the "
              "flow of S2");
    EXPECT_DOUBLE_EQ(l.s2->MolarFlowValue(), 0.01);
}

TEST(PressureFlow, SingularOrDivergentSystemsKeepTheLastGoodState) {
    Line l = MakeLine(false);
    PFNetwork singular({l.s1});
    singular.AddLinear("a", {{0, 1.0}}, 4000.0);
    singular.AddLinear("b", {{0, 2.0}}, 8000.0);
    const PFResult r = SolvePressureFlow(singular);
    EXPECT_FALSE(r.converged);
    EXPECT_EQ(r.message,
              "pressure-flow equations are singular: check the specifications of the flow of S1");
    EXPECT_DOUBLE_EQ(l.s1->PressureValue(), 5000.0);

    // n^2 + 1 = 0 has no solution: Newton wanders and gives up.
    PFNetwork divergent({l.s1});
    divergent.AddLinear("p", {{0, 1.0}}, 4000.0);
    divergent.Add({"impossible", [](const std::vector<double>& u, std::vector<PFTerm>& g) {
                       g.push_back({1, 2.0 * u[1]});
                       return u[1] * u[1] + 1.0;
                   }});
    const PFResult r2 = SolvePressureFlow(divergent);
    EXPECT_FALSE(r2.converged);
    EXPECT_NE(r2.message.find("did not converge in 50 iterations"), std::string::npos);
    EXPECT_NE(r2.message.find("impossible"), std::string::npos);
    EXPECT_DOUBLE_EQ(l.s1->PressureValue(), 5000.0);
    EXPECT_DOUBLE_EQ(l.s1->MolarFlowValue(), 0.01);
}

TEST(PressureFlow, GasValveExpandsAtConstantEnthalpy) {
    auto set = std::make_shared<ComponentSet>(std::vector<std::string>{"methane", "ethane"});
    const std::vector<double> z = {0.95, 0.05};
    auto s1 = Stream::Create("G1", Fluid::Create(set, z, 30.0, 8000.0, 0.1));
    auto s2 = Stream::Create("G2", Fluid::Create(set, z, 30.0, 3000.0, 0.1));
    Feed feed("Well", s1, z, Schedule(30.0), Feed::Mode::Pressure, Schedule(8000.0));
    Valve valve("Choke", s1, s2, 0.05, 40.0);
    Sink sink("Export", s2, Schedule(3000.0));
    feed.BeginStep(0.0);
    sink.BeginStep(0.0);
    PFNetwork net({s1, s2});
    net.AddStreamSpecifications();
    valve.AddEquations(net);
    ASSERT_TRUE(SolvePressureFlow(net).converged);
    const double rho = s1->GetFluid()->MassDensity();
    EXPECT_NEAR(s1->MassFlowValue(), 0.05 * 0.4 * std::sqrt(rho * 5000.0), 1e-9);
    valve.UpdateOutlets();
    EXPECT_NEAR(s2->GetFluid()->MolarEnthalpy(), s1->GetFluid()->MolarEnthalpy(), 1e-3);
    EXPECT_LT(s2->TemperatureValue(), 30.0 - 10.0);
    EXPECT_NEAR(s2->MassFlowValue(), s1->MassFlowValue(), 1e-12);
}

TEST(PressureFlow, ScheduleInterpolatesAndRefusesDisorder) {
    Schedule s({{0.0, 10.0}, {10.0, 20.0}});
    EXPECT_DOUBLE_EQ(s.At(-1.0), 10.0);
    EXPECT_DOUBLE_EQ(s.At(2.5), 12.5);
    EXPECT_DOUBLE_EQ(s.At(99.0), 20.0);
    EXPECT_THROW(Schedule({{1.0, 1.0}, {1.0, 2.0}}), std::invalid_argument);
}

// The dynamic run with a test extension: call order, equations steered by the
// extension's coefficients, outlet fluids handed back, controller action.
namespace {

// An extension whose single inlet is a flow-balance connection:
// N = F + dF (p - P), with F, dF and P set by the test.
class FakeExtension final : public NullExtension {
  public:
    std::vector<std::string> calls;
    std::shared_ptr<host::DynamicContainer> dyn;
    StreamPtr inlet, outlet;
    double F = 0.0, dF = 0.0, P = 0.0;
    bool update = false;
    bool broken = false;  // writes a singular equation
    std::vector<double> outlet_composition;
    // With starts_steps, a call at a host time the pipeline has reached
    // starts a server step of 1 s, as the pipeline's time shows.
    bool starts_steps = false;
    double sim_time = 0.0;
    std::function<double()> now;

    void DynInitialize(std::shared_ptr<host::DynamicContainer> c, bool, std::uint32_t,
                       bool) override {
        dyn = c;
        calls.push_back("DynInitialize");
    }
    bool InitializeSystem(bool) override {
        calls.push_back("InitializeSystem");
        return true;
    }
    void StepEnergyExplicitly(double) override { calls.push_back("Energy"); }
    void StepCompositionExplicitly() override {
        calls.push_back("Composition");
        if (!outlet_composition.empty()) {
            auto f = outlet->DuplicateFluid();
            f->SetComposition(outlet_composition);
            dyn->ReplaceOutletFluid(outlet, f, false);
        }
    }
    void PreProcessStates() override {
        calls.push_back("Pre");
        if (starts_steps && sim_time <= now()) sim_time = now() + 1.0;
        if (update) UpdatePFEquationCoeffs();
    }
    void PostProcessStates() override {
        calls.push_back("Post");
        dyn->SetOutletStreams({outlet});
    }
    std::int32_t NumberOfFlowBalEquations() override { return 1; }
    std::optional<std::vector<std::int32_t>> VariablesInFlowBalanceEquations() override {
        return std::vector<std::int32_t>{2};
    }
    std::optional<std::vector<std::shared_ptr<host::RealValue>>> FlowBalanceEquationVars(
        std::int32_t& idx) override {
        if (idx != 0) return std::vector<std::shared_ptr<host::RealValue>>{nullptr, nullptr};
        return std::vector<std::shared_ptr<host::RealValue>>{inlet->MolarFlow(), inlet->Pressure()};
    }
    std::optional<std::vector<double>> FlowBalanceEquationCoef(std::int32_t) override {
        return std::vector<double>{1.0, 0.0, 0.0};
    }
    void UpdatePFEquationCoeffs() override {
        dyn->SetFlowBalanceCoefficient(0, 0, 1.0);
        dyn->SetFlowBalanceCoefficient(0, 1, broken ? 0.0 : -dF);
        dyn->SetFlowBalanceCoefficient(0, 2, F - P * dF);
        if (broken) dyn->SetFlowBalanceCoefficient(0, 0, 0.0);
    }
};

// feed (pressure) -> S1 -> [extension] -> S2 -> valve -> S3 -> sink
struct Rig {
    ComponentSetPtr set =
        std::make_shared<ComponentSet>(std::vector<std::string>{"methane", "ethane"});
    std::unique_ptr<Plant> plant = std::make_unique<Plant>(set);
    std::shared_ptr<RefSolver> solver = std::make_shared<RefSolver>();
    std::shared_ptr<FakeExtension> ext = std::make_shared<FakeExtension>();
    StreamPtr s1, s2, s3;

    Rig() {
        const std::vector<double> z = {0.9, 0.1};
        s1 = plant->AddStream("S1", Fluid::Create(set, z, 30.0, 5000.0, 0.0));
        s2 = plant->AddStream("S2", Fluid::Create(set, z, 30.0, 4000.0, 0.0));
        s3 = plant->AddStream("S3", Fluid::Create(set, z, 30.0, 1000.0, 0.0));
        plant->AddOperation(std::make_shared<Feed>("Feed", s1, z, Schedule(30.0),
                                                   Feed::Mode::Pressure, Schedule(5000.0)));
        plant->AddOperation(std::make_shared<Valve>("V", s2, s3, 0.05, 50.0));
        plant->AddOperation(std::make_shared<Sink>("Sink", s3, Schedule(1000.0)));
        // The extension passes flow on: S2 has the flow of S1 as a molar spec.
        ext->inlet = s1;
        ext->outlet = s2;
        solver->integrator_->step_size_ = 1.0;
        ext->now = [this] { return solver->integrator_->CurrentTime(); };
    }
    ExtensionUnit Unit() {
        ExtensionUnit u;
        u.name = "Pipe";
        u.extension = ext;
        u.inlets = [this] { return HostDynamicContainer::StreamList{s1}; };
        u.outlets = [this] { return HostDynamicContainer::StreamList{s2}; };
        u.pipeline_time = [this] { return ext->sim_time; };
        return u;
    }
};

}  // namespace

TEST(DynamicRun, CallsTheExtensionInStepOrderFollowsItsCoefficientsAndStopsOnASingularOne) {
    Rig rig;
    rig.s2->SpecifyFlow(true, Stream::kMolarBasis);
    rig.s2->GetFluid()->SetMolarFlowKmol(0.0);
    DynamicRun run(*rig.plant, rig.solver, {rig.Unit()});
    ASSERT_TRUE(run.Start()) << run.Error();
    EXPECT_TRUE(rig.solver->integrator_->IsRunning());
    EXPECT_EQ(rig.solver->Mode(), 1);
    // The initial coefficients pin the inlet's molar flow at 0.
    EXPECT_DOUBLE_EQ(rig.s1->MolarFlowValue(), 0.0);

    rig.ext->update = true;
    rig.ext->F = 0.2;
    rig.ext->dF = 1e-4;
    rig.ext->P = 4500.0;
    ASSERT_TRUE(run.Step()) << run.Error();
    // N = F + dF (p - P) at the feed pressure 5000 kPa.
    EXPECT_NEAR(rig.s1->MolarFlowValue(), 0.2 + 1e-4 * 500.0, 1e-12);
    EXPECT_DOUBLE_EQ(rig.s1->PressureValue(), 5000.0);
    EXPECT_DOUBLE_EQ(run.Time(), 1.0);
    EXPECT_EQ(run.Steps(), 1);
    // Compositions at the start (the starting state) and again before the
    // first solve, from the pipeline's first results.
    const std::vector<std::string> expected = {
        "DynInitialize", "InitializeSystem", "Composition", "Pre",
        "Composition",   "Energy",           "Composition", "Post"};
    EXPECT_EQ(rig.ext->calls, expected);

    // A steeper derivative moves the flow as the coefficients say.
    rig.ext->dF = 4e-4;
    ASSERT_TRUE(run.Step()) << run.Error();
    EXPECT_NEAR(rig.s1->MolarFlowValue(), 0.2 + 4e-4 * 500.0, 1e-12);

    // A call that starts a server step is followed by a second one, which
    // takes that step's results before the solve; one that does not, is not.
    rig.ext->starts_steps = true;
    for (int k = 0; k < 2; ++k) {
        rig.ext->calls.clear();
        ASSERT_TRUE(run.Step()) << run.Error();
        const std::vector<std::string> twice = {"Pre", "Pre", "Energy", "Composition", "Post"};
        EXPECT_EQ(rig.ext->calls, twice);
    }
    rig.ext->sim_time = 100.0;  // the pipeline ahead of the host: nothing started
    rig.ext->calls.clear();
    ASSERT_TRUE(run.Step()) << run.Error();
    EXPECT_EQ(rig.ext->calls, (std::vector<std::string>{"Pre", "Energy", "Composition", "Post"}));

    // A singular extension equation stops the step and keeps the state.
    const double n = rig.s1->MolarFlowValue(), t = run.Time();
    const auto steps = run.Steps();
    rig.ext->broken = true;
    EXPECT_FALSE(run.Step());
    EXPECT_NE(run.Error().find("singular"), std::string::npos) << run.Error();
    EXPECT_DOUBLE_EQ(rig.s1->MolarFlowValue(), n);
    EXPECT_DOUBLE_EQ(run.Time(), t);
    EXPECT_EQ(run.Steps(), steps);
}

TEST(DynamicContainer, ReplacesOnlyOutletsAndChecksEquationNumbers) {
    Rig rig;
    rig.s2->SpecifyFlow(true, Stream::kMolarBasis);
    auto unit = rig.Unit();
    DynamicRun run(*rig.plant, rig.solver, {unit});
    ASSERT_TRUE(run.Start());
    auto& dyn = *run.Units()[0].dynamic;
    // Composition only (flag false): conditions stay.
    rig.ext->outlet_composition = {0.5, 0.5};
    ASSERT_TRUE(run.Step()) << run.Error();
    EXPECT_NEAR(rig.s2->GetFluid()->Composition()[1], 0.5, 1e-15);
    // Once before the first solve, once after it.
    EXPECT_EQ(dyn.FluidReplacements(), 2);
    ASSERT_EQ(dyn.HandedOutlets().size(), 1u);
    EXPECT_EQ(dyn.HandedOutlets()[0], rig.s2);
    // Downstream the valve carried the new composition on.
    EXPECT_NEAR(rig.s3->GetFluid()->Composition()[1], 0.5, 1e-15);

    // The whole state (flag true), and refusals.
    auto f = Fluid::Create(rig.set, {0.2, 0.8}, 10.0, 4000.0, 0.25);
    dyn.ReplaceOutletFluid(rig.s2, f, true);
    EXPECT_DOUBLE_EQ(rig.s2->TemperatureValue(), 10.0);
    EXPECT_DOUBLE_EQ(rig.s2->MolarFlowValue(), 0.25);
    EXPECT_THROW(dyn.ReplaceOutletFluid(rig.s1, f, true), std::invalid_argument);
    EXPECT_THROW(dyn.SetFlowBalanceCoefficient(1, 0, 1.0), std::out_of_range);
    EXPECT_THROW(dyn.SetFlowBalanceCoefficient(0, 3, 1.0), std::out_of_range);
    EXPECT_THROW(dyn.SetPressureBalanceCoefficient(0, 0, 1.0), std::out_of_range);
    EXPECT_THROW(dyn.SetFlowBalanceCoefficient(0, 0, std::nan("")), std::invalid_argument);
}

TEST(DynamicRun, ControllerHoldsFlowAtSetpointAndMassBalances) {
    auto set = std::make_shared<ComponentSet>(std::vector<std::string>{"methane", "propane"});
    Plant plant(set);
    const std::vector<double> z = {0.8, 0.2};
    auto s1 = plant.AddStream("S1", Fluid::Create(set, z, 40.0, 6000.0, 0.1));
    auto s2 = plant.AddStream("S2", Fluid::Create(set, z, 40.0, 2000.0, 0.1));
    plant.AddOperation(std::make_shared<Feed>("Feed", s1, z, Schedule(40.0), Feed::Mode::Pressure,
                                              Schedule(6000.0)));
    auto valve = std::make_shared<Valve>("FV", s1, s2, 0.05, 20.0);
    plant.AddOperation(valve);
    plant.AddOperation(std::make_shared<Sink>("Sink", s2, Schedule(2000.0)));
    plant.AddOperation(
        std::make_shared<Controller>("FIC", s2, StreamValue::What::MassFlow, Schedule(8.0), 2.0,
                                     5.0, Controller::Action::Reverse, 20.0, valve, true));
    auto solver = std::make_shared<RefSolver>();
    solver->integrator_->step_size_ = 0.5;
    DynamicRun run(plant, solver, {});
    ASSERT_TRUE(run.Start()) << run.Error();
    const double start_flow = s2->MassFlowValue();
    for (int i = 0; i < 400; ++i) ASSERT_TRUE(run.Step()) << run.Error();
    EXPECT_LT(start_flow, 7.0);
    EXPECT_NEAR(s2->MassFlowValue(), 8.0, 0.01);
    EXPECT_GT(valve->Position(), 20.0);
    EXPECT_NEAR(plant.FindOperation("FIC")->Member("OP")->GetValue(), valve->Position(), 1e-12);
    EXPECT_NEAR(run.MassIn(), run.MassOut(), 1e-9 * run.MassIn());
    EXPECT_DOUBLE_EQ(run.Time(), 200.0);
    EXPECT_THROW(plant.FindOperation("FV")->Member("OP"), std::invalid_argument);
}

}  // namespace zefa::test
