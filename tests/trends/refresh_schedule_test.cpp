// When a step refreshes trends and profiles.
#include "host_world.h"
#include "reported.h"

namespace zefa::test {
namespace {

class RefreshSchedule : public ExtensionTest {
  protected:
    void SetUp() override {
        ExtensionTest::SetUp();
        SetNumber("boolTraceErrors", 1);
        // One trend row not yet placed and no enabled profile: both refreshes
        // work without a server, and each leaves a trace that it ran.
        zefa->AddTrend();
        zefa->AddProfile();
        SetNumber("TrendFrequency", 10);
        SetNumber("ProfileFrequency", 10);
        State().pending().boolTrendsChanged = false;
        State().pending().boolProfilesChanged = false;
        State().trends().dblLastTrendTime = 0;
        State().trends().dblLastProfileTime = 0;
    }
    // Runs the step's refresh at host time `t`; true when the trends were
    // refreshed. A profile refresh empties the (stale) plotted data.
    bool StepAt(double t) {
        host_case->SolverObject()->integrator_->time_ = t;
        SetNumbers("xData", {1, 2});
        EXPECT_TRUE(zefa->RefreshTrendsAndProfiles(t));
        return State().trends().dblLastTrendTime == t;
    }
    bool ProfilesRefreshed() { return Numbers("xData").empty(); }
};

TEST_F(RefreshSchedule, PeriodicRefreshesComeOnlyOnceAPeriodIsExceededAndNeverWithoutOne) {
    EXPECT_FALSE(StepAt(10));  // exactly one period: not yet
    EXPECT_FALSE(ProfilesRefreshed());
    EXPECT_TRUE(StepAt(10.5));
    EXPECT_TRUE(ProfilesRefreshed());
    EXPECT_FALSE(StepAt(20));  // counted from the last refresh at 10.5
    EXPECT_TRUE(StepAt(21));
    EXPECT_TRUE(window->Lines().empty()) << ::testing::PrintToString(window->Lines());
    // Periods of zero or unset switch periodic refreshes off.
    SetNumber("TrendFrequency", 0);
    SetNumber("ProfileFrequency", host::kEmptyNumber);
    EXPECT_FALSE(StepAt(1e6));
    EXPECT_FALSE(ProfilesRefreshed());
}

TEST_F(RefreshSchedule, ChangedDefinitionsAreRefreshedAtTheNextStepWhateverThePeriod) {
    SetNumber("TrendFrequency", 0);
    SetNumber("ProfileFrequency", 0);
    State().pending().boolTrendsChanged = true;
    State().pending().boolProfilesChanged = true;
    EXPECT_TRUE(StepAt(1));
    EXPECT_TRUE(ProfilesRefreshed());
    EXPECT_FALSE(State().pending().boolTrendsChanged);
    // With no profile enabled there is nothing fetched: the flag stays, and the
    // (empty) plot is redrawn at every step until a profile is shown.
    EXPECT_TRUE(State().pending().boolProfilesChanged);
    EXPECT_FALSE(StepAt(2));
    EXPECT_TRUE(ProfilesRefreshed());
}

TEST_F(RefreshSchedule, AProfileThatCannotBeFetchedIsReportedOnceAndLeftOut) {
    SetNumbers("enumProfileVars", {6125});  // HT: not plotted along a branch
    std::int32_t ht = 6125;
    zefa->ChangeProfileVariable(ht, 0);
    SetNumbers("ProfileEnable", {1});
    std::int16_t row = 0;
    double one = 1;
    zefa->SelectProfile(row, one);
    State().pending().boolProfilesChanged = true;
    SetNumbers("xData", {1, 2});
    EXPECT_FALSE(zefa->RefreshTrendsAndProfiles(5));
    const std::vector<std::string> once = {
        Reported("Can't plot this type of variable."),
        Reported("Unable to obtain profile: Check branch labels. The profile $New Branch HT is "
                 "left out of the profiles for the rest of this run.")};
    EXPECT_EQ(window->Lines(), once);
    EXPECT_EQ(Numbers("xData"), (std::vector<double>{1, 2}));
    EXPECT_FALSE(State().pending().boolProfilesChanged);
    EXPECT_EQ(zefa->LeftOutRequests(), (std::vector<std::string>{"$New Branch HT"}));
    // Later refreshes pass it by without a word.
    EXPECT_TRUE(zefa->RefreshTrendsAndProfiles(50));
    EXPECT_EQ(window->Lines(), once);
}

}  // namespace
}  // namespace zefa::test
