// The coupled run against a real zefa-server: what initialisation accepts and
// refuses, clock synchronisation, the step pattern of a run interval longer
// than the host step, and a server that stops answering mid-run.
#include <gmock/gmock.h>
#include <signal.h>

#include "lib/case.h"
#include "lib/dynamic_container.h"
#include "lib/fluid.h"
#include "lib/stream.h"
#include "live_server.h"

namespace zefa::test {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;

const std::string kSuffix = ": PIPE-100: KAVRIS-ZEFA Link Error";

// The example flowline coupled to the host: the host feeds the inlet source
// IN and holds the pressure of the outlet boundary OUT.
class CoupledRun : public LiveServerWorld {
  protected:
    void SetUp() override {
        LiveServerWorld::SetUp();
        if (HasFatalFailure()) return;
        auto set = std::make_shared<refhost::ComponentSet>(
            std::vector<std::string>{"methane", "propane", "n-hexane", "water"});
        const std::vector<double> z = {0.7, 0.1, 0.15, 0.05};
        inlet = refhost::Stream::Create("FEED", refhost::Fluid::Create(set, z, 60.0, 6000.0, 0.5));
        outlet =
            refhost::Stream::Create("PRODUCT", refhost::Fluid::Create(set, z, 30.0, 2000.0, 0.5));
        // As the view connects them: a row per stream, then the labels.
        Var<host::StreamListVariable>("Inlets")->SetStreams({inlet});
        Var<host::StreamListVariable>("Outlets")->SetStreams({outlet});
        zefa->AddANewInlet();
        zefa->AddANewOutlet();
        State().lists().intNumInlets = 1;
        State().lists().intNumOutlets = 1;
        SetTexts("SourceTags", {"IN"});
        SetTexts("BoundaryTags", {"OUT"});
        SetNumbers("bFlowSwitch", {1});  // the outlet's flow counts out of the pipeline
        SetNumber("ignoreZEFA", 0);
        SetNumber("boolWritePFEquations", 1);
        SetNumber("boolTraceErrors", 1);
        SetNumber("TimeStepTimeOut", 2);
        dyn = std::make_shared<refhost::HostDynamicContainer>(
            "PIPE-100", [this] { return Var<host::StreamListVariable>("Outlets")->GetStreams(); });
        zefa->DynInitialize(dyn, false, 1, false);
        Mark();
    }

    // Message-window lines written since the last mark.
    void Mark() { seen = window->Lines().size(); }
    std::vector<std::string> Since() const {
        const auto& lines = window->Lines();
        return {lines.begin() + static_cast<std::ptrdiff_t>(std::min(seen, lines.size())),
                lines.end()};
    }

    refhost::RefIntegrator& Integrator() { return *host_case->SolverObject()->integrator_; }
    void SetStep(double step, double interval) {
        Integrator().step_size_ = step;
        SetNumber("ZEFARunInterval", interval);
    }
    // One host step as the integrator takes it: the extension's calls, then
    // the host's clock moves on.
    void HostStep() {
        zefa->PreProcessStates();
        zefa->PostProcessStates();
        Integrator().time_ += Integrator().step_size_;
    }

