#pragma once

// What a run leaves behind: in its output folder only the files of the last
// run, and in the model folder only the snapshot that the saved case names.

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "lib/case.h"

namespace zefalink {

// The files a run writes into its output folder, listed in a hidden manifest
// there (".zefalink-outputs"), so that the next run into the folder removes
// them first (no stale profile pictures beside new results) and never a file
// it did not write.
class OutputFolder {
  public:
    // Removes the files the manifest of `folder` lists (plain names only).
    explicit OutputFolder(std::string folder);
    // Notes a file (a name in the folder) the run wrote.
    void Wrote(const std::string& name);
    // Writes the manifest of this run's files. Never throws.
    void Finish() const;

  private:
    std::string folder_;
    std::vector<std::string> written_;
};

// The snapshot a saved case at `case_path` names for unit `unit`, or empty
// when there is no such case, unit or snapshot.
std::string SnapshotNamedBy(const std::string& case_path, const std::string& unit);

// After a run saved snapshot `now` for a case that named `before` (at the
// same saved path): removes `before` from `model_folder` unless it is `now`
// or `keep` (the snapshot the run's own case file names), and unless it is
// not a snapshot of the input file `input` ("BASE" + time stamp + ".snp").
// Returns the path removed, empty when none.
std::string RemoveReplacedSnapshot(const std::string& model_folder, const std::string& input,
                                   const std::string& before, const std::string& now,
                                   const std::string& keep);

// The snapshot each unit's saved case named before a run (the saved case at
// `saved_case`) and the one the case the run started from names.
struct EarlierSnapshots {
    std::map<std::string, std::string> saved, input;
};
EarlierSnapshots SnapshotsBeforeRun(
    const std::string& saved_case, const std::string& input_case,
    const std::vector<std::shared_ptr<refhost::PipelineUnit>>& units);

// After the case was saved: per unit the snapshot it now names, in the model
// folder ({"UNIT": path}), with the replaced one removed (RemoveReplacedSnapshot);
// `lines` gets a text per unit saying where its snapshot is.
nlohmann::json TidySnapshots(const EarlierSnapshots& before,
                             const std::vector<std::shared_ptr<refhost::PipelineUnit>>& units,
                             std::vector<std::string>& lines);

}  // namespace zefalink
