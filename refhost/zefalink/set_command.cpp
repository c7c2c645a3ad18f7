// zefalink set: changes variables of a recalled case as the user does in the
// pipeline unit's view, and saves the case when every change was accepted.
#include <iostream>

#include "case_session.h"
#include "commands.h"

namespace zefalink {
namespace {

struct SetOptions {
    std::string case_path;
    std::vector<std::string> edits;
    std::string unit;
    std::vector<std::string> answers;
};

int RunSet(const SetOptions& o) {
    std::vector<refhost::ViewEdit> edits;
    try {
        for (const auto& text : o.edits) edits.push_back(refhost::ParseEdit(text));
    } catch (const refhost::EditSyntaxError& e) {
        std::cerr << "error: " << e.what() << '\n';
        return kExitUsage;
    }
    CaseSession session;
    if (const int rc = session.Open(o.case_path, o.unit, o.answers); rc != kExitOk) return rc;
    return session.EditAndSave(edits);
}

}  // namespace

void AddSetCommand(CLI::App& app, int& exit_code) {
    auto options = std::make_shared<SetOptions>();
    CLI::App* cmd = app.add_subcommand(
        "set", "Change variables of a case as the unit's view does, then save the case");
    cmd->add_option("case", options->case_path, "Case file (CASE.case.json)")->required();
    cmd->add_option("edits", options->edits,
                    "TAG=VALUE, TAG[ROW]=VALUE for an array element (rows from 0), or a stream "
                    "list's TAG=STREAM (appended), TAG[ROW]=STREAM, TAG[ROW]= (row removed); "
                    "an empty number is unset")
        ->required();
    cmd->add_option("--unit", options->unit, "Pipeline unit operation (default: the first)");
    AddAnswerOption(*cmd, options->answers);
    cmd->callback([options, &exit_code] { exit_code = RunSet(*options); });
}

}  // namespace zefalink
