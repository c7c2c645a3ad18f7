#pragma once

#include <CLI/CLI.hpp>

// Every zefalink command adds its subcommand to the application. The callback
// stores the process exit code in `exit_code`.
namespace zefalink {

void AddCatalogueCommand(CLI::App& app, int& exit_code);
void AddRunCommand(CLI::App& app, int& exit_code);
void AddNewCommand(CLI::App& app, int& exit_code);
void AddShowCommand(CLI::App& app, int& exit_code);
void AddSnapshotCommand(CLI::App& app, int& exit_code);
void AddPingCommand(CLI::App& app, int& exit_code);
void AddSetCommand(CLI::App& app, int& exit_code);
void AddPressCommand(CLI::App& app, int& exit_code);
void AddStandaloneCommand(CLI::App& app, int& exit_code);
void AddCheckCommand(CLI::App& app, int& exit_code);

}  // namespace zefalink
