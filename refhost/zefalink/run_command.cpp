// zefalink run: loads a case, checks it, integrates it (coupled to the
// pipeline servers of its pipeline unit operations) and writes the trends,
// the profile pictures, a run summary and the saved case.
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>

#include "commands.h"
#include "lib/case_file.h"
#include "lib/flowsheet_file.h"
#include "lib/integrator_run.h"
#include "lib/svg_chart.h"
#include "mass_balance.h"
#include "pipeline_columns.h"
#include "pipeline_library.h"
#include "platform/safe_file.h"
#include "platform/text.h"
#include "profile_chart.h"
#include "progress.h"
#include "run_failure.h"
#include "run_outputs.h"
#include "run_signals.h"
#include "schedule.h"
#include "trend_table.h"
#include "trends_chart.h"

namespace zefalink {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

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

// A unit name as part of a file name: letters, digits, '.', '_' and '-' kept,
// anything else (a path separator included) becomes '_'.
std::string FileNamePart(const std::string& text) {
    std::string out;
    for (char c : text) {
        const bool plain =
            std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
        out += plain ? c : '_';
    }
    if (out.empty() || out.front() == '.') out.insert(out.begin(), '_');
    return out;
}

int RunCase(const RunOptions& o) {
    const Level level = o.log_level == "error"     ? Level::Error
                        : o.log_level == "warning" ? Level::Warning
                        : o.log_level == "debug"   ? Level::Debug
                                                   : Level::Info;
    Log log(level);
    const auto wall_start = std::chrono::steady_clock::now();

    if (o.case_path.size() < 10 ||
        o.case_path.compare(o.case_path.size() - 10, 10, ".case.json") != 0) {
        log.Write(Level::Error, o.case_path + ": case files end in .case.json");
        return kExitUsage;
    }

    // ---- Load and check the case ----
    LoadedCase loaded;
    refhost::RecordPlan plan;
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

    refhost::Plant& plant = *loaded.plant;
    refhost::HostCase& c = loaded.c;
    const refhost::StreamResolver streams = refhost::PlantStreams(plant);
    // Edits the user makes while the case runs, checked before anything starts.
    EditSchedule schedule;
    if (const std::string e = schedule.Load(o.at, c, streams); !e.empty()) {
        log.Write(Level::Error, e);
        return kExitUsage;
    }
    auto solver = c.host_case->SolverObject();
    auto integrator = solver->integrator_;
    const double t0 = integrator->CurrentTime();
    double end = 0.0;
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

    const fs::path saved = fs::path(o.output_dir) / fs::path(o.case_path).filename();
    const EarlierSnapshots earlier_snapshots =
        SnapshotsBeforeRun(saved.string(), o.case_path, c.units);
    OutputFolder outputs(o.output_dir);  // removes the files of an earlier run

    // From here on an interrupt ends the run after the step in progress, and
    // the servers started for it are stopped.
    RunSignals interrupts;

    // ---- Extensions of the pipeline unit operations ----
    PipelineLibrary library;
    std::vector<refhost::ExtensionUnit> units;
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
    } terminator{units, library};
    // The profile plot each unit created while it was initialised: a plot
    // per unit, although every unit names its plot alike.
    std::vector<
        std::pair<std::shared_ptr<refhost::PipelineUnit>, std::shared_ptr<refhost::RefPlot>>>
        plots;
    DefaultServerPath();
    PipelineInventory inventory;
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

    json summary;
    summary["case"] = o.case_path;
    summary["start_time"] = t0;
    summary["end_time"] = end;
    json warnings = json::array();
    json errors = json::array();
    std::size_t window_seen = 0;
    // A unit whose server step did not finish in time ends the run: the
    // extension counts such steps and the library's tool functions say so.
    const ZefaToolInterface* tools = library.Tools();
    const auto timed_out = [&] {
        if (tools == nullptr) return false;
        for (const auto& u : units)
            if (tools->step_time_outs(u.extension.get()) > 0) return true;
        return false;
    };
    // A warning is shown the first time; its repeats are counted and said at the end.
    RepeatedWarnings repeated;
    const auto warn = [&](const std::string& line) {
        if (!repeated.First(line)) return;
        warnings.push_back(line);
        log.Write(Level::Warning, line);
    };
    const auto drain_window = [&] {
        const auto& lines = c.window->Lines();
        for (; window_seen < lines.size(); ++window_seen)
            warn(zefa::PrintableText(lines[window_seen], 2000));
    };

