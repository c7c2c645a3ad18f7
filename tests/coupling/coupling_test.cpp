// Host lookups, outlet compositions and pressure-flow equations of the
// extension against reference-host streams, fluids and a test fluid with
// chosen phases.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "coupling_fixture.h"

using namespace refhost;
using namespace zefa::test::coupling;
using ::testing::ElementsAre;
using zefa::test::FakeServer;

namespace {
const std::string kMissingPhase =
    "ZEFA has a flow for a certain phase but the KAVRIS flash of the Reference stream at the "
    "outlet conditions did not produce any of this phase.  This phase ZEFA flow will be "
    "considered zero for the purposes of setting the KAVRIS outlet stream composition.";
}  // namespace

// ---- Host lookups ----

TEST_F(Coupling, ReferenceFluidIsTheReferenceStreamOrTheMixOfTheInlets) {
    EXPECT_EQ(zefa->GetReferenceFluid(), nullptr);  // no reference stream, no inlet

    auto a = MakeStream("A", {0.9, 0.1, 0.0, 0.0}, 40.0, 5000.0, 2.0);
    auto b = MakeStream("B", {0.0, 0.0, 0.5, 0.5}, 20.0, 4000.0, 1.0);
    Connect({a, b}, {0, 0}, {}, {});
    auto mix = std::dynamic_pointer_cast<Fluid>(zefa->GetReferenceFluid());
    ASSERT_NE(mix, nullptr);
    EXPECT_DOUBLE_EQ(mix->MolarFlowKmol(), 3.0);
    EXPECT_NEAR(mix->Composition()[0], 1.8 / 3.0, 1e-14);
    EXPECT_NEAR(mix->Composition()[3], 0.5 / 3.0, 1e-14);
    EXPECT_DOUBLE_EQ(mix->PressureKPa(), 4000.0);
    // A copy: the inlets are untouched, and every call builds a new one.
    mix->MolarFlow()->SetValue(99.0);
    EXPECT_DOUBLE_EQ(a->MolarFlowValue(), 2.0);
    EXPECT_DOUBLE_EQ(zefa->GetReferenceFluid()->MolarFlowValue(), 3.0);

    auto ref = MakeStream("REF", {0.0, 1.0, 0.0, 0.0}, 10.0, 800.0, 0.5);
    State().vars().ReferenceStream = ref;
    auto r = zefa->GetReferenceFluid();
    EXPECT_DOUBLE_EQ(r->Composition()[1], 1.0);
    EXPECT_DOUBLE_EQ(r->MolarFlowValue(), 0.5);
    EXPECT_TRUE(Lines().empty());
}

TEST_F(Coupling, OperationSearchFindsTheTopLevelFirstThenEarlierSubFlowsheets) {
    auto top = host_case->Flowsheet();
    auto top_fv = std::make_shared<RefOperation>("FV", "valveop");
    auto sub1 = top->AddSubFlowsheet("Area 1");
    auto sub2 = top->AddSubFlowsheet("Area 2");
    auto sub1_fv = std::make_shared<RefOperation>("FV", "valveop");
    auto sub1_pic = std::make_shared<RefOperation>("PIC", "fbcontrolop");
    auto sub2_pic = std::make_shared<RefOperation>("PIC", "fbcontrolop");
    auto deep = sub2->AddSubFlowsheet("Deep");
    auto deep_lic = std::make_shared<RefOperation>("LIC", "fbcontrolop");
    sub1->Add(sub1_fv);
    sub1->Add(sub1_pic);
    sub2->Add(sub2_pic);
    deep->Add(deep_lic);
    top->Add(top_fv);

    // The name is matched exactly, case and all.
    using Case = std::pair<const char*, std::shared_ptr<host::Operation>>;
    for (const auto& [name, expected] :
         std::vector<Case>{{"FV", top_fv}, {"PIC", sub1_pic}, {"LIC", deep_lic}, {"fv", nullptr}}) {
        std::shared_ptr<host::Operation> found;
        zefa->RecursiveGetOperation(found, top, name);
        EXPECT_EQ(found, expected) << name;
    }
    std::shared_ptr<host::Operation> preset = sub2_pic;
    zefa->RecursiveGetOperation(preset, top, "FV");
    EXPECT_EQ(preset, sub2_pic);
    EXPECT_TRUE(Lines().empty());
    std::shared_ptr<host::Operation> none;
    zefa->RecursiveGetOperation(none, nullptr, "FV");
    ASSERT_EQ(Lines().size(), 1u);
    EXPECT_EQ(Lines()[0],
              "METHOD -- RecursiveGetOperation: Object variable or With block "
              "variable not set" +
                  kSuffix);
}

