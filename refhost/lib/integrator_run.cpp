// The plant and the host's dynamic run: the fixed-step integrator over the
// host's own units and the extension units, with its pressure-flow solves.
#include "integrator_run.h"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <vector>

namespace refhost {

namespace {

// Solves of the starting state, each followed by an outlet update.
constexpr int kStartingPasses = 2;

}  // namespace

// ---- Plant ----

Plant::Plant(ComponentSetPtr components) : components_(std::move(components)) {
    if (!components_) throw std::invalid_argument("a plant needs a component list");
}

StreamPtr Plant::AddStream(const std::string& name, FluidPtr fluid) {
    if (FindStream(name)) throw std::invalid_argument("stream \"" + name + "\" defined twice");
    auto s = Stream::Create(name, std::move(fluid));
    streams_.push_back(s);
    return s;
}

void Plant::AddOperation(UnitOpPtr op) {
    if (!op) throw std::invalid_argument("empty unit operation");
    if (FindOperation(op->Name())) {
        throw std::invalid_argument("unit operation \"" + op->Name() + "\" defined twice");
    }
    operations_.push_back(std::move(op));
}

StreamPtr Plant::FindStream(const std::string& name) const {
    for (const auto& s : streams_) {
        if (s->Name() == name) return s;
    }
    return nullptr;
}

UnitOpPtr Plant::FindOperation(const std::string& name) const {
    for (const auto& op : operations_) {
        if (op->Name() == name) return op;
    }
    return nullptr;
}

std::vector<std::string> Plant::StreamNames() const {
    std::vector<std::string> names;
    for (const auto& s : streams_) names.push_back(s->Name());
    return names;
}

std::vector<std::string> Plant::OperationNames() const {
    std::vector<std::string> names;
    for (const auto& op : operations_) names.push_back(op->Name());
    return names;
}

ExtensionUnit MakeExtensionUnit(const std::shared_ptr<PipelineUnit>& unit,
                                std::shared_ptr<host::UnitOperationExtension> extension) {
    ExtensionUnit u;
    u.name = unit->Name();
    u.extension = std::move(extension);
    std::weak_ptr<PipelineUnit> weak = unit;
    const auto list = [weak](const char* tag) {
        return [weak, tag]() -> HostDynamicContainer::StreamList {
            auto locked = weak.lock();
            if (!locked) return {};
            return locked->Get<host::StreamListVariable>(tag)->GetStreams();
        };
    };
    u.inlets = list("Inlets");
    u.outlets = list("Outlets");
    u.dynamic = std::make_shared<HostDynamicContainer>(u.name, u.outlets);
    u.pipeline_time = [weak]() {
        auto locked = weak.lock();
        if (!locked) return 0.0;
        auto time =
            std::dynamic_pointer_cast<host::NumberVariable>(locked->FindVariable("ZEFAsimTime"));
        return time ? time->GetValue() : 0.0;
    };
    return u;
}

// ---- DynamicRun ----

DynamicRun::DynamicRun(Plant& plant, std::shared_ptr<RefSolver> solver,
                       std::vector<ExtensionUnit> units)
    : plant_(plant), solver_(std::move(solver)), units_(std::move(units)) {
    if (!solver_) throw std::invalid_argument("a dynamic run needs the case's solver");
    integrator_ = solver_->integrator_;
    for (auto& u : units_) {
        if (!u.extension)
            throw std::invalid_argument("extension unit " + u.name + " has no extension");
        if (!u.dynamic) u.dynamic = std::make_shared<HostDynamicContainer>(u.name, u.outlets);
    }
}

DynamicRun::~DynamicRun() = default;

double DynamicRun::Time() const {
    return integrator_->CurrentTime();
}

void DynamicRun::Stop() {
    integrator_->running_ = false;
}

std::vector<std::string> DynamicRun::TakeWarnings() {
    std::vector<std::string> out;
    out.swap(warnings_);
    return out;
}

void DynamicRun::CollectWarnings() {
    for (auto& u : units_) {
        for (auto& w : u.dynamic->TakeWarnings()) warnings_.push_back(std::move(w));
    }
}

bool DynamicRun::Solve(bool starting) {
    PFNetwork network(plant_.Streams());
    network.AddStreamSpecifications();
    for (const auto& op : plant_.Operations()) op->AddEquations(network);
    for (const auto& u : units_) {
        // The coefficients come with the pipeline's first results, taken at
        // the first step: until then the connections pass the flows they have.
        if (starting)
            u.dynamic->AddStartingHolds(network);
        else
            u.dynamic->AddEquations(network);
    }
    last_solve_ = SolvePressureFlow(network);
    if (!last_solve_.converged) {
        error_ = last_solve_.message;
        return false;
    }
    return true;
}

namespace {

std::vector<const host::MaterialStream*> Raw(const HostDynamicContainer::StreamList& list) {
    std::vector<const host::MaterialStream*> out;
    for (const auto& s : list) {
        if (s) out.push_back(s.get());
    }
    return out;
}

}  // namespace

void DynamicRun::UpdateOutlets(bool call_extensions) {
    // Nodes: the plant's operations, then the extension units. A node is
    // updated once every node producing one of its inlets has been.
    struct Node {
        UnitOp* op = nullptr;
        ExtensionUnit* unit = nullptr;
        std::vector<const host::MaterialStream*> in, out;
    };
    std::vector<Node> nodes;
    for (const auto& op : plant_.Operations()) {
        Node n;
        n.op = op.get();
        for (const auto& s : op->Inlets()) n.in.push_back(s.get());
        for (const auto& s : op->Outlets()) n.out.push_back(s.get());
        nodes.push_back(std::move(n));
    }
    for (auto& u : units_) {
        Node n;
        n.unit = &u;
        if (u.inlets) n.in = Raw(u.inlets());
        if (u.outlets) n.out = Raw(u.outlets());
        nodes.push_back(std::move(n));
    }
    std::map<const host::MaterialStream*, std::size_t> producer;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        for (const auto* s : nodes[i].out) producer.emplace(s, i);
    }
    std::vector<bool> done(nodes.size(), false);
    std::size_t remaining = nodes.size();
    // Updates one node's outlets and marks it done.
    auto update = [&](std::size_t i) {
        if (nodes[i].op) {
            nodes[i].op->UpdateOutlets();
        } else if (call_extensions) {
            nodes[i].unit->extension->StepCompositionExplicitly();
        }
        done[i] = true;
        --remaining;
    };
    while (remaining > 0) {
        bool progressed = false;
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            if (done[i]) continue;
            bool ready = true;
            for (const auto* s : nodes[i].in) {
                auto it = producer.find(s);
                if (it != producer.end() && it->second != i && !done[it->second]) ready = false;
            }
            if (!ready) continue;
            update(i);
            progressed = true;
        }
        if (!progressed) {
            // A recycle: take the first node left and go on from there.
            for (std::size_t i = 0; i < nodes.size(); ++i) {
                if (!done[i]) {
                    update(i);
                    break;
                }
            }
        }
    }
}

