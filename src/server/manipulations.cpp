// Actions on the running pipeline model: plug launch, shut-in, a new
// position and well reservoir pressures.
#include <cmath>
#include <limits>

#include "extension/zefa.h"
#include "platform/text.h"

namespace zefa {

void ZEFA::SetupAndLaunchDaPlug() {
    Trap("SetupAndLaunchDaPlug", [&] {
        auto& checks_var = Use(vars.PlugCheckBoxes);
        host::NumberArray checks = checks_var.GetValues();
        const std::vector<std::string> labels = Use(vars.PlugLabels).GetValues();
        auto& client = Deref(mobjZefaClient.get());
        // Whatever happens below, the ticks already handled are written back.
        struct WriteBack {
            host::NumberArrayVariable& variable;
            host::NumberArray& values;
            ~WriteBack() {
                try {
                    variable.SetValues(values);
                } catch (...) {
                }
            }
        } write_back{checks_var, checks};
        const std::size_t rows = checks.Count();
        for (std::size_t i = 0; i + 1 < rows; ++i) {
            if (checks.At(i) != 1) continue;
            checks.At(i) = 0;
            const std::string label = i < labels.size() ? labels[i] : std::string();
            if (!client.SetInputNames("$" + label + " PLUG")) {
                strLastMessage = "The selected plug for launch does not exist.";
                ReportError(strLastMessage);
            }
            const std::int32_t size = 1;
            if (!client.SetInputSizes(std::span<const std::int32_t>(&size, 1), 1)) {
                strLastMessage = "ZEFA_INP_SIZES failed. Verify plug selections.";
                ReportError(strLastMessage);
            }
            const float value = 1.0f;
            if (!client.SetInputData(std::span<const float>(&value, 1), 1)) {
                strLastMessage = "ZEFA_INP_DATA failed when launching a plug.";
                ReportError(strLastMessage);
            }
        }
    });
}

bool ZEFA::SetupDaNormalInp() {
    bool result = false;
    Trap("SetupDaNormalInp", [&] {
        std::string names;
        for (const auto& name : Use(vars.inputNames).GetValues()) names += " " + name;
        const host::NumberArray stored = Use(vars.inputSizes).GetValues();
        std::vector<std::int32_t> sizes;
        sizes.reserve(stored.data.size());
        for (double v : stored.data) sizes.push_back(RoundToInt32(v));
        auto& client = Deref(mobjZefaClient.get());
        if (!client.SetInputNames(names)) {
            strLastMessage =
                "ZEFA_INP_NAMES failed. Check the ZEFA Boundary/Source/Controller Labels you "
                "have specified on the Setup - Connections page under the Inlets and Outlets.";
            ReportError(strLastMessage);
            return;
        }
        if (!client.SetInputSizes(sizes, static_cast<std::int32_t>(sizes.size()))) {
            strLastMessage = "ZEFA_INP_SIZES failed. Verify Input Sizes";
            ReportError(strLastMessage);
            return;
        }
        result = true;
    });
    return result;
}

void ZEFA::ShutInZEFAModel() {
    Trap("ShutInZEFAModel", [&] {
        // A loaded model is needed; the step cycle calls this with state 4.
        if (!Deref(mobjZefaClient.get()).IsZEFAConnected() ||
            server_.lngServerState < ServerState::InputLoaded)
            return;
        const std::string line = Num(vars.shutin) == 1
                                     ? "SHUTIN TSHUT1 = 0.0 s,  TSHUT2 = 0.2E+35 s   "
                                     : "SHUTIN TSHUT1 = 0.1E+35 s, TSHUT2 = 0.2E+35 s   ";
        if (!Deref(mobjZefaClient.get()).SendKeywords(line)) {
            strLastMessage = "Failed to set or reset the ZEFA Model to a SHUTIN condition.";
            ReportError(strLastMessage);
        }
    });
}

void ZEFA::SendNewPosition() {
    Trap("SendNewPosition", [&] {
        if (!Deref(mobjZefaClient.get()).IsZEFAConnected() ||
            server_.lngServerState == ServerState::NotConnected)
            return;
        auto& container = Use(objContainer);
        auto text = [&](const char* tag) {
            auto v = std::dynamic_pointer_cast<host::TextVariable>(container.FindVariable(tag));
            if (!v) throw Error::TypeMismatch();
            return v->GetValue();
        };
        auto section_var =
            std::dynamic_pointer_cast<host::NumberVariable>(container.FindVariable("PosSection"));
        if (!section_var) throw Error::TypeMismatch();
        const std::string line =
            "POSITION LABEL = " + text("PosLabel") + ", BRANCH = " + text("PosBranch") +
            ", PIPE = " + text("PosPipe") +
            ", Section = " + std::to_string(RoundToInt32(section_var->GetValue())) + " ";
        if (!Deref(mobjZefaClient.get()).SendKeywords(line)) {
            strLastMessage =
                "Failed to create a new POSITION in the ZEFA model.  Check your input.";
            ReportError(strLastMessage);
        }
    });
}

void ZEFA::ChangeTheResevoirPressures() {
    Trap("ChangeTheResevoirPressures", [&] {
        const host::NumberArray pressures = Use(vars.ResevoirPressures).GetValues();
        const std::vector<std::string> labels = Use(vars.ResevoirLabels).GetValues();
        const std::size_t rows = pressures.Count();
        for (std::size_t i = 0; i + 1 < rows; ++i) {
            const double pressure = pressures.At(i);
            if (!(pressure > 0)) continue;
            const std::string label = i < labels.size() ? labels[i] : std::string();
            if (!Deref(mobjZefaClient.get())
                     .SendKeywords("WELL LABEL = " + label +
                                   ", RESPRESSURE = " + FormatDouble(pressure * 1000))) {
                strLastMessage =
                    "Failed to set Well Resevoir pressure (" + label + ") for the ZEFA Model.";
                ReportError(strLastMessage);
            }
        }
    });
}

}  // namespace zefa
