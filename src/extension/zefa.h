#pragma once

// The pipeline unit operation. One ZEFA object per unit operation in a host
// case couples the host's dynamic run to the pipeline simulator server.
//
// The class is a map of the extension: operations are declared here and
// defined in the folder of the subsystem they belong to, and each subsystem
// keeps its state in a struct of its own folder:
//
//   extension/  configuration variables, lifecycle, view edits, status,
//               connection lists                  -> vars, lists_, pending_, edit_
//   coupling/   dynamic initialisation, step cycle, pressure-flow equations,
//               input and output tables, outlet compositions      -> step_
//   server/     connection and auto-start, model loading, standalone run,
//               actions on the running model, snapshots           -> server_
//   trends/     trends, profiles and the profile plot             -> trends_
//   client/     ZEFA_Client, the protocol and the socket          -> mobjZefaClient
//
// State is private. Tests reach it through ZefaInspector
// (extension/inspector.h) and tools through the C interface of
// extension/tool_interface.h.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "client/zefa_client.h"
#include "coupling/coupling_step.h"
#include "extension/connection_lists.h"
#include "extension/user_requests.h"
#include "extension/variables.h"
#include "host/clock.h"
#include "host/extension.h"
#include "host/objects.h"
#include "platform/error.h"
#include "server/server_connection.h"
#include "trends/trends_state.h"

namespace zefa {

struct Connection;

class ZEFA : public host::UnitOperationExtension, public ZEFA_ClientOwner {
  public:
    // The host interface version Initialize answers.
    static constexpr std::int32_t kInterfaceVersion = 4815;

    // `ui` receives message boxes before Initialize (and whenever the
    // container offers none); null uses a UI that shows nothing.
    explicit ZEFA(std::shared_ptr<host::UserInterface> ui = nullptr,
                  std::shared_ptr<host::Clock> clock = nullptr);
    ~ZEFA() override;
    ZEFA(const ZEFA&) = delete;
    ZEFA& operator=(const ZEFA&) = delete;

    // ---- Host-facing operations, in interface order ----
    std::int32_t Initialize(std::shared_ptr<host::Container> container, bool is_recalling) override;
    void Execute(bool forgetting) override;
    bool VariableChanging(host::VariableWrapper& wrapper) override;
    void VariableChanged(host::VariableWrapper& wrapper) override;
    void Save() override;
    void Terminate() override;
    bool OnHelp(std::int32_t& help_panel) override;
    void StatusQuery(host::StatusObject& objStatus) override;
    void InitializeInternalVariables() override;
    void DynInitialize(std::shared_ptr<host::DynamicContainer> objContainer, bool boolIsRecalling,
                       std::uint32_t ulngVersion, bool boolHoldupExist) override;
    bool InitializeSystem(bool boolForceInit) override;
    void StepEnergyExplicitly(double dblTime) override;
    void StepCompositionExplicitly() override;
    void PreProcessStates() override;
    void PostProcessStates() override;
    std::int32_t NumberOfPressBalEquations() override;
    std::optional<std::vector<std::int32_t>> VariablesInPressBalanceEquations() override;
    std::optional<std::vector<std::shared_ptr<host::RealValue>>> PressureBalanceEquationVars(
        std::int32_t& EquationIdx) override;
    std::optional<std::vector<double>> PressureBalanceEquationCoef(
        std::int32_t EquationIdx) override;
    std::int32_t NumberOfFlowBalEquations() override;
    std::optional<std::vector<std::int32_t>> VariablesInFlowBalanceEquations() override;
    std::optional<std::vector<std::shared_ptr<host::RealValue>>> FlowBalanceEquationVars(
        std::int32_t& EquationIdx) override;
    std::optional<std::vector<double>> FlowBalanceEquationCoef(std::int32_t EquationIdx) override;
    void UpdatePFEquationCoeffs() override;

    // ---- Status and error reporting (extension/status.cpp) ----
    // Routes a report to the message window or a message box; never fails.
    void ReportError(const std::string& message) override;
    void DynamicStatusUpdate();

    // ---- Client events (server/standalone_run.cpp) ----
    void ZEFAServerDisconnected() override;  // the server stopped or the connection was lost
    void FinishRunZefa() override;           // a step's trend data have arrived

