#pragma once

// The plant (streams and the host's own unit operations) and the dynamic run
// that integrates it with the extension unit operations.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dynamic_container.h"
#include "host/extension.h"
#include "lib/case.h"
#include "pf_solver.h"
#include "unit_ops.h"

namespace refhost {

// The process part of a case: components, streams and the host's own unit
// operations, in the order they were defined.
class Plant {
  public:
    explicit Plant(ComponentSetPtr components);

    const ComponentSetPtr& Components() const { return components_; }
    // Throws std::invalid_argument for a repeated name.
    StreamPtr AddStream(const std::string& name, FluidPtr fluid);
    void AddOperation(UnitOpPtr op);
    StreamPtr FindStream(const std::string& name) const;
    UnitOpPtr FindOperation(const std::string& name) const;
    const std::vector<StreamPtr>& Streams() const { return streams_; }
    const std::vector<UnitOpPtr>& Operations() const { return operations_; }
    std::vector<std::string> StreamNames() const;
    std::vector<std::string> OperationNames() const;

  private:
    ComponentSetPtr components_;
    std::vector<StreamPtr> streams_;
    std::vector<UnitOpPtr> operations_;
};

// A unit operation driven by an extension, as the integrator sees it.
struct ExtensionUnit {
    std::string name;
    std::shared_ptr<host::UnitOperationExtension> extension;
    std::function<HostDynamicContainer::StreamList()> inlets;
    std::function<HostDynamicContainer::StreamList()> outlets;
    std::shared_ptr<HostDynamicContainer> dynamic;
    // The pipeline's time as the unit shows it ("ZEFAsimTime"); empty for an
    // extension without one. A step that moves it has started a server step.
    std::function<double()> pipeline_time;
};

// An extension unit whose stream lists are the "Inlets" and "Outlets"
// variables of a pipeline unit operation.
ExtensionUnit MakeExtensionUnit(const std::shared_ptr<PipelineUnit>& unit,
                                std::shared_ptr<host::UnitOperationExtension> extension);

// The host's dynamic run: a fixed-step integrator over the plant and the
// extension unit operations.
//
// Each step: the operations take their boundary values for the end of the
// step; every extension gets PreProcessStates, and a second one when the
// first started a server step, so that the step is solved with the
// pipeline's results for the interval it integrates (see Step); the
// pressure-flow network
// (stream specifications, unit equations and the extensions' equations) is
// solved; every extension gets StepEnergyExplicitly; outlet temperatures and
// compositions are updated in flow order, an extension's through
// StepCompositionExplicitly; every extension gets PostProcessStates;
// controllers act; the time advances.
class DynamicRun {
  public:
    DynamicRun(Plant& plant, std::shared_ptr<RefSolver> solver, std::vector<ExtensionUnit> units);
    ~DynamicRun();

    // Switches the solver to dynamic mode, sets the running flag, initialises
    // the extensions and solves the starting state. False (see Error()) when
    // that fails; the running flag is then cleared again.
    bool Start();
    // One integration step. False when the pressure-flow solve or a host call
    // failed: the streams keep the last good state and the time does not
    // advance.
    bool Step();
    // Clears the running flag.
    void Stop();

    double Time() const;
    long Steps() const { return steps_; }
    const std::string& Error() const { return error_; }
    // Units whose extension answered false when the run was initialised.
    const std::vector<std::string>& RefusedUnits() const { return refused_; }
    // Warnings collected since the last call.
    std::vector<std::string> TakeWarnings();
    // Mass that entered through feeds and left through sinks, kg.
    double MassIn() const { return mass_in_; }
    double MassOut() const { return mass_out_; }
    const PFResult& LastSolve() const { return last_solve_; }
    const std::vector<ExtensionUnit>& Units() const { return units_; }

  private:
    bool Solve(bool starting = false);
    void UpdateOutlets(bool call_extensions);
    void CollectWarnings();

    Plant& plant_;
    std::shared_ptr<RefSolver> solver_;
    std::shared_ptr<RefIntegrator> integrator_;
    std::vector<ExtensionUnit> units_;
    long steps_ = 0;
    std::string error_;
    std::vector<std::string> refused_;
    std::vector<std::string> warnings_;
    double mass_in_ = 0.0;
    double mass_out_ = 0.0;
    PFResult last_solve_;
};

}  // namespace refhost
