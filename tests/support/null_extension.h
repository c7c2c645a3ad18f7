#pragma once

// A unit-operation extension that does nothing: the host-facing interface's
// one test double. Fakes override only the calls they care about.

#include <memory>
#include <optional>
#include <vector>

#include "host/extension.h"

namespace zefa::test {

class NullExtension : public host::UnitOperationExtension {
  public:
    std::int32_t Initialize(std::shared_ptr<host::Container>, bool) override { return 4815; }
    void Execute(bool) override {}
    bool VariableChanging(host::VariableWrapper&) override { return true; }
    void VariableChanged(host::VariableWrapper&) override {}
    void Save() override {}
    void Terminate() override {}
    bool OnHelp(std::int32_t&) override { return false; }
    void StatusQuery(host::StatusObject&) override {}
    void InitializeInternalVariables() override {}
    void DynInitialize(std::shared_ptr<host::DynamicContainer>, bool, std::uint32_t,
                       bool) override {}
    bool InitializeSystem(bool) override { return true; }
    void StepEnergyExplicitly(double) override {}
    void StepCompositionExplicitly() override {}
    void PreProcessStates() override {}
    void PostProcessStates() override {}
    std::int32_t NumberOfPressBalEquations() override { return 0; }
    std::optional<std::vector<std::int32_t>> VariablesInPressBalanceEquations() override {
        return std::nullopt;
    }
    std::optional<std::vector<std::shared_ptr<host::RealValue>>> PressureBalanceEquationVars(
        std::int32_t&) override {
        return std::nullopt;
    }
    std::optional<std::vector<double>> PressureBalanceEquationCoef(std::int32_t) override {
        return std::nullopt;
    }
    std::int32_t NumberOfFlowBalEquations() override { return 0; }
    std::optional<std::vector<std::int32_t>> VariablesInFlowBalanceEquations() override {
        return std::nullopt;
    }
    std::optional<std::vector<std::shared_ptr<host::RealValue>>> FlowBalanceEquationVars(
        std::int32_t&) override {
        return std::nullopt;
    }
    std::optional<std::vector<double>> FlowBalanceEquationCoef(std::int32_t) override {
        return std::nullopt;
    }
    void UpdatePFEquationCoeffs() override {}
};

}  // namespace zefa::test
