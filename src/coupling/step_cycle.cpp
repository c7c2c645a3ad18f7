// One host integration step of the coupled run. The server computes one run
// interval ahead of the host: each PreProcessStates takes the results of the
// server step started earlier, puts them on the host, carries out what the
// user asked for meanwhile and, once the host has caught up with the
// pipeline's time, sends new boundary data and starts the next server step
// without waiting for it.
#include "extension/zefa.h"

namespace zefa {

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

    if (!RefreshTrendsAndProfiles(step_.dblKavrisTime)) return false;
    CarryOutPendingRequests();

    if (step_.boolStepPending && !TakeTheStepResults()) return false;
    UpdateStreamsData();

    if (Num(vars.ZEFAsimTime) - step_.dblKavrisTime <= 0) {
        PackageAndSendDataToZEFA();
        const double end_time = Num(vars.ZEFARunInterval) + step_.dblKavrisTime;
        StepZEFA(end_time, false);
        Use(vars.ZEFAsimTime).SetValue(end_time);
    }
    return true;
}

bool ZEFA::TakeTheStepResults() {
    StoreLastOutputs();
    const std::vector<double> results = Deref(mobjZefaClient.get()).OutTrendData;
    // Without an output table the results stay pending for a later step.
    if (!step_.objOutputTable) return false;
    step_.objOutputTable->WriteValues(step_.varOutputValueHandle, results, step_.varOutputUnits);
    ConvertFlowsForSign();
    step_.boolStepPending = false;
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
