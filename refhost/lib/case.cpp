// The reference host's case objects: unit conversion, the message window, the
// scripted user interface, operations, table operations and the container.
#include "lib/case.h"

#include <algorithm>
#include <ostream>
#include <stdexcept>

namespace refhost {

namespace {

struct UnitFactor {
    const char* quantity;
    const char* unit;
    double scale;  // unit value = internal * scale + offset
    double offset;
};

// Internal units: pressure kPa, temperature C, mass flow kg/s, molar flow
// kgmole/s, time s, percent %.
constexpr UnitFactor kUnits[] = {
    {"pressure", "kPa", 1.0, 0.0},
    {"pressure", "N/m2", 1000.0, 0.0},
    {"pressure", "Pa", 1000.0, 0.0},
    {"pressure", "bar", 0.01, 0.0},
    {"pressure", "MPa", 0.001, 0.0},
    {"pressure", "atm", 1.0 / 101.325, 0.0},
    {"pressure", "psi", 1.0 / 6.894757293168361, 0.0},
    {"temperature", "C", 1.0, 0.0},
    {"temperature", "K", 1.0, 273.15},
    {"massflow", "kg/s", 1.0, 0.0},
    {"massflow", "kg/h", 3600.0, 0.0},
    {"molarflow", "kgmole/s", 1.0, 0.0},
    {"molarflow", "kgmole/h", 3600.0, 0.0},
    {"time", "seconds", 1.0, 0.0},
    {"time", "s", 1.0, 0.0},
    {"percent", "%", 1.0, 0.0},
};

const UnitFactor& FindUnit(const std::string& quantity, const std::string& unit) {
    for (const auto& u : kUnits) {
        if (quantity == u.quantity && unit == u.unit) return u;
    }
    throw std::invalid_argument(
        "Unit \"" + unit + "\" does not fit " +
        (quantity.empty() ? std::string("a dimensionless value") : "a " + quantity));
}

}  // namespace

double FromInternal(const std::string& quantity, const std::string& unit, double value) {
    // An empty unit means the internal unit; a dimensionless value has no unit.
    if (unit.empty() || (quantity.empty() && unit.empty())) return value;
    if (quantity.empty())
        throw std::invalid_argument("Unit \"" + unit + "\" given for a dimensionless value");
    const UnitFactor& u = FindUnit(quantity, unit);
    return value * u.scale + u.offset;
}

double ToInternal(const std::string& quantity, const std::string& unit, double value) {
    if (unit.empty()) return value;
    if (quantity.empty())
        throw std::invalid_argument("Unit \"" + unit + "\" given for a dimensionless value");
    const UnitFactor& u = FindUnit(quantity, unit);
    return (value - u.offset) / u.scale;
}

void MessageWindow::Write(const std::string& line) {
    lines_.push_back(line);
    if (echo_) *echo_ << line << '\n';
}

void ScriptedUserInterface::MessageBox(const std::string& text, const std::string& title,
                                       bool system_modal) {
    shown_.push_back({"message", text, title, system_modal});
    if (echo_) *echo_ << "[" << title << "] " << text << '\n';
}

bool ScriptedUserInterface::AskYesNo(const std::string& text, const std::string& title) {
    bool answer = false;
    if (!yes_no_.empty()) {
        answer = yes_no_.front();
        yes_no_.pop_front();
    }
    shown_.push_back({"question", text, title, false});
    if (echo_) *echo_ << "[" << title << "] " << text << " -> " << (answer ? "Yes" : "No") << '\n';
    return answer;
}

std::optional<std::string> ScriptedUserInterface::NextPath() {
    if (paths_.empty()) return std::nullopt;
    auto path = paths_.front();
    paths_.pop_front();
    return path;
}

std::optional<std::string> ScriptedUserInterface::OpenFile(const std::string& initial_folder,
                                                           const std::string& filter,
                                                           const std::string& title) {
    shown_.push_back({"open", initial_folder + " " + filter, title, false});
    return NextPath();
}

std::optional<std::string> ScriptedUserInterface::BrowseFolder(const std::string& initial_folder,
                                                               const std::string& title) {
    shown_.push_back({"folder", initial_folder, title, false});
    return NextPath();
}

std::shared_ptr<host::RealValue> RefOperation::Member(const std::string& name) {
    auto it = members_.find(name);
    if (it == members_.end()) {
        throw std::runtime_error("Object doesn't support this property or method: " + name);
    }
    return it->second;
}

std::shared_ptr<MemNumberVariable> RefOperation::AddMember(const std::string& name, double value,
                                                           const std::string& quantity) {
    auto member = std::make_shared<MemNumberVariable>(name, quantity);
    member->SetValue(value);
    members_[name] = member;
    return member;
}

std::shared_ptr<host::RealValue> RefTableOperation::Member(const std::string& name) {
    throw std::runtime_error("Object doesn't support this property or method: " + name);
}

void RefTableOperation::Reset() {
    complete_ = false;
}

void RefTableOperation::AddEntry(std::shared_ptr<host::RealValue> variable,
                                 const std::string& description, const std::string& tag,
                                 const std::string& unit, int flag) {
    if (!variable) throw std::invalid_argument("Table entry " + tag + " has no variable");
    entries_.push_back({std::move(variable), description, tag, unit, flag});
    complete_ = false;
}

void RefTableOperation::Complete() {
    complete_ = true;
    ++handle_;
}

void RefTableOperation::CheckHandle(int handle, std::size_t count) const {
    if (!complete_ || handle != handle_) throw std::runtime_error("Invalid table value handle");
    if (count != entries_.size()) {
        throw std::invalid_argument("Table " + Name() + " has " + std::to_string(entries_.size()) +
                                    " rows, got " + std::to_string(count) + " units");
    }
}

std::vector<double> RefTableOperation::ReadValues(int handle,
                                                  const std::vector<std::string>& units) {
    CheckHandle(handle, units.size());
    std::vector<double> values;
    values.reserve(entries_.size());
    for (std::size_t k = 0; k < entries_.size(); ++k) {
        const auto& var = entries_[k].variable;
        values.push_back(FromInternal(var->Quantity(), units[k], var->GetValue()));
    }
    return values;
}

void RefTableOperation::WriteValues(int handle, const std::vector<double>& values,
                                    const std::vector<std::string>& units) {
    CheckHandle(handle, units.size());
    if (values.size() != entries_.size()) {
        throw std::invalid_argument("Table " + Name() + " expects " +
                                    std::to_string(entries_.size()) + " values");
    }
    for (std::size_t k = 0; k < entries_.size(); ++k) {
        const auto& var = entries_[k].variable;
        var->SetValue(ToInternal(var->Quantity(), units[k], values[k]));
    }
}

void RefTableOperation::Clear() {
    entries_.clear();
    complete_ = false;
}

std::vector<std::shared_ptr<host::Flowsheet>> RefFlowsheet::SubFlowsheets() const {
    return {sub_flowsheets_.begin(), sub_flowsheets_.end()};
}

std::shared_ptr<host::Operation> RefFlowsheet::FindOperation(const std::string& name) const {
    for (const auto& op : operations_) {
        if (op->Name() == name) return op;
    }
    return nullptr;
}

std::shared_ptr<host::Operation> RefFlowsheet::AddOperation(const std::string& name,
                                                            const std::string& type) {
    if (FindOperation(name)) throw std::invalid_argument("Operation " + name + " already exists");
    if (!type.empty() && type != "tableop") {
        throw std::invalid_argument("Cannot add an operation of type " + type);
    }
    auto table = std::make_shared<RefTableOperation>(name);
    operations_.push_back(table);
    return table;
}

std::shared_ptr<host::Plot> RefFlowsheet::CreatePlot(const std::string& name) {
    auto plot = std::make_shared<RefPlot>(name);
    plots_[name] = plot;
    return plot;
}

void RefFlowsheet::RemovePlot(const std::string& name) {
    plots_.erase(name);
}

std::shared_ptr<RefFlowsheet> RefFlowsheet::AddSubFlowsheet(const std::string& name) {
    auto sub = std::make_shared<RefFlowsheet>(name);
    sub_flowsheets_.push_back(sub);
    return sub;
}

std::shared_ptr<RefPlot> RefFlowsheet::FindPlot(const std::string& name) const {
    auto it = plots_.find(name);
    return it == plots_.end() ? nullptr : it->second;
}

RefCase::RefCase(std::string folder) : folder_(std::move(folder)) {
    if (!folder_.empty() && folder_.back() != '/') folder_ += '/';
}

const std::vector<VariableDefinition>& PipelineVariableDefinitions() {
    using K = host::VariableKind;
    static const std::vector<VariableDefinition> definitions = {
        {"ReferenceStream", K::Object},
        {"Inlets", K::StreamList},
        {"Outlets", K::StreamList},
        {"ServerName", K::Text},
        {"PortNumber", K::Number},
        {"zefaHost", K::Text},
        {"zefaPath", K::Text},
        {"zefaModelPath", K::Text},
        {"zefaExe", K::Text},
        {"InputFile", K::Text},
        {"SnapshotFile", K::Text},
        {"BoundaryTags", K::TextArray},
        {"SourceTags", K::TextArray},
        {"sourceIndex", K::Number},
        {"boundaryIndex", K::Number},
        {"KAVRISControllers", K::TextArray},
        {"ZEFAControllers", K::TextArray},
        {"ControllersOn", K::Number},
        {"controllerIndex", K::Number},
        {"controllerIndexX", K::Number},
        {"OPConnect", K::Number},
        {"SolverBehaviour", K::Number},
        {"Version", K::Text},
        {"VersionNumber", K::Number},
        {"SolverMode", K::Number},
        {"StatusBarMessage", K::Text},
        {"StatusColor", K::Number},
        {"ZEFARunInterval", K::Number, "time"},
        {"ZEFAsimTime", K::Number, "time"},
        {"PlannedTimeStep", K::Number, "time"},
        {"SourceGasFractions", K::NumberArray},
        {"SourceWaterFractions", K::NumberArray},
        {"SourceTemperatures", K::NumberArray, "temperature"},
        {"BoundaryTypes", K::NumberArray},
        {"BoundaryGasFracs", K::NumberArray},
        {"BoundaryWaterFracs", K::NumberArray},
        {"BoundaryTemperatures", K::NumberArray, "temperature"},
        {"bFlowSwitch", K::NumberArray},
        {"SourcePressures", K::NumberArray, "pressure"},
        {"BoundaryPressures", K::NumberArray, "pressure"},
        {"BoundaryDerivs", K::NumberArray},
        {"SourceDerivs", K::NumberArray},
        {"inputNames", K::TextArray},
        {"inputSizes", K::NumberArray},
        {"OutletMassFlows", K::NumberArray, "massflow"},
        {"SourceMassFlows", K::NumberArray, "massflow"},
        {"ActualInletMassFlows", K::NumberArray, "massflow"},
        {"ActualOutletMassFlows", K::NumberArray, "massflow"},
        {"PlugCheckBoxes", K::NumberArray},
        {"PlugLabels", K::TextArray},
        {"ResevoirPressures", K::NumberArray},
        {"ResevoirLabels", K::TextArray},
        {"TrendPositions", K::TextArray},
        {"TrendVarTags", K::TextArray},
        {"enumTrendVars", K::NumberArray},
        {"TrendUnits", K::TextArray},
        {"TrendValues", K::NumberArray},
        {"TrendIndex", K::Number},
        {"TrendFrequency", K::Number, "time"},
        {"enumTrendTypes", K::NumberArray},
        {"ProfileBranches", K::TextArray},
        {"enumProfileVars", K::NumberArray},
        {"ProfileEnable", K::NumberArray},
        {"ProfileUnits", K::TextArray},
        {"ProfileIndex", K::Number},
        {"ProfileFrequency", K::Number, "time"},
        {"enumProfileTypes", K::NumberArray},
        {"ProfilePlot", K::Text},
        {"xData", K::NumberArray},
        {"yData", K::NumberArray},
        {"ignoreZEFA", K::Number},
        {"zefaEndTime", K::Number, "time"},
        {"isConnected", K::Number},
        {"isReady", K::Number},
        {"CanLoadFile", K::Number},
        {"phaseLabels", K::TextArray},
        {"syncZefatoKavris", K::Number},
        {"boolLogClient", K::Number},
        {"boolWritePFEquations", K::Number},
        {"notabug", K::Number},
        {"boolAutoLoadSS", K::Number},
        {"boolTraceErrors", K::Number},
        {"boolUseAutoStart", K::Number},
        {"TCPTimeOut", K::Number, "time"},
        {"InitTimeOut", K::Number, "time"},
        {"TimeStepTimeOut", K::Number, "time"},
        {"zefacontrollerops", K::NumberArray},
        {"shutin", K::Number},
        {"useAutoConnect", K::Number},
        {"BranchNames", K::TextArray},
        {"PositionNames", K::TextArray},
        {"SourceNames", K::TextArray},
        {"BoundaryNames", K::TextArray},
        {"ControllerNames", K::TextArray},
        {"InletBoundaryCB", K::NumberArray},
        {"OutletSourceCB", K::NumberArray},
        {"IsFinished", K::Number},
    };
    return definitions;
}

const std::vector<std::string>& PipelineCommandTags() {
    static const std::vector<std::string> tags = {
        "OpenConnectionMessage",
        "CloseConnectionMessage",
        "LoadInputMsg",
        "LoadSnapMsg",
        "InitializeMessage",
        "msgRunZEFA",
        "buildInputTable",
        "msgAddController",
        "msgRemController",
        "msgBoo",
        "AddTrend",
        "RemoveTrend",
        "msgAddProfile",
        "msgRemoveProfile",
        "SendNewPosition",
        "msgSelectZefaExe",
        "msgSelectInputFilePath",
        "msgSelectSnapFilePath",
        "msgSelectZefaModelPath",
    };
    return tags;
}

PipelineUnit::PipelineUnit(std::string name, std::shared_ptr<RefCase> owner_case,
                           std::shared_ptr<MessageWindow> window,
                           std::shared_ptr<host::UserInterface> ui,
                           const std::vector<VariableDefinition>& definitions)
    : name_(std::move(name)),
      case_(std::move(owner_case)),
      window_(std::move(window)),
      ui_(std::move(ui)) {
    for (const auto& def : definitions) {
        auto variable = MakeVariable(def.tag, def.kind, def.quantity);
        by_tag_[def.tag] = variable;
        ordered_.push_back(variable);
    }
    for (const auto& tag : PipelineCommandTags())
        if (by_tag_.find(tag) == by_tag_.end())
            by_tag_[tag] = MakeVariable(tag, host::VariableKind::Number);
}

bool IsCommandTag(const std::string& tag) {
    const auto& tags = PipelineCommandTags();
    return std::find(tags.begin(), tags.end(), tag) != tags.end();
}

std::shared_ptr<host::Variable> PipelineUnit::FindVariable(const std::string& tag) {
    auto it = by_tag_.find(tag);
    if (it == by_tag_.end()) {
        throw std::runtime_error("Variable " + tag + " is not defined for " + name_);
    }
    return it->second;
}

std::shared_ptr<host::Case> PipelineUnit::GetCase() {
    auto owner = case_.lock();
    if (!owner) throw std::runtime_error("The case of " + name_ + " is closed");
    return owner;
}

std::shared_ptr<host::RealValue> PipelineUnit::Member(const std::string& name) {
    throw std::runtime_error("Object doesn't support this property or method: " + name);
}

}  // namespace refhost
