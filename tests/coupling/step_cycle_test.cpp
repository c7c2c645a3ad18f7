// The coupled run against a real zefa-server: what initialisation accepts and
// refuses, clock synchronisation, the step pattern of a run interval longer
// than the host step, and a server that stops answering mid-run.
#include <gmock/gmock.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "lib/case.h"
#include "lib/dynamic_container.h"
#include "lib/fluid.h"
#include "lib/stream.h"
#include "live_server.h"

namespace zefa::test {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;

// The example flowline coupled to the host: the host feeds the inlet source
// IN and holds the pressure of the outlet boundary OUT.
class CoupledRun : public LiveServerWorld {
  protected:
    void SetUp() override {
        LiveServerWorld::SetUp();
        if (HasFatalFailure()) return;
        // The outlet's flow counts out of the pipeline.
        ConnectFlowline(1);
        Mark();
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

    // Loads `model` (written into the model folder) into the running server
    // in place of the one loaded, and starts the host's clock at 0 again.
    void LoadModel(const std::string& name, const std::string& model) {
        WriteFile(model_dir->Path() / name, model);
        SetText("InputFile", name);
        State().server().lngServerState = ServerState::Connected;
        ASSERT_TRUE(zefa->LoadZEFAFile());
        ASSERT_TRUE(zefa->InitializeZEFA());
        Integrator().time_ = 0;
    }
};

// The example flowline drawn the other way round: its branch runs from the
// outlet to the closed inlet end, so the same line with every flow negative.
const std::string kMirroredFlowline = R"(
FLUID GASMW = 19 kg/kmol, OILDENSITY = 820 kg/m3, WATERDENSITY = 1025 kg/m3,
      GASVISCOSITY = 1.2e-5 Pa.s, OILVISCOSITY = 3 cP, WATERVISCOSITY = 1 cP
INTEGRATION STARTTIME = 0 s, MAXDT = 2 s, MINDT = 0.001 s
NODE LABEL = INLET, TYPE = CLOSED
NODE LABEL = OUTLET, TYPE = PRESSURE
BRANCH LABEL = FLOWLINE, FROM = OUTLET, TO = INLET
PIPE LABEL = RISER, BRANCH = FLOWLINE, LENGTH = 200 m, DIAMETER = 0.15 m,
     ROUGHNESS = 0.05 mm, ELEVATION = -180 m, NSECTIONS = 10
PIPE LABEL = PIPE-1, BRANCH = FLOWLINE, LENGTH = 4 km, DIAMETER = 0.2 m,
     ROUGHNESS = 0.05 mm, ELEVATION = 20 m, NSECTIONS = 40, UVALUE = 5 W/m2K, TAMBIENT = 6 C
BOUNDARY LABEL = OUT, NODE = OUTLET, PRESSURE = 20 bar, TEMPERATURE = 30 C,
         GASFRACTION = 1, WATERFRACTION = 0
SOURCE LABEL = IN, BRANCH = FLOWLINE, PIPE = PIPE-1, SECTION = 40, MASSFLOW = 8 kg/s,
       GASFRACTION = 0.15, WATERFRACTION = 0.3, TEMPERATURE = 60 C
INITIAL PRESSURE = 22 bar, TEMPERATURE = 30 C, HOLDUP = 0.2, WATERCUT = 0.3
)";

// A line drawn from: a pressure boundary feeds it at its FROM end and a
// source at its far end takes the mixture out.
const std::string kWithdrawnLine = R"(
FLUID GASMW = 19 kg/kmol, OILDENSITY = 820 kg/m3, WATERDENSITY = 1025 kg/m3
INTEGRATION STARTTIME = 0 s, MAXDT = 2 s, MINDT = 0.001 s
NODE LABEL = INLET, TYPE = PRESSURE
NODE LABEL = OUTLET, TYPE = CLOSED
BRANCH LABEL = LINE, FROM = INLET, TO = OUTLET
PIPE LABEL = PIPE-1, BRANCH = LINE, LENGTH = 2 km, DIAMETER = 0.2 m, NSECTIONS = 20
BOUNDARY LABEL = IN, NODE = INLET, PRESSURE = 30 bar, TEMPERATURE = 40 C,
         GASFRACTION = 0.2, WATERFRACTION = 0.1
SOURCE LABEL = OUT, BRANCH = LINE, PIPE = PIPE-1, SECTION = 20, MASSFLOW = -5 kg/s
INITIAL PRESSURE = 30 bar, TEMPERATURE = 40 C, HOLDUP = 0.2, WATERCUT = 0.1
)";

