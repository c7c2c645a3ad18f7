#pragma once

// profile.svg: the profile of a pipeline unit's plot at the start of a run,
// at each --profile-every time and at the end, overlaid and labelled with
// their times, in the outputs' units, with the branch's elevation along its
// length beneath.

#include <string>
#include <vector>

#include "lib/case.h"
#include "lib/svg_chart.h"

namespace zefalink {

class ProfileHistory {
  public:
    explicit ProfileHistory(std::string pressure_unit) : pressure_unit_(std::move(pressure_unit)) {}
    // Keeps the plot's chart (its one profile) as it is at time `t`.
    void Capture(double t, const refhost::LineChart& chart);
    // Writes the overlay and the elevation of the branch, read from the
    // unit's model file, to `path`; `heading` goes on top. Throws when the
    // file cannot be written.
    void Write(const std::string& path, const std::string& heading,
               refhost::PipelineUnit& unit) const;

  private:
    std::string pressure_unit_;
    refhost::LineChart last_;
    std::vector<refhost::ChartSeries> profiles_;
};

}  // namespace zefalink
