// Edits and button presses as the host's view makes them, and the rows of
// the connection tables.
#include <functional>

#include "host_world.h"
#include "lib/variables.h"
#include "lib/view_edit.h"
#include "platform/text.h"

namespace zefa::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr double E = host::kEmptyNumber;

// Changes as the host's view makes them: the unit's variables and the
// view's command variables (a press is the change to 1).
class ViewTest : public HostWorld {
  protected:
    refhost::RefIntegrator& integrator() { return *host_case->SolverObject()->integrator_; }

    // True when the change was allowed and stored.
    bool Edit(const std::string& tag, int row, const std::string& value) {
        refhost::ViewEdit edit{tag, std::nullopt, value};
        if (row >= 0) edit.row = static_cast<std::size_t>(row);
        return refhost::EditAsView(*unit, *zefa, edit, streams).stored;
    }
    bool Number(const std::string& tag, double value, int row = -1) {
        return Edit(tag, row, host::IsEmptyNumber(value) ? "" : FormatDouble(value));
    }
    bool Label(const std::string& tag, const std::string& value, int row = -1) {
        return Edit(tag, row, value);
    }
    bool Press(const std::string& command) { return Number(command, 1); }

    refhost::StreamResolver streams;  // the case's streams by name
};

class VariableChangeTest : public ViewTest {
  protected:
    void SetUp() override {
        ViewTest::SetUp();
        BindOnEmptyVariables();
        SetNumber("boolTraceErrors", 1);  // reports go to the message window
        integrator().step_size_ = 0.25;
    }
};

// Each edit is checked before the host stores it; a refusal says why (an
// empty report: refused without a word).
TEST_F(VariableChangeTest, EditsAreCheckedBeforeTheHostStoresThem) {
    SetNumber("ZEFAsimTime", 100);
    SetNumbers("OutletSourceCB", {0, 1});
    SetNumbers("bFlowSwitch", {1, 0});
    struct Row {
        const char* tag;
        double value;
        int row;
        bool allowed;
        std::string report;
    };
    const Row rows[] = {
        {"ZEFARunInterval", 0.5, -1, true, ""},
        {"ZEFARunInterval", 0.3, -1, false,
         "ZEFA Time Step is not a multiple of the KAVRIS time step"},
        // No interval at all, or one that runs backwards, is no multiple either.
        {"ZEFARunInterval", 0, -1, false, "ZEFA Time Step must be greater than 0."},
        {"ZEFARunInterval", E, -1, false, "ZEFA Time Step must be greater than 0."},
        {"TCPTimeOut", 0.99, -1, false,
         "Communication Time Out value must be greater than or equal to 1 second."},
        {"TCPTimeOut", 1, -1, true, ""},
        {"InitTimeOut", 9.5, -1, false,
         "Initialization Time Out value must be greater than or equal to 10 seconds."},
        {"InitTimeOut", 10, -1, true, ""},
        {"TimeStepTimeOut", 0.99, -1, false,
         "ZEFA Time Step Time Out value must be greater than or equal to 1 second."},
        {"TimeStepTimeOut", 1, -1, true, ""},
        {"zefaEndTime", 100, -1, false, ""},  // not past the pipeline's time
        {"zefaEndTime", 100.5, -1, true, ""},
        // The flow switch is locked while the outlet is a source.
        {"bFlowSwitch", 1, 1, false, ""},
        {"bFlowSwitch", 0, 0, true, ""},
        {"OutletSourceCB", 1, 0, true, ""},  // the switch goes off with it
        {"bFlowSwitch", 1, 0, false, ""},
        {"OutletSourceCB", 0, 1, true, ""},
        {"bFlowSwitch", 1, 1, true, ""},
    };
    for (const Row& row : rows) {
        const std::size_t reports = Reports().size();
        EXPECT_EQ(Number(row.tag, row.value, row.row), row.allowed) << row.tag << " " << row.value;
        if (row.report.empty()) {
            EXPECT_EQ(Reports().size(), reports) << row.tag;
        } else {
            EXPECT_EQ(Reports().back(), row.report + ": PIPE-100: KAVRIS-ZEFA Link Error");
        }
    }
    EXPECT_EQ(GetNumber("ZEFARunInterval"), 0.5);
    EXPECT_EQ(State().client().TCPTimeOut, 1);  // the client waits with the new value
    EXPECT_THAT(Numbers("bFlowSwitch"), ElementsAre(0, 1));

    // A host step too small to compare against cannot approve any interval.
    integrator().step_size_ = 0.001;
    EXPECT_FALSE(Number("ZEFARunInterval", 1));
    EXPECT_THAT(Reports().back(), HasSubstr("METHOD -- VariableChanging: Division by zero"));
    // While the integrator runs the pipeline's time and the connection stay.
    integrator().running_ = true;
    EXPECT_FALSE(Number("ZEFAsimTime", 0));
    EXPECT_FALSE(Press("CloseConnectionMessage"));
    EXPECT_EQ(GetNumber("ZEFAsimTime"), 100);
    EXPECT_THAT(Reports().back(), HasSubstr("You can not change this while the Integrator is "
                                            "running.  Stop the integrator (press the red "
                                            "light in KAVRIS)."));
    integrator().running_ = false;
    EXPECT_TRUE(Number("ZEFAsimTime", 0));
}

