#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "client/zefa_client.h"
#include "host/clock.h"
#include "host/extension.h"
#include "host/objects.h"
#include "platform/error.h"

namespace zefa {

template <class T>
using Ref = std::shared_ptr<T>;

// One reference per extension variable of the unit operation, named by tag.
// A member so bound refers to the host's variable itself: reading it later
// always gives the current stored value. Unbound members are null.
struct BoundVariables {
    Ref<host::MaterialStream> ReferenceStream;  // the variable's "object" member
    Ref<host::StreamListVariable> Inlets;
    Ref<host::StreamListVariable> Outlets;
    Ref<host::TextVariable> ServerName;
    Ref<host::NumberVariable> PortNumber;
    Ref<host::TextVariable> zefaHost;
    Ref<host::TextVariable> zefaPath;
    Ref<host::TextVariable> zefaModelPath;
    Ref<host::TextVariable> zefaExe;
    Ref<host::TextVariable> InputFile;
    Ref<host::TextVariable> SnapshotFile;
    Ref<host::TextArrayVariable> BoundaryTags;
    Ref<host::TextArrayVariable> SourceTags;
    Ref<host::NumberVariable> sourceIndex;
    Ref<host::NumberVariable> boundaryIndex;
    Ref<host::TextArrayVariable> KAVRISControllers;
    Ref<host::TextArrayVariable> ZEFAControllers;
    Ref<host::NumberVariable> ControllersOn;
    Ref<host::NumberVariable> controllerIndex;
    Ref<host::NumberVariable> controllerIndexX;
    Ref<host::NumberVariable> OPConnect;
    Ref<host::NumberVariable> SolverBehaviour;
    Ref<host::TextVariable> Version;
    Ref<host::NumberVariable> VersionNumber;
    Ref<host::NumberVariable> SolverMode;
    Ref<host::TextVariable> StatusBarMessage;
    Ref<host::NumberVariable> StatusColor;
    Ref<host::NumberVariable> ZEFARunInterval;
    Ref<host::NumberVariable> ZEFAsimTime;
    Ref<host::NumberVariable> PlannedTimeStep;
    Ref<host::NumberArrayVariable> SourceGasFractions;
    Ref<host::NumberArrayVariable> SourceWaterFractions;
    Ref<host::NumberArrayVariable> SourceTemperatures;
    Ref<host::NumberArrayVariable> BoundaryTypes;
    Ref<host::NumberArrayVariable> BoundaryGasFracs;
    Ref<host::NumberArrayVariable> BoundaryWaterFracs;
    Ref<host::NumberArrayVariable> BoundaryTemperatures;
    Ref<host::NumberArrayVariable> bFlowSwitch;
    Ref<host::NumberArrayVariable> SourcePressures;
    Ref<host::NumberArrayVariable> BoundaryPressures;
    Ref<host::NumberArrayVariable> BoundaryDerivs;
    Ref<host::NumberArrayVariable> SourceDerivs;
    Ref<host::TextArrayVariable> inputNames;
    Ref<host::NumberArrayVariable> inputSizes;
    Ref<host::NumberArrayVariable> OutletMassFlows;
    Ref<host::NumberArrayVariable> SourceMassFlows;
    Ref<host::NumberArrayVariable> ActualInletMassFlows;
    Ref<host::NumberArrayVariable> ActualOutletMassFlows;
    Ref<host::NumberArrayVariable> PlugCheckBoxes;
    Ref<host::TextArrayVariable> PlugLabels;
    Ref<host::NumberArrayVariable> ResevoirPressures;
    Ref<host::TextArrayVariable> ResevoirLabels;
    Ref<host::TextArrayVariable> TrendPositions;
    Ref<host::TextArrayVariable> TrendVarTags;
    Ref<host::NumberArrayVariable> enumTrendVars;
    Ref<host::TextArrayVariable> TrendUnits;
    Ref<host::NumberArrayVariable> TrendValues;
    Ref<host::NumberVariable> TrendIndex;
    Ref<host::NumberVariable> TrendFrequency;
    Ref<host::NumberArrayVariable> enumTrendTypes;
    Ref<host::TextArrayVariable> ProfileBranches;
    Ref<host::NumberArrayVariable> enumProfileVars;
    Ref<host::NumberArrayVariable> ProfileEnable;
    Ref<host::TextArrayVariable> ProfileUnits;
    Ref<host::NumberVariable> ProfileIndex;
    Ref<host::NumberVariable> ProfileFrequency;
    Ref<host::NumberArrayVariable> enumProfileTypes;
    Ref<host::TextVariable> ProfilePlot;
    Ref<host::NumberArrayVariable> xData;
    Ref<host::NumberArrayVariable> yData;
    Ref<host::NumberVariable> ignoreZEFA;
    Ref<host::NumberVariable> zefaEndTime;
    Ref<host::NumberVariable> isConnected;
    Ref<host::NumberVariable> isReady;
    Ref<host::NumberVariable> CanLoadFile;
    Ref<host::TextArrayVariable> phaseLabels;
    Ref<host::NumberVariable> syncZefatoKavris;
    Ref<host::NumberVariable> boolLogClient;
    Ref<host::NumberVariable> boolWritePFEquations;
    Ref<host::NumberVariable> notabug;
    Ref<host::NumberVariable> boolAutoLoadSS;
    Ref<host::NumberVariable> boolTraceErrors;
    Ref<host::NumberVariable> boolUseAutoStart;
    Ref<host::NumberVariable> TCPTimeOut;
    Ref<host::NumberVariable> InitTimeOut;
    Ref<host::NumberVariable> TimeStepTimeOut;
    Ref<host::NumberArrayVariable> zefacontrollerops;
    Ref<host::NumberVariable> shutin;
    Ref<host::NumberVariable> useAutoConnect;
    Ref<host::TextArrayVariable> BranchNames;
    Ref<host::TextArrayVariable> PositionNames;
    Ref<host::TextArrayVariable> SourceNames;
    Ref<host::TextArrayVariable> BoundaryNames;
    Ref<host::TextArrayVariable> ControllerNames;
    Ref<host::NumberArrayVariable> InletBoundaryCB;
    Ref<host::NumberArrayVariable> OutletSourceCB;
    Ref<host::NumberVariable> IsFinished;
};

// One row of the binding table: tag, kind and the member it binds.
struct VariableBinding {
    using Member = std::variant<
        Ref<host::MaterialStream> BoundVariables::*,
        Ref<host::StreamListVariable> BoundVariables::*, Ref<host::TextVariable> BoundVariables::*,
        Ref<host::NumberVariable> BoundVariables::*, Ref<host::TextArrayVariable> BoundVariables::*,
        Ref<host::NumberArrayVariable> BoundVariables::*>;
    const char* tag;
    host::VariableKind kind;
    Member member;
};

// The 97 extension variables in binding order.
extern const std::array<VariableBinding, 97> kVariableBindings;

// Returns the referenced object, or raises the error a use of an unset
// object reference gives.
template <class T>
T& Use(const Ref<T>& ref) {
    if (!ref) throw Error(91, "ZEFAPipeline", "Object variable or With block variable not set");
    return *ref;
}

template <class T>
T& Deref(T* ptr) {
    if (!ptr) throw Error(91, "ZEFAPipeline", "Object variable or With block variable not set");
    return *ptr;
}

// The pipeline unit operation: couples the host's dynamic run to the pipeline
// simulator server.
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
    void InitializeSystem(bool boolForceInit) override;
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

