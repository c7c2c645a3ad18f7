// The host lifecycle of the extension: Initialize for a new or recalled case,
// Execute, Save (a snapshot of a loaded model), Terminate and OnHelp.
#include <cctype>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "extension/zefa.h"
#include "platform/text.h"
#include "server/server_start.h"

namespace zefa {

namespace fs = std::filesystem;

namespace {

constexpr const char* kMessageTitle = "KAVRIS-ZEFA Link";
constexpr const char* kServerProgramName = "zefa-server";

bool IsEmpty(const host::NumberVariable& v) {
    return host::IsEmptyNumber(v.GetValue());
}

void DefaultText(host::TextVariable& v, const std::string& value) {
    if (v.GetValue().empty()) v.SetValue(value);
}

void DefaultNumber(host::NumberVariable& v, double value) {
    if (IsEmpty(v)) v.SetValue(value);
}

// "MMddyyhhmmss", the hour on the 24-hour clock.
std::string SnapshotStamp(const host::DateTime& t) {
    return TwoDigits(t.month) + TwoDigits(t.day) + TwoDigits(t.year) + TwoDigits(t.hour) +
           TwoDigits(t.minute) + TwoDigits(t.second);
}

// The folder that holds the models by default: the server program's folder
// (older cases kept the folder itself in "zefaExe").
std::string ModelFolderOf(const std::string& exe) {
    std::error_code ec;
    if (exe.empty() || fs::is_directory(exe, ec)) return exe;
    const std::string folder = fs::path(exe).parent_path().string();
    return folder.empty() ? exe : folder;
}

// Port of `serverName` in a services file: the last line longer than 8
// characters that holds the name followed by a blank (space or tab) and, after
// it, "/tcp", with a whole number between the two. Nothing when no line fits.
std::optional<double> LookUpServicePort(const std::string& services_file,
                                        const std::string& serverName) {
    std::optional<double> port;
    if (serverName.empty()) return port;
    std::ifstream in(services_file);
    std::string line;
    while (in && std::getline(in, line)) {
        if (line.size() <= 8) continue;
        const std::size_t at = line.find(serverName);
        if (at == std::string::npos) continue;
        const std::size_t after = at + serverName.size();
        if (after >= line.size() || (line[after] != ' ' && line[after] != '\t')) continue;
        const std::size_t tcp = line.find("/tcp", after);
        if (tcp == std::string::npos) continue;
        std::size_t begin = after;
        while (begin < tcp && (line[begin] == ' ' || line[begin] == '\t')) ++begin;
        std::int32_t value = 0;
        const auto [ptr, ec] = std::from_chars(line.data() + begin, line.data() + tcp, value);
        if (ec != std::errc() || ptr != line.data() + tcp) continue;
        port = value;
    }
    return port;
}

}  // namespace

std::int32_t ZEFA::Initialize(std::shared_ptr<host::Container> container, bool is_recalling) {
    std::int32_t result = 0;
    Trap("Initialize", [&] {
        if (intInstanceCount < 1) server_start::DeletePidFiles();
        intInstanceCount = static_cast<std::int16_t>(intInstanceCount + 1);
        objContainer = std::move(container);
        auto& host_case = Deref(Use(objContainer).GetCase().get());
        Deref(mobjZefaClient.get()).TraceFilePath = host_case.Folder();
        InitializeInternalVariables();
        trends_.dblLastTrendTime = -10000.0;
        trends_.dblLastProfileTime = -10000.0;

        if (is_recalling)
            RecallSettings(host_case);
        else
            SetNewCaseDefaults(host_case);
        ResetRunState(host_case);
        CreatePlot();
        result = kInterfaceVersion;
        Use(vars.IsFinished).SetValue(0);
    });
    return result;
}

// A recalled case: every setting an older case may lack gets its default,
// settings kept in an older form are upgraded, the tables get their rows.
void ZEFA::RecallSettings(host::Case& host_case) {
    auto step_size = [&] {
        return Deref(Deref(host_case.GetSolver().get()).GetIntegrator().get()).StepSize();
    };
    lists_.intNumInlets = CountToInt16(Use(vars.Inlets).GetStreams().size());
    lists_.intNumOutlets = CountToInt16(Use(vars.Outlets).GetStreams().size());
    lists_.intNumControllers = CountToInt16(CountOf(Use(vars.KAVRISControllers)));

    DefaultText(Use(vars.zefaHost), "localhost");
    DefaultText(Use(vars.ServerName), "zefa2000");
    DefaultNumber(Use(vars.PortNumber), 16800);
    DefaultNumber(Use(vars.syncZefatoKavris), 0);
    DefaultNumber(Use(vars.boolTraceErrors), 1);
    DefaultNumber(Use(vars.boolLogClient), 0);
    DefaultNumber(Use(vars.boolAutoLoadSS), 0);
    DefaultNumber(Use(vars.boolUseAutoStart), 0);
    Deref(mobjZefaClient.get()).IsTracingClient = Num(vars.boolLogClient) != 0;
    DefaultNumber(Use(vars.TCPTimeOut), 5);
    DefaultNumber(Use(vars.boolWritePFEquations), 0);

    UpgradeServerSettings();

    if (CountOf(Use(vars.ResevoirPressures)) == 0) {
        AddANewText(vars.ResevoirLabels.get(), "");
        AddANewValue(vars.ResevoirPressures.get(), host::kEmptyNumber);
    }
    if (CountOf(Use(vars.PlugCheckBoxes)) == 0) {
        AddANewText(vars.PlugLabels.get(), "");
        AddANewValue(vars.PlugCheckBoxes.get(), host::kEmptyNumber);
    }
    const host::NumberArray plugs = Use(vars.PlugCheckBoxes).GetValues();
    pending_.boolPlugSelected = false;
    for (std::size_t i = 0; i + 1 < plugs.data.size(); ++i)
        if (plugs.data[i] == 1) pending_.boolPlugSelected = true;

    DefaultNumber(Use(vars.shutin), 0);
    pending_.boolShutIn = Num(vars.shutin) == 1;
    DefaultNumber(Use(vars.useAutoConnect), 1);

    RepairConnectionKinds();

    DefaultNumber(Use(vars.ZEFARunInterval), step_size());
    pending_.boolReservoirPressuresChanged = true;
    if (Num(vars.TCPTimeOut) > 4999) Use(vars.TCPTimeOut).SetValue(Num(vars.TCPTimeOut) / 1000);
    DefaultNumber(Use(vars.InitTimeOut), 300);
    DefaultNumber(Use(vars.TimeStepTimeOut), 10);
    if (Num(vars.VersionNumber) < 1) FixUpTheEnums();
}

// Older cases kept only the folder of the server program, and no model folder.
void ZEFA::UpgradeServerSettings() {
    auto& exe = Use(vars.zefaExe);
    if (exe.GetValue().empty()) exe.SetValue(Text(vars.zefaPath));
    if (Text(vars.zefaModelPath).empty()) {
        const std::string folder = ModelFolderOf(exe.GetValue());
        ui().MessageBox(
            "With a new upgrade to the AutoStart feature of the KAVRIS-ZEFA Link, you now "
            "specify the directory containing all ZEFA model files.  The path " +
                folder + " will be used.  Change if necessary.",
            kMessageTitle, true);
        Use(vars.zefaModelPath).SetValue(folder);
    }
    std::error_code ec;
    if (!exe.GetValue().empty() && fs::is_directory(exe.GetValue(), ec)) {
        ui().MessageBox(
            std::string("With a new upgrade to the AutoStart feature of the KAVRIS-ZEFA "
                        "Link, you now specify the specific ZEFA application exe to use.  ") +
                kServerProgramName + " will be used.  Change if necessary.",
            kMessageTitle, true);
        exe.SetValue(JoinPath(exe.GetValue(), kServerProgramName));
    }
}

// Exactly one connection-kind entry per inlet (outlet): entries kept in order,
// missing ones 0, surplus ones dropped.
void ZEFA::RepairConnectionKinds() {
    auto repair = [&](host::NumberArrayVariable& kinds, std::size_t wanted, const std::string& tag,
                      const std::string& connection) {
        const host::NumberArray values = kinds.GetValues();
        const std::size_t had = values.Count();
        if (had == wanted && !values.IsTwoD()) return;
        std::vector<double> fixed(wanted, 0.0);
        for (std::size_t i = 0; i < wanted && i < had; ++i)
            fixed[i] = values.IsTwoD() ? values.At(i, 0) : values.At(i);
        kinds.SetBounds(wanted);
        kinds.SetValues(host::NumberArray::OneD(fixed));
        if (had != 0) {
            strLastMessage = tag + " had " + std::to_string(had) + " entries for " +
                             std::to_string(wanted) + " " + connection +
                             "s; it now has one entry per " + connection + ".";
            ReportError(strLastMessage);
        }
    };
    repair(Use(vars.InletBoundaryCB), static_cast<std::size_t>(lists_.intNumInlets),
           "InletBoundaryCB", "inlet");
    repair(Use(vars.OutletSourceCB), static_cast<std::size_t>(lists_.intNumOutlets),
           "OutletSourceCB", "outlet");
    // The flow-sign switches are read for every outlet at every step.
    repair(Use(vars.bFlowSwitch), static_cast<std::size_t>(lists_.intNumOutlets), "bFlowSwitch",
           "outlet");
}

// A new case: the server, model folder, switches and tables at their defaults.
void ZEFA::SetNewCaseDefaults(host::Case& host_case) {
    auto step_size = [&] {
        return Deref(Deref(host_case.GetSolver().get()).GetIntegrator().get()).StepSize();
    };
    Use(vars.zefaHost).SetValue("localhost");
    Use(vars.ServerName).SetValue("zefa2000");
    Use(vars.PortNumber).SetValue(16800);
    GetZefaServerPath();
    if (auto port = LookUpServicePort(server_.strServicesFile, Text(vars.ServerName)))
        Use(vars.PortNumber).SetValue(*port);
    // The models live in a folder: by default the server program's.
    Use(vars.zefaModelPath).SetValue(ModelFolderOf(Text(vars.zefaExe)));
    Use(vars.ZEFARunInterval).SetValue(step_size());
    Use(vars.ZEFAsimTime).SetValue(0);
    Use(vars.ControllersOn).SetValue(0);
    Use(vars.controllerIndex).SetValue(0);
    lists_.intNumInlets = 0;
    lists_.intNumOutlets = 0;
    lists_.intNumControllers = 0;
    Use(vars.TrendFrequency).SetValue(10);
    Use(vars.ProfileFrequency).SetValue(10);
    Use(vars.ignoreZEFA).SetValue(0);
    Use(vars.syncZefatoKavris).SetValue(0);
    Use(vars.boolLogClient).SetValue(0);
    Use(vars.boolWritePFEquations).SetValue(1);
    Use(vars.boolAutoLoadSS).SetValue(1);
    Use(vars.boolTraceErrors).SetValue(1);
    Use(vars.boolUseAutoStart).SetValue(0);
    Use(vars.TCPTimeOut).SetValue(5);
    Use(vars.InitTimeOut).SetValue(300);
    Use(vars.TimeStepTimeOut).SetValue(10);
    AddANewText(vars.PlugLabels.get(), "");
    AddANewValue(vars.PlugCheckBoxes.get(), host::kEmptyNumber);
    AddANewText(vars.ResevoirLabels.get(), "");
    AddANewValue(vars.ResevoirPressures.get(), host::kEmptyNumber);
    Use(vars.shutin).SetValue(0);
    Use(vars.useAutoConnect).SetValue(1);
    pending_.boolReservoirPressuresChanged = false;
    strLastMessage =
        "It is recommended to always use UPPER case letters when referring to ZEFA keyword "
        "labels with this extension.";
    Use(objContainer).WriteMessage(strLastMessage);
}

// What no case keeps: the connection and the run state start afresh.
void ZEFA::ResetRunState(host::Case& host_case) {
    Use(vars.zefacontrollerops)
        .SetBounds(static_cast<std::size_t>(std::max<int>(0, lists_.intNumControllers)));
    Use(vars.controllerIndexX).SetValue(1);
    server_.lngServerState = ServerState::NotConnected;
    Use(vars.SolverMode).SetValue(Deref(host_case.GetSolver().get()).Mode());
    Use(vars.SolverBehaviour).SetValue(0);
    Use(vars.sourceIndex).SetValue(0);
    Use(vars.boundaryIndex).SetValue(0);
    Use(vars.TrendIndex).SetValue(0);
    Use(vars.ProfileIndex).SetValue(0);
    step_.dblKavrisStepSize = 0.0;
    step_.boolStepPending = false;
    step_.intNumSources = 0;
    step_.intNumBoundaries = 0;
    pending_.boolTrendsChanged = true;
    pending_.boolProfilesChanged = true;
    Use(vars.isConnected).SetValue(0);
    Use(vars.isReady).SetValue(0);
    Use(vars.CanLoadFile).SetValue(0);
    Use(vars.phaseLabels).SetValues({"Gas", "Oil", "Water"});
    Use(vars.Version).SetValue("KAVRIS-ZEFA Link v4.1.0");
    Use(vars.VersionNumber).SetValue(1);
    Deref(mobjZefaClient.get()).TCPTimeOut = Num(vars.TCPTimeOut);
}

void ZEFA::Execute(bool /*forgetting*/) {
    Trap("Execute", [] {});
}

void ZEFA::Save() {
    Trap("Save", [&] {
        Deref(mobjZefaClient.get()).TraceFilePath =
            Deref(Use(objContainer).GetCase().get()).Folder();
        const std::string input = Text(vars.InputFile);
        if (input.empty() || server_.lngServerState < ServerState::InputLoaded) return;
        WaitForZEFAToCompleteIntegration();
        const std::size_t dot = input.find('.');
        if (dot == std::string::npos) throw Error::InvalidCall();
        const std::string base = input.substr(0, dot) + SnapshotStamp(clock()->Now());
        std::string name = base + ".snp";
        const std::string folder = Text(vars.zefaModelPath);
        std::error_code ec;
        if (!folder.empty() && fs::is_directory(folder, ec)) {
            for (int n = 2; fs::exists(JoinPath(folder, name), ec); ++n)
                name = base + "_" + std::to_string(n) + ".snp";
        } else {
            ui().MessageBox(
                "The ZEFA Model Path can not be seen from the computer running KAVRIS (or the path "
                "just does not exist).  Can not guarantee a unique Snapshot file name (possible "
                "file overwrite).",
                kMessageTitle, false);
        }
        // The case names the new snapshot only once the server has written
        // it: after a failed save it keeps naming the last good one.
        if (Deref(mobjZefaClient.get()).SaveSnap(name)) {
            Use(vars.SnapshotFile).SetValue(name);
        } else {
            strLastMessage = "Could not save " + name;
            ReportError(strLastMessage);
        }
    });
}

void ZEFA::Terminate() {
    Trap("Terminate", [&] {
        if (mobjZefaClient) {
            const bool connected = mobjZefaClient->IsZEFAConnected();
            if (server_.lngServerState >= ServerState::Connected && connected) {
                if (mobjZefaClient->CloseFile()) {
                    server_.lngServerState = ServerState::NotConnected;
                } else {
                    strLastMessage = "Could not Shutdown the ZEFA server.";
                    ReportError(strLastMessage);
                }
            }
        }
        vars = BoundVariables{};
        if (trends_.objProfilePlot) {
            trends_.objProfilePlot->Close();
            trends_.objProfilePlot.reset();
        }
        step_.objInputTable.reset();
        step_.objOutputTable.reset();
        objContainer.reset();
        objDynContainer.reset();
        if (mobjZefaClient) mobjZefaClient->Owner = nullptr;
        mobjZefaClient.reset();
        intInstanceCount = static_cast<std::int16_t>(intInstanceCount - 1);
        if (intInstanceCount < 1) server_start::DeletePidFiles();
    });
}

bool ZEFA::OnHelp(std::int32_t& /*help_panel*/) {
    bool result = false;
    Trap("OnHelp", [&] { result = true; });
    return result;
}

}  // namespace zefa
