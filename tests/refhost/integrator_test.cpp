// The dynamic run with a test extension: call order, equations steered by the
// extension's coefficients, outlet fluids handed back, controller action.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "lib/integrator_run.h"
#include "null_extension.h"

using namespace refhost;

namespace zefa::test {
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
