#pragma once

// State of the trends and profiles watched in the host: when they were last
// refreshed, whether a profile is shown, and the host plot that shows it.

#include <memory>

#include "host/objects.h"

namespace zefa {

struct TrendsAndProfiles {
    // Host times (seconds) of the last trend and profile refresh; far in the
    // past until the first one, so the first step refreshes both.
    double dblLastTrendTime = -10000.0;
    double dblLastProfileTime = -10000.0;
    bool boolProfilesEnabled = false;  // one profile row is enabled
    std::shared_ptr<host::Plot> objProfilePlot;
};

}  // namespace zefa