TEST_F(VariableChangeTest, PlugAndReservoirTablesKeepOneBlankRowAtTheirEnd) {
    SetTexts("PlugLabels", {""});
    SetNumbers("PlugCheckBoxes", {E});
    // The blank row has no plug to tick.
    EXPECT_FALSE(Number("PlugCheckBoxes", 1, 0));

    EXPECT_TRUE(Label("PlugLabels", "PLUG-1", 0));
    EXPECT_THAT(Texts("PlugLabels"), ElementsAre("PLUG-1", ""));
    EXPECT_THAT(Numbers("PlugCheckBoxes"), ElementsAre(0, E));
    Label("PlugLabels", "PLUG-2", 1);
    Label("PlugLabels", "PLUG-3", 2);
    EXPECT_THAT(Numbers("PlugCheckBoxes"), ElementsAre(0, 0, 0, E));
    // Renaming a row is not a new row.
    Label("PlugLabels", "PLUG-1A", 0);
    EXPECT_THAT(Texts("PlugLabels"), ElementsAre("PLUG-1A", "PLUG-2", "PLUG-3", ""));

    EXPECT_FALSE(State().pending().boolPlugSelected);
    EXPECT_TRUE(Number("PlugCheckBoxes", 1, 2));
    EXPECT_TRUE(Number("PlugCheckBoxes", 1, 1));
    EXPECT_FALSE(Number("PlugCheckBoxes", 1, 3));
    // Unticking one plug keeps the launch of the other.
    EXPECT_TRUE(Number("PlugCheckBoxes", 0, 1));
    EXPECT_TRUE(State().pending().boolPlugSelected);

    // Clearing a middle label removes its row from both columns.
    Label("PlugLabels", "", 1);
    EXPECT_THAT(Texts("PlugLabels"), ElementsAre("PLUG-1A", "PLUG-3", ""));
    EXPECT_THAT(Numbers("PlugCheckBoxes"), ElementsAre(0, 1, E));
    // The blank row stays when "cleared" again.
    Label("PlugLabels", "", 2);
    EXPECT_THAT(Texts("PlugLabels"), ElementsAre("PLUG-1A", "PLUG-3", ""));
    // Any ticked row launches, not only the last one changed.
    Number("PlugCheckBoxes", 1, 0);
    Number("PlugCheckBoxes", 0, 1);
    EXPECT_TRUE(State().pending().boolPlugSelected);
    Number("PlugCheckBoxes", 0, 0);
    EXPECT_FALSE(State().pending().boolPlugSelected);

    // Reservoir rows start without a pressure; an empty one is no change.
    SetTexts("ResevoirLabels", {""});
    SetNumbers("ResevoirPressures", {E});
    Label("ResevoirLabels", "WELL-A", 0);
    EXPECT_THAT(Texts("ResevoirLabels"), ElementsAre("WELL-A", ""));
    EXPECT_THAT(Numbers("ResevoirPressures"), ElementsAre(E, E));
    State().pending().boolReservoirPressuresChanged = false;
    Number("ResevoirPressures", E, 0);
    EXPECT_FALSE(State().pending().boolReservoirPressuresChanged);
    Number("ResevoirPressures", 15000, 0);
    EXPECT_TRUE(State().pending().boolReservoirPressuresChanged);
}

