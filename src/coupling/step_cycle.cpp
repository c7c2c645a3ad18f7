// One host integration step of the coupled run. The server computes one run
// interval ahead of the host: each PreProcessStates takes the results of the
// server step started earlier, puts them on the host, carries out what the
// user asked for meanwhile and, once the host has caught up with the
// pipeline's time, sends new boundary data and starts the next server step
// without waiting for it.
#include <cmath>
#include <string>

#include "extension/zefa.h"

namespace zefa {

namespace {

// Replies in a row whose results cannot be taken before the step counts as
// one the server did not finish: the pipeline has stopped giving results.
constexpr std::uint32_t kBadRepliesBeforeGivingUp = 3;

// What is wrong with a step's results, empty when they can be taken.
std::string ResultsFault(const std::vector<double>& results, std::size_t expected) {
    if (results.size() != expected) {
        return std::to_string(results.size()) + " values for " + std::to_string(expected) +
               " outputs";
    }
    for (std::size_t k = 0; k < results.size(); ++k)
        if (!std::isfinite(results[k])) return "value " + std::to_string(k) + " is not finite";
    return {};
}

}  // namespace

void ZEFA::PreProcessStates() {
    Trap("PreProcessStates", [&] { TakeAHostStep(); });
}

bool ZEFA::TakeAHostStep() {
    if (Num(vars.ignoreZEFA) != 0) {
        SetOutletsAsInlets();
        return true;
    }
    // A server that did not finish in time (or is gone) leaves streams,
    // equations and server alone: the host keeps the last results.
    if (!WaitForZEFAToCompleteIntegration()) return false;
    step_.dblKavrisTime = TheIntegrator().CurrentTime();
    BookInterfaceMass();

    // Nothing that goes wrong between the wait and the next step request
    // keeps the pipeline from stepping: a refresh that fails leaves its bad
    // rows out, results that cannot be taken are counted, and the next step
    // is still sent when it is due.
    bool ok = true;
    Trap("PreProcessStates", [&] { ok = RefreshTrendsAndProfiles(step_.dblKavrisTime); });
    Trap("PreProcessStates", [&] { CarryOutPendingRequests(); });
    if (step_.boolStepPending) {
        const bool taken = TakeTheStepResults();
        if (taken) PassInterfaceMass();
        ok = taken && ok;
    }
    UpdateStreamsData();

    // Compared in hundredths of a second, as the run-interval rule is: the
    // host's clock is a sum of steps (0.1 + 0.1 + 0.1 is not 0.3 in binary),
    // and the end times stay whole multiples of the run interval.
    const double now = HostHundredths(step_.dblKavrisTime);
    if (HostHundredths(Num(vars.ZEFAsimTime)) - now <= 0) {
        PackageAndSendDataToZEFA();
        const double end_time = (now + HostHundredths(Num(vars.ZEFARunInterval))) / 100.0;
        StepZEFA(end_time, false);
        Use(vars.ZEFAsimTime).SetValue(end_time);
    }
    return ok;
}

bool ZEFA::TakeTheStepResults() {
    StoreLastOutputs();
    // Without an output table the results stay pending for a later step.
    if (!step_.objOutputTable) return false;
    // The step is over whatever its reply holds: a flag left set would keep
    // every later step from being sent.
    step_.boolStepPending = false;
    const std::vector<double> results = Deref(mobjZefaClient.get()).OutTrendData;
    std::string fault = ResultsFault(results, step_.varOutputUnits.size());
    if (fault.empty()) {
        try {
            step_.objOutputTable->WriteValues(step_.varOutputValueHandle, results,
                                              step_.varOutputUnits);
        } catch (const std::exception& e) {
            fault = e.what();
        }
    }
    if (!fault.empty()) {
        // The host keeps the last results; the run's first bad reply says
        // why, the rest are counted. Replies that stay bad end the run.
        ++step_.badStepReplies;
        ++step_.badRepliesInARow;
        if (step_.badStepReplies == 1) {
            strLastMessage = "ZEFA time step results could not be used (" + fault +
                             "); the last results are kept.";
            ReportError(strLastMessage);
        }
        if (step_.badRepliesInARow == kBadRepliesBeforeGivingUp) {
            ++step_.stepTimeOuts;
            strLastMessage = "ZEFA did not finish its time step.";
            ReportError(strLastMessage);
        }
        return false;
    }
    step_.badRepliesInARow = 0;
    step_.dblPreviousStepResults = std::move(step_.dblStepResults);
    step_.dblStepResults = results;
    ConvertFlowsForSign();
    // The run's first results have nothing before them to interpolate from.
    if (step_.boolFirstResults) {
        step_.boolFirstResults = false;
        StoreLastOutputs();
        step_.dblPreviousStepResults = results;
    }
    return true;
}

void ZEFA::CarryOutPendingRequests() {
    // In this order: a plug launched together with a shut-in goes first.
    if (pending_.boolPlugSelected) {
        pending_.boolPlugSelected = false;
        SetupAndLaunchDaPlug();
        SetupDaNormalInp();
    }
    if (pending_.boolReservoirPressuresChanged) {
        pending_.boolReservoirPressuresChanged = false;
        ChangeTheResevoirPressures();
    }
    if (pending_.boolLoggingChanged) {
        pending_.boolLoggingChanged = false;
        Deref(mobjZefaClient.get()).SetLogging();
    }
    if (pending_.boolShutIn) {
        pending_.boolShutIn = false;
        ShutInZEFAModel();
    }
    if (pending_.boolNewPositionPending) {
        pending_.boolNewPositionPending = false;
        SendNewPosition();
    }
}

bool ZEFA::StepZEFA(double dblEndTime, bool boolWait) {
    bool result = false;
    Trap("StepZEFA", [&] {
        auto& client = Deref(mobjZefaClient.get());
        // The pipeline's time now is that of the newest results, from
        // which the host interpolates towards the step's.
        step_.dblPreviousResultsTime = Num(vars.ZEFAsimTime);
        // Neither answer decides anything here: a refused step shows up as a
        // step that never completes, which the next wait reports.
        client.SetEndTime(static_cast<float>(dblEndTime));
        client.SimulateStep(boolWait);
        step_.boolStepPending = true;
        result = true;
    });
    return result;
}

void ZEFA::StepEnergyExplicitly(double /*dblTime*/) {}

void ZEFA::StepCompositionExplicitly() {
    Trap("StepCompositionExplicitly", [&] {
        if (Num(vars.ignoreZEFA) != 0) return;
        SetOutletCompositions();
        CalculateMassPhaseFractions();
    });
}

void ZEFA::PostProcessStates() {
    Trap("PostProcessStates",
         [&] { Use(objDynContainer).SetOutletStreams(Use(vars.Outlets).GetStreams()); });
}

}  // namespace zefa
