// What zefa-server reports: trend values by label and key, profiles along a
// branch, and the name lists clients ask for them in.
#include "outputs.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <sstream>

namespace zefasim {

namespace {

const std::set<std::string> kGlobalKeys = {"HT", "NINTGR", "RMTOT", "RMTOT0", "RMERR"};
const std::set<std::string> kBoundaryKeys = {"PTBOU", "DGGDPB",   "DGLTHLDPB", "DGLTWTDPB",
                                             "GGBOU", "GLTHLBOU", "GLTWTBOU",  "TMBOU"};
const std::set<std::string> kSourceKeys = {"PT",        "PTSOUR", "DPDGGS", "DPDGLTHLS",
                                           "DPDGLTWTS", "GGSOUR", "GLHLMA", "GLWTMA",
                                           "GTSOUR",    "TM",     "TMSOUR"};
const std::set<std::string> kControllerKeys = {"CONTR", "VALVOP"};
const std::set<std::string> kPlugKeys = {"ZZPIG", "UPIG"};
const std::set<std::string> kWellKeys = {"GGWELL", "GLWELL", "GTWELL"};
// Quantities of a section volume (reported at a section centre).
const std::set<std::string> kSectionKeys = {"PT",  "TM",  "HOL",  "HOLHL", "HOLWT", "AL",
                                            "ROG", "ROL", "ROHL", "ROWT",  "ZZVOL"};
// Quantities at a section boundary (a face).
const std::set<std::string> kFaceKeys = {"GG",  "GL", "GLT", "GLTHL", "GLTWT", "GT",  "QG",   "QL",
                                         "QLT", "QT", "UG",  "UL",    "USG",   "USL", "ZZBOU"};

double FaceValue(const Model& m, int b, int j, const std::string& key) {
    const Branch& br = m.branches[b];
    int n = static_cast<int>(br.sections.size());
    const Phases& f = br.flux[j];
    if (key == "ZZBOU") return j < n ? br.sections[j].z_start : m.BranchLength(b);
    if (key == "GG") return f[kGas];
    if (key == "GL" || key == "GLT") return f[kOil] + f[kWater];
    if (key == "GLTHL") return f[kOil];
    if (key == "GLTWT") return f[kWater];
    if (key == "GT") return f[kGas] + f[kOil] + f[kWater];
    int up = br.flow[j] >= 0 ? std::max(0, j - 1) : std::min(n - 1, j);
    SectionState s = m.StateOf(b, up);
    if (key == "UG" || key == "UL") {
        // Phase velocities from the phase flows and the upwind section's fractions.
        double area_up = br.sections[up].area;
        if (key == "UG" && s.alpha[kGas] > 1e-6 && s.rho_gas > 0)
            return f[kGas] / (s.rho_gas * s.alpha[kGas] * area_up);
        double liquid = s.alpha[kOil] + s.alpha[kWater];
        if (key == "UL" && liquid > 1e-6)
            return (f[kOil] / s.rho_oil + f[kWater] / s.rho_water) / (liquid * area_up);
        return m.MixtureVelocity(b, j);
    }
    double qg = s.rho_gas > 1e-12 ? f[kGas] / s.rho_gas : 0;
    double ql = f[kOil] / s.rho_oil + f[kWater] / s.rho_water;
    double area = br.sections[up].area;
    if (key == "QG") return qg;
    if (key == "QL" || key == "QLT") return ql;
    if (key == "QT") return qg + ql;
    if (key == "USG") return qg / area;
    if (key == "USL") return ql / area;
    return 0;
}

double SectionValue(const Model& m, int b, int i, const std::string& key) {
    const Branch& br = m.branches[b];
    if (key == "ZZVOL") return br.sections[i].z_start + br.sections[i].length / 2;
    if (key == "TM") return br.temp[i];
    SectionState s = m.StateOf(b, i);
    if (key == "PT") return s.p;
    if (key == "HOL") return s.alpha[kOil] + s.alpha[kWater];
    if (key == "HOLHL") return s.alpha[kOil];
    if (key == "HOLWT") return s.alpha[kWater];
    if (key == "AL") return s.alpha[kGas];
    if (key == "ROG") return s.rho_gas;
    if (key == "ROHL") return s.rho_oil;
    if (key == "ROWT") return s.rho_water;
    if (key == "ROL") {
        double liquid = s.alpha[kOil] + s.alpha[kWater];
        if (liquid <= 0) return s.rho_oil;
        return (s.alpha[kOil] * s.rho_oil + s.alpha[kWater] * s.rho_water) / liquid;
    }
    return 0;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ParseNameList(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> out;
    std::istringstream in(text);
    std::string word, label;
    while (in >> word) {
        if (word[0] == '$') {
            label = word.substr(1);
            continue;
        }
        for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        out.emplace_back(label, word);
    }
    return out;
}

bool IsBoundaryDerivative(const std::string& key) {
    return key == "DGGDPB" || key == "DGLTHLDPB" || key == "DGLTWTDPB";
}
bool IsSourceDerivative(const std::string& key) {
    return key == "DPDGGS" || key == "DPDGLTHLS" || key == "DPDGLTWTS";
}

std::optional<Probe> ResolveProbe(const Model& m, const std::string& label, const std::string& key,
                                  std::string& why) {
    Probe p;
    p.key = key;
    if (kGlobalKeys.count(key)) return p;  // a label given with them is not needed
    if (label.empty()) {
        why = key + " needs a label";
        return std::nullopt;
    }
    if (kBoundaryKeys.count(key)) {
        p.owner = Probe::Owner::Boundary;
        p.object = m.FindBoundary(label);
        if (p.object >= 0) return p;
        why = "$" + label + " is not a boundary";
        return std::nullopt;
    }
    if (kSourceKeys.count(key) && m.FindSource(label) >= 0) {
        p.owner = Probe::Owner::Source;
        p.object = m.FindSource(label);
        return p;
    }
    if (kControllerKeys.count(key)) {
        p.owner = Probe::Owner::Controller;
        p.object = m.FindController(label);
        if (p.object >= 0) return p;
        why = "$" + label + " is not a controller";
        return std::nullopt;
    }
    if (kPlugKeys.count(key)) {
        p.owner = Probe::Owner::Plug;
        p.object = m.FindPlug(label);
        if (p.object >= 0) return p;
        // At a position: the first plug of the position's branch.
        int pos = m.FindPosition(label);
        for (size_t i = 0; pos >= 0 && i < m.plugs.size(); ++i)
            if (m.plugs[i].branch == m.positions[pos].branch) {
                p.object = static_cast<int>(i);
                return p;
            }
        why = "$" + label + " is neither a plug nor a position on a branch with a plug";
        return std::nullopt;
    }
    if (kWellKeys.count(key)) {
        p.owner = Probe::Owner::Well;
        p.object = m.FindWell(label);
        if (p.object >= 0) return p;
        why = "$" + label + " is not a well";
        return std::nullopt;
    }
    if (kSectionKeys.count(key) || kFaceKeys.count(key)) {
        int pos = m.FindPosition(label);
        if (pos < 0) {
            why = "$" + label + " is not a position";
            return std::nullopt;
        }
        // Looked up at every evaluation: keyword input may move a position.
        p.object = pos;
        p.owner = kFaceKeys.count(key) ? Probe::Owner::Face : Probe::Owner::Section;
        return p;
    }
    if (kSourceKeys.count(key)) {
        why = "$" + label + " is not a source";
        return std::nullopt;
    }
    why = "unknown variable " + key;
    return std::nullopt;
}

double Evaluate(const Model& m, const Probe& p) {
    switch (p.owner) {
        case Probe::Owner::Global:
            if (p.key == "HT") return m.planned_step;
            if (p.key == "NINTGR") return static_cast<double>(m.steps);
            if (p.key == "RMTOT0") {
                const Phases& i = m.account.initial;
                return i[kGas] + i[kOil] + i[kWater];
            }
            if (p.key == "RMERR") return m.MassBalanceError();
            return m.TotalMass();
        case Probe::Owner::Boundary: {
            const Boundary& bd = m.boundaries[p.object];
            const Branch& br = m.branches[bd.branch];
            int face = bd.at_inlet ? 0 : static_cast<int>(br.sections.size());
            const Phases& f = br.flux[face];
            if (p.key == "PTBOU") return bd.pressure;
            if (p.key == "DGGDPB") return bd.deriv[kGas];
            if (p.key == "DGLTHLDPB") return bd.deriv[kOil];
            if (p.key == "DGLTWTDPB") return bd.deriv[kWater];
            if (p.key == "GGBOU") return f[kGas];
            if (p.key == "GLTHLBOU") return f[kOil];
            if (p.key == "GLTWTBOU") return f[kWater];
            // TMBOU: the temperature of what crosses the boundary.
            double g = br.flow[face];
            bool inflow = bd.at_inlet ? g > 0 : g < 0;
            return inflow ? bd.temperature : br.temp[bd.at_inlet ? 0 : face - 1];
        }
        case Probe::Owner::Source: {
            const Source& s = m.sources[p.object];
            if (p.key == "PT" || p.key == "PTSOUR") return m.StateOf(s.branch, s.section).p;
            if (p.key == "DPDGGS") return s.deriv[kGas];
            if (p.key == "DPDGLTHLS") return s.deriv[kOil];
            if (p.key == "DPDGLTWTS") return s.deriv[kWater];
            if (p.key == "GGSOUR") return s.applied[kGas];
            if (p.key == "GLHLMA") return s.applied[kOil];
            if (p.key == "GLWTMA") return s.applied[kWater];
            if (p.key == "GTSOUR") return s.applied[kGas] + s.applied[kOil] + s.applied[kWater];
            return s.mass_flow >= 0 ? s.temperature : m.branches[s.branch].temp[s.section];
        }
        case Probe::Owner::Controller:
            return m.controllers[p.object].opening;
        case Probe::Owner::Plug: {
            const Plug& pg = m.plugs[p.object];
            return p.key == "ZZPIG" ? pg.z : pg.speed;
        }
        case Probe::Owner::Well: {
            const Well& w = m.wells[p.object];
            if (p.key == "GGWELL") return w.applied[kGas];
            if (p.key == "GLWELL") return w.applied[kOil] + w.applied[kWater];
            return w.applied[kGas] + w.applied[kOil] + w.applied[kWater];
        }
        case Probe::Owner::Section: {
            const Position& pos = m.positions[p.object];
            return SectionValue(m, pos.branch, pos.section, p.key);
        }
        case Probe::Owner::Face: {
            // Flow quantities at a position are those leaving its section downstream.
            const Position& pos = m.positions[p.object];
            return FaceValue(m, pos.branch, pos.section + 1, p.key);
        }
    }
    return 0;
}

bool Profile(const Model& m, const std::string& branch, const std::string& key,
             std::vector<double>& out, std::string& why) {
    int b = m.FindBranch(branch);
    if (b < 0) {
        why = "$" + branch + " is not a branch";
        return false;
    }
    int n = static_cast<int>(m.branches[b].sections.size());
    out.clear();
    if (kFaceKeys.count(key)) {
        for (int j = 0; j <= n; ++j) out.push_back(FaceValue(m, b, j, key));
        return true;
    }
    if (kSectionKeys.count(key)) {
        for (int i = 0; i < n; ++i) out.push_back(SectionValue(m, b, i, key));
        return true;
    }
    why = "no profile of " + key;
    return false;
}

std::optional<std::vector<std::string>> LabelsOf(const Model& m, const std::string& kind) {
    std::vector<std::string> out;
    auto collect = [&](const auto& items) {
        for (const auto& it : items) out.push_back(it.label);
    };
    if (kind == "BRANCH") {
        collect(m.branches);
    } else if (kind == "SOURCE") {
        collect(m.sources);
    } else if (kind == "BOUNDARY") {
        collect(m.boundaries);
    } else if (kind == "POSITION") {
        collect(m.positions);
    } else if (kind == "CONTROLLER") {
        collect(m.controllers);
    } else if (kind == "PLUG") {
        collect(m.plugs);
    } else if (kind == "WELL") {
        collect(m.wells);
    } else {
        return std::nullopt;
    }
    return out;
}

}  // namespace zefasim