// The run interval must hold whole host steps, counted in hundredths, and
// the clocks must stay where a single-precision clock still steps.
TEST_F(CoupledRun, InitialisationRefusesIntervalsAndTimesItCannotStep) {
    const std::string not_multiple = "ZEFA Time step must be a multiple of the KAVRIS time step";
    struct Row {
        double step, interval, host_time;
        std::string report;  // empty: accepted
    };
    const Row rows[] = {
        {0.1, 0.3, 0, ""},  // 30 against 10, whatever 0.1 and 0.3 are in binary
        {0.5, 2.25, 0, not_multiple},
        {0.5, host::kEmptyNumber, 0, not_multiple},
        {0.5, 0.0, 0, not_multiple},
        {0.5, -1.0, 0, not_multiple},
        // A host step that rounds to no hundredths cannot divide anything.
        {0.001, 1.0, 0, "METHOD -- InitializeSystem: "},
        {0.5, 0.5, 500000.0, ""},
        {0.5, 0.5, 500000.5, "less than 500,000(currently 500000.5 seconds)."},
    };
    for (const Row& row : rows) {
        Mark();
        SetStep(row.step, row.interval);
        Integrator().time_ = row.host_time;
        EXPECT_EQ(zefa->InitializeSystem(false), row.report.empty()) << row.interval;
        if (!row.report.empty()) {
            EXPECT_THAT(Since(), Contains(HasSubstr(row.report)));
        }
    }
    // A host brought to a pipeline beyond the limit is refused too, before
    // either clock moves.
    Mark();
    ASSERT_TRUE(State().client().SetSimTime(600000.0f));
    SetNumber("syncZefatoKavris", 1);
    Integrator().time_ = 0;
    EXPECT_FALSE(zefa->InitializeSystem(false));
    EXPECT_THAT(Since(), Contains(HasSubstr("less than 500,000(currently 600000 seconds).")));
    EXPECT_EQ(Integrator().CurrentTime(), 0);
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

    // Clocks counted as equal are made equal, so the first host steps take
    // the first results as they are, never a share of the unset values
    // before them.
    Mark();
    SetStep(0.5, 1.0);
    Integrator().time_ = 0.0029;
    ASSERT_TRUE(zefa->InitializeSystem(false));
    EXPECT_EQ(GetNumber("ZEFAsimTime"), 0.0029);
    dyn->LoadEquations(*zefa);
    HostStep();
    EXPECT_EQ(State().step().dblSourcePressures, Numbers("SourcePressures"));
    EXPECT_EQ(State().step().dblLastSourcePressures, Numbers("SourcePressures"));
    EXPECT_EQ(State().step().dblBoundaryFlows.data, Numbers("OutletMassFlows"));
    EXPECT_GT(Numbers("SourcePressures").at(0), 2000.0);
    EXPECT_TRUE(Since().empty()) << ::testing::PrintToString(Since());
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

TEST_F(CoupledRun, AServerStepIsStartedOncePerRunIntervalAtWholeMultiplesOfIt) {
    // The pipeline's time after each host step, in hundredths of a second:
    // steps go out every interval / step host steps, and their end times are
    // whole multiples of the interval however the host's clock sums its steps
    // (0.1 + 0.1 + 0.1 is not 0.3 in binary).
    struct Row {
        double step, interval;
        std::vector<int> hundredths;
    };
    const Row rows[] = {
        {0.5, 1.5, {150, 150, 150, 300, 300, 300, 450}},
        {0.1, 0.3, {30,  30,  30,  60,  60,  60,  90,  90,  90,  120, 120,
                    120, 150, 150, 150, 180, 180, 180, 210, 210, 210}},
        {0.3, 0.3, {30, 60, 90, 120, 150, 180, 210}},
    };
    for (const Row& row : rows) {
        Integrator().time_ = 0;
        SetStep(row.step, row.interval);
        ASSERT_TRUE(zefa->InitializeSystem(false)) << ::testing::PrintToString(Since());
        dyn->LoadEquations(*zefa);
        Mark();
        for (std::size_t i = 0; i < row.hundredths.size(); ++i) {
            HostStep();
            EXPECT_EQ(GetNumber("ZEFAsimTime"), row.hundredths[i] / 100.0)
                << row.step << " s, host step " << i;
        }
        // The server's own clock reached the end time before the last one.
        ASSERT_TRUE(zefa->WaitForZEFAToCompleteIntegration());
        double server_time = 0;
        ASSERT_TRUE(State().client().GetSimTime(server_time));
        EXPECT_EQ(static_cast<float>(server_time),
                  static_cast<float>(row.hundredths.back() / 100.0));
        EXPECT_TRUE(Since().empty()) << ::testing::PrintToString(Since());
    }
    // The pipeline's boundary results reached the host: a pressure at the
    // source and a flow through the boundary (its direction 4.5 s into the
    // unsettled start, while the riser's liquid sloshes, is the model's).
    EXPECT_GT(Numbers("SourcePressures").at(0), 2000.0);
    EXPECT_NE(Numbers("OutletMassFlows").at(0) + Numbers("OutletMassFlows").at(1), 0.0);
}

// A server that stops answering, stopped or killed, costs one time-out per
// host step and the host keeps the last results. A stopped one that answers
// again goes on; a killed one is lost and can be started again.
TEST_F(CoupledRun, AServerThatStopsAnsweringCostsOneTimeOutPerHostStepAndKeepsTheLastResults) {
    SetStep(0.5, 0.5);
    SetNumber("TimeStepTimeOut", 1);
    ASSERT_TRUE(zefa->InitializeSystem(false)) << ::testing::PrintToString(Since());
    dyn->LoadEquations(*zefa);
    const std::string silent =
        "Error receiving message from ZEFA Server -- Server is not responding." + kSuffix;
    const std::string timed_out = "ZEFA did not finish its time step." + kSuffix;
    for (const int signal : {SIGSTOP, SIGKILL}) {
        SCOPED_TRACE(signal);
        HostStep();
        HostStep();
        // The step just started has answered before the server stops: the
        // next host step takes its results and starts one that never ends.
        ASSERT_TRUE(zefa->WaitForZEFAToCompleteIntegration());
        ::kill(pid, signal);
        if (signal == SIGKILL) WaitGone(pid);
        Mark();
        const auto time_outs = zefa->StepTimeOuts();
        HostStep();
        const auto pressures = Numbers("SourcePressures");
        HostStep();
        HostStep();
        EXPECT_EQ(zefa->StepTimeOuts(), time_outs + 2);
        EXPECT_EQ(Numbers("SourcePressures"), pressures);
        if (signal == SIGSTOP) {
            // Each host step: the receive that found nothing, then the time-out.
            EXPECT_THAT(Since(), ::testing::ElementsAre(silent, timed_out, silent, timed_out));
            ::kill(pid, SIGCONT);
            HostStep();  // the server answers again: the run goes on
            EXPECT_EQ(zefa->StepTimeOuts(), time_outs + 2);
        } else {
            const auto lines = Since();
            EXPECT_EQ(std::count(lines.begin(), lines.end(), timed_out), 2);
        }
    }
    EXPECT_EQ(zefa->ServerStateNumber(), 0);
    EXPECT_EQ(GetNumber("isConnected"), 0);
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
    // A second run while the first is outstanding would take its results
    // and set the pipeline's clock back: refused.
    SetNumber("zefaEndTime", 30);
    zefa->RunZEFA();
    EXPECT_THAT(Since(), ::testing::ElementsAre(
                             "Can not run ZEFA standalone while a ZEFA run or time step is still "
                             "outstanding.  Wait until it has finished." +
                             kSuffix));
    SetNumber("zefaEndTime", 20);
    Mark();
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

// The same line drawn both ways: with the outlet's flow switch on, the
// mirrored line gives the host what the plain one does, results and slopes.
TEST_F(CoupledRun, AMirroredLineWithItsFlowSwitchOnGivesThePlainLinesAnswer) {
    SetStep(0.5, 1.0);
    struct Sample {
        std::vector<double> values;
    };
    const auto run = [&](double flow_switch) {
        SetNumbers("bFlowSwitch", {flow_switch});
        EXPECT_TRUE(zefa->InitializeSystem(false)) << ::testing::PrintToString(Since());
        dyn->LoadEquations(*zefa);
        std::vector<Sample> samples;
        for (int i = 0; i < 12; ++i) {
            HostStep();
            Sample s;
            s.values.push_back(Numbers("SourcePressures").at(0));
            for (double g : Numbers("OutletMassFlows")) s.values.push_back(g);
            for (double c : dyn->PressureBalance().at(0).coef) s.values.push_back(c);
            for (double c : dyn->FlowBalance().at(0).coef) s.values.push_back(c);
            samples.push_back(std::move(s));
        }
        return samples;
    };
    const auto plain = run(0);
    LoadModel("mirrored.inp", kMirroredFlowline);
    const auto mirrored = run(1);
    EXPECT_TRUE(Since().empty()) << ::testing::PrintToString(Since());
    ASSERT_EQ(plain.size(), mirrored.size());
    // The server's physics is the same both ways, to rounding: its faces are
    // swept the other way, which moves the closure's share solves in their last
    // digits, and a step solved again towards its own flows (secant steps
    // through its solves) carries that to about 1e-6 of a result; a slope or a
    // sign taken the wrong way is off by its whole size.
    for (std::size_t i = 0; i < plain.size(); ++i) {
        ASSERT_EQ(plain[i].values.size(), mirrored[i].values.size());
        for (std::size_t k = 0; k < plain[i].values.size(); ++k)
            EXPECT_NEAR(plain[i].values[k], mirrored[i].values[k],
                        1e-5 * std::abs(plain[i].values[k]))
                << "host step " << i << ", value " << k;
    }
    // Something flows through the boundary (back into the riser while its
    // column settles) and the slopes are not floored: there is an answer to compare.
    EXPECT_GT(std::abs(plain.back().values[1] + plain.back().values[2] + plain.back().values[3]),
              0.1);
    EXPECT_GT(std::abs(plain.back().values[8]), 1e-9);
}

// Drawing from a line through an outlet source: the more the host draws, the
// lower the pressure there, and the server takes out what the host draws.
TEST_F(CoupledRun, AWithdrawalThroughAnOutletSourceLowersItsPressure) {
    LoadModel("withdrawn.inp", kWithdrawnLine);
    SetNumbers("InletBoundaryCB", {1});
    SetNumbers("OutletSourceCB", {1});
    SetNumbers("bFlowSwitch", {0});
    SetTexts("SourceTags", {"IN"});
    SetTexts("BoundaryTags", {"OUT"});
    inlet->Pressure()->SetValue(3000.0);
    SetStep(0.5, 0.5);
    ASSERT_TRUE(zefa->InitializeSystem(false)) << ::testing::PrintToString(Since());
    dyn->LoadEquations(*zefa);
    for (int i = 0; i < 6; ++i) HostStep();
    EXPECT_TRUE(Since().empty()) << ::testing::PrintToString(Since());
    // p + c1 N = P + c1 Ns with c1 = -dP/dN: positive when drawing lowers it.
    const auto coef = dyn->PressureBalance().at(0).coef;
    EXPECT_DOUBLE_EQ(coef[0], 1.0);
    EXPECT_GT(coef[1], 0.0);
    // The server's source flow, in the host's sign, is the host's draw.
    const auto flows = Numbers("SourceMassFlows");
    EXPECT_NEAR(flows.at(0) + flows.at(1) + flows.at(2), outlet->MassFlow()->GetValue(),
                1e-4 * outlet->MassFlow()->GetValue());
    // The line is fed through its inlet boundary (flows in the branch direction).
    const auto fed = Numbers("ActualInletMassFlows");
    EXPECT_GT(fed.at(0) + fed.at(1) + fed.at(2), 0.0);
}

// The flowline's connections against a scripted server whose step replies
// the test chooses: a reply that cannot be used never stops the pipeline.
class ScriptedRun : public ServerWorld {
  protected:
    void SetUp() override {
        ServerWorld::SetUp();
        ConnectNewCase(server.Port());
        if (HasFatalFailure()) return;
        ConnectFlowline(0);
        SetNumber("ZEFARunInterval", 1);
        host_case->SolverObject()->integrator_->step_size_ = 1;
        host_case->SolverObject()->integrator_->time_ = 12.5;  // the scripted server's time
        State().server().lngServerState = ServerState::Initialised;
        server.StepValues(Results(3.0e6));
        ASSERT_TRUE(zefa->InitializeSystem(false)) << ::testing::PrintToString(Reports());
        dyn->LoadEquations(*zefa);
        Mark();
    }
    // A whole step reply: the planned step, the inlet source's eight values
    // (its pressure `source_p` in N/m2) and the outlet boundary's.
    static std::vector<float> Results(float source_p) {
        return {1.0f,   source_p, 1e-3f,  2e-3f, 0,    2, 8, 0, 60,
                2.0e6f, -1e-6f,   -2e-6f, 0,     1.5f, 6, 1, 30};
    }
    void HostStep() {
        zefa->PreProcessStates();
        host_case->SolverObject()->integrator_->time_ += 1;
    }
};

TEST_F(ScriptedRun, RepliesThatCannotBeUsedAreCountedAndTheNextStepIsStillSent) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    auto short_reply = Results(3.3e6f);
    short_reply.pop_back();
    auto long_reply = Results(3.3e6f);
    long_reply.push_back(0);
    auto with_nan = Results(3.3e6f);
    with_nan[12] = nan;
    auto with_inf = Results(3.3e6f);
    with_inf[1] = inf;
    // Each reply is taken at the host step after the one that asked for it.
    struct Row {
        std::vector<float> reply;
        double source_kpa;  // the source pressure the host has after taking it
        std::uint32_t bad, time_outs;
    };
    const Row rows[] = {
        {Results(3.1e6f), 3100, 0, 0},
        {short_reply, 3100, 1, 0},
        {{}, 3100, 2, 0},
        {Results(3.2e6f), 3200, 2, 0},
        {with_nan, 3200, 3, 0},
        {with_inf, 3200, 4, 0},
        // Unusable three times in a row: the pipeline has stopped giving results.
        {long_reply, 3200, 5, 1},
        {Results(3.4e6f), 3400, 5, 1},
    };
    // Each host step takes the reply to the step the one before asked for,
    // and asks for the next.
    // The stand-in builds a reply when the request arrives: a step request
    // is awaited there before the next reply is chosen.
    const auto arrived = [&](std::size_t sent) { return server.Count("ZEFA_SIM_STEP", sent); };
    const auto check = [&](const Row& row, std::size_t sent) {
        EXPECT_EQ(arrived(sent), sent) << row.reply.size();
        EXPECT_TRUE(State().step().boolStepPending);
        EXPECT_DOUBLE_EQ(Numbers("SourcePressures").at(0), row.source_kpa) << row.reply.size();
        EXPECT_EQ(zefa->BadStepReplies(), row.bad) << row.reply.size();
        EXPECT_EQ(zefa->StepTimeOuts(), row.time_outs) << row.reply.size();
        for (double c : dyn->PressureBalance().at(0).coef) EXPECT_TRUE(std::isfinite(c));
        for (double c : dyn->FlowBalance().at(0).coef) EXPECT_TRUE(std::isfinite(c));
    };
    std::size_t sent = 0;
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        server.StepValues(rows[i].reply);
        HostStep();
        ++sent;
        if (i > 0)
            check(rows[i - 1], sent);
        else
            arrived(sent);
    }
    HostStep();
    check(rows[std::size(rows) - 1], sent + 1);
    // Every step request goes out after the boundary data it steps with.
    std::string last;
    for (const auto& r : server.Requests()) {
        if (r.name == "ZEFA_SIM_STEP") {
            EXPECT_EQ(last, "ZEFA_INP_DATA");
        }
        if (r.name == "ZEFA_SIM_STEP" || r.name == "ZEFA_INP_DATA") last = r.name;
    }
    // Reported once with why, and once more when they kept coming; the
    // client says for itself that an empty reply holds nothing to unpack.
    EXPECT_THAT(Since(),
                ::testing::ElementsAre("ZEFA time step results could not be used (16 values for 17 "
                                       "outputs); the last results are kept." +
                                           kSuffix,
                                       "METHOD -- UnPackData Subscript out of range" + kSuffix,
                                       "ZEFA did not finish its time step." + kSuffix));

    // A standalone run whose reply cannot be used is over all the same.
    ASSERT_TRUE(zefa->WaitForZEFAToCompleteIntegration());
    server.StepValues(short_reply);
    SetNumber("zefaEndTime", 100);
    zefa->RunZEFA();
    EXPECT_TRUE(zefa->WaitForZEFAToCompleteIntegration());
    EXPECT_FALSE(State().server().boolRunningStandalone);
    EXPECT_EQ(GetNumber("ZEFAsimTime"), 100);
}

