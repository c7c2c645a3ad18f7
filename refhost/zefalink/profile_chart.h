#pragma once

// profile.svg: the profiles of a pipeline unit at the start of a run, at each
// --profile-every time and at the end, overlaid and labelled with their
// times, a panel per profile variable in the outputs' units, with the
// elevation of each branch along its length beneath.

#include <string>
#include <vector>

#include "extension/tool_interface.h"
#include "lib/case.h"
#include "lib/integrator_run.h"
#include "lib/svg_chart.h"

namespace zefalink {

// One profile as the extension last fetched it.
struct UnitProfile {
    std::string branch, key, unit;
    std::vector<double> x, y;
};

// Every enabled profile the extension of the unit named `name` last fetched,
// read through the tool functions; empty when the library does not offer them.
std::vector<UnitProfile> FetchedProfiles(const ZefaToolInterface* tools,
                                         const std::vector<refhost::ExtensionUnit>& units,
                                         const std::string& name);

class ProfileHistory {
  public:
    explicit ProfileHistory(std::string pressure_unit) : pressure_unit_(std::move(pressure_unit)) {}
    // Keeps every profile in `profiles` as it is at time `t`; without any,
    // the one profile of the plot's `chart`.
    void Capture(double t, const refhost::LineChart& chart,
                 const std::vector<UnitProfile>& profiles = {});
    // Writes the overlays and the elevation of each branch, read from the
    // unit's model file, to `path`; `heading` goes on top. Throws when the
    // file cannot be written.
    void Write(const std::string& path, const std::string& heading,
               refhost::PipelineUnit& unit) const;

  private:
    // One variable along one branch over the times captured.
    struct Panel {
        std::string branch, key, label;  // label: "KEY [shown unit]"
        std::vector<refhost::ChartSeries> times;
    };
    void Add(double t, const UnitProfile& profile);

    std::string pressure_unit_;
    std::vector<Panel> panels_;
};

}  // namespace zefalink
