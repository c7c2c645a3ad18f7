// profile.svg: a unit's profile at each picture of a run, drawn over the
// pipeline's elevation.
#include "profile_chart.h"

#include <cmath>
#include <cstdio>
#include <filesystem>

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

}  // namespace

void ProfileHistory::Capture(double t, const refhost::LineChart& chart) {
    if (chart.series.empty() || chart.series.front().y.empty()) return;
    // The variable's unit is the last word of the ordinate's label ("PT Pa").
    const auto space = chart.y_label.rfind(' ');
    const std::string unit = space == std::string::npos ? "" : chart.y_label.substr(space + 1);
    const ShownUnit shown = ShowUnit(unit, pressure_unit_);
    refhost::ChartSeries series;
    series.name = TimeLabel(t);
    series.x = chart.series.front().x;
    for (double v : chart.series.front().y) series.y.push_back(shown.convert(v));
    // A profile that did not change since the last one (not refreshed) is
    // the same picture: keep the later time only.
    if (!profiles_.empty() && profiles_.back().x == series.x && profiles_.back().y == series.y)
        profiles_.pop_back();
    profiles_.push_back(std::move(series));
    last_ = chart;
    last_.y_label = (space == std::string::npos ? chart.y_label : chart.y_label.substr(0, space)) +
                    " [" + shown.unit + "]";
}

void ProfileHistory::Write(const std::string& path, const std::string& heading,
                           refhost::PipelineUnit& unit) const {
    std::vector<refhost::LineChart> panels;
    refhost::LineChart profile;
    profile.title = last_.title.empty() ? "Profile" : last_.title + ": " + last_.y_label;
    profile.x_label = "Distance along the branch [m]";
    profile.y_label = last_.y_label;
    profile.series = profiles_;
    panels.push_back(profile);
    refhost::ChartSeries elevation = Elevation(unit, last_.title);
    if (!elevation.x.empty()) {
        refhost::LineChart lift;
        lift.title = "Elevation of " + last_.title + " [m]";
        lift.x_label = "Distance along the branch [m]";
        lift.y_label = "Elevation above the inlet [m]";
        lift.series.push_back(std::move(elevation));
        panels.push_back(std::move(lift));
    }
    refhost::WriteSvg(path, panels, heading);
}

}  // namespace zefalink