    // ---- Connection lists (extension/connection_lists.cpp) ----
    void AddANewText(host::TextArrayVariable* variable, const std::string& text);
    void AddANewValue(host::NumberArrayVariable* variable, double value);
    void RemoveATag(host::TextArrayVariable* variable, std::int16_t row);
    void RemoveAValue(host::NumberArrayVariable* variable, std::int16_t row);
    void AddANewInlet();
    void RemoveAnInlet(std::int16_t row);
    void AddANewOutlet();
    void RemoveAnOutlet(std::int16_t row);
    void AddController();
    void RemoveController(std::int16_t row);

    // ---- Catalogue (extension/fix_up_enums.cpp) ----
    void FixUpTheEnums();

    // ---- Coupling: host look-ups and outlet compositions (coupling/) ----
    // A copy of the reference stream's fluid, else the mix of the inlets'
    // fluids; null when there is neither.
    std::shared_ptr<host::Fluid> GetReferenceFluid();
    // Sets `result` (unless already set) to the operation of that exact name,
    // searching the flowsheet first and then its sub-flowsheets in order.
    void RecursiveGetOperation(std::shared_ptr<host::Operation>& result,
                               const std::shared_ptr<host::Flowsheet>& flowsheet,
                               const std::string& name);
    // The fluid's vapour, light-liquid and aqueous phases; null when absent.
    void GetFluidPhases(host::Fluid* fluid, std::shared_ptr<host::Phase>& vapour,
                        std::shared_ptr<host::Phase>& light_liquid,
                        std::shared_ptr<host::Phase>& aqueous);
    void CalculateMassPhaseFractions();
    // Composition for an outlet from the phases of a flashed fluid weighted by
    // the pipeline's gas, oil and water mass flows; empty when they add to 0.
    std::optional<std::vector<double>> GetNewComposition(host::Fluid& fluid, double gas, double oil,
                                                         double water, bool useOwnFlows);
    void SetOutletCompositions();
    void SetOutletsAsInlets();
    bool CheckPressureFlowSpecs();

    // ---- Coupling: input table and boundary data (coupling/input_table.cpp) ----
    // Counts sources and boundaries and prepares their configuration arrays.
    void SetupSourceAndBoundaryVars();
    // Builds the host table " ZEFA Input" and registers its names and sizes.
    bool BuildInputTable();
    // Reads the input table, converts its values and sends them to the server.
    void PackageAndSendDataToZEFA();
    // Controller rows of a value array from percent to fractions, in place.
    void ConvertPercentsToFractions(std::vector<double>& lvarInpData);
    // Negates the mass-flow row of every outlet source, in place.
    void ConvertFlowsToBeSentToSourcesForSign(std::vector<double>& lvarData);

    // ---- Coupling: pressure-flow equations (coupling/pf_equations.cpp) ----
    // Registers the derivative inputs with the server.
    bool SetupDerivatives();

    // ---- Coupling: output table and results (coupling/output_table.cpp) ----
    // Builds the host table " ZEFA Output", registers the trend names and
    // fetches a first result.
    bool BuildOutputTable();
    void StoreLastOutputs();
    // `newValue` (at "ZEFAsimTime") and `oldValue` (a run interval earlier)
    // interpolated to the host time.
    double GetInterpolatedValue(double newValue, double oldValue);
    void UpdateStreamsData();
    void ConvertFlowsForSign();
    void UpdateInletOutletFlows();

