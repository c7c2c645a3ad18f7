// Case files: a case's settings, units and variables to and from JSON, with
// model paths resolved against the case's folder.
#include "lib/case_file.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/safe_file.h"

namespace refhost {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kFormat = "zefalink-case";
constexpr int kFormatVersion = 1;

// The empty marker is stored as null so that files read naturally.
json NumberToJson(double v) {
    return host::IsEmptyNumber(v) ? json(nullptr) : json(v);
}

double NumberFromJson(const json& j, const std::string& file, const std::string& key) {
    if (j.is_null()) return host::kEmptyNumber;
    if (!j.is_number()) throw CaseFileError(file, key, "expected a number or null");
    return j.get<double>();
}

std::string StreamName(const std::shared_ptr<host::MaterialStream>& s) {
    return s ? s->Name() : std::string();
}

json VariableToJson(const host::Variable& variable) {
    switch (variable.Kind()) {
        case host::VariableKind::Text:
            return dynamic_cast<const host::TextVariable&>(variable).GetValue();
        case host::VariableKind::Number:
            return NumberToJson(dynamic_cast<const host::NumberVariable&>(variable).GetValue());
        case host::VariableKind::TextArray:
            return dynamic_cast<const host::TextArrayVariable&>(variable).GetValues();
        case host::VariableKind::NumberArray: {
            const auto values =
                dynamic_cast<const host::NumberArrayVariable&>(variable).GetValues();
            json out = json::array();
            if (values.IsTwoD()) {
                for (std::size_t i = 0; i < values.rows; ++i) {
                    json row = json::array();
                    for (std::size_t j = 0; j < values.columns; ++j) {
                        row.push_back(NumberToJson(values.At(i, j)));
                    }
                    out.push_back(row);
                }
            } else {
                for (double v : values.data) out.push_back(NumberToJson(v));
            }
            return out;
        }
        case host::VariableKind::StreamList: {
            json out = json::array();
            for (const auto& s :
                 dynamic_cast<const host::StreamListVariable&>(variable).GetStreams()) {
                out.push_back(s ? json(StreamName(s)) : json(nullptr));
            }
            return out;
        }
        case host::VariableKind::Object: {
            auto s = dynamic_cast<const host::ObjectVariable&>(variable).Object();
            return s ? json(StreamName(s)) : json(nullptr);
        }
    }
    return nullptr;
}

std::shared_ptr<host::MaterialStream> Resolve(const json& j, const std::string& file,
                                              const std::string& key,
                                              const StreamResolver& streams) {
    if (j.is_null()) return nullptr;
    if (!j.is_string()) throw CaseFileError(file, key, "expected a stream name or null");
    const auto name = j.get<std::string>();
    auto stream = streams ? streams(name) : nullptr;
    if (!stream) throw CaseFileError(file, key, "unknown stream \"" + name + "\"");
    return stream;
}

void VariableFromJson(host::Variable& variable, const json& j, const std::string& file,
                      const std::string& key, const StreamResolver& streams) {
    switch (variable.Kind()) {
        case host::VariableKind::Text:
            if (!j.is_string()) throw CaseFileError(file, key, "expected a text");
            dynamic_cast<host::TextVariable&>(variable).SetValue(j.get<std::string>());
            return;
        case host::VariableKind::Number:
            dynamic_cast<host::NumberVariable&>(variable).SetValue(NumberFromJson(j, file, key));
            return;
        case host::VariableKind::TextArray: {
            if (!j.is_array()) throw CaseFileError(file, key, "expected an array of texts");
            std::vector<std::string> values;
            for (std::size_t i = 0; i < j.size(); ++i) {
                if (!j[i].is_string()) {
                    throw CaseFileError(file, key + "[" + std::to_string(i) + "]",
                                        "expected a text");
                }
                values.push_back(j[i].get<std::string>());
            }
            dynamic_cast<host::TextArrayVariable&>(variable).SetValues(values);
            return;
        }
        case host::VariableKind::NumberArray: {
            if (!j.is_array()) throw CaseFileError(file, key, "expected an array");
            host::NumberArray values;
            const bool two_d = !j.empty() && j[0].is_array();
            if (two_d) {
                const std::size_t columns = j[0].size();
                if (columns == 0) throw CaseFileError(file, key, "rows must not be empty");
                values = host::NumberArray::TwoD(j.size(), columns);
                for (std::size_t i = 0; i < j.size(); ++i) {
                    const std::string row_key = key + "[" + std::to_string(i) + "]";
                    if (!j[i].is_array() || j[i].size() != columns) {
                        throw CaseFileError(
                            file, row_key,
                            "expected a row of " + std::to_string(columns) + " numbers");
                    }
                    for (std::size_t c = 0; c < columns; ++c) {
                        values.At(i, c) = NumberFromJson(j[i][c], file, row_key);
                    }
                }
            } else {
                std::vector<double> data;
                for (std::size_t i = 0; i < j.size(); ++i) {
                    data.push_back(NumberFromJson(j[i], file, key + "[" + std::to_string(i) + "]"));
                }
                values = host::NumberArray::OneD(std::move(data));
            }
            dynamic_cast<host::NumberArrayVariable&>(variable).SetValues(values);
            return;
        }
        case host::VariableKind::StreamList: {
            if (!j.is_array()) throw CaseFileError(file, key, "expected an array of stream names");
            std::vector<std::shared_ptr<host::MaterialStream>> list;
            for (std::size_t i = 0; i < j.size(); ++i) {
                list.push_back(Resolve(j[i], file, key + "[" + std::to_string(i) + "]", streams));
            }
            dynamic_cast<host::StreamListVariable&>(variable).SetStreams(list);
            return;
        }
        case host::VariableKind::Object:
            dynamic_cast<MemObjectVariable&>(variable).SetObject(Resolve(j, file, key, streams));
            return;
    }
}

std::string FolderOf(const std::string& path) {
    fs::path folder = fs::absolute(fs::path(path)).parent_path();
    return folder.string();
}

// A relative model folder names a folder beside the case file, so that a case
// and its models can be moved or cloned together; an absolute one is kept.
void ResolveModelPath(PipelineUnit& unit, const std::string& case_folder) {
    auto model_path = unit.Get<host::TextVariable>("zefaModelPath");
    const fs::path given(model_path->GetValue());
    if (given.empty() || given.is_absolute()) return;
    std::string resolved = (fs::path(case_folder) / given).lexically_normal().string();
    // "folder/." normalises to "folder/": the extension joins names itself.
    while (resolved.size() > 1 && resolved.back() == '/') resolved.pop_back();
    model_path->SetValue(resolved);
}

}  // namespace

