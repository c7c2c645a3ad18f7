// zefalink run, once the case is checked and its extensions are open: the
// stages of the coupled integration, from starting the run to its summary.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>

#include "lib/svg_chart.h"
#include "pipeline_columns.h"
#include "platform/safe_file.h"
#include "platform/text.h"
#include "profile_chart.h"
#include "progress.h"
#include "run_case.h"
#include "run_failure.h"
#include "trend_table.h"
#include "trends_chart.h"

namespace zefalink {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

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

// One coupled run of a checked case, its extensions open and their servers
// launched: Run() calls the stages in order, which share the run's state.
// The run's setting is its base: its references are kept once, not copied
// into members of their own.
class CaseRun : private RunSetting {
  public:
    explicit CaseRun(const RunSetting& s);
    int Run();

  private:
    std::optional<int> Start();
    std::optional<int> OpenTrends();
    void Integrate();
    void ShowProgress();
    void Conclude();
    void WriteOutputs();
    int SaveAndSummarise();

    // A warning is shown the first time; its repeats are counted and said at the end.
    void Warn(const std::string& line);
    void DrainWindow();
    // A unit whose server step did not finish in time ends the run: the
    // extension counts such steps and the library's tool functions say so.
    bool TimedOut() const;
    // A run that cannot start still writes its summary; its servers are
    // stopped first, so that the cause is the last line it writes.
    int EndEarly(const std::string& state, const std::string& why, int exit_code);
    void WriteRow();
    void ProfilePicture(const std::string& suffix);

    const Level level;
    refhost::Plant& plant;
    refhost::HostCase& c;
    const refhost::RecordPlan& plan;
    const refhost::StreamResolver& streams;
    EditSchedule& schedule;
    const double t0;
    const double end;
    const ZefaToolInterface* tools;

    json summary;
    json warnings = json::array();
    json errors = json::array();
    std::size_t window_seen = 0;
    RepeatedWarnings repeated;
    refhost::DynamicRun run;
    const fs::path summary_path;
    double inventory_start = 0.0;

    TrendTable table;
    const fs::path trends_path;
    std::unique_ptr<TrendsCsv> trends;
    // The rows again for trends.svg, only when it is asked for.
    std::vector<double> times;
    std::vector<std::vector<double>> rows;
    // Profile pictures: the enabled profile of each unit that has one, kept
    // at each picture (and at the start) for the overlay in profile.svg.
    std::map<const refhost::PipelineUnit*, ProfileHistory> histories;
    long profile_slot = 0;