    // ---- Status and error reporting ----
    // Routes a report to the message window or a message box; never fails.
    void ReportError(const std::string& message) override;
    void DynamicStatusUpdate();

    // ---- Client events ----
    void ZEFAServerDisconnected() override;  // the server was asked to stop
    void FinishRunZefa() override;           // a step's trend data have arrived

    // ---- Connection lists ----
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

    // ---- Catalogue ----
    void FixUpTheEnums();

    // ---- Coupling subsystem (host lookups, outlet compositions) ----
    // (declarations added here by the coupling code)
    // Step cycle and input table state that Initialize resets.
    double dblKavrisStepSize = 0.0;  // the host integrator's step size, seconds
    bool boolStepPending = false;    // a server step was started and not yet taken
    std::int16_t intNumSources = 0;
    std::int16_t intNumBoundaries = 0;
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
    std::optional<std::vector<double>> GetNewComposition(host::Fluid& fluid, double gas,
                                                         double oil, double water,
                                                         bool useOwnFlows);
    void SetOutletCompositions();
    void SetOutletsAsInlets();
    bool CheckPressureFlowSpecs();
    // Boundary flows interpolated to the host time: boundary x 3 phases
    // (gas, oil, water), in kg/s.
    host::NumberArray dblBoundaryFlows;

