// zefalink run: loads a case, checks it, opens the extensions of its
// pipeline unit operations and hands it to the integration
// (run_integration.cpp); the command's options.
#include <cctype>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <iostream>

#include "commands.h"
#include "run_case.h"
#include "unit_values.h"

namespace zefalink {

std::string Number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.10g", v);
    return buf;
}

double UnitNumber(refhost::PipelineUnit& unit, const char* tag) {
    try {
        auto v = std::dynamic_pointer_cast<host::NumberVariable>(unit.FindVariable(tag));
        return v ? v->GetValue() : host::kEmptyNumber;
    } catch (const std::exception&) {
        return host::kEmptyNumber;
    }
}

Level LevelNamed(const std::string& name) {
    return name == "error"     ? Level::Error
           : name == "warning" ? Level::Warning
           : name == "debug"   ? Level::Debug
                               : Level::Info;
}

namespace {

namespace fs = std::filesystem;

// Loads and checks the case, its scheduled edits and the end time, and makes
// the output folder. Result: kExitOk, or the exit code of what is wrong.
int CheckCase(const RunOptions& o, Log& log, CheckedCase& k) {
    if (o.case_path.size() < 10 ||
        o.case_path.compare(o.case_path.size() - 10, 10, ".case.json") != 0) {
        log.Write(Level::Error, o.case_path + ": case files end in .case.json");
        return kExitUsage;
    }

    LoadedCase& loaded = k.loaded;
    refhost::RecordPlan& plan = k.plan;
    try {
        loaded = LoadCaseWithFlowsheet(o.case_path);
        if (!loaded.plant) {
            throw refhost::CaseFileError(o.case_path, "flowsheet", "missing: nothing to run");
        }
        plan = refhost::LoadRecord(loaded.c.record, o.case_path, *loaded.plant, loaded.c.units);
    } catch (const refhost::CaseFileError& e) {
        log.Write(Level::Error, std::string("invalid case: ") + e.what());
        return kExitInvalidCase;
    } catch (const std::exception& e) {
        log.Write(Level::Error, std::string("invalid case: ") + o.case_path + ": " + e.what());
        return kExitInvalidCase;
    }

    refhost::HostCase& c = loaded.c;
    k.streams = refhost::PlantStreams(*loaded.plant);
    if (const std::string e = k.schedule.Load(o.at, c, k.streams); !e.empty()) {
        log.Write(Level::Error, e);
        return kExitUsage;
    }
    auto integrator = c.host_case->SolverObject()->integrator_;
    const double t0 = k.t0 = integrator->CurrentTime();
    double& end = k.end;
    if (o.until) {
        end = *o.until;
    } else if (o.duration) {
        end = t0 + *o.duration;
    } else if (plan.end_time) {
        end = *plan.end_time;
    } else {
        log.Write(Level::Error,
                  "no end time: give --until or --duration, or record.end_time in "
                  "the case");
        return kExitUsage;
    }
    if (!std::isfinite(end) || end < t0) {
        log.Write(Level::Error, "the end time " + Number(end) + " s lies before the case time " +
                                    Number(t0) + " s");
        return kExitUsage;
    }
    const double step = integrator->StepSize();
    if ((end - t0) / step > 1e7) {
        log.Write(Level::Error,
                  "the run would take more than 10 million steps of " + Number(step) + " s");
        return kExitUsage;
    }
    std::error_code ec;
    fs::create_directories(o.output_dir, ec);
    if (ec || !fs::is_directory(o.output_dir)) {
        log.Write(Level::Error, "cannot create the output folder " + o.output_dir);
        return kExitUsage;
    }
    return kExitOk;
}

// Creates and initialises the extension of every pipeline unit operation.
// Result: kExitOk, or kExitInternal when the library creates none.
int OpenExtensions(refhost::HostCase& c, PipelineLibrary& library,
                   std::vector<refhost::ExtensionUnit>& units, UnitPlots& plots,
                   PipelineInventory& inventory, Log& log) {
    DefaultServerPath();
    for (const auto& unit : c.units) {
        DefaultServerProgram(*unit);
        if (UnitNumber(*unit, "ignoreZEFA") == 0.0) inventory.Watch(unit);
        std::string error;
        host::UnitOperationExtension* created = library.Open(error) ? library.Create() : nullptr;
        if (!created) {
            if (error.empty())
                error = "the extension library does not create \"ZEFAPipeline.ZEFA\"";
            log.Write(Level::Error, unit->Name() + ": " + error);
            return kExitInternal;
        }
        // The library owns the object; it is destroyed when the library goes.
        std::shared_ptr<host::UnitOperationExtension> ext(created,
                                                          [](host::UnitOperationExtension*) {});
        ext->Initialize(unit, true);
        units.push_back(refhost::MakeExtensionUnit(unit, ext));
        if (auto name = UnitVariable<host::TextVariable>(*unit, "ProfilePlot"))
            if (auto plot = c.host_case->Flowsheet()->FindPlot(name->GetValue()))
                plots.emplace_back(unit, plot);
    }
    return kExitOk;
}

int RunCase(const RunOptions& o) {
    Log log(LevelNamed(o.log_level));
    const auto wall_start = std::chrono::steady_clock::now();
    CheckedCase k;
    if (const int code = CheckCase(o, log, k); code != kExitOk) return code;

    const fs::path saved = fs::path(o.output_dir) / fs::path(o.case_path).filename();
    const EarlierSnapshots earlier_snapshots =
        SnapshotsBeforeRun(saved.string(), o.case_path, k.loaded.c.units);
    OutputFolder outputs(o.output_dir);  // removes the files of an earlier run

    // From here on an interrupt ends the run after the step in progress, and
    // the servers started for it are stopped.
    RunSignals interrupts;

    // ---- Extensions of the pipeline unit operations ----
    PipelineLibrary library;
    std::vector<refhost::ExtensionUnit> units;
    Terminator terminator{units, library};
    UnitPlots plots;
    PipelineInventory inventory;
    if (const int code = OpenExtensions(k.loaded.c, library, units, plots, inventory, log);
        code != kExitOk)
        return code;
    LaunchServers(library.Tools(), units);
    return RunCoupled({o, log, wall_start, k, saved, earlier_snapshots, outputs, interrupts,
                       library, units, terminator, plots, inventory});
}

}  // namespace