    std::shared_ptr<refhost::Stream> inlet, outlet;
    std::shared_ptr<refhost::HostDynamicContainer> dyn;
    std::size_t seen = 0;
};

TEST_F(CoupledRun, TheRunIntervalMustHoldWholeHostStepsInHundredths) {
    SetStep(0.1, 0.3);  // 30 against 10, whatever 0.1 and 0.3 are in binary
    EXPECT_TRUE(zefa->InitializeSystem(false)) << ::testing::PrintToString(Since());

    const std::string refused =
        "ZEFA Time step must be a multiple of the KAVRIS time step" + kSuffix;
    for (const double interval : {2.25, host::kEmptyNumber}) {
        Mark();
        SetStep(0.5, interval);
        EXPECT_FALSE(zefa->InitializeSystem(false));
        EXPECT_THAT(Since(), ::testing::ElementsAre(refused)) << interval;
    }
    // A host step that rounds to no hundredths cannot divide anything.
    Mark();
    SetStep(0.001, 1.0);
    EXPECT_FALSE(zefa->InitializeSystem(false));
    EXPECT_THAT(Since(), Contains(HasSubstr("METHOD -- InitializeSystem: ")));
}

TEST_F(CoupledRun, ClocksFurtherApartThanAMillisecondAreSynchronisedEitherWay) {
    SetStep(0.5, 0.5);
    const std::string to_pipeline =
        "ZEFA Time is not the same as KAVRIS time. Synchronizing Zefa to current KAVRIS "
        "Integrator time.";
    Integrator().time_ = 0.001;  // the model starts at 0: a millisecond counts as equal
    ASSERT_TRUE(zefa->InitializeSystem(false));
    EXPECT_THAT(Since(), ::testing::Not(Contains(to_pipeline)));

    Integrator().time_ = 0.002;
    ASSERT_TRUE(zefa->InitializeSystem(false));
    EXPECT_THAT(Since(), Contains(to_pipeline));
    EXPECT_DOUBLE_EQ(GetNumber("ZEFAsimTime"), 0.002);
    double server_time = 0;
    ASSERT_TRUE(State().client().GetSimTime(server_time));
    EXPECT_NEAR(server_time, 0.002, 1e-6);

    // The other way round the host's clock follows the pipeline's.
    Mark();
    SetNumber("syncZefatoKavris", 1);
    Integrator().time_ = 7.0;
    ASSERT_TRUE(zefa->InitializeSystem(false));
    EXPECT_THAT(Since(),
                Contains("ZEFA Time is not the same as KAVRIS time. Synchronizing Kavris to Zefa "
                         "Simulation time."));
    EXPECT_NEAR(Integrator().CurrentTime(), 0.002, 1e-6);
}

TEST_F(CoupledRun, TimesBeyondWhatASinglePrecisionClockStepsAreRefused) {
    SetStep(0.5, 0.5);
    Integrator().time_ = 500000.0;
    EXPECT_TRUE(zefa->InitializeSystem(false)) << ::testing::PrintToString(Since());
    Mark();
    Integrator().time_ = 500000.5;
    EXPECT_FALSE(zefa->InitializeSystem(false));
    EXPECT_THAT(Since(), Contains(HasSubstr("less than 500,000(currently 500000.5 seconds).")));
}

TEST_F(CoupledRun, AnIgnoredPipelineStartsWithoutTheServerAndOnlyPassesStreamsOn) {
    SetNumber("ignoreZEFA", 1);
    ::kill(pid, SIGSTOP);  // a server that would hang every request
    EXPECT_TRUE(zefa->InitializeSystem(false));
    HostStep();
    ::kill(pid, SIGCONT);
    EXPECT_TRUE(Since().empty()) << ::testing::PrintToString(Since());
    EXPECT_DOUBLE_EQ(outlet->MassFlow()->GetValue(), inlet->MassFlow()->GetValue());
}

TEST_F(CoupledRun, AServerStepIsStartedOncePerRunInterval) {
    SetStep(0.5, 1.5);
    ASSERT_TRUE(zefa->InitializeSystem(false)) << ::testing::PrintToString(Since());
    dyn->LoadEquations(*zefa);
    std::vector<double> pipeline_times;
    for (int i = 0; i < 7; ++i) {
        HostStep();
        pipeline_times.push_back(GetNumber("ZEFAsimTime"));
    }
    // Steps go out at host times 0, 1.5 and 3 (host steps 1, 4 and 7); the
    // two host steps between only interpolate.
    EXPECT_THAT(pipeline_times, ::testing::ElementsAre(1.5, 1.5, 1.5, 3.0, 3.0, 3.0, 4.5));
    EXPECT_TRUE(Since().empty()) << ::testing::PrintToString(Since());
    // The pipeline's boundary results reached the host: a pressure at the
    // source and a flow through the boundary (its direction 4.5 s into the
    // unsettled start, while the riser's liquid sloshes, is the model's).
    EXPECT_GT(Numbers("SourcePressures").at(0), 2000.0);
    EXPECT_NE(Numbers("OutletMassFlows").at(0) + Numbers("OutletMassFlows").at(1), 0.0);
}

TEST_F(CoupledRun, AServerThatStopsAnsweringCostsOneTimeOutPerHostStepAndKeepsTheLastResults) {
    SetStep(0.5, 0.5);
    SetNumber("TimeStepTimeOut", 1);
    ASSERT_TRUE(zefa->InitializeSystem(false)) << ::testing::PrintToString(Since());
    dyn->LoadEquations(*zefa);
    HostStep();
    HostStep();
    // The step just started has answered before the server stops: the next
    // host step takes its results and starts one that never ends.
    ASSERT_TRUE(zefa->WaitForZEFAToCompleteIntegration());
    ::kill(pid, SIGSTOP);
    HostStep();
    ASSERT_TRUE(Since().empty()) << ::testing::PrintToString(Since());
    const auto pressures = Numbers("SourcePressures");
    HostStep();
    HostStep();
    ::kill(pid, SIGCONT);
    // Each host step: the receive that found nothing, then the step's time-out.
    const std::string silent =
        "Error receiving message from ZEFA Server -- Server is not responding." + kSuffix;
    const std::string timed_out = "ZEFA did not finish its time step." + kSuffix;
    EXPECT_THAT(Since(), ::testing::ElementsAre(silent, timed_out, silent, timed_out));
    EXPECT_EQ(zefa->StepTimeOuts(), 2u);
    EXPECT_EQ(Numbers("SourcePressures"), pressures);
    // Once the server answers again the run goes on.
    HostStep();
    EXPECT_EQ(zefa->StepTimeOuts(), 2u);
}

TEST_F(CoupledRun, AServerKilledMidRunCostsOneTimeOutPerHostStepAndCanBeStartedAgain) {
    SetStep(0.5, 0.5);
    ASSERT_TRUE(zefa->InitializeSystem(false)) << ::testing::PrintToString(Since());
    dyn->LoadEquations(*zefa);
    HostStep();
    HostStep();
    ASSERT_TRUE(zefa->WaitForZEFAToCompleteIntegration());
    ::kill(pid, SIGKILL);
    WaitGone(pid);
    HostStep();
    const auto pressures = Numbers("SourcePressures");
    HostStep();
    HostStep();
    const std::string timed_out = "ZEFA did not finish its time step." + kSuffix;
    std::size_t time_outs = 0;
    for (const auto& line : Since()) time_outs += line == timed_out ? 1 : 0;
    // The first host step still takes the results that had arrived; the
    // loss is seen when the next step is awaited, and each later host step
    // reports once more.
    EXPECT_EQ(time_outs, 2u) << ::testing::PrintToString(Since());
    EXPECT_EQ(zefa->StepTimeOuts(), 2u);
    EXPECT_EQ(zefa->ServerStateNumber(), 0);
    EXPECT_EQ(GetNumber("isConnected"), 0);
    EXPECT_EQ(Numbers("SourcePressures"), pressures);  // the last results stay

    // The user starts the server again and connects.
    zefa->OpenTheConnection(true);
    EXPECT_EQ(zefa->ServerStateNumber(), 1) << ::testing::PrintToString(Since());
    pid = State().server().startedPid;
}

TEST_F(CoupledRun, AStandaloneRunGoesToTheRequestedEndTimeWhileTheHostWaits) {
    SetStep(0.5, 0.5);
    Integrator().running_ = true;
    zefa->RunZEFA();
    Integrator().running_ = false;
    SetNumber("ZEFAsimTime", 0);
    SetNumber("zefaEndTime", 0);  // not past the pipeline's time
    zefa->RunZEFA();
    EXPECT_THAT(Since(),
                ::testing::ElementsAre(
                    "Can not run ZEFA standalone while it is also running under the KAVRIS "
                    "Integrator.  Stop the Integrator." +
                        kSuffix,
                    "The ZEFA simulation end time you have requested is less than the current "
                    "ZEFA simulation time." +
                        kSuffix));

    // The host's equations as a stopped integrator keeps them from its last run.
    ASSERT_TRUE(zefa->InitializeSystem(false));
    dyn->LoadEquations(*zefa);
    Mark();
    SetNumber("zefaEndTime", 20);
    zefa->RunZEFA();
    EXPECT_TRUE(State().server().boolRunningStandalone);
    ASSERT_TRUE(zefa->WaitForZEFAToCompleteIntegration()) << ::testing::PrintToString(Since());
    // The results were taken when they arrived, and the pipeline's time is
    // the one asked for.
    EXPECT_FALSE(State().server().boolRunningStandalone);
    EXPECT_FALSE(State().step().boolStepPending);
    EXPECT_EQ(GetNumber("ZEFAsimTime"), 20.0);
    double server_time = 0;
    ASSERT_TRUE(State().client().GetSimTime(server_time));
    EXPECT_NEAR(server_time, 20.0, 1e-3);
    EXPECT_TRUE(Since().empty()) << ::testing::PrintToString(Since());
}

}  // namespace
}  // namespace zefa::test