// ---- Composition mixing ----

// Rows: a fluid's flashed phases and the pipeline's gas, oil and water mass
// flows; the outlet composition mixes the phases by the moles those flows
// imply (flow / molecular weight), or by the phases' own moles on reverse flow.
TEST_F(Coupling, CompositionsMixThePhasesByTheMolesThePipelineFlowsImply) {
    const std::vector<double> y = {0.8, 0.2, 0.0, 0.0}, xo = {0.1, 0.3, 0.6, 0.0},
                              xw = {0.0, 0.0, 0.0, 1.0}, heavy = {0.0, 0.1, 0.9, 0.0};
    TestFluid one, three, wet, reverse;
    one.liquid = std::make_shared<TestPhase>(2.0, 80.0, heavy);
    one.vapour = std::make_shared<TestPhase>(0.0, 16.0, std::vector<double>{1.0, 0.0, 0.0, 0.0});
    three.vapour = wet.vapour = std::make_shared<TestPhase>(1.0, 20.0, y);
    three.liquid = std::make_shared<TestPhase>(1.0, 70.0, xo);
    three.aqueous = wet.aqueous = std::make_shared<TestPhase>(1.0, 18.0, xw);
    reverse.vapour = std::make_shared<TestPhase>(-1.0, 20.0, y);
    reverse.liquid = std::make_shared<TestPhase>(-3.0, 70.0, xo);
    struct Row {
        const char* what;
        TestFluid* fluid;
        double gas, oil, water;
        bool reversed;
        std::optional<std::vector<double>> z;
        bool reported;  // a pipeline phase the flash did not produce
    };
    const std::vector<double> liquids = {0.05, 0.15, 0.3, 0.5};  // Wo = 7/70, Ww = 1.8/18
    const Row rows[] = {
        {"one present phase", &one, 0.0, 3.0, 0.0, false, heavy, false},
        {"flows the flash cannot match", &one, 5.0, 3.0, 1.0, false, heavy, true},
        {"no gas: the liquids", &three, 0.0, 7.0, 1.8, false, liquids, false},
        {"all three", &three, 4.0, 7.0, 1.8, false, std::vector<double>{0.425, 0.175, 0.15, 0.25},
         false},
        {"negative flow counts as 0", &three, 4.0, -7.0, 0.0, false, y, false},
        {"nothing flows", &three, 0.0, -1.0, 0.0, false, std::nullopt, false},
        {"all negative", &three, -2.0, -1.0, -3.0, false, std::nullopt, false},
        {"wet gas, no light liquid", &wet, 4.0, 0.0, 3.6, false,
         std::vector<double>{0.4, 0.1, 0.0, 0.5}, false},
        {"reverse: own moles 1 and 3", &reverse, 0.0, 0.0, 0.0, true,
         std::vector<double>{0.275, 0.275, 0.45, 0.0}, false},
    };
    std::size_t reported = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const auto z =
            zefa->GetNewComposition(*row.fluid, row.gas, row.oil, row.water, row.reversed);
        ASSERT_EQ(z.has_value(), row.z.has_value());
        for (std::size_t i = 0; z && i < 4; ++i) EXPECT_NEAR((*z)[i], (*row.z)[i], 1e-15) << i;
        reported += row.reported ? 1 : 0;
        ASSERT_EQ(Lines().size(), reported);
    }
    EXPECT_EQ(Lines()[0], kMissingPhase + kSuffix);
    EXPECT_EQ(State().lastMessage(), kMissingPhase);
}

// ---- Outlets ----

