// The dynamic container of an extension unit: its outlets, replaced outlet
// fluids and pressure-flow equations, and the holds on the starting values.
#include "dynamic_container.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "stream.h"

namespace refhost {

HostDynamicContainer::HostDynamicContainer(std::string unit_name,
                                           std::function<StreamList()> outlets)
    : unit_(std::move(unit_name)), outlets_(std::move(outlets)) {}

void HostDynamicContainer::SetOutletStreams(const StreamList& outlets) {
    handed_ = outlets;
}

void HostDynamicContainer::SetReplacedOutlets(const StreamList& outlets) {
    replaced_ = outlets;
}

void HostDynamicContainer::ReplaceOutletFluid(const std::shared_ptr<host::MaterialStream>& outlet,
                                              const std::shared_ptr<host::Fluid>& fluid,
                                              bool flag) {
    auto stream = std::dynamic_pointer_cast<Stream>(outlet);
    if (!stream) throw std::invalid_argument(unit_ + ": the outlet is not a stream of this host");
    const auto list = outlets_ ? outlets_() : StreamList{};
    if (std::find(list.begin(), list.end(), outlet) == list.end()) {
        throw std::invalid_argument(unit_ + ": stream " + stream->Name() + " is not an outlet");
    }
    auto source = std::dynamic_pointer_cast<Fluid>(fluid);
    if (!source) throw std::invalid_argument(unit_ + ": the fluid is not a fluid of this host");
    if (flag) {
        stream->ReplaceFluid(*source);
    } else {
        stream->GetFluid()->SetComposition(source->Composition());
    }
    ++replacements_;
}

void HostDynamicContainer::SetCoefficient(std::vector<HostEquation>& set, const char* kind,
                                          int equation, int k, double value) {
    if (equation < 0 || static_cast<std::size_t>(equation) >= set.size()) {
        throw std::out_of_range(unit_ + ": " + kind + " equation " + std::to_string(equation) +
                                " does not exist");
    }
    if (k < 0 || k > 2) {
        throw std::out_of_range(unit_ + ": coefficient " + std::to_string(k) +
                                " does not exist (0 to 2)");
    }
    if (!std::isfinite(value)) {
        throw std::invalid_argument(unit_ + ": " + kind + " coefficient is not a number");
    }
    set[static_cast<std::size_t>(equation)].coef[static_cast<std::size_t>(k)] = value;
}

void HostDynamicContainer::SetPressureBalanceCoefficient(int equation, int k, double value) {
    SetCoefficient(pressure_, "pressure-balance", equation, k, value);
}

void HostDynamicContainer::SetFlowBalanceCoefficient(int equation, int k, double value) {
    SetCoefficient(flow_, "flow-balance", equation, k, value);
}

std::vector<HostEquation> HostDynamicContainer::Load(host::UnitOperationExtension& extension,
                                                     bool pressure) {
    const char* kind = pressure ? "pressure-balance" : "flow-balance";
    const std::int32_t count =
        pressure ? extension.NumberOfPressBalEquations() : extension.NumberOfFlowBalEquations();
    std::vector<HostEquation> out;
    for (std::int32_t k = 0; k < count; ++k) {
        std::int32_t index = k;
        auto vars = pressure ? extension.PressureBalanceEquationVars(index)
                             : extension.FlowBalanceEquationVars(index);
        auto coef = pressure ? extension.PressureBalanceEquationCoef(k)
                             : extension.FlowBalanceEquationCoef(k);
        HostEquation eq;
        const bool usable =
            vars && vars->size() == 2 && (*vars)[0] && (*vars)[1] && coef && coef->size() == 3;
        if (usable) {
            eq.vars = *vars;
            std::copy(coef->begin(), coef->end(), eq.coef.begin());
        } else {
            // Keep the slot so that equation numbers stay those of the extension.
            warnings_.push_back(unit_ + ": " + kind + " equation " + std::to_string(k) +
                                " has no stream variables; it is left out");
        }
        out.push_back(std::move(eq));
    }
    return out;
}

void HostDynamicContainer::LoadEquations(host::UnitOperationExtension& extension) {
    pressure_ = Load(extension, true);
    flow_ = Load(extension, false);
    pressure_count_ = static_cast<std::int32_t>(pressure_.size());
    flow_count_ = static_cast<std::int32_t>(flow_.size());
}

void HostDynamicContainer::RefreshEquations(host::UnitOperationExtension& extension) {
    if (extension.NumberOfPressBalEquations() != pressure_count_ ||
        extension.NumberOfFlowBalEquations() != flow_count_) {
        LoadEquations(extension);
    }
}

void HostDynamicContainer::AddEquations(PFNetwork& network) const {
    const auto add = [&](const std::vector<HostEquation>& set, const char* kind) {
        for (std::size_t k = 0; k < set.size(); ++k) {
            const HostEquation& eq = set[k];
            if (eq.vars.size() != 2) continue;
            double fx = 1.0, fy = 1.0;
            const int x = network.UnknownOf(*eq.vars[0], &fx);
            const int y = network.UnknownOf(*eq.vars[1], &fy);
            network.AddLinear(unit_ + " " + kind + " equation " + std::to_string(k),
                              {{x, eq.coef[0] * fx}, {y, eq.coef[1] * fy}}, eq.coef[2]);
        }
    };
    add(pressure_, "pressure-balance");
    add(flow_, "flow-balance");
}

namespace {

// The variable of a unit equation that the starting state holds: the one the
// host gives the pipeline (the flow of a pressure-balance equation, the
// pressure of a flow-balance one), unless the stream already specifies that
// one itself (a sink's pressure, a feed's flow); then the other.
const StreamValue* HeldVariable(const HostEquation& eq, bool pressure_balance) {
    const StreamValue* flow = nullptr;
    const StreamValue* pressure = nullptr;
    for (const auto& variable : eq.vars) {
        const auto* value = dynamic_cast<const StreamValue*>(variable.get());
        if (!value) continue;
        if (value->Which() == StreamValue::What::MolarFlow ||
            value->Which() == StreamValue::What::MassFlow)
            flow = value;
        if (value->Which() == StreamValue::What::Pressure) pressure = value;
    }
    if (!flow || !pressure) return flow ? flow : pressure;
    const Stream& s = *flow->GetStream();
    if (pressure_balance) return s.FlowSpecified() ? pressure : flow;
    return s.PressureSpecified() ? flow : pressure;
}

double HeldValue(const StreamValue& value) {
    const Fluid& f = *value.GetStream()->GetFluid();
    return value.Which() == StreamValue::What::Pressure ? f.PressureKPa() : f.MassFlowValue();
}

}  // namespace

void HostDynamicContainer::CaptureStartingValues() {
    const auto capture = [](const std::vector<HostEquation>& set, bool pressure_balance) {
        std::vector<double> held(set.size(), std::nan(""));
        for (std::size_t k = 0; k < set.size(); ++k) {
            if (set[k].vars.size() != 2) continue;
            if (const StreamValue* value = HeldVariable(set[k], pressure_balance))
                held[k] = HeldValue(*value);
        }
        return held;
    };
    starting_pressure_ = capture(pressure_, true);
    starting_flow_ = capture(flow_, false);
}

void HostDynamicContainer::AddStartingHolds(PFNetwork& network) const {
    const auto add = [&](const std::vector<HostEquation>& set, const std::vector<double>& held,
                         bool pressure_balance) {
        const char* kind = pressure_balance ? "pressure-balance" : "flow-balance";
        for (std::size_t k = 0; k < set.size(); ++k) {
            const HostEquation& eq = set[k];
            if (eq.vars.size() != 2) continue;
            const StreamValue* value = HeldVariable(eq, pressure_balance);
            if (!value) continue;
            const Stream& s = *value->GetStream();
            const std::string origin = unit_ + " " + kind + " equation " + std::to_string(k);
            // Not captured (equations loaded after the capture): the present value.
            const double v = k < held.size() && !std::isnan(held[k]) ? held[k] : HeldValue(*value);
            if (value->Which() == StreamValue::What::Pressure) {
                network.AddLinear(origin + " (starting pressure held)",
                                  {{network.PressureUnknown(s), 1.0}}, v);
            } else {
                // A mass flow, whatever composition the host's units give the stream.
                network.AddLinear(origin + " (starting flow held)",
                                  {{network.FlowUnknown(s), s.GetFluid()->MolecularWeight()}}, v);
            }
        }
    };
    add(pressure_, starting_pressure_, true);
    add(flow_, starting_flow_, false);
}

std::vector<std::string> HostDynamicContainer::TakeWarnings() {
    std::vector<std::string> out;
    out.swap(warnings_);
    return out;
}

}  // namespace refhost
