// The flowsheet section of a case file: components, streams, feeds, sinks,
// valves and controllers read and saved, and the recorded columns.
#include "flowsheet_file.h"

#include <cmath>
#include <set>

namespace refhost {

using nlohmann::json;

namespace {

// Reads values out of a section and turns every fault into a CaseFileError
// naming the key.
class Reader {
  public:
    explicit Reader(std::string file) : file_(std::move(file)) {}

    [[noreturn]] void Fail(const std::string& key, const std::string& what) const {
        throw CaseFileError(file_, key, what);
    }

    static std::string Suggest(const std::string& name, const std::vector<std::string>& valid) {
        const std::string near = NearestName(name, valid);
        return near.empty() ? std::string() : " (did you mean \"" + near + "\"?)";
    }

    void Object(const json& j, const std::string& key) const {
        if (!j.is_object()) Fail(key, "expected an object");
    }

    void CheckKeys(const json& j, const std::string& key,
                   const std::vector<std::string>& allowed) const {
        Object(j, key);
        for (auto it = j.begin(); it != j.end(); ++it) {
            if (std::find(allowed.begin(), allowed.end(), it.key()) == allowed.end()) {
                Fail(Join(key, it.key()), "unknown key" + Suggest(it.key(), allowed));
            }
        }
    }

    static std::string Join(const std::string& key, const std::string& name) {
        return key.empty() ? name : key + "." + name;
    }

    const json& Required(const json& j, const std::string& key, const char* name) const {
        if (!j.contains(name)) Fail(Join(key, name), "missing");
        return j.at(name);
    }

    double Number(const json& v, const std::string& key) const {
        if (!v.is_number()) Fail(key, "expected a number");
        const double d = v.get<double>();
        if (!std::isfinite(d)) Fail(key, "expected a finite number");
        return d;
    }

    double Number(const json& j, const std::string& key, const char* name,
                  std::optional<double> fallback = std::nullopt) const {
        if (!j.contains(name)) {
            if (fallback) return *fallback;
            Fail(Join(key, name), "missing");
        }
        return Number(j.at(name), Join(key, name));
    }

    std::string Text(const json& j, const std::string& key, const char* name,
                     std::optional<std::string> fallback = std::nullopt) const {
        if (!j.contains(name)) {
            if (fallback) return *fallback;
            Fail(Join(key, name), "missing");
        }
        if (!j.at(name).is_string() || j.at(name).get<std::string>().empty()) {
            Fail(Join(key, name), "expected a non-empty text");
        }
        return j.at(name).get<std::string>();
    }

    std::string Choice(const json& j, const std::string& key, const char* name,
                       const std::vector<std::string>& valid, const std::string& fallback) const {
        const std::string v = Text(
            j, key, name, fallback.empty() ? std::nullopt : std::optional<std::string>(fallback));
        if (std::find(valid.begin(), valid.end(), v) == valid.end()) {
            Fail(Join(key, name), "\"" + v + "\" is not one of " + List(valid) + Suggest(v, valid));
        }
        return v;
    }

    static std::string List(const std::vector<std::string>& valid) {
        std::string s;
        for (std::size_t i = 0; i < valid.size(); ++i) s += (i ? ", " : "") + valid[i];
        return s;
    }

    // A number, or [[time, value], ...] for a value that changes with time.
    Schedule ScheduleOf(const json& v, const std::string& key) const {
        if (v.is_number()) return Schedule(Number(v, key));
        if (!v.is_array() || v.empty()) Fail(key, "expected a number or [[time, value], ...]");
        std::vector<std::pair<double, double>> points;
        for (std::size_t i = 0; i < v.size(); ++i) {
            const std::string k = key + "[" + std::to_string(i) + "]";
            if (!v[i].is_array() || v[i].size() != 2) Fail(k, "expected [time, value]");
            points.emplace_back(Number(v[i][0], k + "[0]"), Number(v[i][1], k + "[1]"));
        }
        try {
            return Schedule(std::move(points));
        } catch (const std::exception& e) {
            Fail(key, e.what());
        }
    }

