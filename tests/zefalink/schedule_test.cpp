// The run-time edit schedule: what it accepts, and when and in which order
// it makes the edits.
#include "schedule.h"

#include <gtest/gtest.h>

#include "null_extension.h"

namespace zefalink {
namespace {

using nlohmann::json;

// Records the changes it is given: tag and new text.
class RecordingExtension final : public zefa::test::NullExtension {
  public:
    bool VariableChanging(host::VariableWrapper& w) override {
        seen.push_back(w.Tag() + "=" + w.NewText());
        return w.NewText() != "refuse";
    }
    std::vector<std::string> seen;
};

class ScheduleTest : public ::testing::Test {
  protected:
    ScheduleTest() {
        c = refhost::NewCase("/tmp/schedule_test/line.case.json");
        auto unit = std::make_shared<refhost::PipelineUnit>("PIPE-1", c.host_case, c.window, c.ui);
        c.units.push_back(unit);
        units.push_back({"PIPE-1", extension, nullptr, nullptr, nullptr, nullptr});
    }
    std::string Load(const std::vector<std::string>& at, json section = nullptr) {
        c.schedule = std::move(section);
        return schedule.Load(at, c, nullptr);
    }

    refhost::HostCase c;
    std::shared_ptr<RecordingExtension> extension = std::make_shared<RecordingExtension>();
    std::vector<refhost::ExtensionUnit> units;
    EditSchedule schedule;
};

TEST_F(ScheduleTest, RefusesBadEditsBeforeAnythingRuns) {
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"10", "expected T:TAG=VALUE or T:press=COMMAND"},
        {"x:shutin=1", "the time \"x\" is not a number of seconds from 0"},
        {"-1:shutin=1", "the time \"-1\" is not a number of seconds from 0"},
        {"inf:shutin=1", "is not a number of seconds"},
        {"5:shutin", "expected TAG=VALUE"},
        {"5:press=Bogus", "\"Bogus\" is no button of the view"},
        {"5:press=TCPTimeOut", "\"TCPTimeOut\" is no button of the view"},
        {"5:Bogus=1", "Bogus is not a variable of PIPE-1"},
        {"5:TCPTimeOut=abc", "TCPTimeOut: \"abc\" is not a number"},
        {"5:PlugCheckBoxes=1", "PlugCheckBoxes is an array"},
        {"5:Inlets=FEED", "Inlets: there is no stream \"FEED\" in the case"},
        {"5:PlugCheckBoxes[x]=1", "with a row from 0"},
    };
    for (const auto& [option, message] : bad) {
        const std::string error = Load({"1:shutin=1", option});
        EXPECT_NE(error.find("--at " + option), std::string::npos) << option << ": " << error;
        EXPECT_NE(error.find(message), std::string::npos) << option << ": " << error;
        EXPECT_EQ(schedule.Remaining(), 0u) << option;
    }
}

TEST_F(ScheduleTest, RefusesABadScheduleSectionNamingTheEntry) {
    const std::vector<std::pair<json, std::string>> bad = {
        {json::object(), "schedule: expected an array"},
        {json::array({{{"set", "shutin=1"}}}), "schedule[0].time: expected a number"},
        {json::array({{{"time", -2}, {"set", "shutin=1"}}}), "schedule[0].time"},
        {json::array({{{"time", 1}}}), "schedule[0]: give either \"set\" or \"press\""},
        {json::array({{{"time", 1}, {"set", "shutin=1"}, {"press", "AddTrend"}}}), "give either"},
        {json::array({{{"time", 1}, {"set", "shutin=1"}, {"when", 2}}}),
         "schedule[0].when: unknown key"},
        {json::array({{{"time", 1}, {"set", 1}}}), "schedule[0].set: expected a text"},
        {json::array({{{"time", 1}, {"press", "AddTrend"}}, {{"time", 1}, {"press", "Nope"}}}),
         "schedule[1] (press): \"Nope\" is no button"},
        {json::array({{{"time", 1}, {"set", "shutin=1"}, {"unit", "PIPE-9"}}}),
         "no pipeline unit named PIPE-9"},
    };
    for (const auto& [section, message] : bad) {
        const std::string error = Load({}, section);
        EXPECT_NE(error.find(message), std::string::npos) << section.dump() << ": " << error;
    }
}

TEST_F(ScheduleTest, MakesEachEditAtTheFirstStepThatReachesItsTimeInTheOrderGiven) {
    const json section = json::array({{{"time", 2}, {"press", "SendNewPosition"}},
                                      {{"time", 1}, {"set", "PlugCheckBoxes[0]=1"}}});
    const auto rows = std::dynamic_pointer_cast<host::NumberArrayVariable>(
        c.units[0]->FindVariable("PlugCheckBoxes"));
    rows->SetValues(host::NumberArray::OneD({0.0, host::kEmptyNumber}));
    ASSERT_EQ(
        Load({"1:shutin=1", "0.3:TCPTimeOut=4", "1:ServerName=refuse", "1:PlugCheckBoxes[3]=1"},
             section),
        "");
    EXPECT_EQ(schedule.Remaining(), 6u);

    EXPECT_TRUE(schedule.ApplyDue(0.25, c, units, nullptr).empty());
    EXPECT_EQ(schedule.ApplyDue(0.5, c, units, nullptr),
              std::vector<std::string>{"t=0.5 s: PIPE-1: TCPTimeOut=4"});
    // Host times add up steps: 0.1 ten times falls a rounding error short of 1.
    double t = 0.0;
    for (int i = 0; i < 10; ++i) t += 0.1;
    ASSERT_LT(t, 1.0);
    const auto lines = schedule.ApplyDue(t, c, units, nullptr);
    ASSERT_EQ(lines.size(), 4u);
    // The case's edit at 1 s first, then the options' in their order; a row
    // the array lacks when its time comes is refused, and the run goes on.
    EXPECT_EQ(lines[0].substr(lines[0].find("PIPE-1")), "PIPE-1: PlugCheckBoxes[0]=1");
    EXPECT_EQ(lines[1].substr(lines[1].find("PIPE-1")), "PIPE-1: shutin=1");
    EXPECT_EQ(lines[2].substr(lines[2].find("PIPE-1")),
              "PIPE-1: ServerName=refuse: refused by the unit");
    EXPECT_NE(lines[3].find("refused: PlugCheckBoxes[3]: the row is outside the array of 2"),
              std::string::npos)
        << lines[3];
    EXPECT_EQ(rows->GetValues().At(0), 1.0);
    EXPECT_EQ(c.units[0]->Get<host::NumberVariable>("shutin")->GetValue(), 1.0);
    EXPECT_EQ(c.units[0]->Get<host::NumberVariable>("TCPTimeOut")->GetValue(), 4.0);

    EXPECT_EQ(schedule.ApplyDue(7.0, c, units, nullptr),
              std::vector<std::string>{"t=7 s: PIPE-1: press=SendNewPosition"});
    EXPECT_EQ(schedule.Remaining(), 0u);
    EXPECT_TRUE(schedule.ApplyDue(8.0, c, units, nullptr).empty());
    EXPECT_EQ(extension->seen,
              (std::vector<std::string>{"TCPTimeOut=4", "PlugCheckBoxes=1", "shutin=1",
                                        "ServerName=refuse", "SendNewPosition=1"}));
}

}  // namespace
}  // namespace zefalink
