#pragma once

// What a run's set-up (run_command.cpp) hands to its integration
// (run_integration.cpp): the options, the log, the checked case, and the
// extensions of the pipeline unit operations with what stops their servers.

#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lib/case_file.h"
#include "lib/flowsheet_file.h"
#include "lib/integrator_run.h"
#include "mass_balance.h"
#include "pipeline_library.h"
#include "run_outputs.h"
#include "run_signals.h"
#include "schedule.h"

namespace zefalink {

enum class Level { Error = 0, Warning = 1, Info = 2, Debug = 3 };

struct RunOptions {
    std::string case_path;
    std::optional<double> until;
    std::optional<double> duration;
    std::string output_dir = ".";
    std::string log_level = "info";
    bool plot = false;
    std::optional<double> profile_every;
    std::vector<std::string> at;  // edits at host times: T:TAG=VALUE, T:press=COMMAND
};

class Log {
  public:
    explicit Log(Level level) : level_(level) {}
    bool On(Level l) const { return l <= level_; }
    void Write(Level l, const std::string& text) {
        if (!On(l)) return;
        static const char* names[] = {"error", "warning", "info", "debug"};
        EndBar();
        std::cerr << names[static_cast<int>(l)] << ": " << text << '\n';
    }
    // Redraws the one progress line of a terminal (cleared to its end).
    void Bar(const std::string& line) {
        if (!On(Level::Info)) return;
        std::cerr << "\r" << line << "\033[K" << std::flush;
        bar_open_ = true;
    }
    void EndBar() {
        if (bar_open_) std::cerr << '\n';
        bar_open_ = false;
    }

  private:
    Level level_;
    bool bar_open_ = false;
};

std::string Number(double v);
double UnitNumber(refhost::PipelineUnit& unit, const char* tag);
Level LevelNamed(const std::string& name);

// The case to run, loaded and checked, with the span of host time to cover.
struct CheckedCase {
    LoadedCase loaded;
    refhost::RecordPlan plan;
    refhost::StreamResolver streams;
    // Edits the user makes while the case runs, checked before anything starts.
    EditSchedule schedule;
    double t0 = 0.0;
    double end = 0.0;
};

// Every extension that was initialised is terminated, on every way out,
// which stops the server it started; one that does not stop is ended.
struct Terminator {
    std::vector<refhost::ExtensionUnit>& units;
    PipelineLibrary& library;
    ~Terminator() { TerminateAll(); }
    void TerminateAll() {
        const ZefaToolInterface* tools = library.Tools();
        for (auto& u : units) {
            const int pid = tools ? tools->started_server_pid(u.extension.get()) : 0;
            try {
                u.extension->Terminate();
            } catch (...) {
            }
            EnsureServerStopped(pid);
        }
        units.clear();
    }
};

// The profile plot each unit created while it was initialised: a plot
// per unit, although every unit names its plot alike.
using UnitPlots = std::vector<
    std::pair<std::shared_ptr<refhost::PipelineUnit>, std::shared_ptr<refhost::RefPlot>>>;

// The pieces of a run that outlive its integration: where it writes, the
// signals it watches and the extensions with their servers.
struct RunSetting {
    const RunOptions& o;
    Log& log;
    std::chrono::steady_clock::time_point wall_start;
    CheckedCase& k;
    std::filesystem::path saved;
    const EarlierSnapshots& earlier_snapshots;
    OutputFolder& outputs;
    RunSignals& interrupts;
    PipelineLibrary& library;
    std::vector<refhost::ExtensionUnit>& units;
    Terminator& terminator;
    const UnitPlots& plots;
    PipelineInventory& inventory;
};

// Integrates a checked case coupled to the servers of its extensions, then
// writes the trends, the profile pictures, the saved case and the summary.
// Result: the run's exit code.
int RunCoupled(const RunSetting& s);

}  // namespace zefalink