TEST_F(VariableChangeTest, TrendRowsOfWholePipelineVariablesTakeNoPosition) {
    zefa->AddTrend();
    zefa->AddTrend();
    Label("TrendPositions", "OUTLET", 1);
    // HT (6125) belongs to the whole pipeline: the row's position goes.
    EXPECT_TRUE(Number("enumTrendVars", 6125, 1));
    EXPECT_THAT(Numbers("enumTrendTypes")[1], 15);
    EXPECT_THAT(Texts("TrendPositions")[1], IsEmpty());
    EXPECT_FALSE(Label("TrendPositions", "OUTLET", 1));
    EXPECT_TRUE(Label("TrendPositions", "INLET", 0));
    EXPECT_THAT(Texts("TrendPositions"), ElementsAre("INLET", ""));
    EXPECT_THAT(Reports(), IsEmpty());

    // Stopped, the trends are asked for at once (nothing to ask without a
    // model); running, the next step asks.
    State().pending().boolTrendsChanged = false;
    Label("TrendPositions", "MIDDLE", 0);
    EXPECT_FALSE(State().pending().boolTrendsChanged);
    integrator().running_ = true;
    Label("TrendPositions", "MIDDLE", 0);
    EXPECT_TRUE(State().pending().boolTrendsChanged);
    State().pending().boolTrendsChanged = false;
    Number("enumTrendVars", 8050, 0);
    EXPECT_TRUE(State().pending().boolTrendsChanged);
}

TEST_F(VariableChangeTest, ProfileSelectionKeepsOneProfileEnabled) {
    zefa->AddProfile();
    zefa->AddProfile();
    SetTexts("ProfileBranches", {"PIPE", "RISER"});
    State().pending().boolProfilesChanged = false;
    EXPECT_TRUE(Number("ProfileEnable", 1, 1));
    EXPECT_TRUE(Number("ProfileEnable", 1, 0));
    EXPECT_THAT(Numbers("ProfileEnable"), ElementsAre(1, 0));
    // Without a model the profile is fetched once the model is ready.
    EXPECT_TRUE(State().pending().boolProfilesChanged);
    EXPECT_THAT(Reports(), IsEmpty());

    // Only variables along a branch make a profile: AL (825) lies at the
    // volumes, HT (6125) belongs to the whole pipeline, 7 is no variable.
    EXPECT_TRUE(Number("enumProfileVars", 825, 0));
    EXPECT_FALSE(Number("enumProfileVars", 6125, 0));
    EXPECT_FALSE(Number("enumProfileVars", 7, 0));
    EXPECT_EQ(Numbers("enumProfileVars")[0], 825);
    EXPECT_THAT(Reports(), ElementsAre(HasSubstr("METHOD -- VariableChanging: GetZEFAVarInfo")));

    SetNumbers("xData", {1, 2});
    EXPECT_TRUE(Number("ProfileEnable", 0, 0));
    EXPECT_THAT(Numbers("xData"), IsEmpty());
    EXPECT_FALSE(State().trends().boolProfilesEnabled);
}

TEST_F(VariableChangeTest, ControllerDoubleClickOpensTheControllerWithinEightSeconds) {
    host_case->Flowsheet()->Add(
        std::make_shared<refhost::RefOperation>("PIC-100", "pidcontroller"));
    SetTexts("KAVRISControllers", {"PIC-100", "GONE"});
    SetNumber("controllerIndex", 0);
    auto click = [&](int seconds_later) {
        clock->now.second += seconds_later;
        SetNumber("controllerIndexX", 0);
        EXPECT_TRUE(Number("controllerIndex", GetNumber("controllerIndex")));
    };
    click(0);
    click(8);
    EXPECT_THAT(host_case->Flowsheet()->OpenedViews(), ElementsAre("PIC-100"));
    EXPECT_EQ(GetNumber("controllerIndexX"), 1);

    click(1);
    click(9);  // too slow: the click only ends the first one
    click(1);
    EXPECT_THAT(host_case->Flowsheet()->OpenedViews(), ElementsAre("PIC-100"));
    // Another change in between ends a double-click too.
    Number("TrendFrequency", 10);
    click(1);
    EXPECT_THAT(host_case->Flowsheet()->OpenedViews(), ElementsAre("PIC-100"));

    SetNumber("controllerIndex", 1);
    click(1);
    EXPECT_THAT(Reports(),
                ElementsAre(HasSubstr("GONE doesn't currently exist in this simulation.")));
    EXPECT_FALSE(State().edit().varFirstControllerClick);
}

