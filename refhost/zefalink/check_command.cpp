// zefalink check: validates a case and every pipeline model it names without
// running anything: the case as the run command reads it, then per coupled
// pipeline unit its model file (branches, pipes, sources, boundaries,
// positions and labels, as the pipeline server reads it) and which of the
// unit's connections, trend positions and profile branches map to which
// model label.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "commands.h"
#include "input.h"
#include "lib/components.h"
#include "lib/flowsheet_file.h"
#include "model_check.h"
#include "pipeline_library.h"
#include "schedule.h"
#include "unit_values.h"

namespace zefalink {
namespace {

namespace fs = std::filesystem;

double Entry(refhost::PipelineUnit& unit, const char* tag, std::size_t i) {
    auto v = UnitVariable<host::NumberArrayVariable>(unit, tag);
    if (!v) return host::kEmptyNumber;
    const auto data = v->GetValues().data;
    return i < data.size() ? data[i] : host::kEmptyNumber;
}

std::string Text(refhost::PipelineUnit& unit, const char* tag) {
    auto v = UnitVariable<host::TextVariable>(unit, tag);
    return v ? v->GetValue() : std::string();
}

bool Contains(const std::vector<std::string>& list, const std::string& label) {
    return std::find(list.begin(), list.end(), label) != list.end();
}

std::string Hint(const std::string& label, const std::vector<std::string>& valid) {
    const std::string near = refhost::NearestName(label, valid);
    if (!near.empty()) return " (did you mean \"" + near + "\"?)";
    std::string all;
    for (const auto& v : valid) all += (all.empty() ? "" : ", ") + v;
    return all.empty() ? " (the model has none)" : " (the model has " + all + ")";
}

// Checks one coupled unit against its model; the count of problems.
int CheckUnit(refhost::PipelineUnit& unit) {
    const std::string name = unit.Name();
    const std::string input = Text(unit, "InputFile");
    if (input.empty()) {
        std::cout << name << ": error: no model: set InputFile (and zefaModelPath)\n";
        return 1;
    }
    const fs::path model_path = fs::path(Text(unit, "zefaModelPath")) / input;
    std::error_code ec;
    if (!fs::is_regular_file(model_path, ec)) {
        std::cout << name << ": error: the model file " << model_path.string()
                  << " does not exist (zefaModelPath + InputFile)\n";
        return 1;
    }
    zefasim::Model model;
    try {
        model = zefasim::LoadModelFile(model_path.string(), model_path.string());
    } catch (const std::exception& e) {
        std::cout << name << ": error: " << e.what() << '\n';
        return 1;
    }
    std::istringstream summary(zefasim::DescribeModel(model, model_path.string()));
    for (std::string line; std::getline(summary, line);) std::cout << name << ": " << line << '\n';
    const zefasim::ModelLabels labels = zefasim::LabelsOf(model);
    int problems = 0;

    // The connections: inlets, then outlets, each a source or a boundary.
    const auto inlets = UnitVariable<host::StreamListVariable>(unit, "Inlets");
    const auto outlets = UnitVariable<host::StreamListVariable>(unit, "Outlets");
    const auto source_tags = UnitTexts(unit, "SourceTags");
    const auto boundary_tags = UnitTexts(unit, "BoundaryTags");
    std::vector<std::string> coupled;
    const auto connect = [&](bool inlet, std::size_t j, const std::string& stream) {
        const bool boundary = inlet ? Entry(unit, "InletBoundaryCB", j) == 1.0
                                    : Entry(unit, "OutletSourceCB", j) != 1.0;
        const auto& tags = inlet ? source_tags : boundary_tags;
        const std::string label = j < tags.size() ? tags[j] : "";
        const auto& valid = boundary ? labels.boundaries : labels.sources;
        std::cout << name << ": " << (inlet ? "inlet " : "outlet ") << stream << " -> "
                  << (boundary ? "boundary " : "source ") << label;
        if (Contains(valid, label)) {
            std::cout << ": ok\n";
            coupled.push_back(label);
            return;
        }
        ++problems;
        const auto& other = boundary ? labels.sources : labels.boundaries;
        if (!label.empty() && Contains(other, label))
            std::cout << ": error: " << label << " is a " << (boundary ? "source" : "boundary")
                      << " of the model; " << (inlet ? "InletBoundaryCB" : "OutletSourceCB")
                      << " says otherwise\n";
        else
            std::cout << ": error: no " << (boundary ? "boundary" : "source") << " labelled \""
                      << label << "\" in the model" << Hint(label, valid) << " ("
                      << (inlet ? "SourceTags" : "BoundaryTags") << "[" << j << "])\n";
    };
    for (const bool inlet : {true, false}) {
        const auto& list = inlet ? inlets : outlets;
        const auto streams = list ? list->GetStreams() : decltype(list->GetStreams()){};
        for (std::size_t j = 0; j < streams.size(); ++j)
            connect(inlet, j, streams[j] ? streams[j]->Name() : "(none)");
    }
    for (const auto& s : labels.sources)
        if (!Contains(coupled, s))
            std::cout << name << ": note: source " << s
                      << " is not connected: it keeps the flow of the model file\n";
    for (const auto& b : labels.boundaries)
        if (!Contains(coupled, b))
            std::cout << name << ": note: boundary " << b
                      << " is not connected: it keeps the pressure of the model file\n";

    // Trend positions and profile branches name model labels too.
    std::vector<std::string> placed = labels.positions;
    for (const auto* list : {&labels.sources, &labels.boundaries, &labels.wells})
        placed.insert(placed.end(), list->begin(), list->end());
    for (const auto& p : UnitTexts(unit, "TrendPositions")) {
        if (p.empty() || p == "New Trend" || Contains(placed, p)) continue;
        ++problems;
        std::cout << name << ": error: trend position \"" << p << "\" is not in the model"
                  << Hint(p, labels.positions) << '\n';
    }
    for (const auto& b : UnitTexts(unit, "ProfileBranches")) {
        if (b.empty() || Contains(labels.branches, b)) continue;
        ++problems;
        std::cout << name << ": error: profile branch \"" << b << "\" is not in the model"
                  << Hint(b, labels.branches) << '\n';
    }
    return problems;
}

int RunCheck(const std::string& path) {
    LoadedCase loaded;
    try {
        loaded = LoadCaseWithFlowsheet(path);
        if (loaded.plant) {
            refhost::LoadRecord(loaded.c.record, path, *loaded.plant, loaded.c.units);
            EditSchedule schedule;
            if (std::string e = schedule.Load({}, loaded.c, refhost::PlantStreams(*loaded.plant));
                !e.empty())
                throw std::runtime_error(e);
        }
    } catch (const refhost::CaseFileError& e) {
        std::cerr << "error: invalid case: " << e.what() << '\n';
        return kExitInvalidCase;
    } catch (const std::exception& e) {
        std::cerr << "error: invalid case: " << path << ": " << e.what() << '\n';
        return kExitInvalidCase;
    }
    std::cout << "case " << path << ": " << loaded.c.units.size() << " pipeline unit(s)"
              << (loaded.plant ? "" : ", no flowsheet (nothing to run)") << '\n';
    int problems = loaded.plant ? 0 : 1;
    for (const auto& unit : loaded.c.units) {
        auto ignore = UnitVariable<host::NumberVariable>(*unit, "ignoreZEFA");
        if (ignore && ignore->GetValue() == 1.0) {
            std::cout << unit->Name() << ": bypassed (ignoreZEFA = 1): no model to check\n";
            continue;
        }
        problems += CheckUnit(*unit);
    }
    if (problems > 0) {
        std::cerr << "error: " << path << ": " << problems << " problem(s) found\n";
        return kExitInvalidCase;
    }
    std::cout << "check: " << path << " is ready to run\n";
    return kExitOk;
}

}  // namespace

void AddCheckCommand(CLI::App& app, int& exit_code) {
    auto path = std::make_shared<std::string>();
    auto* cmd = app.add_subcommand(
        "check", "Check a case and the pipeline models it names, without running anything");
    cmd->add_option("case", *path, "Case file (.case.json)")->required();
    cmd->callback([path, &exit_code] { exit_code = RunCheck(*path); });
}

}  // namespace zefalink
