// Initialize for new and recalled cases, Save's snapshot names, Terminate.
#include <cstdlib>

#include "fake_server.h"
#include "server/server_start.h"
#include "server_fixture.h"

namespace zefa::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr const char* kRecommendation =
    "It is recommended to always use UPPER case letters when referring to ZEFA keyword labels "
    "with this extension.";

class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST_F(ServerTest, NewCaseGetsItsDefaultsAndTheRecommendation) {
    ScopedEnv env("ZEFA_SERVERPATH", model_dir->Str() + "/bin/zefa-server");
    host_case->SolverObject()->integrator_->step_size_ = 0.25;
    host_case->SolverObject()->mode_ = 1;
    zefa->strServicesFile = (case_dir->Path() / "services").string();
    WriteFile(zefa->strServicesFile,
              "zefa2000x 1/tcp\n"
              "zefa2000  17001/tcp  # first\n"
              "zefa2000\t17002/tcp\n"
              "zefa2000 17003/udp\n"
              "zefa2000 bad/tcp\n");
    ASSERT_EQ(NewCase(), 4815);
    EXPECT_EQ(GetText("zefaHost"), "localhost");
    EXPECT_EQ(GetText("ServerName"), "zefa2000");
    EXPECT_EQ(GetNumber("PortNumber"), 17002);  // the last line that fits
    EXPECT_EQ(GetText("zefaExe"), model_dir->Str() + "/bin/zefa-server");
    EXPECT_EQ(GetText("zefaModelPath"), model_dir->Str() + "/bin");
    EXPECT_EQ(GetNumber("ZEFARunInterval"), 0.25);
    EXPECT_EQ(GetNumber("SolverMode"), 1);
    EXPECT_EQ(GetNumber("TCPTimeOut"), 5);
    EXPECT_EQ(GetNumber("InitTimeOut"), 300);
    EXPECT_EQ(GetNumber("TimeStepTimeOut"), 10);
    EXPECT_EQ(GetNumber("boolWritePFEquations"), 1);
    EXPECT_EQ(GetNumber("boolAutoLoadSS"), 1);
    EXPECT_EQ(GetNumber("useAutoConnect"), 1);
    EXPECT_EQ(GetNumber("controllerIndexX"), 1);
    EXPECT_EQ(GetNumber("VersionNumber"), 1);
    EXPECT_EQ(GetNumber("IsFinished"), 0);
    EXPECT_EQ(GetText("Version"), "KAVRIS-ZEFA Link v4.1.0");
    EXPECT_THAT(Texts("phaseLabels"), ElementsAre("Gas", "Oil", "Water"));
    EXPECT_THAT(Texts("PlugLabels"), ElementsAre(""));
    EXPECT_THAT(Numbers("PlugCheckBoxes"), ElementsAre(host::kEmptyNumber));
    EXPECT_THAT(Texts("ResevoirLabels"), ElementsAre(""));
    EXPECT_THAT(Numbers("ResevoirPressures"), ElementsAre(host::kEmptyNumber));
    EXPECT_THAT(Lines(), ElementsAre(kRecommendation));
    EXPECT_EQ(zefa->strLastMessage, kRecommendation);
    EXPECT_EQ(zefa->mobjZefaClient->TCPTimeOut, 5);
    EXPECT_EQ(zefa->mobjZefaClient->TraceFilePath, case_dir->Str() + "/");
    EXPECT_EQ(zefa->lngServerState, 0);
    EXPECT_FALSE(zefa->boolReservoirPressuresChanged);
    EXPECT_EQ(zefa->dblLastProfileTime, -10000.0);
    // The profile plot.
    auto plot = host_case->Flowsheet()->FindPlot("ProfilePlot");
    ASSERT_TRUE(plot);
    EXPECT_EQ(zefa->objProfilePlot, plot);
    EXPECT_EQ(GetText("ProfilePlot"), "ProfilePlot");
    EXPECT_EQ(plot->title_, "ZEFA Profile");
    EXPECT_EQ(plot->x_label_, "Branch Length");
    EXPECT_EQ(plot->y_label_, "");
    EXPECT_EQ(plot->data_set_, "ProfileData");
    EXPECT_EQ(plot->x_tag_, "xData");
    EXPECT_EQ(plot->y_tag_, "yData");
    EXPECT_TRUE(plot->auto_scale_);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(ServerTest, NewCaseWithoutServicesEntryOrPathSettingUsesTheDefaults) {
    ::unsetenv("ZEFA_SERVERPATH");
    zefa->strServicesFile = (case_dir->Path() / "missing").string();
    ASSERT_EQ(NewCase(), 4815);
    EXPECT_EQ(GetNumber("PortNumber"), 16800);
    // Beside the extension library (here: the extension folder of the test).
    EXPECT_EQ(GetText("zefaExe"), ext_dir->Str() + "/zefa-server");
    EXPECT_EQ(GetText("zefaModelPath"), ext_dir->Str());
}

TEST_F(ServerTest, FirstInstanceDeletesLeftoverPidFilesAndTheLastOneAgain) {
    WriteFile(ext_dir->Path() / "old.pid", "123\n");
    ASSERT_EQ(NewCase(), 4815);
    EXPECT_FALSE(std::filesystem::exists(ext_dir->Path() / "old.pid"));
    WriteFile(ext_dir->Path() / "later.pid", "456\n");
    // A second live object keeps the files.
    auto other_unit = std::make_shared<refhost::PipelineUnit>("PIPE-200", host_case, window, ui);
    auto other = std::make_unique<ZEFA>(ui, clock);
    ASSERT_EQ(other->Initialize(other_unit, false), 4815);
    EXPECT_EQ(ZEFA::intInstanceCount, 2);
    other->Terminate();
    EXPECT_TRUE(std::filesystem::exists(ext_dir->Path() / "later.pid"));
    zefa->Terminate();
    terminated = true;
    EXPECT_EQ(ZEFA::intInstanceCount, 0);
    EXPECT_FALSE(std::filesystem::exists(ext_dir->Path() / "later.pid"));
}

TEST_F(ServerTest, RecalledCaseFillsEmptySettingsAndScalesAnOldTimeOut) {
    SetNumber("TCPTimeOut", 5000);
    host_case->SolverObject()->integrator_->step_size_ = 2;
    SetText("zefaExe", "/opt/zefa-server");
    SetText("zefaModelPath", model_dir->Str());
    zefa->boolStepPending = true;
    zefa->intNumSources = 3;
    zefa->dblKavrisStepSize = 1;
    ASSERT_EQ(Recall(), 4815);
    EXPECT_FALSE(zefa->boolStepPending);
    EXPECT_EQ(zefa->intNumSources, 0);
    EXPECT_EQ(zefa->dblKavrisStepSize, 0);
    EXPECT_TRUE(zefa->boolTrendsChanged);
    EXPECT_EQ(GetNumber("TCPTimeOut"), 5);
    EXPECT_EQ(zefa->mobjZefaClient->TCPTimeOut, 5);
    EXPECT_EQ(GetText("zefaHost"), "localhost");
    EXPECT_EQ(GetText("ServerName"), "zefa2000");
    EXPECT_EQ(GetNumber("PortNumber"), 16800);
    EXPECT_EQ(GetNumber("boolTraceErrors"), 1);
    EXPECT_EQ(GetNumber("boolWritePFEquations"), 0);
    EXPECT_EQ(GetNumber("useAutoConnect"), 1);
    EXPECT_EQ(GetNumber("shutin"), 0);
    EXPECT_EQ(GetNumber("ZEFARunInterval"), 2);
    EXPECT_EQ(GetNumber("InitTimeOut"), 300);
    EXPECT_EQ(GetNumber("TimeStepTimeOut"), 10);
    EXPECT_TRUE(zefa->boolReservoirPressuresChanged);
    // Missing blank rows of the plug and reservoir tables are added.
    EXPECT_THAT(Texts("PlugLabels"), ElementsAre(""));
    EXPECT_THAT(Numbers("PlugCheckBoxes"), ElementsAre(host::kEmptyNumber));
    EXPECT_THAT(Texts("ResevoirLabels"), ElementsAre(""));
    EXPECT_THAT(Numbers("ResevoirPressures"), ElementsAre(host::kEmptyNumber));
    // No new-case recommendation and no upgrade boxes.
    EXPECT_TRUE(Lines().empty());
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(ServerTest, RecalledTimeOutOf4999Stays) {
    SetNumber("TCPTimeOut", 4999);
    SetText("zefaExe", "/opt/zefa-server");
    SetText("zefaModelPath", "/opt");
    ASSERT_EQ(Recall(), 4815);
    EXPECT_EQ(GetNumber("TCPTimeOut"), 4999);
}

TEST_F(ServerTest, OldServerFolderSettingIsUpgradedWithTwoMessages) {
    SetText("zefaPath", model_dir->Str());
    ASSERT_EQ(Recall(), 4815);
    EXPECT_EQ(GetText("zefaModelPath"), model_dir->Str());
    EXPECT_EQ(GetText("zefaExe"), model_dir->Str() + "/zefa-server");
    EXPECT_THAT(
        Boxes(),
        ElementsAre("KAVRIS-ZEFA Link|With a new upgrade to the AutoStart feature of the "
                    "KAVRIS-ZEFA Link, you now specify the directory containing all ZEFA model "
                    "files.  The path " +
                        model_dir->Str() + " will be used.  Change if necessary.",
                    "KAVRIS-ZEFA Link|With a new upgrade to the AutoStart feature of the "
                    "KAVRIS-ZEFA Link, you now specify the specific ZEFA application exe to use.  "
                    "zefa-server will be used.  Change if necessary."));
    EXPECT_TRUE(ui->History()[0].system_modal);
}

TEST_F(ServerTest, OldServerFolderWithTrailingSeparatorGainsNoSecondOne) {
    SetText("zefaExe", model_dir->Str() + "/");
    SetText("zefaModelPath", model_dir->Str());
    ASSERT_EQ(Recall(), 4815);
    EXPECT_EQ(GetText("zefaExe"), model_dir->Str() + "/zefa-server");
    EXPECT_EQ(Boxes().size(), 1u);
}

TEST_F(ServerTest, RecalledConnectionKindsGetExactlyOneEntryPerConnection) {
    auto& streams = *Var<host::StreamListVariable>("Inlets");
    streams.SetLength(2);
    Var<host::StreamListVariable>("Outlets")->SetLength(3);
    SetNumbers("InletBoundaryCB", {1, 0, 1, 1});  // too long: surplus dropped
    SetNumbers("OutletSourceCB", {1});            // too short: padded with 0
    SetText("zefaExe", "/opt/zefa-server");
    SetText("zefaModelPath", "/opt");
    ASSERT_EQ(Recall(), 4815);
    EXPECT_EQ(zefa->intNumInlets, 2);
    EXPECT_EQ(zefa->intNumOutlets, 3);
    EXPECT_THAT(Numbers("InletBoundaryCB"), ElementsAre(1, 0));
    EXPECT_THAT(Numbers("OutletSourceCB"), ElementsAre(1, 0, 0));
    EXPECT_THAT(Lines(),
                ElementsAre("InletBoundaryCB had 4 entries for 2 inlets; it now has one entry per "
                            "inlet.: PIPE-100: KAVRIS-ZEFA Link Error",
                            "OutletSourceCB had 1 entries for 3 outlets; it now has one entry per "
                            "outlet.: PIPE-100: KAVRIS-ZEFA Link Error"));
}

TEST_F(ServerTest, RecalledEmptyConnectionKindsAreFilledSilently) {
    Var<host::StreamListVariable>("Inlets")->SetLength(2);
    SetText("zefaExe", "/opt/zefa-server");
    SetText("zefaModelPath", "/opt");
    SetNumbers("PlugCheckBoxes", {0, 1, 1});  // the last (blank) row does not count
    SetNumber("shutin", 1);
    ASSERT_EQ(Recall(), 4815);
    EXPECT_THAT(Numbers("InletBoundaryCB"), ElementsAre(0, 0));
    EXPECT_TRUE(Numbers("OutletSourceCB").empty());
    EXPECT_TRUE(zefa->boolPlugSelected);
    EXPECT_TRUE(zefa->boolShutIn);
    EXPECT_TRUE(Lines().empty());
}

TEST_F(ServerTest, AFailingInitializeReturnsZeroAndReportsItsName) {
    host_case = std::make_shared<refhost::RefCase>(case_dir->Str());
    // A container whose variables cannot all be found still gets its report.
    unit = std::make_shared<refhost::PipelineUnit>(
        "PIPE-100", host_case, window, ui,
        std::vector<refhost::VariableDefinition>{{"ServerName", host::VariableKind::Text}});
    EXPECT_EQ(NewCase(), 0);
    // Without the trace switch the reports come as message boxes.
    EXPECT_THAT(Boxes(), ::testing::Contains(HasSubstr(
                             "|METHOD -- Initialize: Object variable or With block variable not "
                             "set")));
}

// ---- Save: snapshot names.

class SaveTest : public ServerTest {
  protected:
    void SetUp() override {
        ServerTest::SetUp();
        ASSERT_EQ(NewCase(), 4815);
        SetText("zefaHost", "127.0.0.1");
        SetNumber("PortNumber", server.Port());
        SetNumber("useAutoConnect", 0);
        SetText("zefaModelPath", model_dir->Str());
        SetText("InputFile", "m.inp");
        zefa->OpenTheConnection(false);
        ASSERT_EQ(zefa->lngServerState, 1);
        ASSERT_TRUE(zefa->LoadZEFAFile());
    }
    FakeServer server;
};

TEST_F(SaveTest, ExistingSnapshotsGiveTheNextCounter) {
    WriteFile(model_dir->Path() / "m010506123045.snp", "");
    WriteFile(model_dir->Path() / "m010506123045_2.snp", "");
    zefa->Save();
    EXPECT_EQ(GetText("SnapshotFile"), "m010506123045_3.snp");
    auto requests = server.Requests();
    ASSERT_EQ(requests.back().name, "ZEFA_SAVE_SNAP");
    EXPECT_EQ(requests.back().text, "m010506123045_3.snp");
    // A free name takes no counter; the hour is on the 24-hour clock.
    clock->now = {2026, 12, 6, 23, 5, 9};
    SetText("InputFile", "flow.line.inp");
    zefa->Save();
    EXPECT_EQ(GetText("SnapshotFile"), "flow120626230509.snp");
    EXPECT_EQ(Lines().size(), 1u);  // only the recommendation
}

TEST_F(SaveTest, MissingModelFolderGivesOneMessageAndNoCounter) {
    SetText("zefaModelPath", model_dir->Str() + "/gone");
    zefa->Save();
    EXPECT_EQ(GetText("SnapshotFile"), "m010506123045.snp");
    EXPECT_THAT(Boxes(), ElementsAre("KAVRIS-ZEFA Link|The ZEFA Model Path can not be seen from "
                                     "the computer running KAVRIS (or the path just does not "
                                     "exist).  Can not guarantee a unique Snapshot file name "
                                     "(possible file overwrite)."));
}

TEST_F(SaveTest, RefusedSnapshotKeepsTheNewNameAndIsReported) {
    server.Refuse("ZEFA_SAVE_SNAP");
    zefa->Save();
    EXPECT_EQ(GetText("SnapshotFile"), "m010506123045.snp");
    EXPECT_EQ(zefa->strLastMessage, "Could not save m010506123045.snp");
    EXPECT_EQ(Lines().back(), "Could not save m010506123045.snp: PIPE-100: KAVRIS-ZEFA Link Error");
}

TEST_F(SaveTest, NothingIsSavedWithoutALoadedModelOrInputFile) {
    SetText("SnapshotFile", "keep.snp");
    const auto before = server.Requests().size();
    SetText("InputFile", "");
    zefa->Save();
    zefa->lngServerState = 1;
    SetText("InputFile", "m.inp");
    zefa->Save();
    EXPECT_EQ(GetText("SnapshotFile"), "keep.snp");
    EXPECT_EQ(server.Requests().size(), before);
}

TEST_F(SaveTest, InputFileWithoutExtensionIsAnError) {
    SetText("SnapshotFile", "keep.snp");
    SetText("InputFile", "model");
    zefa->Save();
    EXPECT_EQ(GetText("SnapshotFile"), "keep.snp");
    EXPECT_EQ(
        Lines().back(),
        "METHOD -- Save: Invalid procedure call or argument: PIPE-100: KAVRIS-ZEFA Link Error");
}

TEST_F(SaveTest, TerminateStopsTheConnectedServerAndReleasesEverything) {
    auto plot = host_case->Flowsheet()->FindPlot("ProfilePlot");
    zefa->Terminate();
    terminated = true;
    ASSERT_TRUE(server.WaitForRequests(2));
    EXPECT_EQ(server.Names().back(), "ZEFA_STOP_SERVER");
    EXPECT_EQ(zefa->lngServerState, 0);
    EXPECT_EQ(zefa->mobjZefaClient, nullptr);
    EXPECT_EQ(zefa->objContainer, nullptr);
    EXPECT_EQ(zefa->objProfilePlot, nullptr);
    EXPECT_EQ(zefa->vars.PortNumber, nullptr);
    EXPECT_TRUE(plot->closed_);
}

}  // namespace
}  // namespace zefa::test