TEST_F(ScriptedRun, TrendsAndProfilesTheServerRefusesMidRunAreLeftOutAndTheStepsGoOn) {
    HostStep();
    // Typed while the run goes on: a trend position and a profile branch
    // the model does not have.
    zefa->AddTrend();
    SetTexts("TrendPositions", {"NO-SUCH-POSITION"});
    zefa->AddProfile();
    SetTexts("ProfileBranches", {"NO-SUCH-BRANCH"});
    std::int16_t row = 0;
    double on = 1;
    zefa->SelectProfile(row, on);
    SetNumbers("ProfileEnable", {1});
    State().pending().boolTrendsChanged = true;
    State().pending().boolProfilesChanged = true;
    server.Refuse("ZEFA_SENDTR_NAMES");
    server.Refuse("ZEFA_SENDPR_NAMES");
    for (int i = 0; i < 4; ++i) HostStep();
    EXPECT_EQ(server.Count("ZEFA_SIM_STEP", 5), 5u);
    EXPECT_EQ(zefa->LeftOutRequests(),
              (std::vector<std::string>{" $NO-SUCH-POSITION AL", "$NO-SUCH-BRANCH AL"}));
    // Each is reported once, at the host step that first asked for it.
    std::size_t left_out = 0;
    for (const auto& line : Since()) left_out += line.find("left out") != std::string::npos;
    EXPECT_EQ(left_out, 2u) << ::testing::PrintToString(Since());
}

}  // namespace
}  // namespace zefa::test