json UnitVariablesToJson(const PipelineUnit& unit) {
    json out = json::object();
    for (const auto& variable : unit.Variables()) out[variable->Tag()] = VariableToJson(*variable);
    return out;
}

void LoadUnitVariables(PipelineUnit& unit, const json& variables, const std::string& file,
                       const StreamResolver& streams) {
    if (!variables.is_object()) throw CaseFileError(file, "variables", "expected an object");
    for (auto it = variables.begin(); it != variables.end(); ++it) {
        const std::string key = "units." + unit.Name() + ".variables." + it.key();
        std::shared_ptr<host::Variable> variable;
        try {
            variable = unit.FindVariable(it.key());
        } catch (const std::exception&) {
            throw CaseFileError(file, key, "no such variable");
        }
        VariableFromJson(*variable, it.value(), file, key, streams);
    }
}

HostCase NewCase(const std::string& path) {
    HostCase c;
    c.path = path;
    c.host_case = std::make_shared<RefCase>(FolderOf(path));
    return c;
}

json ReadCaseJson(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw CaseFileError(path, "", "cannot open the case file");
    // The parser reports the depth of every value it starts: refused before
    // anything that deep is built.
    const json::parser_callback_t bound = [&path](int depth, json::parse_event_t event, json&) {
        if ((event == json::parse_event_t::object_start ||
             event == json::parse_event_t::array_start) &&
            depth >= kMaxCaseNesting)
            throw CaseFileError(
                path, "",
                "arrays and objects nested more than " + std::to_string(kMaxCaseNesting) + " deep");
        return true;
    };
    try {
        return json::parse(in, bound);
    } catch (const json::parse_error& e) {
        throw CaseFileError(path, "", std::string("not valid JSON: ") + e.what());
    }
}