TEST_F(Coupling, OutletsGetTheFlashedReferenceMixedByThePipelineFlows) {
    auto in = MakeStream("IN", {0.7, 0.1, 0.1, 0.1}, 50.0, 6000.0, 1.0);
    auto out1 = MakeStream("OUT1", {1.0, 0.0, 0.0, 0.0}, 5.0, 3000.0, 0.8);   // boundary
    auto out2 = MakeStream("OUT2", {1.0, 0.0, 0.0, 0.0}, 5.0, 2000.0, -0.2);  // reverse flow
    auto out3 = MakeStream("OUT3", {1.0, 0.0, 0.0, 0.0}, 5.0, 2500.0, 0.3);   // source
    Connect({in}, {0}, {out1, out2, out3}, {0, 0, 1});
    Array("BoundaryTemperatures", host::NumberArray::OneD({30.0, 99.0}));
    Array("SourceTemperatures", host::NumberArray::OneD({80.0, 25.0}));
    auto sm = host::NumberArray::TwoD(2, 3);
    sm.At(1, 0) = 2.0;  // gas only at the outlet source (source row 1; row 0 is the inlet)
    Array("SourceMassFlows", sm);
    State().step().dblBoundaryFlows = host::NumberArray::TwoD(2, 3);
    State().step().dblBoundaryFlows.At(0, 0) = 3.0;
    State().step().dblBoundaryFlows.At(0, 1) = 1.0;
    State().step().dblBoundaryFlows.At(0, 2) = 0.5;

    zefa->SetOutletCompositions();
    EXPECT_TRUE(Lines().empty()) << Lines()[0];

    // The expected composition: the reference flashed at 30 C and OUT1's pressure.
    auto ref = in->GetFluid()->Copy();
    ASSERT_EQ(ref->TPFlash(30.0, 3000.0), 0);
    const auto expected = zefa->GetNewComposition(*ref, 3.0, 1.0, 0.5, false);
    ASSERT_TRUE(expected);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_NEAR(out1->GetFluid()->Composition()[i], (*expected)[i], 1e-12) << i;
    }
    EXPECT_DOUBLE_EQ(out1->TemperatureValue(), 30.0);
    EXPECT_DOUBLE_EQ(out1->PressureValue(), 3000.0);
    EXPECT_DOUBLE_EQ(out1->MolarFlowValue(), 0.8);
    // Water in the pipeline's flow puts water into the outlet.
    EXPECT_GT(out1->GetFluid()->Composition()[3], 0.01);

    // Reverse flow: the outlet's own phases, conditions kept.
    EXPECT_NEAR(out2->GetFluid()->Composition()[0], 1.0, 1e-12);
    EXPECT_DOUBLE_EQ(out2->TemperatureValue(), 5.0);
    EXPECT_DOUBLE_EQ(out2->MolarFlowValue(), -0.2);

    // Source outlet: gas only, so the vapour of the flash at 25 C.
    auto ref3 = in->GetFluid()->Copy();
    ASSERT_EQ(ref3->TPFlash(25.0, 2500.0), 0);
    EXPECT_NEAR(out3->GetFluid()->Composition()[0], ref3->VapourPhase()->Composition()[0], 1e-12);
    EXPECT_DOUBLE_EQ(out3->TemperatureValue(), 25.0);

    EXPECT_EQ(dyn->FluidReplacements(), 3);
    ASSERT_EQ(dyn->ReplacedOutlets().size(), 3u);
    EXPECT_EQ(dyn->ReplacedOutlets()[2], out3);
}

