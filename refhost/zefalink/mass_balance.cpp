// The mass balance of a coupled run: the pipelines' inventory, the flows
// through their connections, and the summary's balance and caveats.
#include "mass_balance.h"

#include <cmath>
#include <cstdio>

#include "catalogue/zefa_variables.h"
#include "unit_values.h"

namespace zefalink {

namespace {

constexpr const char* kInventoryKey = "RMTOT";
constexpr double kMassBalanceTolerance = 0.01;

std::vector<double> Numbers(refhost::PipelineUnit& unit, const char* tag) {
    auto v = UnitVariable<host::NumberArrayVariable>(unit, tag);
    return v ? v->GetValues().data : std::vector<double>{};
}

void SetTexts(refhost::PipelineUnit& unit, const char* tag, const std::vector<std::string>& v) {
    if (auto var = UnitVariable<host::TextArrayVariable>(unit, tag)) var->SetValues(v);
}

void SetNumbers(refhost::PipelineUnit& unit, const char* tag, std::vector<double> v) {
    if (auto var = UnitVariable<host::NumberArrayVariable>(unit, tag))
        var->SetValues(host::NumberArray::OneD(std::move(v)));
}

// The trend arrays of a unit, all cut or padded to the positions' count.
struct TrendRows {
    std::vector<std::string> positions, keys, units;
    std::vector<double> vars, types, values;

