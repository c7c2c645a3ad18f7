// Everything the user does in the unit operation's view arrives as a change of
// an extension variable: VariableChanging checks the new value before the host
// stores it, VariableChanged acts on the stored value. Buttons are command
// variables whose change is the press. Actions that would talk to the server
// while the integrator runs only set a pending request; the next step
// carries it out.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string_view>
#include <utility>

#include "catalogue/zefa_variables.h"
#include "extension/zefa.h"
#include "platform/text.h"

namespace zefa {

namespace fs = std::filesystem;

namespace {

constexpr const char* kNotInSimulation = " doesn't currently exist in this simulation.";
constexpr std::int64_t kDoubleClickSeconds = 8;

// Seconds since the epoch of a broken-down date and time; only differences
// are used.
std::int64_t SecondsOf(const host::DateTime& t) {
    using namespace std::chrono;
    const sys_days date =
        year{t.year} / month{static_cast<unsigned>(t.month)} / day{static_cast<unsigned>(t.day)};
    return static_cast<std::int64_t>(date.time_since_epoch().count()) * 86400 +
           std::int64_t{t.hour} * 3600 + std::int64_t{t.minute} * 60 + t.second;
}

// The entry of a one-dimensional number array at `row`; nothing when the row
// is not in the array.
std::optional<double> ValueAt(const host::NumberArrayVariable& variable, int row) {
    const host::NumberArray values = variable.GetValues();
    if (row < 0 || static_cast<std::size_t>(row) >= values.data.size()) return std::nullopt;
    return values.data[static_cast<std::size_t>(row)];
}

// A model file is named by itself, inside the model folder: a name with a
// folder part would reach files the case does not own.
bool IsPlainFileName(const std::string& name) {
    return name.find('/') == std::string::npos && name.find('\\') == std::string::npos &&
           name != "." && name != "..";
}

bool IsFile(const std::string& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

// The row the change is about: the wrapper's when the host gives one, else
// the table's selected row.
std::int16_t RowOf(const host::VariableWrapper& wrapper, const host::NumberVariable& selected) {
    if (wrapper.Row() >= 0) return RoundToInt16(wrapper.Row());
    return RoundToInt16(selected.GetValue());
}

}  // namespace

bool ZEFA::IntegratorRunning() {
    return TheIntegrator().IsRunning();
}

bool ZEFA::VariableChanging(host::VariableWrapper& wrapper) {
    bool result = true;
    Trap("VariableChanging", [&] {
        using Rule = bool (*)(ZEFA&, host::VariableWrapper&, bool&);
        static const std::pair<std::string_view, Rule> kRules[] = {
            {"ZEFARunInterval",
             [](ZEFA& z, host::VariableWrapper& w, bool& ok) {
                 // A value that cannot be checked is refused too.
                 ok = false;
                 const std::int32_t interval = RoundToInt32(w.NewNumber() * 100.0);
                 const std::int32_t step = RoundToInt32(z.TheIntegrator().StepSize() * 100.0);
                 if (step == 0) throw Error::DivisionByZero();
                 if (interval <= 0) {
                     z.ReportError("ZEFA Time Step must be greater than 0.");
                     return false;
                 }
                 if (interval % step != 0) {
                     z.ReportError("ZEFA Time Step is not a multiple of the KAVRIS time step");
                     return false;
                 }
                 return true;
             }},
            {"zefaEndTime", [](ZEFA& z, host::VariableWrapper& w,
                               bool&) { return w.NewNumber() > Num(z.vars.ZEFAsimTime); }},
            {"ZEFAsimTime",
             [](ZEFA& z, host::VariableWrapper&, bool&) { return z.RefuseWhileRunning(); }},
            {"CloseConnectionMessage",
             [](ZEFA& z, host::VariableWrapper&, bool&) { return z.RefuseWhileRunning(); }},
            {"controllerIndex",
             [](ZEFA& z, host::VariableWrapper&, bool&) {
                 z.ControllerDoubleClick();
                 return true;
             }},
            {"msgBoo",
             [](ZEFA& z, host::VariableWrapper&, bool&) {
                 z.ControllerDoubleClick();
                 return true;
             }},
            {"KAVRISControllers",
             [](ZEFA& z, host::VariableWrapper& w, bool&) {
                 const std::string name = w.NewText();
                 std::shared_ptr<host::Operation> found;
                 try {
                     z.RecursiveGetOperation(
                         found, Deref(Use(z.objContainer).GetCase().get()).GetFlowsheet(), name);
                 } catch (...) {
                     found.reset();
                 }
                 if (!found) z.ReportError(name + kNotInSimulation);
                 return true;
             }},
            {"TCPTimeOut",
             [](ZEFA& z, host::VariableWrapper& w, bool&) {
                 if (w.NewNumber() >= 1) return true;
                 z.ReportError(
                     "Communication Time Out value must be greater than or equal to 1 second.");
                 return false;
             }},
            {"InitTimeOut",
             [](ZEFA& z, host::VariableWrapper& w, bool&) {
                 if (w.NewNumber() >= 10) return true;
                 z.ReportError(
                     "Initialization Time Out value must be greater than or equal to 10 seconds.");
                 return false;
             }},
            {"TimeStepTimeOut",
             [](ZEFA& z, host::VariableWrapper& w, bool&) {
                 if (w.NewNumber() >= 1) return true;
                 z.ReportError(
                     "ZEFA Time Step Time Out value must be greater than or equal to 1 second.");
                 return false;
             }},
            {"PlugCheckBoxes",
             [](ZEFA& z, host::VariableWrapper& w, bool&) {
                 // The blank last row (and a row the table does not have)
                 // holds no plug to tick.
                 const auto value = ValueAt(Use(z.vars.PlugCheckBoxes), w.Row());
                 return value && !host::IsEmptyNumber(*value);
             }},
            {"zefaHost",
             [](ZEFA& z, host::VariableWrapper&, bool&) {
                 z.edit_.strPreviousHost = Text(z.vars.zefaHost);
                 return true;
             }},
            {"InputFile",
             [](ZEFA& z, host::VariableWrapper&, bool&) {
                 z.edit_.strPreviousFile = Text(z.vars.InputFile);
                 return true;
             }},
            {"SnapshotFile",
             [](ZEFA& z, host::VariableWrapper&, bool&) {
                 z.edit_.strPreviousFile = Text(z.vars.SnapshotFile);
                 return true;
             }},
            {"bFlowSwitch",
             [](ZEFA& z, host::VariableWrapper& w, bool&) {
                 // The switch is locked while the outlet is a source.
                 return ValueAt(Use(z.vars.OutletSourceCB), w.Row()) != 1.0;
             }},
            {"TrendPositions",
             [](ZEFA& z, host::VariableWrapper& w, bool& ok) {
                 // A variable of the whole pipeline has no position.
                 ok = false;
                 const std::int16_t row = RowOf(w, Use(z.vars.TrendIndex));
                 return ValueAt(Use(z.vars.enumTrendTypes), row) != kZEFATypeNoPosition;
             }},
            {"enumProfileVars",
             [](ZEFA&, host::VariableWrapper& w, bool& ok) {
                 // Only variables along a branch make a profile.
                 ok = false;
                 ZEFAVariableInfo info;
                 GetZEFAVariableInfo(RoundToInt32(w.NewNumber()), info);
                 return info.TypeCode == kZEFATypeAtBoundaries ||
                        info.TypeCode == kZEFATypeAtVolumes;
             }},
        };
        const std::string tag = wrapper.Tag();
        for (const auto& [rule_tag, rule] : kRules) {
            if (rule_tag == tag) {
                result = rule(*this, wrapper, result);
                return;
            }
        }
        // Any other change ends a double-click in progress.
        edit_.varFirstControllerClick.reset();
        edit_.varSecondControllerClick.reset();
        Use(vars.controllerIndexX).SetValue(1);
    });
    return result;
}

bool ZEFA::RefuseWhileRunning() {
    if (!IntegratorRunning()) return true;
    ReportError(
        "You can not change this while the Integrator is running.  Stop the integrator (press "
        "the red light in KAVRIS).");
    return false;
}

void ZEFA::ControllerDoubleClick() {
    const host::DateTime now = clock()->Now();
    const std::int32_t index = RoundToInt32(Num(vars.controllerIndexX));
    if (!edit_.varFirstControllerClick) {
        edit_.varFirstControllerClick = now;
        edit_.lngFirstControllerIndex = index;
        return;
    }
    if (edit_.lngFirstControllerIndex != index || index != 0) return;
    edit_.varSecondControllerClick = now;
    const std::int64_t seconds = SecondsOf(now) - SecondsOf(*edit_.varFirstControllerClick);
    // The click is over whatever the look-up finds.
    struct Clear {
        ZEFA& z;
        ~Clear() {
            z.edit_.varFirstControllerClick.reset();
            z.edit_.varSecondControllerClick.reset();
            z.edit_.lngFirstControllerIndex = -1;
            try {
                Use(z.vars.controllerIndexX).SetValue(1);
            } catch (...) {
            }
        }
    } clear{*this};
    const double row = Num(vars.controllerIndex);
    if (seconds > kDoubleClickSeconds || row < 0) return;
    const auto names = Use(vars.KAVRISControllers).GetValues();
    const std::int32_t r = RoundToInt32(row);
    if (static_cast<std::size_t>(r) >= names.size()) return;
    const std::string& name = names[static_cast<std::size_t>(r)];
    auto flowsheet = Deref(Use(objContainer).GetCase().get()).GetFlowsheet();
    std::shared_ptr<host::Operation> found;
    try {
        found = Deref(flowsheet.get()).FindOperation(name);
    } catch (...) {
        found.reset();
    }
    if (!found) {
        ReportError(name + kNotInSimulation);
        return;
    }
    flowsheet->OpenView(name);
}

// The connection lists, the plug, reservoir and controller tables.
std::span<const ZEFA::ChangeAction> ZEFA::ConnectionActions() {
    static const ChangeAction kActions[] = {
        {"ReferenceStream",
         [](ZEFA& z, host::VariableWrapper&) {
             auto found = std::dynamic_pointer_cast<host::ObjectVariable>(
                 Use(z.objContainer).FindVariable("ReferenceStream"));
             if (!found) throw Error::TypeMismatch();
             z.vars.ReferenceStream = found->Object();
         }},
        {"Inlets", [](ZEFA& z, host::VariableWrapper& w) { z.StreamListChanged(w, true); }},
        {"Outlets", [](ZEFA& z, host::VariableWrapper& w) { z.StreamListChanged(w, false); }},
        {"OutletSourceCB",
         [](ZEFA& z, host::VariableWrapper& w) {
             // An outlet that is a source has no flow-sign switch.
             if (ValueAt(Use(z.vars.OutletSourceCB), w.Row()) != 1.0) return;
             auto& switches = Use(z.vars.bFlowSwitch);
             switches.Element(static_cast<std::size_t>(w.Row()))->SetValue(0);
         }},
        {"PlugLabels",
         [](ZEFA& z, host::VariableWrapper& w) {
             z.MaintainTableRows(Use(z.vars.PlugLabels), Use(z.vars.PlugCheckBoxes), w.Row(), 0.0);
         }},
        {"PlugCheckBoxes",
         [](ZEFA& z, host::VariableWrapper&) {
             // A launch waits for every ticked plug, not only the last
             // one changed; the blank last row holds no plug.
             const auto ticks = Use(z.vars.PlugCheckBoxes).GetValues().data;
             bool any = false;
             for (std::size_t i = 0; i + 1 < ticks.size(); ++i) any = any || ticks[i] == 1;
             z.pending_.boolPlugSelected = any;
         }},
        {"ResevoirLabels",
         [](ZEFA& z, host::VariableWrapper& w) {
             z.MaintainTableRows(Use(z.vars.ResevoirLabels), Use(z.vars.ResevoirPressures), w.Row(),
                                 host::kEmptyNumber);
         }},
        {"ResevoirPressures",
         [](ZEFA& z, host::VariableWrapper& w) {
             if (!host::IsEmptyNumber(w.NewNumber()))
                 z.pending_.boolReservoirPressuresChanged = true;
         }},
        {"msgAddController", [](ZEFA& z, host::VariableWrapper&) { z.AddController(); }},
        {"msgRemController",
         [](ZEFA& z, host::VariableWrapper&) {
             z.RemoveController(RoundToInt16(Num(z.vars.controllerIndex)));
         }},
    };
    return kActions;
}

// The server connection, the model files and the run.
std::span<const ZEFA::ChangeAction> ZEFA::ServerActions() {
    static const ChangeAction kActions[] = {
        {"OpenConnectionMessage",
         [](ZEFA& z, host::VariableWrapper&) { z.OpenTheConnection(false); }},
        {"CloseConnectionMessage", [](ZEFA& z, host::VariableWrapper&) { z.CloseTheConnection(); }},
        {"LoadInputMsg", [](ZEFA& z, host::VariableWrapper&) { z.LoadTheInputFile(); }},
        {"LoadSnapMsg", [](ZEFA& z, host::VariableWrapper&) { z.LoadTheSnapshot(); }},
        {"InitializeMessage", [](ZEFA& z, host::VariableWrapper&) { z.InitializeZEFA(); }},
        {"msgRunZEFA", [](ZEFA& z, host::VariableWrapper&) { z.RunZEFA(); }},
        {"buildInputTable",
         [](ZEFA& z, host::VariableWrapper&) {
             z.BuildInputTable();
             z.BuildOutputTable();
         }},
        {"ZEFAsimTime",
         [](ZEFA& z, host::VariableWrapper&) {
             if (z.server_.lngServerState >= ServerState::InputLoaded)
                 Deref(z.mobjZefaClient.get())
                     .SetSimTime(static_cast<float>(Num(z.vars.ZEFAsimTime)));
         }},
        {"boolLogClient",
         [](ZEFA& z, host::VariableWrapper&) {
             auto& client = Deref(z.mobjZefaClient.get());
             client.IsTracingClient = Num(z.vars.boolLogClient) == 1;
             if (!client.IsZEFAConnected()) return;
             if (z.IntegratorRunning())
                 z.pending_.boolLoggingChanged = true;
             else
                 client.SetLogging();
         }},
        {"msgSelectZefaExe",
         [](ZEFA& z, host::VariableWrapper&) {
             if (auto chosen = z.AskForServerProgram()) Use(z.vars.zefaExe).SetValue(*chosen);
         }},
        {"msgSelectInputFilePath",
         [](ZEFA& z, host::VariableWrapper&) { z.ChooseModelFile(true); }},
        {"InputFile",
         [](ZEFA& z, host::VariableWrapper& w) { z.TypeModelFile(w.NewText(), true); }},
        {"msgSelectSnapFilePath",
         [](ZEFA& z, host::VariableWrapper&) { z.ChooseModelFile(false); }},
        {"SnapshotFile",
         [](ZEFA& z, host::VariableWrapper& w) { z.TypeModelFile(w.NewText(), false); }},
        {"msgSelectZefaModelPath",
         [](ZEFA& z, host::VariableWrapper&) {
             if (auto chosen = z.AskForModelFolder()) Use(z.vars.zefaModelPath).SetValue(*chosen);
         }},
        {"zefaHost",
         [](ZEFA& z, host::VariableWrapper&) {
             if (Text(z.vars.zefaHost) != z.edit_.strPreviousHost) z.GetZefaServerPath();
         }},
        {"shutin", [](ZEFA& z, host::VariableWrapper&) { z.pending_.boolShutIn = true; }},
        {"SendNewPosition",
         [](ZEFA& z, host::VariableWrapper&) {
             if (!Deref(z.mobjZefaClient.get()).IsZEFAConnected()) return;
             if (z.IntegratorRunning())
                 z.pending_.boolNewPositionPending = true;
             else
                 z.SendNewPosition();
         }},
        {"TCPTimeOut",
         [](ZEFA& z, host::VariableWrapper&) {
             Deref(z.mobjZefaClient.get()).TCPTimeOut = Num(z.vars.TCPTimeOut);
         }},
        {"ignoreZEFA",
         [](ZEFA& z, host::VariableWrapper& w) {
             if (w.NewNumber() != 1) return;
             Use(z.objContainer)
                 .WriteMessage(
                     "To run the KAVRIS case without ZEFA, you will be responsible to make "
                     "any additional P-F Specifications on the Inlets and Outlets, otherwise "
                     "these pressure and/or flow values will stay at their last value.  The "
                     "inlet/reference composition will be copied to the outlet(s).");
         }},
    };
    return kActions;
}

// Trends and profiles.
std::span<const ZEFA::ChangeAction> ZEFA::TrendActions() {
    static const ChangeAction kActions[] = {
        {"enumTrendVars",
         [](ZEFA& z, host::VariableWrapper& w) {
             std::int32_t key = RoundToInt32(w.NewNumber());
             z.ChangeTrendVariable(key, RowOf(w, Use(z.vars.TrendIndex)));
             if (z.IntegratorRunning()) {
                 z.pending_.boolTrendsChanged = true;
             } else if (!z.UpdateTrends()) {
                 z.ReportError(
                     "Variable Change Failed: There is a bad enumeration in the drop down "
                     "list.");
             }
         }},
        {"TrendPositions",
         [](ZEFA& z, host::VariableWrapper&) {
             if (z.IntegratorRunning()) {
                 z.pending_.boolTrendsChanged = true;
             } else if (!z.UpdateTrends()) {
                 z.ReportError(
                     "There is something wrong with the Position Name you have selected.");
             }
         }},
        {"AddTrend", [](ZEFA& z, host::VariableWrapper&) { z.AddTrend(); }},
        {"RemoveTrend",
         [](ZEFA& z, host::VariableWrapper&) {
             z.RemoveTrend(RoundToInt32(Num(z.vars.TrendIndex)));
         }},
        {"ProfileEnable",
         [](ZEFA& z, host::VariableWrapper& w) {
             std::int16_t row = RowOf(w, Use(z.vars.ProfileIndex));
             double value = w.NewNumber();
             z.SelectProfile(row, value);
             z.RefreshProfile();
         }},
        {"enumProfileVars",
         [](ZEFA& z, host::VariableWrapper& w) {
             std::int32_t key = RoundToInt32(w.NewNumber());
             const std::int16_t row = RowOf(w, Use(z.vars.ProfileIndex));
             z.ChangeProfileVariable(key, row);
             if (ValueAt(Use(z.vars.ProfileEnable), row).value_or(0) != 0) z.RefreshProfile();
         }},
        {"ProfileBranches",
         [](ZEFA& z, host::VariableWrapper& w) {
             const std::int16_t row = RowOf(w, Use(z.vars.ProfileIndex));
             if (ValueAt(Use(z.vars.ProfileEnable), row).value_or(0) != 0) z.RefreshProfile();
         }},
        {"msgAddProfile", [](ZEFA& z, host::VariableWrapper&) { z.AddProfile(); }},
        {"msgRemoveProfile",
         [](ZEFA& z, host::VariableWrapper&) {
             z.RemoveProfile(RoundToInt32(Num(z.vars.ProfileIndex)));
         }},
    };
    return kActions;
}

void ZEFA::VariableChanged(host::VariableWrapper& wrapper) {
    Trap("VariableChanged", [&] {
        const std::string tag = wrapper.Tag();
        if (const ChangeAction::second_type action = ChangeActionFor(tag)) action(*this, wrapper);
        if (Num(vars.SolverMode) == 1) DynamicStatusUpdate();
    });
}

// The action of the variable `tag`; nothing for a variable no action answers.
ZEFA::ChangeAction::second_type ZEFA::ChangeActionFor(std::string_view tag) {
    for (const std::span<const ChangeAction> actions :
         {ConnectionActions(), ServerActions(), TrendActions()})
        for (const auto& [action_tag, action] : actions)
            if (action_tag == tag) return action;
    return nullptr;
}

void ZEFA::StreamListChanged(host::VariableWrapper& wrapper, bool inlets) {
    auto found = std::dynamic_pointer_cast<host::StreamListVariable>(
        Use(objContainer).FindVariable(inlets ? "Inlets" : "Outlets"));
    if (!found) throw Error::TypeMismatch();
    (inlets ? vars.Inlets : vars.Outlets) = found;
    std::int16_t& count = inlets ? lists_.intNumInlets : lists_.intNumOutlets;
    auto streams = found->GetStreams();
    count = CountToInt16(streams.size());
    const std::size_t rows = CountOf(Use(inlets ? vars.SourceTags : vars.BoundaryTags));
    const bool with_stream = wrapper.VariableObject() != nullptr;

    if (streams.size() > rows && with_stream) {
        inlets ? AddANewInlet() : AddANewOutlet();
        return;
    }
    if (streams.size() >= rows && with_stream) return;

    // The row the host reports for the edit; the table's selected row only
    // when it reports none (it stays 0 after a recall, whichever row went).
    const std::int16_t row = RowOf(wrapper, Use(inlets ? vars.sourceIndex : vars.boundaryIndex));
    if (streams.size() < rows) {
        // The host took the stream out of the list itself: an empty entry at
        // the row stands in for it, so that removing the table row takes no
        // other stream with it.
        const auto at = row >= 0 && static_cast<std::size_t>(row) <= streams.size()
                            ? streams.begin() + row
                            : streams.end();
        streams.insert(at, nullptr);
        found->SetStreams(streams);
        count = CountToInt16(streams.size());
    }
    inlets ? RemoveAnInlet(row) : RemoveAnOutlet(row);
}

void ZEFA::MaintainTableRows(host::TextArrayVariable& labels, host::NumberArrayVariable& values,
                             int row, double activated_value) {
    if (row < 0) return;
    const auto r = static_cast<std::size_t>(row);
    const std::vector<std::string> texts = labels.GetValues();
    if (r >= texts.size()) return;
    std::vector<double> numbers = values.GetValues().data;
    const bool last = r + 1 >= numbers.size();
    if (last && !texts[r].empty()) {
        // The blank row becomes a row of the table and a new blank row follows.
        numbers.resize(std::max(numbers.size(), r + 1), host::kEmptyNumber);
        numbers[r] = activated_value;
        values.SetBounds(numbers.size());
        values.SetValues(host::NumberArray::OneD(numbers));
        if (texts.size() < numbers.size()) labels.SetCount(numbers.size());
        AddANewText(&labels, "");
        AddANewValue(&values, host::kEmptyNumber);
    } else if (!last && texts[r].empty()) {
        RemoveATag(&labels, static_cast<std::int16_t>(row));
        RemoveAValue(&values, static_cast<std::int16_t>(row));
    }
}

void ZEFA::RefreshProfile() {
    if (IntegratorRunning()) {
        pending_.boolProfilesChanged = true;
        return;
    }
    UpdatePlot();
    // Without an initialised model the profile is fetched once the model is
    // ready; switching every profile off still empties the plot now.
    if (server_.lngServerState != ServerState::Initialised && trends_.boolProfilesEnabled) {
        pending_.boolProfilesChanged = true;
        return;
    }
    if (!UpdateProfiles()) {
        strLastMessage = "Unable to obtain profile: Check the Branch label";
        ReportError(strLastMessage);
    }
}

void ZEFA::LoadTheInputFile() {
    if (server_.lngServerState != ServerState::Connected) return;
    const std::string name = Text(vars.InputFile);
    const std::string path = JoinPath(Text(vars.zefaModelPath), name);
    if (!IsPlainFileName(name)) {
        ReportError("The ZEFA Input file name (" + name +
                    ") must name a file in the ZEFA Model Path.");
        return;
    }
    if (name.empty() || !IsFile(path)) {
        ReportError("The ZEFA Input file (" + path + ") does not exist.");
        return;
    }
    const bool loaded = LoadZEFAFile();
    const bool initialised = InitializeZEFA();
    if (!loaded || !initialised) {
        ReportError(
            "You have connected to the ZEFA Server but there has been some problem in loading the "
            "ZEFA Input file or Initialization.");
        return;
    }
    if (Deref(mobjZefaClient.get()).IsZEFAConnected()) {
        server_.lngServerState = ServerState::Initialised;
        Use(vars.CanLoadFile).SetValue(0);
        Use(vars.isReady).SetValue(1);
    } else {
        server_.lngServerState = ServerState::NotConnected;
        strLastMessage = "Could not Load " + Text(vars.InputFile);
        ReportError(strLastMessage);
    }
}

void ZEFA::LoadTheSnapshot() {
    if (server_.lngServerState != ServerState::Initialised) return;
    const std::string name = Text(vars.SnapshotFile);
    const std::string path = JoinPath(Text(vars.zefaModelPath), name);
    if (!IsPlainFileName(name)) {
        ReportError("The ZEFA Snapshot file name (" + name +
                    ") must name a file in the ZEFA Model Path.");
        return;
    }
    if (name.empty() || !IsFile(path)) {
        ReportError("The ZEFA Snapshot file (" + path +
                    ") does not exist (at least as seen from this computer).");
        return;
    }
    if (!WaitForZEFAToCompleteIntegration()) {
        ReportError(
            "Since ZEFA did not complete its timestep the Snapshot load has been cancelled.");
        return;
    }
    auto& client = Deref(mobjZefaClient.get());
    if (!client.LoadSnap(name)) return;
    if (client.IsZEFAConnected()) {
        server_.lngServerState = ServerState::Initialised;
    } else {
        server_.lngServerState = ServerState::NotConnected;
        strLastMessage = "Could not load " + name;
        ReportError(strLastMessage);
    }
}

}  // namespace zefa
