#pragma once

// Why a coupled run could not start: the root cause of a pipeline unit that
// is not ready, told from its settings and from what its extension reported,
// with the exit code the documentation promises for it.

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "extension/tool_interface.h"
#include "lib/case.h"
#include "lib/integrator_run.h"

namespace zefalink {

struct RootCause {
    std::string text;  // one line naming the unit and the cause
    int code = 0;      // 69: no server to be reached or started; 65: the case or model is wrong
};

// The reports of one unit in the host's message window, each without the
// ": UNIT: KAVRIS-ZEFA Link Error" that ends it.
std::vector<std::string> UnitReports(const std::vector<std::string>& window,
                                     const std::string& unit);

// The root cause for a unit whose pipeline server is not ready.
RootCause UnitNotReadyCause(refhost::PipelineUnit& unit, const std::vector<std::string>& reports);

// Has every unit with a model loaded save its snapshot (the extension's Save),
// the units in the order of the case. Answers one line per unit whose
// snapshot was not saved, with what its extension reported.
std::vector<std::string> SaveSnapshots(
    const std::vector<std::shared_ptr<refhost::PipelineUnit>>& pipeline_units,
    std::vector<refhost::ExtensionUnit>& units, const ZefaToolInterface* tools,
    const refhost::MessageWindow& window);

// The summary as written: two-space indented JSON; a text that is not UTF-8
// is written with replacement characters rather than failing the write.
std::string SummaryText(const nlohmann::json& summary);

// Writes the summary of a run that ended before its first step: `state`
// ("failed", "interrupted") and `why`, no step taken. Failing to write it is
// reported on standard error and otherwise ignored: the cause matters more.
void WriteEarlySummary(const std::filesystem::path& path, nlohmann::json summary,
                       const std::string& state, const std::string& why,
                       const nlohmann::json& warnings, const nlohmann::json& errors);

}  // namespace zefalink