    LaunchServers(tools, units);
    refhost::DynamicRun run(plant, solver, units);
    const bool started = run.Start();
    drain_window();
    for (auto& w : run.TakeWarnings()) warn(w);
    // A run that cannot start still writes its summary; its servers are
    // stopped first, so that the cause is the last line it writes.
    const fs::path summary_path = fs::path(o.output_dir) / "run-summary.json";
    const auto end_early = [&](const std::string& state, const std::string& why, int exit_code) {
        run.Stop();
        errors.push_back(why);
        WriteEarlySummary(summary_path, summary, state, why, warnings, errors);
        outputs.Wrote("run-summary.json");
        terminator.TerminateAll();
        interrupts.Disarm();
        log.Write(Level::Error, why);
        return exit_code;
    };
    if (RunSignals::Interrupted())
        return end_early("interrupted", std::string("interrupted by ") + RunSignals::Name(),
                         kExitInterrupted);
    // A unit without its server explains whatever else failed to start.
    for (const auto& unit : c.units) {
        if (UnitNumber(*unit, "ignoreZEFA") != 0.0 || UnitNumber(*unit, "isReady") == 1.0) continue;
        const RootCause cause =
            UnitNotReadyCause(*unit, UnitReports(c.window->Lines(), unit->Name()));
        return end_early("failed", cause.text, cause.code);
    }
    if (!started)
        return end_early("failed", "invalid case: " + o.case_path + ": " + run.Error(),
                         kExitInvalidCase);
    if (!run.RefusedUnits().empty()) {
        std::string names;
        for (const auto& name : run.RefusedUnits()) names += (names.empty() ? "" : ", ") + name;
        return end_early("failed", names + ": the coupled run could not be initialised",
                         kExitFailed);
    }

    const double inventory_start = inventory.TotalKg();
    // ---- Run ----
    TrendTable table(CasePressureUnit(c.record));
    for (const auto& col : plan.columns) table.AddRecorded(col.header, col.value);
    for (const auto& unit : c.units)
        if (UnitNumber(*unit, "ignoreZEFA") == 0.0) table.AddPipeline(unit);
    const fs::path trends_path = fs::path(o.output_dir) / "trends.csv";
    std::unique_ptr<TrendsCsv> trends;
    try {
        trends = std::make_unique<TrendsCsv>();
    } catch (const std::exception&) {
        return end_early("failed", "cannot write " + trends_path.string(), kExitInternal);
    }
    // The rows again for trends.svg, only when it is asked for.
    std::vector<double> times;
    std::vector<std::vector<double>> rows;
    const auto write_row = [&] {
        table.FollowTrends(run.Time());
        std::vector<double> values = table.Values();
        trends->AddRow(run.Time(), run.Steps(), values);
        if (o.plot) {
            times.push_back(run.Time());
            rows.push_back(std::move(values));
        }
    };
    write_row();

    // Profile pictures: the enabled profile of each unit that has one, kept
    // at each picture (and at the start) for the overlay in profile.svg.
    std::map<const refhost::PipelineUnit*, ProfileHistory> histories;
    const auto profile_picture = [&](const std::string& suffix) {
        for (const auto& [unit, plot] : plots) {
            bool any = false;
            if (auto flags = UnitVariable<host::NumberArrayVariable>(*unit, "ProfileEnable"))
                for (double f : flags->GetValues().data) any = any || f == 1.0;
            if (!any) continue;
            auto& history =
                histories.try_emplace(unit.get(), CasePressureUnit(c.record)).first->second;
            history.Capture(run.Time(), plot->Chart(*unit),
                            FetchedProfiles(tools, units, unit->Name()));
            if (suffix == "@start") continue;
            const std::string base =
                plots.size() == 1 ? "profile" : "profile-" + FileNamePart(unit->Name());
            const fs::path file = fs::path(o.output_dir) / (base + suffix + ".svg");
            try {
                if (suffix.empty())
                    history.Write(file.string(),
                                  fs::path(o.case_path).filename().string() + ": " + unit->Name() +
                                      ", t = " + Number(t0) + " to " + Number(run.Time()) + " s",
                                  *unit);
                else
                    plot->WriteSvg(file.string(), *unit);
                outputs.Wrote(file.filename().string());
            } catch (const std::exception& e) {
                log.Write(Level::Warning, "cannot write " + file.string() + ": " + e.what());
                warnings.push_back("cannot write " + file.string());
            }
        }
    };
    long profile_slot = 0;
    profile_picture("@start");

