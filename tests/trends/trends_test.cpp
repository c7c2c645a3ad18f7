// Trend rows, the trend-name string and the values the server sends back;
// profile rows, the enabled profile, the plot's texts and the data the server
// sends for them; when a step refreshes both; and the SVG line charts of the
// reference host, read back as a viewer would.
#include <algorithm>
#include <filesystem>
#include <limits>
#include <regex>
#include <sstream>

#include "host_world.h"
#include "lib/svg_chart.h"
#include "live_server.h"
#include "platform/text.h"

namespace zefa::test {
namespace {

constexpr std::int32_t kPT = 8050;  // PT, Pa, at section volumes
constexpr std::int32_t kHT = 6125;  // HT, s, no position

class TrendRows : public ExtensionTest {
  protected:
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

using LiveTrends = LiveServerWorld;

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

    EXPECT_TRUE(zefa->RefreshTrendsAndProfiles(100)) << ::testing::PrintToString(Since());
    const auto values = Numbers("TrendValues");
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0], 7);     // not placed: untouched
    EXPECT_EQ(values[1], 3);     // refused: untouched
    EXPECT_GT(values[2], 20e5);  // inlet pressure, above the 20 bar outlet
    EXPECT_GT(values[3], 0);     // the server's planned time step
    EXPECT_LT(values[3], 1e4);
    EXPECT_FALSE(State().pending().boolTrendsChanged);
    EXPECT_EQ(State().trends().dblLastTrendTime, 100);
    ASSERT_FALSE(Since().empty());
    EXPECT_EQ(Since().back(), Reported("Unable to obtain trend: check position names. The "
                                       "trend $NO-SUCH-POSITION PT is left out of the trends "
                                       "for the rest of this run."));
    EXPECT_EQ(zefa->LeftOutRequests(), (std::vector<std::string>{" $NO-SUCH-POSITION PT"}));

    // The next refresh asks for the good rows only, without a word.
    const auto lines = Since().size();
    State().pending().boolTrendsChanged = true;
    EXPECT_TRUE(zefa->RefreshTrendsAndProfiles(200));
    EXPECT_EQ(Since().size(), lines) << ::testing::PrintToString(Since());
}

