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
#include "pipeline_library.h"
#include "platform/safe_file.h"
#include "schedule.h"

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

// Set by SIGINT and SIGTERM: the run finishes the step it is in and ends.
volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) {
    g_interrupted = 1;
}

// Catches SIGINT and SIGTERM while it lives; the previous handlers come back
// afterwards.
class InterruptHandlers {
  public:
    InterruptHandlers() {
        g_interrupted = 0;
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &action, &old_int_);
        ::sigaction(SIGTERM, &action, &old_term_);
    }
    ~InterruptHandlers() {
        ::sigaction(SIGINT, &old_int_, nullptr);
        ::sigaction(SIGTERM, &old_term_, nullptr);
    }
    InterruptHandlers(const InterruptHandlers&) = delete;
    InterruptHandlers& operator=(const InterruptHandlers&) = delete;

  private:
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
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

// One column of trends.csv: its header and how to read its value now.
struct Column {
    std::string header;
    std::function<double()> value;
    std::string unit;  // the unit in the header's brackets
};

template <class T>
std::shared_ptr<T> UnitVariable(refhost::PipelineUnit& unit, const char* tag) {
    try {
        return std::dynamic_pointer_cast<T>(unit.FindVariable(tag));
    } catch (const std::exception&) {
        return nullptr;
    }
}

// Entry (row, col) of a number array of the unit as it is now; the host's
// empty marker when the array has no such entry.
std::function<double()> ArrayEntry(refhost::PipelineUnit& unit, const char* tag, std::size_t row,
                                   std::optional<std::size_t> col = std::nullopt) {
    auto array = UnitVariable<host::NumberArrayVariable>(unit, tag);
    return [array, row, col] {
        if (!array) return host::kEmptyNumber;
        const host::NumberArray a = array->GetValues();
        try {
            return col ? a.At(row, *col) : a.At(row);
        } catch (const std::exception&) {
            return host::kEmptyNumber;
        }
    };
}

std::vector<std::string> TextArray(refhost::PipelineUnit& unit, const char* tag) {
    auto array = UnitVariable<host::TextArrayVariable>(unit, tag);
    return array ? array->GetValues() : std::vector<std::string>{};
}

