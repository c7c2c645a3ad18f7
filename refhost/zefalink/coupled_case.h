#pragma once

// The host side of a new coupled case, built around a pipeline model: each
// model source fed by a host feed through a valve, each boundary at a branch
// inlet fed the same way, each boundary at a branch outlet delivering through
// a valve into a sink held at the boundary's pressure; the boundary pressures
// and flows recorded and one pressure profile along the first branch.

#include <string>

#include "lib/case_file.h"

namespace zefalink {

// Reads the model file at `model_path` and fills the case's flowsheet,
// solver and record sections and the unit's connection, start and profile
// variables. Returns an error text (the model's input error with its line,
// or a model without connections), empty on success.
std::string WireCoupledCase(refhost::HostCase& c, refhost::PipelineUnit& unit,
                            const std::string& model_path);

}  // namespace zefalink