    // {"methane": 0.9, ...} (missing components are 0) or an array in the
    // component order.
    std::vector<double> Composition(const json& v, const std::string& key,
                                    const ComponentSet& set) const {
        std::vector<double> z(set.Size(), 0.0);
        if (v.is_array()) {
            if (v.size() != set.Size()) {
                Fail(key,
                     "expected " + std::to_string(set.Size()) + " fractions, one per component");
            }
            for (std::size_t i = 0; i < v.size(); ++i) {
                z[i] = Number(v[i], key + "[" + std::to_string(i) + "]");
            }
        } else if (v.is_object()) {
            for (auto it = v.begin(); it != v.end(); ++it) {
                const auto index = set.IndexOf(it.key());
                if (!index) {
                    Fail(Join(key, it.key()),
                         "not a component of the flowsheet" + Suggest(it.key(), set.Names()));
                }
                z[*index] = Number(it.value(), Join(key, it.key()));
            }
        } else {
            Fail(key, "expected {component: fraction, ...} or an array of fractions");
        }
        try {
            return NormalisedComposition(set, z);
        } catch (const std::exception& e) {
            Fail(key, e.what());
        }
    }

    StreamPtr StreamRef(const json& j, const std::string& key, const char* name,
                        const Plant& plant) const {
        const std::string s = Text(j, key, name);
        auto stream = plant.FindStream(s);
        if (!stream) {
            Fail(Join(key, name), "no stream \"" + s + "\"" + Suggest(s, plant.StreamNames()));
        }
        return stream;
    }

  private:
    std::string file_;
};

const std::vector<std::string> kPVNames = {"pressure", "temperature", "mass_flow", "molar_flow"};

StreamValue::What PVKind(const std::string& name) {
    if (name == "pressure") return StreamValue::What::Pressure;
    if (name == "temperature") return StreamValue::What::Temperature;
    if (name == "mass_flow") return StreamValue::What::MassFlow;
    return StreamValue::What::MolarFlow;
}

std::string PVName(StreamValue::What what) {
    switch (what) {
        case StreamValue::What::Pressure:
            return "pressure";
        case StreamValue::What::Temperature:
            return "temperature";
        case StreamValue::What::MassFlow:
            return "mass_flow";
        case StreamValue::What::MolarFlow:
            return "molar_flow";
    }
    return "";
}

json ScheduleJson(const Schedule& s) {
    if (s.IsConstant()) return s.Points().empty() ? json(0.0) : json(s.Points().front().second);
    json a = json::array();
    for (const auto& [t, v] : s.Points()) a.push_back({t, v});
    return a;
}

json CompositionJson(const ComponentSet& set, const std::vector<double>& z) {
    json o = json::object();
    for (std::size_t i = 0; i < z.size(); ++i) {
        if (z[i] != 0.0) o[set.At(i).name] = z[i];
    }
    return o;
}

const std::vector<std::string> kUnitTypes = {"feed", "sink", "valveop", "fbcontrolop"};

// The components the flowsheet names, all of them built in.
ComponentSetPtr LoadComponents(const Reader& r, const json& section, const std::string& root) {
    const json& names = r.Required(section, root, "components");
    if (!names.is_array() || names.empty())
        r.Fail(root + ".components", "expected a list of names");
    std::vector<std::string> list;
    std::vector<std::string> builtin;
    for (const auto& c : BuiltinComponents()) builtin.push_back(c.name);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string key = root + ".components[" + std::to_string(i) + "]";
        if (!names[i].is_string()) r.Fail(key, "expected a component name");
        const std::string name = names[i].get<std::string>();
        if (!FindBuiltinComponent(name)) {
            r.Fail(key, "unknown component \"" + name + "\"" + Reader::Suggest(name, builtin));
        }
        list.push_back(name);
    }
    ComponentSetPtr set;
    try {
        set = std::make_shared<ComponentSet>(list);
    } catch (const std::exception& e) {
        r.Fail(root + ".components", e.what());
    }
    return set;
}

void LoadStreams(const Reader& r, const json& section, const std::string& root,
                 const std::unique_ptr<Plant>& plant, const ComponentSetPtr& set) {
    const json& streams = section.contains("streams") ? section["streams"] : json::array();
    if (!streams.is_array()) r.Fail(root + ".streams", "expected a list of streams");
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const std::string key = root + ".streams[" + std::to_string(i) + "]";
        const json& s = streams[i];
        r.CheckKeys(s, key,
                    {"name", "composition", "temperature", "pressure", "mass_flow", "pressure_spec",
                     "flow_spec", "flow_basis"});
        const std::string name = r.Text(s, key, "name");
        if (plant->FindStream(name)) r.Fail(key + ".name", "stream \"" + name + "\" defined twice");
        std::vector<double> z(set->Size(), 1.0);
        if (s.contains("composition"))
            z = r.Composition(s["composition"], key + ".composition", *set);
        const double t = r.Number(s, key, "temperature", 15.0);
        const double p = r.Number(s, key, "pressure", 101.325);
        const double m = r.Number(s, key, "mass_flow", 0.0);
        if (t < -250.0 || t > 1700.0) r.Fail(key + ".temperature", "out of range (-250 to 1700 C)");
        if (!(p > 0.0)) r.Fail(key + ".pressure", "must be positive (kPa)");
        auto fluid = Fluid::Create(set, z, t, p, 0.0);
        fluid->SetMassFlow(m);
        auto stream = plant->AddStream(name, fluid);
        if (s.contains("pressure_spec")) {
            if (!s["pressure_spec"].is_boolean())
                r.Fail(key + ".pressure_spec", "expected true or false");
            stream->SpecifyPressure(s["pressure_spec"].get<bool>());
        }
        const std::string basis = r.Choice(s, key, "flow_basis", {"mass", "molar"}, "mass");
        bool flow_spec = false;
        if (s.contains("flow_spec")) {
            if (!s["flow_spec"].is_boolean()) r.Fail(key + ".flow_spec", "expected true or false");
            flow_spec = s["flow_spec"].get<bool>();
        }
        stream->SpecifyFlow(flow_spec, basis == "mass" ? Stream::kMassBasis : Stream::kMolarBasis);
    }
}