HostCase LoadCase(const std::string& path, const StreamResolver& streams) {
    json doc = ReadCaseJson(path);
    if (!doc.is_object()) throw CaseFileError(path, "", "expected a JSON object");
    if (doc.value("format", "") != kFormat) {
        throw CaseFileError(path, "format", std::string("expected \"") + kFormat + "\"");
    }
    if (!doc.contains("version") || !doc["version"].is_number_integer() ||
        doc["version"].get<int>() > kFormatVersion) {
        throw CaseFileError(path, "version", "unsupported case format version");
    }

    HostCase c = NewCase(path);
    if (doc.contains("solver")) {
        const json& s = doc["solver"];
        if (!s.is_object()) throw CaseFileError(path, "solver", "expected an object");
        auto solver = c.host_case->SolverObject();
        try {
            solver->mode_ = s.value("mode", 0);
            solver->integrator_->step_size_ = s.value("step_size", 0.5);
            solver->integrator_->time_ = s.value("time", 0.0);
        } catch (const json::exception&) {
            throw CaseFileError(path, "solver", "mode, step_size and time must be numbers");
        }
        if (!(solver->integrator_->step_size_ > 0)) {
            throw CaseFileError(path, "solver.step_size", "must be positive");
        }
    }
    if (doc.contains("flowsheet")) c.flowsheet = doc["flowsheet"];
    if (doc.contains("record")) c.record = doc["record"];
    if (doc.contains("schedule")) c.schedule = doc["schedule"];
    if (doc.contains("script")) c.script = doc["script"];

    if (doc.contains("units")) {
        const json& units = doc["units"];
        if (!units.is_array()) throw CaseFileError(path, "units", "expected an array");
        for (std::size_t i = 0; i < units.size(); ++i) {
            const json& u = units[i];
            const std::string key = "units[" + std::to_string(i) + "]";
            if (!u.is_object() || !u.contains("name") || !u["name"].is_string()) {
                throw CaseFileError(path, key + ".name", "expected the unit's name");
            }
            if (u.value("type", "zefapipeline") != "zefapipeline") {
                throw CaseFileError(path, key + ".type", "unknown unit operation type");
            }
            auto unit = std::make_shared<PipelineUnit>(u["name"].get<std::string>(), c.host_case,
                                                       c.window, c.ui);
            if (u.contains("variables")) LoadUnitVariables(*unit, u["variables"], path, streams);
            ResolveModelPath(*unit, c.host_case->Folder());
            c.host_case->Flowsheet()->Add(unit);
            c.units.push_back(unit);
        }
    }
    return c;
}

void SaveCase(const HostCase& c, const std::string& path) {
    json doc;
    doc["format"] = kFormat;
    doc["version"] = kFormatVersion;
    auto solver = c.host_case->SolverObject();
    doc["solver"] = {{"mode", solver->mode_},
                     {"step_size", solver->integrator_->step_size_},
                     {"time", solver->integrator_->time_}};
    if (!c.flowsheet.is_null()) doc["flowsheet"] = c.flowsheet;
    if (!c.record.is_null()) doc["record"] = c.record;
    if (!c.schedule.is_null()) doc["schedule"] = c.schedule;
    if (!c.script.is_null()) doc["script"] = c.script;
    json units = json::array();
    for (const auto& unit : c.units) {
        units.push_back({{"name", unit->Name()},
                         {"type", unit->TypeName()},
                         {"variables", UnitVariablesToJson(*unit)}});
    }
    doc["units"] = units;

    // A new file beside the case, renamed over it: a failed save never leaves
    // a damaged case, and a link planted at either name is never followed.
    try {
        zefa::WriteFileReplacing(path, doc.dump(2) + "\n");
    } catch (const std::exception&) {
        throw CaseFileError(path, "", "cannot write the case file");
    }
}

}  // namespace refhost
