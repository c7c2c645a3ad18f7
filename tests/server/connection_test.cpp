// Connecting, closing, loading and initialising, and waiting for a step,
// against a recording stand-in server on loopback.
#include "fake_server.h"
#include "server/server_start.h"
#include "server_fixture.h"

namespace zefa::test {
namespace {

using ::testing::ElementsAre;

class ConnectionTest : public ServerTest {
  protected:
    void SetUp() override {
        ServerTest::SetUp();
        ASSERT_EQ(NewCase(), 4815);
        SetText("zefaHost", "127.0.0.1");
        SetNumber("PortNumber", server.Port());
        SetNumber("useAutoConnect", 0);
        SetText("zefaModelPath", model_dir->Str());
        SetText("InputFile", "m.inp");
        SetNumber("TCPTimeOut", 2);
        zefa->mobjZefaClient->TCPTimeOut = 2;
    }
    std::vector<std::string> Reports() {
        auto lines = Lines();
        lines.erase(lines.begin());  // the new-case recommendation
        return lines;
    }
    FakeServer server;
};

TEST_F(ConnectionTest, ConnectWithoutAutoStartSetsTheConnectedState) {
    SetNumber("PlannedTimeStep", 3);
    SetNumber("ZEFAsimTime", 4);
    zefa->OpenTheConnection(false);
    EXPECT_EQ(zefa->lngServerState, 1);
    EXPECT_EQ(GetNumber("isConnected"), 1);
    EXPECT_EQ(GetNumber("CanLoadFile"), 1);
    EXPECT_EQ(GetNumber("PlannedTimeStep"), host::kEmptyNumber);
    EXPECT_EQ(GetNumber("ZEFAsimTime"), host::kEmptyNumber);
    EXPECT_TRUE(Reports().empty());
    // Already connected: nothing happens.
    zefa->OpenTheConnection(false);
    EXPECT_EQ(zefa->lngServerState, 1);
}

TEST_F(ConnectionTest, RefusedConnectionIsReportedWithHostAndPort) {
    // A port nobody listens on: bind one, note it, close it.
    int port = 0;
    {
        FakeServer gone;
        port = gone.Port();
    }
    SetNumber("PortNumber", port);
    zefa->OpenTheConnection(false);
    EXPECT_EQ(zefa->lngServerState, 0);
    EXPECT_EQ(GetNumber("isConnected"), 0);
    EXPECT_THAT(Reports(),
                ElementsAre("Could not connect to 127.0.0.1 on Port: " + std::to_string(port) +
                            ": PIPE-100: KAVRIS-ZEFA Link Error"));
}

TEST_F(ConnectionTest, AutoStartNeedsAnExistingModelFolder) {
    SetText("zefaModelPath", model_dir->Str() + "/missing");
    zefa->OpenTheConnection(true);
    EXPECT_EQ(zefa->lngServerState, 0);
    EXPECT_THAT(Reports(),
                ElementsAre("The Zefa Model Path was not recognized as being a valid path.: "
                            "PIPE-100: KAVRIS-ZEFA Link Error"));
    EXPECT_EQ(server.Connections(), 0);
    EXPECT_FALSE(std::filesystem::exists(case_dir->Path() / "zefaserverstartLocal.sh"));
}

TEST_F(ConnectionTest, UnsafeServerNameIsRefusedAndNoScriptIsLeft) {
    SetText("ServerName", "x; touch pwned");
    SetNumber("useAutoConnect", 1);
    zefa->OpenTheConnection(false);
    EXPECT_EQ(zefa->lngServerState, 0);
    ASSERT_EQ(Reports().size(), 1u);
    EXPECT_THAT(Reports()[0], ::testing::HasSubstr("may only contain letters, digits"));
    EXPECT_TRUE(std::filesystem::is_empty(case_dir->Path()));
    EXPECT_TRUE(std::filesystem::is_empty(ext_dir->Path()));
}

TEST_F(ConnectionTest, ServerThatCannotStartIsReportedAndTheScriptRemoved) {
    // The case folder cannot take the script: the start fails by name.
    host_case = std::make_shared<refhost::RefCase>(case_dir->Str() + "/no/such/folder");
    unit = std::make_shared<refhost::PipelineUnit>("PIPE-100", host_case, window, ui);
    zefa->objContainer = unit;
    zefa->InitializeInternalVariables();
    SetText("zefaHost", "127.0.0.1");
    SetText("ServerName", "zefa2000");
    SetText("zefaModelPath", model_dir->Str());
    SetNumber("PortNumber", server.Port());
    SetNumber("useAutoConnect", 1);
    SetNumber("boolTraceErrors", 1);
    zefa->OpenTheConnection(false);
    EXPECT_EQ(zefa->lngServerState, 0);
    ASSERT_EQ(Reports().size(), 1u);
    EXPECT_THAT(Reports()[0], ::testing::StartsWith("METHOD -- OpenTheConnection: "));
    EXPECT_EQ(server.Connections(), 0);
}

TEST_F(ConnectionTest, CloseWithoutConnectionAsksNothingAndSendsNothing) {
    zefa->CloseTheConnection();
    EXPECT_TRUE(Questions().empty());
    EXPECT_EQ(server.Connections(), 0);
}

TEST_F(ConnectionTest, AnsweringNoStillStopsTheServer) {
    zefa->OpenTheConnection(false);
    ASSERT_TRUE(zefa->LoadZEFAFile());
    auto table = std::make_shared<refhost::RefTableOperation>("PIPE-100 ZEFA Input");
    zefa->objInputTable = table;
    ui->QueueYesNo(false);
    zefa->CloseTheConnection();
    EXPECT_THAT(Questions(),
                ElementsAre("Save an ZEFA snapshot file?|You are about to shutdown ZEFA.  Would "
                            "you like to save an ZEFA snapshot file?  If no, then you will not be "
                            "able to restart your simulation with the ZEFA model at the same "
                            "point in time."));
    ASSERT_TRUE(server.WaitForRequests(2));
    EXPECT_THAT(server.Names(), ElementsAre("ZEFA_READ_INPUT", "ZEFA_STOP_SERVER"));
    EXPECT_EQ(zefa->lngServerState, 0);
    EXPECT_EQ(GetNumber("isConnected"), 0);  // by the disconnected event
    EXPECT_EQ(GetNumber("ZEFAsimTime"), host::kEmptyNumber);
}

TEST_F(ConnectionTest, AnsweringYesSavesASnapshotFirst) {
    zefa->OpenTheConnection(false);
    ASSERT_TRUE(zefa->LoadZEFAFile());
    ui->QueueYesNo(true);
    zefa->CloseTheConnection();
    ASSERT_TRUE(server.WaitForRequests(3));
    EXPECT_THAT(server.Names(),
                ElementsAre("ZEFA_READ_INPUT", "ZEFA_SAVE_SNAP", "ZEFA_STOP_SERVER"));
    EXPECT_EQ(GetText("SnapshotFile"), "m010506123045.snp");
}

TEST_F(ConnectionTest, LoadingAndInitialisingMoveTheStateOnlyFromTheirOwnState) {
    EXPECT_FALSE(zefa->LoadZEFAFile());  // not connected
    zefa->OpenTheConnection(false);
    EXPECT_FALSE(zefa->InitializeZEFA());  // state 1: nothing is sent
    EXPECT_EQ(server.Requests().size(), 0u);
    ASSERT_TRUE(zefa->LoadZEFAFile());
    EXPECT_EQ(zefa->lngServerState, 2);
    EXPECT_FALSE(zefa->LoadZEFAFile());
    server.SetSimTime(12.5f);
    SetNumber("InitTimeOut", 7);
    ASSERT_TRUE(zefa->InitializeZEFA());
    EXPECT_EQ(zefa->lngServerState, 4);
    EXPECT_EQ(GetNumber("ZEFAsimTime"), 12.5);
    EXPECT_EQ(zefa->mobjZefaClient->TCPTimeOut, 2);
    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].name, "ZEFA_READ_INPUT");
    EXPECT_EQ(requests[0].text, "m.inp");
    EXPECT_EQ(requests[1].name, "ZEFA_INITIALIZE");
    EXPECT_EQ(requests[2].name, "ZEFA_GET_TIME");
    EXPECT_TRUE(Reports().empty());
}

