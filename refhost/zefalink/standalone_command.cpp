// zefalink standalone: runs a case's pipeline model alone, with the host's
// integrator stopped, up to an end time, as the user does from the unit's
// view: connect, load and initialise as the case's settings say, set the end
// time, press "Run ZEFA", and wait for the results. Writes the pipeline's
// boundary and source results, and saves the case.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "case_session.h"
#include "commands.h"
#include "pipeline_columns.h"
#include "pipeline_library.h"
#include "platform/safe_file.h"

namespace zefalink {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct StandaloneOptions {
    std::string case_path;
    double until = 0.0;
    std::string out_dir = ".";
    std::string unit;
    double every = 0.0;  // recording interval, s; 0: a hundredth of the run
    std::vector<std::string> answers;
};

// Rows of the trends when no recording interval is given, and the shortest
// leg (the server's time is a single-precision number).
constexpr double kDefaultRows = 100.0;
constexpr double kMinimumInterval = 0.01;

// True when a server process is alive and not stopped, and has used processor
// time since the last look (`cpu` keeps the last reading).
bool ProcessWorking(int pid, unsigned long long& cpu) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(text.substr(close + 1));
    char state = '?';
    fields >> state;
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;  // fields 4 to 14: utime is next
    unsigned long long utime = 0, stime = 0;
    fields >> utime >> stime;
    if (!fields || state == 'Z' || state == 'X' || state == 'T' || state == 't') return false;
    const bool busy = utime + stime > cpu || state == 'R';
    cpu = utime + stime;
    return busy;
}

std::string Number(double v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.10g", v);
    return buffer;
}

// A value of the trends table; empty where the host has none yet.
std::string Cell(double v) {
    return host::IsEmptyNumber(v) ? "" : Number(v);
}

double NumberOf(refhost::PipelineUnit& unit, const char* tag) {
    return unit.Get<host::NumberVariable>(tag)->GetValue();
}

// One pipeline boundary or source as the model left it: pressure (kPa),
// temperature (C) and the mass flow of each phase (kg/s).
struct EndResult {
    std::string kind;
    std::size_t index = 0;
    double pressure = host::kEmptyNumber;
    double temperature = host::kEmptyNumber;
    std::vector<double> flows;
};

std::vector<EndResult> Results(refhost::PipelineUnit& unit, const char* kind, const char* pressures,
                               const char* temperatures, const char* flows) {
    const auto p = unit.Get<host::NumberArrayVariable>(pressures)->GetValues();
    const auto t = unit.Get<host::NumberArrayVariable>(temperatures)->GetValues();
    const auto f = unit.Get<host::NumberArrayVariable>(flows)->GetValues();
    std::vector<EndResult> out;
    for (std::size_t i = 0; i < p.Count() && !p.IsTwoD(); ++i) {
        EndResult r;
        r.kind = kind;
        r.index = i;
        r.pressure = p.At(i);
        if (!t.IsTwoD() && i < t.Count()) r.temperature = t.At(i);
        if (f.IsTwoD() && i < f.rows)
            for (std::size_t k = 0; k < f.columns; ++k) r.flows.push_back(f.At(i, k));
        out.push_back(r);
    }
    return out;
}

json ToJson(double v) {
    return host::IsEmptyNumber(v) ? json(nullptr) : json(v);
}

// Waits for the standalone leg the extension started, for as long as the
// server is alive and working: each wait lasts at most the unit's
// TimeStepTimeOut, and a wait that ends with the leg outstanding goes on while
// the server this run started still computes (a server it did not start
// counts as working while the connection stands).
bool WaitWhileWorking(CaseSession& session) {
    host::UnitOperationExtension& extension = session.Extension();
    const ZefaToolInterface* tools = session.Tools();
    unsigned long long cpu = 0;
    const int pid = tools->started_server_pid(&extension);
    if (pid > 0) ProcessWorking(pid, cpu);
    while (tools->wait_for_step(&extension) == 0) {
        if (tools->server_state(&extension) == 0) return false;
        if (pid > 0 && !ProcessWorking(pid, cpu)) return false;
    }
    return true;
}

