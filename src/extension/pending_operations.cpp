// Host-facing operations whose subsystems (variable-change handling and the
// coupled run) are not built yet. They keep the extension inert and harmless:
// no pressure-flow equations are offered and no step touches the host.
#include "extension/zefa.h"

namespace zefa {

bool ZEFA::VariableChanging(host::VariableWrapper& /*wrapper*/) {
    return true;
}
void ZEFA::VariableChanged(host::VariableWrapper& /*wrapper*/) {}


std::int32_t ZEFA::NumberOfPressBalEquations() {
    return 0;
}
std::optional<std::vector<std::int32_t>> ZEFA::VariablesInPressBalanceEquations() {
    return std::nullopt;
}
std::optional<std::vector<std::shared_ptr<host::RealValue>>> ZEFA::PressureBalanceEquationVars(
    std::int32_t& /*EquationIdx*/) {
    return std::nullopt;
}
std::optional<std::vector<double>> ZEFA::PressureBalanceEquationCoef(std::int32_t) {
    return std::nullopt;
}
std::int32_t ZEFA::NumberOfFlowBalEquations() {
    return 0;
}
std::optional<std::vector<std::int32_t>> ZEFA::VariablesInFlowBalanceEquations() {
    return std::nullopt;
}
std::optional<std::vector<std::shared_ptr<host::RealValue>>> ZEFA::FlowBalanceEquationVars(
    std::int32_t& /*EquationIdx*/) {
    return std::nullopt;
}
std::optional<std::vector<double>> ZEFA::FlowBalanceEquationCoef(std::int32_t) {
    return std::nullopt;
}
void ZEFA::UpdatePFEquationCoeffs() {}

}  // namespace zefa
