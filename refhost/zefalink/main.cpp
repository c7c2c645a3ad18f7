// zefalink: the reference host's command-line program; registers each command
// and runs the one asked for.
#include <CLI/CLI.hpp>

#include "commands.h"

int main(int argc, char** argv) {
    CLI::App app{"zefalink: reference host for the pipeline coupling extension"};
    app.set_version_flag("--version", std::string("zefalink ") + ZEFALINK_VERSION);
    app.require_subcommand(1);
    int exit_code = 0;
    zefalink::AddCatalogueCommand(app, exit_code);
    zefalink::AddRunCommand(app, exit_code);
    zefalink::AddNewCommand(app, exit_code);
    zefalink::AddShowCommand(app, exit_code);
    zefalink::AddSnapshotCommand(app, exit_code);
    zefalink::AddPingCommand(app, exit_code);
    zefalink::AddSetCommand(app, exit_code);
    zefalink::AddPressCommand(app, exit_code);
    zefalink::AddStandaloneCommand(app, exit_code);
    zefalink::AddCheckCommand(app, exit_code);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        // Usage errors exit 64; --help exits 0.
        return rc == 0 ? 0 : 64;
    }
    return exit_code;
}
