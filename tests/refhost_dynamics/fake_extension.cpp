// A stand-in extension library for the exit codes of zefalink run. The unit's
// "notabug" variable picks the behaviour: 1 never gets ready (server
// unavailable), 2 reports a step time-out at the third step, anything else
// runs quietly.
#include <memory>

#include "host/extension.h"

namespace {

class FakeExtension final : public host::UnitOperationExtension {
  public:
    std::int32_t Initialize(std::shared_ptr<host::Container> container, bool) override {
        container_ = std::move(container);
        return 4815;
    }
    void Execute(bool) override {}
    bool VariableChanging(host::VariableWrapper&) override { return true; }
    void VariableChanged(host::VariableWrapper&) override {}
    void Save() override {}
    void Terminate() override { container_.reset(); }
    bool OnHelp(std::int32_t&) override { return false; }
    void StatusQuery(host::StatusObject&) override {}
    void InitializeInternalVariables() override {}
    void DynInitialize(std::shared_ptr<host::DynamicContainer>, bool, std::uint32_t,
                       bool) override {}
    void InitializeSystem(bool) override { Number("isReady")->SetValue(Mode() == 1 ? 0.0 : 1.0); }
    void StepEnergyExplicitly(double) override {}
    void StepCompositionExplicitly() override {}
    void PreProcessStates() override {
        if (Mode() == 2 && ++steps_ >= 3) {
            container_->WriteMessage("ZEFA did not finish its time step.: " + container_->Name() +
                                     ": KAVRIS-ZEFA Link Error");
        }
    }
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

  private:
    std::shared_ptr<host::NumberVariable> Number(const char* tag) {
        return std::dynamic_pointer_cast<host::NumberVariable>(container_->FindVariable(tag));
    }
    int Mode() { return static_cast<int>(Number("notabug")->GetValue()); }

    std::shared_ptr<host::Container> container_;
    int steps_ = 0;
};

}  // namespace

extern "C" {
__attribute__((visibility("default"))) host::UnitOperationExtension* ZefaCreateExtension(
    const char* class_name) {
    if (std::string(class_name) != "ZEFAPipeline.ZEFA") return nullptr;
    return new FakeExtension();
}
__attribute__((visibility("default"))) void ZefaDestroyExtension(
    host::UnitOperationExtension* extension) {
    delete extension;
}
}
