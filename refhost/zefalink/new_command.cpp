// zefalink new: creates a case with one pipeline unit operation initialised
// as a new case, applies plain variable settings and saves it.
#include <filesystem>
#include <iostream>
#include <set>

#include "commands.h"
#include "coupled_case.h"
#include "lib/view_edit.h"
#include "pipeline_library.h"
#include "settings_check.h"

namespace zefalink {
namespace {

namespace fs = std::filesystem;

struct NewOptions {
    std::string case_path;
    std::string model_dir;
    std::string input;
    std::vector<std::string> settings;
    std::string name = "PIPE-100";
    bool force = false;
    bool coupled = false;
    std::optional<int> port;
};

// Applies TAG=VALUE to a text or number variable. An empty value makes a
// number unset. Returns an error text, empty on success.
std::string ApplySetting(refhost::PipelineUnit& unit, const std::string& setting) {
    const std::size_t eq = setting.find('=');
    if (eq == std::string::npos || eq == 0) return "expected TAG=VALUE, got \"" + setting + "\"";
    const std::string tag = setting.substr(0, eq);
    const std::string value = setting.substr(eq + 1);
    std::shared_ptr<host::Variable> variable;
    try {
        variable = unit.FindVariable(tag);
    } catch (const std::exception&) {
        return "no variable " + tag;
    }
    if (auto text = std::dynamic_pointer_cast<host::TextVariable>(variable)) {
        text->SetValue(value);
        return "";
    }
    if (auto number = std::dynamic_pointer_cast<host::NumberVariable>(variable)) {
        double v = host::kEmptyNumber;
        if (!value.empty() && !refhost::ParseNumber(value, v))
            return tag + ": \"" + value + "\" is not a number";
        number->SetValue(v);
        return "";
    }
    return tag + " is not a plain text or number variable";
}

int RunNew(NewOptions o) {
    std::error_code ec;
    const std::string path = fs::absolute(o.case_path, ec).string();
    if (fs::exists(path, ec) && !o.force) {
        std::cerr << "error: " << path << " exists; give --force to replace it\n";
        return kExitCannotCreate;
    }
    if (o.coupled && o.input.empty()) {
        std::cerr << "error: --coupled needs the pipeline model: --model FILE.inp\n";
        return kExitUsage;
    }
    // A coupled case's model is a file: a plain name is one in the current folder.
    if (o.coupled && o.model_dir.empty() && o.input.find('/') == std::string::npos)
        o.input = "./" + o.input;
    if (!o.input.empty() && o.input.find('/') != std::string::npos) {
        // A path: the model folder is its folder unless given.
        if (o.model_dir.empty()) o.model_dir = fs::path(o.input).parent_path().string();
        o.input = fs::path(o.input).filename().string();
    }
    if (!o.model_dir.empty()) {
        o.model_dir = fs::absolute(o.model_dir, ec).lexically_normal().string();
        while (o.model_dir.size() > 1 && o.model_dir.back() == '/') o.model_dir.pop_back();
        if (!fs::is_directory(o.model_dir, ec)) {
            std::cerr << "error: the model folder " << o.model_dir << " does not exist\n";
            return kExitUsage;
        }
    }

    PipelineLibrary library;
    std::string error;
    if (!library.Open(error)) {
        std::cerr << "error: " << error << '\n';
        return kExitInternal;
    }
    DefaultServerPath();

    refhost::HostCase c = refhost::NewCase(path);
    EchoHostOutput(c);
    auto unit = std::make_shared<refhost::PipelineUnit>(o.name, c.host_case, c.window, c.ui);
    c.host_case->Flowsheet()->Add(unit);
    c.units.push_back(unit);

    host::UnitOperationExtension* extension = library.Create();
    if (!extension) {
        std::cerr << "error: the extension library does not create \"ZEFAPipeline.ZEFA\"\n";
        return kExitInternal;
    }
    if (extension->Initialize(unit, false) != 4815) {
        extension->Terminate();
        std::cerr << "error: the pipeline unit could not be initialised\n";
        return kExitFailed;
    }
    if (!o.model_dir.empty()) {
        // A model folder at or below the case's folder is kept relative to it,
        // so that the two can be moved together.
        const fs::path relative =
            fs::path(o.model_dir).lexically_relative(fs::path(path).parent_path());
        const bool inside = !relative.empty() && *relative.begin() != "..";
        unit->Get<host::TextVariable>("zefaModelPath")
            ->SetValue(inside ? relative.string() : o.model_dir);
    }
    if (!o.input.empty()) unit->Get<host::TextVariable>("InputFile")->SetValue(o.input);
    // No snapshot is named yet: the model starts from its input file.
    unit->Get<host::NumberVariable>("boolAutoLoadSS")->SetValue(0);
    if (o.port) {
        unit->Get<host::NumberVariable>("PortNumber")->SetValue(*o.port);
        unit->Get<host::TextVariable>("ServerName")->SetValue(std::to_string(*o.port));
    }
    std::set<std::string> tags = {"zefaModelPath"};
    if (o.port) tags.insert("PortNumber");
    for (const auto& setting : o.settings) tags.insert(setting.substr(0, setting.find('=')));
    if (const std::string problem = RefusedSetting(*unit, tags, fs::path(path).parent_path());
        !problem.empty()) {
        extension->Terminate();
        std::cerr << "error: " << problem << '\n';
        return kExitUsage;
    }
    if (o.coupled) {
        const std::string model = (fs::path(o.model_dir) / o.input).string();
        if (const std::string problem = WireCoupledCase(c, *unit, model); !problem.empty()) {
            extension->Terminate();
            std::cerr << "error: invalid model: " << problem << '\n';
            return kExitInvalidCase;
        }
    }
    for (const auto& setting : o.settings) {
        const std::string problem = ApplySetting(*unit, setting);
        if (!problem.empty()) {
            extension->Terminate();
            std::cerr << "error: --set " << problem << '\n';
            return kExitUsage;
        }
    }
    extension->Save();
    extension->Terminate();
    try {
        refhost::SaveCase(c, path);
    } catch (const std::exception& e) {
        std::cerr << "error: cannot save " << path << ": " << e.what() << '\n';
        return kExitCannotCreate;
    }
    std::cout << "Saved " << path << '\n';
    return kExitOk;
}

}  // namespace

void AddNewCommand(CLI::App& app, int& exit_code) {
    auto options = std::make_shared<NewOptions>();
    CLI::App* cmd = app.add_subcommand(
        "new", "Create a case with one pipeline unit operation (new-case defaults) and save it");
    cmd->add_option("case", options->case_path, "Case file to create (CASE.json)")->required();
    cmd->add_option("--model-dir", options->model_dir, "Folder of the pipeline model files");
    cmd->add_option("--input,--model", options->input,
                    "Pipeline input file: a name in the model folder, or a path (its folder "
                    "is then the model folder)");
    cmd->add_flag("--coupled", options->coupled,
                  "Also write the host side: a feed and valve per model source, a valve and "
                  "a sink per boundary, the boundaries recorded, auto-start on");
    cmd->add_option("--port", options->port,
                    "Port of the unit's own server (PortNumber and ServerName)")
        ->check(CLI::Range(1, 32767));
    cmd->add_option("--set", options->settings, "TAG=VALUE for a text or number variable")
        ->allow_extra_args(false);
    cmd->add_option("--name", options->name, "Name of the pipeline unit operation");
    cmd->add_flag("--force", options->force, "Replace an existing case file");
    cmd->callback([options, &exit_code] { exit_code = RunNew(*options); });
}

}  // namespace zefalink