    // ---- Server connection (server/) ----
    // Connects the client, starting the server first when asked or when
    // "useAutoConnect" is 1; closes it again, offering a snapshot first.
    void OpenTheConnection(bool autoStart);
    void CloseTheConnection();
    // Waits until the server process started here listens on `port`; false
    // (reported) when it ended instead, naming what holds the port.
    bool AwaitOwnListener(std::int32_t server_pid, std::int32_t port);
    // Starts, without waiting for it, the server that the coupled run's
    // initialisation would start ("boolUseAutoStart" 1, "ignoreZEFA" 0, not
    // connected); that initialisation then connects as soon as it listens.
    // False when the start failed (reported as OpenTheConnection reports it).
    bool LaunchServerAhead();
    // Fills an empty "zefaExe" with the default server program.
    void GetZefaServerPath();
    // Registry look-ups of the server program; they fail off Windows.
    void GetZefaServerPathFromRegistry();
    bool QueryValueEx(std::uint32_t lhkey, const std::string& szValueName,
                      std::variant<std::monostate, std::string, std::int32_t>& vValue);
    std::string RemoteReg(const std::string& txtRemMachName, const std::string& txtKeyName,
                          const std::string& txtKeyValue);
    // Model loading and the wait for an outstanding step.
    bool LoadZEFAFile();
    bool InitializeZEFA();
    bool WaitForZEFAToCompleteIntegration();
    void UseSelectedModelFile(const std::string& path, bool isInputFile);
    // The input or snapshot file chosen in its dialog, or a name typed in
    // its place (a refused name leaves the previous one).
    void ChooseModelFile(bool isInputFile);
    void TypeModelFile(const std::string& name, bool isInputFile);
    // Actions on the running model.
    void SetupAndLaunchDaPlug();
    bool SetupDaNormalInp();
    void ShutInZEFAModel();
    void SendNewPosition();
    void ChangeTheResevoirPressures();
    // Runs the pipeline model alone up to "zefaEndTime" while the host's
    // integrator is stopped; the results are taken by FinishRunZefa.
    void RunZEFA();

    // ---- Coupling: the coupled run (coupling/) ----
    // Sends the end time and starts a server step; with `boolWait` false the
    // step's results are taken by a later wait.
    bool StepZEFA(double dblEndTime, bool boolWait);
    // ---- Trends and profiles (trends/) ----
    // Trend rows (trends/trends.cpp): six parallel arrays, one row per trend.
    void AddTrend();
    void RemoveTrend(std::int32_t index);
    void ChangeTrendVariable(std::int32_t& key, std::int16_t index);
    // The request for every placed row: " $<position> <key text>" per row.
    std::string MakeTrendNames();
    // Asks the server for the placed rows' values; false when it refuses.
    bool UpdateTrends();
    // Asks for each placed row alone and leaves out (reporting each once)
    // those the server refuses; true when it left any out.
    bool LeaveOutRefusedTrends();
    // Profile definitions and the plot (trends/profiles.cpp, create_plot.cpp).
    void AddProfile();
    void RemoveProfile(std::int32_t index);
    void ChangeProfileVariable(std::int32_t& key, std::int16_t index);
    void SelectProfile(std::int16_t& index, double& value);
    void CreatePlot();
    void UpdatePlot();
    // Fetches the enabled profile into "xData" and "yData"; false on failure.
    bool UpdateProfiles();
    // The step's refresh (trends/refresh_schedule.cpp): trends, then profiles,
    // when changed or when their period has passed at host time `now`. False
    // (after reporting why) when a changed definition could not be fetched.
    bool RefreshTrendsAndProfiles(double now);
    // The host integrator's current time, seconds.
    double IntegratorTime();

    // ---- Read-only facts for the host's tools ----
    std::int32_t ServerStateNumber() const { return StateNumber(server_.lngServerState); }
    // Process id of the server this object spawned itself (0 when it started
    // none; a server found running was not started here).
    std::int32_t StartedServerPid() const { return server_.startedPid; }
    // Host steps whose server step did not finish within "TimeStepTimeOut".
    std::uint32_t StepTimeOuts() const { return step_.stepTimeOuts; }
    // Step replies of the run whose results could not be used (short, empty,
    // not finite).
    std::uint32_t BadStepReplies() const { return step_.badStepReplies; }
    // Trend and profile requests refused during the run and left out of it.
    const std::vector<std::string>& LeftOutRequests() const { return trends_.leftOut; }
    // Every enabled profile as last fetched (trends/profiles.cpp).
    const std::vector<FetchedProfile>& FetchedProfiles() const { return trends_.profiles; }
    // Refreshes the trends now, when no server step is outstanding, so that
    // they hold the pipeline's values at its present time (trends/trends.cpp).
    bool RefreshTrendsBetweenSteps();

    // Number of live extension objects of the component.
    static std::int16_t intInstanceCount;

    const std::shared_ptr<host::Clock>& clock() const { return clock_; }
    // The user interface: the container's when there is one, else the one
    // given at construction.
    host::UserInterface& ui();

  private:
    friend class ZefaInspector;