TEST_F(Coupling, NegativeInletFlowAndFlashFailuresAreReportedAndChangeNothing) {
    auto in = MakeStream("IN", {0.7, 0.1, 0.1, 0.1}, 50.0, 6000.0, -1.0);
    auto out = MakeStream("OUT", {1.0, 0.0, 0.0, 0.0}, 5.0, 3000.0, 0.8);
    Connect({in}, {1}, {out}, {0});
    Array("BoundaryTemperatures", host::NumberArray::OneD({60.0, -300.0}));
    State().step().dblBoundaryFlows = host::NumberArray::TwoD(2, 3, 1.0);
    zefa->SetOutletCompositions();
    ASSERT_EQ(Lines().size(), 2u);
    EXPECT_EQ(Lines()[0],
              "Stream composition, etc will not be updated for negative flow in an Inlet since "
              "this can not be gotten from ZEFA.  Stream will be held at last values." +
                  kSuffix);
    EXPECT_EQ(Lines()[1], "Flash Failure" + kSuffix);
    EXPECT_DOUBLE_EQ(in->MolarFlowValue(), -1.0);
    EXPECT_DOUBLE_EQ(in->GetFluid()->Composition()[0], 0.7);
    EXPECT_DOUBLE_EQ(out->TemperatureValue(), 5.0);
    EXPECT_DOUBLE_EQ(out->GetFluid()->Composition()[0], 1.0);
    EXPECT_EQ(dyn->FluidReplacements(), 0);
    EXPECT_EQ(dyn->ReplacedOutlets().size(), 1u);  // the outlet list is still handed back
}

TEST_F(Coupling, ZeroFlowReferenceIsFlashedAtUnitFlow) {
    auto in = MakeStream("IN", {0.6, 0.2, 0.1, 0.1}, 30.0, 4000.0, 0.0);
    auto out = MakeStream("OUT", {1.0, 0.0, 0.0, 0.0}, 5.0, 3000.0, 0.5);
    Connect({in}, {0}, {out}, {0});
    Array("BoundaryTemperatures", host::NumberArray::OneD({30.0}));
    State().step().dblBoundaryFlows = host::NumberArray::TwoD(1, 3);
    State().step().dblBoundaryFlows.At(0, 1) = 2.0;  // oil only
    zefa->SetOutletCompositions();
    EXPECT_TRUE(Lines().empty());
    auto ref = in->GetFluid()->Copy();
    ASSERT_EQ(ref->TPFlash(30.0, 3000.0), 0);
    EXPECT_NEAR(out->GetFluid()->Composition()[2], ref->State().phases[kOil]->x[2], 1e-12);
    EXPECT_DOUBLE_EQ(out->MolarFlowValue(), 0.5);
}

TEST_F(Coupling, BypassExpandsTheReferenceIntoTheOutletsAndKeepsMassSpecs) {
    auto in = MakeStream("IN", {0.95, 0.05, 0.0, 0.0}, 40.0, 9000.0, 1.0);
    auto out1 = MakeStream("OUT1", {0.0, 1.0, 0.0, 0.0}, 40.0, 3000.0, 0.6);
    auto out2 = MakeStream("OUT2", {0.0, 1.0, 0.0, 0.0}, 40.0, 3000.0, 0.4);
    auto out3 = MakeStream("OUT3", {0.0, 1.0, 0.0, 0.0}, 40.0, 3000.0, -0.1);
    Connect({in}, {0}, {out1, out2, out3}, {0, 0, 0});
    out2->SpecifyFlow(true, Stream::kMassBasis);
    const double mass2 = out2->MassFlowValue();
    zefa->SetOutletsAsInlets();
    EXPECT_TRUE(Lines().empty());
    EXPECT_NEAR(out1->GetFluid()->Composition()[0], 0.95, 1e-12);
    EXPECT_DOUBLE_EQ(out1->MolarFlowValue(), 0.6);
    EXPECT_DOUBLE_EQ(out1->PressureValue(), 3000.0);
    EXPECT_NEAR(out1->GetFluid()->MolarEnthalpy(), in->GetFluid()->MolarEnthalpy(), 1e-3);
    EXPECT_LT(out1->TemperatureValue(), 40.0 - 5.0);  // the drop cools the gas
    // A mass-flow spec survives the new composition.
    EXPECT_NEAR(out2->GetFluid()->Composition()[0], 0.95, 1e-12);
    EXPECT_DOUBLE_EQ(out2->MassFlowValue(), mass2);
    EXPECT_GT(out2->MolarFlowValue(), 0.4);  // lighter fluid, same mass
    // Reverse flow is left alone.
    EXPECT_DOUBLE_EQ(out3->GetFluid()->Composition()[1], 1.0);
}

