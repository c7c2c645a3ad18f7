#include "input.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "ranges.h"

namespace zefasim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr size_t kMaxFileBytes = 16u << 20;
constexpr long kMaxSectionsPerPipe = 100000;
constexpr long kMaxSections = 200000;
constexpr size_t kMaxStatements = 20000;

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\f\v");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\f\v");
    return s.substr(b, e - b + 1);
}

bool IsIdentifier(const std::string& s) {
    if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    });
}

// A label is printable, without blanks, commas, "=" or "$" (they separate names
// in the protocol's name lists).
bool IsLabel(const std::string& s) {
    if (s.empty() || s.size() > 64) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        unsigned char u = static_cast<unsigned char>(c);
        return u > 32 && u < 127 && c != ',' && c != '=' && c != '$' && c != '!' && c != '#';
    });
}

std::string Fail(const std::string& origin, int line, const std::string& what) {
    return origin + ":" + std::to_string(line) + ": " + what;
}

}  // namespace

std::vector<Statement> ParseStatements(const std::string& text, const std::string& origin) {
    std::vector<Statement> out;
    std::istringstream in(text);
    std::string raw;
    int line_no = 0;
    std::string pending;
    int pending_line = 0;
    auto finish = [&](const std::string& body, int line) {
        Statement st;
        st.line = line;
        size_t sp = body.find_first_of(" \t");
        st.keyword = Upper(body.substr(0, sp));
        if (!IsIdentifier(st.keyword))
            throw InputError(Fail(origin, line, "expected a keyword, found '" + st.keyword + "'"));
        std::string rest = sp == std::string::npos ? "" : Trim(body.substr(sp));
        if (rest.empty()) {
            out.push_back(std::move(st));
            return;
        }
        std::set<std::string> seen;
        size_t pos = 0;
        while (pos <= rest.size()) {
            size_t comma = rest.find(',', pos);
            std::string part = Trim(
                rest.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
            if (part.empty())
                throw InputError(Fail(origin, line, st.keyword + ": empty entry between commas"));
            size_t eq = part.find('=');
            if (eq == std::string::npos)
                throw InputError(
                    Fail(origin, line, st.keyword + ": expected KEY = VALUE in '" + part + "'"));
            Entry e;
            e.key = Upper(Trim(part.substr(0, eq)));
            if (!IsIdentifier(e.key))
                throw InputError(Fail(origin, line, st.keyword + ": bad key '" + e.key + "'"));
            std::istringstream words(part.substr(eq + 1));
            std::string extra;
            words >> e.value >> e.unit >> extra;
            if (e.value.empty())
                throw InputError(Fail(origin, line, st.keyword + ": " + e.key + " has no value"));
            if (!extra.empty())
                throw InputError(
                    Fail(origin, line,
                         st.keyword + ": " + e.key + " has unexpected text '" + extra + "'"));
            if (!seen.insert(e.key).second)
                throw InputError(Fail(origin, line, st.keyword + ": " + e.key + " given twice"));
            st.entries.push_back(std::move(e));
            if (comma == std::string::npos) break;
            pos = comma + 1;
        }
        out.push_back(std::move(st));
    };
    while (std::getline(in, raw)) {
        ++line_no;
        size_t cut = raw.find_first_of("!#");
        std::string line = Trim(cut == std::string::npos ? raw : raw.substr(0, cut));
        for (char c : line) {
            unsigned char u = static_cast<unsigned char>(c);
            if (u < 32 && c != '\t')
                throw InputError(Fail(origin, line_no, "control character in line"));
        }
        if (line.empty()) {
            if (!pending.empty())
                throw InputError(Fail(origin, pending_line, "statement ends with a comma"));
            continue;
        }
        if (pending.empty()) pending_line = line_no;
        pending += (pending.empty() ? "" : " ") + line;
        if (line.back() == ',') continue;
        if (out.size() >= kMaxStatements)
            throw InputError(Fail(origin, pending_line, "too many statements"));
        finish(pending, pending_line);
        pending.clear();
    }
    if (!pending.empty())
        throw InputError(Fail(origin, pending_line, "statement ends with a comma"));
    return out;
}

namespace {

enum class Dim {
    Number,
    Fraction,
    Length,
    Pressure,
    Time,
    MassFlow,
    Temperature,
    Density,
    Viscosity,
    MolarMass,
    Productivity,
    HeatTransfer,
    HeatCapacity,
    SurfaceTension,
    JouleThomson,
};

struct UnitDef {
    Dim dim;
    double factor;
    double offset;  // SI = value * factor + offset
};

const std::map<std::string, UnitDef>& Units() {
    static const std::map<std::string, UnitDef> units = {
        {"-", {Dim::Number, 1, 0}},
        {"%", {Dim::Fraction, 0.01, 0}},
        {"M", {Dim::Length, 1, 0}},
        {"KM", {Dim::Length, 1000, 0}},
        {"CM", {Dim::Length, 0.01, 0}},
        {"MM", {Dim::Length, 0.001, 0}},
        {"UM", {Dim::Length, 1e-6, 0}},
        {"IN", {Dim::Length, 0.0254, 0}},
        {"FT", {Dim::Length, 0.3048, 0}},
        {"PA", {Dim::Pressure, 1, 0}},
        {"N/M2", {Dim::Pressure, 1, 0}},
        {"KPA", {Dim::Pressure, 1e3, 0}},
        {"MPA", {Dim::Pressure, 1e6, 0}},
        {"BAR", {Dim::Pressure, 1e5, 0}},
        {"BARA", {Dim::Pressure, 1e5, 0}},
        {"ATM", {Dim::Pressure, 101325, 0}},
        {"PSI", {Dim::Pressure, 6894.757293168, 0}},
        {"S", {Dim::Time, 1, 0}},
        {"MIN", {Dim::Time, 60, 0}},
        {"H", {Dim::Time, 3600, 0}},
        {"D", {Dim::Time, 86400, 0}},
        {"KG/S", {Dim::MassFlow, 1, 0}},
        {"KG/H", {Dim::MassFlow, 1.0 / 3600, 0}},
        {"KG/D", {Dim::MassFlow, 1.0 / 86400, 0}},
        {"T/H", {Dim::MassFlow, 1000.0 / 3600, 0}},
        {"C", {Dim::Temperature, 1, 0}},
        {"K", {Dim::Temperature, 1, -273.15}},
        {"F", {Dim::Temperature, 5.0 / 9, -32 * 5.0 / 9}},
        {"KG/M3", {Dim::Density, 1, 0}},
        {"PA.S", {Dim::Viscosity, 1, 0}},
        {"PA*S", {Dim::Viscosity, 1, 0}},
        {"NS/M2", {Dim::Viscosity, 1, 0}},
        {"N.S/M2", {Dim::Viscosity, 1, 0}},
        {"CP", {Dim::Viscosity, 1e-3, 0}},
        {"MPA.S", {Dim::Viscosity, 1e-3, 0}},
        {"KG/KMOL", {Dim::MolarMass, 1, 0}},
        {"G/MOL", {Dim::MolarMass, 1, 0}},
        {"KG/S/PA", {Dim::Productivity, 1, 0}},
        {"KG/S/BAR", {Dim::Productivity, 1e-5, 0}},
        {"KG/S/MPA", {Dim::Productivity, 1e-6, 0}},
        {"W/M2K", {Dim::HeatTransfer, 1, 0}},
        {"W/M2-K", {Dim::HeatTransfer, 1, 0}},
        {"J/KGK", {Dim::HeatCapacity, 1, 0}},
        {"J/KG-K", {Dim::HeatCapacity, 1, 0}},
        {"N/M", {Dim::SurfaceTension, 1, 0}},
        {"MN/M", {Dim::SurfaceTension, 1e-3, 0}},
        {"DYN/CM", {Dim::SurfaceTension, 1e-3, 0}},
        {"K/PA", {Dim::JouleThomson, 1, 0}},
        {"K/BAR", {Dim::JouleThomson, 1e-5, 0}},
        {"K/MPA", {Dim::JouleThomson, 1e-6, 0}},
    };
    return units;
}

// Reads the entries of one statement; every entry must be used exactly once.
class Reader {
  public:
    Reader(const Statement& st, const std::string& origin) : st_(st), origin_(origin) {}

    [[noreturn]] void Error(const std::string& what) const {
        throw InputError(Fail(origin_, st_.line, st_.keyword + ": " + what));
    }

    const Entry* Find(const std::string& key) {
        for (const Entry& e : st_.entries)
            if (e.key == key) {
                used_.insert(key);
                return &e;
            }
        return nullptr;
    }
    bool Has(const std::string& key) const {
        return std::any_of(st_.entries.begin(), st_.entries.end(),
                           [&](const Entry& e) { return e.key == key; });
    }

    std::string Label(const std::string& key, bool required = true) {
        const Entry* e = Find(key);
        if (!e) {
            if (required) Error(key + " is missing");
            return "";
        }
        if (!e->unit.empty()) Error(key + " takes no unit");
        if (!IsLabel(e->value)) Error("'" + e->value + "' is not a valid label for " + key);
        return e->value;
    }

    std::string Word(const std::string& key, std::initializer_list<const char*> allowed,
                     const std::string& fallback) {
        const Entry* e = Find(key);
        if (!e) return fallback;
        std::string v = Upper(e->value);
        for (const char* a : allowed)
            if (v == a) return v;
        Error("'" + e->value + "' is not a valid value for " + key);
    }

    double Number(const std::string& key, Dim dim, double fallback, bool required = false) {
        const Entry* e = Find(key);
        if (!e) {
            if (required) Error(key + " is missing");
            return fallback;
        }
        const char* begin = e->value.c_str();
        char* end = nullptr;
        double v = std::strtod(begin, &end);
        if (end == begin || *end != '\0' || !std::isfinite(v))
            Error(key + ": '" + e->value + "' is not a number");
        if (e->unit.empty()) return v;
        auto it = Units().find(Upper(e->unit));
        if (it == Units().end()) Error(key + ": unknown unit '" + e->unit + "'");
        Dim udim = it->second.dim;
        bool fits = udim == dim || (dim == Dim::Fraction && udim == Dim::Number) ||
                    (dim == Dim::Number && udim == Dim::Number);
        if (!fits) Error(key + ": unit '" + e->unit + "' does not fit");
        double si = v * it->second.factor + it->second.offset;
        if (!std::isfinite(si)) Error(key + ": value out of range");
        return si;
    }

    double Positive(const std::string& key, Dim dim, double fallback, bool required = false) {
        double v = Number(key, dim, fallback, required);
        if (!(v > 0)) Error(key + " must be positive");
        return v;
    }
    double NonNegative(const std::string& key, Dim dim, double fallback) {
        double v = Number(key, dim, fallback);
        if (v < 0) Error(key + " must not be negative");
        return v;
    }
    // A number that must lie in one of the shared physical ranges.
    double InRange(const std::string& key, Dim dim, double fallback, const Range& range,
                   bool required = false) {
        double v = Number(key, dim, fallback, required);
        std::string why = OutOfRange(key, v, range);
        if (!why.empty()) Error(why);
        return v;
    }
    double Fraction(const std::string& key, double fallback) {
        double v = Number(key, Dim::Fraction, fallback);
        if (v < 0 || v > 1) Error(key + " must lie between 0 and 1");
        return v;
    }
    long Count(const std::string& key, long lo, long hi, bool required) {
        const Entry* e = Find(key);
        if (!e) {
            if (required) Error(key + " is missing");
            return lo;
        }
        double v = Number(key, Dim::Number, 0);
        if (v != std::floor(v) || v < static_cast<double>(lo) || v > static_cast<double>(hi))
            Error(key + " must be a whole number from " + std::to_string(lo) + " to " +
                  std::to_string(hi));
        return static_cast<long>(v);
    }

    void CheckAllUsed() const {
        for (const Entry& e : st_.entries)
            if (!used_.count(e.key)) Error("unknown key " + e.key);
    }

  private:
    const Statement& st_;
    const std::string& origin_;
    std::set<std::string> used_;
};

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
    w.productivity = r.NonNegative("PI", Dim::Productivity, w.productivity);
    w.gas_fraction = r.Fraction("GASFRACTION", w.gas_fraction);
    w.water_fraction = r.Fraction("WATERFRACTION", w.water_fraction);
    w.temperature = r.InRange("TEMPERATURE", Dim::Temperature, w.temperature, kTemperatureRange);
}

void Build(Model& m, const std::vector<Statement>& statements, const std::string& origin) {
    auto of = [&](const char* kw) {
        std::vector<const Statement*> v;
        for (const Statement& s : statements)
            if (s.keyword == kw) v.push_back(&s);
        return v;
    };
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

    for (const Statement* s : of("FLUID")) {
        Reader r(*s, origin);
        Fluid& f = m.fluid;
        f.gas_mw = r.Positive("GASMW", Dim::MolarMass, f.gas_mw);
        f.oil_density = r.Positive("OILDENSITY", Dim::Density, f.oil_density);
        f.water_density = r.Positive("WATERDENSITY", Dim::Density, f.water_density);
        f.gas_viscosity = r.Positive("GASVISCOSITY", Dim::Viscosity, f.gas_viscosity);
        f.oil_viscosity = r.Positive("OILVISCOSITY", Dim::Viscosity, f.oil_viscosity);
        f.water_viscosity = r.Positive("WATERVISCOSITY", Dim::Viscosity, f.water_viscosity);
        f.bulk_modulus = r.Positive("BULKMODULUS", Dim::Pressure, f.bulk_modulus);
        f.heat_capacity = r.Positive("HEATCAPACITY", Dim::HeatCapacity, f.heat_capacity);
        f.slip = r.Number("SLIP", Dim::Number, f.slip);
        // Drift flux unless a law is named; a SLIP given alone names the slip law.
        const std::string law =
            r.Word("HOLDUP", {"SLIP", "NOSLIP", "DRIFTFLUX", "BEGGSBRILL"}, r.Has("SLIP") ? "SLIP" : "DRIFTFLUX");
        f.holdup_model = law == "DRIFTFLUX" ? kHoldupDriftFlux : kHoldupSlip;
        if (law == "BEGGSBRILL") f.holdup_model = kHoldupBeggsBrill;
        if (law == "NOSLIP" && f.slip != 1) r.Error("SLIP applies to HOLDUP = SLIP only");
        f.surface_tension =
            r.Positive("SURFACETENSION", Dim::SurfaceTension, f.surface_tension);
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
    auto find_node = [&](const std::string& l) -> NodeDef* {
        for (NodeDef& n : nodes)
            if (n.label == l) return &n;
        return nullptr;
    };

    std::vector<std::pair<std::string, std::string>> ends;  // per branch: from, to
    for (const Statement* s : of("BRANCH")) {
        Reader r(*s, origin);
        Branch br;
        br.label = r.Label("LABEL");
        std::string from = r.Label("FROM"), to = r.Label("TO");
        r.CheckAllUsed();
        CheckUnique(m.branches, br.label, r, "branch");
        for (const std::string& nl : {from, to}) {
            NodeDef* n = find_node(nl);
            if (!n) r.Error("unknown node " + nl);
            if (++n->uses > 1) r.Error("node " + nl + " already ends another branch");
        }
        m.branches.push_back(br);
        ends.emplace_back(from, to);
    }

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
        double length = r.Positive("LENGTH", Dim::Length, 0, true);
        double diameter = r.Positive("DIAMETER", Dim::Length, 0, true);
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
        NodeDef* n = find_node(bd.node);
        if (!n) r.Error("unknown node " + bd.node);
        if (!n->pressure) r.Error("node " + bd.node + " is not of TYPE = PRESSURE");
        if (n->boundary >= 0) r.Error("node " + bd.node + " already has a boundary");
        n->boundary = static_cast<int>(m.boundaries.size());
        m.boundaries.push_back(bd);
    }
    for (size_t b = 0; b < m.branches.size(); ++b) {
        for (int end = 0; end < 2; ++end) {
            const std::string& nl = end == 0 ? ends[b].first : ends[b].second;
            NodeDef* n = find_node(nl);
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
    for (const Statement* s : of("CONTROLLER")) {
        Reader r(*s, origin);
        Controller c;
        c.label = r.Label("LABEL");
        int section = 0;
        Locate(m, r, c.branch, section);
        c.face = section + 1;
        c.choke_diameter = r.Positive("DIAMETER", Dim::Length, 0, true);
        c.discharge_coefficient = r.Positive("CD", Dim::Number, 0.84);
        c.opening = r.Fraction("OPENING", 1);
        r.CheckAllUsed();
        CheckUnique(m.controllers, c.label, r, "controller");
        Branch& br = m.branches[c.branch];
        if (br.choke[c.face] >= 0) r.Error("a choke already sits at this section's end");
        br.choke[c.face] = static_cast<int>(m.controllers.size());
        m.controllers.push_back(c);
    }
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
    for (const Statement* s : of("POSITION")) {
        Reader r(*s, origin);
        ApplyPosition(m, r, false);
    }
    m.branch_initial.assign(m.branches.size(), m.initial);
    std::vector<bool> branch_given(m.branches.size(), false);
    bool global_given = false;
    auto read_initial = [&](Reader& r, InitialState& ini) {
        ini.pressure = r.InRange("PRESSURE", Dim::Pressure, ini.pressure, PressureRange(m.fluid));
        ini.temperature =
            r.InRange("TEMPERATURE", Dim::Temperature, ini.temperature, kTemperatureRange);
        ini.holdup = r.Fraction("HOLDUP", ini.holdup);
        ini.water_cut = r.Fraction("WATERCUT", ini.water_cut);
        ini.flow = r.Number("FLOW", Dim::MassFlow, ini.flow);
        double scale = 1 - (ini.pressure - kReferencePressure) / m.fluid.bulk_modulus;
        if (!(scale > 0.05)) r.Error("PRESSURE too high for the liquids' BULKMODULUS");
    };
    for (const Statement* s : of("INITIAL")) {
        Reader r(*s, origin);
        if (r.Has("BRANCH")) continue;
        if (global_given) r.Error("INITIAL without BRANCH given more than once");
        global_given = true;
        read_initial(r, m.initial);
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
        read_initial(r, m.branch_initial[b]);
        r.CheckAllUsed();
    }
    for (const Statement* s : of("SHUTIN")) {
        Reader r(*s, origin);
        ApplyShutIn(m, r);
    }
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
