#pragma once

// State of the coupled run: the host's clock as last read, whether a server
// step is outstanding, the classification of the connections into sources and
// boundaries, the host tables that carry values to and from the server, and
// the boundary results last put on the streams.

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "coupling/interface_mass.h"
#include "host/objects.h"
#include "host/variables.h"

namespace zefa {

// Whole hundredths of a second in `seconds`: the resolution at which the
// host's and the pipeline's clocks are compared, so that a host clock summed
// from steps such as 0.1 s meets the pipeline's times exactly.
inline double HostHundredths(double seconds) {
    return std::nearbyint(seconds * 100.0);
}

struct CouplingStep {
    double dblKavrisTime = 0.0;      // the host integrator's time, seconds
    double dblKavrisStepSize = 0.0;  // the host integrator's step size, seconds
    bool boolStepPending = false;    // a server step was started and not yet taken
    // Host steps whose server step did not finish within "TimeStepTimeOut"
    // (or whose replies kept being unusable, see badRepliesInARow).
    std::uint32_t stepTimeOuts = 0;
    // Step replies of this run whose results could not be taken (a value
    // short or too many, empty, not finite), all told and since the last
    // good one.
    std::uint32_t badStepReplies = 0;
    std::uint32_t badRepliesInARow = 0;
    // The last step results taken (the server's trend vector) and the
    // pipeline times the newest and the previous results belong to: the
    // host interpolates between them.
    std::vector<double> dblStepResults;
    // The results before them, from which the host interpolates.
    std::vector<double> dblPreviousStepResults;
    double dblPreviousResultsTime = 0.0;
    // No results taken yet in this run: the first ones are also the previous.
    bool boolFirstResults = false;

    // Connections attached to a source (the host gives the mass flow) and to
    // a boundary (the host gives the pressure).
    std::int16_t intNumSources = 0;
    std::int16_t intNumBoundaries = 0;

    // Input table: the host table operation, its rows' units, and the row of
    // each coupled controller's value.
    std::shared_ptr<host::TableOperation> objInputTable;
    int varInputValueHandle = 0;  // handed back unchanged whenever values are read
    std::vector<std::string> varInputUnits;
    std::vector<std::int16_t> intControllerRows;
    // Output table: the host table operation and its rows' units.
    std::shared_ptr<host::TableOperation> objOutputTable;
    int varOutputValueHandle = 0;  // handed back unchanged whenever values are written
    std::vector<std::string> varOutputUnits;

    // Source pressures (per source) and boundary flows (per boundary x 3
    // phases: gas, oil, water; kg/s) of the previous exchange and as last
    // interpolated to the host time.
    std::vector<double> dblLastSourcePressures;
    std::vector<double> dblSourcePressures;
    host::NumberArray dblLastBoundaryFlows;
    host::NumberArray dblBoundaryFlows;
    // Each boundary's last usable response of its molar flow to its
    // pressure (host's units and sign), stood in for one of the wrong sign.
    std::vector<double> dblBoundarySlopes;

    // Mass through each connection as the host booked it and as the
    // pipeline passed it (interface_mass.h).
    InterfaceMass interfaceMass;
};

}  // namespace zefa
