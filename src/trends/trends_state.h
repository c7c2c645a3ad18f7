#pragma once

// State of the trends and profiles watched in the host: when they were last
// refreshed, whether a profile is shown, and the host plot that shows it.

#include <memory>
#include <string>
#include <vector>

#include "host/objects.h"

namespace zefa {

// One enabled profile as last fetched: its branch, variable key and unit, and
// its values against the distance along the branch.
struct FetchedProfile {
    std::string branch, key, unit;
    std::vector<double> x, y;
};

struct TrendsAndProfiles {
    // Host times (seconds) of the last trend and profile refresh; far in the
    // past until the first one, so the first step refreshes both.
    double dblLastTrendTime = -10000.0;
    double dblLastProfileTime = -10000.0;
    bool boolProfilesEnabled = false;  // one profile row is enabled
    std::shared_ptr<host::Plot> objProfilePlot;
    // Requests the server refused during a run (" $POSITION KEY" of a trend,
    // "$BRANCH ZZBOU KEY" of a profile): reported once and left out of every
    // later refresh of the run, so the rest goes on.
    std::vector<std::string> leftOut;
    // The profile request last made, for leaving it out when it failed.
    std::string lastProfileRequest;
    // Every enabled profile as last fetched, in row order; the first is also
    // in "xData" and "yData", which the plot shows.
    std::vector<FetchedProfile> profiles;
};

// Texts of the trend and profile rows and of the profile plot.
namespace trend_texts {
inline constexpr const char* kNewTrend = "New Trend";    // a trend row not yet placed
inline constexpr const char* kNewBranch = "New Branch";  // a new profile row
inline constexpr const char* kPlotName = "ProfilePlot";
inline constexpr const char* kPlotTitle = "ZEFA Profile";
inline constexpr const char* kAbscissaLabel = "Branch Length";
}  // namespace trend_texts

}  // namespace zefa
