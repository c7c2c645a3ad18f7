#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "lib/case.h"

// Saving and recalling a reference-host case as a JSON file.
namespace refhost {

// A case file that cannot be read: names the file and the JSON key at fault.
class CaseFileError : public std::runtime_error {
  public:
    CaseFileError(const std::string& file, const std::string& key, const std::string& what)
        : std::runtime_error(file + ": " + (key.empty() ? "" : key + ": ") + what), key_(key) {}
    const std::string& Key() const { return key_; }

  private:
    std::string key_;
};

// The JSON document of a case file. Raises CaseFileError when the file cannot
// be read, is not JSON, or nests arrays and objects deeper than
// kMaxCaseNesting (a hostile file could otherwise exhaust the stack of
// whatever walks it).
inline constexpr int kMaxCaseNesting = 64;
nlohmann::json ReadCaseJson(const std::string& path);

// Finds a material stream of the case by name; null when there is none.
using StreamResolver = std::function<std::shared_ptr<host::MaterialStream>(const std::string&)>;

// Everything a case file holds, recalled into live host objects.
struct HostCase {
    std::string path;  // the case file
    std::shared_ptr<RefCase> host_case;
    std::shared_ptr<MessageWindow> window = std::make_shared<MessageWindow>();
    std::shared_ptr<ScriptedUserInterface> ui = std::make_shared<ScriptedUserInterface>();
    std::vector<std::shared_ptr<PipelineUnit>> units;  // pipeline unit operations
    // Sections owned by other parts of the host (the process flowsheet), kept
    // as read and written back unchanged unless replaced.
    nlohmann::json flowsheet = nullptr;
    nlohmann::json record = nullptr;
    // Edits made while the case runs and the answers to the extension's
    // dialogs (zefalink's schedule and script), kept as read.
    nlohmann::json schedule = nullptr;
    nlohmann::json script = nullptr;
};

// Creates an empty case whose folder is the case file's folder.
HostCase NewCase(const std::string& path);

// Reads a case file. Variables of the pipeline units are restored by tag;
// stream references are resolved with `streams` (unresolved names are errors).
HostCase LoadCase(const std::string& path, const StreamResolver& streams = nullptr);
// Only parses and restores the unit variables into an existing case object.
void LoadUnitVariables(PipelineUnit& unit, const nlohmann::json& variables, const std::string& file,
                       const StreamResolver& streams);

// Writes the case atomically: a temporary file beside it, then a rename, so a
// failed save never leaves a damaged case behind.
void SaveCase(const HostCase& c, const std::string& path);

nlohmann::json UnitVariablesToJson(const PipelineUnit& unit);

}  // namespace refhost
