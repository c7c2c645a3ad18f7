#pragma once

// The unit operation's extension variables: one typed reference per tag, and
// the table that binds them in order.

#include <array>
#include <memory>
#include <variant>

#include "host/objects.h"
#include "host/variables.h"
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
    if (!ref) throw Error::ObjectNotSet();
    return *ref;
}

template <class T>
T& Deref(T* ptr) {
    if (!ptr) throw Error::ObjectNotSet();
    return *ptr;
}

// Count of entries of an array variable: its last index + 1, 0 when empty.
std::size_t CountOf(const host::TextArrayVariable& v);
std::size_t CountOf(const host::NumberArrayVariable& v);

}  // namespace zefa
