// The pressure-flow solver on small networks against analytic flows.
#include <gtest/gtest.h>

#include <cmath>

#include "lib/integrator_run.h"
#include "lib/pf_solver.h"
#include "lib/unit_ops.h"

using namespace refhost;

namespace zefa::test {
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

PFNetwork Network(const Line& l, bool two_valves) {
    l.feed->BeginStep(0.0);
    l.sink->BeginStep(0.0);
    PFNetwork net(two_valves ? std::vector<StreamPtr>{l.s1, l.s2, l.s3}
                             : std::vector<StreamPtr>{l.s1, l.s2});
    net.AddStreamSpecifications();
    l.v1->AddEquations(net);
    if (two_valves) l.v2->AddEquations(net);
    return net;
}

}  // namespace

// Liquid hexane (density 659 kg/m3, 86.177 kg/kmol) through one valve of
// a = Cv x opening, or two in series, a and b, where a^2 (P1 - P2) =
// b^2 (P2 - P3) gives P2 = (a^2 P1 + b^2 P3) / (a^2 + b^2) and m = a sqrt(659
// (P1 - P2)). A closed valve leaks a millionth of its open flow.
TEST(PressureFlow, ValveLinesGiveTheAnalyticFlowAndPressures) {
    struct Row {
        const char* what;
        bool two_valves;
        double p_feed, p_sink, position1, position2;
        double a, b;  // the valves' Cv times opening
    };
    const Row rows[] = {
        {"one valve", false, 5000.0, 2000.0, 50.0, 0.0, 0.1, 0.0},
        {"one valve, reverse drop", false, 2000.0, 5000.0, 50.0, 0.0, 0.1, 0.0},
        {"two in series", true, 5000.0, 2000.0, 50.0, 80.0, 0.1, 0.08},
        {"both closed, the second clamped from -5 %", true, 5000.0, 2000.0, 0.0, -5.0, 0.2e-6,
         0.1e-6},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Line l = MakeLine(row.two_valves, row.p_feed, row.p_sink);
        l.v1->SetPosition(row.position1);
        if (row.two_valves) {
            l.v2->SetPosition(row.position2);
            EXPECT_GE(l.v2->Position(), 0.0);  // clamped
        }
        PFNetwork net = Network(l, row.two_valves);
        const PFResult r = SolvePressureFlow(net);
        ASSERT_TRUE(r.converged) << r.message;
        EXPECT_LE(r.iterations, 20);
        const double a2 = row.a * row.a, b2 = row.b * row.b;
        const double p2 =
            row.two_valves ? (a2 * row.p_feed + b2 * row.p_sink) / (a2 + b2) : row.p_sink;
        const double drop = row.p_feed - p2;
        const double m = std::copysign(row.a * std::sqrt(659.0 * std::abs(drop)), drop);
        EXPECT_NEAR(l.s2->PressureValue(), p2, 1e-6);
        EXPECT_NEAR(l.s1->MassFlowValue(), m, 1e-9 * std::abs(m));
        EXPECT_NEAR(l.s1->MolarFlowValue(), m / 86.177, 1e-9 * std::abs(m));
        EXPECT_NEAR((row.two_valves ? l.s3 : l.s2)->MassFlowValue(), m, 1e-9 * std::abs(m));
        EXPECT_DOUBLE_EQ(l.s1->PressureValue(), row.p_feed);
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

}  // namespace zefa::test
