// zefa-server --check: a model file built without serving it and summarised.
#include "model_check.h"

#include <cstdio>
#include <filesystem>
#include <ostream>

#include "input.h"

namespace zefasim {

namespace {

std::string Metres(double v) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%g m", v);
    return buf;
}

std::string Number(double v) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

std::string BranchLabel(const Model& m, int branch) {
    return branch >= 0 && branch < static_cast<int>(m.branches.size()) ? m.branches[branch].label
                                                                       : "?";
}

// "branch B at Z m": where a section's centre lies.
std::string At(const Model& m, int branch, int section) {
    std::string text = "branch " + BranchLabel(m, branch);
    if (branch < 0 || branch >= static_cast<int>(m.branches.size())) return text;
    const auto& sections = m.branches[branch].sections;
    if (section >= 0 && section < static_cast<int>(sections.size()))
        text += " at " + Metres(sections[section].z_start + sections[section].length / 2);
    return text;
}

}  // namespace

ModelLabels LabelsOf(const Model& m) {
    ModelLabels l;
    for (const auto& b : m.branches) l.branches.push_back(b.label);
    for (const auto& s : m.sources) l.sources.push_back(s.label);
    for (const auto& b : m.boundaries) l.boundaries.push_back(b.label);
    for (const auto& w : m.wells) l.wells.push_back(w.label);
    for (const auto& c : m.controllers) l.controllers.push_back(c.label);
    for (const auto& p : m.positions) l.positions.push_back(p.label);
    for (const auto& p : m.plugs) l.plugs.push_back(p.label);
    return l;
}

std::string DescribeModel(const Model& m, const std::string& name) {
    std::string out = "model " + name + ": " + std::to_string(m.branches.size()) + " branch(es), " +
                      std::to_string(m.sources.size()) + " source(s), " +
                      std::to_string(m.boundaries.size()) + " boundary(ies)\n";
    for (std::size_t b = 0; b < m.branches.size(); ++b) {
        const Branch& br = m.branches[b];
        out += "branch " + br.label + ": " + Metres(m.BranchLength(static_cast<int>(b))) + ", " +
               std::to_string(br.sections.size()) + " sections";
        std::string pipes;
        for (const Pipe& p : br.pipes) {
            double length = 0;
            for (int s = p.first_section; s < p.first_section + p.sections; ++s)
                if (s >= 0 && s < static_cast<int>(br.sections.size()))
                    length += br.sections[s].length;
            pipes += (pipes.empty() ? "" : ", ") + p.label + " (" + Metres(length) + ", " +
                     std::to_string(p.sections) + " sections)";
        }
        double rise = 0;
        for (const Section& s : br.sections) rise += s.dz;
        out += ", elevation change " + Metres(rise) + ", pipes " + pipes + "\n";
    }
    for (const Source& s : m.sources)
        out += "source " + s.label + ": " + At(m, s.branch, s.section) + ", " +
               Number(s.mass_flow) + " kg/s\n";
    for (const Boundary& b : m.boundaries)
        out += "boundary " + b.label + ": node " + b.node + ", " +
               (b.at_inlet ? "inlet" : "outlet") + " of branch " + BranchLabel(m, b.branch) + ", " +
               Number(b.pressure / 1e5) + " bar\n";
    for (const Well& w : m.wells)
        out += "well " + w.label + ": " + At(m, w.branch, w.section) + ", reservoir " +
               Number(w.res_pressure / 1e5) + " bar\n";
    for (const Controller& c : m.controllers)
        out += "controller " + c.label + ": branch " + BranchLabel(m, c.branch) + "\n";
    for (const Position& p : m.positions)
        out += "position " + p.label + ": " + At(m, p.branch, p.section) + "\n";
    for (const Plug& p : m.plugs)
        out += "plug " + p.label + ": branch " + BranchLabel(m, p.branch) + " from " +
               Metres(p.launch_z) + "\n";
    return out;
}

int CheckModelFile(const std::string& path, std::ostream& out, std::ostream& err) {
    const std::string name = std::filesystem::path(path).filename().string();
    try {
        const Model model = LoadModelFile(path, path);
        out << DescribeModel(model, name);
        return 0;
    } catch (const std::exception& e) {
        err << "error: " << e.what() << '\n';
        return 65;
    }
}

}  // namespace zefasim
