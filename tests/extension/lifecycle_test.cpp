// Initialize for new and recalled cases (binding, repairs, old selections
// renumbered), the status line and error reports, Save's snapshot names,
// Terminate.
#include <algorithm>
#include <functional>
#include <set>

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
    EXPECT_THAT(Shown("message"), ElementsAre(::testing::HasSubstr("The path " + model_dir->Str() +
                                                                   "/bin will be used.")));
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

class SaveTest : public ServerWorld {
  protected:
    void SetUp() override {
        ServerWorld::SetUp();
        ConnectNewCase(server.Port());
        ASSERT_TRUE(zefa->LoadZEFAFile());
    }
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

constexpr const char* kRetiredMessage =
    "The old Trend or Profile selection is no longer relavent with this new version of the ZEFA "
    "Server and will be set to the first variable in the list.";

TEST_F(ExtensionTest, OldSelectionsAreRenumberedWithTheirTypesAndUnknownOnesKept) {
    SetNumbers("enumTrendVars", {208, 312, 100});
    SetNumbers("enumProfileVars", {203});

    zefa->FixUpTheEnums();

    EXPECT_THAT(Numbers("enumTrendVars"), ElementsAre(8050, 0, 100));
    EXPECT_THAT(Numbers("enumTrendTypes"), ElementsAre(1, 0, 0));
    EXPECT_THAT(Numbers("enumProfileVars"), ElementsAre(6125));
    EXPECT_THAT(Numbers("enumProfileTypes"), ElementsAre(15));
    EXPECT_EQ(State().lastMessage(), kRetiredMessage);
    EXPECT_THAT(window->Lines(),
                ElementsAre(std::string(kRetiredMessage) + ": PIPE-100: KAVRIS-ZEFA Link Error"));

    // An unknown old code leaves the list as stored.
    SetNumbers("enumTrendVars", {208, 999, 1e300});
    zefa->FixUpTheEnums();
    EXPECT_THAT(Numbers("enumTrendVars"), ElementsAre(208, 999, 1e300));
    ASSERT_EQ(window->Lines().size(), 2u);
    EXPECT_EQ(window->Lines()[1].rfind("METHOD -- FixUpTheEnums: ", 0), 0u);
}

// A host whose type array does not grow when asked: the write past its end is
// a trapped subscript error, and both lists stay as stored.
TEST_F(ExtensionTest, ATypeArrayThatDoesNotGrowIsASubscriptError) {
    class StuckBounds final : public host::NumberArrayVariable {
      public:
        explicit StuckBounds(std::shared_ptr<host::NumberArrayVariable> real)
            : real_(std::move(real)) {}
        std::string Tag() const override { return real_->Tag(); }
        host::NumberArray GetValues() const override { return real_->GetValues(); }
        void SetValues(const host::NumberArray& values) override { real_->SetValues(values); }
        void SetBounds(std::size_t) override {}
        void SetBounds(std::size_t, std::size_t) override {}
        std::shared_ptr<host::RealValue> Element(std::size_t i) override {
            return real_->Element(i);
        }
        std::shared_ptr<host::RealValue> Element(std::size_t i, std::size_t j) override {
            return real_->Element(i, j);
        }

      private:
        std::shared_ptr<host::NumberArrayVariable> real_;
    };
    class UnitWithStuckTypes final : public UnitContainer {
      public:
        using UnitContainer::UnitContainer;
        std::shared_ptr<host::Variable> FindVariable(const std::string& tag) override {
            auto found = UnitContainer::FindVariable(tag);
            if (tag != "enumTrendTypes") return found;
            return std::make_shared<StuckBounds>(
                std::dynamic_pointer_cast<host::NumberArrayVariable>(found));
        }
    };
    SetNumbers("enumTrendVars", {208, 312});
    State().container() = std::make_shared<UnitWithStuckTypes>(unit);
    zefa->InitializeInternalVariables();

    zefa->FixUpTheEnums();

    EXPECT_THAT(Numbers("enumTrendVars"), ElementsAre(208, 312));
    EXPECT_THAT(Numbers("enumTrendTypes"), ::testing::IsEmpty());
    EXPECT_THAT(window->Lines(), ElementsAre("METHOD -- FixUpTheEnums: Subscript out of range: "
                                             "PIPE-100: KAVRIS-ZEFA Link Error"));
}

TEST(VariableTable, BindsDistinctTagsWithTheHostsKindsInTheHostsOrder) {
    std::set<std::string> tags;
    const auto& host_definitions = refhost::PipelineVariableDefinitions();
    ASSERT_EQ(host_definitions.size(), kVariableBindings.size());
    for (std::size_t i = 0; i < kVariableBindings.size(); ++i) {
        const auto& row = kVariableBindings[i];
        tags.insert(row.tag);
        EXPECT_EQ(std::string(row.tag), host_definitions[i].tag) << "row " << i;
        EXPECT_EQ(row.kind, host_definitions[i].kind) << row.tag;
    }
    EXPECT_EQ(tags.size(), kVariableBindings.size());
}

// A host whose unit lacks a tag, or has it of another kind: binding stops at
// that row, and the report is shown as a box (the trace switch is never bound).
TEST(VariableBinding, AMissingOrMistypedTagStopsTheBindingAtItsRowAndIsReported) {
    struct Row {
        const char* tag;
        bool remove;  // else the tag becomes a text
        const char* report;
    };
    for (const Row row : {Row{"zefaExe", true, "Variable zefaExe is not defined for P"},
                          Row{"PortNumber", false, "Type mismatch"}}) {
        auto definitions = refhost::PipelineVariableDefinitions();
        const auto at = std::find_if(definitions.begin(), definitions.end(),
                                     [&](const auto& d) { return std::string(d.tag) == row.tag; });
        ASSERT_NE(at, definitions.end());
        if (row.remove)
            definitions.erase(at);
        else
            at->kind = host::VariableKind::Text;
        auto ui = std::make_shared<refhost::ScriptedUserInterface>();
        ZEFA zefa{ui};
        ZefaInspector state{zefa};
        state.container() = std::make_shared<refhost::PipelineUnit>(
            "P", std::make_shared<refhost::RefCase>("/tmp/case"),
            std::make_shared<refhost::MessageWindow>(), ui, definitions);
        zefa.InitializeInternalVariables();
        EXPECT_TRUE(state.vars().ServerName);  // a row before it
        EXPECT_FALSE(state.vars().InputFile);  // rows after it: never bound
        EXPECT_FALSE(state.vars().boolTraceErrors);
        ASSERT_EQ(ui->History().size(), 1u);
        EXPECT_EQ(ui->History()[0].title, "P: KAVRIS-ZEFA Link Error");
        EXPECT_EQ(ui->History()[0].text,
                  std::string("METHOD -- InitInternalVariables: ") + row.report);
        // Every later use of an unbound variable fails and is reported the same way.
        zefa.DynamicStatusUpdate();
        ASSERT_EQ(ui->History().size(), 2u);
        EXPECT_EQ(ui->History()[1].text,
                  "METHOD -- DynamicStatusUpdate: Object variable or With "
                  "block variable not set");
    }
}

using ::testing::IsEmpty;

class StatusTest : public ExtensionTest {
  protected:
    void SetUp() override {
        ExtensionTest::SetUp();
        // Every setting present, one outlet, no controllers, not ignored.
        SetText("zefaHost", "localhost");
        SetText("zefaExe", "/opt/zefa/zefa-server");
        SetText("ServerName", "zefa2000");
        SetNumber("PortNumber", 16800);
        SetText("InputFile", "riser.inp");
        SetText("zefaModelPath", "/models");
        SetNumber("ControllersOn", 0);
        SetNumber("ignoreZEFA", 0);
        Var<host::StreamListVariable>("Outlets")->SetStreams({std::make_shared<TestStream>("OUT")});
    }
    std::pair<std::string, double> Status() {
        zefa->DynamicStatusUpdate();
        return {Var<host::TextVariable>("StatusBarMessage")->GetValue(),
                Var<host::NumberVariable>("StatusColor")->GetValue()};
    }
    using Line = std::pair<std::string, double>;
};

// Each row changes one thing more: the first missing setting wins in its
// order, else the server's state gives the line.
TEST_F(StatusTest, TheFirstMissingSettingOrElseTheServerStateGivesTheLine) {
    using S = ServerState;
    struct Row {
        std::function<void()> change;
        S state;
        Line line;
    };
    const Row rows[] = {
        {[] {}, S::NotConnected, {"ZEFA Server is Not Connected", 42}},
        {[] {}, S::Connected, {"ZEFA Input File is not Loaded", 42}},
        {[] {}, S::InputLoaded, {"ZEFA Server is not Initialized", 42}},
        {[] {}, S::Initialised, {"OK", 46}},
        {[&] { SetText("zefaModelPath", ""); }, S::Initialised, {"Unknown ZEFA Model Path", 42}},
        {[&] { SetText("InputFile", ""); }, S::Initialised, {"Unknown ZEFA Input File", 42}},
        {[&] { SetNumber("PortNumber", host::kEmptyNumber); },
         S::Initialised,
         {"Unknown ZEFA Port Number", 42}},
        // Zero is a value, not empty.
        {[&] { SetNumber("PortNumber", 0); }, S::Initialised, {"Unknown ZEFA Input File", 42}},
        {[&] { SetText("ServerName", ""); }, S::Initialised, {"Unknown ZEFA Server Name", 42}},
        {[&] { SetText("zefaExe", ""); },
         S::Initialised,
         {"Unknown ZEFA Executable.  Only needed for AutoStart", 45}},
        {[&] { SetText("zefaHost", ""); }, S::Initialised, {"Unknown ZEFA Host", 42}},
        {[] {}, S::NotConnected, {"Unknown ZEFA Host", 42}},
        // Ignoring still shows.
        {[&] { SetNumber("ignoreZEFA", 1); }, S::NotConnected, {"ZEFA Simulation is Ignored", 45}},
    };
    for (const Row& row : rows) {
        row.change();
        State().server().lngServerState = row.state;
        EXPECT_EQ(Status(), row.line);
    }
}

TEST_F(StatusTest, AnEmptyControllerLabelEndsTheUpdateBeforeTheIgnoreCheck) {
    State().server().lngServerState = ServerState::Initialised;
    SetNumber("ControllersOn", 1);
    SetNumber("ignoreZEFA", 1);
    Var<host::TextArrayVariable>("ZEFAControllers")->SetValues({"CHOKE-1", ""});
    EXPECT_EQ(Status(), Line("Unknown ZEFA Controller Name", 42));
    // With the switch off the labels are not looked at.
    SetNumber("ControllersOn", 0);
    EXPECT_EQ(Status(), Line("ZEFA Simulation is Ignored", 45));
}

// A missing outlet is a condition; in dynamic mode it is the status line
// too, outside it the line is left alone.
TEST_F(StatusTest, NoOutletStreamIsAConditionAndTheStatusLineInDynamicMode) {
    State().server().lngServerState = ServerState::Initialised;
    Var<host::StreamListVariable>("Outlets")->SetStreams({});
    for (const int mode : {0, 1}) {
        host_case->SolverObject()->mode_ = mode;
        SetText("StatusBarMessage", "unchanged");
        refhost::RecordingStatus status;
        zefa->StatusQuery(status);
        ASSERT_EQ(status.conditions.size(), 1u);
        EXPECT_EQ(status.conditions[0].code1 * 10 + status.conditions[0].code2, 32);
        EXPECT_EQ(status.conditions[0].text, "Requires an Outlet Stream");
        EXPECT_EQ(GetText("StatusBarMessage"), mode ? "Requires an Outlet Stream" : "unchanged");
        EXPECT_EQ(GetNumber("SolverMode"), mode);
    }
    EXPECT_EQ(GetNumber("StatusColor"), 42);
}

TEST_F(StatusTest, ACaseWithoutASolverIsReportedThroughTheTrap) {
    class CaseWithoutSolver final : public host::Case {
      public:
        std::string Folder() const override { return "/"; }
        std::shared_ptr<host::Flowsheet> GetFlowsheet() override { return nullptr; }
        std::shared_ptr<host::Solver> GetSolver() override { return nullptr; }
    };
    class UnitWithoutSolver final : public UnitContainer {
      public:
        using UnitContainer::UnitContainer;
        std::shared_ptr<host::Case> GetCase() override { return case_; }

      private:
        std::shared_ptr<host::Case> case_ = std::make_shared<CaseWithoutSolver>();
    };
    State().container() = std::make_shared<UnitWithoutSolver>(unit);
    refhost::RecordingStatus status;
    zefa->StatusQuery(status);
    EXPECT_THAT(status.conditions, IsEmpty());
    EXPECT_THAT(window->Lines(),
                ElementsAre("METHOD -- StatusQuery: Object variable or With block variable not "
                            "set: PIPE-100: KAVRIS-ZEFA Link Error"));
}

TEST_F(ExtensionTest, ErrorsGoToTheMessageWindowOrABoxByTheTraceSwitch) {
    zefa->ReportError("METHOD -- X: broken");
    EXPECT_THAT(window->Lines(),
                ElementsAre("METHOD -- X: broken: PIPE-100: KAVRIS-ZEFA Link Error"));
    EXPECT_THAT(Boxes(), IsEmpty());

    for (double off : {0.0, host::kEmptyNumber, 2.0}) {
        SetNumber("boolTraceErrors", off);
        zefa->ReportError("second");
    }
    EXPECT_EQ(window->Lines().size(), 1u);
    EXPECT_THAT(Boxes(), ElementsAre("PIPE-100: KAVRIS-ZEFA Link Error|second",
                                     "PIPE-100: KAVRIS-ZEFA Link Error|second",
                                     "PIPE-100: KAVRIS-ZEFA Link Error|second"));
    // Before Initialize a report is a box with the bare title.
    ZEFA early(ui);
    early.ReportError("early");
    EXPECT_EQ(Boxes().back(), ": KAVRIS-ZEFA Link Error|early");
    EXPECT_EQ(Boxes().size(), 4u);
    for (const auto& shown : ui->History()) EXPECT_TRUE(shown.system_modal) << shown.text;
}

}  // namespace
}  // namespace zefa::test