    const bool tty = isatty(STDERR_FILENO) != 0;
    double dt = 0.0;  // the host's step, as the run started it
    const double span;
    int next_report = 10;
    int last_percent = -1;
    std::string status = "completed";
    std::string cause = "end time reached";
    int code = kExitOk;
};

CaseRun::CaseRun(const RunSetting& s)
    : RunSetting(s),
      level(LevelNamed(s.o.log_level)),
      plant(*s.k.loaded.plant),
      c(s.k.loaded.c),
      plan(s.k.plan),
      streams(s.k.streams),
      schedule(s.k.schedule),
      t0(s.k.t0),
      end(s.k.end),
      tools(s.library.Tools()),
      run(plant, c.host_case->SolverObject(), units),
      summary_path(fs::path(o.output_dir) / "run-summary.json"),
      table(CasePressureUnit(c.record)),
      trends_path(fs::path(o.output_dir) / "trends.csv"),
      span(end - t0) {
    summary["case"] = o.case_path;
    summary["start_time"] = t0;
    summary["end_time"] = end;
}

int CaseRun::Run() {
    if (const std::optional<int> failed = Start()) return *failed;
    inventory_start = inventory.TotalKg();
    if (const std::optional<int> failed = OpenTrends()) return *failed;
    WriteRow();
    ProfilePicture("@start");
    dt = c.host_case->SolverObject()->integrator_->StepSize();
    Integrate();
    Conclude();
    WriteOutputs();
    return SaveAndSummarise();
}

void CaseRun::Warn(const std::string& line) {
    if (!repeated.First(line)) return;
    warnings.push_back(line);
    log.Write(Level::Warning, line);
}

void CaseRun::DrainWindow() {
    const auto& lines = c.window->Lines();
    for (; window_seen < lines.size(); ++window_seen)
        Warn(zefa::PrintableText(lines[window_seen], 2000));
}

bool CaseRun::TimedOut() const {
    if (tools == nullptr) return false;
    for (const auto& u : units)
        if (tools->step_time_outs(u.extension.get()) > 0) return true;
    return false;
}

int CaseRun::EndEarly(const std::string& state, const std::string& why, int exit_code) {
    run.Stop();
    errors.push_back(why);
    WriteEarlySummary(summary_path, summary, state, why, warnings, errors);
    outputs.Wrote("run-summary.json");
    terminator.TerminateAll();
    interrupts.Disarm();
    log.Write(Level::Error, why);
    return exit_code;
}

// Starts the run; a unit without its server explains whatever else failed to
// start. Result: the exit code when the run cannot go on.
std::optional<int> CaseRun::Start() {
    const bool started = run.Start();
    DrainWindow();
    for (auto& w : run.TakeWarnings()) Warn(w);
    if (RunSignals::Interrupted())
        return EndEarly("interrupted", std::string("interrupted by ") + RunSignals::Name(),
                        kExitInterrupted);
    for (const auto& unit : c.units) {
        if (UnitNumber(*unit, "ignoreZEFA") != 0.0 || UnitNumber(*unit, "isReady") == 1.0) continue;
        const RootCause root =
            UnitNotReadyCause(*unit, UnitReports(c.window->Lines(), unit->Name()));
        return EndEarly("failed", root.text, root.code);
    }
    if (!started)
        return EndEarly("failed", "invalid case: " + o.case_path + ": " + run.Error(),
                        kExitInvalidCase);
    if (!run.RefusedUnits().empty()) {
        std::string names;
        for (const auto& name : run.RefusedUnits()) names += (names.empty() ? "" : ", ") + name;
        return EndEarly("failed", names + ": the coupled run could not be initialised",
                        kExitFailed);
    }
    return std::nullopt;
}

// The trend columns (the case's recorded variables, then each coupled unit's
// trends) and the file they go to.
std::optional<int> CaseRun::OpenTrends() {
    for (const auto& col : plan.columns) table.AddRecorded(col.header, col.value);
    for (const auto& unit : c.units)
        if (UnitNumber(*unit, "ignoreZEFA") == 0.0) table.AddPipeline(unit);
    try {
        trends = std::make_unique<TrendsCsv>();
    } catch (const std::exception&) {
        return EndEarly("failed", "cannot write " + trends_path.string(), kExitInternal);
    }
    return std::nullopt;
}

void CaseRun::WriteRow() {
    table.FollowTrends(run.Time());
    std::vector<double> values = table.Values();
    trends->AddRow(run.Time(), run.Steps(), values);
    if (o.plot) {
        times.push_back(run.Time());
        rows.push_back(std::move(values));
    }
}

void CaseRun::ProfilePicture(const std::string& suffix) {
    for (const auto& [unit, plot] : plots) {
        bool any = false;
        if (auto flags = UnitVariable<host::NumberArrayVariable>(*unit, "ProfileEnable"))
            for (double f : flags->GetValues().data) any = any || f == 1.0;
        if (!any) continue;
        auto& history = histories.try_emplace(unit.get(), CasePressureUnit(c.record)).first->second;
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
}

// Steps to the end time, applying the scheduled edits, writing a trend row
// per step and the profile pictures when due; stops at a failed step, a
// server step that timed out or an interrupt.
void CaseRun::Integrate() {
    while (run.Time() < end - 1e-9 * dt && !RunSignals::Interrupted()) {
        for (const auto& line : schedule.ApplyDue(run.Time(), c, units, streams))
            log.Write(Level::Info, line);
        const bool ok = run.Step();
        DrainWindow();
        for (auto& w : run.TakeWarnings()) Warn(w);
        if (!ok) {
            status = "failed";
            cause = run.Error();
            errors.push_back(run.Error());
            log.Write(Level::Error, run.Error());
            code = kExitInternal;
            break;
        }
        WriteRow();
        inventory.AccumulateConnectionFlows(dt);
        if (o.profile_every) {
            const auto slot =
                static_cast<long>(std::floor((run.Time() - t0) / *o.profile_every + 1e-9));
            if (slot > profile_slot) {
                profile_slot = slot;
                ProfilePicture("-" + Number(run.Time()));
            }
        }
        if (level == Level::Debug) {
            log.Write(Level::Debug, "t=" + Number(run.Time()) + " s: pressure-flow solve in " +
                                        std::to_string(run.LastSolve().iterations) + " iterations");
        }
        ShowProgress();
        if (TimedOut()) {
            status = "timeout";
            cause = "the pipeline server did not finish its time step";
            errors.push_back(cause);
            code = kExitTimeOut;
            break;
        }
    }
}

void CaseRun::ShowProgress() {
    const double fraction = span > 0.0 ? std::min(1.0, (run.Time() - t0) / span) : 1.0;
    const auto progress = [&] {
        const double wall_s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
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
}

// After the last step: the repeated warnings, the edits left over, and what
// the run lacks (pipeline steps whose results could not be used, trend or
// profile rows left out), which fails a run that would otherwise succeed.
void CaseRun::Conclude() {
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
}

// Stops the run and writes trends.csv, the last profile pictures and, when
// asked for, trends.svg.
void CaseRun::WriteOutputs() {
    run.Stop();
    try {
        trends->Commit(trends_path.string(), table.HeaderLine(), table.Columns().size());
        outputs.Wrote("trends.csv");
    } catch (const std::exception&) {
        log.Write(Level::Error, "writing " + trends_path.string() + " failed");
        code = code == kExitOk ? kExitInternal : code;
    }
    ProfilePicture("");
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
}

// Saves the case with its snapshots, writes the summary (mass balance
// included) and stops the servers. Result: the run's exit code.
int CaseRun::SaveAndSummarise() {
    std::error_code ec;
    inventory.RefreshAtTheEnd(tools, units);
    const double inventory_change = inventory.Empty() ? 0.0 : inventory.TotalKg() - inventory_start;
    std::vector<std::string> balance_warnings = inventory.Caveats(dt);
    const json connection_flows = inventory.ConnectionFlows();
    c.flowsheet = refhost::SaveFlowsheet(plant);
    // A snapshot that could not be saved is an error of the run, reported
    // after whatever the extension said about it.
    const auto unsaved = SaveSnapshots(c.units, units, tools, *c.window);
    DrainWindow();
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

int RunCoupled(const RunSetting& s) {
    CaseRun run(s);
    return run.Run();
}

}  // namespace zefalink
