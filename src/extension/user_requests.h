#pragma once

// What the user asked for through the unit operation's view that is not a
// stored setting: actions on the running model waiting for the next step,
// and the edit in progress.

#include <cstdint>
#include <optional>
#include <string>

#include "host/clock.h"

namespace zefa {

// Requests that need the server while the host integrates: variable-change
// handling sets them, the next step carries them out and clears them.
struct PendingRequests {
    bool boolShutIn = false;
    bool boolPlugSelected = false;
    bool boolReservoirPressuresChanged = false;
    bool boolTrendsChanged = false;
    bool boolProfilesChanged = false;
    bool boolLoggingChanged = false;
    bool boolNewPositionPending = false;
};

// Values kept by VariableChanging for the VariableChanged that follows, and
// the controller table's double-click detection.
struct EditInProgress {
    std::string strPreviousHost;
    std::string strPreviousFile;
    // Times of the first and second click on the controller table (none: no
    // click pending) and the value of "controllerIndexX" at the first click.
    std::optional<host::DateTime> varFirstControllerClick;
    std::optional<host::DateTime> varSecondControllerClick;
    std::int32_t lngFirstControllerIndex = -1;
};

}  // namespace zefa
