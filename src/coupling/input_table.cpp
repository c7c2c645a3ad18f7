// Input table and boundary data: how each inlet and outlet is presented to the
// pipeline model (source or boundary), the host table whose rows feed the
// server's inputs, and the values sent to the server at every exchange.
#include <string>

#include "coupling/connection_walk.h"
#include "extension/zefa.h"
#include "platform/text.h"

namespace zefa {

namespace {

const char kControllerRangeMessage[] =
    "Error:  One of your CONTROLLER signals being sent to ZEFA is not within the range of 0 to "
    "100%.";

// The text of entry `j`; a list shorter than the connections is an error.
const std::string& Label(const std::vector<std::string>& labels, std::size_t j) {
    if (j >= labels.size()) throw Error::SubscriptOutOfRange();
    return labels[j];
}

// An unset fraction takes its default; an entered one is kept.
void DefaultIfEmpty(double& value, double fallback) {
    if (host::IsEmptyNumber(value)) value = fallback;
}

// A two-column-per-connection table of three phases, re-dimensioned when it
// is empty or no longer has one row per connection.
void FitPhaseTable(host::NumberArrayVariable& table, std::int16_t connections) {
    const auto values = table.GetValues();
    const auto rows = static_cast<std::size_t>(std::max<std::int16_t>(connections, 0));
    if (values.Count() == 0 || !values.IsTwoD() || values.rows != rows) table.SetBounds(rows, 3);
}

}  // namespace

std::vector<Connection> ZEFA::WalkConnections() {
    return Walk(lists_.intNumInlets, lists_.intNumOutlets, Use(vars.InletBoundaryCB).GetValues(),
                Use(vars.OutletSourceCB).GetValues());
}

void ZEFA::SetupSourceAndBoundaryVars() {
    Trap("SetupSourceAndBoundaryVars", [&] {
        const auto walk = WalkConnections();
        std::size_t sources = 0, boundaries = 0;
        for (const auto& c : walk) (c.boundary ? boundaries : sources)++;
        step_.intNumSources = CountToInt16(sources);
        step_.intNumBoundaries = CountToInt16(boundaries);

        FitPhaseTable(Use(vars.ActualInletMassFlows), lists_.intNumInlets);
        FitPhaseTable(Use(vars.ActualOutletMassFlows), lists_.intNumOutlets);

        const auto inlets = Use(vars.Inlets).GetStreams();
        const auto outlets = Use(vars.Outlets).GetStreams();
        const auto stream_of = [&](const Connection& c) -> host::MaterialStream& {
            return Item(c.inlet ? inlets : outlets, c.index);
        };

        // Arrays of a kind without connections are emptied, so that nothing of
        // an earlier layout is taken for a result of this one.
        step_.dblLastSourcePressures.assign(sources, 0.0);
        step_.dblSourcePressures.assign(sources, 0.0);
        step_.dblLastBoundaryFlows = host::NumberArray::TwoD(boundaries, 3);
        step_.dblBoundaryFlows = host::NumberArray::TwoD(boundaries, 3);
        step_.dblBoundarySlopes.assign(boundaries, 0.0);

        if (sources > 0) {
            auto& gas_var = Use(vars.SourceGasFractions);
            auto& water_var = Use(vars.SourceWaterFractions);
            auto& pressure_var = Use(vars.SourcePressures);
            auto& temperature_var = Use(vars.SourceTemperatures);
            for (auto* v : {&gas_var, &water_var, &pressure_var, &temperature_var})
                v->SetBounds(sources);
            Use(vars.SourceMassFlows).SetBounds(sources, 3);
            auto gas = gas_var.GetValues(), water = water_var.GetValues();
            auto pressure = pressure_var.GetValues(), temperature = temperature_var.GetValues();
            for (const auto& c : walk) {
                if (c.boundary) continue;
                const std::size_t j = c.kindIndex;
                host::MaterialStream& stream = stream_of(c);
                DefaultIfEmpty(gas.At(j), 1.0);
                DefaultIfEmpty(water.At(j), 0.0);
                pressure.At(j) = stream.PressureValue();
                step_.dblLastSourcePressures[j] = step_.dblSourcePressures[j] = pressure.At(j);
                temperature.At(j) = stream.TemperatureValue();
            }
            gas_var.SetValues(gas);
            water_var.SetValues(water);
            pressure_var.SetValues(pressure);
            temperature_var.SetValues(temperature);
        }

        if (boundaries > 0) {
            Use(vars.OutletMassFlows).SetBounds(boundaries, 3);
            auto& type_var = Use(vars.BoundaryTypes);
            auto& gas_var = Use(vars.BoundaryGasFracs);
            auto& water_var = Use(vars.BoundaryWaterFracs);
            auto& temperature_var = Use(vars.BoundaryTemperatures);
            for (auto* v : {&type_var, &gas_var, &water_var, &temperature_var})
                v->SetBounds(boundaries);
            Use(vars.BoundaryPressures).SetBounds(boundaries);
            auto types = type_var.GetValues(), gas = gas_var.GetValues();
            auto water = water_var.GetValues(), temperature = temperature_var.GetValues();
            for (const auto& c : walk) {
                if (!c.boundary) continue;
                const std::size_t k = c.kindIndex;
                types.At(k) = 1.0;
                DefaultIfEmpty(gas.At(k), 1.0);
                DefaultIfEmpty(water.At(k), 0.0);
                temperature.At(k) = stream_of(c).TemperatureValue();
            }
            type_var.SetValues(types);
            gas_var.SetValues(gas);
            water_var.SetValues(water);
            temperature_var.SetValues(temperature);
        }
    });
}

bool ZEFA::BuildInputTable() {
    bool result = false;
    Trap("BuildInputTable", [&] {
        host::Container& container = Use(objContainer);
        const std::string table_name = container.Name() + " ZEFA Input";
        const auto flowsheet = Deref(container.GetCase().get()).GetFlowsheet();
        host::Flowsheet& sheet = Deref(flowsheet.get());
        auto op = sheet.FindOperation(table_name);
        if (!op) op = sheet.AddOperation(table_name);
        step_.objInputTable = std::dynamic_pointer_cast<host::TableOperation>(op);
        if (!step_.objInputTable) {
            result = true;
            return;
        }
        host::TableOperation& table = *step_.objInputTable;
        table.Reset();
        table.ClearEntries();

        const bool controllers_on = Num(vars.ControllersOn) == 1.0;
        const auto host_controllers =
            controllers_on ? Use(vars.KAVRISControllers).GetValues() : std::vector<std::string>{};
        lists_.intNumControllers = CountToInt16(host_controllers.size());

        std::vector<std::string> names;
        std::vector<double> sizes;
        std::vector<std::string> units;
        std::size_t r = 0;
        const auto add_row = [&](std::shared_ptr<host::RealValue> value,
                                 const std::string& description, const std::string& tag,
                                 const std::string& unit) {
            table.AddEntry(std::move(value), description, std::to_string(r) + "_" + tag, unit, 1);
            units.push_back(unit);
            ++r;
        };

        const auto inlets = Use(vars.Inlets).GetStreams();
        const auto outlets = Use(vars.Outlets).GetStreams();
        const auto source_tags = Use(vars.SourceTags).GetValues();
        const auto boundary_tags = Use(vars.BoundaryTags).GetValues();
        for (const auto& c : WalkConnections()) {
            const std::string& label = Label(c.inlet ? source_tags : boundary_tags, c.index);
            host::MaterialStream& stream = Item(c.inlet ? inlets : outlets, c.index);
            const std::size_t i = c.kindIndex;
            names.push_back("$" + label + (c.boundary ? " BOUNDARY" : " SOURCE"));
            sizes.push_back(5);
            if (c.boundary) {
                add_row(Use(vars.BoundaryTypes).Element(i), label + " Type", label + "_Type", "");
                add_row(Use(vars.BoundaryGasFracs).Element(i), label + " Gas Frac", label + "_GF",
                        "");
            } else {
                add_row(Use(vars.SourceGasFractions).Element(i), label + " Gas Frac", label + "_GF",
                        "");
                add_row(stream.MassFlow(), label + " Mass Flow", label + "_MF", "kg/s");
            }
            add_row(stream.Pressure(), label + " Pressure", label + "_P", "N/m2");
            add_row(stream.Temperature(), label + " Temperature", label + "_T", "C");
            add_row(
                Use(c.boundary ? vars.BoundaryWaterFracs : vars.SourceWaterFractions).Element(i),
                label + " Water Frac", label + "_WF", "");
        }

        // A controller is coupled only when its host operation exists and is a
        // controller or a valve: one that gets no row is not registered either,
        // so that the registered sizes always add up to the values sent.
        step_.intControllerRows.clear();
        if (controllers_on) {
            const auto pipeline_controllers = Use(vars.ZEFAControllers).GetValues();
            for (std::size_t i = 0; i < host_controllers.size(); ++i) {
                const std::string& host_name = host_controllers[i];
                const std::string& label = Label(pipeline_controllers, i);
                std::shared_ptr<host::Operation> found;
                RecursiveGetOperation(found, flowsheet, host_name);
                if (!found) {
                    ReportError(host_name + " does not exist in this case");
                    continue;
                }
                const std::string type = found->TypeName();
                if (type == "fbcontrolop") {
                    step_.intControllerRows.push_back(CountToInt16(r));
                    add_row(found->Member("OP"), host_name + " OP", label, "%");
                } else if (type == "valveop") {
                    step_.intControllerRows.push_back(CountToInt16(r));
                    add_row(found->Member("ActuatorPosition"), host_name + " Actuator Position",
                            label, "%");
                } else {
                    ReportError(host_name + " is not a KAVRIS Controller or Valve");
                    continue;
                }
                names.push_back("$" + label + " CONTROLLER");
                sizes.push_back(1);
            }
        }

        table.Complete();
        step_.varInputValueHandle = table.ValueHandle();
        step_.varInputUnits = std::move(units);
        Use(vars.inputNames).SetValues(names);
        Use(vars.inputSizes).SetValues(host::NumberArray::OneD(sizes));
        result = SetupDaNormalInp();
    });
    return result;
}

void ZEFA::PackageAndSendDataToZEFA() {
    Trap("PackageAndSendDataToZEFA", [&] {
        if (!step_.objInputTable) return;
        auto values =
            step_.objInputTable->ReadValues(step_.varInputValueHandle, step_.varInputUnits);
        if (Num(vars.ControllersOn) == 1.0) ConvertPercentsToFractions(values);
        AddInterfaceCorrections(values);
        ConvertFlowsToBeSentToSourcesForSign(values);
        std::vector<float> data;
        data.reserve(values.size());
        for (double v : values) data.push_back(static_cast<float>(v));
        const std::int32_t count = RoundToInt32(static_cast<double>(data.size()));
        if (!Deref(mobjZefaClient.get()).SetInputData(data, count))
            ReportError("ZEFA_INP_DATA failed");
    });
}

void ZEFA::ConvertPercentsToFractions(std::vector<double>& lvarInpData) {
    Trap("ConvertPercentsToFractions", [&] {
        for (const std::int16_t row : step_.intControllerRows) {
            if (row < 0 || static_cast<std::size_t>(row) >= lvarInpData.size())
                throw Error::SubscriptOutOfRange();
            double& v = lvarInpData[static_cast<std::size_t>(row)];
            if (v >= 0.0 && v <= 100.0) {
                v /= 100.0;
            } else {
                ReportError(kControllerRangeMessage);
            }
        }
    });
}

void ZEFA::ConvertFlowsToBeSentToSourcesForSign(std::vector<double>& lvarData) {
    Trap("ConvertFlowsToBeSentToSourcesForSign", [&] {
        std::size_t position = 0;  // connections passed so far: 5 rows each
        for (const auto& c : WalkConnections()) {
            if (!c.inlet && !c.boundary) {
                const std::size_t row = 5 * position + 1;
                if (row >= lvarData.size()) throw Error::SubscriptOutOfRange();
                lvarData[row] = -lvarData[row];
            }
            ++position;
        }
    });
}

}  // namespace zefa