TEST_F(Coupling, MassPhaseFractionsForStreamsFlowingInAndOut) {
    auto wet = MakeStream("WET", {0.8, 0.05, 0.05, 0.1}, 30.0, 5000.0, 2.0);      // source inlet
    auto back = MakeStream("BACK", {0.8, 0.05, 0.05, 0.1}, 30.0, 5000.0, -1.0);   // source inlet
    auto still = MakeStream("STILL", {0.8, 0.05, 0.05, 0.1}, 30.0, 5000.0, 0.0);  // boundary in
    auto out = MakeStream("OUT", {0.8, 0.05, 0.05, 0.1}, 30.0, 3000.0, 1.0);      // boundary out
    Connect({wet, back, still}, {0, 0, 1}, {out}, {0});
    Array("SourceGasFractions", host::NumberArray::OneD({9, 9}));
    Array("SourceWaterFractions", host::NumberArray::OneD({9, 9}));
    Array("BoundaryGasFracs", host::NumberArray::OneD({9, 9}));
    Array("BoundaryWaterFracs", host::NumberArray::OneD({9, 9}));
    zefa->CalculateMassPhaseFractions();
    EXPECT_TRUE(Lines().empty());
    const Fluid& f = *wet->GetFluid();
    ASSERT_NE(f.AqueousPhase(), nullptr);
    EXPECT_NEAR(Values("SourceGasFractions").At(0), f.MassVapourFraction(), 1e-15);
    EXPECT_NEAR(Values("SourceWaterFractions").At(0),
                f.AqueousPhase()->MassFlow() / f.MassFlowValue(), 1e-15);
    EXPECT_GT(Values("SourceWaterFractions").At(0), 0.05);
    EXPECT_DOUBLE_EQ(Values("SourceGasFractions").At(1), -1.0);
    EXPECT_DOUBLE_EQ(Values("SourceWaterFractions").At(1), -1.0);
    // Zero mass flow counts as flowing in; its water share is 0 (no flow to divide).
    EXPECT_NEAR(Values("BoundaryGasFracs").At(0), still->GetFluid()->MassVapourFraction(), 1e-15);
    EXPECT_DOUBLE_EQ(Values("BoundaryWaterFracs").At(0), 0.0);
    EXPECT_DOUBLE_EQ(Values("BoundaryGasFracs").At(1), 1.0);
    EXPECT_DOUBLE_EQ(Values("BoundaryWaterFracs").At(1), 0.0);

    // Arrays too short for the connections: the trap reports it.
    Array("BoundaryGasFracs", host::NumberArray::OneD({9}));
    zefa->CalculateMassPhaseFractions();
    ASSERT_EQ(Lines().size(), 1u);
    EXPECT_EQ(Lines()[0],
              "METHOD -- CalculateMassPhaseFractions: Subscript out of range" + kSuffix);
}

TEST_F(Coupling, SpecificationCheckListsTheStreamsThatLackTheirSpecs) {
    auto a = MakeStream("FEED-A", {1, 0, 0, 0}, 20.0, 5000.0, 1.0);
    auto b = MakeStream("FEED-B", {1, 0, 0, 0}, 20.0, 5000.0, 1.0);
    auto c = MakeStream("PROD", {1, 0, 0, 0}, 20.0, 5000.0, 1.0);
    auto d = MakeStream("GOOD", {1, 0, 0, 0}, 20.0, 5000.0, 1.0);
    d->SpecifyPressure(true);
    c->SpecifyFlow(true, Stream::kMolarBasis);  // a molar spec is not a mass-flow spec
    Connect({a, d, b}, {0, 0, 0}, {c}, {0});

    SetNumber("boolWritePFEquations", 1);
    EXPECT_TRUE(zefa->CheckPressureFlowSpecs());
    EXPECT_TRUE(Lines().empty());

    SetNumber("boolWritePFEquations", 0);
    EXPECT_FALSE(zefa->CheckPressureFlowSpecs());
    ASSERT_EQ(Lines().size(), 2u);
    EXPECT_EQ(Lines()[0],
              "The following stream(s) REQUIRE an active Pressure spec: FEED-A, FEED-B" + kSuffix);
    EXPECT_EQ(Lines()[1],
              "The following stream(s) REQUIRE an active Mass Flow spec: PROD" + kSuffix);

    a->SpecifyPressure(true);
    b->SpecifyPressure(true);
    c->SpecifyFlow(true, Stream::kMassBasis);
    EXPECT_TRUE(zefa->CheckPressureFlowSpecs());
    EXPECT_EQ(Lines().size(), 2u);

    // A row without a stream: not ready, without a message.
    unit->Get<host::StreamListVariable>("Inlets")->SetStreams({a, nullptr, b});
    b->SpecifyPressure(false);
    EXPECT_FALSE(zefa->CheckPressureFlowSpecs());
    EXPECT_EQ(Lines().size(), 2u);
}

