// Profile rows, the enabled profiles, the plot's texts and the data the
// server sends for them.
#include "fake_server.h"
#include "host_world.h"
#include "live_server.h"
#include "reported.h"

namespace zefa::test {
namespace {

constexpr std::int32_t kGG = 4100;  // GG, kg/s, at section boundaries
constexpr std::int32_t kPT = 8050;  // PT, Pa, at section volumes
constexpr std::int32_t kHT = 6125;  // HT, s, no position

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
        SetNumber("boolTraceErrors", 1);
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

class ProfileRequests : public HostWorld {
  protected:
    void SetUp() override {
        HostWorld::SetUp();
        ConnectNewCase(server.Port());
        SetNumber("boolTraceErrors", 1);
        State().server().lngServerState = ServerState::Initialised;
    }
    FakeServer server;
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

class LiveProfiles : public LiveServerWorld {};

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

}  // namespace
}  // namespace zefa::test