TEST_F(VariableChangeTest, ControllerNamesAreLookedUpInEveryFlowsheet) {
    host_case->Flowsheet()->AddSubFlowsheet("SUB")->Add(
        std::make_shared<refhost::RefOperation>("FIC-7", "pidcontroller"));
    SetTexts("KAVRISControllers", {"*Name*"});
    SetTexts("ZEFAControllers", {"VALVE"});
    EXPECT_TRUE(Label("KAVRISControllers", "FIC-7", 0));
    EXPECT_TRUE(Label("KAVRISControllers", "FIC-8", 0));  // told, but kept
    EXPECT_THAT(Texts("KAVRISControllers"), ElementsAre("FIC-8"));
    EXPECT_THAT(Reports(), ElementsAre(HasSubstr("FIC-8 doesn't currently exist")));

    Press("msgAddController");
    EXPECT_THAT(Texts("KAVRISControllers"), ElementsAre("FIC-8", "*Name*"));
    EXPECT_EQ(Numbers("zefacontrollerops").size(), 2u);  // one output per row
    SetNumber("controllerIndex", 0);
    Press("msgRemController");
    EXPECT_THAT(Texts("KAVRISControllers"), ElementsAre("*Name*"));
    EXPECT_THAT(Texts("ZEFAControllers"), ElementsAre("*Tag*"));
    EXPECT_EQ(Numbers("zefacontrollerops").size(), 1u);
    EXPECT_EQ(State().lists().intNumControllers, 0);  // the table operations never change the count
}

// The inlet list as the host leaves it after an edit; the table rows follow.
class StreamListTest : public VariableChangeTest {
  protected:
    void Changed(std::shared_ptr<host::Variable> object, int row) {
        refhost::ViewChange change("Inlets", row, 0, "", std::move(object));
        zefa->VariableChanged(change);
    }
    std::shared_ptr<TestStream> a = std::make_shared<TestStream>("A"),
                                b = std::make_shared<TestStream>("B"),
                                c = std::make_shared<TestStream>("C"),
                                d = std::make_shared<TestStream>("D");
};