// The columns a coupled pipeline unit adds: per connection (inlets, then
// outlets) the boundary results that the extension keeps (pressure, three
// phase flows, temperature), then its trends, headed by key, position and unit.
std::vector<Column> PipelineColumns(refhost::PipelineUnit& unit) {
    std::vector<Column> columns;
    const std::string name = unit.Name();
    const auto inlets = UnitVariable<host::StreamListVariable>(unit, "Inlets");
    const auto outlets = UnitVariable<host::StreamListVariable>(unit, "Outlets");
    const std::size_t n_in = inlets ? inlets->GetStreams().size() : 0;
    const std::size_t n_out = outlets ? outlets->GetStreams().size() : 0;
    const auto source_tags = TextArray(unit, "SourceTags");
    const auto boundary_tags = TextArray(unit, "BoundaryTags");
    std::size_t sources = 0, boundaries = 0;
    for (std::size_t k = 0; k < n_in + n_out; ++k) {
        const bool inlet = k < n_in;
        const std::size_t index = inlet ? k : k - n_in;
        // An inlet is a boundary when its entry is 1, an outlet a source.
        const double flag = ArrayEntry(unit, inlet ? "InletBoundaryCB" : "OutletSourceCB", index)();
        const bool boundary = inlet ? flag == 1.0 : flag != 1.0;
        const auto& tags = inlet ? source_tags : boundary_tags;
        const std::string label =
            name + " " + (index < tags.size() ? tags[index] : "connection " + std::to_string(k));
        const std::size_t i = boundary ? boundaries++ : sources++;
        const char* pressure = boundary ? "BoundaryPressures" : "SourcePressures";
        const char* flows = boundary ? "OutletMassFlows" : "SourceMassFlows";
        const char* temperature = boundary ? "BoundaryTemperatures" : "SourceTemperatures";
        columns.push_back({label + " pressure [kPa]", ArrayEntry(unit, pressure, i), "kPa"});
        const char* phases[] = {"gas", "oil", "water"};
        for (std::size_t p = 0; p < 3; ++p)
            columns.push_back(
                {label + " " + phases[p] + " flow [kg/s]", ArrayEntry(unit, flows, i, p), "kg/s"});
        columns.push_back({label + " temperature [C]", ArrayEntry(unit, temperature, i), "C"});
    }
    const auto positions = TextArray(unit, "TrendPositions");
    const auto keys = TextArray(unit, "TrendVarTags");
    const auto units = TextArray(unit, "TrendUnits");
    for (std::size_t r = 0; r < positions.size(); ++r) {
        if (positions[r] == "New Trend") continue;
        const std::string key = r < keys.size() ? keys[r] : "?";
        const std::string measure = r < units.size() ? units[r] : "";
        std::string header = name + " " + key;
        if (!positions[r].empty()) header += " " + positions[r];
        header += " [" + measure + "]";
        columns.push_back({header, ArrayEntry(unit, "TrendValues", r), measure});
    }
    return columns;
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

// The text between the last "[" and "]" of a header.
std::string UnitOfHeader(const std::string& header) {
    const auto open = header.rfind('[');
    const auto close = header.rfind(']');
    if (open == std::string::npos || close == std::string::npos || close < open) return "";
    return header.substr(open + 1, close - open - 1);
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

    // From here on an interrupt ends the run after the step in progress, and
    // the servers started for it are stopped.
    InterruptHandlers interrupts;

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
    for (const auto& unit : c.units) {
        DefaultServerProgram(*unit);
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
    const auto drain_window = [&] {
        const auto& lines = c.window->Lines();
        for (; window_seen < lines.size(); ++window_seen) {
            const std::string& line = lines[window_seen];
            warnings.push_back(line);
            log.Write(Level::Warning, line);
        }
    };

    LaunchServers(tools, units);
    refhost::DynamicRun run(plant, solver, units);
    const bool started = run.Start();
    drain_window();
    for (auto& w : run.TakeWarnings()) {
        log.Write(Level::Warning, w);
        warnings.push_back(w);
    }
    // A server that could not be reached explains a start that failed.
    for (std::size_t i = 0; i < c.units.size(); ++i) {
        auto& unit = *c.units[i];
        if (UnitNumber(unit, "ignoreZEFA") == 0.0 && UnitNumber(unit, "isReady") != 1.0) {
            log.Write(Level::Error, unit.Name() + ": the pipeline server is unavailable");
            run.Stop();
            return kExitServerUnavailable;
        }
    }
    if (!started) {
        log.Write(Level::Error, "invalid case: " + o.case_path + ": " + run.Error());
        return kExitInvalidCase;
    }
    if (!run.RefusedUnits().empty()) {
        for (const auto& name : run.RefusedUnits())
            log.Write(Level::Error, name + ": the coupled run could not be initialised");
        run.Stop();
        return kExitFailed;
    }

    // ---- Run ----
    std::vector<Column> columns;
    for (const auto& col : plan.columns)
        columns.push_back({col.header, col.value, UnitOfHeader(col.header)});
    for (const auto& unit : c.units) {
        if (UnitNumber(*unit, "ignoreZEFA") != 0.0) continue;
        for (auto& col : PipelineColumns(*unit)) columns.push_back(std::move(col));
    }
    const fs::path trends_path = fs::path(o.output_dir) / "trends.csv";
    std::unique_ptr<zefa::ReplacingFile> trends;
    try {
        trends = std::make_unique<zefa::ReplacingFile>(trends_path.string());
    } catch (const std::exception&) {
        log.Write(Level::Error, "cannot write " + trends_path.string());
        return kExitInternal;
    }
    {
        std::string header = "Time [s],Step";
        for (const auto& col : columns) header += ',' + CsvCell(col.header);
        trends->Write(header + '\n');
    }
    // The rows again for trends.svg, only when it is asked for.
    std::vector<double> times;
    std::vector<std::vector<double>> rows;
    const auto write_row = [&] {
        std::string line = Number(run.Time()) + ',' + std::to_string(run.Steps());
        std::vector<double> values;
        for (const auto& col : columns) {
            const double v = col.value();
            line += ',' + Number(v);
            if (o.plot) values.push_back(v);
        }
        trends->Write(line + '\n');
        if (o.plot) {
            times.push_back(run.Time());
            rows.push_back(std::move(values));
        }
    };
    write_row();

    // Profile pictures: the enabled profile of each unit that has one.
    const auto profile_picture = [&](const std::string& suffix) {
        for (const auto& [unit, plot] : plots) {
            bool any = false;
            if (auto flags = UnitVariable<host::NumberArrayVariable>(*unit, "ProfileEnable"))
                for (double f : flags->GetValues().data) any = any || f == 1.0;
            if (!any) continue;
            const std::string base =
                plots.size() == 1 ? "profile" : "profile-" + FileNamePart(unit->Name());
            const fs::path file = fs::path(o.output_dir) / (base + suffix + ".svg");
            try {
                plot->WriteSvg(file.string(), *unit);
            } catch (const std::exception& e) {
                log.Write(Level::Warning, "cannot write " + file.string() + ": " + e.what());
                warnings.push_back("cannot write " + file.string());
            }
        }
    };
    long profile_slot = 0;

    const bool tty = isatty(STDERR_FILENO) != 0;
    const double dt = integrator->StepSize();
    const double span = end - t0;
    int next_report = 10;
    int last_percent = -1;
    std::string status = "completed";
    std::string cause = "end time reached";
    int code = kExitOk;
    while (run.Time() < end - 1e-9 * dt && !g_interrupted) {
        for (const auto& line : schedule.ApplyDue(run.Time(), c, units, streams))
            log.Write(Level::Info, line);
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
    if (schedule.Remaining() > 0)
        log.Write(Level::Warning, std::to_string(schedule.Remaining()) +
                                      " scheduled edit(s) fall after the end of the run");
    if (g_interrupted && code == kExitOk) {
        status = "interrupted";
        cause = "interrupted by a signal";
        code = kExitInterrupted;
        log.Write(Level::Warning,
                  "interrupted at t=" + Number(run.Time()) + " s; stopping the pipeline servers");
    }
    run.Stop();
    try {
        trends->Commit();
    } catch (const std::exception&) {
        log.Write(Level::Error, "writing " + trends_path.string() + " failed");
        code = code == kExitOk ? kExitInternal : code;
    }
    profile_picture("");
    if (o.plot) {
        // One panel per unit of measure, each recorded variable a line.
        std::vector<refhost::LineChart> panels;
        std::map<std::string, std::size_t> panel_of;
        for (std::size_t k = 0; k < columns.size(); ++k) {
            const std::string& measure = columns[k].unit;
            auto [it, added] = panel_of.emplace(measure, panels.size());
            if (added) {
                refhost::LineChart chart;
                chart.title = measure.empty() ? "(no unit)" : measure;
                chart.x_label = "Time (s)";
                chart.y_label = measure;
                panels.push_back(std::move(chart));
            }
            refhost::ChartSeries series;
            series.name = columns[k].header;
            series.x = times;
            for (const auto& row : rows) series.y.push_back(row[k]);
            panels[it->second].series.push_back(std::move(series));
        }
        const fs::path svg = fs::path(o.output_dir) / "trends.svg";
        try {
            refhost::WriteSvg(svg.string(), panels);
        } catch (const std::exception& e) {
            log.Write(Level::Error, "cannot write " + svg.string() + ": " + e.what());
            if (code == kExitOk) code = kExitInternal;
        }
    }

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
    try {
        zefa::WriteFileReplacing(summary_path.string(), summary.dump(2) + '\n');
    } catch (const std::exception&) {
        log.Write(Level::Error, "cannot write " + summary_path.string());
        if (code == kExitOk) code = kExitInternal;
    }
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
