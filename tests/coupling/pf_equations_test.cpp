// Pressure-flow equations: their gate and variables, the coefficients on
// hand-computed cases, and the derivative inputs registered with the server.
#include <gmock/gmock.h>

#include <array>

#include "coupling_fixture.h"
#include "fake_server.h"

using namespace zefa::test::coupling;
using ::testing::ElementsAre;
using zefa::test::FakeServer;

namespace {

class CouplingEquations : public Coupling {
  protected:
    void SetUp() override {
        Coupling::SetUp();
        Num("boolWritePFEquations", 1);
        Num("ignoreZEFA", 0);
        // Gas 20, oil 80, water 18 kg/kgmole.
        for (auto* s : {in.get(), out.get()}) {
            s->fluid.vapour = std::make_shared<TestPhase>(0.0, 20.0, std::vector<double>{});
            s->fluid.liquid = std::make_shared<TestPhase>(0.0, 80.0, std::vector<double>{});
            s->fluid.aqueous = std::make_shared<TestPhase>(0.2, 18.0, std::vector<double>{});
        }
        in->pressure->SetValue(5000);
        in->molar_flow->SetValue(0.25);
        Connect({in}, {0}, {out}, {0});
        Array("bFlowSwitch", host::NumberArray::OneD({0}));
        SetTexts("SourceTags", {"IN"});
        SetTexts("BoundaryTags", {"OUT"});
        zefa->SetupSourceAndBoundaryVars();
        dyn->LoadEquations(*zefa);
    }
    // Trend vector: HT, then the inlet source's rows from 1, the outlet
    // boundary's from 9 (pressure, three derivatives, three flows, temperature).
    void Trend(std::vector<double> source_derivs, std::vector<double> source_flows,
               double boundary_p, std::vector<double> boundary_derivs) {
        auto& t = State().step().dblStepResults;
        t.assign(17, 0.0);
        for (std::size_t p = 0; p < 3; ++p) {
            t[2 + p] = source_derivs[p];
            t[5 + p] = source_flows[p];
            t[10 + p] = boundary_derivs[p];
        }
        t[9] = boundary_p;
    }
    void BoundaryFlows(double g, double o, double w) {
        State().step().dblBoundaryFlows.data = {g, o, w};
    }
    std::array<double, 3> Pressure() const { return dyn->PressureBalance().at(0).coef; }
    std::array<double, 3> Flow() const { return dyn->FlowBalance().at(0).coef; }

    std::shared_ptr<TestStream> in = std::make_shared<TestStream>("IN");
    std::shared_ptr<TestStream> out = std::make_shared<TestStream>("OUT");
};

}  // namespace

TEST_F(CouplingEquations, GateVariablesAndInitialCoefficients) {
    auto back = std::make_shared<TestStream>("BACK");
    Connect({in}, {0}, {out, back}, {0, 1});
    zefa->SetupSourceAndBoundaryVars();
    EXPECT_EQ(zefa->NumberOfPressBalEquations(), 2);
    EXPECT_EQ(zefa->NumberOfFlowBalEquations(), 1);
    EXPECT_EQ(zefa->VariablesInPressBalanceEquations(), (std::vector<std::int32_t>{2, 2}));
    std::int32_t idx = 1;
    auto vars = zefa->PressureBalanceEquationVars(idx);  // the outlet ticked as source
    ASSERT_TRUE(vars);
    EXPECT_THAT(*vars, ElementsAre(back->pressure, back->molar_flow));
    idx = 0;
    vars = zefa->FlowBalanceEquationVars(idx);
    ASSERT_TRUE(vars);
    EXPECT_THAT(*vars, ElementsAre(out->molar_flow, out->pressure));
    idx = 1;
    vars = zefa->FlowBalanceEquationVars(idx);  // no second boundary
    ASSERT_TRUE(vars);
    EXPECT_THAT(*vars, ElementsAre(nullptr, nullptr));
    EXPECT_EQ(zefa->PressureBalanceEquationCoef(0), (std::vector<double>{1.0, 0.0, 101.325}));
    EXPECT_EQ(zefa->FlowBalanceEquationCoef(0), (std::vector<double>{1.0, 0.0, 0.0}));

    Num("boolWritePFEquations", 0);
    EXPECT_EQ(zefa->NumberOfPressBalEquations(), 0);
    EXPECT_EQ(zefa->NumberOfFlowBalEquations(), 0);
    EXPECT_FALSE(zefa->VariablesInFlowBalanceEquations());
    EXPECT_FALSE(zefa->PressureBalanceEquationVars(idx));
    EXPECT_FALSE(zefa->FlowBalanceEquationCoef(0));
    Num("boolWritePFEquations", 1);
    Num("ignoreZEFA", 1);
    EXPECT_EQ(zefa->NumberOfPressBalEquations(), 0);
    EXPECT_FALSE(zefa->PressureBalanceEquationCoef(0));
}