// Feeds, sinks and valves; each stream is the outlet of at most one unit and the
// inlet of at most one. Result: the controllers, which refer to valves that may
// come later, by their index in `units`, which must outlive them.
std::vector<std::pair<std::size_t, const json*>> LoadUnits(const Reader& r, const json& units,
                                                           const std::string& root,
                                                           const std::unique_ptr<Plant>& plant,
                                                           const ComponentSetPtr& set) {
    if (!units.is_array()) r.Fail(root + ".units", "expected a list of unit operations");
    // Controllers refer to valves that may come later: two passes.
    std::vector<std::pair<std::size_t, const json*>> controllers;
    std::set<const Stream*> fed, drained;
    const auto connect = [&](const StreamPtr& s, bool as_outlet, const std::string& key) {
        auto& used = as_outlet ? fed : drained;
        if (!used.insert(s.get()).second) {
            r.Fail(key, "stream \"" + s->Name() + "\" is already the " +
                            (as_outlet ? "outlet" : "inlet") + " of another unit operation");
        }
    };
    for (std::size_t i = 0; i < units.size(); ++i) {
        const std::string key = root + ".units[" + std::to_string(i) + "]";
        const json& u = units[i];
        r.Object(u, key);
        const std::string type = r.Choice(u, key, "type", kUnitTypes, "");
        const std::string name = r.Text(u, key, "name");
        if (plant->FindOperation(name))
            r.Fail(key + ".name", "unit \"" + name + "\" defined twice");
        if (type == "feed") {
            r.CheckKeys(u, key,
                        {"name", "type", "outlet", "composition", "temperature", "pressure",
                         "mass_flow", "subflowsheet"});
            auto out = r.StreamRef(u, key, "outlet", *plant);
            connect(out, true, key + ".outlet");
            const bool by_pressure = u.contains("pressure");
            if (by_pressure == u.contains("mass_flow")) {
                r.Fail(key, "give either \"pressure\" or \"mass_flow\"");
            }
            const auto z = u.contains("composition")
                               ? r.Composition(u["composition"], key + ".composition", *set)
                               : out->GetFluid()->Composition();
            const Schedule t = u.contains("temperature")
                                   ? r.ScheduleOf(u["temperature"], key + ".temperature")
                                   : Schedule(out->TemperatureValue());
            for (const auto& [time, value] : t.Points()) {
                if (value < -250.0 || value > 1700.0) {
                    r.Fail(key + ".temperature", "out of range (-250 to 1700 C)");
                }
            }
            const char* value_key = by_pressure ? "pressure" : "mass_flow";
            const Schedule v = r.ScheduleOf(u[value_key], key + "." + value_key);
            for (const auto& [time, value] : v.Points()) {
                if (by_pressure && !(value > 0.0)) r.Fail(key + ".pressure", "must be positive");
            }
            plant->AddOperation(std::make_shared<Feed>(
                name, out, z, t, by_pressure ? Feed::Mode::Pressure : Feed::Mode::Flow, v));
        } else if (type == "sink") {
            r.CheckKeys(u, key, {"name", "type", "inlet", "pressure", "subflowsheet"});
            auto in = r.StreamRef(u, key, "inlet", *plant);
            connect(in, false, key + ".inlet");
            const Schedule p = r.ScheduleOf(r.Required(u, key, "pressure"), key + ".pressure");
            for (const auto& [time, value] : p.Points()) {
                if (!(value > 0.0)) r.Fail(key + ".pressure", "must be positive");
            }
            plant->AddOperation(std::make_shared<Sink>(name, in, p));
        } else if (type == "valveop") {
            r.CheckKeys(u, key,
                        {"name", "type", "inlet", "outlet", "cv", "position", "subflowsheet"});
            auto in = r.StreamRef(u, key, "inlet", *plant);
            auto out = r.StreamRef(u, key, "outlet", *plant);
            if (in == out) r.Fail(key + ".outlet", "inlet and outlet are the same stream");
            connect(in, false, key + ".inlet");
            connect(out, true, key + ".outlet");
            const double cv = r.Number(u, key, "cv");
            if (!(cv > 0.0)) r.Fail(key + ".cv", "must be positive");
            const double pos = r.Number(u, key, "position", 50.0);
            if (pos < 0.0 || pos > 100.0) r.Fail(key + ".position", "must be 0 to 100 %");
            plant->AddOperation(std::make_shared<Valve>(name, in, out, cv, pos));
        } else {
            controllers.emplace_back(i, &u);
        }
    }
    return controllers;
}

