// Output table and results: the trend results requested from the server, the
// host table that stores them in the configuration variables, and the step
// routines that put them, interpolated to the host time, on the streams.
#include <array>
#include <string>

#include "coupling/connection_walk.h"
#include "extension/zefa.h"

namespace zefa {

namespace {

// One trend keyword of a connection with its output-table row.
struct OutputRow {
    const char* keyword;
    const char* tagSuffix;    // appended to "<row>_<L>"
    const char* description;  // appended to "<L>"
    const char* unit;
};

// Pressure, three pressure derivatives, three phase flows, temperature: the
// order in which the server answers and the pressure-flow equations read.
constexpr std::array<OutputRow, 8> kBoundaryRows = {{
    {"PTBOU", "_PTBOU", " Pressure", "N/m2"},
    {"DGGDPB", "_DGGDPB", " DGGDPB", ""},
    {"DGLTHLDPB", "_DGLTHLDPB", " DGLTHLDPB", ""},
    {"DGLTWTDPB", "_DGLTWTDPB", " DGLTWTDPB", ""},
    {"GGBOU", "_GGBOU", " Gas Flow", "kg/s"},
    {"GLTHLBOU", "_GLTHLBOU", " Oil Flow", "kg/s"},
    {"GLTWTBOU", "_GLTWTBOU", " Water Flow", "kg/s"},
    {"TMBOU", "_TMBOU", " Temperature", "C"},
}};
constexpr std::array<OutputRow, 8> kSourceRows = {{
    {"PT", "_PT", " Pressure", "N/m2"},
    {"DPDGGS", "_DPDGGS", " DPDGGS", ""},
    {"DPDGLTHLS", "_DPDGLTHLS", " DPDGLTHLS", ""},
    {"DPDGLTWTS", "_DPDGLTWTS", " DPDGLTWTS", ""},
    {"GGSOUR", "_GGSOUR", " Gas Flow", "kg/s"},
    {"GLHLMA", "GLHLMA", " Oil Flow", "kg/s"},  // these two tags have no underscore
    {"GLWTMA", "GLWTMA", " Water Flow", "kg/s"},
    {"TM", "_TM", " Temperature", "C"},
}};

void Negate(host::NumberArray& a, std::size_t row) {
    for (std::size_t p = 0; p < 3; ++p) a.At(row, p) = -a.At(row, p);
}

}  // namespace

bool ZEFA::BuildOutputTable() {
    bool result = true;
    Trap("BuildOutputTable", [&] {
        host::Container& container = Use(objContainer);
        const std::string table_name = container.Name() + " ZEFA Output";
        const auto flowsheet = Deref(container.GetCase().get()).GetFlowsheet();
        host::Flowsheet& sheet = Deref(flowsheet.get());
        auto op = sheet.FindOperation(table_name);
        if (!op) op = sheet.AddOperation(table_name);
        step_.objOutputTable = std::dynamic_pointer_cast<host::TableOperation>(op);
        if (!step_.objOutputTable) return;
        host::TableOperation& table = *step_.objOutputTable;
        table.Reset();
        table.ClearEntries();

        std::vector<std::string> units;
        std::string names;
        std::size_t n = 0;
        const auto add_row = [&](std::shared_ptr<host::RealValue> target, const std::string& tag,
                                 const std::string& description, const std::string& unit) {
            table.AddEntry(std::move(target), description, std::to_string(n) + "_" + tag, unit, 2);
            units.push_back(unit);
            ++n;
        };

        names += " HT ";
        Use(vars.PlannedTimeStep);
        add_row(vars.PlannedTimeStep, "HT", "ZEFA Planned DT", "seconds");

        const auto source_tags = Use(vars.SourceTags).GetValues();
        const auto boundary_tags = Use(vars.BoundaryTags).GetValues();
        for (const auto& c : WalkConnections()) {
            const auto& labels = c.inlet ? source_tags : boundary_tags;
            if (c.index >= labels.size()) throw Error::SubscriptOutOfRange();
            const std::string L = "$" + labels[c.index];
            const auto& rows = c.boundary ? kBoundaryRows : kSourceRows;
            names += L;
            for (const auto& row : rows) names += std::string(" ") + row.keyword;
            names += " ";
            const std::size_t i = c.kindIndex;
            auto& pressure = Use(c.boundary ? vars.BoundaryPressures : vars.SourcePressures);
            auto& derivs = Use(c.boundary ? vars.BoundaryDerivs : vars.SourceDerivs);
            auto& flows = Use(c.boundary ? vars.OutletMassFlows : vars.SourceMassFlows);
            auto& temperature =
                Use(c.boundary ? vars.BoundaryTemperatures : vars.SourceTemperatures);
            for (std::size_t r = 0; r < rows.size(); ++r) {
                std::shared_ptr<host::RealValue> target = r == 0  ? pressure.Element(i)
                                                          : r < 4 ? derivs.Element(i, r - 1)
                                                          : r < 7 ? flows.Element(i, r - 4)
                                                                  : temperature.Element(i);
                add_row(std::move(target), L + rows[r].tagSuffix, L + rows[r].description,
                        rows[r].unit);
            }
        }

        if (Num(vars.ControllersOn) == 1.0 && lists_.intNumControllers >= 1) {
            const auto labels = Use(vars.ZEFAControllers).GetValues();
            const auto count = static_cast<std::size_t>(lists_.intNumControllers);
            auto& outputs = Use(vars.zefacontrollerops);
            // Room for every controller's output, keeping what is there.
            if (CountOf(outputs) < count) outputs.SetBounds(count);
            for (std::size_t c = 0; c < count; ++c) {
                if (c >= labels.size()) throw Error::SubscriptOutOfRange();
                const std::string L = "$" + labels[c];
                names += L + " CONTR ";
                add_row(outputs.Element(c), L + "_CONTR", L + " Output", "");
            }
        }

        table.Complete();
        step_.varOutputValueHandle = table.ValueHandle();
        step_.varOutputUnits = std::move(units);

        ZEFA_Client& client = Deref(mobjZefaClient.get());
        if (!client.SetOutTrendNames(names)) {
            strLastMessage =
                "ZEFA_OUTTR_NAMES failed. Check the ZEFA Boundary/Source/Controller Labels you "
                "have specified on the Setup - Connections page under the Inlets and Outlets.";
            ReportError(strLastMessage);
            result = false;
            return;
        }
        if (!client.GetOutTrendData()) {
            strLastMessage = "ZEFA_GETTR_RESULT failed. Verify Outputs";
            ReportError(strLastMessage);
            result = false;
            return;
        }
        step_.boolStepPending = true;
        step_.boolFirstResults = true;
        step_.dblPreviousResultsTime = Num(vars.ZEFAsimTime);
    });
    return result;
}

void ZEFA::StoreLastOutputs() {
    Trap("StoreLastOutputs", [&] {
        const auto pressures = Use(vars.SourcePressures).GetValues();
        const auto flows = Use(vars.OutletMassFlows).GetValues();
        for (std::size_t s = 0; s < static_cast<std::size_t>(step_.intNumSources); ++s) {
            if (s >= step_.dblLastSourcePressures.size()) throw Error::SubscriptOutOfRange();
            step_.dblLastSourcePressures[s] = pressures.At(s);
        }
        for (std::size_t b = 0; b < static_cast<std::size_t>(step_.intNumBoundaries); ++b) {
            for (std::size_t k = 0; k < 3; ++k)
                step_.dblLastBoundaryFlows.At(b, k) = flows.At(b, k);
        }
    });
}

double ZEFA::GetInterpolatedValue(double newValue, double oldValue) {
    // Between the pipeline times of the previous and the newest results, as
    // the server stepped them: a run interval changed meanwhile does not
    // move them. Taken at the end of the host's step, the time the host
    // solves for: at its start the pressure-flow equations would trail the
    // pipeline by a step, and a closed line fed through a valve rings. At
    // (or past) the newest results' time, those results.
    double result = newValue;
    Trap("GetInterpolatedValue", [&] {
        const double t_new = Num(vars.ZEFAsimTime);
        const double t_old = step_.dblPreviousResultsTime;
        const double t_host = step_.dblKavrisTime + step_.dblKavrisStepSize;
        if (HostHundredths(t_new) - HostHundredths(t_host) <= 0) return;
        if (!(t_new > t_old)) return;
        result = oldValue + (t_host - t_old) * (newValue - oldValue) / (t_new - t_old);
    });
    return result;
}

void ZEFA::UpdateStreamsData() {
    Trap("UpdateStreamsData", [&] {
        const bool equations = Num(vars.boolWritePFEquations) == 1.0;
        const auto pressures = Use(vars.SourcePressures).GetValues();
        const auto flows = Use(vars.OutletMassFlows).GetValues();
        const auto inlets = Use(vars.Inlets).GetStreams();
        const auto outlets = Use(vars.Outlets).GetStreams();
        const double interval = Num(vars.ZEFARunInterval);
        std::size_t position = 0;  // in walking order
        for (const auto& c : WalkConnections()) {
            host::MaterialStream& stream = Item(c.inlet ? inlets : outlets, c.index);
            const std::size_t i = c.kindIndex;
            const std::size_t at = position++;
            if (c.boundary) {
                double total = 0.0;
                for (std::size_t k = 0; k < 3; ++k) {
                    const double latest = flows.At(i, k);
                    double& flow = step_.dblBoundaryFlows.At(i, k);
                    flow = GetInterpolatedValue(latest, step_.dblLastBoundaryFlows.At(i, k));
                    total += flow;
                }
                // What the host booked beyond what the pipeline passed comes
                // off the flow it gets over the next interval.
                if (!equations)
                    Deref(stream.MassFlow().get())
                        .SetValue(total - step_.interfaceMass.Correction(at, total, interval));
            } else {
                if (i >= step_.dblSourcePressures.size() ||
                    i >= step_.dblLastSourcePressures.size())
                    throw Error::SubscriptOutOfRange();
                const double latest = pressures.At(i);
                step_.dblSourcePressures[i] =
                    GetInterpolatedValue(latest, step_.dblLastSourcePressures[i]);
                if (!equations)
                    Deref(stream.Pressure().get()).SetValue(step_.dblSourcePressures[i]);
            }
        }
        if (equations) UpdatePFEquationCoeffs();
    });
}

void ZEFA::ConvertFlowsForSign() {
    Trap("ConvertFlowsForSign", [&] {
        auto outlet_flows = Use(vars.OutletMassFlows).GetValues();
        auto boundary_derivs = Use(vars.BoundaryDerivs).GetValues();
        auto source_flows = Use(vars.SourceMassFlows).GetValues();
        auto source_derivs = Use(vars.SourceDerivs).GetValues();
        const auto flow_switch = Use(vars.bFlowSwitch).GetValues();
        for (const auto& c : WalkConnections()) {
            if (!FlowsReversed(c, flow_switch)) continue;
            Negate(c.boundary ? outlet_flows : source_flows, c.kindIndex);
            Negate(c.boundary ? boundary_derivs : source_derivs, c.kindIndex);
        }
        Use(vars.OutletMassFlows).SetValues(outlet_flows);
        Use(vars.BoundaryDerivs).SetValues(boundary_derivs);
        Use(vars.SourceMassFlows).SetValues(source_flows);
        Use(vars.SourceDerivs).SetValues(source_derivs);
        UpdateInletOutletFlows();
    });
}

void ZEFA::UpdateInletOutletFlows() {
    Trap("UpdateInletOutletFlows", [&] {
        auto actual_in = Use(vars.ActualInletMassFlows).GetValues();
        auto actual_out = Use(vars.ActualOutletMassFlows).GetValues();
        const auto outlet_flows = Use(vars.OutletMassFlows).GetValues();
        const auto source_flows = Use(vars.SourceMassFlows).GetValues();
        for (const auto& c : WalkConnections()) {
            const auto& from = c.boundary ? outlet_flows : source_flows;
            auto& to = c.inlet ? actual_in : actual_out;
            for (std::size_t k = 0; k < 3; ++k) to.At(c.index, k) = from.At(c.kindIndex, k);
        }
        Use(vars.ActualInletMassFlows).SetValues(actual_in);
        Use(vars.ActualOutletMassFlows).SetValues(actual_out);
    });
}

}  // namespace zefa
