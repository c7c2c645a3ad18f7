#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "integrator_run.h"
#include "lib/case.h"
#include "lib/case_file.h"

// The process flowsheet and the recorded variables of a case file.
namespace refhost {

// Builds the plant from a case file's "flowsheet" section. Throws
// CaseFileError naming the key at fault (and the nearest valid name where
// that helps).
std::unique_ptr<Plant> LoadFlowsheet(const nlohmann::json& section, const std::string& file);
// The section as it stands now: present stream conditions, valve positions
// and controller outputs.
nlohmann::json SaveFlowsheet(const Plant& plant);
// Adds the plant's operations to the case's flowsheet (or its named
// sub-flowsheets), so that the host's lookups find them.
void AddPlantToCase(const Plant& plant, const nlohmann::json& section, RefFlowsheet& flowsheet);
// Resolves stream names of the unit variables against the plant.
StreamResolver PlantStreams(const Plant& plant);

// One recorded column: header text and the value in the unit asked for.
struct RecordColumn {
    std::string header;
    std::function<double()> value;
};

struct RecordPlan {
    std::optional<double> end_time;  // "end_time" of the section
    std::vector<RecordColumn> columns;
};

// Reads the "record" section: what to record and until when. Variables name
// a stream ("stream" + "variable"), a unit operation's member ("unit" +
// "member") or a number variable of a pipeline unit ("unit" + "variable").
RecordPlan LoadRecord(const nlohmann::json& section, const std::string& file, const Plant& plant,
                      const std::vector<std::shared_ptr<PipelineUnit>>& units);

}  // namespace refhost
