// zefalink press: presses buttons of the pipeline unit's view on a recalled
// case, in the order given, and saves the case.
#include <iostream>

#include "case_session.h"
#include "commands.h"

namespace zefalink {
namespace {

struct PressOptions {
    std::string case_path;
    std::vector<std::string> commands;
    std::string unit;
    std::vector<std::string> answers;
};

std::string Buttons() {
    std::string list;
    for (const auto& tag : refhost::PipelineCommandTags()) list += (list.empty() ? "" : ", ") + tag;
    return list;
}

int RunPress(const PressOptions& o) {
    std::vector<refhost::ViewEdit> edits;
    for (const auto& command : o.commands) {
        if (!refhost::IsCommandTag(command)) {
            std::cerr << "error: \"" << command << "\" is no button of the view; the buttons are "
                      << Buttons() << '\n';
            return kExitUsage;
        }
        edits.push_back(refhost::PressEdit(command));
    }
    CaseSession session;
    if (const int rc = session.Open(o.case_path, o.unit, o.answers); rc != kExitOk) return rc;
    return session.EditAndSave(edits);
}

}  // namespace

void AddPressCommand(CLI::App& app, int& exit_code) {
    auto options = std::make_shared<PressOptions>();
    CLI::App* cmd = app.add_subcommand(
        "press", "Press buttons of the unit's view (command variables) in order, then save");
    cmd->add_option("case", options->case_path, "Case file (CASE.case.json)")->required();
    cmd->add_option("commands", options->commands,
                    "Command variables, e.g. OpenConnectionMessage LoadInputMsg AddTrend")
        ->required();
    cmd->add_option("--unit", options->unit, "Pipeline unit operation (default: the first)");
    AddAnswerOption(*cmd, options->answers);
    cmd->callback([options, &exit_code] { exit_code = RunPress(*options); });
}

}  // namespace zefalink