// Runs the pipeline from `start` to the end time in legs and records the
// trends over time into `trends` (CSV text). False, with the message written,
// when a leg is refused, the server stops working or the model stops short.
bool RunLegs(CaseSession& session, const StandaloneOptions& o, double start, std::string& trends) {
    refhost::PipelineUnit& unit = session.Unit();
    const auto press = [&](const char* command) {
        return session.Edit(refhost::PressEdit(command));
    };
    const double every =
        o.every > 0.0 ? o.every : std::max((o.until - start) / kDefaultRows, kMinimumInterval);
    // The trends over time: the boundary and source results and the unit's
    // trends, as zefalink run records them, at the start and after each leg.
    std::vector<Column> columns = PipelineColumns(unit);
    trends = "Time [s]";
    for (const auto& col : columns) trends += ',' + col.header;
    trends += '\n';
    // A leg's results are taken when it ends; the extension reads the trends
    // when the next leg starts (and rebuilds its tables then). A row is
    // begun with the results and finished with the trends; the last row, at
    // the end time, has the results only.
    const auto inlets = UnitVariable<host::StreamListVariable>(unit, "Inlets");
    const auto outlets = UnitVariable<host::StreamListVariable>(unit, "Outlets");
    const std::size_t result_columns =
        std::min(columns.size(), 5 * ((inlets ? inlets->GetStreams().size() : 0) +
                                      (outlets ? outlets->GetStreams().size() : 0)));
    std::string row;
    const auto begin_row = [&](double t) {
        row = Number(t);
        for (std::size_t c = 0; c < result_columns; ++c) row += ',' + Cell(columns[c].value());
    };
    const auto finish_row = [&](bool with_trends) {
        for (std::size_t c = result_columns; c < columns.size(); ++c)
            row += ',' + (with_trends ? Cell(columns[c].value()) : "");
        trends += row + '\n';
    };
    begin_row(start);
    // Legs up to the end time, each a standalone run of the extension's own,
    // ending at the next recording time, or sooner when the server's speed
    // so far says the leg would take over half the unit's TimeStepTimeOut;
    // the first end time the extension refuses is refused as the whole run
    // would be.
    const auto text_value = [](double v) { return std::stod(Number(v)); };
    const double time_out = NumberOf(unit, "TimeStepTimeOut");
    double reached = start;
    double speed = 0.0;  // pipeline seconds per second of wall time
    long rows = 0;
    bool row_open = true;
    for (;;) {
        const double next_row =
            text_value(std::min(start + static_cast<double>(rows + 1) * every, o.until));
        // Until the speed is known, a short first leg measures it.
        double target = speed > 0.0
                            ? next_row
                            : text_value(std::min(next_row, reached + std::max(every / kDefaultRows,
                                                                               kMinimumInterval)));
        if (speed > 0.0 && time_out > 0.0)
            target = text_value(
                std::min(target, reached + std::max(0.5 * speed * time_out, kMinimumInterval)));
        refhost::ViewEdit end_time;
        end_time.tag = "zefaEndTime";
        end_time.value = Number(target);
        if (!session.Edit(end_time) || !press("msgRunZEFA")) return false;
        if (row_open) finish_row(true);
        row_open = false;
        const auto began = std::chrono::steady_clock::now();
        if (!WaitWhileWorking(session)) {
            std::cerr << "error: " << unit.Name() << ": the pipeline server stopped working at "
                      << Number(NumberOf(unit, "ZEFAsimTime")) << " s\n";
            return false;
        }
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        const double leg_start = reached;
        reached = NumberOf(unit, "ZEFAsimTime");
        if (reached != target) break;
        if (wall > 0.0) speed = (reached - leg_start) / wall;
        std::cerr << "info: " << std::lround(100.0 * (reached - start) / (o.until - start))
                  << "% complete, t=" << Number(reached) << " s\n";
        if (reached == next_row) {
            ++rows;
            begin_row(reached);
            row_open = true;
        }
        if (reached >= o.until) {
            if (row_open) finish_row(false);
            break;
        }
    }
    if (reached != o.until) {
        std::cerr << "error: " << unit.Name() << ": the pipeline model did not run to "
                  << Number(o.until) << " s\n";
        return false;
    }
    return true;
}

