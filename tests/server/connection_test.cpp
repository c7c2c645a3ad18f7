// Connecting, closing, loading, initialising and waiting for a step against a
// recording stand-in server; choosing a model file elsewhere; plug launch,
// normal inputs, shut-in, new position and reservoir pressures as the server
// receives them.
#include "host_world.h"

namespace zefa::test {
namespace {

using ::testing::ElementsAre;

using ConnectionTest = ServerWorld;

TEST_F(ConnectionTest, ConnectedStateAndARefusedConnection) {
    ConnectNewCase(server.Port());
    EXPECT_EQ(GetNumber("isConnected"), 1);
    EXPECT_EQ(GetNumber("CanLoadFile"), 1);
    EXPECT_EQ(GetNumber("ZEFAsimTime"), host::kEmptyNumber);
    zefa->CloseTheConnection();
    int port = 0;
    {
        FakeServer gone;  // a port nobody listens on any more
        port = gone.Port();
    }
    SetNumber("PortNumber", port);
    zefa->OpenTheConnection(false);
    EXPECT_EQ(zefa->ServerStateNumber(), 0);
    EXPECT_THAT(Reports(),
                ElementsAre("Could not connect to 127.0.0.1 on Port: " + std::to_string(port) +
                            ": PIPE-100: KAVRIS-ZEFA Link Error"));
}

TEST_F(ConnectionTest, LoggingIsSwitchedOnConnect) {
    ASSERT_EQ(Initialize(true), 4815);
    SetText("zefaHost", "127.0.0.1");
    SetNumber("PortNumber", server.Port());
    SetNumber("useAutoConnect", 0);
    SetNumber("boolLogClient", 1);
    zefa->OpenTheConnection(false);
    EXPECT_THAT(server.Received(1),
                ElementsAre("ZEFA_INPUT_LOG_OFF|no data "));  // tracing is off in this case
}

TEST_F(ConnectionTest, AutoStartRefusesAMissingModelFolderAndAnUnsafeName) {
    ASSERT_EQ(Initialize(false), 4815);
    SetText("zefaModelPath", model_dir->Str() + "/missing");
    zefa->OpenTheConnection(true);
    SetText("zefaModelPath", model_dir->Str());
    SetText("ServerName", "x; touch pwned");
    zefa->OpenTheConnection(true);
    EXPECT_EQ(zefa->ServerStateNumber(), 0);
    EXPECT_THAT(Reports(),
                ElementsAre("The Zefa Model Path was not recognized as being a valid path.: "
                            "PIPE-100: KAVRIS-ZEFA Link Error",
                            "The ZEFA Server Name \"x; touch pwned\" may only contain letters, "
                            "digits, \".\", \"_\" and \"-\".: PIPE-100: KAVRIS-ZEFA Link Error"));
    EXPECT_TRUE(std::filesystem::is_empty(case_dir->Path()));  // no script written
    EXPECT_TRUE(std::filesystem::is_empty(ext_dir->Path()));   // nothing started
}

// A server this program did not start is never used by an automatic start,
// whether it holds the port (another program, a server left over, another
// run) or is only recorded for the server name by another process: the start
// is refused naming it, nothing is sent to it and it is left running.
TEST_F(ConnectionTest, AutoStartRefusesAServerItDidNotStart) {
    const std::string self = std::to_string(::getpid());
    struct Row {
        const char* what;
        bool recorded;        // the pid file names a live process of someone else
        bool port_held;       // a program listens on the port
        const char* message;  // the start of the one report
    } rows[] = {
        {"port held", false, true, "Port "},
        {"recorded and held", true, true, "Port "},
        {"recorded only", true, false, "The ZEFA server recorded for zefa2000 (process "},
    };
    ASSERT_EQ(Initialize(false), 4815);
    SetText("zefaHost", "127.0.0.1");
    SetText("zefaModelPath", model_dir->Str());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::filesystem::remove(ext_dir->Path() / "zefa2000.pid");
        FakeServer held;
        int port = held.Port();
        if (!row.port_held) {
            FakeServer gone;
            port = gone.Port();
        }
        SetNumber("PortNumber", port);
        if (row.recorded) WriteFile(ext_dir->Path() / "zefa2000.pid", self + "\n");
        const std::size_t before = Reports().size();
        zefa->OpenTheConnection(true);
        EXPECT_EQ(zefa->ServerStateNumber(), 0);
        EXPECT_EQ(zefa->StartedServerPid(), 0);
        ASSERT_EQ(Reports().size(), before + 1);
        const std::string report = Reports().back();
        EXPECT_EQ(report.rfind(row.message, 0), 0u) << report;
        EXPECT_NE(report.find(row.port_held ? "process " + self : self), std::string::npos)
            << report;
        EXPECT_NE(report.find("left alone"), std::string::npos) << report;
        if (row.port_held) {
            EXPECT_NE(report.find(std::to_string(port)), std::string::npos);
        }
        EXPECT_TRUE(held.Received(0).empty());
        EXPECT_TRUE(std::filesystem::is_empty(case_dir->Path()));  // no script left
    }
}

TEST_F(ConnectionTest, CloseAsksForASnapshotAndStopsTheServerEitherWay) {
    ConnectNewCase(server.Port());
    ASSERT_TRUE(zefa->LoadZEFAFile());
    State().step().objInputTable =
        std::make_shared<refhost::RefTableOperation>("PIPE-100 ZEFA Input");
    ui->QueueYesNo(true);
    zefa->CloseTheConnection();
    EXPECT_EQ(zefa->ServerStateNumber(), 0);
    zefa->OpenTheConnection(false);
    ui->QueueYesNo(false);
    zefa->CloseTheConnection();
    zefa->CloseTheConnection();  // not connected: no question, nothing sent
    EXPECT_EQ(Shown("question").size(), 2u);
    EXPECT_THAT(server.Received(4),
                ElementsAre("ZEFA_READ_INPUT|m.inp", "ZEFA_SAVE_SNAP|m010506123045.snp",
                            "ZEFA_STOP_SERVER", "ZEFA_STOP_SERVER"));
    EXPECT_EQ(Shown("question")[0],
              "Save an ZEFA snapshot file?|You are about to shutdown ZEFA.  Would you like to save "
              "an ZEFA snapshot file?  If no, then you will not be able to restart your simulation "
              "with the ZEFA model at the same point in time.");
    EXPECT_EQ(GetNumber("isConnected"), 0);  // set by the disconnected event
    EXPECT_EQ(GetNumber("CanLoadFile"), 0);  // a lost server can load no file
}

TEST_F(ConnectionTest, LoadAndInitialiseMoveTheStateOnlyFromTheirOwnState) {
    ConnectNewCase(server.Port());
    EXPECT_FALSE(zefa->InitializeZEFA());  // state 1: nothing is sent
    ASSERT_TRUE(zefa->LoadZEFAFile());
    EXPECT_EQ(zefa->ServerStateNumber(), 2);
    EXPECT_FALSE(zefa->LoadZEFAFile());
    SetNumber("InitTimeOut", 7);
    ASSERT_TRUE(zefa->InitializeZEFA());
    EXPECT_EQ(zefa->ServerStateNumber(), 4);
    EXPECT_EQ(GetNumber("ZEFAsimTime"), 12.5);
    EXPECT_EQ(State().client().TCPTimeOut, 2);
    EXPECT_THAT(server.Received(3),
                ElementsAre("ZEFA_READ_INPUT|m.inp",
                            "ZEFA_INITIALIZE|no additional data for initialize command",
                            "ZEFA_GET_TIME|no additional data for get_time command"));
    // A refused initialisation keeps the state and restores the time-out too.
    server.Refuse("ZEFA_INITIALIZE");
    State().server().lngServerState = ServerState::InputLoaded;
    EXPECT_FALSE(zefa->InitializeZEFA());
    EXPECT_EQ(zefa->ServerStateNumber(), 2);
    EXPECT_EQ(State().lastMessage(), "ZEFA server failed to initialize.");
    EXPECT_EQ(State().client().TCPTimeOut, 2);
}

TEST_F(ConnectionTest, WaitingReturnsAtOnceTakesTheStepsDataOrGivesUp) {
    ConnectNewCase(server.Port());
    SetNumber("TimeStepTimeOut", 0);
    auto start = clock->TickCountMs();
    EXPECT_TRUE(zefa->WaitForZEFAToCompleteIntegration());
    EXPECT_LT(clock->TickCountMs() - start, 200u);
    SetNumber("TimeStepTimeOut", 1);
    ASSERT_TRUE(State().client().SimulateStep(false));
    EXPECT_TRUE(zefa->WaitForZEFAToCompleteIntegration());
    EXPECT_TRUE(State().client().StepComplete);
    EXPECT_THAT(State().client().OutTrendData, ElementsAre(12.5, 2.5));
    EXPECT_TRUE(Reports().empty());

    // A step that does not finish.
    server.HoldSteps(true);
    ASSERT_TRUE(State().client().SimulateStep(false));
    start = clock->TickCountMs();
    EXPECT_FALSE(zefa->WaitForZEFAToCompleteIntegration());
    const auto waited = clock->TickCountMs() - start;
    EXPECT_GE(waited, 1000u);
    EXPECT_LT(waited, 3500u);
    EXPECT_FALSE(State().client().StepComplete);
    EXPECT_EQ(Reports().back(),
              "ZEFA did not finish its time step.: PIPE-100: KAVRIS-ZEFA Link Error");
    server.HoldSteps(false);
    EXPECT_TRUE(zefa->WaitForZEFAToCompleteIntegration());
}

TEST_F(ConnectionTest, AServerThatClosesDuringAStepEndsTheWaitAsATimeOut) {
    ConnectNewCase(server.Port());
    ASSERT_TRUE(zefa->LoadZEFAFile());
    SetNumber("TimeStepTimeOut", 2);
    server.CloseOnSteps(true);
    ASSERT_TRUE(State().client().SimulateStep(false));
    const auto start = clock->TickCountMs();
    EXPECT_FALSE(zefa->WaitForZEFAToCompleteIntegration());
    EXPECT_LT(clock->TickCountMs() - start, 1000u);
    // The connection is lost: nothing waits on it, but the step did not
    // finish, and the host step that waited for it says so and counts it.
    EXPECT_EQ(zefa->ServerStateNumber(), 0);
    EXPECT_EQ(GetNumber("isConnected"), 0);
    EXPECT_FALSE(State().client().IsZEFAConnected());
    EXPECT_EQ(zefa->StepTimeOuts(), 1u);
    EXPECT_THAT(
        Reports(),
        ElementsAre("Error receiving message from ZEFA Server -- Server is not "
                    "responding.: PIPE-100: KAVRIS-ZEFA Link Error",
                    "ZEFA did not finish its time step.: PIPE-100: KAVRIS-ZEFA Link Error"));
    zefa->Save();
    zefa->CloseTheConnection();
    EXPECT_TRUE(zefa->WaitForZEFAToCompleteIntegration());
    EXPECT_EQ(Reports().size(), 2u);
}

TEST_F(ConnectionTest, ChoosingAModelFileComparesFoldersIgnoringCase) {
    ASSERT_EQ(Initialize(false), 4815);
    SetText("zefaModelPath", "/Models/New");
    zefa->UseSelectedModelFile("/models/new/case.inp", true);
    EXPECT_EQ(GetText("InputFile"), "case.inp");
    EXPECT_TRUE(Shown("question").empty());
    ui->QueueYesNo(false);
    zefa->UseSelectedModelFile("/Other/Place/a.snp", false);
    EXPECT_EQ(GetText("SnapshotFile"), "");
    ui->QueueYesNo(true);
    zefa->UseSelectedModelFile("/Other/Place/a.snp", false);
    EXPECT_EQ(GetText("SnapshotFile"), "a.snp");
    EXPECT_EQ(GetText("zefaModelPath"), "/Other/Place");
    EXPECT_EQ(Shown("question")[0],
              "Change the ZEFA Model Path?|You have selected a file with a different path than the "
              "current ZEFA Model Path.Would you like to change the ZEFA Model Path and continue?");
}

using ManipulationTest = ServerWorld;

TEST_F(ManipulationTest, TickedPlugsAreLaunchedInRowOrderAndUnticked) {
    ConnectNewCase(server.Port());
    SetTexts("PlugLabels", {"P1", "P2", "NOPE", ""});
    SetNumbers("PlugCheckBoxes", {1, 0, 1, 1});
    server.Refuse("ZEFA_INP_SIZES");
    zefa->SetupAndLaunchDaPlug();
    EXPECT_THAT(server.Received(6),
                ElementsAre("ZEFA_INP_NAMES|$P1 PLUG", "ZEFA_INP_SIZES|1", "ZEFA_INP_DATA|1",
                            "ZEFA_INP_NAMES|$NOPE PLUG", "ZEFA_INP_SIZES|1", "ZEFA_INP_DATA|1"));
    EXPECT_THAT(Numbers("PlugCheckBoxes"), ElementsAre(0, 0, 0, 1));  // the blank row stays
    EXPECT_EQ(State().lastMessage(), "ZEFA_INP_SIZES failed. Verify plug selections.");
}

TEST_F(ManipulationTest, NormalInputsAreBlankSeparatedNamesThenSizes) {
    ConnectNewCase(server.Port());
    SetTexts("inputNames", {"A", "B"});
    SetNumbers("inputSizes", {5, 1});
    EXPECT_TRUE(zefa->SetupDaNormalInp());
    server.Refuse("ZEFA_INP_NAMES");
    EXPECT_FALSE(zefa->SetupDaNormalInp());
    EXPECT_THAT(server.Received(3),
                ElementsAre("ZEFA_INP_NAMES| A B", "ZEFA_INP_SIZES|5|1", "ZEFA_INP_NAMES| A B"));
    EXPECT_THAT(State().lastMessage(), ::testing::StartsWith("ZEFA_INP_NAMES failed. Check the"));
}

TEST_F(ManipulationTest, ShutInNeedsALoadedModelAndIsRefusedDuringAStep) {
    ConnectNewCase(server.Port());
    SetNumber("shutin", 1);
    zefa->ShutInZEFAModel();  // no model loaded yet
    State().server().lngServerState = ServerState::Initialised;
    zefa->ShutInZEFAModel();
    SetNumber("shutin", 2);
    zefa->ShutInZEFAModel();
    server.HoldSteps(true);
    ASSERT_TRUE(State().client().SimulateStep(false));
    zefa->ShutInZEFAModel();
    EXPECT_EQ(Reports().back(),
              "Failed to set or reset the ZEFA Model to a SHUTIN condition.: "
              "PIPE-100: KAVRIS-ZEFA Link Error");
    server.HoldSteps(false);
    EXPECT_TRUE(zefa->WaitForZEFAToCompleteIntegration());
    EXPECT_THAT(server.Received(3),
                ElementsAre("ZEFA_KEYWORD_INPUT|SHUTIN TSHUT1 = 0.0 s,  TSHUT2 = 0.2E+35 s   ",
                            "ZEFA_KEYWORD_INPUT|SHUTIN TSHUT1 = 0.1E+35 s, TSHUT2 = 0.2E+35 s   ",
                            "ZEFA_SIM_STEP|no additional data for sim_step command"));
}

TEST_F(ManipulationTest, ReservoirPressuresAndANewPosition) {
    UsePositionVariables();
    ConnectNewCase(server.Port());
    SetTexts("ResevoirLabels", {"W1", "W2", "W3", "W4", ""});
    SetNumbers("ResevoirPressures", {150, 0, host::kEmptyNumber, 200.5, 300});
    SetText("PosLabel", "POS-NEW");
    SetText("PosBranch", "FLOWLINE");
    SetText("PosPipe", "RISER");
    SetNumber("PosSection", 2.6);
    zefa->ChangeTheResevoirPressures();
    zefa->SendNewPosition();
    EXPECT_THAT(server.Received(3),
                ElementsAre("ZEFA_KEYWORD_INPUT|WELL LABEL = W1, RESPRESSURE = 150000",
                            "ZEFA_KEYWORD_INPUT|WELL LABEL = W4, RESPRESSURE = 200500",
                            "ZEFA_KEYWORD_INPUT|POSITION LABEL = POS-NEW, BRANCH = FLOWLINE, "
                            "PIPE = RISER, Section = 3 "));
    EXPECT_TRUE(Reports().empty());
}

}  // namespace
}  // namespace zefa::test
