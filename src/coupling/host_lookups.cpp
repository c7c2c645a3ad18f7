// Host object lookups: the reference fluid, operations by name anywhere in the
// case, and the phases of a fluid.
#include "extension/zefa.h"

namespace zefa {

std::shared_ptr<host::Fluid> ZEFA::GetReferenceFluid() {
    std::shared_ptr<host::Fluid> fluid;
    Trap("GetReferenceFluid", [&] {
        if (vars.ReferenceStream) {
            fluid = vars.ReferenceStream->DuplicateFluid();
            return;
        }
        if (lists_.intNumInlets < 1) return;
        const auto inlets = Use(vars.Inlets).GetStreams();
        const auto inlet = [&inlets](std::size_t j) -> host::MaterialStream& {
            if (j >= inlets.size()) throw Error::SubscriptOutOfRange();
            return Deref(inlets[j].get());
        };
        // The first inlet's copy is the base; the others are mixed into it.
        auto mix = inlet(0).DuplicateFluid();
        for (std::size_t j = 1; j < static_cast<std::size_t>(lists_.intNumInlets); ++j) {
            const auto other = inlet(j).DuplicateFluid();
            Deref(mix.get()).MixIn(Deref(other.get()));
        }
        fluid = mix;
    });
    return fluid;
}

void ZEFA::RecursiveGetOperation(std::shared_ptr<host::Operation>& result,
                                 const std::shared_ptr<host::Flowsheet>& flowsheet,
                                 const std::string& name) {
    Trap("RecursiveGetOperation", [&] {
        if (result) return;
        host::Flowsheet& sheet = Deref(flowsheet.get());
        for (const auto& op : sheet.Operations()) {
            if (op && op->Name() == name) {
                result = op;
                return;
            }
        }
        for (const auto& sub : sheet.SubFlowsheets()) {
            RecursiveGetOperation(result, sub, name);
            if (result) return;
        }
    });
}

void ZEFA::GetFluidPhases(host::Fluid* fluid, std::shared_ptr<host::Phase>& vapour,
                          std::shared_ptr<host::Phase>& light_liquid,
                          std::shared_ptr<host::Phase>& aqueous) {
    Trap("GetFluidPhases", [&] {
        vapour.reset();
        light_liquid.reset();
        aqueous.reset();
        host::Fluid& f = Deref(fluid);
        vapour = f.VapourPhase();
        light_liquid = f.LightLiquidPhase();
        aqueous = f.AqueousPhase();
    });
}

}  // namespace zefa
