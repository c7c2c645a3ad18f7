// Initialize for new and recalled cases, Save's snapshot names, Terminate.
#include "fake_server.h"
#include "host_world.h"
#include "server/server_start.h"

namespace zefa::test {
namespace {

using ::testing::ElementsAre;

TEST_F(HostWorld, NewCaseGetsItsDefaultsThePortOfItsServiceAndThePlot) {
    ::setenv("ZEFA_SERVERPATH", (model_dir->Path() / "bin/zefa-server").c_str(), 1);
    host_case->SolverObject()->integrator_->step_size_ = 0.25;
    State().server().strServicesFile = (case_dir->Path() / "services").string();
    WriteFile(State().server().strServicesFile,
              "zefa2000x 1/tcp\nzefa2000  17001/tcp  # first\nzefa2000\t17002/tcp\n"
              "zefa2000 17003/udp\nzefa2000 bad/tcp\n");
    ASSERT_EQ(Initialize(false), 4815);
    ::unsetenv("ZEFA_SERVERPATH");
    EXPECT_EQ(GetNumber("PortNumber"), 17002);  // the last line that fits
    EXPECT_EQ(GetText("zefaExe"), model_dir->Str() + "/bin/zefa-server");
    EXPECT_EQ(GetText("zefaModelPath"), model_dir->Str() + "/bin");
    EXPECT_EQ(GetNumber("ZEFARunInterval"), 0.25);
    EXPECT_EQ(State().client().TraceFilePath, case_dir->Str() + "/");
    EXPECT_THAT(Numbers("PlugCheckBoxes"), ElementsAre(host::kEmptyNumber));
    EXPECT_THAT(Texts("ResevoirLabels"), ElementsAre(""));
    EXPECT_THAT(window->Lines(),
                ElementsAre("It is recommended to always use UPPER case letters when referring to "
                            "ZEFA keyword labels with this extension."));
    auto plot = host_case->Flowsheet()->FindPlot("ProfilePlot");
    ASSERT_TRUE(plot);
    EXPECT_EQ(State().trends().objProfilePlot, plot);
    EXPECT_EQ(plot->title_ + "|" + plot->x_label_ + "|" + plot->y_label_ + "|" + plot->data_set_ +
                  "|" + plot->x_tag_ + "|" + plot->y_tag_,
              "ZEFA Profile|Branch Length||ProfileData|xData|yData");
}

TEST_F(HostWorld, PidFilesAreDeletedByTheFirstAndTheLastInstance) {
    WriteFile(ext_dir->Path() / "old.pid", server_start::PidFileText(123));
    // Someone else's files stay: another name pattern, or a ".pid" of another program.
    WriteFile(ext_dir->Path() / "keep.pidx", server_start::PidFileText(123));
    WriteFile(ext_dir->Path() / "other-app.pid", "123\n");
    ASSERT_EQ(Initialize(false), 4815);
    EXPECT_FALSE(std::filesystem::exists(ext_dir->Path() / "old.pid"));
    EXPECT_TRUE(std::filesystem::exists(ext_dir->Path() / "keep.pidx"));
    EXPECT_TRUE(std::filesystem::exists(ext_dir->Path() / "other-app.pid"));
    WriteFile(ext_dir->Path() / "later.pid", server_start::PidFileText(456));
    auto other_unit = std::make_shared<refhost::PipelineUnit>("PIPE-200", host_case, window, ui);
    auto other = std::make_unique<ZEFA>(ui, clock);
    ASSERT_EQ(other->Initialize(other_unit, false), 4815);
    other->Terminate();  // one object is still alive: the file stays
    EXPECT_TRUE(std::filesystem::exists(ext_dir->Path() / "later.pid"));
    zefa->Terminate();
    terminated = true;
    EXPECT_EQ(ZEFA::intInstanceCount, 0);
    EXPECT_FALSE(std::filesystem::exists(ext_dir->Path() / "later.pid"));
}

TEST_F(HostWorld, RecalledCaseIsRepairedAndUpgraded) {
    SetNumber("TCPTimeOut", 5000);
    SetText("zefaPath", model_dir->Str());  // an old case: only the server's folder
    Var<host::StreamListVariable>("Inlets")->SetLength(2);
    Var<host::StreamListVariable>("Outlets")->SetLength(3);
    SetNumbers("InletBoundaryCB", {1, 0, 1, 1});  // surplus entries are dropped
    SetNumbers("OutletSourceCB", {1});            // missing ones are 0
    State().step().boolStepPending = true;
    ASSERT_EQ(Initialize(true), 4815);
    EXPECT_EQ(GetNumber("TCPTimeOut"), 5);
    EXPECT_EQ(State().client().TCPTimeOut, 5);
    EXPECT_EQ(GetText("zefaModelPath"), model_dir->Str());
    EXPECT_EQ(GetText("zefaExe"), model_dir->Str() + "/zefa-server");
    EXPECT_THAT(Shown("message"),
                ElementsAre("KAVRIS-ZEFA Link|With a new upgrade to the AutoStart feature of the "
                            "KAVRIS-ZEFA Link, you now specify the directory containing all ZEFA "
                            "model files.  The path " +
                                model_dir->Str() + " will be used.  Change if necessary.",
                            "KAVRIS-ZEFA Link|With a new upgrade to the AutoStart feature of the "
                            "KAVRIS-ZEFA Link, you now specify the specific ZEFA application exe "
                            "to use.  zefa-server will be used.  Change if necessary."));
    EXPECT_THAT(Texts("PlugLabels"), ElementsAre(""));
    EXPECT_THAT(Numbers("ResevoirPressures"), ElementsAre(host::kEmptyNumber));
    EXPECT_THAT(Numbers("InletBoundaryCB"), ElementsAre(1, 0));
    EXPECT_THAT(Numbers("OutletSourceCB"), ElementsAre(1, 0, 0));
    // A case saved without flow-sign switches gets one per outlet: every
    // step reads them.
    EXPECT_THAT(Numbers("bFlowSwitch"), ElementsAre(0, 0, 0));
    EXPECT_THAT(window->Lines(),
                ElementsAre("InletBoundaryCB had 4 entries for 2 inlets; it now has one entry per "
                            "inlet.: PIPE-100: KAVRIS-ZEFA Link Error",
                            "OutletSourceCB had 1 entries for 3 outlets; it now has one entry per "
                            "outlet.: PIPE-100: KAVRIS-ZEFA Link Error"));
    EXPECT_EQ(GetText("ServerName"), "zefa2000");
    EXPECT_FALSE(State().step().boolStepPending);
    EXPECT_TRUE(State().pending().boolReservoirPressuresChanged);
}

// A recalled program path gives the model path its folder; a folder ending
// in the separator gets the program's name. Settings in range stay.
TEST_F(HostWorld, RecalledSettingsThatNeedNoRepairStay) {
    SetNumber("TCPTimeOut", 4999);
    SetText("zefaExe", model_dir->Str() + "/bin/zefa-server");
    Var<host::StreamListVariable>("Inlets")->SetLength(2);
    SetNumbers("PlugCheckBoxes", {0, 1, 1});  // the blank last row does not count
    ASSERT_EQ(Initialize(true), 4815);
    EXPECT_EQ(GetNumber("TCPTimeOut"), 4999);
    EXPECT_EQ(GetText("zefaModelPath"), model_dir->Str() + "/bin");
    EXPECT_EQ(GetText("zefaExe"), model_dir->Str() + "/bin/zefa-server");
    ASSERT_EQ(Shown("message").size(), 1u);
    EXPECT_THAT(Shown("message")[0],
                ::testing::HasSubstr("The path " + model_dir->Str() + "/bin will be used."));
    EXPECT_THAT(Numbers("InletBoundaryCB"), ElementsAre(0, 0));  // empty: filled silently
    EXPECT_TRUE(State().pending().boolPlugSelected);
    EXPECT_TRUE(window->Lines().empty());

    SetText("zefaExe", model_dir->Str() + "/");
    SetText("zefaModelPath", "/models");
    zefa->Terminate();
    zefa = std::make_unique<ZEFA>(ui, clock);
    ASSERT_EQ(Initialize(true), 4815);
    EXPECT_EQ(GetText("zefaExe"), model_dir->Str() + "/zefa-server");
    EXPECT_EQ(GetText("zefaModelPath"), "/models");
    EXPECT_EQ(Shown("message").size(), 2u);
}

// A recalled list longer than a 16-bit count can hold ends Initialize with
// Overflow before anything is sized from that count; one that just fits is
// taken as it is.
TEST_F(HostWorld, RecalledListsBeyondASixteenBitCountRaiseOverflow) {
    SetNumber("boolTraceErrors", 1);
    Var<host::StreamListVariable>("Inlets")->SetLength(32767);
    SetTexts("KAVRISControllers", std::vector<std::string>(32768, "FIC-1"));
    SetNumbers("InletBoundaryCB", {1, 0});
    SetNumbers("zefacontrollerops", {7});
    EXPECT_EQ(Initialize(true), 0);
    EXPECT_EQ(State().lists().intNumInlets, 32767);
    EXPECT_EQ(State().lists().intNumControllers, 0);
    EXPECT_THAT(Numbers("InletBoundaryCB"), ElementsAre(1, 0));
    EXPECT_THAT(Numbers("zefacontrollerops"), ElementsAre(7));
    EXPECT_THAT(window->Lines(),
                ElementsAre("METHOD -- Initialize: Overflow: PIPE-100: KAVRIS-ZEFA Link Error"));
}

class SaveTest : public HostWorld {
  protected:
    void SetUp() override {
        HostWorld::SetUp();
        ConnectNewCase(server.Port());
        ASSERT_TRUE(zefa->LoadZEFAFile());
    }
    FakeServer server;
};

TEST_F(SaveTest, ExistingSnapshotsGiveTheNextCounter) {
    WriteFile(model_dir->Path() / "m010506123045.snp", "");
    WriteFile(model_dir->Path() / "m010506123045_2.snp", "");
    zefa->Save();
    EXPECT_EQ(GetText("SnapshotFile"), "m010506123045_3.snp");
    clock->now = {2026, 12, 6, 23, 5, 9};  // a free name; the 24-hour clock
    SetText("InputFile", "flow.line.inp");
    zefa->Save();
    EXPECT_EQ(GetText("SnapshotFile"), "flow120626230509.snp");
    EXPECT_THAT(server.Received(3),
                ElementsAre("ZEFA_READ_INPUT|m.inp", "ZEFA_SAVE_SNAP|m010506123045_3.snp",
                            "ZEFA_SAVE_SNAP|flow120626230509.snp"));
    EXPECT_TRUE(Reports().empty());
}

TEST_F(SaveTest, MissingModelFolderAndRefusedSaveAreReported) {
    server.Refuse("ZEFA_SAVE_SNAP");
    SetText("SnapshotFile", "last-good.snp");
    SetText("zefaModelPath", model_dir->Str() + "/gone");
    zefa->Save();
    EXPECT_EQ(GetText("SnapshotFile"), "last-good.snp");  // the case keeps a file that exists
    EXPECT_THAT(Shown("message"),
                ElementsAre("KAVRIS-ZEFA Link|The ZEFA Model Path can not be seen from the "
                            "computer running KAVRIS (or the path just does not exist).  Can not "
                            "guarantee a unique Snapshot file name (possible file overwrite)."));
    EXPECT_THAT(Reports(), ElementsAre(::testing::HasSubstr("refused ZEFA_SAVE_SNAP"),
                                       "Could not save m010506123045.snp: PIPE-100: KAVRIS-ZEFA "
                                       "Link Error"));
}

TEST_F(SaveTest, NothingIsSavedWithoutModelOrInputFileOrExtension) {
    SetText("SnapshotFile", "keep.snp");
    SetText("InputFile", "");
    zefa->Save();
    SetText("InputFile", "model");
    zefa->Save();
    State().server().lngServerState = ServerState::Connected;
    SetText("InputFile", "m.inp");
    zefa->Save();
    EXPECT_EQ(GetText("SnapshotFile"), "keep.snp");
    EXPECT_THAT(server.Received(), ElementsAre("ZEFA_READ_INPUT|m.inp"));
    EXPECT_THAT(Reports(), ElementsAre("METHOD -- Save: Invalid procedure call or argument: "
                                       "PIPE-100: KAVRIS-ZEFA Link Error"));
}

}  // namespace
}  // namespace zefa::test
