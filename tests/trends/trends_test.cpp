// Trend rows, the trend-name string and the values the server sends back.
#include "host_world.h"
#include "live_server.h"
#include "platform/text.h"
#include "reported.h"

namespace zefa::test {
namespace {

constexpr std::int32_t kPT = 8050;  // PT, Pa, at section volumes
constexpr std::int32_t kHT = 6125;  // HT, s, no position

class TrendRows : public ExtensionTest {
  protected:
    void SetUp() override {
        ExtensionTest::SetUp();
        SetNumber("boolTraceErrors", 1);
    }
    void AddRows(int count) {
        for (int i = 0; i < count; ++i) zefa->AddTrend();
    }
    // The six arrays of row `row`, as one line.
    std::string Row(std::size_t row) {
        return Texts("TrendPositions").at(row) + "|" +
               FormatDouble(Numbers("enumTrendVars").at(row)) + "|" +
               Texts("TrendVarTags").at(row) + "|" + FormatDouble(Numbers("TrendValues").at(row)) +
               "|" + Texts("TrendUnits").at(row) + "|" +
               FormatDouble(Numbers("enumTrendTypes").at(row));
    }
    void SetHostTime(double t) { host_case->SolverObject()->integrator_->time_ = t; }
};

TEST_F(TrendRows,
       OnlyPlacedRowsAreNamedAPositionlessVariableLosesItsPositionABadKeyChangesNothing) {
    AddRows(3);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(Row(i), "New Trend|825|AL|0||1");
    EXPECT_EQ(zefa->MakeTrendNames(), "");

    SetTexts("TrendPositions", {"P1", "New Trend", "P2"});
    std::int32_t pt = kPT, ht = kHT, unknown = 1;
    zefa->ChangeTrendVariable(unknown, 0);
    zefa->ChangeTrendVariable(pt, 3);
    zefa->ChangeTrendVariable(pt, -1);
    EXPECT_EQ(Row(0), "P1|825|AL|0||1");
    zefa->ChangeTrendVariable(pt, 0);
    zefa->ChangeTrendVariable(ht, 2);
    EXPECT_EQ(Row(0), "P1|825|PT|0|Pa|1");
    EXPECT_EQ(Row(1), "New Trend|825|AL|0||1");
    EXPECT_EQ(Row(2), "|825|HT|0|s|15");
    EXPECT_EQ(zefa->MakeTrendNames(), " $P1 PT $ HT");
    EXPECT_THAT(window->Lines(),
                ::testing::ElementsAre(
                    Reported("METHOD -- ChangeTrendVariable: GetZEFAVarInfo: GetZEFAVariableInfo: "
                             "Unknown ZEFA Variable"),
                    Reported("METHOD -- ChangeTrendVariable: Subscript out of range"),
                    Reported("METHOD -- ChangeTrendVariable: Subscript out of range")));
}

TEST_F(TrendRows, RemovingARowTakesItFromAllSixArraysAndABadRowRemovesNothing) {
    AddRows(3);
    SetTexts("TrendPositions", {"A", "B", "C"});
    SetNumbers("TrendValues", {1, 2, 3});
    std::int32_t ht = kHT;
    zefa->ChangeTrendVariable(ht, 1);
    zefa->RemoveTrend(1);
    ASSERT_EQ(Texts("TrendPositions"), (std::vector<std::string>{"A", "C"}));
    EXPECT_EQ(Row(0), "A|825|AL|1||1");
    EXPECT_EQ(Row(1), "C|825|AL|3||1");

    zefa->RemoveTrend(2);
    zefa->RemoveTrend(-1);
    EXPECT_EQ(Texts("TrendPositions"), (std::vector<std::string>{"A", "C"}));
    EXPECT_EQ(Numbers("TrendValues"), (std::vector<double>{1, 3}));
    EXPECT_THAT(window->Lines(),
                ::testing::Each(Reported("METHOD -- RemoveTrend: Subscript out of range")));
    EXPECT_EQ(window->Lines().size(), 2u);
}

TEST_F(TrendRows, UnplacedRowsAreNotRequestedAndAServerNotReadyIsTriedAgainLater) {
    AddRows(2);
    SetNumbers("TrendValues", {5, 6});
    SetHostTime(42);
    State().pending().boolTrendsChanged = true;
    // Nothing placed: nothing to ask, the refresh is done.
    EXPECT_TRUE(zefa->UpdateTrends());
    EXPECT_FALSE(State().pending().boolTrendsChanged);
    EXPECT_EQ(State().trends().dblLastTrendTime, 42);
    EXPECT_EQ(Numbers("TrendValues"), (std::vector<double>{5, 6}));

    // A placed row while no model is initialised: success, but still pending.
    SetTexts("TrendPositions", {"New Trend", "P1"});
    State().pending().boolTrendsChanged = true;
    SetHostTime(50);
    EXPECT_TRUE(zefa->UpdateTrends());
    EXPECT_TRUE(State().pending().boolTrendsChanged);
    EXPECT_EQ(State().trends().dblLastTrendTime, 42);
    EXPECT_EQ(Numbers("TrendValues"), (std::vector<double>{5, 6}));
}

class LiveTrends : public LiveServerWorld {
  protected:
    void SetUp() override {
        LiveServerWorld::SetUp();
        if (HasFatalFailure()) return;
        SetNumber("boolTraceErrors", 1);
        window_lines_before = window->Lines().size();
    }
    std::vector<std::string> NewLines() const {
        const auto& all = window->Lines();
        return {all.begin() + static_cast<std::ptrdiff_t>(window_lines_before), all.end()};
    }
    std::size_t window_lines_before = 0;
};

// Each value lands in the row it was asked for; a position the model does
// not have is reported once and left out while the others refresh.
TEST_F(LiveTrends, ValuesLandInTheirRowsAndAnUnknownPositionIsLeftOut) {
    for (int i = 0; i < 4; ++i) zefa->AddTrend();
    SetTexts("TrendPositions", {"New Trend", "NO-SUCH-POSITION", "POS-IN", "New Trend"});
    std::int32_t pt = kPT, ht = kHT;
    zefa->ChangeTrendVariable(pt, 1);
    zefa->ChangeTrendVariable(pt, 2);
    zefa->ChangeTrendVariable(ht, 3);
    SetNumbers("TrendValues", {7, 3, 0, 0});
    State().pending().boolTrendsChanged = true;
    State().pending().boolProfilesChanged = false;
    host_case->SolverObject()->integrator_->time_ = 100;

    EXPECT_TRUE(zefa->RefreshTrendsAndProfiles(100)) << ::testing::PrintToString(NewLines());
    const auto values = Numbers("TrendValues");
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0], 7);     // not placed: untouched
    EXPECT_EQ(values[1], 3);     // refused: untouched
    EXPECT_GT(values[2], 20e5);  // inlet pressure, above the 20 bar outlet
    EXPECT_GT(values[3], 0);     // the server's planned time step
    EXPECT_LT(values[3], 1e4);
    EXPECT_FALSE(State().pending().boolTrendsChanged);
    EXPECT_EQ(State().trends().dblLastTrendTime, 100);
    ASSERT_FALSE(NewLines().empty());
    EXPECT_EQ(NewLines().back(), Reported("Unable to obtain trend: check position names. The "
                                          "trend $NO-SUCH-POSITION PT is left out of the trends "
                                          "for the rest of this run."));
    EXPECT_EQ(zefa->LeftOutRequests(), (std::vector<std::string>{" $NO-SUCH-POSITION PT"}));

    // The next refresh asks for the good rows only, without a word.
    const auto lines = NewLines().size();
    State().pending().boolTrendsChanged = true;
    EXPECT_TRUE(zefa->RefreshTrendsAndProfiles(200));
    EXPECT_EQ(NewLines().size(), lines) << ::testing::PrintToString(NewLines());
}

}  // namespace
}  // namespace zefa::test