TEST_F(CouplingEquations, CoefficientsLineariseThePipelineAnswerInTheHostsFlowSign) {
    // Source: dP/dG = 4, 8, 0 kPa per kg/s; flows 2, 8, 0 kg/s give 0.1 + 0.1
    // kgmole/s, fractions 0.5, 0.5, 0; dP/dN = 0.5*20*4 + 0.5*80*8 = 360.
    // Boundary: P = 3000 kPa; dG/dP = -1, -2, 0 kg/s per kPa; flows 2, 8, 1.8
    // give F = 0.3; dF/dP = -1/20 - 2/80 = -0.075. With the outlet's flow
    // switch on the host counts the server's flows and slopes the other way
    // (the flows given here are the host's already): server slopes of +1, +2
    // give the same. A slope of the other sign (outflow rising with back
    // pressure) is replaced by the last usable one.
    struct Row {
        double flow_switch, dFdP, server_sign;
    };
    for (const Row row :
         {Row{0, -0.075, 1}, Row{1, -0.075, -1}, Row{0, -0.075, -1}, Row{1, -0.075, 1}}) {
        Array("bFlowSwitch", host::NumberArray::OneD({row.flow_switch}));
        Trend({4000, 8000, 0}, {2, 8, 0}, 3e6,
              {-1e-3 * row.server_sign, -2e-3 * row.server_sign, 0});
        BoundaryFlows(2, 8, 1.8);
        zefa->UpdatePFEquationCoeffs();
        EXPECT_TRUE(Lines().empty()) << Lines()[0];
        EXPECT_DOUBLE_EQ(Pressure()[0], 1.0);
        EXPECT_DOUBLE_EQ(Pressure()[1], -360.0);
        EXPECT_DOUBLE_EQ(Pressure()[2], -360.0 * 0.25 + 5000.0);
        EXPECT_DOUBLE_EQ(Flow()[0], 1.0);
        EXPECT_DOUBLE_EQ(Flow()[1], -row.dFdP) << row.flow_switch;
        EXPECT_DOUBLE_EQ(Flow()[2], 0.3 - 3000.0 * row.dFdP) << row.flow_switch;
    }
}

TEST_F(CouplingEquations, FloorsKeepBothVariablesInTheEquations) {
    // Zero boundary derivatives: N = F + 1e-15 (p - P).
    // Source derivatives giving c1 = -5e-17: c1 becomes +1e-15.
    Trend({1e-15, 1e-15, 0}, {2, 8, 0}, 3e6, {0, 0, 0});
    BoundaryFlows(2, 8, 1.8);
    zefa->UpdatePFEquationCoeffs();
    EXPECT_DOUBLE_EQ(Flow()[1], -1e-15);
    EXPECT_DOUBLE_EQ(Flow()[2], 0.3 - 3000.0 * 1e-15);
    EXPECT_DOUBLE_EQ(Pressure()[1], 1e-15);
    EXPECT_DOUBLE_EQ(Pressure()[2], 1e-15 * 0.25 + 5000.0);
    EXPECT_TRUE(Lines().empty());
}

TEST_F(CouplingEquations, PhaseFractionsComeFromTheFluidWithoutFlow) {
    // Vapour fraction 0.6; aqueous 0.2 of 2 kgmole/s: 0.1; oil the rest, 0.3.
    in->fluid.vapour_fraction = 0.6;
    in->fluid.molar_flow = 2.0;
    Trend({4000, 8000, 5000}, {0, 0, 0}, 3e6, {0, 0, 0});
    zefa->UpdatePFEquationCoeffs();
    EXPECT_DOUBLE_EQ(Pressure()[1], -(0.6 * 20 * 4 + 0.3 * 80 * 8 + 0.1 * 18 * 5));

    // A gas flow the fluid has no vapour for: the fluid's split too.
    in->fluid.vapour = nullptr;
    Trend({4000, 8000, 5000}, {3, 0, 0}, 3e6, {0, 0, 0});
    zefa->UpdatePFEquationCoeffs();
    EXPECT_DOUBLE_EQ(Pressure()[1], -(0.3 * 80 * 8 + 0.1 * 18 * 5));
    EXPECT_TRUE(Lines().empty()) << Lines()[0];
}

