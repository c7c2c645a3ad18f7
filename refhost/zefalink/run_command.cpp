// zefalink run: loads a case, checks it, integrates it and writes the trends,
// a run summary and the saved case.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "commands.h"
#include "lib/case_file.h"
#include "lib/flowsheet_file.h"
#include "lib/integrator_run.h"
#include "pipeline_library.h"

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
    void Bar(double fraction, double t) {
        if (!On(Level::Info)) return;
        const int width = 30;
        const int filled = static_cast<int>(fraction * width);
        std::cerr << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
                  << std::string(static_cast<std::size_t>(width - filled), ' ') << "] "
                  << std::setw(3) << static_cast<int>(fraction * 100.0) << "% t=" << t << " s"
                  << std::flush;
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

std::string CsvCell(const std::string& text) {
    if (text.find_first_of(",\"\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

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

    // ---- Extensions of the pipeline unit operations ----
    PipelineLibrary library;
    std::vector<refhost::ExtensionUnit> units;
    // Every extension that was initialised is terminated, on every way out.
    struct Terminator {
        std::vector<refhost::ExtensionUnit>& units;
        ~Terminator() {
            for (auto& u : units) {
                try {
                    u.extension->Terminate();
                } catch (...) {
                }
            }
        }
    } terminator{units};
    for (const auto& unit : c.units) {
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
    const auto drain_window = [&] {
        const auto& lines = c.window->Lines();
        for (; window_seen < lines.size(); ++window_seen) {
            const std::string& line = lines[window_seen];
            warnings.push_back(line);
            log.Write(Level::Warning, line);
        }
    };

    refhost::DynamicRun run(plant, solver, units);
    const bool started = run.Start();
    drain_window();
    for (auto& w : run.TakeWarnings()) {
        log.Write(Level::Warning, w);
        warnings.push_back(w);
    }
    if (!started) {
        log.Write(Level::Error, "invalid case: " + o.case_path + ": " + run.Error());
        return kExitInvalidCase;
    }
    for (std::size_t i = 0; i < c.units.size(); ++i) {
        auto& unit = *c.units[i];
        if (UnitNumber(unit, "ignoreZEFA") == 0.0 && UnitNumber(unit, "isReady") != 1.0) {
            log.Write(Level::Error, unit.Name() + ": the pipeline server is unavailable");
            run.Stop();
            return kExitServerUnavailable;
        }
    }
    if (!run.RefusedUnits().empty()) {
        for (const auto& name : run.RefusedUnits())
            log.Write(Level::Error, name + ": the coupled run could not be initialised");
        run.Stop();
        return kExitFailed;
    }

    // ---- Run ----
    const fs::path trends_path = fs::path(o.output_dir) / "trends.csv";
    std::ofstream trends(trends_path, std::ios::trunc);
    if (!trends) {
        log.Write(Level::Error, "cannot write " + trends_path.string());
        return kExitInternal;
    }
    trends << "Time [s],Step";
    for (const auto& col : plan.columns) trends << ',' << CsvCell(col.header);
    trends << '\n';
    const auto write_row = [&] {
        trends << Number(run.Time()) << ',' << run.Steps();
        for (const auto& col : plan.columns) trends << ',' << Number(col.value());
        trends << '\n';
    };
    write_row();

    const bool tty = isatty(STDERR_FILENO) != 0;
    const double dt = integrator->StepSize();
    const double span = end - t0;
    int next_report = 10;
    int last_percent = -1;
    std::string status = "completed";
    std::string cause = "end time reached";
    int code = kExitOk;
    while (run.Time() < end - 1e-9 * dt) {
        const bool ok = run.Step();
        drain_window();
        for (auto& w : run.TakeWarnings()) {
            log.Write(Level::Warning, w);
            warnings.push_back(w);
        }
        if (!ok) {
            status = "failed";
            cause = run.Error();
            errors.push_back(run.Error());
            log.Write(Level::Error, run.Error());
            code = kExitInternal;
            break;
        }
        write_row();
        if (level == Level::Debug) {
            log.Write(Level::Debug, "t=" + Number(run.Time()) + " s: pressure-flow solve in " +
                                        std::to_string(run.LastSolve().iterations) + " iterations");
        }
        const double fraction = span > 0.0 ? std::min(1.0, (run.Time() - t0) / span) : 1.0;
        if (tty) {
            // Redraw only when the bar moves by a whole percent.
            const int percent = static_cast<int>(fraction * 100.0);
            if (percent != last_percent) log.Bar(fraction, run.Time());
            last_percent = percent;
        } else {
            while (next_report <= 100 && fraction * 100.0 >= next_report - 1e-9) {
                log.Write(Level::Info, std::to_string(next_report) +
                                           "% complete, t=" + Number(run.Time()) + " s");
                next_report += 10;
            }
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
    run.Stop();
    trends.flush();
    if (!trends) {
        log.Write(Level::Error, "writing " + trends_path.string() + " failed");
        code = code == kExitOk ? kExitInternal : code;
    }
    trends.close();

    // ---- Save the case and write the summary ----
    c.flowsheet = refhost::SaveFlowsheet(plant);
    for (auto& u : units) u.extension->Save();
    const fs::path saved = fs::path(o.output_dir) / fs::path(o.case_path).filename();
    try {
        refhost::SaveCase(c, saved.string());
    } catch (const std::exception& e) {
        errors.push_back(e.what());
        log.Write(Level::Error, e.what());
        if (code == kExitOk) code = kExitInternal;
    }

    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    summary["status"] = status;
    summary["time_reached"] = run.Time();
    summary["steps"] = run.Steps();
    summary["step_size"] = dt;
    summary["wall_time_s"] = wall;
    summary["warnings"] = warnings;
    summary["errors"] = errors;
    summary["stop_cause"] = cause;
    const double in = run.MassIn(), out = run.MassOut();
    summary["mass_balance"] = {{"feeds_kg", in},
                               {"sinks_kg", out},
                               {"relative_error", in != 0.0 ? (in - out) / std::abs(in) : 0.0}};
    summary["saved_case"] = saved.string();
    const fs::path summary_path = fs::path(o.output_dir) / "run-summary.json";
    std::ofstream s(summary_path, std::ios::trunc);
    s << summary.dump(2) << '\n';
    if (!s) {
        log.Write(Level::Error, "cannot write " + summary_path.string());
        if (code == kExitOk) code = kExitInternal;
    }
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
