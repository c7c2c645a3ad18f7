// zefalink new: wires the host side of a new coupled case around a pipeline
// model's sources and boundaries.
#include "coupled_case.h"

#include <algorithm>
#include <cmath>

#include "catalogue/zefa_variables.h"
#include "input.h"
#include "lib/flowsheet_file.h"
#include "lib/variables.h"

namespace zefalink {

namespace {

using nlohmann::json;

// A gas condensate with some water, as in the shipped examples.
const std::vector<std::pair<std::string, double>> kComposition = {
    {"methane", 0.7},    {"ethane", 0.07},   {"propane", 0.04}, {"n-butane", 0.02},
    {"n-pentane", 0.02}, {"n-hexane", 0.02}, {"c7+", 0.05},     {"carbon-dioxide", 0.02},
    {"nitrogen", 0.01},  {"water", 0.05}};

// Valve sizes for the flow the model expects: mass flow = Cv * (position /
// 100) * sqrt(density * dP), with a density of about 100 kg/m3 at the inlet.
constexpr double kDensity = 100.0;       // kg/m3
constexpr double kFeedDropKPa = 1500.0;  // across a feed valve, fully open
constexpr double kSinkDropKPa = 4000.0;  // across an outlet valve half open

double Cv(double mass_flow, double drop_kpa, double position) {
    return mass_flow / (position / 100.0) / std::sqrt(kDensity * drop_kpa);
}

struct Connection {
    std::string label;
    bool boundary = false;
    double pressure_kpa = 0, temperature = 20, mass_flow = 0;
};

template <class T>
std::shared_ptr<T> Var(refhost::PipelineUnit& unit, const char* tag) {
    return unit.Get<T>(tag);
}

void SetNumbers(refhost::PipelineUnit& unit, const char* tag, std::vector<double> values) {
    Var<host::NumberArrayVariable>(unit, tag)->SetValues(
        host::NumberArray::OneD(std::move(values)));
}

void SetNumber(refhost::PipelineUnit& unit, const char* tag, double value) {
    Var<host::NumberVariable>(unit, tag)->SetValue(value);
}

}  // namespace

std::string WireCoupledCase(refhost::HostCase& c, refhost::PipelineUnit& unit,
                            const std::string& model_path) {
    zefasim::Model model;
    try {
        model = zefasim::LoadModelFile(model_path, model_path);
    } catch (const std::exception& e) {
        return e.what();
    }
    std::vector<Connection> inlets, outlets;
    double outlet_pressure = 0, total_flow = 0;
    for (const auto& s : model.sources) {
        inlets.push_back({s.label, false, 0, s.temperature, s.mass_flow});
        total_flow += std::max(s.mass_flow, 0.0);
    }
    for (const auto& b : model.boundaries) {
        Connection conn{b.label, true, b.pressure / 1000.0, b.temperature, 0};
        (b.at_inlet ? inlets : outlets).push_back(conn);
        if (!b.at_inlet) outlet_pressure = std::max(outlet_pressure, conn.pressure_kpa);
    }
    if (inlets.empty() && outlets.empty())
        return model_path + ": the model has no source and no boundary to connect";
    if (total_flow <= 0) total_flow = 10.0;
    // The feeds stand well above the line's outlet (or its initial pressure).
    const double line_kpa = std::max(outlet_pressure, model.initial.pressure / 1000.0) + 500.0;
    const double per_inlet =
        total_flow / static_cast<double>(std::max<std::size_t>(inlets.size(), 1));

    json composition = json::object();
    json components = json::array();
    for (const auto& [name, fraction] : kComposition) {
        components.push_back(name);
        composition[name] = fraction;
    }
    json streams = json::array(), ops = json::array(), record = json::array();
    const auto record_stream = [&](const std::string& stream) {
        record.push_back(
            {{"stream", stream}, {"variable", "pressure"}, {"unit_of_measure", "bar"}});
        record.push_back({{"stream", stream}, {"variable", "mass_flow"}});
    };
    for (const auto& in : inlets) {
        const std::string supply = in.label + " supply";
        const double feed_kpa =
            in.boundary ? in.pressure_kpa + kFeedDropKPa : line_kpa + kFeedDropKPa;
        const double flow = in.boundary ? per_inlet : std::max(in.mass_flow, 0.1);
        streams.push_back(
            {{"name", supply}, {"temperature", in.temperature}, {"pressure", feed_kpa}});
        streams.push_back({{"name", in.label},
                           {"temperature", in.temperature},
                           {"pressure", feed_kpa - kFeedDropKPa},
                           {"mass_flow", flow}});
        ops.push_back({{"name", in.label + " feed"},
                       {"type", "feed"},
                       {"outlet", supply},
                       {"composition", composition},
                       {"temperature", in.temperature},
                       {"pressure", feed_kpa}});
        ops.push_back({{"name", in.label + " valve"},
                       {"type", "valveop"},
                       {"inlet", supply},
                       {"outlet", in.label},
                       {"cv", Cv(flow, kFeedDropKPa, 100.0)},
                       {"position", 100.0}});
        record_stream(in.label);
    }
    for (const auto& out : outlets) {
        const std::string delivered = out.label + " delivered";
        streams.push_back({{"name", out.label},
                           {"temperature", out.temperature},
                           {"pressure", out.pressure_kpa + 200.0},
                           {"mass_flow", total_flow}});
        streams.push_back({{"name", delivered},
                           {"temperature", out.temperature},
                           {"pressure", out.pressure_kpa}});
        ops.push_back({{"name", out.label + " valve"},
                       {"type", "valveop"},
                       {"inlet", out.label},
                       {"outlet", delivered},
                       {"cv", Cv(total_flow, kSinkDropKPa, 50.0)},
                       {"position", 50.0}});
        ops.push_back({{"name", out.label + " sink"},
                       {"type", "sink"},
                       {"inlet", delivered},
                       {"pressure", out.pressure_kpa}});
        record_stream(out.label);
    }
    c.flowsheet = {{"components", components}, {"streams", streams}, {"units", ops}};
    c.record = {{"end_time", 120}, {"variables", record}};
    auto solver = c.host_case->SolverObject();
    solver->mode_ = 1;
    solver->integrator_->step_size_ = 1.0;

    // The unit's connections, through the plant the flowsheet makes.
    const auto plant = refhost::LoadFlowsheet(c.flowsheet, c.path);
    std::vector<std::shared_ptr<host::MaterialStream>> in_streams, out_streams;
    std::vector<std::string> source_tags, boundary_tags;
    std::vector<double> inlet_cb, outlet_cb, flow_switch;
    for (const auto& in : inlets) {
        in_streams.push_back(plant->FindStream(in.label));
        source_tags.push_back(in.label);
        inlet_cb.push_back(in.boundary ? 1 : 0);
        flow_switch.push_back(0);
    }
    for (const auto& out : outlets) {
        out_streams.push_back(plant->FindStream(out.label));
        boundary_tags.push_back(out.label);
        outlet_cb.push_back(0);
    }
    Var<host::StreamListVariable>(unit, "Inlets")->SetStreams(in_streams);
    Var<host::StreamListVariable>(unit, "Outlets")->SetStreams(out_streams);
    Var<host::TextArrayVariable>(unit, "SourceTags")->SetValues(source_tags);
    Var<host::TextArrayVariable>(unit, "BoundaryTags")->SetValues(boundary_tags);
    SetNumbers(unit, "InletBoundaryCB", inlet_cb);
    SetNumbers(unit, "OutletSourceCB", outlet_cb);
    SetNumbers(unit, "bFlowSwitch", flow_switch);
    if (!inlets.empty())
        Var<refhost::MemObjectVariable>(unit, "ReferenceStream")->SetObject(in_streams.front());
    // Started and loaded from the input file by the run itself.
    SetNumber(unit, "boolUseAutoStart", 1);
    SetNumber(unit, "useAutoConnect", 1);
    SetNumber(unit, "boolAutoLoadSS", 0);
    SetNumber(unit, "boolWritePFEquations", 1);
    SetNumber(unit, "ZEFARunInterval", 1);
    // Trends (the line's inventory among them) refreshed at every step.
    SetNumber(unit, "TrendFrequency", 0.5);
    SetNumber(unit, "InitTimeOut", 60);
    Var<host::TextVariable>(unit, "zefaHost")->SetValue("127.0.0.1");
    // One pressure profile along the first branch.
    if (!model.branches.empty()) {
        constexpr std::int32_t kPressureKey = 8050;  // PT in the catalogue
        zefa::ZEFAVariableInfo info;
        zefa::GetZEFAVariableInfo(kPressureKey, info);
        Var<host::TextArrayVariable>(unit, "ProfileBranches")
            ->SetValues({model.branches.front().label});
        SetNumbers(unit, "enumProfileVars", {kPressureKey});
        SetNumbers(unit, "ProfileEnable", {1});
        Var<host::TextArrayVariable>(unit, "ProfileUnits")->SetValues({info.Unit});
        SetNumbers(unit, "enumProfileTypes", {static_cast<double>(info.TypeCode)});
    }
    return "";
}

}  // namespace zefalink