// Pressure-flow equations: their gate and variables, the coefficients on
// hand-computed cases, and the derivative inputs registered with the server.
namespace {

class CouplingEquations : public Coupling {
  protected:
    void SetUp() override {
        Coupling::SetUp();
        SetNumber("boolWritePFEquations", 1);
        SetNumber("ignoreZEFA", 0);
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

    SetNumber("boolWritePFEquations", 0);
    EXPECT_EQ(zefa->NumberOfPressBalEquations(), 0);
    EXPECT_EQ(zefa->NumberOfFlowBalEquations(), 0);
    EXPECT_FALSE(zefa->VariablesInFlowBalanceEquations());
    EXPECT_FALSE(zefa->PressureBalanceEquationVars(idx));
    EXPECT_FALSE(zefa->FlowBalanceEquationCoef(0));
    SetNumber("boolWritePFEquations", 1);
    SetNumber("ignoreZEFA", 1);
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
    // pressure) is replaced by the last usable one. Zero boundary slopes are
    // floored at N = F + 1e-15 (p - P), and source slopes giving c1 = -5e-17
    // at c1 = +1e-15, so that both variables stay in the equations.
    struct Row {
        double flow_switch;
        std::vector<double> source_derivs, boundary_derivs;
        double c1, dFdP;
    };
    const Row rows[] = {
        {0, {1e-15, 1e-15, 0}, {0, 0, 0}, 1e-15, 1e-15},
        {0, {4000, 8000, 0}, {-1e-3, -2e-3, 0}, -360, -0.075},
        {1, {4000, 8000, 0}, {1e-3, 2e-3, 0}, -360, -0.075},
        {0, {4000, 8000, 0}, {1e-3, 2e-3, 0}, -360, -0.075},
        {1, {4000, 8000, 0}, {-1e-3, -2e-3, 0}, -360, -0.075},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.c1);
        Array("bFlowSwitch", host::NumberArray::OneD({row.flow_switch}));
        Trend(row.source_derivs, {2, 8, 0}, 3e6, row.boundary_derivs);
        BoundaryFlows(2, 8, 1.8);
        zefa->UpdatePFEquationCoeffs();
        EXPECT_TRUE(Lines().empty()) << Lines()[0];
        EXPECT_DOUBLE_EQ(Pressure()[0], 1.0);
        EXPECT_DOUBLE_EQ(Pressure()[1], row.c1);
        EXPECT_DOUBLE_EQ(Pressure()[2], row.c1 * 0.25 + 5000.0);
        EXPECT_DOUBLE_EQ(Flow()[0], 1.0);
        EXPECT_DOUBLE_EQ(Flow()[1], -row.dFdP) << row.flow_switch;
        EXPECT_DOUBLE_EQ(Flow()[2], 0.3 - 3000.0 * row.dFdP) << row.flow_switch;
    }
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
    SetNumber("ZEFARunInterval", 1.0);
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

    SetNumber("boolWritePFEquations", 0);
    Trend({0, 0, 0}, {0, 0, 0}, 0, {0, 0, 0});
    zefa->UpdatePFEquationCoeffs();  // switched off: nothing is written
    EXPECT_DOUBLE_EQ(Flow()[2], 0.3 + 3000.0 * 0.075);

    // Outside a dynamic run there is no dynamic container and nothing to update.
    SetNumber("boolWritePFEquations", 1);
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
