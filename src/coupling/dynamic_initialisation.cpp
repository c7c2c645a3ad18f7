// Starting a coupled run: the setup checks, the automatic start of the
// server, the run-interval rule, clock synchronisation and every
// registration with the server.
#include <cmath>
#include <filesystem>

#include "extension/zefa.h"
#include "platform/text.h"

namespace zefa {

namespace {

// Pipeline times travel as single-precision floats: beyond this the server's
// clock loses the resolution of the host's steps.
constexpr double kLargestSimulationTime = 500000.0;
// Clocks closer than this are taken as equal.
constexpr double kClockTolerance = 0.001;

bool FileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

}  // namespace

host::Integrator& ZEFA::TheIntegrator() {
    auto& host_case = Deref(Use(objContainer).GetCase().get());
    return Deref(Deref(host_case.GetSolver().get()).GetIntegrator().get());
}

void ZEFA::DynInitialize(std::shared_ptr<host::DynamicContainer> objContainer_,
                         bool /*boolIsRecalling*/, std::uint32_t /*ulngVersion*/,
                         bool /*boolHoldupExist*/) {
    // The unit operation has no holdup of its own; the host's flag is not
    // passed back through this interface.
    Trap("DynInitialize", [&] { objDynContainer = std::move(objContainer_); });
}

bool ZEFA::InitializeSystem(bool /*boolForceInit*/) {
    bool result = false;
    Trap("InitializeSystem", [&] { result = InitializeTheCoupledRun(); });
    return result;
}

bool ZEFA::AutoStartForTheRun() {
    OpenTheConnection(true);
    if (server_.lngServerState != ServerState::Connected) return true;
    auto& client = Deref(mobjZefaClient.get());

    const std::string input_path = JoinPath(Text(vars.zefaModelPath), Text(vars.InputFile));
    if (!FileExists(input_path)) {
        ReportError("The ZEFA Input file (" + input_path + ") does not exist.");
        return false;
    }
    const bool from_snapshot = Num(vars.boolAutoLoadSS) == 1;
    const bool loaded = from_snapshot ? LoadZEFAFile() : LoadZEFAFile() && InitializeZEFA();
    if (!loaded) {
        ReportError(
            "You have connected to the ZEFA Server but there has been some problem in loading "
            "the ZEFA Input file or Initialization.");
        return false;
    }
    if (!client.IsZEFAConnected()) {
        server_.lngServerState = ServerState::NotConnected;
        ReportError("Could not Load " + Text(vars.InputFile) +
                    " File must be in the same directory as ZEFA exe");
        return true;
    }
    server_.lngServerState = ServerState::Initialised;
    Use(vars.CanLoadFile).SetValue(0);
    Use(vars.isReady).SetValue(1);
    if (!from_snapshot) return true;

    const std::string snapshot = Text(vars.SnapshotFile);
    const std::string snapshot_path = JoinPath(Text(vars.zefaModelPath), snapshot);
    if (!FileExists(snapshot_path)) {
        ReportError("The ZEFA Snapshot file (" + snapshot_path +
                    ") does not exist (at least as seen from this computer).");
        return false;
    }
    if (!client.LoadSnap(snapshot)) {
        ReportError(
            "A request was made of the ZEFA server to load the snapshot file but an error has "
            "been reported from the ZEFA Server.");
        return false;
    }
    if (!client.IsZEFAConnected()) {
        server_.lngServerState = ServerState::NotConnected;
        ReportError("Could not load " + snapshot);
    }
    return true;
}

bool ZEFA::InitializeTheCoupledRun() {
    auto& client = Deref(mobjZefaClient.get());
    if (client.IsZEFAConnected() && server_.lngServerState == ServerState::Initialised)
        WaitForZEFAToCompleteIntegration();

    if (Num(vars.boolUseAutoStart) == 1 && Num(vars.ignoreZEFA) == 0) {
        if (!AutoStartForTheRun()) return false;
    }
    DynamicStatusUpdate();

    if (Use(vars.Inlets).GetStreams().empty() && !vars.ReferenceStream) {
        ReportError("Initialize System failed: No Reference Stream or Inlets");
        return false;
    }
    if (!vars.Outlets) {
        ReportError("Initialize System failed: No Outlets");
        return false;
    }
    if (!CheckPressureFlowSpecs()) return false;
    if (RoundToInt32(Num(vars.ignoreZEFA)) != 0 && !server_.boolRunningStandalone) return true;

    client.StepComplete = true;
    auto& integrator = TheIntegrator();
    step_.dblKavrisStepSize = integrator.StepSize();

    // The run interval must hold a whole number of host steps, compared in
    // hundredths of a second so that 0.3 s against 0.1 s passes whatever
    // their binary representation.
    const double run_interval = Num(vars.ZEFARunInterval);
    const std::int32_t interval_hundredths = RoundToInt32(100.0 * run_interval);
    const std::int32_t step_hundredths = RoundToInt32(100.0 * step_.dblKavrisStepSize);
    if (step_hundredths == 0) throw Error::DivisionByZero();
    // An interval of no time (or less) would never move the pipeline on.
    if (host::IsEmptyNumber(run_interval) || interval_hundredths <= 0 ||
        interval_hundredths % step_hundredths != 0) {
        ReportError("ZEFA Time step must be a multiple of the KAVRIS time step");
        return false;
    }
    step_.dblKavrisTime = integrator.CurrentTime();
    if (server_.lngServerState != ServerState::Initialised) {
        ReportError("Initialize System failed: ZEFA Server did not initialize");
        return false;
    }

    SetupSourceAndBoundaryVars();
    if (!SetupDerivatives()) return false;

    double sim_time = Num(vars.ZEFAsimTime);
    client.GetSimTime(sim_time);
    Use(vars.ZEFAsimTime).SetValue(sim_time);

    // The time the run will start at: the pipeline's when the host is to
    // follow it. It is checked before either clock is moved.
    const bool host_follows = !server_.boolRunningStandalone &&
                              std::fabs(sim_time - step_.dblKavrisTime) > kClockTolerance &&
                              Num(vars.syncZefatoKavris) == 1;
    const double run_time = host_follows ? sim_time : step_.dblKavrisTime;
    if (run_time > kLargestSimulationTime) {
        ReportError(
            "Due to the fact that the ZEFA Server can only take single precision (4 byte) "
            "simulation times, you must lower your model simulation time less than "
            "500,000(currently " +
            FormatDouble(run_time) +
            " seconds).  Set the Sim Time from the KAVRIS Integrator view to zero.");
        return false;
    }
    if (!server_.boolRunningStandalone) SynchroniseTheClocks();
    // Rows left out of an earlier run's refreshes are asked for again: a
    // label the model does not have refuses the start below.
    trends_.leftOut.clear();
    step_.dblStepResults.clear();
    step_.dblPreviousStepResults.clear();
    step_.badStepReplies = 0;
    step_.badRepliesInARow = 0;
    step_.interfaceMass.Start(
        static_cast<std::size_t>(step_.intNumSources + step_.intNumBoundaries),
        step_.dblKavrisTime);
    if (!BuildInputTable()) return false;
    if (!BuildOutputTable()) return false;
    PackageAndSendDataToZEFA();

    double planned = Num(vars.PlannedTimeStep);
    client.GetPlannedTimeStep(planned);
    Use(vars.PlannedTimeStep).SetValue(planned);

    if (!UpdateTrends()) {
        ReportError("Initialize System failed: Check trend position names");
        return false;
    }
    for (double enabled : Use(vars.ProfileEnable).GetValues().data)
        if (enabled == 1) trends_.boolProfilesEnabled = true;
    UpdatePlot();
    if (UpdateProfiles()) return true;
    ReportError("Initialize System failed: Check Branch names");
    return false;
}

void ZEFA::SynchroniseTheClocks() {
    const double pipeline_time = Num(vars.ZEFAsimTime);
    if (std::fabs(pipeline_time - step_.dblKavrisTime) <= kClockTolerance) {
        // Equal enough: the pipeline's results count as the host's time, so
        // the first host steps take them as they are (and the next step's
        // end time carries the server there).
        Use(vars.ZEFAsimTime).SetValue(step_.dblKavrisTime);
        return;
    }
    auto& container = Use(objContainer);
    if (Num(vars.syncZefatoKavris) == 1) {
        container.WriteMessage(
            "ZEFA Time is not the same as KAVRIS time. Synchronizing Kavris to Zefa Simulation "
            "time.");
        TheIntegrator().SetCurrentTime(pipeline_time);
        step_.dblKavrisTime = pipeline_time;
        return;
    }
    container.WriteMessage(
        "ZEFA Time is not the same as KAVRIS time. Synchronizing Zefa to current KAVRIS "
        "Integrator time.");
    if (Deref(mobjZefaClient.get()).SetSimTime(static_cast<float>(step_.dblKavrisTime)))
        Use(vars.ZEFAsimTime).SetValue(step_.dblKavrisTime);
    else
        ReportError("Cannot set ZEFA Time.");
}

}  // namespace zefa
