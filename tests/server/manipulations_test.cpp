// Plug launch, normal inputs, shut-in, new position and reservoir pressures
// as the server receives them.
#include "fake_server.h"
#include "server_fixture.h"

namespace zefa::test {
namespace {

using ::testing::ElementsAre;

class ManipulationTest : public ServerTest {
  protected:
    void Start() {
        ASSERT_EQ(NewCase(), 4815);
        SetText("zefaHost", "127.0.0.1");
        SetNumber("PortNumber", server.Port());
        SetNumber("useAutoConnect", 0);
        SetNumber("TCPTimeOut", 2);
        zefa->mobjZefaClient->TCPTimeOut = 2;
        zefa->OpenTheConnection(false);
        ASSERT_EQ(zefa->lngServerState, 1);
    }
    std::vector<std::string> Reports() {
        auto lines = Lines();
        lines.erase(lines.begin());
        return lines;
    }
    // The requests as "NAME text" / "NAME ints" / "NAME floats".
    std::vector<std::string> Received(std::size_t count) {
        EXPECT_TRUE(server.WaitForRequests(count));
        std::vector<std::string> out;
        for (const auto& r : server.Requests()) {
            std::string line = r.name;
            if (!r.text.empty()) line += "|" + r.text;
            for (auto v : r.ints) line += "|" + std::to_string(v);
            for (auto v : r.floats) line += "|" + FormatSingle(v);
            out.push_back(line);
        }
        return out;
    }
    FakeServer server;
};

TEST_F(ManipulationTest, TickedPlugsAreLaunchedInRowOrderAndUnticked) {
    Start();
    SetTexts("PlugLabels", {"P1", "P2", "P3", ""});
    SetNumbers("PlugCheckBoxes", {1, 0, 1, 1});
    zefa->SetupAndLaunchDaPlug();
    EXPECT_THAT(Received(6),
                ElementsAre("ZEFA_INP_NAMES|$P1 PLUG", "ZEFA_INP_SIZES|1", "ZEFA_INP_DATA|1",
                            "ZEFA_INP_NAMES|$P3 PLUG", "ZEFA_INP_SIZES|1", "ZEFA_INP_DATA|1"));
    // The blank last row is never launched and keeps its value.
    EXPECT_THAT(Numbers("PlugCheckBoxes"), ElementsAre(0, 0, 0, 1));
    EXPECT_TRUE(Reports().empty());
}

TEST_F(ManipulationTest, RefusedPlugNameIsReportedAndTheSequenceGoesOn) {
    Start();
    server.Refuse("ZEFA_INP_NAMES");
    SetTexts("PlugLabels", {"NOPE", ""});
    SetNumbers("PlugCheckBoxes", {1, host::kEmptyNumber});
    zefa->SetupAndLaunchDaPlug();
    EXPECT_THAT(Received(3),
                ElementsAre("ZEFA_INP_NAMES|$NOPE PLUG", "ZEFA_INP_SIZES|1", "ZEFA_INP_DATA|1"));
    EXPECT_EQ(Numbers("PlugCheckBoxes")[0], 0);
    EXPECT_EQ(zefa->strLastMessage, "The selected plug for launch does not exist.");
}

TEST_F(ManipulationTest, NormalInputsAreSentAsBlankSeparatedNamesAndSizes) {
    Start();
    SetTexts("inputNames", {"A", "B"});
    SetNumbers("inputSizes", {5, 1});
    EXPECT_TRUE(zefa->SetupDaNormalInp());
    EXPECT_THAT(Received(2), ElementsAre("ZEFA_INP_NAMES| A B", "ZEFA_INP_SIZES|5|1"));
    server.Refuse("ZEFA_INP_NAMES");
    EXPECT_FALSE(zefa->SetupDaNormalInp());
    EXPECT_EQ(Received(3).size(), 3u);  // the sizes are not sent after a refusal
    EXPECT_EQ(zefa->strLastMessage,
              "ZEFA_INP_NAMES failed. Check the ZEFA Boundary/Source/Controller Labels you have "
              "specified on the Setup - Connections page under the Inlets and Outlets.");
}

TEST_F(ManipulationTest, ShutInSendsItsKeywordLineOnlyWithALoadedModel) {
    Start();
    SetNumber("shutin", 1);
    zefa->ShutInZEFAModel();  // state 1: no model yet
    zefa->lngServerState = 4;
    zefa->ShutInZEFAModel();
    SetNumber("shutin", 0);
    zefa->ShutInZEFAModel();
    SetNumber("shutin", 2);
    zefa->ShutInZEFAModel();
    EXPECT_THAT(Received(3),
                ElementsAre("ZEFA_KEYWORD_INPUT|SHUTIN TSHUT1 = 0.0 s,  TSHUT2 = 0.2E+35 s   ",
                            "ZEFA_KEYWORD_INPUT|SHUTIN TSHUT1 = 0.1E+35 s, TSHUT2 = 0.2E+35 s   ",
                            "ZEFA_KEYWORD_INPUT|SHUTIN TSHUT1 = 0.1E+35 s, TSHUT2 = 0.2E+35 s   "));
}

TEST_F(ManipulationTest, ReservoirPressuresAreSentInPascalForRowsWithAPressure) {
    Start();
    SetTexts("ResevoirLabels", {"W1", "W2", "W3", "W4", ""});
    SetNumbers("ResevoirPressures", {150, 0, host::kEmptyNumber, 200.5, 300});
    server.Refuse("ZEFA_KEYWORD_INPUT");
    zefa->ChangeTheResevoirPressures();
    EXPECT_THAT(Received(2),
                ElementsAre("ZEFA_KEYWORD_INPUT|WELL LABEL = W1, RESPRESSURE = 150000",
                            "ZEFA_KEYWORD_INPUT|WELL LABEL = W4, RESPRESSURE = 200500"));
    EXPECT_EQ(zefa->strLastMessage,
              "Failed to set Well Resevoir pressure (W4) for the ZEFA Model.");
}

TEST_F(ManipulationTest, NewPositionReadsItsTextsByTagAndRoundsTheSection) {
    UsePositionVariables();
    Start();
    SetText("PosLabel", "POS-NEW");
    SetText("PosBranch", "FLOWLINE");
    SetText("PosPipe", "RISER");
    SetNumber("PosSection", 2.6);
    zefa->SendNewPosition();
    EXPECT_THAT(Received(1), ElementsAre("ZEFA_KEYWORD_INPUT|POSITION LABEL = POS-NEW, BRANCH = "
                                         "FLOWLINE, PIPE = RISER, Section = 3 "));
}

TEST_F(ManipulationTest, NewPositionWithoutItsVariablesIsReportedByName) {
    Start();
    zefa->SendNewPosition();
    ASSERT_EQ(Reports().size(), 1u);
    EXPECT_THAT(Reports()[0], ::testing::StartsWith("METHOD -- SendNewPosition: "));
    EXPECT_EQ(server.Requests().size(), 0u);
}

TEST_F(ManipulationTest, RequestsWhileAStepIsOutstandingAreRefusedWithTheirOwnMessage) {
    Start();
    zefa->lngServerState = 4;
    server.HoldSteps(true);
    ASSERT_TRUE(zefa->mobjZefaClient->SimulateStep(false));
    zefa->ShutInZEFAModel();
    auto reports = Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_THAT(reports[0], ::testing::StartsWith("Your attempt to message with ZEFA has been"));
    EXPECT_EQ(reports[1],
              "Failed to set or reset the ZEFA Model to a SHUTIN condition.: "
              "PIPE-100: KAVRIS-ZEFA Link Error");
    server.HoldSteps(false);
    EXPECT_TRUE(zefa->WaitForZEFAToCompleteIntegration());
}

}  // namespace
}  // namespace zefa::test
