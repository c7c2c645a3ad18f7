// Builds a model from the statements of its input: one stage per keyword, in
// the order the model needs them, and keyword input to a running model.

#include "input.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <set>

#include "input_text.h"
#include "ranges.h"

namespace zefasim {

using namespace input_detail;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr size_t kMaxFileBytes = 16u << 20;
constexpr long kMaxSectionsPerPipe = 100000;
constexpr long kMaxSections = 200000;

struct NodeDef {
    std::string label;
    bool pressure = false;
    int line = 0;
    int uses = 0;
    int boundary = -1;
};

// Resolves BRANCH, PIPE and SECTION to a section index within the branch.
void Locate(const Model& m, Reader& r, int& branch, int& section) {
    std::string bl = r.Label("BRANCH");
    branch = m.FindBranch(bl);
    if (branch < 0) r.Error("unknown branch " + bl);
    const Branch& br = m.branches[branch];
    std::string pl = r.Label("PIPE", false);
    if (pl.empty()) {
        long s = r.Count("SECTION", 1, static_cast<long>(br.sections.size()), true);
        section = static_cast<int>(s - 1);
        return;
    }
    for (const Pipe& p : br.pipes) {
        if (p.label != pl) continue;
        long s = r.Count("SECTION", 1, p.sections, true);
        section = p.first_section + static_cast<int>(s - 1);
        return;
    }
    r.Error("branch " + bl + " has no pipe " + pl);
}

template <class T>
void CheckUnique(const std::vector<T>& items, const std::string& label, Reader& r,
                 const char* kind) {
    for (const T& it : items)
        if (it.label == label) r.Error(std::string(kind) + " " + label + " defined twice");
}

void ApplyShutIn(Model& m, Reader& r) {
    double t1 = r.Number("TSHUT1", Dim::Time, 1e35);
    double t2 = r.Number("TSHUT2", Dim::Time, 2e35);
    r.CheckAllUsed();
    if (t2 < t1) r.Error("TSHUT2 lies before TSHUT1");
    m.shut_from = t1;
    m.shut_until = t2;
}

void ApplyPosition(Model& m, Reader& r, bool redefine) {
    Position p;
    p.label = r.Label("LABEL");
    Locate(m, r, p.branch, p.section);
    r.CheckAllUsed();
    int existing = m.FindPosition(p.label);
    if (existing >= 0) {
        if (!redefine) r.Error("position " + p.label + " defined twice");
        m.positions[existing] = p;
    } else {
        m.positions.push_back(p);
    }
}

void UpdateWell(Well& w, Reader& r, const Fluid& fluid) {
    w.res_pressure = r.InRange("RESPRESSURE", Dim::Pressure, w.res_pressure, PressureRange(fluid));
    w.productivity = r.InRange("PI", Dim::Productivity, w.productivity, kProductivityRange);
    w.gas_fraction = r.Fraction("GASFRACTION", w.gas_fraction);
    w.water_fraction = r.Fraction("WATERFRACTION", w.water_fraction);
    w.temperature = r.InRange("TEMPERATURE", Dim::Temperature, w.temperature, kTemperatureRange);
}
// The statements of one keyword, in the order of the file.
struct ByKeyword {
    const std::vector<Statement>& statements;
    std::vector<const Statement*> operator()(const char* kw) const {
        std::vector<const Statement*> v;
        for (const Statement& s : statements)
            if (s.keyword == kw) v.push_back(&s);
        return v;
    }
};

NodeDef* FindNode(std::vector<NodeDef>& nodes, const std::string& l) {
    for (NodeDef& n : nodes)
        if (n.label == l) return &n;
    return nullptr;
}

// Every keyword is known, and those that set the whole model appear once.
void CheckKeywords(const std::vector<Statement>& statements, const ByKeyword& of,
                   const std::string& origin) {
    static const std::set<std::string> known = {
        "FLUID", "INTEGRATION", "NODE", "BRANCH",   "PIPE",    "BOUNDARY", "SOURCE",
        "WELL",  "CONTROLLER",  "PLUG", "POSITION", "INITIAL", "SHUTIN"};
    for (const Statement& s : statements)
        if (!known.count(s.keyword))
            throw InputError(Fail(origin, s.line, "unknown keyword " + s.keyword));
    for (const char* single : {"FLUID", "INTEGRATION", "SHUTIN"})
        if (of(single).size() > 1)
            throw InputError(
                Fail(origin, of(single)[1]->line, std::string(single) + " given more than once"));
}

void ReadFluid(Model& m, const ByKeyword& of, const std::string& origin) {
    for (const Statement* s : of("FLUID")) {
        Reader r(*s, origin);
        Fluid& f = m.fluid;
        f.gas_mw = r.InRange("GASMW", Dim::MolarMass, f.gas_mw, kGasMolarMassRange);
        f.oil_density = r.InRange("OILDENSITY", Dim::Density, f.oil_density, kLiquidDensityRange);
        f.water_density =
            r.InRange("WATERDENSITY", Dim::Density, f.water_density, kLiquidDensityRange);
        f.gas_viscosity =
            r.InRange("GASVISCOSITY", Dim::Viscosity, f.gas_viscosity, kViscosityRange);
        f.oil_viscosity =
            r.InRange("OILVISCOSITY", Dim::Viscosity, f.oil_viscosity, kViscosityRange);
        f.water_viscosity =
            r.InRange("WATERVISCOSITY", Dim::Viscosity, f.water_viscosity, kViscosityRange);
        f.bulk_modulus = r.Positive("BULKMODULUS", Dim::Pressure, f.bulk_modulus);
        f.heat_capacity = r.Positive("HEATCAPACITY", Dim::HeatCapacity, f.heat_capacity);
        f.slip = r.Number("SLIP", Dim::Number, f.slip);
        // Drift flux with its closure near horizontal unless a law is named; a
        // SLIP given alone names the slip law.
        const std::string law =
            r.Word("HOLDUP", {"SLIP", "NOSLIP", "DRIFTFLUX", "BEGGSBRILL", "DRIFTLEVEL"},
                   r.Has("SLIP") ? "SLIP" : "DRIFTLEVEL");
        f.holdup_model = law == "DRIFTFLUX" ? kHoldupDriftFlux : kHoldupSlip;
        if (law == "BEGGSBRILL") f.holdup_model = kHoldupBeggsBrill;
        if (law == "DRIFTLEVEL") f.holdup_model = kHoldupDriftLevel;
        if (law == "NOSLIP" && f.slip != 1) r.Error("SLIP applies to HOLDUP = SLIP only");
        f.surface_tension = r.Positive("SURFACETENSION", Dim::SurfaceTension, f.surface_tension);
        f.gas_kappa = r.Number("GASKAPPA", Dim::Number, f.gas_kappa);
        f.gas_jt = r.Number("JTCOEFFICIENT", Dim::JouleThomson, f.gas_jt);
        r.CheckAllUsed();
        if (f.bulk_modulus < 1e7) r.Error("BULKMODULUS must be at least 1e7 Pa");
        if (f.slip < 1 || f.slip > 10) r.Error("SLIP must lie between 1 and 10");
        if (f.holdup_model != kHoldupSlip && f.slip != 1)
            r.Error("SLIP applies to HOLDUP = SLIP only");
        if (f.surface_tension < 1e-4 || f.surface_tension > 1)
            r.Error("SURFACETENSION must lie between 1e-4 and 1 N/m");
        if (!(f.gas_kappa > 1 && f.gas_kappa <= 2)) r.Error("GASKAPPA must lie above 1, up to 2");
        if (!(std::fabs(f.gas_jt) <= 5e-5))
            r.Error("JTCOEFFICIENT must lie between -5 and 5 K/bar");
    }
}

void ReadIntegration(Model& m, const ByKeyword& of, const std::string& origin) {
    for (const Statement* s : of("INTEGRATION")) {
        Reader r(*s, origin);
        Integration& in = m.integration;
        in.start_time = r.Number("STARTTIME", Dim::Time, in.start_time);
        in.max_step = r.Positive("MAXDT", Dim::Time, in.max_step);
        in.min_step = r.Positive("MINDT", Dim::Time, std::min(in.min_step, in.max_step));
        r.CheckAllUsed();
        if (in.min_step > in.max_step) r.Error("MINDT exceeds MAXDT");
        if (in.min_step < 1e-9) r.Error("MINDT must be at least 1e-9 s");
        if (std::fabs(in.start_time) > 1e12) r.Error("STARTTIME out of range");
    }
}

std::vector<NodeDef> ReadNodes(const ByKeyword& of, const std::string& origin) {
    std::vector<NodeDef> nodes;
    for (const Statement* s : of("NODE")) {
        Reader r(*s, origin);
        NodeDef n;
        n.label = r.Label("LABEL");
        n.pressure = r.Word("TYPE", {"CLOSED", "PRESSURE"}, "CLOSED") == "PRESSURE";
        n.line = s->line;
        r.CheckAllUsed();
        for (const NodeDef& o : nodes)
            if (o.label == n.label) r.Error("node " + n.label + " defined twice");
        nodes.push_back(n);
    }
    return nodes;
}

// Each branch with the labels of the nodes it runs from and to.
std::vector<std::pair<std::string, std::string>> ReadBranches(Model& m, const ByKeyword& of,
                                                              const std::string& origin,
                                                              std::vector<NodeDef>& nodes) {
    std::vector<std::pair<std::string, std::string>> ends;  // per branch: from, to
    for (const Statement* s : of("BRANCH")) {
        Reader r(*s, origin);
        Branch br;
        br.label = r.Label("LABEL");
        std::string from = r.Label("FROM"), to = r.Label("TO");
        r.CheckAllUsed();
        CheckUnique(m.branches, br.label, r, "branch");
        for (const std::string& nl : {from, to}) {
            NodeDef* n = FindNode(nodes, nl);
            if (!n) r.Error("unknown node " + nl);
            if (++n->uses > 1) r.Error("node " + nl + " already ends another branch");
        }
        m.branches.push_back(br);
        ends.emplace_back(from, to);
    }
    return ends;
}

// Pipes and their sections, appended to their branch in the order given.
void ReadPipes(Model& m, const ByKeyword& of, const std::string& origin) {
    long total_sections = 0;
    for (const Statement* s : of("PIPE")) {
        Reader r(*s, origin);
        std::string label = r.Label("LABEL");
        std::string bl = r.Label("BRANCH");
        int b = m.FindBranch(bl);
        if (b < 0) r.Error("unknown branch " + bl);
        Branch& br = m.branches[b];
        for (const Pipe& p : br.pipes)
            if (p.label == label) r.Error("pipe " + label + " defined twice in " + bl);
        double length = r.InRange("LENGTH", Dim::Length, 0, kPipeLengthRange, true);
        double diameter = r.InRange("DIAMETER", Dim::Length, 0, kDiameterRange, true);
        double roughness = r.NonNegative("ROUGHNESS", Dim::Length, 0);
        double elevation = r.Number("ELEVATION", Dim::Length, 0);
        long count = r.Count("NSECTIONS", 1, kMaxSectionsPerPipe, false);
        double u = r.NonNegative("UVALUE", Dim::HeatTransfer, 0);
        double t_amb = r.InRange("TAMBIENT", Dim::Temperature, 20, kTemperatureRange);
        // An elastic wall: thickness and Young's modulus, both or neither.
        double wall = r.NonNegative("WALLTHICKNESS", Dim::Length, 0);
        double modulus = r.NonNegative("YOUNGSMODULUS", Dim::Pressure, 0);
        r.CheckAllUsed();
        if ((wall > 0) != (modulus > 0))
            r.Error("WALLTHICKNESS and YOUNGSMODULUS are given together or not at all");
        if (wall > 0 && !(wall < diameter / 2)) r.Error("WALLTHICKNESS must be below DIAMETER/2");
        if (wall > 0 && !(modulus * wall / diameter >= 1e6))
            r.Error("YOUNGSMODULUS x WALLTHICKNESS / DIAMETER must be at least 1e6 Pa");
        double compliance = wall > 0 ? diameter / (wall * modulus) : 0.0;
        if (std::fabs(elevation) > length) r.Error("ELEVATION exceeds LENGTH");
        if (length / static_cast<double>(count) < kMinSectionLength)
            r.Error("LENGTH / NSECTIONS must be at least " + RangeNumber(kMinSectionLength) + " m");
        if (roughness >= diameter) r.Error("ROUGHNESS must be smaller than DIAMETER");
        total_sections += count;
        if (total_sections > kMaxSections) r.Error("too many sections in the model");
        Pipe p;
        p.label = label;
        p.first_section = static_cast<int>(br.sections.size());
        p.sections = static_cast<int>(count);
        double z =
            br.sections.empty() ? 0.0 : br.sections.back().z_start + br.sections.back().length;
        for (long i = 0; i < count; ++i) {
            Section sec;
            sec.length = length / static_cast<double>(count);
            sec.diameter = diameter;
            sec.roughness = roughness;
            sec.dz = elevation / static_cast<double>(count);
            sec.area = kPi * diameter * diameter / 4;
            sec.volume = sec.area * sec.length;
            sec.z_start = z;
            sec.u_value = u;
            sec.t_ambient = t_amb;
            sec.wall_compliance = compliance;
            sec.pipe = static_cast<int>(br.pipes.size());
            z += sec.length;
            br.sections.push_back(sec);
        }
        br.pipes.push_back(p);
    }
    for (size_t b = 0; b < m.branches.size(); ++b) {
        Branch& br = m.branches[b];
        if (br.sections.empty()) throw InputError(origin + ": branch " + br.label + " has no PIPE");
        br.choke.assign(br.sections.size() + 1, -1);
    }
}

void ReadBoundaries(Model& m, const ByKeyword& of, const std::string& origin,
                    std::vector<NodeDef>& nodes) {
    for (const Statement* s : of("BOUNDARY")) {
        Reader r(*s, origin);
        Boundary bd;
        bd.label = r.Label("LABEL");
        bd.node = r.Label("NODE");
        bd.pressure = r.InRange("PRESSURE", Dim::Pressure, 0, PressureRange(m.fluid), true);
        bd.temperature = r.InRange("TEMPERATURE", Dim::Temperature, 20, kTemperatureRange);
        bd.gas_fraction = r.Fraction("GASFRACTION", 1);
        bd.water_fraction = r.Fraction("WATERFRACTION", 0);
        r.CheckAllUsed();
        CheckUnique(m.boundaries, bd.label, r, "boundary");
        NodeDef* n = FindNode(nodes, bd.node);
        if (!n) r.Error("unknown node " + bd.node);
        if (!n->pressure) r.Error("node " + bd.node + " is not of TYPE = PRESSURE");
        if (n->boundary >= 0) r.Error("node " + bd.node + " already has a boundary");
        n->boundary = static_cast<int>(m.boundaries.size());
        m.boundaries.push_back(bd);
    }
}

// Ties each pressure node's boundary to the branch end it sits at; every node ends a branch.
void AttachBoundaries(Model& m, const std::string& origin, std::vector<NodeDef>& nodes,
                      const std::vector<std::pair<std::string, std::string>>& ends) {
    for (size_t b = 0; b < m.branches.size(); ++b) {
        for (int end = 0; end < 2; ++end) {
            const std::string& nl = end == 0 ? ends[b].first : ends[b].second;
            NodeDef* n = FindNode(nodes, nl);
            if (!n->pressure) continue;
            if (n->boundary < 0)
                throw InputError(Fail(origin, n->line, "node " + nl + " has no BOUNDARY"));
            Boundary& bd = m.boundaries[n->boundary];
            bd.branch = static_cast<int>(b);
            bd.at_inlet = end == 0;
            (end == 0 ? m.branches[b].inlet_boundary : m.branches[b].outlet_boundary) = n->boundary;
        }
    }
    for (const NodeDef& n : nodes)
        if (n.uses == 0)
            throw InputError(Fail(origin, n.line, "node " + n.label + " ends no branch"));
}

void ReadSources(Model& m, const ByKeyword& of, const std::string& origin) {
    for (const Statement* s : of("SOURCE")) {
        Reader r(*s, origin);
        Source src;
        src.label = r.Label("LABEL");
        Locate(m, r, src.branch, src.section);
        src.mass_flow = r.InRange("MASSFLOW", Dim::MassFlow, 0, kMassFlowRange);
        src.gas_fraction = r.Fraction("GASFRACTION", 0);
        src.water_fraction = r.Fraction("WATERFRACTION", 0);
        src.temperature = r.InRange("TEMPERATURE", Dim::Temperature, 20, kTemperatureRange);
        r.CheckAllUsed();
        CheckUnique(m.sources, src.label, r, "source");
        m.sources.push_back(src);
    }
}

void ReadWells(Model& m, const ByKeyword& of, const std::string& origin) {
    for (const Statement* s : of("WELL")) {
        Reader r(*s, origin);
        Well w;
        w.label = r.Label("LABEL");
        Locate(m, r, w.branch, w.section);
        if (!r.Has("RESPRESSURE")) r.Error("RESPRESSURE is missing");
        if (!r.Has("PI")) r.Error("PI is missing");
        UpdateWell(w, r, m.fluid);
        r.CheckAllUsed();
        CheckUnique(m.wells, w.label, r, "well");
        m.wells.push_back(w);
    }
}

void ReadControllers(Model& m, const ByKeyword& of, const std::string& origin) {
    for (const Statement* s : of("CONTROLLER")) {
        Reader r(*s, origin);
        Controller c;
        c.label = r.Label("LABEL");
        int section = 0;
        Locate(m, r, c.branch, section);
        c.face = section + 1;
        c.choke_diameter = r.InRange("DIAMETER", Dim::Length, 0, kDiameterRange, true);
        c.discharge_coefficient = r.Positive("CD", Dim::Number, 0.84);
        c.opening = r.Fraction("OPENING", 1);
        r.CheckAllUsed();
        CheckUnique(m.controllers, c.label, r, "controller");
        Branch& br = m.branches[c.branch];
        if (br.choke[c.face] >= 0) r.Error("a choke already sits at this section's end");
        br.choke[c.face] = static_cast<int>(m.controllers.size());
        m.controllers.push_back(c);
    }
}

void ReadPlugs(Model& m, const ByKeyword& of, const std::string& origin) {
    for (const Statement* s : of("PLUG")) {
        Reader r(*s, origin);
        Plug p;
        p.label = r.Label("LABEL");
        int section = 0;
        Locate(m, r, p.branch, section);
        r.CheckAllUsed();
        CheckUnique(m.plugs, p.label, r, "plug");
        p.launch_z = m.branches[p.branch].sections[section].z_start;
        p.z = p.launch_z;
        m.plugs.push_back(p);
    }
}

void ReadPositions(Model& m, const ByKeyword& of, const std::string& origin) {
    for (const Statement* s : of("POSITION")) {
        Reader r(*s, origin);
        ApplyPosition(m, r, false);
    }
}

void ReadInitialState(const Model& m, Reader& r, InitialState& ini) {
    ini.pressure = r.InRange("PRESSURE", Dim::Pressure, ini.pressure, PressureRange(m.fluid));
    ini.temperature =
        r.InRange("TEMPERATURE", Dim::Temperature, ini.temperature, kTemperatureRange);
    ini.holdup = r.Fraction("HOLDUP", ini.holdup);
    ini.water_cut = r.Fraction("WATERCUT", ini.water_cut);
    ini.flow = r.Number("FLOW", Dim::MassFlow, ini.flow);
    double scale = 1 - (ini.pressure - kReferencePressure) / m.fluid.bulk_modulus;
    if (!(scale > 0.05)) r.Error("PRESSURE too high for the liquids' BULKMODULUS");
}

// The initial state of the whole model, then each branch's own.
void ReadInitial(Model& m, const ByKeyword& of, const std::string& origin) {
    m.branch_initial.assign(m.branches.size(), m.initial);
    std::vector<bool> branch_given(m.branches.size(), false);
    bool global_given = false;
    for (const Statement* s : of("INITIAL")) {
        Reader r(*s, origin);
        if (r.Has("BRANCH")) continue;
        if (global_given) r.Error("INITIAL without BRANCH given more than once");
        global_given = true;
        ReadInitialState(m, r, m.initial);
        m.steady_start = r.Word("STEADY", {"YES", "NO"}, "NO") == "YES";
        r.CheckAllUsed();
    }
    m.branch_initial.assign(m.branches.size(), m.initial);
    for (const Statement* s : of("INITIAL")) {
        Reader r(*s, origin);
        if (!r.Has("BRANCH")) continue;
        std::string bl = r.Label("BRANCH");
        int b = m.FindBranch(bl);
        if (b < 0) r.Error("unknown branch " + bl);
        if (branch_given[b]) r.Error("INITIAL for branch " + bl + " given more than once");
        branch_given[b] = true;
        ReadInitialState(m, r, m.branch_initial[b]);
        r.CheckAllUsed();
    }
}

void ReadShutIn(Model& m, const ByKeyword& of, const std::string& origin) {
    for (const Statement* s : of("SHUTIN")) {
        Reader r(*s, origin);
        ApplyShutIn(m, r);
    }
}

void Build(Model& m, const std::vector<Statement>& statements, const std::string& origin) {
    const ByKeyword of{statements};
    CheckKeywords(statements, of, origin);
    ReadFluid(m, of, origin);
    ReadIntegration(m, of, origin);
    std::vector<NodeDef> nodes = ReadNodes(of, origin);
    auto ends = ReadBranches(m, of, origin, nodes);
    ReadPipes(m, of, origin);
    ReadBoundaries(m, of, origin, nodes);
    AttachBoundaries(m, origin, nodes, ends);
    ReadSources(m, of, origin);
    ReadWells(m, of, origin);
    ReadControllers(m, of, origin);
    ReadPlugs(m, of, origin);
    ReadPositions(m, of, origin);
    ReadInitial(m, of, origin);
    ReadShutIn(m, of, origin);
}

}  // namespace

