// profile.svg: a unit's profile at each picture of a run, drawn over the
// pipeline's elevation.
#include "profile_chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "input.h"
#include "trend_table.h"

namespace zefalink {

namespace {

std::string TimeLabel(double t) {
    char text[48];
    std::snprintf(text, sizeof text, "t = %g s", t);
    return text;
}

// Elevation along the branch `label` of the unit's model, relative to its
// inlet: (distance, height) at each section end. Empty when the model cannot
// be read or has no such branch.
refhost::ChartSeries Elevation(refhost::PipelineUnit& unit, const std::string& label) {
    refhost::ChartSeries series;
    series.name = "Elevation of " + label;
    try {
        const std::filesystem::path file =
            std::filesystem::path(unit.Get<host::TextVariable>("zefaModelPath")->GetValue()) /
            unit.Get<host::TextVariable>("InputFile")->GetValue();
        const zefasim::Model model = zefasim::LoadModelFile(file.string(), file.string());
        for (const auto& branch : model.branches) {
            if (branch.label != label) continue;
            double height = 0.0;
            series.x.push_back(0.0);
            series.y.push_back(0.0);
            for (const auto& s : branch.sections) {
                height += s.dz;
                series.x.push_back(s.z_start + s.length);
                series.y.push_back(height);
            }
        }
    } catch (const std::exception&) {
        series.x.clear();
        series.y.clear();
    }
    return series;
}

// The parts of a line of the tool functions' profile text.
std::vector<std::string> Split(const std::string& text, char at) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (std::size_t to; (to = text.find(at, from)) != std::string::npos; from = to + 1)
        parts.push_back(text.substr(from, to - from));
    parts.push_back(text.substr(from));
    return parts;
}

std::vector<double> Numbers(const std::string& list) {
    std::vector<double> values;
    std::istringstream in(list);
    for (double v; in >> v;) values.push_back(v);
    return values;
}

}  // namespace

std::vector<UnitProfile> FetchedProfiles(const ZefaToolInterface* tools,
                                         const std::vector<refhost::ExtensionUnit>& units,
                                         const std::string& name) {
    std::vector<UnitProfile> profiles;
    if (tools == nullptr || tools->version < 3 || tools->profiles == nullptr) return profiles;
    const auto unit = std::find_if(units.begin(), units.end(),
                                   [&](const refhost::ExtensionUnit& u) { return u.name == name; });
    if (unit == units.end()) return profiles;
    host::UnitOperationExtension* extension = unit->extension.get();
    const int n = tools->profiles(extension, nullptr, 0);
    if (n <= 0) return profiles;
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    tools->profiles(extension, text.data(), text.size());
    text.resize(static_cast<std::size_t>(n));
    for (const auto& line : Split(text, '\n')) {
        const auto parts = Split(line, '\t');
        if (parts.size() != 5) continue;
        profiles.push_back({parts[0], parts[1], parts[2], Numbers(parts[3]), Numbers(parts[4])});
    }
    return profiles;
}

void ProfileHistory::Capture(double t, const refhost::LineChart& chart,
                             const std::vector<UnitProfile>& profiles) {
    if (!profiles.empty()) {
        for (const auto& profile : profiles) Add(t, profile);
        return;
    }
    if (chart.series.empty() || chart.series.front().y.empty()) return;
    // The plot's ordinate reads "KEY UNIT" ("PT Pa").
    const auto space = chart.y_label.rfind(' ');
    UnitProfile shown{chart.title, chart.y_label, "", chart.series.front().x,
                      chart.series.front().y};
    if (space != std::string::npos) {
        shown.key = chart.y_label.substr(0, space);
        shown.unit = chart.y_label.substr(space + 1);
    }
    Add(t, shown);
}

void ProfileHistory::Add(double t, const UnitProfile& profile) {
    if (profile.y.empty()) return;
    const ShownUnit shown = ShowUnit(profile.unit, pressure_unit_);
    auto panel = std::find_if(panels_.begin(), panels_.end(), [&](const Panel& p) {
        return p.branch == profile.branch && p.key == profile.key;
    });
    if (panel == panels_.end())
        panel = panels_.insert(
            panels_.end(),
            {profile.branch, profile.key, profile.key + " [" + shown.unit + "]", {}});
    refhost::ChartSeries series;
    series.name = TimeLabel(t);
    series.x = profile.x;
    for (double v : profile.y) series.y.push_back(shown.convert(v));
    // A profile that did not change since the last one (not refreshed) is
    // the same picture: keep the later time only.
    auto& times = panel->times;
    if (!times.empty() && times.back().x == series.x && times.back().y == series.y)
        times.pop_back();
    times.push_back(std::move(series));
}

void ProfileHistory::Write(const std::string& path, const std::string& heading,
                           refhost::PipelineUnit& unit) const {
    std::vector<refhost::LineChart> charts;
    std::vector<std::string> branches;
    for (const auto& panel : panels_) {
        refhost::LineChart profile;
        profile.title = panel.branch.empty() ? panel.label : panel.branch + ": " + panel.label;
        profile.x_label = "Distance along the branch [m]";
        profile.y_label = panel.label;
        profile.series = panel.times;
        charts.push_back(std::move(profile));
        if (std::find(branches.begin(), branches.end(), panel.branch) == branches.end())
            branches.push_back(panel.branch);
    }
    if (charts.empty()) {
        refhost::LineChart none;
        none.title = "Profile";
        charts.push_back(std::move(none));
    }
    for (const auto& branch : branches) {
        refhost::ChartSeries elevation = Elevation(unit, branch);
        if (elevation.x.empty()) continue;
        refhost::LineChart lift;
        lift.title = "Elevation of " + branch + " [m]";
        lift.x_label = "Distance along the branch [m]";
        lift.y_label = "Elevation above the inlet [m]";
        lift.series.push_back(std::move(elevation));
        charts.push_back(std::move(lift));
    }
    refhost::WriteSvg(path, charts, heading);
}

}  // namespace zefalink
