// Running the pipeline model on its own up to an end time while the host's
// integrator is stopped, and the client's two events.
#include "extension/zefa.h"

namespace zefa {

void ZEFA::RunZEFA() {
    Trap("RunZEFA", [&] {
        if (TheIntegrator().IsRunning()) {
            ReportError(
                "Can not run ZEFA standalone while it is also running under the KAVRIS "
                "Integrator.  Stop the Integrator.");
            return;
        }
        if (server_.lngServerState != ServerState::Initialised) {
            ReportError(
                "Can not run ZEFA standalone until a Connection has been created and the ZEFA "
                "input file has been loaded and the model initialized.");
            return;
        }
        // A run or step still outstanding would be taken for this run's
        // results and the clocks set back to before it.
        if (server_.boolRunningStandalone || !Deref(mobjZefaClient.get()).StepComplete) {
            ReportError(
                "Can not run ZEFA standalone while a ZEFA run or time step is still outstanding.  "
                "Wait until it has finished.");
            return;
        }
        if (!(Num(vars.zefaEndTime) > Num(vars.ZEFAsimTime))) {
            ReportError(
                "The ZEFA simulation end time you have requested is less than the current ZEFA "
                "simulation time.");
            return;
        }
        server_.boolRunningStandalone = true;
        if (!InitializeSystem(false)) {
            // No run is outstanding: a flag left set would make the next
            // coupled run skip its clock synchronisation and take its first
            // step's results as a standalone run's.
            server_.boolRunningStandalone = false;
            return;
        }
        StepZEFA(Num(vars.zefaEndTime), false);
    });
}

void ZEFA::FinishRunZefa() {
    Trap("mobjZefaClient_FinishRunZefa", [&] {
        if (!server_.boolRunningStandalone) return;
        // The run is over once its reply has come, usable or not (an
        // unusable one has been reported and counted): the server is at the
        // end time either way.
        if (TakeTheStepResults()) UpdateStreamsData();
        server_.boolRunningStandalone = false;
        Use(vars.ZEFAsimTime).SetValue(Num(vars.zefaEndTime));
        DynamicStatusUpdate();
    });
}

void ZEFA::ZEFAServerDisconnected() {
    Trap("ZEFAServerDisconnected", [&] {
        server_.lngServerState = ServerState::NotConnected;
        Use(vars.isConnected).SetValue(0);
        Use(vars.CanLoadFile).SetValue(0);
        Use(vars.isReady).SetValue(0);
        DynamicStatusUpdate();
    });
}

}  // namespace zefa
