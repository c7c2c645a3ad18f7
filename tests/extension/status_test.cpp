#include "host_world.h"

namespace zefa::test {
namespace {

using ::testing::ElementsAre;
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
        Var<host::StreamListVariable>("Outlets")->SetStreams(
            {std::make_shared<NamedStream>("OUT")});
    }
    std::pair<std::string, double> Status() {
        zefa->DynamicStatusUpdate();
        return {Var<host::TextVariable>("StatusBarMessage")->GetValue(),
                Var<host::NumberVariable>("StatusColor")->GetValue()};
    }
    using Line = std::pair<std::string, double>;
};

TEST_F(StatusTest, ServerStateGivesTheLineWhenEverySettingIsPresent) {
    State().server().lngServerState = ServerState::NotConnected;
    EXPECT_EQ(Status(), Line("ZEFA Server is Not Connected", 42));
    State().server().lngServerState = ServerState::Connected;
    EXPECT_EQ(Status(), Line("ZEFA Input File is not Loaded", 42));
    State().server().lngServerState = ServerState::InputLoaded;
    EXPECT_EQ(Status(), Line("ZEFA Server is not Initialized", 42));
    State().server().lngServerState = ServerState::Initialised;
    EXPECT_EQ(Status(), Line("OK", 46));
    SetNumber("ignoreZEFA", 1);
    EXPECT_EQ(Status(), Line("ZEFA Simulation is Ignored", 45));
}

TEST_F(StatusTest, TheFirstMissingSettingWinsInItsOrder) {
    State().server().lngServerState = ServerState::Initialised;
    SetText("zefaModelPath", "");
    EXPECT_EQ(Status(), Line("Unknown ZEFA Model Path", 42));
    SetText("InputFile", "");
    EXPECT_EQ(Status(), Line("Unknown ZEFA Input File", 42));
    SetNumber("PortNumber", host::kEmptyNumber);
    EXPECT_EQ(Status(), Line("Unknown ZEFA Port Number", 42));
    SetNumber("PortNumber", 0);  // zero is a value, not empty
    EXPECT_EQ(Status(), Line("Unknown ZEFA Input File", 42));
    SetText("ServerName", "");
    EXPECT_EQ(Status(), Line("Unknown ZEFA Server Name", 42));
    SetText("zefaExe", "");
    EXPECT_EQ(Status(), Line("Unknown ZEFA Executable.  Only needed for AutoStart", 45));
    SetText("zefaHost", "");
    EXPECT_EQ(Status(), Line("Unknown ZEFA Host", 42));
    // A missing host is reported whatever the server state; ignoring still shows.
    State().server().lngServerState = ServerState::NotConnected;
    EXPECT_EQ(Status(), Line("Unknown ZEFA Host", 42));
    SetNumber("ignoreZEFA", 1);
    EXPECT_EQ(Status(), Line("ZEFA Simulation is Ignored", 45));
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

TEST_F(StatusTest, NoOutletStreamIsAConditionAndTheStatusLine) {
    State().server().lngServerState = ServerState::Initialised;
    Var<host::StreamListVariable>("Outlets")->SetStreams({});
    host_case->SolverObject()->mode_ = 1;
    refhost::RecordingStatus status;
    zefa->StatusQuery(status);
    ASSERT_EQ(status.conditions.size(), 1u);
    EXPECT_EQ(status.conditions[0].code1, 3);
    EXPECT_EQ(status.conditions[0].code2, 2);
    EXPECT_EQ(status.conditions[0].text, "Requires an Outlet Stream");
    EXPECT_EQ(Var<host::NumberVariable>("SolverMode")->GetValue(), 1);
    EXPECT_EQ(Var<host::TextVariable>("StatusBarMessage")->GetValue(), "Requires an Outlet Stream");
    EXPECT_EQ(Var<host::NumberVariable>("StatusColor")->GetValue(), 42);
}

TEST_F(StatusTest, OutsideDynamicModeTheStatusLineIsLeftAlone) {
    State().server().lngServerState = ServerState::Initialised;
    host_case->SolverObject()->mode_ = 0;
    SetText("StatusBarMessage", "unchanged");
    refhost::RecordingStatus status;
    zefa->StatusQuery(status);
    EXPECT_THAT(status.conditions, IsEmpty());
    EXPECT_EQ(Var<host::TextVariable>("StatusBarMessage")->GetValue(), "unchanged");
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
    SetNumber("boolTraceErrors", 1);
    State().container() = std::make_shared<UnitWithoutSolver>(unit);
    refhost::RecordingStatus status;
    zefa->StatusQuery(status);
    EXPECT_THAT(status.conditions, IsEmpty());
    EXPECT_THAT(window->Lines(),
                ElementsAre("METHOD -- StatusQuery: Object variable or With block variable not "
                            "set: PIPE-100: KAVRIS-ZEFA Link Error"));
}

TEST_F(ExtensionTest, ErrorsGoToTheMessageWindowOrABoxByTheTraceSwitch) {
    SetNumber("boolTraceErrors", 1);
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
    EXPECT_TRUE(ui->History().back().system_modal);
}

TEST_F(ExtensionTest, AFailingOperationReportsItsNameAndKeepsGoing) {
    SetNumber("boolTraceErrors", 1);
    State().vars().StatusColor.reset();
    zefa->DynamicStatusUpdate();
    EXPECT_THAT(window->Lines(),
                ElementsAre("METHOD -- DynamicStatusUpdate: Object variable or With block "
                            "variable not set: PIPE-100: KAVRIS-ZEFA Link Error"));
}

TEST(ReportError, BeforeInitializeItShowsABoxWithTheBareTitle) {
    auto ui = std::make_shared<refhost::ScriptedUserInterface>();
    ZEFA zefa(ui);
    zefa.ReportError("early");
    ASSERT_EQ(ui->History().size(), 1u);
    EXPECT_EQ(ui->History()[0].title, ": KAVRIS-ZEFA Link Error");
    EXPECT_EQ(ui->History()[0].text, "early");
    EXPECT_TRUE(ui->History()[0].system_modal);
}

}  // namespace
}  // namespace zefa::test