void AddRunCommand(CLI::App& app, int& exit_code) {
    auto options = std::make_shared<RunOptions>();
    auto* cmd = app.add_subcommand("run", "Run a case's dynamic simulation");
    cmd->add_option("case", options->case_path, "Case file (.case.json)")->required();
    auto* until = cmd->add_option("--until", options->until, "Run until this time (s)");
    auto* duration = cmd->add_option("--duration", options->duration,
                                     "Run for this long (s) from the case time");
    until->excludes(duration);
    duration->excludes(until);
    cmd->add_option("--output-dir", options->output_dir,
                    "Folder for trends.csv, run-summary.json "
                    "and the saved case (default: .)");
    cmd->add_option("--log-level", options->log_level, "error, warning, info or debug")
        ->check(CLI::IsMember({"error", "warning", "info", "debug"}));
    cmd->add_flag("--plot", options->plot, "Also draw the recorded variables in trends.svg");
    AddScheduleOption(*cmd, options->at);
    cmd->add_option("--profile-every", options->profile_every,
                    "Also draw the profile every N seconds of simulated time, in "
                    "profile-<time>.svg")
        ->check(CLI::PositiveNumber);
    cmd->callback([options, &exit_code] {
        try {
            exit_code = RunCase(*options);
        } catch (const std::exception& e) {
            std::cerr << "error: internal error: " << e.what() << '\n';
            exit_code = kExitInternal;
        }
    });
}

}  // namespace zefalink