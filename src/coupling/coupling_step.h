#pragma once

// State of the coupled run: the host's clock as last read, whether a server
// step is outstanding, the classification of the connections into sources and
// boundaries, the host tables that carry values to and from the server, and
// the boundary results last put on the streams.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/objects.h"
#include "host/variables.h"

namespace zefa {

struct CouplingStep {
    double dblKavrisTime = 0.0;      // the host integrator's time, seconds
    double dblKavrisStepSize = 0.0;  // the host integrator's step size, seconds
    bool boolStepPending = false;    // a server step was started and not yet taken
    // Host steps whose server step did not finish within "TimeStepTimeOut".
    std::uint32_t stepTimeOuts = 0;

    // Connections attached to a source (the host gives the mass flow) and to
    // a boundary (the host gives the pressure).
    std::int16_t intNumSources = 0;
    std::int16_t intNumBoundaries = 0;

    // Input table: the host table operation, its rows' units, and the row of
    // each coupled controller's value.
    std::shared_ptr<host::TableOperation> objInputTable;
    std::vector<std::string> varInputUnits;
    std::vector<std::int16_t> intControllerRows;
    // Output table: the host table operation and its rows' units.
    std::shared_ptr<host::TableOperation> objOutputTable;
    int varOutputValueHandle = 0;
    std::vector<std::string> varOutputUnits;

    // Source pressures (per source) and boundary flows (per boundary x 3
    // phases: gas, oil, water; kg/s) of the previous exchange and as last
    // interpolated to the host time.
    std::vector<double> dblLastSourcePressures;
    std::vector<double> dblSourcePressures;
    host::NumberArray dblLastBoundaryFlows;
    host::NumberArray dblBoundaryFlows;
};

}  // namespace zefa