    const bool tty = isatty(STDERR_FILENO) != 0;
    const double dt = integrator->StepSize();
    const double span = end - t0;
    int next_report = 10;
    int last_percent = -1;
    std::string status = "completed";
    std::string cause = "end time reached";
    int code = kExitOk;
    while (run.Time() < end - 1e-9 * dt && !RunSignals::Interrupted()) {
        for (const auto& line : schedule.ApplyDue(run.Time(), c, units, streams))
            log.Write(Level::Info, line);
        const bool ok = run.Step();
        drain_window();
        for (auto& w : run.TakeWarnings()) warn(w);
        if (!ok) {
            status = "failed";
            cause = run.Error();
            errors.push_back(run.Error());
            log.Write(Level::Error, run.Error());
            code = kExitInternal;
            break;
        }
        write_row();
        inventory.AccumulateConnectionFlows(dt);
        if (o.profile_every) {
            const auto slot =
                static_cast<long>(std::floor((run.Time() - t0) / *o.profile_every + 1e-9));
            if (slot > profile_slot) {
                profile_slot = slot;
                profile_picture("-" + Number(run.Time()));
            }
        }
        if (level == Level::Debug) {
            log.Write(Level::Debug, "t=" + Number(run.Time()) + " s: pressure-flow solve in " +
                                        std::to_string(run.LastSolve().iterations) + " iterations");
        }
        const double fraction = span > 0.0 ? std::min(1.0, (run.Time() - t0) / span) : 1.0;
        const auto progress = [&] {
            const double wall_s =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start)
                    .count();
            return ProgressText(t0, end, run.Time(), wall_s);
        };
        if (tty) {
            // Redraw only when the bar moves by a whole percent.
            const int percent = static_cast<int>(fraction * 100.0);
            if (percent != last_percent) log.Bar(ProgressBar(fraction) + progress());
            last_percent = percent;
        } else {
            bool due = false;
            while (next_report <= 100 && fraction * 100.0 >= next_report - 1e-9) {
                due = true;
                next_report += 10;
            }
            if (due) log.Write(Level::Info, progress());
        }
        if (timed_out()) {
            status = "timeout";
            cause = "the pipeline server did not finish its time step";
            errors.push_back(cause);
            code = kExitTimeOut;
            break;
        }
    }
    log.EndBar();
    if (RunSignals::Interrupted()) interrupts.Acknowledge();
    for (const auto& line : repeated.Repeats()) log.Write(Level::Warning, line);
    for (auto& w : warnings)
        if (const long n = repeated.Count(w.get<std::string>()); n > 1)
            w = w.get<std::string>() + " (repeated " + std::to_string(n) + " times in all)";
    if (schedule.Remaining() > 0)
        log.Write(Level::Warning, std::to_string(schedule.Remaining()) +
                                      " scheduled edit(s) fall after the end of the run");
    // Steps whose results could not be used and trend or profile rows left
    // out: the run went on, and the summary says what it lacks.
    long bad_replies = 0;
    json left_out = json::array();
    for (const auto& u : units) {
        if (tools == nullptr || tools->bad_step_replies == nullptr) break;
        bad_replies += std::max(0L, tools->bad_step_replies(u.extension.get()));
        const int n = tools->left_out_requests(u.extension.get(), nullptr, 0);
        std::string text(static_cast<std::size_t>(std::max(n, 0)) + 1, '\0');
        tools->left_out_requests(u.extension.get(), text.data(), text.size());
        for (std::size_t at = 0, stop = 0; at + 1 < text.size(); at = stop + 1) {
            stop = std::min(text.find('\n', at), text.size() - 1);
            left_out.push_back(text.substr(at, stop - at));
        }
    }
    summary["bad_step_replies"] = bad_replies;
    summary["left_out"] = left_out;
    if (bad_replies > 0 && code == kExitOk) {
        status = "failed";
        cause =
            "the results of " + std::to_string(bad_replies) + " pipeline step(s) could not be used";
        errors.push_back(cause);
        log.Write(Level::Error, cause);
        code = kExitFailed;
    }
    if (RunSignals::Interrupted() && code == kExitOk) {
        status = "interrupted";
        cause = std::string("interrupted by ") + RunSignals::Name();
        code = kExitInterrupted;
        log.Write(Level::Warning,
                  "interrupted at t=" + Number(run.Time()) + " s; stopping the pipeline servers");
    }
    run.Stop();
    try {
        trends->Commit(trends_path.string(), table.HeaderLine(), table.Columns().size());
        outputs.Wrote("trends.csv");
    } catch (const std::exception&) {
        log.Write(Level::Error, "writing " + trends_path.string() + " failed");
        code = code == kExitOk ? kExitInternal : code;
    }
    profile_picture("");
    if (o.plot) {
        const fs::path svg = fs::path(o.output_dir) / "trends.svg";
        try {
            WriteTrendsSvg(svg.string(), o.case_path, table, times, rows);
            outputs.Wrote("trends.svg");
        } catch (const std::exception& e) {
            log.Write(Level::Error, "cannot write " + svg.string() + ": " + e.what());
            if (code == kExitOk) code = kExitInternal;
        }
    }

    // ---- Save the case and write the summary ----
    inventory.RefreshAtTheEnd(tools, units);
    const double inventory_change = inventory.Empty() ? 0.0 : inventory.TotalKg() - inventory_start;
    std::vector<std::string> balance_warnings = inventory.Caveats(dt);
    const json connection_flows = inventory.ConnectionFlows();
    c.flowsheet = refhost::SaveFlowsheet(plant);
    // A snapshot that could not be saved is an error of the run, reported
    // after whatever the extension said about it.
    const auto unsaved = SaveSnapshots(c.units, units, tools, *c.window);
    drain_window();
    for (const auto& line : unsaved) {
        errors.push_back(line);
        log.Write(Level::Error, line);
        if (code == kExitOk) code = kExitCannotCreate;
    }
    inventory.Forget();
    // A failed run never rewrites the case it ran from.
    const bool keep_case = code != kExitOk && fs::equivalent(saved, o.case_path, ec);
    try {
        if (keep_case)
            log.Write(Level::Warning,
                      "the run did not complete: " + o.case_path + " is left as it was");
        else
            refhost::SaveCase(c, saved.string());
    } catch (const std::exception& e) {
        errors.push_back(e.what());
        log.Write(Level::Error, e.what());
        if (code == kExitOk) code = kExitInternal;
    }
    std::vector<std::string> snapshot_lines;
    summary["snapshots"] = TidySnapshots(earlier_snapshots, c.units, snapshot_lines);
    for (const auto& line : snapshot_lines) log.Write(Level::Info, line);

    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    summary["status"] = status;
    summary["time_reached"] = run.Time();
    summary["steps"] = run.Steps();
    summary["step_size"] = dt;
    summary["wall_time_s"] = wall;
    summary["mass_balance"] = MassBalance(run.MassIn(), run.MassOut(), inventory_change,
                                          0.0,  // the host's own units hold no mass
                                          balance_warnings, connection_flows);
    for (const auto& w : balance_warnings) {
        log.Write(Level::Warning, w);
        warnings.push_back(w);
    }
    summary["warnings"] = warnings;
    summary["errors"] = errors;
    summary["stop_cause"] = cause;
    summary["saved_case"] = keep_case ? nlohmann::json(nullptr) : nlohmann::json(saved.string());
    try {
        zefa::WriteFileReplacing(summary_path.string(), SummaryText(summary));
        outputs.Wrote("run-summary.json");
    } catch (const std::exception&) {
        log.Write(Level::Error, "cannot write " + summary_path.string());
        if (code == kExitOk) code = kExitInternal;
    }
    outputs.Finish();
    // The servers are stopped before the program says it is done.
    terminator.TerminateAll();
    if (code == kExitOk) {
        log.Write(Level::Info, "done: t=" + Number(run.Time()) + " s after " +
                                   std::to_string(run.Steps()) + " steps; wrote " +
                                   trends_path.string() + " and " + summary_path.string());
    }
    return code;
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