void LoadControllers(const Reader& r,
                     const std::vector<std::pair<std::size_t, const json*>>& controllers,
                     const std::string& root, const std::unique_ptr<Plant>& plant) {
    for (const auto& [i, up] : controllers) {
        const std::string key = root + ".units[" + std::to_string(i) + "]";
        const json& u = *up;
        r.CheckKeys(u, key,
                    {"name", "type", "pv_stream", "pv", "setpoint", "gain", "integral_time",
                     "action", "output", "valve", "mode", "subflowsheet"});
        const std::string name = r.Text(u, key, "name");
        if (plant->FindOperation(name))
            r.Fail(key + ".name", "unit \"" + name + "\" defined twice");
        auto pv_stream = r.StreamRef(u, key, "pv_stream", *plant);
        const std::string pv = r.Choice(u, key, "pv", kPVNames, "mass_flow");
        const Schedule sp = r.ScheduleOf(r.Required(u, key, "setpoint"), key + ".setpoint");
        const double gain = r.Number(u, key, "gain");
        const double ti = r.Number(u, key, "integral_time", 0.0);
        if (ti < 0.0) r.Fail(key + ".integral_time", "must not be negative");
        const std::string action = r.Choice(u, key, "action", {"reverse", "direct"}, "reverse");
        const double op = r.Number(u, key, "output", 50.0);
        if (op < 0.0 || op > 100.0) r.Fail(key + ".output", "must be 0 to 100 %");
        const std::string mode = r.Choice(u, key, "mode", {"auto", "manual"}, "auto");
        std::shared_ptr<Valve> valve;
        if (u.contains("valve")) {
            const std::string v = r.Text(u, key, "valve");
            valve = std::dynamic_pointer_cast<Valve>(plant->FindOperation(v));
            if (!valve) {
                std::vector<std::string> valves;
                for (const auto& op_ptr : plant->Operations()) {
                    if (op_ptr->TypeName() == "valveop") valves.push_back(op_ptr->Name());
                }
                r.Fail(key + ".valve", "no valve \"" + v + "\"" + Reader::Suggest(v, valves));
            }
        }
        plant->AddOperation(std::make_shared<Controller>(
            name, pv_stream, PVKind(pv), sp, gain, ti,
            action == "reverse" ? Controller::Action::Reverse : Controller::Action::Direct, op,
            valve, mode == "auto"));
    }
}

}  // namespace

