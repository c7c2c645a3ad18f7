#pragma once

// The interface the host calls on an extension unit operation, and the
// library's C factory.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/objects.h"

namespace host {

// The interface through which the host drives an extension unit operation, in
// the order of the class interface. Results that the host receives as "an
// integer 0" or "an empty value" are empty optionals.
class UnitOperationExtension {
  public:
    virtual ~UnitOperationExtension() = default;

    // Returns the host interface version the extension was built for (4815).
    virtual std::int32_t Initialize(std::shared_ptr<Container> container, bool is_recalling) = 0;
    virtual void Execute(bool forgetting) = 0;
    virtual bool VariableChanging(VariableWrapper& wrapper) = 0;
    virtual void VariableChanged(VariableWrapper& wrapper) = 0;
    virtual void Save() = 0;
    virtual void Terminate() = 0;
    virtual bool OnHelp(std::int32_t& help_panel) = 0;
    virtual void StatusQuery(StatusObject& status) = 0;
    virtual void InitializeInternalVariables() = 0;

    virtual void DynInitialize(std::shared_ptr<DynamicContainer> container, bool is_recalling,
                               std::uint32_t version, bool holdup_exist) = 0;
    // True when the dynamic run may start.
    virtual bool InitializeSystem(bool force_init) = 0;
    virtual void StepEnergyExplicitly(double time) = 0;
    virtual void StepCompositionExplicitly() = 0;
    virtual void PreProcessStates() = 0;
    virtual void PostProcessStates() = 0;

    // Pressure-flow equations: c0*x + c1*y = c2 per equation. These have no
    // error trap of their own: a failure propagates to the host as an exception.
    virtual std::int32_t NumberOfPressBalEquations() = 0;
    virtual std::optional<std::vector<std::int32_t>> VariablesInPressBalanceEquations() = 0;
    virtual std::optional<std::vector<std::shared_ptr<RealValue>>> PressureBalanceEquationVars(
        std::int32_t& equation_idx) = 0;
    virtual std::optional<std::vector<double>> PressureBalanceEquationCoef(
        std::int32_t equation_idx) = 0;
    virtual std::int32_t NumberOfFlowBalEquations() = 0;
    virtual std::optional<std::vector<std::int32_t>> VariablesInFlowBalanceEquations() = 0;
    virtual std::optional<std::vector<std::shared_ptr<RealValue>>> FlowBalanceEquationVars(
        std::int32_t& equation_idx) = 0;
    virtual std::optional<std::vector<double>> FlowBalanceEquationCoef(
        std::int32_t equation_idx) = 0;
    virtual void UpdatePFEquationCoeffs() = 0;
};

// The C factory the shared library exports: creates the extension for a class
// name ("ZEFAPipeline.ZEFA"), or returns null for any other name. The caller
// owns the object and releases it with the matching destroy function.
extern "C" {
using CreateExtensionFn = UnitOperationExtension* (*)(const char* class_name);
using DestroyExtensionFn = void (*)(UnitOperationExtension* extension);
}
inline constexpr const char* kCreateExtensionSymbol = "ZefaCreateExtension";
inline constexpr const char* kDestroyExtensionSymbol = "ZefaDestroyExtension";

}  // namespace host
