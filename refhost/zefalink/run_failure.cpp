// Why a coupled run could not start, the snapshots saved at its end, and the
// summary it writes when it ends early.
#include "run_failure.h"

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <iostream>

#include "client/tcp.h"
#include "pipeline_library.h"
#include "platform/safe_file.h"
#include "platform/text.h"

namespace zefalink {

namespace {

namespace fs = std::filesystem;

constexpr const char* kReportSuffix = ": KAVRIS-ZEFA Link Error";
constexpr const char* kServerReported = "ZEFA_SERVER Reported Error";

std::string Text(refhost::PipelineUnit& unit, const char* tag) {
    try {
        auto v = std::dynamic_pointer_cast<host::TextVariable>(unit.FindVariable(tag));
        return v ? v->GetValue() : "";
    } catch (const std::exception&) {
        return "";
    }
}

double Number(refhost::PipelineUnit& unit, const char* tag) {
    try {
        auto v = std::dynamic_pointer_cast<host::NumberVariable>(unit.FindVariable(tag));
        return v ? v->GetValue() : host::kEmptyNumber;
    } catch (const std::exception&) {
        return host::kEmptyNumber;
    }
}

// The first report that contains `part`; empty when none does.
std::string Find(const std::vector<std::string>& reports, const std::string& part) {
    for (const auto& r : reports)
        if (r.find(part) != std::string::npos) return r;
    return "";
}

// What the server said, after the client's prefix "... (...): ".
std::string ServerMessage(const std::string& report) {
    const std::size_t at = report.find("): ", report.find(kServerReported));
    return at == std::string::npos ? report : report.substr(at + 3);
}

// True when something accepts connections on the port.
bool Listens(const std::string& host, const std::string& port) {
    std::int32_t socket = 0;
    int number = 0;
    try {
        number = std::stoi(port);
        if (!zefa::tcp::TCPConnect(host, number, socket, 2)) return false;
    } catch (const std::exception&) {
        return false;
    }
    zefa::tcp::TCPClose(socket);
    return true;
}

}  // namespace

std::vector<std::string> UnitReports(const std::vector<std::string>& window,
                                     const std::string& unit) {
    const std::string suffix = ": " + unit + kReportSuffix;
    std::vector<std::string> reports;
    for (const auto& line : window)
        if (line.size() >= suffix.size() &&
            line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0)
            reports.push_back(line.substr(0, line.size() - suffix.size()));
    return reports;
}

RootCause UnitNotReadyCause(refhost::PipelineUnit& unit, const std::vector<std::string>& reports) {
    const std::string name = unit.Name() + ": ";
    const bool auto_start = Number(unit, "boolUseAutoStart") == 1.0;
    // A coupled run connects (and starts its server) only with auto-start on.
    const bool starts_server = auto_start;
    const std::string host = Text(unit, "zefaHost");
    const std::string port = zefa::FormatDouble(Number(unit, "PortNumber"));
    const std::string where = host + " port " + port;

    // Another program on the port: named by the extension's refusal.
    if (const std::string held = Find(reports, "by another program"); !held.empty())
        return {name + held, kExitServerUnavailable};
    std::error_code ec;
    if (starts_server) {
        const std::string exe = Text(unit, "zefaExe");
        if (exe.empty() || !fs::exists(exe, ec))
            return {name + "the server program \"" + exe + "\" (zefaExe) does not exist",
                    kExitServerUnavailable};
        if (fs::is_directory(exe, ec) || ::access(exe.c_str(), X_OK) != 0)
            return {name + "the server program \"" + exe + "\" (zefaExe) is not executable",
                    kExitServerUnavailable};
        const std::string folder = Text(unit, "zefaModelPath");
        if (!fs::is_directory(folder, ec))
            return {name + "the model folder \"" + folder + "\" (zefaModelPath) does not exist",
                    kExitInvalidCase};
    }
    const std::string model = zefa::JoinPath(Text(unit, "zefaModelPath"), Text(unit, "InputFile"));
    if (auto_start && !fs::is_regular_file(model, ec))
        return {name + "the model file \"" + model + "\" (InputFile) does not exist",
                kExitInvalidCase};
    if (const std::string said = Find(reports, kServerReported); !said.empty())
        return {name + "the pipeline server refused the model \"" + model +
                    "\": " + ServerMessage(said),
                kExitInvalidCase};
    if (const std::string ended = Find(reports, "ended before it listened"); !ended.empty())
        return {name + ended, kExitServerUnavailable};
    if (!auto_start)
        return {name +
                    "the pipeline server is unavailable: auto-start is off "
                    "(boolUseAutoStart), so the run neither starts nor connects to one" +
                    (host.empty() || Listens(host, port) ? "" : "; none listens on " + where),
                kExitServerUnavailable};
    if (!Find(reports, "Could not connect to").empty())
        return {name + "the pipeline server started for " + where + " did not accept connections",
                kExitServerUnavailable};
    if (!Find(reports, "No reply (within the timeout period)").empty() ||
        !Find(reports, "Server is not responding").empty())
        return {name + "the pipeline server on " + where + " does not answer",
                kExitServerUnavailable};
    return {name + "the pipeline server is unavailable on " + where +
                (reports.empty() ? "" : ": " + reports.back()),
            kExitServerUnavailable};
}

std::vector<std::string> SaveSnapshots(
    const std::vector<std::shared_ptr<refhost::PipelineUnit>>& pipeline_units,
    std::vector<refhost::ExtensionUnit>& units, const ZefaToolInterface* tools,
    const refhost::MessageWindow& window) {
    std::vector<std::string> failures;
    for (std::size_t i = 0; i < units.size(); ++i) {
        auto* extension = units[i].extension.get();
        const std::string name =
            i < pipeline_units.size() ? pipeline_units[i]->Name() : units[i].name;
        const std::size_t seen = window.Lines().size();
        const bool loaded = tools != nullptr && tools->server_state(extension) >= 2;
        // A server that did not finish a step cannot save one either: asking
        // would only wait out the step time-out once more.
        if (loaded && tools->step_time_outs(extension) > 0) {
            failures.push_back(name +
                               ": the snapshot was not saved: the pipeline server did not finish "
                               "its last step");
            continue;
        }
        const std::string before =
            i < pipeline_units.size() ? Text(*pipeline_units[i], "SnapshotFile") : "";
        try {
            extension->Save();
        } catch (const std::exception& e) {
            failures.push_back(name + ": the snapshot was not saved: " + e.what());
            continue;
        }
        if (!loaded || i >= pipeline_units.size()) continue;
        const std::vector<std::string> fresh(window.Lines().begin() + static_cast<long>(seen),
                                             window.Lines().end());
        const auto reports = UnitReports(fresh, name);
        if (Text(*pipeline_units[i], "SnapshotFile") != before && reports.empty()) continue;
        failures.push_back(name + ": the snapshot was not saved" +
                           (reports.empty() ? std::string() : ": " + reports.back()));
    }
    return failures;
}

std::string SummaryText(const nlohmann::json& summary) {
    return summary.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
}

void WriteEarlySummary(const std::filesystem::path& path, nlohmann::json summary,
                       const std::string& state, const std::string& why,
                       const nlohmann::json& warnings, const nlohmann::json& errors) {
    summary["status"] = state;
    summary["stop_cause"] = why;
    summary["time_reached"] = summary.value("start_time", 0.0);
    summary["steps"] = 0;
    summary["warnings"] = warnings;
    summary["errors"] = errors;
    try {
        zefa::WriteFileReplacing(path.string(), SummaryText(summary));
    } catch (const std::exception&) {
        std::cerr << "error: cannot write " << path.string() << '\n';
    }
}

}  // namespace zefalink
