// Outlet compositions and flashes: the phase fractions sent to the pipeline,
// the compositions given to the outlet streams, the pass-through when the
// pipeline is bypassed, and the check of the streams' specifications.
#include <cmath>

#include "coupling/connection_walk.h"
#include "extension/zefa.h"

namespace zefa {

namespace {

const char kMissingPhaseMessage[] =
    "ZEFA has a flow for a certain phase but the KAVRIS flash of the Reference stream at the "
    "outlet conditions did not produce any of this phase.  This phase ZEFA flow will be "
    "considered zero for the purposes of setting the KAVRIS outlet stream composition.";
const char kNegativeInletMessage[] =
    "Stream composition, etc will not be updated for negative flow in an Inlet since this can "
    "not be gotten from ZEFA.  Stream will be held at last values.";

}  // namespace

void ZEFA::CalculateMassPhaseFractions() {
    Trap("CalculateMassPhaseFractions", [&] {
        auto source_gas = Use(vars.SourceGasFractions).GetValues();
        auto source_water = Use(vars.SourceWaterFractions).GetValues();
        auto boundary_gas = Use(vars.BoundaryGasFracs).GetValues();
        auto boundary_water = Use(vars.BoundaryWaterFracs).GetValues();
        const auto inlets = Use(vars.Inlets).GetStreams();
        const auto outlets = Use(vars.Outlets).GetStreams();
        std::size_t s = 0, b = 0;
        for (const auto& c :
             Walk(lists_.intNumInlets, lists_.intNumOutlets, Use(vars.InletBoundaryCB).GetValues(),
                  Use(vars.OutletSourceCB).GetValues())) {
            host::MaterialStream& stream = Item(c.inlet ? inlets : outlets, c.index);
            const auto fluid = stream.DuplicateFluid();
            std::shared_ptr<host::Phase> vapour, liquid, aqueous;
            GetFluidPhases(fluid.get(), vapour, liquid, aqueous);
            const double m = stream.MassFlowValue();
            const bool flowing_in = c.inlet ? m >= 0.0 : m <= 0.0;
            double gas = 0.0, water = 0.0;
            if (flowing_in) {
                host::Fluid& f = Deref(fluid.get());
                gas = f.MassVapourFraction();
                const double fluid_mass = f.MassFlowValue();
                if (aqueous && std::abs(fluid_mass) >= 1e-15)
                    water = aqueous->MassFlow() / fluid_mass;
            } else if (c.boundary) {
                gas = 1.0;
                water = 0.0;
            } else {
                gas = -1.0;
                water = -1.0;
            }
            if (c.boundary) {
                boundary_gas.At(b) = gas;
                boundary_water.At(b) = water;
                ++b;
            } else {
                source_gas.At(s) = gas;
                source_water.At(s) = water;
                ++s;
            }
        }
        Use(vars.SourceGasFractions).SetValues(source_gas);
        Use(vars.SourceWaterFractions).SetValues(source_water);
        Use(vars.BoundaryGasFracs).SetValues(boundary_gas);
        Use(vars.BoundaryWaterFracs).SetValues(boundary_water);
    });
}

std::optional<std::vector<double>> ZEFA::GetNewComposition(host::Fluid& fluid, double gas,
                                                           double oil, double water,
                                                           bool useOwnFlows) {
    std::optional<std::vector<double>> result;
    Trap("GetNewComposition", [&] {
        std::shared_ptr<host::Phase> vapour, liquid, aqueous;
        GetFluidPhases(&fluid, vapour, liquid, aqueous);
        if (useOwnFlows) {
            if (vapour) gas = -vapour->MassFlow();
            if (liquid) oil = -liquid->MassFlow();
            if (aqueous) water = -aqueous->MassFlow();
        } else {
            gas = std::max(gas, 0.0);
            oil = std::max(oil, 0.0);
            water = std::max(water, 0.0);
        }
        const double total = gas + oil + water;
        if (total <= 0.0) return;
        const double liquid_flow = oil + water;
        const bool has_vapour = vapour && vapour->MolarFlow() != 0.0;
        const bool has_liquid = liquid && liquid->MolarFlow() != 0.0;
        const bool has_aqueous = aqueous && aqueous->MolarFlow() != 0.0;
        if ((gas > 0.0 && !has_vapour) || (oil > 0.0 && !has_liquid) ||
            (water > 0.0 && !has_aqueous)) {
            strLastMessage = kMissingPhaseMessage;
            ReportError(strLastMessage);
        }
        const int present = int{has_vapour} + int{has_liquid} + int{has_aqueous};
        if (present == 1) {
            result = has_vapour   ? vapour->Composition()
                     : has_liquid ? liquid->Composition()
                                  : aqueous->Composition();
            return;
        }
        // A phase the host's flash did not produce at all has no composition
        // to take a length from: the fluid's own composition gives it.
        const std::size_t n = fluid.Composition().size();
        std::vector<double> l(liquid ? liquid->Composition().size() : n, 0.0);
        double wl = 0.0;
        if (liquid_flow > 0.0) {
            if (has_aqueous && !has_liquid) {
                l = aqueous->Composition();
                wl = liquid_flow / aqueous->MolecularWeight();
            } else if (has_liquid && !has_aqueous) {
                l = liquid->Composition();
                wl = liquid_flow / liquid->MolecularWeight();
            } else if (has_liquid && has_aqueous) {
                const double wo = oil / liquid->MolecularWeight();
                const double ww = water / aqueous->MolecularWeight();
                wl = wo + ww;
                if (wl != 0.0) {
                    const auto xo = liquid->Composition();
                    const auto xw = aqueous->Composition();
                    for (std::size_t i = 0; i < l.size(); ++i) {
                        l[i] = (wo * xo.at(i) + ww * xw.at(i)) / wl;
                    }
                }
            }
        }
        std::vector<double> v(vapour ? vapour->Composition().size() : n, 0.0);
        double wv = 0.0;
        if (gas > 0.0 && has_vapour) {
            v = vapour->Composition();
            wv = gas / vapour->MolecularWeight();
        }
        if (gas <= 0.0) {
            result = l;
            return;
        }
        if (liquid_flow <= 0.0 || wv + wl == 0.0) {
            result = v;
            return;
        }
        std::vector<double> mixed = fluid.Composition();
        for (std::size_t i = 0; i < l.size(); ++i) {
            mixed.at(i) = (wv * v.at(i) + wl * l[i]) / (wv + wl);
        }
        result = mixed;
    });
    return result;
}

void ZEFA::SetOutletCompositions() {
    Trap("SetOutletCompositions", [&] {
        const auto reference = GetReferenceFluid();
        if (!reference) return;
        // A fluid without flow has no phases to weigh.
        if (reference->MolarFlow()->GetValue() == 0.0) reference->MolarFlow()->SetValue(1.0);
        const auto inlets = Use(vars.Inlets).GetStreams();
        const auto outlets = Use(vars.Outlets).GetStreams();
        const auto boundary_temps = Use(vars.BoundaryTemperatures).GetValues();
        const auto source_temps = Use(vars.SourceTemperatures).GetValues();
        const auto source_flows = Use(vars.SourceMassFlows).GetValues();
        std::size_t s = 0, b = 0;
        for (const auto& c :
             Walk(lists_.intNumInlets, lists_.intNumOutlets, Use(vars.InletBoundaryCB).GetValues(),
                  Use(vars.OutletSourceCB).GetValues())) {
            const auto& list = c.inlet ? inlets : outlets;
            host::MaterialStream& stream = Item(list, c.index);
            const double n = stream.MolarFlowValue();
            if (c.inlet) {
                if (c.boundary)
                    ++b;
                else
                    ++s;
                if (n < 0.0) {
                    strLastMessage = kNegativeInletMessage;
                    ReportError(strLastMessage);
                }
                continue;
            }
            double t = 0.0, gas = 0.0, oil = 0.0, water = 0.0;
            if (c.boundary) {
                t = boundary_temps.At(b);
                gas = step_.dblBoundaryFlows.At(b, 0);
                oil = step_.dblBoundaryFlows.At(b, 1);
                water = step_.dblBoundaryFlows.At(b, 2);
                ++b;
            } else {
                t = source_temps.At(s);
                gas = source_flows.At(s, 0);
                oil = source_flows.At(s, 1);
                water = source_flows.At(s, 2);
                ++s;
            }
            const auto& outlet = list[c.index];
            if (n > 0.0) {
                const double p = stream.PressureValue();
                if (reference->TPFlash(t, p) != 0) {
                    ReportError("Flash Failure");
                    continue;
                }
                const auto z = GetNewComposition(*reference, gas, oil, water, false);
                // No pipeline flow to weigh the phases with: the outlet keeps
                // what it has until there is.
                if (!z) continue;
                auto fluid = stream.DuplicateFluid();
                host::Fluid& f = Deref(fluid.get());
                f.SetComposition(*z);
                f.Temperature()->SetValue(t);
                f.Pressure()->SetValue(p);
                f.MolarFlow()->SetValue(n);
                Use(objDynContainer).ReplaceOutletFluid(outlet, fluid, true);
            } else {
                auto fluid = stream.DuplicateFluid();
                host::Fluid& f = Deref(fluid.get());
                const auto z = GetNewComposition(f, 0.0, 0.0, 0.0, true);
                if (!z) continue;  // no flow at all: nothing flows back in
                f.SetComposition(*z);
                Use(objDynContainer).ReplaceOutletFluid(outlet, fluid, false);
            }
        }
        Use(objDynContainer).SetReplacedOutlets(Use(vars.Outlets).GetStreams());
    });
}

void ZEFA::SetOutletsAsInlets() {
    Trap("SetOutletsAsInlets", [&] {
        const auto reference = GetReferenceFluid();
        if (!reference) return;
        const double h = reference->MolarEnthalpy();
        const auto outlets = Use(vars.Outlets).GetStreams();
        for (std::size_t j = 0;
             j < static_cast<std::size_t>(std::max<std::int16_t>(lists_.intNumOutlets, 0)); ++j) {
            host::MaterialStream& stream = Item(outlets, j);
            const double n = stream.MolarFlowValue();
            if (n < 0.0) continue;
            reference->MolarFlow()->SetValue(n);
            const auto mass_flow = stream.MassFlow();
            const double mass = Deref(mass_flow.get()).GetValue();
            const bool specified = mass_flow->State() == 1;
            if (reference->PHFlash(stream.PressureValue(), h) == 0) {
                Use(objDynContainer).ReplaceOutletFluid(outlets[j], reference, true);
            } else {
                ReportError("Flash Failure in PHFlash.");
            }
            if (specified) mass_flow->SetValue(mass);
        }
    });
}

bool ZEFA::CheckPressureFlowSpecs() {
    bool result = false;
    Trap("CheckPressureFlowSpecs", [&] {
        if (Num(vars.boolWritePFEquations) == 1.0) {
            result = true;
            return;
        }
        const auto inlets = Use(vars.Inlets).GetStreams();
        const auto outlets = Use(vars.Outlets).GetStreams();
        std::string pressure_list, flow_list;
        for (const auto& c :
             Walk(lists_.intNumInlets, lists_.intNumOutlets, Use(vars.InletBoundaryCB).GetValues(),
                  Use(vars.OutletSourceCB).GetValues())) {
            const auto& list = c.inlet ? inlets : outlets;
            if (c.index >= list.size()) throw Error::SubscriptOutOfRange();
            const auto& stream = list[c.index];
            if (!stream) return;  // a row without a stream: not ready, no message
            if (!c.boundary) {
                // The pipeline gives a source's pressure.
                if (stream->MonikerValue(":Boolean.520") == 0.0) {
                    pressure_list += stream->TaggedName() + ", ";
                }
            } else if (stream->MonikerValue(":Boolean.521") == 0.0 ||
                       stream->MonikerValue(":Index.528") != 1.0) {
                // The pipeline gives a boundary's mass flow.
                flow_list += stream->TaggedName() + ", ";
            }
        }
        result = true;
        if (!pressure_list.empty()) {
            pressure_list.resize(pressure_list.size() - 2);
            ReportError("The following stream(s) REQUIRE an active Pressure spec: " +
                        pressure_list);
            result = false;
        }
        if (!flow_list.empty()) {
            flow_list.resize(flow_list.size() - 2);
            ReportError("The following stream(s) REQUIRE an active Mass Flow spec: " + flow_list);
            result = false;
        }
    });
    return result;
}

}  // namespace zefa
