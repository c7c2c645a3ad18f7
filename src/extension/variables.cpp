// InitializeInternalVariables: binds every extension variable of the unit
// operation from the table of tags.
#include <type_traits>

#include "extension/zefa.h"

namespace zefa {

namespace {
using K = host::VariableKind;
using B = BoundVariables;
}  // namespace

const std::array<VariableBinding, 97> kVariableBindings = {{
    {"ReferenceStream", K::Object, &B::ReferenceStream},
    {"Inlets", K::StreamList, &B::Inlets},
    {"Outlets", K::StreamList, &B::Outlets},
    {"ServerName", K::Text, &B::ServerName},
    {"PortNumber", K::Number, &B::PortNumber},
    {"zefaHost", K::Text, &B::zefaHost},
    {"zefaPath", K::Text, &B::zefaPath},
    {"zefaModelPath", K::Text, &B::zefaModelPath},
    {"zefaExe", K::Text, &B::zefaExe},
    {"InputFile", K::Text, &B::InputFile},
    {"SnapshotFile", K::Text, &B::SnapshotFile},
    {"BoundaryTags", K::TextArray, &B::BoundaryTags},
    {"SourceTags", K::TextArray, &B::SourceTags},
    {"sourceIndex", K::Number, &B::sourceIndex},
    {"boundaryIndex", K::Number, &B::boundaryIndex},
    {"KAVRISControllers", K::TextArray, &B::KAVRISControllers},
    {"ZEFAControllers", K::TextArray, &B::ZEFAControllers},
    {"ControllersOn", K::Number, &B::ControllersOn},
    {"controllerIndex", K::Number, &B::controllerIndex},
    {"controllerIndexX", K::Number, &B::controllerIndexX},
    {"OPConnect", K::Number, &B::OPConnect},
    {"SolverBehaviour", K::Number, &B::SolverBehaviour},
    {"Version", K::Text, &B::Version},
    {"VersionNumber", K::Number, &B::VersionNumber},
    {"SolverMode", K::Number, &B::SolverMode},
    {"StatusBarMessage", K::Text, &B::StatusBarMessage},
    {"StatusColor", K::Number, &B::StatusColor},
    {"ZEFARunInterval", K::Number, &B::ZEFARunInterval},
    {"ZEFAsimTime", K::Number, &B::ZEFAsimTime},
    {"PlannedTimeStep", K::Number, &B::PlannedTimeStep},
    {"SourceGasFractions", K::NumberArray, &B::SourceGasFractions},
    {"SourceWaterFractions", K::NumberArray, &B::SourceWaterFractions},
    {"SourceTemperatures", K::NumberArray, &B::SourceTemperatures},
    {"BoundaryTypes", K::NumberArray, &B::BoundaryTypes},
    {"BoundaryGasFracs", K::NumberArray, &B::BoundaryGasFracs},
    {"BoundaryWaterFracs", K::NumberArray, &B::BoundaryWaterFracs},
    {"BoundaryTemperatures", K::NumberArray, &B::BoundaryTemperatures},
    {"bFlowSwitch", K::NumberArray, &B::bFlowSwitch},
    {"SourcePressures", K::NumberArray, &B::SourcePressures},
    {"BoundaryPressures", K::NumberArray, &B::BoundaryPressures},
    {"BoundaryDerivs", K::NumberArray, &B::BoundaryDerivs},
    {"SourceDerivs", K::NumberArray, &B::SourceDerivs},
    {"inputNames", K::TextArray, &B::inputNames},
    {"inputSizes", K::NumberArray, &B::inputSizes},
    {"OutletMassFlows", K::NumberArray, &B::OutletMassFlows},
    {"SourceMassFlows", K::NumberArray, &B::SourceMassFlows},
    {"ActualInletMassFlows", K::NumberArray, &B::ActualInletMassFlows},
    {"ActualOutletMassFlows", K::NumberArray, &B::ActualOutletMassFlows},
    {"PlugCheckBoxes", K::NumberArray, &B::PlugCheckBoxes},
    {"PlugLabels", K::TextArray, &B::PlugLabels},
    {"ResevoirPressures", K::NumberArray, &B::ResevoirPressures},
    {"ResevoirLabels", K::TextArray, &B::ResevoirLabels},
    {"TrendPositions", K::TextArray, &B::TrendPositions},
    {"TrendVarTags", K::TextArray, &B::TrendVarTags},
    {"enumTrendVars", K::NumberArray, &B::enumTrendVars},
    {"TrendUnits", K::TextArray, &B::TrendUnits},
    {"TrendValues", K::NumberArray, &B::TrendValues},
    {"TrendIndex", K::Number, &B::TrendIndex},
    {"TrendFrequency", K::Number, &B::TrendFrequency},
    {"enumTrendTypes", K::NumberArray, &B::enumTrendTypes},
    {"ProfileBranches", K::TextArray, &B::ProfileBranches},
    {"enumProfileVars", K::NumberArray, &B::enumProfileVars},
    {"ProfileEnable", K::NumberArray, &B::ProfileEnable},
    {"ProfileUnits", K::TextArray, &B::ProfileUnits},
    {"ProfileIndex", K::Number, &B::ProfileIndex},
    {"ProfileFrequency", K::Number, &B::ProfileFrequency},
    {"enumProfileTypes", K::NumberArray, &B::enumProfileTypes},
    {"ProfilePlot", K::Text, &B::ProfilePlot},
    {"xData", K::NumberArray, &B::xData},
    {"yData", K::NumberArray, &B::yData},
    {"ignoreZEFA", K::Number, &B::ignoreZEFA},
    {"zefaEndTime", K::Number, &B::zefaEndTime},
    {"isConnected", K::Number, &B::isConnected},
    {"isReady", K::Number, &B::isReady},
    {"CanLoadFile", K::Number, &B::CanLoadFile},
    {"phaseLabels", K::TextArray, &B::phaseLabels},
    {"syncZefatoKavris", K::Number, &B::syncZefatoKavris},
    {"boolLogClient", K::Number, &B::boolLogClient},
    {"boolWritePFEquations", K::Number, &B::boolWritePFEquations},
    {"notabug", K::Number, &B::notabug},
    {"boolAutoLoadSS", K::Number, &B::boolAutoLoadSS},
    {"boolTraceErrors", K::Number, &B::boolTraceErrors},
    {"boolUseAutoStart", K::Number, &B::boolUseAutoStart},
    {"TCPTimeOut", K::Number, &B::TCPTimeOut},
    {"InitTimeOut", K::Number, &B::InitTimeOut},
    {"TimeStepTimeOut", K::Number, &B::TimeStepTimeOut},
    {"zefacontrollerops", K::NumberArray, &B::zefacontrollerops},
    {"shutin", K::Number, &B::shutin},
    {"useAutoConnect", K::Number, &B::useAutoConnect},
    {"BranchNames", K::TextArray, &B::BranchNames},
    {"PositionNames", K::TextArray, &B::PositionNames},
    {"SourceNames", K::TextArray, &B::SourceNames},
    {"BoundaryNames", K::TextArray, &B::BoundaryNames},
    {"ControllerNames", K::TextArray, &B::ControllerNames},
    {"InletBoundaryCB", K::NumberArray, &B::InletBoundaryCB},
    {"OutletSourceCB", K::NumberArray, &B::OutletSourceCB},
    {"IsFinished", K::Number, &B::IsFinished},
}};

namespace {

// Converts a found variable to the kind of its row, as a failed late-bound
// conversion would: a variable of another kind is a type mismatch.
template <class T>
Ref<T> ConvertTo(const Ref<host::Variable>& variable) {
    auto typed = std::dynamic_pointer_cast<T>(variable);
    if (!typed) throw Error::TypeMismatch();
    return typed;
}

}  // namespace

void ZEFA::InitializeInternalVariables() {
    Trap("InitInternalVariables", [&] {
        auto& container = Use(objContainer);
        for (const VariableBinding& row : kVariableBindings) {
            Ref<host::Variable> found = container.FindVariable(row.tag);
            if (!found) throw Error::UnknownVariable(row.tag);
            std::visit(
                [&](auto member) {
                    using Held =
                        typename std::remove_reference_t<decltype(vars.*member)>::element_type;
                    if constexpr (std::is_same_v<Held, host::MaterialStream>) {
                        // The reference stream is kept as the variable's "object" member.
                        vars.*member = ConvertTo<host::ObjectVariable>(found)->Object();
                    } else {
                        vars.*member = ConvertTo<Held>(found);
                    }
                },
                row.member);
        }
    });
}

}  // namespace zefa