TEST_F(CouplingEquations, ZeroMolecularWeightIsReportedNotDividedBy) {
    // The oil phase says 0 kg/kgmole while carrying no flow: its fraction is 0
    // and the equation stays finite.
    in->fluid.liquid = std::make_shared<TestPhase>(0.0, 0.0, std::vector<double>{});
    Trend({4000, 8000, 0}, {2, 0, 0}, 3e6, {-1e-3, -2e-3, 0});
    BoundaryFlows(2, 8, 1.8);
    zefa->UpdatePFEquationCoeffs();
    EXPECT_DOUBLE_EQ(Pressure()[1], -(1.0 * 20 * 4));
    EXPECT_DOUBLE_EQ(Flow()[1], 0.075);  // the boundary is untouched by the inlet's fluid
    EXPECT_THAT(Lines(), ElementsAre("IN: the light liquid phase has a molecular weight of 0; "
                                     "its flow is left out of the pressure-flow equation." +
                                     kSuffix));
}

TEST_F(CouplingEquations, StreamUpdateHandsTheResultsToTheEquations) {
    Array("SourcePressures", host::NumberArray::OneD({5200}));
    Num("ZEFARunInterval", 1.0);
    State().step().dblKavrisStepSize = 1.0;
    Trend({4000, 8000, 0}, {2, 8, 0}, 3e6, {-1e-3, -2e-3, 0});
    auto flows = host::NumberArray::TwoD(1, 3);
    flows.data = {2, 8, 1.8};
    Array("OutletMassFlows", flows);
    zefa->UpdateStreamsData();
    EXPECT_DOUBLE_EQ(in->pressure->GetValue(), 5000);  // the equations carry it instead
    EXPECT_DOUBLE_EQ(out->mass_flow->GetValue(), 0);
    EXPECT_DOUBLE_EQ(Pressure()[2], -360.0 * 0.25 + 5200.0);
    EXPECT_DOUBLE_EQ(Flow()[2], 0.3 + 3000.0 * 0.075);

    Num("boolWritePFEquations", 0);
    Trend({0, 0, 0}, {0, 0, 0}, 0, {0, 0, 0});
    zefa->UpdatePFEquationCoeffs();  // switched off: nothing is written
    EXPECT_DOUBLE_EQ(Flow()[2], 0.3 + 3000.0 * 0.075);

    // Outside a dynamic run there is no dynamic container and nothing to update.
    Num("boolWritePFEquations", 1);
    State().dynContainer().reset();
    zefa->UpdateStreamsData();
    EXPECT_TRUE(Lines().empty()) << Lines()[0];
}

TEST_F(CouplingEquations, DerivativeInputsAreRegisteredWithTheirBlanks) {
    FakeServer server;
    State().client().TCPTimeOut = 2;
    ASSERT_TRUE(State().client().OpenConnection("127.0.0.1", server.Port()));
    ASSERT_TRUE(zefa->SetupDerivatives());
    EXPECT_THAT(server.Received(3),
                ElementsAre("ZEFA_INP_NAMES|$IN SOURCE_DERIV $OUT BOUNDARY_DERIV ",
                            "ZEFA_INP_SIZES|3|4", "ZEFA_INP_DATA|0|0|0|0|0|0|0"));
    EXPECT_EQ(Values("SourceDerivs").rows, 1u);
    EXPECT_EQ(Values("BoundaryDerivs").columns, 3u);

    server.Refuse("ZEFA_INP_NAMES");
    EXPECT_FALSE(zefa->SetupDerivatives());
    // The client reports the server's refusal, then the registration its failure.
    EXPECT_THAT(Lines(), ElementsAre(::testing::StartsWith("ZEFA_SERVER Reported Error"),
                                     "ZEFA_INP_NAMES failed for derivatives.  Check the ZEFA "
                                     "Boundary/Source Labels you have specified on the Setup - "
                                     "Connections page under the Inlets and Outlets." +
                                         kSuffix));
}