    // Runs `body` under an error trap: any exception ends it and is reported
    // as "METHOD -- <name>: <description>".
    template <class F>
    void Trap(const char* name, F&& body) {
        try {
            body();
        } catch (const std::exception& e) {
            ReportError(std::string("METHOD -- ") + name + ": " + e.what());
        } catch (...) {
            ReportError(std::string("METHOD -- ") + name + ": Unknown error");
        }
    }

    // Initialize's stages (extension/lifecycle.cpp): a recalled case's settings
    // completed and upgraded, or a new case's defaults; then the run state reset.
    void RecallSettings(host::Case& host_case);
    void UpgradeServerSettings();
    void RepairConnectionKinds();
    void SetNewCaseDefaults(host::Case& host_case);
    void ResetRunState(host::Case& host_case);

    // The connections in walking order with their kind (coupling/input_table.cpp).
    std::vector<Connection> WalkConnections();
    // The equation gate: the switches on and at least one connection of the set.
    bool EquationsOn(std::int16_t count);
    // The coupled run's steps (coupling/dynamic_initialisation.cpp,
    // coupling/step_cycle.cpp).
    host::Integrator& TheIntegrator();
    bool InitializeTheCoupledRun();
    bool AutoStartForTheRun();
    // Writes the start scripts and runs the local one (server/server_launch.cpp).
    ServerLaunch LaunchServer();
    void SynchroniseTheClocks();
    bool TakeAHostStep();
    // Writes the finished server step's results into the output table and
    // applies the sign convention; false (results still pending) when there
    // is no output table.
    bool TakeTheStepResults();
    void CarryOutPendingRequests();
    // The interface mass account (coupling/interface_mass.cpp): the host's
    // flows booked, the pipeline's passed, and the sources' flows to send
    // with the defect fed back, in place.
    void BookInterfaceMass();
    void PassInterfaceMass();
    void AddInterfaceCorrections(std::vector<double>& lvarData);

    // Variable-change handling (extension/variable_changes.cpp).
    // VariableChanged's actions by the tag they answer, one table per kind of edit.
    using ChangeAction = std::pair<std::string_view, void (*)(ZEFA&, host::VariableWrapper&)>;
    static ChangeAction::second_type ChangeActionFor(std::string_view tag);
    static std::span<const ChangeAction> ConnectionActions();
    static std::span<const ChangeAction> ServerActions();
    static std::span<const ChangeAction> TrendActions();
    bool IntegratorRunning();
    // True when the integrator is stopped; otherwise says why the change is refused.
    bool RefuseWhileRunning();
    // The controller table's double-click: opens the clicked controller's view.
    void ControllerDoubleClick();
    // The inlet or outlet list after the host changed it: one table row per stream.
    void StreamListChanged(host::VariableWrapper& wrapper, bool inlets);
    // Plug and reservoir tables keep one blank row at their end.
    void MaintainTableRows(host::TextArrayVariable& labels, host::NumberArrayVariable& values,
                           int row, double activated_value);
    // Fetches the enabled profile now, or at the next step while the integrator runs.
    void RefreshProfile();
    void LoadTheInputFile();
    void LoadTheSnapshot();
    // File and folder dialogs (extension/file_dialogs.cpp): the chosen path,
    // nothing when the user cancelled.
    std::optional<std::string> AskForServerProgram();
    std::optional<std::string> AskForModelFile(bool isInputFile);
    std::optional<std::string> AskForModelFolder();

    // Reads a switch or number; unbound variables raise the unset-object error.
    static double Num(const Ref<host::NumberVariable>& v) { return Use(v).GetValue(); }
    static std::string Text(const Ref<host::TextVariable>& v) { return Use(v).GetValue(); }

    // Host objects given by the host and the client this object owns.
    BoundVariables vars;
    std::shared_ptr<host::Container> objContainer;
    std::shared_ptr<host::DynamicContainer> objDynContainer;
    std::unique_ptr<ZEFA_Client> mobjZefaClient;
    // The last error text an operation built before reporting it.
    std::string strLastMessage;
    // Reports made so far: tells a failure that a call reported from a
    // silent one.
    std::uint64_t reportsMade_ = 0;

    // Subsystem state.
    ConnectionCounts lists_;
    PendingRequests pending_;
    EditInProgress edit_;
    ServerConnection server_;
    CouplingStep step_;
    TrendsAndProfiles trends_;

    std::shared_ptr<host::UserInterface> ui_;
    std::shared_ptr<host::Clock> clock_;
};

}  // namespace zefa
