// Status and error reporting: ReportError, the host's status query and the
// status shown while the integrator runs.
#include "extension/zefa.h"

namespace zefa {

namespace {
constexpr const char* kErrorTitleSuffix = ": KAVRIS-ZEFA Link Error";
constexpr double kColourProblem = 42;
constexpr double kColourWarning = 45;
constexpr double kColourNormal = 46;
}  // namespace

void ZEFA::ReportError(const std::string& message) {
    ++reportsMade_;
    try {
        if (!objContainer) {
            ui().MessageBox(message, kErrorTitleSuffix, true);
            return;
        }
        const std::string name = objContainer->Name();
        bool to_window = false;
        try {
            to_window = Num(vars.boolTraceErrors) == 1.0;
        } catch (...) {
            // The switch cannot be read (not bound yet): a message box keeps
            // the report from being lost.
        }
        if (to_window) {
            objContainer->WriteMessage(message + ": " + name + kErrorTitleSuffix);
        } else {
            ui().MessageBox(message, name + kErrorTitleSuffix, true);
        }
    } catch (...) {
        // Reporting must never fail visibly.
    }
}

void ZEFA::StatusQuery(host::StatusObject& objStatus) {
    if (!objContainer) return;
    Trap("StatusQuery", [&] {
        Use(vars.SolverMode).SetValue(Use(Use(objContainer->GetCase()).GetSolver()).Mode());
        if (!vars.Outlets || vars.Outlets->GetStreams().empty()) {
            objStatus.AddStatusCondition(3, 2, "Requires an Outlet Stream");
        }
        if (Num(vars.SolverMode) == 1.0) DynamicStatusUpdate();
    });
}

void ZEFA::DynamicStatusUpdate() {
    Trap("DynamicStatusUpdate", [&] {
        auto& message = Use(vars.StatusBarMessage);
        auto& colour = Use(vars.StatusColor);
        auto show = [&](const char* text, double code) {
            message.SetValue(text);
            colour.SetValue(code);
        };

        switch (server_.lngServerState) {
            case ServerState::NotConnected:
                show("ZEFA Server is Not Connected", kColourProblem);
                break;
            case ServerState::Connected:
                show("ZEFA Input File is not Loaded", kColourProblem);
                break;
            case ServerState::Initialised:
                show("OK", kColourNormal);
                break;
            default:
                show("ZEFA Server is not Initialized", kColourProblem);
                break;
        }

        if (!vars.Outlets || vars.Outlets->GetStreams().empty()) {
            show("Requires an Outlet Stream", kColourProblem);
        }

        if (Text(vars.zefaHost).empty()) {
            show("Unknown ZEFA Host", kColourProblem);
        } else if (Text(vars.zefaExe).empty()) {
            show("Unknown ZEFA Executable.  Only needed for AutoStart", kColourWarning);
        } else if (Text(vars.ServerName).empty()) {
            show("Unknown ZEFA Server Name", kColourProblem);
        } else if (host::IsEmptyNumber(Num(vars.PortNumber))) {
            show("Unknown ZEFA Port Number", kColourProblem);
        } else if (Text(vars.InputFile).empty()) {
            show("Unknown ZEFA Input File", kColourProblem);
        } else if (Text(vars.zefaModelPath).empty()) {
            show("Unknown ZEFA Model Path", kColourProblem);
        } else if (Num(vars.ControllersOn) == 1.0) {
            for (const std::string& label : Use(vars.ZEFAControllers).GetValues()) {
                if (label.empty()) {
                    colour.SetValue(kColourProblem);
                    message.SetValue("Unknown ZEFA Controller Name");
                    return;
                }
            }
        }

        if (Num(vars.ignoreZEFA) != 0.0) show("ZEFA Simulation is Ignored", kColourWarning);
    });
}

}  // namespace zefa