    // ---- Server connection subsystem ----
    // (declarations added here by the server connection code)
    // Connects the client, starting the server first when asked or when
    // "useAutoConnect" is 1; closes it again, offering a snapshot first.
    void OpenTheConnection(bool autoStart);
    void CloseTheConnection();
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
    // Actions on the running model.
    void SetupAndLaunchDaPlug();
    bool SetupDaNormalInp();
    void ShutInZEFAModel();
    void SendNewPosition();
    void ChangeTheResevoirPressures();
    // The services file searched for the port of "ServerName" in a new case.
    std::string strServicesFile = "/etc/services";
    // The host tables of the input and output table, when they exist.
    std::shared_ptr<host::TableOperation> objInputTable;
    std::shared_ptr<host::TableOperation> objOutputTable;

    // ---- Trends and profiles ----
    // (declarations added here by the trends code)
    void CreatePlot();
    std::shared_ptr<host::Plot> objProfilePlot;
    // Host times of the last trend and profile refresh.
    double dblLastTrendTime = -10000.0;
    double dblLastProfileTime = -10000.0;

    // ---- State (public so the host's tests and tools can observe it) ----
    BoundVariables vars;
    std::shared_ptr<host::Container> objContainer;
    std::shared_ptr<host::DynamicContainer> objDynContainer;
    // The pipeline-server client, created with the object.
    std::unique_ptr<ZEFA_Client> mobjZefaClient;
    // A standalone run of the pipeline model waits for its results.
    bool boolRunningStandalone = false;
    std::int16_t intNumInlets = 0;
    std::int16_t intNumOutlets = 0;
    std::int16_t intNumControllers = 0;
    std::int32_t lngServerState = 0;  // 0 none, 1 connected, 2 input loaded, 4 initialised
    std::string strLastMessage;
    std::string strPreviousHost;
    std::string strPreviousFile;
    bool boolShutIn = false;
    bool boolPlugSelected = false;
    bool boolReservoirPressuresChanged = false;
    bool boolTrendsChanged = false;
    bool boolProfilesChanged = false;
    bool boolLoggingChanged = false;
    bool boolNewPositionPending = false;
    // Controller table double-click state (variable-change handling).
    std::optional<host::DateTime> varLastControllerClick;
    double dblLastControllerClick = 0.0;
    std::int32_t lngLastControllerRow = -1;

    // Number of live extension objects of the component.
    static std::int16_t intInstanceCount;

    const std::shared_ptr<host::Clock>& clock() const { return clock_; }
    // The user interface: the container's when there is one, else the one
    // given at construction.
    host::UserInterface& ui();

  protected:
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

    // Reads a switch or number; unbound variables raise the unset-object error.
    static double Num(const Ref<host::NumberVariable>& v) { return Use(v).GetValue(); }
    static std::string Text(const Ref<host::TextVariable>& v) { return Use(v).GetValue(); }

  private:
    std::shared_ptr<host::UserInterface> ui_;
    std::shared_ptr<host::Clock> clock_;
};

// Count of entries of an array variable: its last index + 1, 0 when empty.
std::size_t CountOf(const host::TextArrayVariable& v);
std::size_t CountOf(const host::NumberArrayVariable& v);

}  // namespace zefa
