// zefalink snapshot: recalls a case, starts and connects the pipeline server,
// loads and initialises the model, saves a snapshot, stops the server and
// saves the case with the new snapshot name.
#include <filesystem>
#include <iostream>

#include "commands.h"
#include "pipeline_library.h"

namespace zefalink {
namespace {

namespace fs = std::filesystem;

int RunSnapshot(const std::string& case_arg, const std::string& unit_name) {
    std::error_code ec;
    const std::string path = fs::absolute(case_arg, ec).string();
    PipelineLibrary library;
    LoadedCase loaded;
    if (const int rc = OpenLibraryAndCase(library, path, loaded); rc != kExitOk) return rc;
    refhost::HostCase& c = loaded.c;
    std::shared_ptr<refhost::PipelineUnit> unit;
    for (const auto& u : c.units)
        if (unit_name.empty() || u->Name() == unit_name) {
            unit = u;
            break;
        }
    if (!unit) {
        std::cerr << "error: invalid case: " << path << ": no pipeline unit"
                  << (unit_name.empty() ? "" : " named " + unit_name) << '\n';
        return kExitInvalidCase;
    }
    EchoHostOutput(c);

    host::UnitOperationExtension* extension = library.Create();
    if (!extension) return kExitInternal;
    if (extension->Initialize(unit, true) != 4815) {
        extension->Terminate();
        std::cerr << "error: the pipeline unit could not be initialised\n";
        return kExitFailed;
    }
    const ZefaToolInterface* tools = library.Tools();
    if (tools == nullptr) {
        extension->Terminate();
        std::cerr << "error: the pipeline extension library has no tool functions\n";
        return kExitInternal;
    }
    int rc = kExitOk;
    if (tools->open_connection(extension) != 1) {
        std::cerr << "error: could not connect to the pipeline server\n";
        rc = kExitServerUnavailable;
    } else {
        if (tools->load_model(extension) != 1 || tools->initialize_model(extension) != 1) {
            std::cerr << "error: the pipeline server could not load and initialise the model\n";
            rc = kExitFailed;
        } else {
            extension->Save();
        }
        c.ui->QueueYesNo(false);  // no second snapshot at the close
        tools->close_connection(extension);
    }
    // Only a server this process started is ever ended here.
    const int server_pid = tools->started_server_pid(extension);
    const std::string model_path = unit->Get<host::TextVariable>("zefaModelPath")->GetValue();
    const std::string snapshot = unit->Get<host::TextVariable>("SnapshotFile")->GetValue();
    extension->Terminate();
    EnsureServerStopped(server_pid);
    if (rc != kExitOk) return rc;

    const fs::path file = fs::path(model_path) / snapshot;
    if (snapshot.empty() || !fs::is_regular_file(file, ec)) {
        std::cerr << "error: no snapshot file " << file.string() << '\n';
        return kExitFailed;
    }
    try {
        refhost::SaveCase(c, path);
    } catch (const std::exception& e) {
        std::cerr << "error: cannot save " << path << ": " << e.what() << '\n';
        return kExitCannotCreate;
    }
    std::cout << "Snapshot " << file.string() << '\n';
    return kExitOk;
}

}  // namespace

void AddSnapshotCommand(CLI::App& app, int& exit_code) {
    auto path = std::make_shared<std::string>();
    auto unit = std::make_shared<std::string>();
    CLI::App* cmd = app.add_subcommand(
        "snapshot", "Start the pipeline server, load and initialise the model, save a snapshot");
    cmd->add_option("case", *path, "Case file (CASE.json)")->required();
    cmd->add_option("--unit", *unit, "Pipeline unit operation (default: the first)");
    cmd->callback([path, unit, &exit_code] { exit_code = RunSnapshot(*path, *unit); });
}

}  // namespace zefalink