// A connected stream gets a row; a removed one takes its row and no other. The
// row the host reports for the edit is -1 when none; the table's selected row
// is 0 after every recall, so the reported row decides.
TEST_F(StreamListTest, TheRowOfTheRemovedStreamGoesAndNoOther) {
    struct Row {
        std::vector<std::shared_ptr<host::MaterialStream>> after;
        int reported, selected;
        std::vector<std::string> names, tags;
        std::vector<double> boundary;
    };
    const Row rows[] = {
        {{a, b, c, d}, -1, 1, {"A", "B", "C", "D"}, {"TA", "TB", "TC", "New Inlet"}, {0, 1, 0, 0}},
        {{a, nullptr, c}, -1, 1, {"A", "C"}, {"TA", "TC"}, {0, 0}},
        {{a, c}, -1, 1, {"A", "C"}, {"TA", "TC"}, {0, 0}},
        {{a, c}, 1, 0, {"A", "C"}, {"TA", "TC"}, {0, 0}},
        {{a, b}, 2, 0, {"A", "B"}, {"TA", "TB"}, {0, 1}},
        {{b, c}, 0, 2, {"B", "C"}, {"TB", "TC"}, {1, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reported);
        Var<host::StreamListVariable>("Inlets")->SetStreams({a, b, c});
        SetTexts("SourceTags", {"TA", "TB", "TC"});
        SetNumbers("InletBoundaryCB", {0, 1, 0});
        State().lists().intNumInlets = 3;
        SetNumber("sourceIndex", row.selected);
        Var<host::StreamListVariable>("Inlets")->SetStreams(row.after);
        Changed(row.after.size() > 3 ? Var<host::Variable>("Inlets") : nullptr, row.reported);
        EXPECT_EQ(StreamNames("Inlets"), row.names);
        EXPECT_EQ(Texts("SourceTags"), row.tags);
        EXPECT_EQ(Numbers("InletBoundaryCB"), row.boundary);
        EXPECT_EQ(State().lists().intNumInlets, static_cast<int>(row.names.size()));
    }
}

TEST_F(VariableChangeTest, ModelFilesChangeOnlyByTheUsersChoice) {
    SetText("zefaExe", "/nowhere/zefa-server");
    SetText("zefaModelPath", model_dir->Str());
    SetText("InputFile", "old.inp");
    ui->QueuePath(std::nullopt);
    ui->QueuePath("false");
    ui->QueuePath(std::nullopt);
    Press("msgSelectZefaExe");
    Press("msgSelectZefaModelPath");
    Press("msgSelectInputFilePath");
    EXPECT_EQ(GetText("zefaExe"), "/nowhere/zefa-server");
    EXPECT_EQ(GetText("zefaModelPath"), model_dir->Str());
    EXPECT_EQ(GetText("InputFile"), "old.inp");
    // The program's folder does not exist: the dialog starts in the case folder.
    EXPECT_THAT(Shown("open")[0],
                HasSubstr("Select the location and ZEFA executable to run with the AutoStart "
                          "feature.|" +
                          host_case->Folder() + " Program Files"));
    EXPECT_THAT(Shown("folder"),
                ElementsAre("Select Path for all Zefa model files.|" + model_dir->Str()));
    EXPECT_EQ(Shown("open")[1],
              "Select Zefa Input File|" + model_dir->Str() + " Zefa Input Files (*.inp)|*.inp");

    ui->QueuePath(model_dir->Str() + "/pipe.inp");
    Press("msgSelectInputFilePath");
    EXPECT_EQ(GetText("InputFile"), "pipe.inp");
    ui->QueuePath(model_dir->Str() + "/pipe.snp");
    Press("msgSelectSnapFilePath");
    EXPECT_EQ(GetText("SnapshotFile"), "pipe.snp");
    ui->QueuePath(case_dir->Str());
    Press("msgSelectZefaModelPath");
    EXPECT_EQ(GetText("zefaModelPath"), case_dir->Str());
    // A typed name in another folder needs the user's Yes to move the model path.
    SetText("zefaModelPath", model_dir->Str());
    EXPECT_TRUE(Label("InputFile", "/elsewhere/new.inp"));
    EXPECT_EQ(GetText("InputFile"), "pipe.inp");  // the user said No
    EXPECT_EQ(GetText("zefaModelPath"), model_dir->Str());
    EXPECT_TRUE(Label("InputFile", "new.inp"));
    EXPECT_EQ(GetText("InputFile"), "new.inp");
}

TEST_F(VariableChangeTest, LoadingNeedsAConnectionAndAFileInTheModelFolder) {
    SetText("zefaModelPath", model_dir->Str());
    SetText("InputFile", "pipe.inp");
    Press("LoadInputMsg");  // not connected: nothing
    EXPECT_THAT(Reports(), IsEmpty());

    State().server().lngServerState = ServerState::Connected;
    Press("LoadInputMsg");
    SetText("InputFile", "../pipe.inp");
    WriteFile(model_dir->Path().parent_path() / "pipe.inp", "x");
    Press("LoadInputMsg");
    EXPECT_THAT(Reports(),
                ElementsAre(HasSubstr("The ZEFA Input file (" + model_dir->Str() +
                                      "/pipe.inp) does not exist."),
                            HasSubstr("The ZEFA Input file name (../pipe.inp) must name a file "
                                      "in the ZEFA Model Path.")));
    std::filesystem::remove(model_dir->Path().parent_path() / "pipe.inp");

    State().server().lngServerState = ServerState::Initialised;
    SetText("SnapshotFile", "gone.snp");
    Press("LoadSnapMsg");
    EXPECT_THAT(Reports().back(), HasSubstr("gone.snp) does not exist (at least as seen from "
                                            "this computer)."));
    EXPECT_EQ(zefa->ServerStateNumber(), 4);
}

TEST_F(VariableChangeTest, HostAndIgnoreSwitch) {
    SetText("zefaHost", "localhost");
    SetText("zefaExe", "");
    EXPECT_TRUE(Label("zefaHost", "localhost"));
    EXPECT_EQ(GetText("zefaExe"), "");  // same host: no new look-up
    Label("zefaHost", "pipeserver");
    EXPECT_EQ(GetText("zefaExe"), JoinPath(ext_dir->Str(), "zefa-server"));

    Number("ignoreZEFA", 0);
    EXPECT_THAT(Reports(), IsEmpty());
    Number("ignoreZEFA", 1);
    EXPECT_THAT(Reports(), ElementsAre(HasSubstr("To run the KAVRIS case without ZEFA")));
}

// Requests that need the server wait for the next step while the integrator
// runs; when it is stopped they go out at once.
class PendingRequestTest : public ViewTest {
  protected:
    void SetUp() override {
        ViewTest::SetUp();
        UsePositionVariables();
        ConnectNewCase(server.Port());
        SetText("PosLabel", "P1");
        SetText("PosBranch", "PIPE");
        SetText("PosPipe", "1");
        SetNumber("PosSection", 3);
    }
    FakeServer server;
};

TEST_F(PendingRequestTest, ActionsWaitWhileTheIntegratorRuns) {
    integrator().running_ = true;
    Press("SendNewPosition");
    Number("boolLogClient", 1);
    Number("shutin", 1);
    const auto& pending = State().pending();
    EXPECT_TRUE(pending.boolNewPositionPending);
    EXPECT_TRUE(pending.boolLoggingChanged);
    EXPECT_TRUE(pending.boolShutIn);
    EXPECT_TRUE(State().client().IsTracingClient);
    EXPECT_EQ(server.Count("ZEFA_KEYWORD_INPUT"), 0u);
    EXPECT_EQ(server.Count("ZEFA_INPUT_LOG"), 0u);
    // The next host step carries them out.
    SetNumber("ignoreZEFA", 0);
    zefa->PreProcessStates();
    ASSERT_TRUE(zefa->WaitForZEFAToCompleteIntegration());  // the step it started
    EXPECT_FALSE(pending.boolNewPositionPending || pending.boolLoggingChanged ||
                 pending.boolShutIn);
    EXPECT_EQ(server.Count("ZEFA_KEYWORD_INPUT", 1), 1u);
    EXPECT_EQ(server.Count("ZEFA_INPUT_LOG_ON", 1), 1u);

    integrator().running_ = false;
    Press("SendNewPosition");
    Number("boolLogClient", 0);
    EXPECT_EQ(server.Count("ZEFA_KEYWORD_INPUT", 2), 2u);
    EXPECT_EQ(server.Count("ZEFA_INPUT_LOG_OFF", 1), 1u);
    EXPECT_FALSE(State().client().IsTracingClient);
}

TEST_F(PendingRequestTest, ButtonsConnectLoadAndInitialiseTheModel) {
    Press("CloseConnectionMessage");
    ASSERT_EQ(zefa->ServerStateNumber(), 0);
    Press("OpenConnectionMessage");  // useAutoConnect is 0: no server is started
    ASSERT_EQ(zefa->ServerStateNumber(), 1);
    EXPECT_EQ(zefa->StartedServerPid(), 0);

    WriteFile(model_dir->Path() / "m.inp", "model");
    SetNumber("CanLoadFile", 1);
    Press("LoadInputMsg");
    EXPECT_EQ(zefa->ServerStateNumber(), 4);
    EXPECT_EQ(GetNumber("isReady"), 1);
    EXPECT_EQ(GetNumber("CanLoadFile"), 0);
    EXPECT_EQ(server.Count("ZEFA_READ_INPUT|m.inp", 1), 1u);
    EXPECT_EQ(server.Count("ZEFA_INITIALIZE", 1), 1u);
    Press("LoadInputMsg");  // loaded already: nothing
    EXPECT_EQ(server.Count("ZEFA_READ_INPUT", 1), 1u);
    EXPECT_THAT(Reports(), IsEmpty());
}

TEST_F(PendingRequestTest, AProfileIsFetchedAtOnceOnlyWhileTheIntegratorIsStopped) {
    State().server().lngServerState = ServerState::Initialised;
    zefa->AddProfile();
    SetTexts("ProfileBranches", {"NOPE"});
    server.Refuse("ZEFA_SENDPR_NAMES");

    integrator().running_ = true;
    State().pending().boolProfilesChanged = false;
    Number("ProfileEnable", 1, 0);
    EXPECT_TRUE(State().pending().boolProfilesChanged);
    EXPECT_EQ(server.Count("ZEFA_SENDPR_NAMES"), 0u);

    integrator().running_ = false;
    Label("ProfileBranches", "NOPE", 0);
    EXPECT_EQ(server.Count("ZEFA_SENDPR_NAMES", 1), 1u);
    EXPECT_THAT(Reports(), Contains(HasSubstr("Unable to obtain profile: Check the Branch label")));
}

// Each edit or button reaches its own action, which leaves its own trace.
TEST_F(PendingRequestTest, EachEditAndButtonReachesItsAction) {
    SetNumber("TimeStepTimeOut", 1);
    const auto stream = std::make_shared<TestStream>("REF");
    WriteFile(model_dir->Path() / "s.snp", "snapshot");
    SetText("SnapshotFile", "s.snp");
    std::size_t names_before = 0, trends_before = 0;
    struct Row {
        const char* what;
        std::function<void()> act_and_check;
    };
    const Row rows[] = {
        {"the status line follows any edit in dynamic mode",
         [&] {
             SetNumber("SolverMode", 1);
             SetText("StatusBarMessage", "stale");
             Number("TrendFrequency", 5);
             EXPECT_EQ(GetText("StatusBarMessage"), "Requires an Outlet Stream");
         }},
        {"the reference stream is bound again, and on binding",
         [&] {
             streams = [&](const std::string&) { return stream; };
             Label("ReferenceStream", "REF");
             EXPECT_EQ(State().vars().ReferenceStream, stream);
             State().vars().ReferenceStream.reset();
             zefa->InitializeInternalVariables();  // as a recalled case binds it
             EXPECT_EQ(State().vars().ReferenceStream, stream);
         }},
        {"a trend variable the server refuses",
         [&] {
             State().server().lngServerState = ServerState::Initialised;
             zefa->AddTrend();
             SetTexts("TrendPositions", {"NOPE"});
             server.Refuse("ZEFA_SENDTR_NAMES");
             Number("enumTrendVars", 8050, 0);

             EXPECT_THAT(Reports(), Contains("Variable Change Failed: There is a bad enumeration "
                                             "in the drop down list.: PIPE-100: KAVRIS-ZEFA "
                                             "Link Error"));
         }},
        {"a standalone run that cannot start leaves no run behind",
         [&] {
             State().server().lngServerState = ServerState::Initialised;
             SetNumber("zefaEndTime", 100);
             Press("msgRunZEFA");  // no inlets and no reference stream: refused
             EXPECT_FALSE(State().server().boolRunningStandalone);
         }},
        {"a snapshot waits for the step outstanding",
         [&] {
             State().server().lngServerState = ServerState::Initialised;
             server.HoldSteps(true);
             ASSERT_TRUE(State().client().SimulateStep(false));
             Press("LoadSnapMsg");
             server.HoldSteps(false);
             ASSERT_TRUE(zefa->WaitForZEFAToCompleteIntegration());

             EXPECT_THAT(Reports(), Contains("Since ZEFA did not complete its timestep the "
                                             "Snapshot load has been cancelled.: PIPE-100: "
                                             "KAVRIS-ZEFA Link Error"));
             EXPECT_EQ(server.Count("ZEFA_LOAD_SNAP"), 0u);
         }},
        {"a pipeline time goes to a server with a model loaded",
         [&] {
             State().server().lngServerState = ServerState::InputLoaded;
             Number("ZEFAsimTime", 40);
             EXPECT_EQ(server.Count("ZEFA_SET_TIME|40", 1), 1u);
         }},
        {"the remove-profile button",
         [&] {
             zefa->AddProfile();
             zefa->AddProfile();
             SetTexts("ProfileBranches", {"A", "B"});
             SetNumber("ProfileIndex", 0);
             Press("msgRemoveProfile");
             EXPECT_THAT(Texts("ProfileBranches"), ElementsAre("B"));
         }},
        {"the build-tables button",
         [&] {
             State().lists().intNumInlets = 0;
             State().lists().intNumOutlets = 0;
             names_before = server.Count("ZEFA_INP_NAMES");
             trends_before = server.Count("ZEFA_OUTTR_NAMES");
             Press("buildInputTable");

             EXPECT_GT(server.Count("ZEFA_INP_NAMES", names_before + 1), names_before);
             EXPECT_GT(server.Count("ZEFA_OUTTR_NAMES", trends_before + 1), trends_before);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        row.act_and_check();
        State().server().lngServerState = ServerState::Connected;
        SetNumber("SolverMode", 0);
    }
}

TEST_F(ExtensionTest, AppendAndRemoveFollowTheRowRules) {
    auto tags = Var<host::TextArrayVariable>("SourceTags");
    zefa->AddANewText(tags.get(), "A");
    EXPECT_THAT(tags->GetValues(), ElementsAre("A"));
    // Removing any row of a one-entry array empties it.
    zefa->RemoveATag(tags.get(), 7);
    EXPECT_THAT(tags->GetValues(), IsEmpty());
    zefa->RemoveATag(tags.get(), 0);  // nothing to remove
    EXPECT_THAT(tags->GetValues(), IsEmpty());

    for (const char* t : {"A", "B", "C"}) zefa->AddANewText(tags.get(), t);
    zefa->RemoveATag(tags.get(), 1);
    EXPECT_THAT(tags->GetValues(), ElementsAre("A", "C"));
    for (const char* t : {"D"}) zefa->AddANewText(tags.get(), t);
    // An invalid row removes the last entry.
    zefa->RemoveATag(tags.get(), 5);
    EXPECT_THAT(tags->GetValues(), ElementsAre("A", "C"));
    zefa->RemoveATag(tags.get(), -1);
    EXPECT_THAT(tags->GetValues(), ElementsAre("A"));

    auto values = Var<host::NumberArrayVariable>("PlugCheckBoxes");
    zefa->AddANewValue(values.get(), host::kEmptyNumber);
    zefa->AddANewValue(values.get(), 1);
    zefa->AddANewValue(values.get(), 0);
    EXPECT_THAT(Numbers("PlugCheckBoxes"), ElementsAre(host::kEmptyNumber, 1, 0));
    zefa->RemoveAValue(values.get(), 0);
    EXPECT_THAT(Numbers("PlugCheckBoxes"), ElementsAre(1, 0));
    zefa->RemoveAValue(values.get(), 9);
    EXPECT_THAT(Numbers("PlugCheckBoxes"), ElementsAre(1));
    zefa->RemoveAValue(values.get(), 0);
    EXPECT_THAT(Numbers("PlugCheckBoxes"), IsEmpty());
    EXPECT_TRUE(window->Lines().empty());
    EXPECT_TRUE(ui->History().empty());
}

TEST_F(ExtensionTest, RemovingAnOutletRowRemovesItFromEveryColumnAndTheList) {
    Var<host::StreamListVariable>("Outlets")->SetStreams({std::make_shared<TestStream>("A"),
                                                          std::make_shared<TestStream>("B"),
                                                          std::make_shared<TestStream>("C")});
    State().lists().intNumOutlets = 3;
    for (int i = 0; i < 3; ++i) zefa->AddANewOutlet();
    SetTexts("BoundaryTags", {"OUT1", "OUT2", "OUT3"});
    SetNumbers("bFlowSwitch", {0, 1, 0});
    SetNumbers("OutletSourceCB", {1, 0, 1});

    zefa->RemoveAnOutlet(1);

    EXPECT_THAT(StreamNames("Outlets"), ElementsAre("A", "C"));
    EXPECT_THAT(Texts("BoundaryTags"), ElementsAre("OUT1", "OUT3"));
    EXPECT_THAT(Numbers("bFlowSwitch"), ElementsAre(0, 0));
    EXPECT_THAT(Numbers("OutletSourceCB"), ElementsAre(1, 1));
    EXPECT_EQ(State().lists().intNumOutlets, 2);
}

TEST_F(ExtensionTest, AFailureInsideATableOperationIsReportedByName) {
    State().vars().bFlowSwitch.reset();
    zefa->AddANewOutlet();
    // The label was appended before the failure and stays.
    EXPECT_THAT(Texts("BoundaryTags"), ElementsAre("New Outlet"));
    EXPECT_THAT(
        window->Lines(),
        ElementsAre("METHOD -- AddANewValue: Object variable or With block variable not set: "
                    "PIPE-100: KAVRIS-ZEFA Link Error"));
}

}  // namespace
}  // namespace zefa::test