class RefreshSchedule : public ExtensionTest {
  protected:
    void SetUp() override {
        ExtensionTest::SetUp();
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

constexpr std::int32_t kGG = 4100;  // GG, kg/s, at section boundaries

using Strings = std::vector<std::string>;
using Numbers_ = std::vector<double>;

// Sets up the profile rows as the view would after the user's edits.
void DefineProfiles(refhost::PipelineUnit& unit, ZEFA& zefa, const Strings& branches,
                    const std::vector<std::int32_t>& keys, std::size_t enabled) {
    auto numbers = [&](const char* tag, const Numbers_& values) {
        unit.Get<host::NumberArrayVariable>(tag)->SetValues(host::NumberArray::OneD(values));
    };
    for (std::size_t i = 0; i < branches.size(); ++i) zefa.AddProfile();
    unit.Get<host::TextArrayVariable>("ProfileBranches")->SetValues(branches);
    numbers("enumProfileVars", Numbers_(keys.begin(), keys.end()));
    for (std::size_t i = 0; i < keys.size(); ++i) {
        std::int32_t key = keys[i];
        zefa.ChangeProfileVariable(key, static_cast<std::int16_t>(i));
    }
    Numbers_ enable(branches.size(), 0.0);
    enable.at(enabled) = 1;
    numbers("ProfileEnable", enable);
    std::int16_t row = static_cast<std::int16_t>(enabled);
    double one = 1;
    zefa.SelectProfile(row, one);
}

class ProfileRows : public ExtensionTest {
  protected:
    void SetUp() override {
        ExtensionTest::SetUp();
        State().server().lngServerState = ServerState::Initialised;  // no server is asked here
        plot = host_case->Flowsheet()->FindPlot("ProfilePlot");
        ASSERT_TRUE(plot);
    }
    std::shared_ptr<refhost::RefPlot> plot;
};

TEST_F(ProfileRows, EnablingOneRowDisablesTheOthersAndABadRowChangesNothing) {
    DefineProfiles(*unit, *zefa, {"A", "B", "C"}, {kGG, kPT, kGG}, 0);
    EXPECT_TRUE(State().trends().boolProfilesEnabled);
    SetNumbers("ProfileEnable", {1, 0, 1});  // the user ticks row 2
    std::int16_t row = 2;
    double value = 1;
    zefa->SelectProfile(row, value);
    EXPECT_EQ(Numbers("ProfileEnable"), (Numbers_{0, 0, 1}));
    EXPECT_EQ(Texts("ProfileUnits"), (Strings{"kg/s", "Pa", "kg/s"}));
    EXPECT_EQ(Numbers("enumProfileTypes"), (Numbers_{0, 1, 0}));

    row = 3;
    zefa->SelectProfile(row, value);
    EXPECT_EQ(Numbers("ProfileEnable"), (Numbers_{0, 0, 1}));
    EXPECT_EQ(window->Lines(),
              (Strings{Reported("METHOD -- SelectProfile: Subscript out of range")}));

    SetNumbers("ProfileEnable", {0, 0, 0});  // the user unticks row 2
    row = 2;
    value = 0;
    zefa->SelectProfile(row, value);
    EXPECT_FALSE(State().trends().boolProfilesEnabled);
}

TEST_F(ProfileRows, RemovingTheEnabledRowEmptiesThePlot) {
    DefineProfiles(*unit, *zefa, {"A", "B", "C"}, {825, kGG, kPT}, 1);
    zefa->UpdatePlot();
    EXPECT_EQ(plot->title_, "B");
    EXPECT_EQ(plot->x_label_, "Branch Length");
    EXPECT_EQ(plot->y_label_, "GG kg/s");
    SetNumbers("xData", {0, 10});
    SetNumbers("yData", {1, 2});

    zefa->RemoveProfile(5);  // no such row: nothing goes
    EXPECT_EQ(Texts("ProfileBranches").size(), 3u);

    zefa->RemoveProfile(1);
    EXPECT_EQ(Texts("ProfileBranches"), (Strings{"A", "C"}));
    EXPECT_EQ(Numbers("enumProfileVars"), (Numbers_{825, kPT}));
    EXPECT_EQ(Numbers("ProfileEnable"), (Numbers_{0, 0}));
    EXPECT_EQ(Texts("ProfileUnits"), (Strings{"", "Pa"}));
    EXPECT_EQ(Numbers("enumProfileTypes"), (Numbers_{1, 1}));
    EXPECT_FALSE(State().trends().boolProfilesEnabled);
    EXPECT_EQ(plot->title_, "");
    EXPECT_EQ(plot->y_label_, "");
    EXPECT_TRUE(Numbers("xData").empty());
    EXPECT_TRUE(Numbers("yData").empty());
    EXPECT_EQ(window->Lines(),
              (Strings{Reported("METHOD -- RemoveProfile: Subscript out of range")}));
}

class ProfileRequests : public ServerWorld {
  protected:
    void SetUp() override {
        ServerWorld::SetUp();
        ConnectNewCase(server.Port());
        State().server().lngServerState = ServerState::Initialised;
    }
};

// The request names branch, abscissa and variable; the reply splits into
// abscissa and values by its sizes, and a reply without them keeps the data.
TEST_F(ProfileRequests, TheReplySplitsIntoAbscissaAndValuesByItsSizes) {
    DefineProfiles(*unit, *zefa, {"PIPE-1"}, {kGG}, 0);
    SetNumbers("xData", {1, 2});
    SetNumbers("yData", {3, 4});
    struct Row {
        std::vector<std::int32_t> sizes;  // none: a bare OK
        std::vector<float> values;
        Numbers_ x, y;
    };
    const Row rows[] = {
        {{}, {}, {1, 2}, {3, 4}},
        {{3, 2}, {0, 1, 2, 10, 20}, {0, 1, 2}, {10, 20}},
        {{2, 3}, {0, 1, 10, 20, 30}, {0, 1}, {10, 20, 30}},
        {{1, 1}, {5, 50, 99}, {5}, {50}},  // a value past the sizes is not shown
    };
    for (const Row& row : rows) {
        server.ProfileReply(row.sizes, row.values);
        State().pending().boolProfilesChanged = true;
        EXPECT_EQ(zefa->UpdateProfiles(), !row.sizes.empty());
        EXPECT_EQ(State().pending().boolProfilesChanged, row.sizes.empty());
        EXPECT_EQ(Numbers("xData"), row.x);
        EXPECT_EQ(Numbers("yData"), row.y);
    }
    std::vector<std::string> sent;
    for (const auto& r : server.Requests())
        if (r.name == "ZEFA_SENDPR_NAMES") sent.push_back(r.text);
    EXPECT_EQ(sent, Strings(4, "$PIPE-1 ZZBOU GG"));
}

using LiveProfiles = LiveServerWorld;

TEST_F(LiveProfiles, TheEnabledProfileIsFetchedAlongItsBranchAndDrawn) {
    DefineProfiles(*unit, *zefa, {"NONE", "FLOWLINE"}, {kPT, kGG}, 1);
    host_case->SolverObject()->integrator_->time_ = 30;
    State().pending().boolProfilesChanged = true;
    zefa->UpdatePlot();
    ASSERT_TRUE(zefa->UpdateProfiles()) << ::testing::PrintToString(window->Lines());
    const auto x = Numbers("xData"), y = Numbers("yData");
    ASSERT_GE(x.size(), 3u);
    EXPECT_EQ(y.size(), x.size());  // boundaries: one value per section face
    EXPECT_EQ(x.front(), 0);
    EXPECT_NEAR(x.back(), 4200, 1e-3);  // 4 km of pipe and a 200 m riser
    EXPECT_TRUE(std::is_sorted(x.begin(), x.end()));
    EXPECT_FALSE(State().pending().boolProfilesChanged);
    EXPECT_EQ(State().trends().dblLastProfileTime, 30);

    auto plot = host_case->Flowsheet()->FindPlot("ProfilePlot");
    ASSERT_TRUE(plot);
    EXPECT_EQ(plot->title_, "FLOWLINE");
    EXPECT_EQ(plot->y_label_, "GG kg/s");

    // Rows enabled together, as a case may have them, are all fetched; the
    // first goes into the plot's data. Pressures are given per section
    // volume: one fewer, mid-section.
    SetNumbers("ProfileEnable", {1, 1});
    SetTexts("ProfileBranches", {"FLOWLINE", "FLOWLINE"});
    ASSERT_TRUE(zefa->UpdateProfiles());
    const auto& fetched = State().trends().profiles;
    ASSERT_EQ(fetched.size(), 2u);
    EXPECT_EQ(fetched[0].key + " " + fetched[0].unit + ", " + fetched[1].key, "PT Pa, GG");
    EXPECT_EQ(fetched[0].x, Numbers("xData"));
    EXPECT_EQ(fetched[0].x.size(), x.size() - 1);
    EXPECT_GT(fetched[0].x.front(), 0);
    EXPECT_EQ(fetched[1].x, x);
}

// The SVG line charts of the reference host, read back as a viewer would.

using refhost::LineChart;
using refhost::RenderSvg;

// True when every tag is closed in order, attribute values are quoted, and
// every '&' starts one of the five entities: enough of XML to catch a
// broken element or an unescaped text.
bool WellFormed(const std::string& xml) {
    const std::regex entity("^&(amp|lt|gt|quot|apos);");
    std::vector<std::string> open;
    for (std::size_t i = 0; i < xml.size();) {
        if (xml[i] == '&' && !std::regex_search(xml.substr(i, 6), entity)) return false;
        if (xml[i] == '>') return false;  // a '>' outside a tag
        if (xml[i] != '<') {
            ++i;
            continue;
        }
        const std::size_t end = xml.find('>', i);
        if (end == std::string::npos) return false;
        const std::string tag = xml.substr(i + 1, end - i - 1);
        if (std::count(tag.begin(), tag.end(), '"') % 2 != 0 || tag.find('<') != tag.npos)
            return false;
        i = end + 1;
        if (tag.front() == '?' || tag.back() == '/') continue;
        if (tag.front() != '/') {
            open.push_back(tag.substr(0, tag.find(' ')));
        } else if (open.empty() || open.back() != tag.substr(1)) {
            return false;
        } else {
            open.pop_back();
        }
    }
    return open.empty();
}

struct Point {
    double x, y;
};

std::vector<std::vector<Point>> Polylines(const std::string& svg) {
    std::vector<std::vector<Point>> lines;
    const std::regex polyline("<polyline [^>]*points=\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), polyline);
         it != std::sregex_iterator(); ++it) {
        std::istringstream in((*it)[1].str());
        Point p{};
        char comma = 0;
        lines.emplace_back();
        while (in >> p.x >> comma >> p.y) lines.back().push_back(p);
    }
    return lines;
}

// Every picture is well-formed XML with its texts escaped and one line per
// series of the points that have a value.
TEST(SvgChart, EachSeriesIsALineOfItsFinitePointsInAWellFormedPicture) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    LineChart pressures{"Pressures", "Time (s)", "PT Pa", {}};
    for (int i = 0; i < 12; ++i)
        pressures.series.push_back({"$P" + std::to_string(i), {0, 1}, {1.0 * i, 2.0 + i}});
    struct Row {
        std::vector<LineChart> panels;
        std::string heading;
        std::vector<std::string> texts;
        std::vector<std::size_t> points;  // per line
    };
    const Row rows[] = {
        {{{"Flow <A&B> \"1\"",
           "Branch Length (m)",
           "GG kg/s",
           {{"ProfileData", {0, 1000, 2000, 3000, 4000}, {8.5, 8.1, nan, 7.2, 6.9}}}}},
         "",
         {">Flow &lt;A&amp;B&gt; &quot;1&quot;</text>", ">Branch Length (m)</text>",
          ">GG kg/s</text>"},
         {4}},
        {{{"Empty", "x", "y", {{"none", {}, {}}}}}, "", {">No data</text>"}, {}},
        {{{"Flat", "x", "y", {{"one", {5, 5, 5}, {host::kEmptyNumber, 2.5, 2.5}}}}}, "", {}, {2}},
        {{pressures, {"Flows", "Time (s)", "GG kg/s", {{"$OUT", {0, 1, 2}, {3, 3, 4}}}}},
         "case.case.json: t = 0 to 2 s",
         {">case.case.json: t = 0 to 2 s</text>", ">$OUT</text>", ">$P11</text>"},
         {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3}},
    };
    for (const Row& row : rows) {
        const std::string svg = RenderSvg(row.panels, row.heading);
        SCOPED_TRACE(row.panels[0].title);
        EXPECT_TRUE(WellFormed(svg)) << svg;
        EXPECT_EQ(svg.find("nan"), std::string::npos);
        EXPECT_EQ(svg.find("inf"), std::string::npos);
        for (const auto& text : row.texts) EXPECT_NE(svg.find(text), std::string::npos) << text;
        std::vector<std::size_t> points;
        for (const auto& line : Polylines(svg)) points.push_back(line.size());
        EXPECT_EQ(points, row.points);
    }

    // Falling values go down the picture, and equal steps in x are equal
    // distances (0, 1000, 3000, 4000); a second panel lies below the first.
    const auto p = Polylines(RenderSvg(rows[0].panels))[0];
    for (std::size_t k = 1; k < p.size(); ++k) {
        EXPECT_GT(p[k].x, p[k - 1].x);
        EXPECT_GT(p[k].y, p[k - 1].y);
    }
    EXPECT_NEAR(p[2].x - p[1].x, 2 * (p[1].x - p[0].x), 0.02);
    const auto stacked = Polylines(RenderSvg(rows[3].panels, rows[3].heading));
    EXPECT_LT(std::max(stacked[0][0].y, stacked[0][1].y), stacked[12][0].y);
}

class PlotPicture : public HostWorld {};

TEST_F(PlotPicture, ThePlotDrawsItsBoundDataAndReplacesAPlantedLink) {
    refhost::RefPlot plot("ProfilePlot");
    plot.SetTitle("PIPE-1");
    plot.SetAxisLabels("Branch Length", "PT Pa");
    plot.SetDataSetName("ProfileData");
    plot.BindData("xData", "yData");
    SetNumbers("xData", {50, 150, 250});
    SetNumbers("yData", {3e6, 2.5e6, 2e6});

    const auto victim = case_dir->Path() / "victim.txt";
    WriteFile(victim, "keep me");
    const auto picture = case_dir->Path() / "profile.svg";
    std::filesystem::create_symlink(victim, picture);
    plot.WriteSvg(picture.string(), *unit);

    EXPECT_EQ(ReadFile(victim), "keep me");
    ASSERT_FALSE(std::filesystem::is_symlink(picture));
    const std::string svg = ReadFile(picture);
    EXPECT_TRUE(WellFormed(svg));
    for (const char* text : {">PIPE-1</text>", ">Branch Length (m)</text>", ">PT Pa</text>"})
        EXPECT_NE(svg.find(text), std::string::npos) << text;
    ASSERT_EQ(Polylines(svg).size(), 1u);
    EXPECT_EQ(Polylines(svg)[0].size(), 3u);
    // No temporary file is left beside the picture.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(case_dir->Path()),
                            std::filesystem::directory_iterator()),
              2);

    // A folder that does not exist: an error, no file.
    EXPECT_THROW(plot.WriteSvg((case_dir->Path() / "no" / "p.svg").string(), *unit), Error);
}

}  // namespace
}  // namespace zefa::test
