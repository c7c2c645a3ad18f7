// zefalink standalone: runs a case's pipeline model alone, with the host's
// integrator stopped, up to an end time, as the user does from the unit's
// view: connect, load and initialise as the case's settings say, set the end
// time, press "Run ZEFA", and wait for the results. Writes the pipeline's
// boundary and source results, and saves the case.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "case_session.h"
#include "commands.h"
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
    std::vector<std::string> answers;
};

std::string Number(double v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.10g", v);
    return buffer;
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

int RunStandalone(const StandaloneOptions& o) {
    if (!std::isfinite(o.until)) {
        std::cerr << "error: --until must be a time in seconds\n";
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
    refhost::ViewEdit end_time;
    end_time.tag = "zefaEndTime";
    end_time.value = Number(o.until);
    if (!session.Edit(end_time) || !press("msgRunZEFA")) return kExitFailed;
    // The results are taken when the client reads the server's reply.
    tools->wait_for_step(&extension);
    const double reached = NumberOf(unit, "ZEFAsimTime");
    if (reached != o.until) {
        std::cerr << "error: " << unit.Name() << ": the pipeline model did not run to "
                  << Number(o.until) << " s\n";
        return kExitFailed;
    }

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
    for (const auto& [path, text] :
         {std::pair{summary_path, summary.dump(2) + "\n"}, std::pair{csv_path, csv}}) {
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