Model BuildModel(const std::string& text, const std::string& origin) {
    Model m;
    Build(m, ParseStatements(text, origin), origin);
    if (m.branches.empty()) throw InputError(origin + ": the model has no BRANCH");
    m.SetInitialState();
    try {
        m.Validate();
    } catch (const std::exception& e) {
        throw InputError(origin + ": " + e.what());
    }
    return m;
}

Model LoadModelFile(const std::string& path, const std::string& name) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError(name + ": cannot open the input file");
    std::string text;
    char buf[65536];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        text.append(buf, static_cast<size_t>(in.gcount()));
        if (text.size() > kMaxFileBytes) throw InputError(name + ": input file too large");
    }
    return BuildModel(text, name);
}

void ApplyKeywords(Model& model, const std::string& text) {
    const std::string origin = "keyword input";
    std::vector<Statement> statements = ParseStatements(text, origin);
    Model copy = model;
    for (const Statement& st : statements) {
        Reader r(st, origin);
        if (st.keyword == "SHUTIN") {
            ApplyShutIn(copy, r);
        } else if (st.keyword == "POSITION") {
            ApplyPosition(copy, r, true);
        } else if (st.keyword == "WELL") {
            std::string label = r.Label("LABEL");
            int w = copy.FindWell(label);
            if (w < 0) r.Error("unknown well " + label);
            UpdateWell(copy.wells[w], r, copy.fluid);
            r.CheckAllUsed();
        } else {
            r.Error("cannot be changed in a running model (SHUTIN, POSITION and WELL can)");
        }
    }
    model = std::move(copy);
}

}  // namespace zefasim