TEST_F(ConnectionTest, RefusedLoadAndInitialisationAreReportedAndTheTimeOutRestored) {
    server.Refuse("ZEFA_READ_INPUT");
    server.Refuse("ZEFA_INITIALIZE");
    zefa->OpenTheConnection(false);
    EXPECT_FALSE(zefa->LoadZEFAFile());
    EXPECT_EQ(zefa->lngServerState, 1);
    EXPECT_EQ(zefa->strLastMessage, "ZEFA server failed to load input file.");
    zefa->lngServerState = 2;
    SetNumber("InitTimeOut", 9);
    EXPECT_FALSE(zefa->InitializeZEFA());
    EXPECT_EQ(zefa->lngServerState, 2);
    EXPECT_EQ(zefa->strLastMessage, "ZEFA server failed to initialize.");
    EXPECT_EQ(zefa->mobjZefaClient->TCPTimeOut, 2);
}

TEST_F(ConnectionTest, WaitingWithoutAnOutstandingStepReturnsAtOnce) {
    zefa->OpenTheConnection(false);
    const auto start = clock->TickCountMs();
    EXPECT_TRUE(zefa->WaitForZEFAToCompleteIntegration());
    EXPECT_LT(clock->TickCountMs() - start, 200u);
    EXPECT_TRUE(Reports().empty());
}