std::unique_ptr<Plant> LoadFlowsheet(const json& section, const std::string& file) {
    const Reader r(file);
    const std::string root = "flowsheet";
    r.CheckKeys(section, root, {"components", "streams", "units"});

    const ComponentSetPtr set = LoadComponents(r, section, root);
    auto plant = std::make_unique<Plant>(set);
    LoadStreams(r, section, root, plant, set);
    const json& units = section.contains("units") ? section["units"] : json::array();
    const auto controllers = LoadUnits(r, units, root, plant, set);
    LoadControllers(r, controllers, root, plant);
    return plant;
}

json SaveFlowsheet(const Plant& plant) {
    const ComponentSet& set = *plant.Components();
    json out;
    out["components"] = set.Names();
    json streams = json::array();
    for (const auto& s : plant.Streams()) {
        const Fluid& f = *s->GetFluid();
        json j = {{"name", s->Name()},
                  {"composition", CompositionJson(set, f.Composition())},
                  {"temperature", f.TemperatureC()},
                  {"pressure", f.PressureKPa()},
                  {"mass_flow", f.MassFlowValue()}};
        if (s->PressureSpecified()) j["pressure_spec"] = true;
        if (s->FlowSpecified()) {
            j["flow_spec"] = true;
            j["flow_basis"] = s->FlowBasisIndex() == Stream::kMassBasis ? "mass" : "molar";
        }
        streams.push_back(j);
    }
    out["streams"] = streams;
    json units = json::array();
    for (const auto& op : plant.Operations()) {
        json j = {{"name", op->Name()}, {"type", op->TypeName()}};
        if (auto* feed = dynamic_cast<const Feed*>(op.get())) {
            j["outlet"] = feed->Outlets()[0]->Name();
            j["composition"] = CompositionJson(set, feed->Composition());
            j["temperature"] = ScheduleJson(feed->TemperatureSchedule());
            j[feed->GetMode() == Feed::Mode::Pressure ? "pressure" : "mass_flow"] =
                ScheduleJson(feed->ValueSchedule());
        } else if (auto* sink = dynamic_cast<const Sink*>(op.get())) {
            j["inlet"] = sink->Inlets()[0]->Name();
            j["pressure"] = ScheduleJson(sink->PressureSchedule());
        } else if (auto* valve = dynamic_cast<const Valve*>(op.get())) {
            j["inlet"] = valve->Inlets()[0]->Name();
            j["outlet"] = valve->Outlets()[0]->Name();
            j["cv"] = valve->Cv();
            j["position"] = valve->Position();
        } else if (auto* c = dynamic_cast<const Controller*>(op.get())) {
            j["pv_stream"] = c->PVStream()->Name();
            j["pv"] = PVName(c->PVKind());
            j["setpoint"] = ScheduleJson(c->SetpointSchedule());
            j["gain"] = c->Gain();
            j["integral_time"] = c->IntegralTime();
            j["action"] = c->GetAction() == Controller::Action::Reverse ? "reverse" : "direct";
            j["output"] = c->Output();
            if (c->Target()) j["valve"] = c->Target()->Name();
            j["mode"] = c->Automatic() ? "auto" : "manual";
        }
        units.push_back(j);
    }
    out["units"] = units;
    return out;
}

void AddPlantToCase(const Plant& plant, const json& section, RefFlowsheet& flowsheet) {
    std::map<std::string, std::string> placement;
    if (section.is_object() && section.contains("units") && section["units"].is_array()) {
        for (const auto& u : section["units"]) {
            if (u.is_object() && u.contains("subflowsheet") && u["subflowsheet"].is_string() &&
                u.contains("name") && u["name"].is_string()) {
                placement[u["name"].get<std::string>()] = u["subflowsheet"].get<std::string>();
            }
        }
    }
    for (const auto& op : plant.Operations()) {
        auto it = placement.find(op->Name());
        if (it == placement.end()) {
            flowsheet.Add(op);
            continue;
        }
        std::shared_ptr<RefFlowsheet> sub;
        for (const auto& f : flowsheet.SubFlowsheets()) {
            if (f->Name() == it->second) sub = std::dynamic_pointer_cast<RefFlowsheet>(f);
        }
        if (!sub) sub = flowsheet.AddSubFlowsheet(it->second);
        sub->Add(op);
    }
}

StreamResolver PlantStreams(const Plant& plant) {
    return [&plant](const std::string& name) -> std::shared_ptr<host::MaterialStream> {
        return plant.FindStream(name);
    };
}

