#pragma once

// A recalled case whose pipeline unit operations have their extensions
// initialised, as the host has them while the user works on the case: the
// set, press and standalone commands act on it as the user would in the
// unit's view.

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "lib/view_edit.h"
#include "pipeline_library.h"

namespace zefalink {

// Queues the answers to the extension's dialogs: "yes", "no", "cancel" (a
// file or folder dialog cancelled), "file=PATH" or "folder=PATH" (the path
// chosen). Answers of one kind are given in order; a dialog without an
// answer gets the default (No, cancel). With `case_folder` set, the answers
// come from a case file: a path must then be a relative path that stays
// inside the case folder, and is made absolute there. Returns an error text,
// empty on success.
std::string QueueAnswers(refhost::ScriptedUserInterface& ui,
                         const std::vector<std::string>& answers,
                         const std::string& case_folder = "");

// The --answer option of the commands that act on a case.
void AddAnswerOption(CLI::App& cmd, std::vector<std::string>& answers);

class CaseSession {
  public:
    CaseSession() = default;
    CaseSession(const CaseSession&) = delete;
    CaseSession& operator=(const CaseSession&) = delete;
    // Terminates every extension and makes sure no server it started is left.
    ~CaseSession();

    // Recalls the case, queues the answers (those given first, then the
    // case's script), and initialises an extension (recalling) for the unit
    // named `unit_name` (the first when empty). Errors are written to
    // standard error; the result is 0 or the exit code.
    int Open(const std::string& path, const std::string& unit_name,
             const std::vector<std::string>& answers);

    refhost::HostCase& Case() { return loaded_.c; }
    refhost::PipelineUnit& Unit() { return *unit_; }
    host::UnitOperationExtension& Extension() { return *extension_; }
    const ZefaToolInterface* Tools() const { return library_.Tools(); }
    refhost::StreamResolver Streams() const;

    // Makes the edit as the view does. A refusal is written to standard
    // error (the extension's own message has been echoed already); false.
    bool Edit(const refhost::ViewEdit& edit);
    // Makes the edits in order and saves the case. At the first refused edit
    // the rest are not made and the case file is left as it was: 1.
    int EditAndSave(const std::vector<refhost::ViewEdit>& edits);
    // Lets the extension save its part and writes the case file atomically.
    // The result is 0 or the exit code.
    int Save();

  private:
    PipelineLibrary library_;
    LoadedCase loaded_;
    std::string path_;
    std::shared_ptr<refhost::PipelineUnit> unit_;
    host::UnitOperationExtension* extension_ = nullptr;
};

}  // namespace zefalink