    explicit TrendRows(refhost::PipelineUnit& unit)
        : positions(UnitTexts(unit, "TrendPositions")),
          keys(UnitTexts(unit, "TrendVarTags")),
          units(UnitTexts(unit, "TrendUnits")),
          vars(Numbers(unit, "enumTrendVars")),
          types(Numbers(unit, "enumTrendTypes")),
          values(Numbers(unit, "TrendValues")) {
        const std::size_t n = positions.size();
        keys.resize(n);
        units.resize(n);
        vars.resize(n, host::kEmptyNumber);
        types.resize(n, host::kEmptyNumber);
        values.resize(n, 0.0);
    }
    void Store(refhost::PipelineUnit& unit) const {
        SetTexts(unit, "TrendPositions", positions);
        SetTexts(unit, "TrendVarTags", keys);
        SetTexts(unit, "TrendUnits", units);
        SetNumbers(unit, "enumTrendVars", vars);
        SetNumbers(unit, "enumTrendTypes", types);
        SetNumbers(unit, "TrendValues", values);
    }
};

std::int32_t InventoryCatalogueKey(zefa::ZEFAVariableInfo& info) {
    for (std::int32_t key = 0; key <= zefa::kLastZEFAVariableKey;
         key += zefa::kZEFAVariableKeyStep) {
        zefa::GetZEFAVariableInfo(key, info);
        if (info.KeyText == kInventoryKey) return key;
    }
    return -1;
}

std::string Kg(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f kg", v);
    return buf;
}

}  // namespace

void PipelineInventory::Watch(const std::shared_ptr<refhost::PipelineUnit>& unit) {
    TrendRows rows(*unit);
    for (std::size_t r = 0; r < rows.positions.size(); ++r) {
        if (rows.keys[r] == kInventoryKey && rows.positions[r].empty()) {
            watched_.push_back({unit, r, false});
            return;
        }
    }
    zefa::ZEFAVariableInfo info;
    const std::int32_t key = InventoryCatalogueKey(info);
    if (key < 0) return;
    rows.positions.push_back("");
    rows.keys.push_back(info.KeyText);
    rows.units.push_back(info.Unit);
    rows.vars.push_back(key);
    rows.types.push_back(info.TypeCode);
    rows.values.push_back(host::kEmptyNumber);
    rows.Store(*unit);
    watched_.push_back({unit, rows.positions.size() - 1, true});
}

double PipelineInventory::TotalKg() const {
    double total = 0.0;
    for (const auto& w : watched_) {
        const auto values = Numbers(*w.unit, "TrendValues");
        if (w.row >= values.size() || values[w.row] == host::kEmptyNumber ||
            !std::isfinite(values[w.row]))
            return std::nan("");
        total += values[w.row];
    }
    return total;
}

void PipelineInventory::RefreshAtTheEnd(const ZefaToolInterface* tools,
                                        const std::vector<refhost::ExtensionUnit>& units) {
    if (tools == nullptr || tools->version < 3 || tools->refresh_trends == nullptr) return;
    for (auto& w : watched_)
        for (const auto& u : units)
            if (u.name == w.unit->Name())
                w.refreshed = tools->refresh_trends(u.extension.get()) == 1;
}

std::vector<std::string> PipelineInventory::Caveats(double step) const {
    std::vector<std::string> texts;
    for (const auto& w : watched_) {
        if (w.refreshed) continue;
        auto every = UnitVariable<host::NumberVariable>(*w.unit, "TrendFrequency");
        if (!every || every->GetValue() < step) continue;
        char text[256];
        std::snprintf(text, sizeof text,
                      "mass balance: %s refreshes its trends every %g s (TrendFrequency), so its "
                      "inventory may be up to that old; set TrendFrequency below the step of "
                      "%g s for a balance at the end time",
                      w.unit->Name().c_str(), every->GetValue(), step);
        texts.push_back(text);
    }
    return texts;
}

void PipelineInventory::AccumulateConnectionFlows(double dt) {
    for (const auto& w : watched_) {
        refhost::PipelineUnit& unit = *w.unit;
        for (const char* tag : {"InletBoundaryCB", "OutletSourceCB"})
            for (double flag : Numbers(unit, tag))
                if (flag == 1.0) all_counted_ = false;
        const auto sum = [&](const char* tag) {
            double total = 0.0;
            for (double v : Numbers(unit, tag))
                if (v != host::kEmptyNumber && std::isfinite(v)) total += v;
            return total;
        };
        inflow_kg_ += sum("SourceMassFlows") * dt;
        outflow_kg_ += sum("OutletMassFlows") * dt;
    }
}

nlohmann::json PipelineInventory::ConnectionFlows() const {
    if (!all_counted_ || watched_.empty()) return nullptr;
    return {{"pipeline_inflow_kg", inflow_kg_}, {"pipeline_outflow_kg", outflow_kg_}};
}

void PipelineInventory::Forget() {
    for (const auto& w : watched_) {
        if (!w.added) continue;
        TrendRows rows(*w.unit);
        if (w.row >= rows.positions.size() || rows.keys[w.row] != kInventoryKey) continue;
        const auto at = static_cast<std::ptrdiff_t>(w.row);
        rows.positions.erase(rows.positions.begin() + at);
        rows.keys.erase(rows.keys.begin() + at);
        rows.units.erase(rows.units.begin() + at);
        rows.vars.erase(rows.vars.begin() + at);
        rows.types.erase(rows.types.begin() + at);
        rows.values.erase(rows.values.begin() + at);
        rows.Store(*w.unit);
    }
    watched_.clear();
}

nlohmann::json MassBalance(double feeds_kg, double sinks_kg, double inventory_change_kg,
                           double host_holdup_change_kg, std::vector<std::string>& warnings,
                           const nlohmann::json& connection_flows) {
    nlohmann::json balance = {{"feeds_kg", feeds_kg},
                              {"sinks_kg", sinks_kg},
                              {"host_holdup_change_kg", host_holdup_change_kg}};
    if (!std::isfinite(inventory_change_kg)) {
        balance["inventory_change_kg"] = nullptr;
        balance["relative_error"] = nullptr;
        warnings.push_back(
            "mass balance: the total mass of a pipeline was not reported by its server, so the "
            "balance cannot be closed");
        return balance;
    }
    const double inventory = inventory_change_kg + host_holdup_change_kg;
    const double residual = feeds_kg - sinks_kg - inventory;
    balance["inventory_change_kg"] = inventory;
    balance["pipeline_inventory_change_kg"] = inventory_change_kg;
    if (connection_flows.is_object()) balance.update(connection_flows);
    // Relative to the feeds; a run without feeds is measured against its sinks.
    const double scale = feeds_kg != 0.0 ? std::abs(feeds_kg) : std::abs(sinks_kg);
    const double error = scale > 0.0 ? residual / scale : 0.0;
    balance["relative_error"] = error;
    if (std::abs(error) > kMassBalanceTolerance) {
        char pct[32];
        std::snprintf(pct, sizeof pct, "%.2f %%", error * 100.0);
        std::string text = std::string("mass balance does not close: ") + pct +
                           " of the feeds unaccounted (feeds " + Kg(feeds_kg) + ", sinks " +
                           Kg(sinks_kg) + ", inventory change " + Kg(inventory) + ")";
        if (connection_flows.is_object())
            text += "; at their connections the pipelines took in " +
                    Kg(connection_flows["pipeline_inflow_kg"].get<double>()) + " and released " +
                    Kg(connection_flows["pipeline_outflow_kg"].get<double>());
        warnings.push_back(text);
    }
    return balance;
}

}  // namespace zefalink
