#include <functional>

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
            {std::make_shared<TestStream>("OUT")});
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
