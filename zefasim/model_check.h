#pragma once

// What `zefa-server --check FILE.inp` reports: a model file read and built
// without serving it, summarised as its branches (length, pipes, sections),
// sources, boundaries, wells, controllers, positions and plugs with their
// labels, or the input error with its file and line.

#include <iosfwd>
#include <string>
#include <vector>

#include "model.h"

namespace zefasim {

// The labels a coupled host can name, by kind.
struct ModelLabels {
    std::vector<std::string> branches, sources, boundaries, wells, controllers, positions, plugs;
};

ModelLabels LabelsOf(const Model& model);

// The summary, one item a line, labels first after the kind:
//   branch FLOWLINE: 4200 m, 50 sections, pipes PIPE-1 (4000 m, 40), RISER (200 m, 10)
//   source IN: branch FLOWLINE at 50 m, 8 kg/s
std::string DescribeModel(const Model& model, const std::string& name);

// Reads and builds the model file at `path`: the summary to `out` and 0, or
// "error: FILE:LINE: message" to `err` and 65.
int CheckModelFile(const std::string& path, std::ostream& out, std::ostream& err);

}  // namespace zefasim
