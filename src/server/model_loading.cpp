// Loading the input file, initialising the model, waiting for an outstanding
// step, and choosing a model file in another folder.
#include <cctype>
#include <cmath>
#include <filesystem>

#include "extension/zefa.h"

namespace zefa {

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A folder text without trailing separators, so "/a/b/" and "/a/b" compare equal.
std::string TrimSeparators(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

}  // namespace

bool ZEFA::LoadZEFAFile() {
    bool result = false;
    Trap("LoadZEFAFile", [&] {
        if (server_.lngServerState != ServerState::Connected) return;
        if (Deref(mobjZefaClient.get()).LoadFile(Text(vars.InputFile))) {
            server_.lngServerState = ServerState::InputLoaded;
            result = true;
        } else {
            strLastMessage = "ZEFA server failed to load input file.";
            ReportError(strLastMessage);
        }
    });
    return result;
}

bool ZEFA::InitializeZEFA() {
    bool result = false;
    Trap("InitializeZEFA", [&] {
        if (server_.lngServerState != ServerState::InputLoaded) return;
        auto& client = Deref(mobjZefaClient.get());
        // Initialising may take much longer than an ordinary request.
        const TimeOutSwap swap(client, Num(vars.InitTimeOut), Num(vars.TCPTimeOut));
        if (client.InitializeSolver()) {
            server_.lngServerState = ServerState::Initialised;
            double sim_time = Num(vars.ZEFAsimTime);
            client.GetSimTime(sim_time);
            Use(vars.ZEFAsimTime).SetValue(sim_time);
            result = true;
        } else {
            strLastMessage = "ZEFA server failed to initialize.";
            ReportError(strLastMessage);
        }
    });
    return result;
}

bool ZEFA::WaitForZEFAToCompleteIntegration() {
    bool result = false;
    Trap("WaitForZEFAToCompleteIntegration", [&] {
        const double seconds = std::nearbyint(Num(vars.TimeStepTimeOut));
        if (!std::isfinite(seconds) || std::fabs(seconds) > 2147483.0) throw Error::Overflow();
        const auto t = static_cast<std::int32_t>(seconds);
        const double limit_ms = static_cast<double>(t) * 1000.0;
        auto& client = Deref(mobjZefaClient.get());
        // A started step whose connection is gone can never finish.
        const bool outstanding =
            !client.StepComplete || (step_.boolStepPending && !client.IsZEFAConnected());
        const std::uint64_t start = clock()->TickCountMs();
        auto elapsed = [&] { return static_cast<double>(clock()->TickCountMs() - start); };
        // A closed or failed connection ends the wait at once: the client has
        // reported it and raised its disconnection event.
        while (!client.StepComplete && client.IsZEFAConnected() && elapsed() < limit_ms)
            client.GetData(t);
        // The step's own flag decides: data that arrive with the deadline, or
        // a time-out of 0 with no step outstanding, are no failure.
        if (!outstanding || (client.StepComplete && client.IsZEFAConnected())) {
            result = true;
        } else {
            // Too slow or gone: either way the step did not finish, once per
            // host step that waits for it, and the host keeps its results.
            ++step_.stepTimeOuts;
            strLastMessage = "ZEFA did not finish its time step.";
            ReportError(strLastMessage);
        }
    });
    return result;
}

void ZEFA::ChooseModelFile(bool isInputFile) {
    if (auto chosen = AskForModelFile(isInputFile)) UseSelectedModelFile(*chosen, isInputFile);
}

void ZEFA::TypeModelFile(const std::string& name, bool isInputFile) {
    Use(isInputFile ? vars.InputFile : vars.SnapshotFile).SetValue(edit_.strPreviousFile);
    UseSelectedModelFile(name, isInputFile);
}

void ZEFA::UseSelectedModelFile(const std::string& path, bool isInputFile) {
    // Each step goes on when an earlier one fails.
    const std::filesystem::path chosen(path);
    std::string folder;
    std::string model;
    try {
        folder = TrimSeparators(chosen.parent_path().string());
        model = TrimSeparators(Text(vars.zefaModelPath));
    } catch (...) {
    }
    if (!folder.empty() && Lower(folder) != Lower(model)) {
        bool yes = false;
        try {
            yes = ui().AskYesNo(
                "You have selected a file with a different path than the current ZEFA Model "
                "Path.Would you like to change the ZEFA Model Path and continue?",
                "Change the ZEFA Model Path?");
        } catch (...) {
        }
        if (!yes) return;
        try {
            Use(vars.zefaModelPath).SetValue(folder);
        } catch (...) {
        }
    }
    try {
        const std::string name = chosen.filename().string();
        if (isInputFile)
            Use(vars.InputFile).SetValue(name);
        else
            Use(vars.SnapshotFile).SetValue(name);
    } catch (...) {
    }
}

}  // namespace zefa