int RunStandalone(const StandaloneOptions& o) {
    if (!std::isfinite(o.until) || !std::isfinite(o.every) || o.every < 0.0) {
        std::cerr << "error: --until and --every must be times in seconds\n";
        return kExitUsage;
    }
    std::error_code ec;
    fs::create_directories(o.out_dir, ec);
    if (ec || !fs::is_directory(o.out_dir)) {
        std::cerr << "error: cannot create the output folder " << o.out_dir << '\n';
        return kExitUsage;
    }
    CaseSession session;
    if (const int rc = session.Open(o.case_path, o.unit, o.answers); rc != kExitOk) return rc;
    refhost::PipelineUnit& unit = session.Unit();
    // The server program of the build when the case names none, as run does.
    DefaultServerProgram(unit);
    host::UnitOperationExtension& extension = session.Extension();
    const ZefaToolInterface* tools = session.Tools();
    if (tools == nullptr || tools->wait_for_step == nullptr) {
        std::cerr << "error: the pipeline extension library cannot wait for a standalone run\n";
        return kExitInternal;
    }
    const auto press = [&](const char* command) {
        return session.Edit(refhost::PressEdit(command));
    };

    // Connect, load and initialise as the user would with these settings:
    // automatic start when the case asks for it, else the view's buttons.
    if (tools->server_state(&extension) == 0) {
        if (NumberOf(unit, "boolUseAutoStart") == 1 && NumberOf(unit, "useAutoConnect") != 1) {
            tools->open_connection(&extension);
        } else if (!press("OpenConnectionMessage")) {
            return kExitFailed;
        }
    }
    if (tools->server_state(&extension) == 0) {
        std::cerr << "error: " << unit.Name() << ": could not connect to the pipeline server\n";
        return kExitServerUnavailable;
    }
    if (tools->server_state(&extension) == 1) {
        if (!press("LoadInputMsg")) return kExitFailed;
        const std::string snapshot = unit.Get<host::TextVariable>("SnapshotFile")->GetValue();
        if (NumberOf(unit, "boolAutoLoadSS") == 1 && !snapshot.empty() && !press("LoadSnapMsg"))
            return kExitFailed;
    }
    if (tools->server_state(&extension) == 2 && !press("InitializeMessage")) return kExitFailed;
    if (tools->server_state(&extension) != 4) {
        std::cerr << "error: " << unit.Name()
                  << ": the pipeline model could not be loaded and initialised\n";
        return kExitFailed;
    }

    const double start = NumberOf(unit, "ZEFAsimTime");
    std::string trends;
    if (!RunLegs(session, o, start, trends)) return kExitFailed;
    const double reached = NumberOf(unit, "ZEFAsimTime");

    // ---- Results ----
    auto results =
        Results(unit, "boundary", "BoundaryPressures", "BoundaryTemperatures", "OutletMassFlows");
    for (auto& r :
         Results(unit, "source", "SourcePressures", "SourceTemperatures", "SourceMassFlows"))
        results.push_back(r);
    const auto phases = unit.Get<host::TextArrayVariable>("phaseLabels")->GetValues();
    const auto phase = [&](std::size_t k) {
        return k < phases.size() ? phases[k] : "phase " + std::to_string(k + 1);
    };

    std::cout << "ZEFAsimTime = " << Number(reached) << '\n';
    std::string csv = "Kind,Index,Pressure [kPa],Temperature [C]";
    for (std::size_t k = 0; k < 3; ++k) csv += "," + phase(k) + " mass flow [kg/s]";
    csv += '\n';
    json items = json::array();
    for (const auto& r : results) {
        std::cout << r.kind << ' ' << r.index << ": pressure " << Number(r.pressure)
                  << " kPa, temperature " << Number(r.temperature) << " C, mass flows";
        csv += r.kind + "," + std::to_string(r.index) + "," + Number(r.pressure) + "," +
               Number(r.temperature);
        json flows = json::object();
        for (std::size_t k = 0; k < r.flows.size(); ++k) {
            std::cout << ' ' << phase(k) << ' ' << Number(r.flows[k]);
            if (k < 3) csv += "," + Number(r.flows[k]);
            flows[phase(k)] = ToJson(r.flows[k]);
        }
        for (std::size_t k = r.flows.size(); k < 3; ++k) csv += ",";
        std::cout << " kg/s\n";
        csv += '\n';
        items.push_back({{"kind", r.kind},
                         {"index", r.index},
                         {"pressure_kPa", ToJson(r.pressure)},
                         {"temperature_C", ToJson(r.temperature)},
                         {"mass_flows_kg_s", flows}});
    }
    json summary = {{"case", o.case_path}, {"unit", unit.Name()},    {"start_time", ToJson(start)},
                    {"end_time", o.until}, {"ZEFAsimTime", reached}, {"results", items}};
    int rc = session.Save();
    const fs::path summary_path = fs::path(o.out_dir) / "standalone-summary.json";
    const fs::path csv_path = fs::path(o.out_dir) / "standalone.csv";
    const fs::path trends_path = fs::path(o.out_dir) / "standalone-trends.csv";
    for (const auto& [path, text] : {std::pair{summary_path, summary.dump(2) + "\n"},
                                     std::pair{csv_path, csv}, std::pair{trends_path, trends}}) {
        try {
            zefa::WriteFileReplacing(path.string(), text);
        } catch (const std::exception&) {
            std::cerr << "error: cannot write " << path.string() << '\n';
            if (rc == kExitOk) rc = kExitCannotCreate;
        }
    }
    return rc;
}

}  // namespace

void AddStandaloneCommand(CLI::App& app, int& exit_code) {
    auto options = std::make_shared<StandaloneOptions>();
    CLI::App* cmd = app.add_subcommand(
        "standalone", "Run a case's pipeline model alone up to an end time, then save the case");
    cmd->add_option("case", options->case_path, "Case file (CASE.case.json)")->required();
    cmd->add_option("--until", options->until, "Pipeline end time (s)")->required();
    cmd->add_option("--out", options->out_dir,
                    "Folder for standalone-summary.json and standalone.csv (default: .)");
    cmd->add_option("--every", options->every,
                    "Record the trends every N seconds of pipeline time (default: a hundredth "
                    "of the run), in standalone-trends.csv");
    cmd->add_option("--unit", options->unit, "Pipeline unit operation (default: the first)");
    AddAnswerOption(*cmd, options->answers);
    cmd->callback([options, &exit_code] {
        try {
            exit_code = RunStandalone(*options);
        } catch (const std::exception& e) {
            std::cerr << "error: internal error: " << e.what() << '\n';
            exit_code = kExitInternal;
        }
    });
}

}  // namespace zefalink
