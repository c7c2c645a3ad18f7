// Host-facing operations whose subsystems (variable-change handling and the
// coupled run's initialisation and step cycle) are not built yet. They keep
// the extension inert and harmless: no step touches the host.
#include "extension/zefa.h"

namespace zefa {

bool ZEFA::VariableChanging(host::VariableWrapper& /*wrapper*/) {
    return true;
}
void ZEFA::VariableChanged(host::VariableWrapper& /*wrapper*/) {}

void ZEFA::DynInitialize(std::shared_ptr<host::DynamicContainer> objContainer_, bool, std::uint32_t,
                         bool) {
    objDynContainer = std::move(objContainer_);
}
void ZEFA::InitializeSystem(bool /*boolForceInit*/) {}
void ZEFA::StepEnergyExplicitly(double /*dblTime*/) {}
void ZEFA::StepCompositionExplicitly() {}
void ZEFA::PreProcessStates() {}
void ZEFA::PostProcessStates() {}

}  // namespace zefa