TEST_F(ConnectionTest, WaitingTakesTheStepsDataWhenTheyCome) {
    zefa->OpenTheConnection(false);
    ASSERT_TRUE(zefa->mobjZefaClient->SimulateStep(false));
    EXPECT_FALSE(zefa->mobjZefaClient->StepComplete);
    EXPECT_TRUE(zefa->WaitForZEFAToCompleteIntegration());
    EXPECT_TRUE(zefa->mobjZefaClient->StepComplete);
    EXPECT_THAT(zefa->mobjZefaClient->OutTrendData, ElementsAre(1.5, 2.5));
}

TEST_F(ConnectionTest, WaitingForAStepThatDoesNotFinishGivesUp) {
    zefa->OpenTheConnection(false);
    SetNumber("TimeStepTimeOut", 1);
    server.HoldSteps(true);
    ASSERT_TRUE(zefa->mobjZefaClient->SimulateStep(false));
    const auto start = clock->TickCountMs();
    EXPECT_FALSE(zefa->WaitForZEFAToCompleteIntegration());
    const auto waited = clock->TickCountMs() - start;
    EXPECT_GE(waited, 1000u);
    EXPECT_LT(waited, 3500u);
    EXPECT_FALSE(zefa->mobjZefaClient->StepComplete);
    // The client reports the silent read; the wait adds its own message.
    EXPECT_THAT(Reports(), ElementsAre("Error receiving message from ZEFA Server -- Server is not "
                                       "responding.: PIPE-100: KAVRIS-ZEFA Link Error",
                                       "ZEFA did not finish its time step.: PIPE-100: "
                                       "KAVRIS-ZEFA Link Error"));
    server.HoldSteps(false);
    EXPECT_TRUE(zefa->WaitForZEFAToCompleteIntegration());
    EXPECT_TRUE(zefa->mobjZefaClient->StepComplete);
}

TEST_F(ConnectionTest, ChoosingAFileInTheModelFolderOnlySetsTheName) {
    SetText("zefaModelPath", "/Models/New");
    zefa->UseSelectedModelFile("/models/new/case.inp", true);
    EXPECT_EQ(GetText("InputFile"), "case.inp");
    EXPECT_EQ(GetText("zefaModelPath"), "/Models/New");
    EXPECT_TRUE(Questions().empty());
}

TEST_F(ConnectionTest, ChoosingAFileElsewhereAsksToMoveTheModelFolder) {
    ui->QueueYesNo(false);
    zefa->UseSelectedModelFile("/Other/Place/a.snp", false);
    EXPECT_EQ(GetText("SnapshotFile"), "");
    EXPECT_EQ(GetText("zefaModelPath"), model_dir->Str());
    ui->QueueYesNo(true);
    zefa->UseSelectedModelFile("/Other/Place/a.snp", false);
    EXPECT_EQ(GetText("SnapshotFile"), "a.snp");
    EXPECT_EQ(GetText("zefaModelPath"), "/Other/Place");  // its case is kept
    EXPECT_EQ(Questions().size(), 2u);
    EXPECT_EQ(Questions()[0],
              "Change the ZEFA Model Path?|You have selected a file with a different path than "
              "the current ZEFA Model Path.Would you like to change the ZEFA Model Path and "
              "continue?");
}

}  // namespace
}  // namespace zefa::test
