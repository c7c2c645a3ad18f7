// Plug launch, normal inputs, shut-in, new position and reservoir pressures as
// the server receives them.
#include "fake_server.h"
#include "host_world.h"

namespace zefa::test {
namespace {

using ::testing::ElementsAre;

class ManipulationTest : public HostWorld {
  protected:
    FakeServer server;
};

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