RecordPlan LoadRecord(const json& section, const std::string& file, const Plant& plant,
                      const std::vector<std::shared_ptr<PipelineUnit>>& units) {
    const Reader r(file);
    RecordPlan plan;
    if (section.is_null()) return plan;
    const std::string root = "record";
    r.CheckKeys(section, root, {"end_time", "variables"});
    if (section.contains("end_time")) {
        plan.end_time = r.Number(section["end_time"], root + ".end_time");
    }
    const json& vars = section.contains("variables") ? section["variables"] : json::array();
    if (!vars.is_array()) r.Fail(root + ".variables", "expected a list");
    std::vector<std::string> unit_names = plant.OperationNames();
    for (const auto& u : units) unit_names.push_back(u->Name());
    for (std::size_t i = 0; i < vars.size(); ++i) {
        const std::string key = root + ".variables[" + std::to_string(i) + "]";
        const json& v = vars[i];
        r.CheckKeys(v, key, {"stream", "unit", "variable", "member", "unit_of_measure", "label"});
        const std::string uom = r.Text(v, key, "unit_of_measure", std::string("-"));
        std::string label;
        std::string quantity;
        std::function<double()> read;
        if (v.contains("stream")) {
            auto stream = r.StreamRef(v, key, "stream", plant);
            const std::string what = r.Choice(v, key, "variable", kPVNames, "");
            auto value = stream->Value(PVKind(what));
            quantity = value->Quantity();
            label = stream->Name() + " " + what;
            read = [value] { return value->GetValue(); };
        } else if (v.contains("unit")) {
            const std::string name = r.Text(v, key, "unit");
            if (auto op = plant.FindOperation(name)) {
                const std::string member = r.Text(v, key, "member");
                std::shared_ptr<host::RealValue> value;
                try {
                    value = op->Member(member);
                } catch (const std::exception&) {
                    r.Fail(key + ".member", "unit \"" + name + "\" has no member \"" + member +
                                                "\"" + Reader::Suggest(member, op->MemberNames()));
                }
                quantity = value->Quantity();
                label = name + " " + member;
                read = [value] { return value->GetValue(); };
            } else {
                std::shared_ptr<PipelineUnit> unit;
                for (const auto& u : units) {
                    if (u->Name() == name) unit = u;
                }
                if (!unit) {
                    r.Fail(key + ".unit", "no unit operation \"" + name + "\"" +
                                              Reader::Suggest(name, unit_names));
                }
                const std::string tag = r.Text(v, key, "variable");
                std::shared_ptr<host::NumberVariable> number;
                try {
                    number =
                        std::dynamic_pointer_cast<host::NumberVariable>(unit->FindVariable(tag));
                } catch (const std::exception&) {
                }
                if (!number) {
                    std::vector<std::string> tags;
                    for (const auto& var : unit->Variables()) {
                        if (var->Kind() == host::VariableKind::Number) tags.push_back(var->Tag());
                    }
                    r.Fail(key + ".variable", "\"" + tag + "\" is not a number variable of \"" +
                                                  name + "\"" + Reader::Suggest(tag, tags));
                }
                quantity = number->Quantity();
                label = name + " " + tag;
                read = [number] { return number->GetValue(); };
            }
        } else {
            r.Fail(key, "give \"stream\" or \"unit\"");
        }
        std::string unit_text = uom == "-" ? std::string() : uom;
        try {
            FromInternal(quantity, unit_text, 0.0);
        } catch (const std::exception& e) {
            r.Fail(key + ".unit_of_measure", e.what());
        }
        if (unit_text.empty()) {
            static const std::map<std::string, std::string> internal = {
                {"pressure", "kPa"},       {"temperature", "C"}, {"massflow", "kg/s"},
                {"molarflow", "kgmole/s"}, {"time", "s"},        {"percent", "%"}};
            auto it = internal.find(quantity);
            unit_text = it == internal.end() ? "-" : it->second;
        }
        if (v.contains("label")) label = r.Text(v, key, "label");
        const std::string uom_arg = uom == "-" ? std::string() : uom;
        plan.columns.push_back({label + " [" + unit_text + "]", [read, quantity, uom_arg] {
                                    return FromInternal(quantity, uom_arg, read());
                                }});
    }
    return plan;
}

}  // namespace refhost
