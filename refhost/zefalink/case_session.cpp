// A recalled case with its extensions initialised, for the commands that act
// on a saved case: open, edit, save, and the answers to its dialogs.
#include "case_session.h"

#include <filesystem>
#include <iostream>
#include <set>

#include "lib/flowsheet_file.h"
#include "settings_check.h"

namespace zefalink {

namespace fs = std::filesystem;

std::string QueueAnswers(refhost::ScriptedUserInterface& ui,
                         const std::vector<std::string>& answers, const std::string& case_folder) {
    for (const auto& answer : answers) {
        if (answer == "yes" || answer == "no") {
            ui.QueueYesNo(answer == "yes");
            continue;
        }
        if (answer == "cancel") {
            ui.QueuePath(std::nullopt);
            continue;
        }
        const std::size_t eq = answer.find('=');
        const std::string kind = eq == std::string::npos ? answer : answer.substr(0, eq);
        if (eq == std::string::npos || (kind != "file" && kind != "folder") ||
            eq + 1 == answer.size())
            return "\"" + answer +
                   "\" is no answer: give yes, no, cancel, file=PATH or folder=PATH";
        fs::path path = answer.substr(eq + 1);
        if (!case_folder.empty()) {
            // A case file chooses only among its own folder's files.
            const fs::path normal = path.lexically_normal();
            if (path.is_absolute() || normal.empty() || *normal.begin() == "..")
                return "\"" + answer + "\": a case's script names paths inside the case folder";
            path = fs::path(case_folder) / normal;
        }
        ui.QueuePath(path.string());
    }
    return "";
}

void AddAnswerOption(CLI::App& cmd, std::vector<std::string>& answers) {
    cmd.add_option("--answer", answers,
                   "Answer to the next dialog of its kind: yes, no, cancel, file=PATH or "
                   "folder=PATH (repeatable; others get the default No or cancel)")
        ->allow_extra_args(false);
}

CaseSession::~CaseSession() {
    if (extension_ == nullptr) return;
    const ZefaToolInterface* tools = library_.Tools();
    const int pid = tools ? tools->started_server_pid(extension_) : 0;
    extension_->Terminate();
    if (pid > 0) EnsureServerStopped(pid);
}

int CaseSession::Open(const std::string& path, const std::string& unit_name,
                      const std::vector<std::string>& answers) {
    std::error_code ec;
    path_ = fs::absolute(path, ec).string();
    if (const int rc = OpenLibraryAndCase(library_, path_, loaded_); rc != kExitOk) return rc;
    DefaultServerPath();
    refhost::HostCase& c = loaded_.c;
    for (const auto& u : c.units)
        if (unit_name.empty() || u->Name() == unit_name) {
            unit_ = u;
            break;
        }
    if (!unit_) {
        std::cerr << "error: invalid case: " << path_ << ": no pipeline unit"
                  << (unit_name.empty() ? "" : " named " + unit_name) << '\n';
        return kExitInvalidCase;
    }
    if (std::string problem = QueueAnswers(*c.ui, answers); !problem.empty()) {
        std::cerr << "error: --answer " << problem << '\n';
        return kExitUsage;
    }
    if (!c.script.is_null()) {
        const nlohmann::json& script = c.script;
        std::vector<std::string> scripted;
        const bool valid = script.is_object() && script.size() == 1 && script.contains("answers") &&
                           script["answers"].is_array();
        if (valid)
            for (const auto& a : script["answers"])
                if (a.is_string()) scripted.push_back(a.get<std::string>());
        if (!valid || scripted.size() != script["answers"].size()) {
            std::cerr << "error: invalid case: " << path_
                      << ": script: expected {\"answers\": [texts]}\n";
            return kExitInvalidCase;
        }
        const std::string folder = fs::path(path_).parent_path().string();
        if (std::string problem = QueueAnswers(*c.ui, scripted, folder); !problem.empty()) {
            std::cerr << "error: invalid case: " << path_ << ": script.answers: " << problem
                      << '\n';
            return kExitInvalidCase;
        }
    }
    EchoHostOutput(c);
    extension_ = library_.Create();
    if (!extension_) {
        std::cerr << "error: the extension library does not create \"ZEFAPipeline.ZEFA\"\n";
        return kExitInternal;
    }
    if (extension_->Initialize(unit_, true) != 4815) {
        std::cerr << "error: " << unit_->Name() << ": the pipeline unit could not be initialised\n";
        return kExitFailed;
    }
    return kExitOk;
}

refhost::StreamResolver CaseSession::Streams() const {
    if (loaded_.plant) return refhost::PlantStreams(*loaded_.plant);
    return nullptr;
}

bool CaseSession::Edit(const refhost::ViewEdit& edit) {
    const refhost::EditOutcome outcome = refhost::EditAsView(*unit_, *extension_, edit, Streams());
    if (outcome.stored) return true;
    if (!outcome.host_reason.empty())
        std::cerr << "error: " << unit_->Name() << ": " << outcome.host_reason << '\n';
    else
        std::cerr << "error: " << unit_->Name() << ": the change " << edit.Describe()
                  << " was refused\n";
    return false;
}

int CaseSession::EditAndSave(const std::vector<refhost::ViewEdit>& edits) {
    std::set<std::string> tags;
    for (const auto& edit : edits) {
        if (!Edit(edit)) return kExitFailed;
        tags.insert(edit.tag);
    }
    const std::string folder = fs::path(path_).parent_path().string();
    if (const std::string problem = RefusedSetting(*unit_, tags, folder); !problem.empty()) {
        std::cerr << "error: " << unit_->Name() << ": " << problem << "; " << path_
                  << " is left as it was\n";
        return kExitFailed;
    }
    const int rc = Save();
    if (rc == kExitOk) std::cout << "Saved " << path_ << '\n';
    return rc;
}

int CaseSession::Save() {
    extension_->Save();
    try {
        refhost::SaveCase(loaded_.c, path_);
    } catch (const std::exception& e) {
        std::cerr << "error: cannot save " << path_ << ": " << e.what() << '\n';
        return kExitCannotCreate;
    }
    return kExitOk;
}

}  // namespace zefalink
