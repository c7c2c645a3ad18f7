#pragma once

// The host's dynamic container for an extension unit operation and the
// equations it keeps for the pressure-flow solver.

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/extension.h"
#include "host/objects.h"
#include "pf_solver.h"

namespace refhost {

// One pressure-balance or flow-balance equation of an extension unit as the
// host keeps it: c0 x + c1 y = c2.
struct HostEquation {
    std::vector<std::shared_ptr<host::RealValue>> vars;
    std::array<double, 3> coef{};
};

// The dynamic container the host gives an extension unit operation: it takes
// the unit's outlet list and replaced outlet fluids back and keeps the
// unit's pressure-flow equations, whose coefficients the extension rewrites.
class HostDynamicContainer final : public host::DynamicContainer {
  public:
    using StreamList = std::vector<std::shared_ptr<host::MaterialStream>>;
    HostDynamicContainer(std::string unit_name, std::function<StreamList()> outlets);

    // host::DynamicContainer
    void SetOutletStreams(const StreamList& outlets) override;
    // `flag` true: the fluid is the outlet's new state (composition,
    // temperature, pressure, flow). False: only its composition is taken.
    void ReplaceOutletFluid(const std::shared_ptr<host::MaterialStream>& outlet,
                            const std::shared_ptr<host::Fluid>& fluid, bool flag) override;
    void SetReplacedOutlets(const StreamList& outlets) override;
    void SetPressureBalanceCoefficient(int equation, int k, double value) override;
    void SetFlowBalanceCoefficient(int equation, int k, double value) override;

    // Asks the extension for its equations and their initial coefficients.
    // The equation operations report failures by throwing; that propagates.
    void LoadEquations(host::UnitOperationExtension& extension);
    // Reloads when the extension's equation counts changed.
    void RefreshEquations(host::UnitOperationExtension& extension);
    // Adds the equations to a network; their variables must be stream
    // pressures or flows of that network.
    void AddEquations(PFNetwork& network) const;
    // For the starting state, before the extension has written coefficients
    // from results of its own: one equation per equation of the unit that
    // holds what the host gives the pipeline at that connection, as it was
    // when the run was initialised: a source's mass flow (pressure-balance
    // equation) and a boundary's pressure (flow-balance equation). The
    // pipeline started from exactly these values, so the first exchange
    // hands it the boundary it already has; its answers, a source's pressure
    // and a boundary's flow, come with its first results.
    // CaptureStartingValues takes the values; call it after LoadEquations and
    // before the host's own units change the streams.
    void CaptureStartingValues();
    void AddStartingHolds(PFNetwork& network) const;

    const std::vector<HostEquation>& PressureBalance() const { return pressure_; }
    const std::vector<HostEquation>& FlowBalance() const { return flow_; }
    const StreamList& HandedOutlets() const { return handed_; }
    const StreamList& ReplacedOutlets() const { return replaced_; }
    int FluidReplacements() const { return replacements_; }
    // Messages about equations the host had to leave out; cleared by the call.
    std::vector<std::string> TakeWarnings();

  private:
    std::vector<HostEquation> Load(host::UnitOperationExtension& extension, bool pressure);
    void SetCoefficient(std::vector<HostEquation>& set, const char* kind, int equation, int k,
                        double value);

    std::string unit_;
    std::function<StreamList()> outlets_;
    std::vector<HostEquation> pressure_;
    std::vector<HostEquation> flow_;
    std::int32_t pressure_count_ = -1;
    std::int32_t flow_count_ = -1;
    StreamList handed_;
    StreamList replaced_;
    int replacements_ = 0;
    std::vector<std::string> warnings_;
    // Per equation of each set, the held value (kg/s or kPa); NaN: none.
    std::vector<double> starting_pressure_;
    std::vector<double> starting_flow_;
};

}  // namespace refhost
