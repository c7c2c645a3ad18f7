#pragma once

// The mass balance of a coupled run: what entered through the host's feeds,
// what left through its sinks, and how much the inventory of every coupled
// pipeline (its total mass, as its server reports it) and of the host's
// holdups changed meanwhile.

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "extension/tool_interface.h"
#include "lib/case.h"
#include "lib/integrator_run.h"

namespace zefalink {

// The total mass of each coupled pipeline, read from its server through a
// global trend of the catalogue's key RMTOT. A unit that does not trend it
// gets a trend row of its own for the run; Forget takes those rows out again
// before the case is saved, so the saved case keeps the user's trends.
class PipelineInventory {
  public:
    // Before the unit's extension is initialised: finds or adds the trend.
    void Watch(const std::shared_ptr<refhost::PipelineUnit>& unit);
    // Sum of the watched pipelines' total masses now, kg; NaN while one of
    // them is not known.
    double TotalKg() const;
    // After a run: has every watched unit refresh its trends through the
    // tool functions, so that its inventory is the pipeline's at the run's
    // end time, not at the last periodic refresh (a run interval or more
    // before it, while the feeds and sinks are counted to the end).
    void RefreshAtTheEnd(const ZefaToolInterface* tools,
                         const std::vector<refhost::ExtensionUnit>& units);
    // Texts for the units whose trends (the inventory among them) are
    // refreshed less often than every host step of `step` seconds and were
    // not refreshed at the end: their inventory is then up to
    // TrendFrequency old.
    std::vector<std::string> Caveats(double step) const;
    // Adds a host step of `dt` seconds of the flows the pipelines report at
    // their connections: what they took in at their sources and released at
    // their boundaries.
    void AccumulateConnectionFlows(double dt);
    // {"pipeline_inflow_kg", "pipeline_outflow_kg"} so far; null when a unit
    // has an inlet boundary or an outlet source, whose flows are not counted.
    nlohmann::json ConnectionFlows() const;
    // Takes the added trend rows out of the units again.
    void Forget();
    bool Empty() const { return watched_.empty(); }

  private:
    struct Watched {
        std::shared_ptr<refhost::PipelineUnit> unit;
        std::size_t row = 0;
        bool added = false;
        bool refreshed = false;  // at the end of the run
    };
    std::vector<Watched> watched_;
    double inflow_kg_ = 0.0, outflow_kg_ = 0.0;
    bool all_counted_ = true;
};

// The "mass_balance" object of the run summary. `inventory_change` is NaN
// when the pipelines' inventory could not be read. A balance that does not
// close within 1 % of the feeds adds a warning text to `warnings`.
// `connection_flows` (PipelineInventory::ConnectionFlows) goes into the
// object and, when the balance does not close, into the warning, so that it
// says on which side the host and the pipelines disagree.
nlohmann::json MassBalance(double feeds_kg, double sinks_kg, double inventory_change_kg,
                           double host_holdup_change_kg, std::vector<std::string>& warnings,
                           const nlohmann::json& connection_flows = nullptr);

}  // namespace zefalink