bool DynamicRun::Start() {
    error_.clear();
    refused_.clear();
    solver_->mode_ = 1;
    integrator_->running_ = true;
    try {
        const double t0 = integrator_->CurrentTime();
        for (const auto& op : plant_.Operations()) op->BeginStep(t0);
        for (auto& u : units_) {
            u.extension->DynInitialize(u.dynamic, false, 1, false);
            // The equations as they stand, so that coefficients written while
            // the system initialises have a place; asked again afterwards.
            try {
                u.dynamic->LoadEquations(*u.extension);
            } catch (const std::exception&) {
            }
            if (!u.extension->InitializeSystem(false)) refused_.push_back(u.name);
            u.dynamic->LoadEquations(*u.extension);
            u.dynamic->CaptureStartingValues();
        }
        CollectWarnings();
        // The streams' compositions are the host units' own only after their
        // outlets are updated, and a valve's flow depends on them: solve
        // again with the compositions the first pass gave.
        for (int pass = 0; pass < kStartingPasses; ++pass) {
            if (!Solve(true)) {
                error_ = "starting state: " + error_;
                integrator_->running_ = false;
                return false;
            }
            UpdateOutlets(pass + 1 == kStartingPasses);
        }
    } catch (const std::exception& e) {
        error_ = std::string("starting the run: ") + e.what();
        integrator_->running_ = false;
        return false;
    }
    return true;
}

bool DynamicRun::Step() {
    error_.clear();
    const double t = integrator_->CurrentTime();
    const double dt = integrator_->StepSize();
    const double t_end = t + dt;
    try {
        for (const auto& op : plant_.Operations()) op->BeginStep(t_end);
        // The server integrates the interval the host is about to solve,
        // from the boundary data of the interval's start. Solving with the
        // results of the interval before (the server's step still running)
        // puts the pressure-flow equations a step behind the pipeline and
        // about a flow it no longer has: a closed line fed through a valve
        // then rings and the ringing grows. So when the call started a server
        // step, a second call waits for that step and takes its results
        // (trends included) before the solve. Every unit's step is started
        // before any is waited for, so the servers compute side by side.
        std::vector<bool> started(units_.size(), false);
        for (std::size_t i = 0; i < units_.size(); ++i) {
            auto& u = units_[i];
            const double before = u.pipeline_time ? u.pipeline_time() : 0.0;
            u.extension->PreProcessStates();
            started[i] = u.pipeline_time && u.pipeline_time() > before;
        }
        for (std::size_t i = 0; i < units_.size(); ++i)
            if (started[i]) units_[i].extension->PreProcessStates();
        for (auto& u : units_) u.dynamic->RefreshEquations(*u.extension);
        if (steps_ == 0) {
            // The pipeline's outlets had the case's fluids until now: give them
            // the compositions of the pipeline's first results before they
            // meet the host's units, and have the equations' molar flows
            // counted with those fluids.
            UpdateOutlets(true);
            for (auto& u : units_) u.extension->UpdatePFEquationCoeffs();
        }
        CollectWarnings();
        if (!Solve()) return false;
        for (auto& u : units_) u.extension->StepEnergyExplicitly(t);
        UpdateOutlets(true);
        for (auto& u : units_) u.extension->PostProcessStates();
        for (const auto& op : plant_.Operations()) op->EndStep(t_end, dt);
    } catch (const std::exception& e) {
        error_ = std::string("step at t=") + std::to_string(t) + " s: " + e.what();
        return false;
    }
    for (const auto& op : plant_.Operations()) {
        if (auto* feed = dynamic_cast<Feed*>(op.get())) {
            for (const auto& s : feed->Outlets()) mass_in_ += s->MassFlowValue() * dt;
        } else if (auto* sink = dynamic_cast<Sink*>(op.get())) {
            for (const auto& s : sink->Inlets()) mass_out_ += s->MassFlowValue() * dt;
        }
    }
    integrator_->SetCurrentTime(t_end);
    ++steps_;
    return true;
}

}  // namespace refhost
